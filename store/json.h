#pragma once
// The system's JSON reader (immutable documents) and the text helpers every reply is built with.
// Replies are never built as trees: members are appended as text, each ending with a comma,
// and trailing commas are stripped before a closing bracket.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace SQLite {
class Statement;
}

namespace hbr {

enum class JsonKind { Number, Null, Boolean, String, Array, Object };

enum class JsonError {
    None = -1,
    ExpectingString = 0,
    ExpectingValue = 1,
    InvalidLiteralName = 2,
    InvalidNumber = 3,
    InvalidStringChar = 4,
    InvalidStringEscape = 5,
    InvalidSurrogatePair = 6,
    MissingColon = 7,
    MissingCommaOrBracket = 8,
    UnexpectedCharacter = 9,
    TooDeep = 10,  // nesting beyond kJsonMaxDepth
};

// Deeper texts fail with TooDeep instead of exhausting the stack.
inline constexpr int kJsonMaxDepth = 512;

class JsonValue;

struct JsonMember {
    std::string_view key;
    const JsonValue* value;
};

class JsonValue {
public:
    JsonKind Kind() const { return kind_; }
    bool IsNull() const { return kind_ == JsonKind::Null; }
    bool IsNumber() const { return kind_ == JsonKind::Number; }
    bool IsString() const { return kind_ == JsonKind::String; }
    bool IsArray() const { return kind_ == JsonKind::Array; }
    bool IsObject() const { return kind_ == JsonKind::Object; }
    bool IsBoolean() const { return kind_ == JsonKind::Boolean; }

    // Only the boolean true is true.
    bool IsTrue() const { return kind_ == JsonKind::Boolean && boolean_; }
    // Numbers truncate toward zero into 32 bits; every other kind reads as 0.
    int32_t AsInt() const;
    double AsNumber() const { return kind_ == JsonKind::Number ? number_ : 0.0; }
    // The text of a string; any other kind gives `def`.
    std::string AsText(std::string_view def = {}) const;
    // The decoded bytes of a string (empty for other kinds); lives as long as the document.
    std::string_view StringView() const {
        return kind_ == JsonKind::String ? std::string_view(str_, len_) : std::string_view();
    }

    // First member whose key equals `key` byte for byte; the null value when absent or when
    // this is not an object.
    const JsonValue& operator[](std::string_view key) const;
    // Element `i` of an array; the null value when out of range or not an array.
    const JsonValue& At(size_t i) const;
    // Number of elements or members; 0 for scalars.
    size_t Size() const;
    // Members of an object in document order (empty for other kinds).
    const JsonMember* MembersBegin() const;
    const JsonMember* MembersEnd() const;
    // Elements of an array in document order (empty for other kinds).
    const JsonValue* const* ElementsBegin() const;
    const JsonValue* const* ElementsEnd() const;

    static const JsonValue& Null();

private:
    friend class JsonParser;
    JsonKind kind_ = JsonKind::Null;
    bool boolean_ = false;
    double number_ = 0.0;
    const char* str_ = nullptr;  // string bytes, zero-terminated, owned by the document
    size_t len_ = 0;
    const void* items_ = nullptr;  // JsonMember[] or const JsonValue*[], owned by the document
    size_t count_ = 0;
};

class JsonDocument {
public:
    JsonDocument();
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;
    JsonDocument(JsonDocument&&) noexcept;
    JsonDocument& operator=(JsonDocument&&) noexcept;

    // The root value; the null value when the last parse failed or nothing was parsed.
    const JsonValue& Root() const;
    bool Ok() const { return error_ == JsonError::None && root_ != nullptr; }
    JsonError Error() const { return error_; }
    size_t ErrorOffset() const { return errorOffset_; }

private:
    friend class JsonParser;
    struct Arena;
    std::unique_ptr<Arena> arena_;
    const JsonValue* root_ = nullptr;
    JsonError error_ = JsonError::None;
    size_t errorOffset_ = 0;
};

// Parses the text up to its first zero byte (or its end). On failure the document reads as
// empty and records the error and the byte offset where it was found.
bool ParseJson(std::string_view text, JsonDocument& doc);

// Writing.
std::string JsonEscape(std::string_view text);
inline std::string JsonEscapeW(std::string_view text) { return JsonEscape(text); }
// "\"name\":\"escaped\"," or, for an absent value, "\"name\": null,".
void AppendJsonString(std::string& out, std::string_view name, const std::string* value);
void AppendJsonString(std::string& out, std::string_view name, std::string_view value);
void AppendJsonInt(std::string& out, std::string_view name, int32_t value);     // "\"%s\":%d,"
void AppendJsonRaw(std::string& out, std::string_view name, std::string_view raw);  // "\"%s\":%s,"
void AppendJsonNull(std::string& out, std::string_view name);                    // "\"%s\": null,"
// Removes every comma at the end of the text.
void StripTrailingCommas(std::string& out);
// Strips trailing commas, then appends the closing bracket.
void CloseJson(std::string& out, char bracket);

// Steps the statement to its end and appends its rows as JSON ("[{..},{..}]", or a bare object
// when `single`). Database failures propagate as SQLite::Exception.
void RowsToJson(SQLite::Statement& statement, std::string& out, bool single);

}  // namespace hbr
