#include "store/json.h"

#include "platform/utf8.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace hbr {

// ---------------------------------------------------------------------------------------------
// Document memory: one bump allocator per document. The input is copied into it first, strings
// are decoded in place inside that copy, and values, member and element arrays follow in the
// same chunks. Nothing is freed one by one; the whole arena goes with the document.

struct JsonDocument::Arena {
    struct Chunk {
        Chunk* next;
        size_t size;
    };

    Chunk* head = nullptr;
    char* cur = nullptr;
    char* end = nullptr;
    size_t nextSize = 4096;

    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() { Release(); }

    void Release() {
        while (head) {
            Chunk* next = head->next;
            ::operator delete(head);
            head = next;
        }
        cur = end = nullptr;
    }

    void AddChunk(size_t atLeast) {
        size_t size = nextSize;
        if (size < atLeast + sizeof(Chunk) + alignof(std::max_align_t))
            size = atLeast + sizeof(Chunk) + alignof(std::max_align_t);
        auto* chunk = static_cast<Chunk*>(::operator new(size));
        chunk->next = head;
        chunk->size = size;
        head = chunk;
        cur = reinterpret_cast<char*>(chunk) + sizeof(Chunk);
        end = reinterpret_cast<char*>(chunk) + size;
        if (nextSize < (size_t{1} << 24)) nextSize *= 2;
    }

    void* Allocate(size_t n, size_t align) {
        auto p = reinterpret_cast<uintptr_t>(cur);
        uintptr_t aligned = (p + align - 1) & ~(uintptr_t{align} - 1);
        if (cur == nullptr || aligned + n > reinterpret_cast<uintptr_t>(end)) {
            AddChunk(n + align);
            p = reinterpret_cast<uintptr_t>(cur);
            aligned = (p + align - 1) & ~(uintptr_t{align} - 1);
        }
        cur = reinterpret_cast<char*>(aligned + n);
        return reinterpret_cast<void*>(aligned);
    }

    template <typename T>
    T* AllocateArray(size_t count) {
        return static_cast<T*>(Allocate(sizeof(T) * count, alignof(T)));
    }
};

// ---------------------------------------------------------------------------------------------
// Values

int32_t JsonValue::AsInt() const {
    if (kind_ != JsonKind::Number) return 0;
    // A plain cast is undefined outside the int32 range (and for NaN); saturate instead.
    if (std::isnan(number_)) return 0;
    if (number_ >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (number_ <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(number_);
}

std::string JsonValue::AsText(std::string_view def) const {
    if (kind_ == JsonKind::String) return std::string(str_, len_);
    return std::string(def);
}

const JsonValue& JsonValue::operator[](std::string_view key) const {
    if (kind_ != JsonKind::Object) return Null();
    const auto* members = static_cast<const JsonMember*>(items_);
    for (size_t i = 0; i < count_; ++i) {
        if (members[i].key == key) return *members[i].value;
    }
    return Null();
}

const JsonValue& JsonValue::At(size_t i) const {
    if (kind_ != JsonKind::Array || i >= count_) return Null();
    return *static_cast<const JsonValue* const*>(items_)[i];
}

size_t JsonValue::Size() const {
    return (kind_ == JsonKind::Array || kind_ == JsonKind::Object) ? count_ : 0;
}

const JsonMember* JsonValue::MembersBegin() const {
    return kind_ == JsonKind::Object ? static_cast<const JsonMember*>(items_) : nullptr;
}

const JsonMember* JsonValue::MembersEnd() const {
    return kind_ == JsonKind::Object ? static_cast<const JsonMember*>(items_) + count_ : nullptr;
}

const JsonValue* const* JsonValue::ElementsBegin() const {
    return kind_ == JsonKind::Array ? static_cast<const JsonValue* const*>(items_) : nullptr;
}

const JsonValue* const* JsonValue::ElementsEnd() const {
    return kind_ == JsonKind::Array ? static_cast<const JsonValue* const*>(items_) + count_
                                    : nullptr;
}

const JsonValue& JsonValue::Null() {
    static const JsonValue null;
    return null;
}

// ---------------------------------------------------------------------------------------------
// Documents

JsonDocument::JsonDocument() = default;
JsonDocument::~JsonDocument() = default;
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;

const JsonValue& JsonDocument::Root() const {
    return Ok() ? *root_ : JsonValue::Null();
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// Correctly rounded powers of ten; decimal literals are converted exactly by the compiler.
constexpr double kPow10[309] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,
    1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,
    1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,
    1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,
    1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,  1e64,
    1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,
    1e78,  1e79,  1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,
    1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116,
    1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142,
    1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155,
    1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168,
    1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181,
    1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194,
    1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220,
    1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233,
    1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246,
    1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272,
    1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285,
    1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298,
    1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

inline bool IsDigit(unsigned char c) {
    return static_cast<unsigned>(c - '0') < 10u;
}
inline bool IsSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline int HexValue(unsigned char c) {
    if (static_cast<unsigned>(c - '0') < 10u) return c - '0';
    c |= 0x20;
    if (static_cast<unsigned>(c - 'a') < 6u) return c - 'a' + 10;
    return -1;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Non-zero when some byte of the word is a quote, a backslash or below 0x20. May flag bytes
// above a real hit too; callers recheck byte by byte.
inline uint64_t SpecialStringBytes(uint64_t v) {
    const uint64_t quote = v ^ (kOnes * '"');
    const uint64_t slash = v ^ (kOnes * '\\');
    return ((quote - kOnes) & ~quote & kHighs) | ((slash - kOnes) & ~slash & kHighs) |
           ((v - kOnes * 0x20) & ~v & kHighs);
}

// Bytes of zero padding after the copied text, so word-wide scans never leave the buffer.
constexpr size_t kPadding = 8;

}  // namespace

class JsonParser {
  public:
    JsonParser(JsonDocument::Arena& arena, char* text)
        : arena_(arena),
          base_(text),
          p_(text),
          elements_(ElementScratch()),
          members_(MemberScratch()) {}

    ~JsonParser() {
        // Keep the scratch capacity for the next parse on this thread, but not without bound.
        constexpr size_t kKeep = 1 << 16;
        if (elements_.capacity() > kKeep) std::vector<const JsonValue*>().swap(elements_);
        if (members_.capacity() > kKeep) std::vector<JsonMember>().swap(members_);
        elements_.clear();
        members_.clear();
    }

    const JsonValue* ParseRoot() {
        SkipSpace();
        JsonValue* root = NewValue();
        if (!ParseValue(*root, 0)) return nullptr;
        SkipSpace();
        if (*p_ != '\0') {
            Fail(JsonError::UnexpectedCharacter, p_);
            return nullptr;
        }
        return root;
    }

    JsonError error = JsonError::None;
    size_t errorOffset = 0;

  private:
    static std::vector<const JsonValue*>& ElementScratch() {
        thread_local std::vector<const JsonValue*> scratch;
        return scratch;
    }
    static std::vector<JsonMember>& MemberScratch() {
        thread_local std::vector<JsonMember> scratch;
        return scratch;
    }

    bool Fail(JsonError e, const char* at) {
        if (error == JsonError::None) {
            error = e;
            errorOffset = static_cast<size_t>(at - base_);
        }
        return false;
    }

    JsonValue* NewValue() { return new (arena_.AllocateArray<JsonValue>(1)) JsonValue(); }

    void SkipSpace() {
        while (IsSpace(static_cast<unsigned char>(*p_))) ++p_;
    }

    bool ParseValue(JsonValue& v, int depth) {
        switch (*p_) {
            case '"': {
                v.kind_ = JsonKind::String;
                return ParseString(v.str_, v.len_);
            }
            case '{':
                return ParseObject(v, depth);
            case '[':
                return ParseArray(v, depth);
            case 't':
                return ParseLiteral(v, "true", 4, JsonKind::Boolean, true);
            case 'f':
                return ParseLiteral(v, "false", 5, JsonKind::Boolean, false);
            case 'n':
                return ParseLiteral(v, "null", 4, JsonKind::Null, false);
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                return ParseNumber(v);
            default:
                return Fail(JsonError::ExpectingValue, p_);
        }
    }

    bool ParseLiteral(JsonValue& v, const char* word, size_t len, JsonKind kind, bool value) {
        // The text is zero-terminated, so a mismatch at its end stops the comparison in time.
        for (size_t i = 0; i < len; ++i) {
            if (p_[i] != word[i]) return Fail(JsonError::InvalidLiteralName, p_);
        }
        p_ += len;
        v.kind_ = kind;
        v.boolean_ = value;
        return true;
    }

    bool ParseNumber(JsonValue& v) {
        const char* start = p_;
        const char* p = p_;
        bool negative = false;
        if (*p == '-') {
            negative = true;
            ++p;
            if (!IsDigit(static_cast<unsigned char>(*p))) {
                return Fail(JsonError::ExpectingValue, start);
            }
        }

        uint64_t u = 0;
        double d = 0.0;
        bool useDouble = false;
        if (*p == '0') {
            ++p;  // a leading zero is the whole integer part
        } else {
            while (IsDigit(static_cast<unsigned char>(*p))) {
                const unsigned digit = static_cast<unsigned char>(*p) - '0';
                if (!useDouble && u < 0x1999999999999999ull) {
                    u = u * 10 + digit;
                } else {
                    if (!useDouble) {
                        d = static_cast<double>(u);
                        useDouble = true;
                    }
                    d = d * 10 + digit;
                }
                ++p;
            }
        }

        int64_t fractionDigits = 0;
        if (*p == '.') {
            ++p;
            while (IsDigit(static_cast<unsigned char>(*p))) {
                if (!useDouble && u <= 0x1FFFFFFFFFFFFEull) {
                    u = u * 10 + (static_cast<unsigned char>(*p) - '0');
                    ++fractionDigits;
                }
                ++p;
            }
        }

        int64_t exponent = 0;
        if (*p == 'e' || *p == 'E') {
            ++p;
            bool negativeExponent = false;
            if (*p == '+' || *p == '-') {
                negativeExponent = *p == '-';
                ++p;
            }
            if (!IsDigit(static_cast<unsigned char>(*p))) {
                return Fail(JsonError::InvalidNumber, p);
            }
            while (IsDigit(static_cast<unsigned char>(*p))) {
                // Past this bound the result is already 1e308-scaled or zero; stop growing.
                if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
                ++p;
            }
            if (negativeExponent) exponent = -exponent;
        }

        double value = useDouble ? d : static_cast<double>(u);
        const int64_t power = exponent - fractionDigits;
        if (power > 308) {
            value *= kPow10[308];
        } else if (power >= 0) {
            value *= kPow10[power];
        } else if (power >= -308) {
            value /= kPow10[-power];
        } else if (power >= -616) {
            value /= kPow10[308];
            value /= kPow10[-power - 308];
        } else {
            value = 0.0;
        }
        v.kind_ = JsonKind::Number;
        v.number_ = negative ? -value : value;
        p_ = const_cast<char*>(p);
        return true;
    }

    // Decodes the string starting at the opening quote in place; the closing quote (or an
    // earlier byte) becomes the terminating zero.
    bool ParseString(const char*& out, size_t& outLen) {
        char* const start = ++p_;
        char* r = start;
        // Plain run: nothing to decode, nothing to move.
        for (;;) {
            uint64_t word;
            std::memcpy(&word, r, sizeof word);
            if (SpecialStringBytes(word) == 0) {
                r += 8;
                continue;
            }
            const unsigned char c = static_cast<unsigned char>(*r);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++r;
        }
        if (*r == '"') {
            *r = '\0';
            out = start;
            outLen = static_cast<size_t>(r - start);
            p_ = r + 1;
            return true;
        }
        char* w = r;
        for (;;) {
            const unsigned char c = static_cast<unsigned char>(*r);
            if (c == '"') break;
            if (c < 0x20) return Fail(JsonError::InvalidStringChar, r);
            if (c != '\\') {
                *w++ = static_cast<char>(c);
                ++r;
                continue;
            }
            ++r;
            switch (*r) {
                case '"':
                case '\\':
                case '/':
                    *w++ = *r++;
                    break;
                case 'b':
                    *w++ = '\b';
                    ++r;
                    break;
                case 'f':
                    *w++ = '\f';
                    ++r;
                    break;
                case 'n':
                    *w++ = '\n';
                    ++r;
                    break;
                case 'r':
                    *w++ = '\r';
                    ++r;
                    break;
                case 't':
                    *w++ = '\t';
                    ++r;
                    break;
                case 'u': {
                    ++r;
                    uint32_t cp;
                    if (!ReadHex4(r, cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        const char* expected = r;
                        if (r[0] != '\\' || r[1] != 'u') {
                            return Fail(JsonError::InvalidSurrogatePair, expected);
                        }
                        r += 2;
                        uint32_t low;
                        if (!ReadHex4(r, low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) {
                            return Fail(JsonError::InvalidSurrogatePair, expected);
                        }
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    // An escape of n bytes decodes to fewer than n bytes, so writing never
                    // overtakes reading. A lone low surrogate is kept as it is.
                    w = WriteUtf8(w, cp);
                    break;
                }
                default:
                    return Fail(JsonError::InvalidStringEscape, r);
            }
        }
        *w = '\0';
        out = start;
        outLen = static_cast<size_t>(w - start);
        p_ = r + 1;
        return true;
    }

    bool ReadHex4(char*& r, uint32_t& cp) {
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            // Stops at the terminating zero, which is no hexadecimal digit.
            const int h = HexValue(static_cast<unsigned char>(r[i]));
            if (h < 0) return Fail(JsonError::InvalidStringEscape, r + i);
            cp = (cp << 4) | static_cast<uint32_t>(h);
        }
        r += 4;
        return true;
    }

    bool ParseArray(JsonValue& v, int depth) {
        if (depth >= kJsonMaxDepth) return Fail(JsonError::TooDeep, p_);
        ++p_;
        v.kind_ = JsonKind::Array;
        const size_t base = elements_.size();
        SkipSpace();
        if (*p_ != ']') {
            for (;;) {
                JsonValue* element = NewValue();
                if (!ParseValue(*element, depth + 1)) return false;
                elements_.push_back(element);
                SkipSpace();
                if (*p_ == ',') {
                    ++p_;
                    SkipSpace();
                    continue;
                }
                if (*p_ == ']') break;
                return Fail(JsonError::MissingCommaOrBracket, p_);
            }
        }
        ++p_;
        const size_t count = elements_.size() - base;
        if (count > 0) {
            auto* items = arena_.AllocateArray<const JsonValue*>(count);
            std::memcpy(items, elements_.data() + base, count * sizeof(const JsonValue*));
            v.items_ = items;
        }
        v.count_ = count;
        elements_.resize(base);
        return true;
    }

    bool ParseObject(JsonValue& v, int depth) {
        if (depth >= kJsonMaxDepth) return Fail(JsonError::TooDeep, p_);
        ++p_;
        v.kind_ = JsonKind::Object;
        const size_t base = members_.size();
        SkipSpace();
        if (*p_ != '}') {
            for (;;) {
                if (*p_ != '"') return Fail(JsonError::ExpectingString, p_);
                const char* key;
                size_t keyLen;
                if (!ParseString(key, keyLen)) return false;
                SkipSpace();
                if (*p_ != ':') return Fail(JsonError::MissingColon, p_);
                ++p_;
                SkipSpace();
                JsonValue* value = NewValue();
                if (!ParseValue(*value, depth + 1)) return false;
                members_.push_back(JsonMember{std::string_view(key, keyLen), value});
                SkipSpace();
                if (*p_ == ',') {
                    ++p_;
                    SkipSpace();
                    continue;
                }
                if (*p_ == '}') break;
                return Fail(JsonError::MissingCommaOrBracket, p_);
            }
        }
        ++p_;
        const size_t count = members_.size() - base;
        if (count > 0) {
            auto* items = arena_.AllocateArray<JsonMember>(count);
            std::memcpy(static_cast<void*>(items), members_.data() + base,
                        count * sizeof(JsonMember));
            v.items_ = items;
        }
        v.count_ = count;
        members_.resize(base);
        return true;
    }

  public:
    // Parses into `doc`, replacing what it held.
    static bool Run(std::string_view text, JsonDocument& doc) {
        // The text ends at its first zero byte.
        if (!text.empty()) {
            if (const void* nul = std::memchr(text.data(), 0, text.size())) {
                text = text.substr(
                    0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
            }
        }
        auto arena = std::make_unique<JsonDocument::Arena>();
        // One chunk usually holds the copy and every value: values take about three times the
        // bytes of the text they come from.
        const size_t estimate = text.size() < (size_t{1} << 22) ? text.size() * 3 : size_t{1} << 24;
        arena->nextSize = text.size() + kPadding + 1 + estimate + 1024;
        char* copy = arena->AllocateArray<char>(text.size() + 1 + kPadding);
        if (!text.empty()) std::memcpy(copy, text.data(), text.size());
        std::memset(copy + text.size(), 0, 1 + kPadding);
        arena->nextSize = 4096 > estimate ? 4096 : estimate;

        JsonParser parser(*arena, copy);
        const JsonValue* root = parser.ParseRoot();
        if (root == nullptr) {
            doc.arena_.reset();
            doc.root_ = nullptr;
            doc.error_ = parser.error;
            doc.errorOffset_ = parser.errorOffset;
            return false;
        }
        doc.arena_ = std::move(arena);
        doc.root_ = root;
        doc.error_ = JsonError::None;
        doc.errorOffset_ = 0;
        return true;
    }

  private:
    JsonDocument::Arena& arena_;
    const char* base_;
    char* p_;
    std::vector<const JsonValue*>& elements_;
    std::vector<JsonMember>& members_;
};

bool ParseJson(std::string_view text, JsonDocument& doc) {
    return JsonParser::Run(text, doc);
}

// ---------------------------------------------------------------------------------------------
// Writing

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    size_t run = 0;  // start of the pending run of bytes copied unchanged
    for (size_t i = 0; i < text.size(); ++i) {
        char replacement;
        switch (text[i]) {
            case '\b':
                replacement = 'b';
                break;
            case '\t':
                replacement = 't';
                break;
            case '\n':
                replacement = 'n';
                break;
            case '\f':
                replacement = 'f';
                break;
            case '\r':
                replacement = 'r';
                break;
            case '"':
                replacement = '"';
                break;
            case '/':
                replacement = '/';
                break;
            case '\\':
                replacement = '\\';
                break;
            default:
                // Every other control byte as \u00XX: copied raw, it would make the text (a
                // stored row, a reply) invalid JSON.
                if (static_cast<unsigned char>(text[i]) < 0x20) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    out.append(text.data() + run, i - run);
                    out.append("\\u00");
                    out.push_back(kHex[static_cast<unsigned char>(text[i]) >> 4]);
                    out.push_back(kHex[static_cast<unsigned char>(text[i]) & 0xf]);
                    run = i + 1;
                }
                continue;
        }
        out.append(text.data() + run, i - run);
        out.push_back('\\');
        out.push_back(replacement);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
    return out;
}

namespace {

void AppendKey(std::string& out, std::string_view name) {
    out.push_back('"');
    out.append(name);
    out.append("\":");
}

void AppendInt(std::string& out, int32_t value) {
    char buf[16];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view name, const std::string* value) {
    if (value == nullptr) {
        AppendJsonNull(out, name);
    } else {
        AppendJsonString(out, name, std::string_view(*value));
    }
}

void AppendJsonString(std::string& out, std::string_view name, std::string_view value) {
    AppendKey(out, name);
    out.push_back('"');
    out.append(JsonEscape(value));
    out.append("\",");
}

void AppendJsonInt(std::string& out, std::string_view name, int32_t value) {
    AppendKey(out, name);
    AppendInt(out, value);
    out.push_back(',');
}

void AppendJsonRaw(std::string& out, std::string_view name, std::string_view raw) {
    AppendKey(out, name);
    out.append(raw);
    out.push_back(',');
}

void AppendJsonNull(std::string& out, std::string_view name) {
    out.push_back('"');
    out.append(name);
    out.append("\": null,");
}

void StripTrailingCommas(std::string& out) {
    size_t n = out.size();
    while (n > 0 && out[n - 1] == ',') --n;
    out.resize(n);
}

void CloseJson(std::string& out, char bracket) {
    StripTrailingCommas(out);
    out.push_back(bracket);
}

void RowsToJson(SQLite::Statement& statement, std::string& out, bool single) {
    if (!single) out.push_back('[');
    const int columns = statement.getColumnCount();
    std::string members;
    while (statement.executeStep()) {
        members.clear();
        for (int i = 0; i < columns; ++i) {
            const SQLite::Column column = statement.getColumn(i);
            const std::string_view name = column.getName();
            const bool isBoolean = name.starts_with("b_");
            const bool isJson = name.starts_with("j_");
            const std::string_view key =
                name.substr(std::min(name.find_first_not_of("jb_"), name.size()));
            switch (column.getType()) {
                case SQLITE_INTEGER:
                    if (isBoolean) {
                        AppendJsonRaw(members, key, column.getInt64() != 0 ? "true" : "false");
                    } else {
                        AppendJsonInt(members, key, column.getInt());
                    }
                    break;
                case SQLITE_TEXT: {
                    const std::string text = column.getString();
                    if (!isJson) {
                        AppendJsonString(members, key, std::string_view(text));
                    } else if (text.empty()) {
                        AppendJsonNull(members, key);
                    } else {
                        AppendJsonRaw(members, key, text);
                    }
                    break;
                }
                case SQLITE_NULL:
                    if (isBoolean) {
                        AppendJsonRaw(members, key, "false");
                    } else {
                        AppendJsonNull(members, key);
                    }
                    break;
                default:  // FLOAT and BLOB have no place in the replies
                    break;
            }
        }
        const size_t first = members.find_first_not_of(',');
        std::string_view trimmed;
        if (first != std::string::npos) {
            const size_t last = members.find_last_not_of(',');
            trimmed = std::string_view(members).substr(first, last - first + 1);
        }
        out.push_back('{');
        out.append(trimmed);
        out.append("},");
    }
    StripTrailingCommas(out);
    if (!single) out.push_back(']');
}

}  // namespace hbr
