#include "store/json.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

namespace hbr {
namespace {

struct ErrorCase {
    std::string text;
    JsonError error;
    size_t offset;
};

void ExpectFailure(const ErrorCase& c) {
    JsonDocument doc;
    EXPECT_FALSE(ParseJson(c.text, doc)) << c.text;
    EXPECT_FALSE(doc.Ok()) << c.text;
    EXPECT_EQ(doc.Error(), c.error) << c.text;
    EXPECT_EQ(doc.ErrorOffset(), c.offset) << c.text;
    EXPECT_TRUE(doc.Root().IsNull()) << c.text;
}

const JsonValue& Parse(JsonDocument& doc, std::string_view text) {
    EXPECT_TRUE(ParseJson(text, doc))
        << text << " error " << static_cast<int>(doc.Error()) << " at " << doc.ErrorOffset();
    return doc.Root();
}

double ParseNumber(std::string_view text) {
    JsonDocument doc;
    const JsonValue& v = Parse(doc, text);
    EXPECT_TRUE(v.IsNumber()) << text;
    return v.AsNumber();
}

std::string ParseString(std::string_view text) {
    JsonDocument doc;
    const JsonValue& v = Parse(doc, text);
    EXPECT_TRUE(v.IsString()) << text;
    return std::string(v.StringView());
}

// ----- errors ---------------------------------------------------------------------------------

TEST(JsonErrors, EachKindAtItsOffset) {
    const ErrorCase cases[] = {
        {"", JsonError::ExpectingValue, 0},
        {"  \n", JsonError::ExpectingValue, 3},
        {"[1,]", JsonError::ExpectingValue, 3},
        {"[1, ,2]", JsonError::ExpectingValue, 4},
        {"-", JsonError::ExpectingValue, 0},
        {"[-x]", JsonError::ExpectingValue, 1},
        {"+1", JsonError::ExpectingValue, 0},
        {".5", JsonError::ExpectingValue, 0},
        {"True", JsonError::ExpectingValue, 0},
        {"{a:1}", JsonError::ExpectingString, 1},
        {"{\"a\":1,}", JsonError::ExpectingString, 7},
        {"{\"a\":1, 2}", JsonError::ExpectingString, 8},
        {"tru", JsonError::InvalidLiteralName, 0},
        {"[nul]", JsonError::InvalidLiteralName, 1},
        {"[1,fals]", JsonError::InvalidLiteralName, 3},
        {"nULL", JsonError::InvalidLiteralName, 0},
        {"1e", JsonError::InvalidNumber, 2},
        {"1e+", JsonError::InvalidNumber, 3},
        {"[1E-x]", JsonError::InvalidNumber, 4},
        {"\"a\nb\"", JsonError::InvalidStringChar, 2},
        {"\"abc", JsonError::InvalidStringChar, 4},
        {"\"\x1f\"", JsonError::InvalidStringChar, 1},
        {"\"a\\x\"", JsonError::InvalidStringEscape, 3},
        {"\"\\u12G4\"", JsonError::InvalidStringEscape, 5},
        {"\"\\u12\"", JsonError::InvalidStringEscape, 5},
        {"\"\\", JsonError::InvalidStringEscape, 2},
        {"\"\\uD83D\"", JsonError::InvalidSurrogatePair, 7},
        {"\"\\uD83Dx\"", JsonError::InvalidSurrogatePair, 7},
        {"\"\\uD83D\\u0041\"", JsonError::InvalidSurrogatePair, 7},
        {"\"\\uDBFF\\uD800\"", JsonError::InvalidSurrogatePair, 7},
        {"\"\\uD83D\\n\"", JsonError::InvalidSurrogatePair, 7},
        {"\"\\uD83D\\uDE0Z\"", JsonError::InvalidStringEscape, 12},
        {"{\"a\" 1}", JsonError::MissingColon, 5},
        {"{\"a\"}", JsonError::MissingColon, 4},
        {"[1 2]", JsonError::MissingCommaOrBracket, 3},
        {"[1", JsonError::MissingCommaOrBracket, 2},
        {"{\"a\":1 \"b\":2}", JsonError::MissingCommaOrBracket, 7},
        {"{\"a\":1]", JsonError::MissingCommaOrBracket, 6},
        {"1 2", JsonError::UnexpectedCharacter, 2},
        {"{} x", JsonError::UnexpectedCharacter, 3},
        {"truex", JsonError::UnexpectedCharacter, 4},
        {"01", JsonError::UnexpectedCharacter, 1},
        {"[01]", JsonError::MissingCommaOrBracket, 2},
        {"-01", JsonError::UnexpectedCharacter, 2},
    };
    for (const auto& c : cases) ExpectFailure(c);
}

TEST(JsonErrors, OnlyFourWhiteSpaceBytes) {
    JsonDocument doc;
    EXPECT_TRUE(ParseJson(" \t\r\n{ \"a\" : [ 1 , 2 ] , \"b\" :{}}\r\n\t ", doc));
    ExpectFailure({"\f1", JsonError::ExpectingValue, 0});
    ExpectFailure({"1\v", JsonError::UnexpectedCharacter, 1});
}

TEST(JsonErrors, FailedParseLeavesNothingBehind) {
    JsonDocument doc;
    ASSERT_TRUE(ParseJson("{\"a\":1}", doc));
    EXPECT_EQ(doc.Root()["a"].AsInt(), 1);
    EXPECT_FALSE(ParseJson("{\"a\":1,\"b\":[1,2,", doc));
    EXPECT_TRUE(doc.Root().IsNull());
    EXPECT_TRUE(doc.Root()["a"].IsNull());
    EXPECT_EQ(doc.Root().Size(), 0u);
    EXPECT_EQ(doc.Error(), JsonError::ExpectingValue);
    // A later success replaces the recorded failure.
    ASSERT_TRUE(ParseJson("[]", doc));
    EXPECT_EQ(doc.Error(), JsonError::None);
    EXPECT_TRUE(doc.Root().IsArray());
}

// ----- nesting --------------------------------------------------------------------------------

TEST(JsonNesting, DeepTextsFailCleanly) {
    ExpectFailure({std::string(100000, '['), JsonError::TooDeep, kJsonMaxDepth});
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    ExpectFailure({objects, JsonError::TooDeep, 5 * static_cast<size_t>(kJsonMaxDepth)});
    const std::string justOver =
        std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']');
    ExpectFailure({justOver, JsonError::TooDeep, kJsonMaxDepth});
}

TEST(JsonNesting, UpToTheLimitParses) {
    for (int depth : {500, kJsonMaxDepth}) {
        std::string text = std::string(depth - 1, '[') + "{\"k\":7}" + std::string(depth - 1, ']');
        JsonDocument doc;
        const JsonValue* v = &Parse(doc, text);
        for (int i = 0; i < depth - 1; ++i) {
            ASSERT_TRUE(v->IsArray());
            ASSERT_EQ(v->Size(), 1u);
            v = &v->At(0);
        }
        EXPECT_EQ((*v)["k"].AsInt(), 7);
    }
}

// ----- numbers --------------------------------------------------------------------------------

TEST(JsonNumbers, BasicForms) {
    EXPECT_EQ(ParseNumber("0"), 0.0);
    EXPECT_FALSE(std::signbit(ParseNumber("0")));
    EXPECT_EQ(ParseNumber("-0"), 0.0);
    EXPECT_TRUE(std::signbit(ParseNumber("-0")));
    EXPECT_TRUE(std::signbit(ParseNumber("-0.0e5")));
    EXPECT_EQ(ParseNumber("1."), 1.0);
    EXPECT_EQ(ParseNumber("1.e2"), 100.0);
    EXPECT_EQ(ParseNumber("-12.5"), -12.5);
    EXPECT_EQ(ParseNumber("2E+3"), 2000.0);
    EXPECT_EQ(ParseNumber("25e-1"), 2.5);
    EXPECT_EQ(ParseNumber("0.5"), 0.5);
    EXPECT_EQ(ParseNumber("0e0"), 0.0);
}

TEST(JsonNumbers, ExponentLimits) {
    EXPECT_EQ(ParseNumber("1e308"), 1e308);
    EXPECT_EQ(ParseNumber("1e400"), 1e308);
    EXPECT_EQ(ParseNumber("-1e400"), -1e308);
    EXPECT_EQ(ParseNumber("1e99999999999999999999"), 1e308);
    EXPECT_EQ(ParseNumber("1e-700"), 0.0);
    EXPECT_EQ(ParseNumber("1e-617"), 0.0);
    EXPECT_TRUE(std::signbit(ParseNumber("-1e-700")));
    EXPECT_EQ(ParseNumber("1e-99999999999999999999"), 0.0);
    // Below 1e-308 the value is divided twice: by 1e308 and by the rest.
    EXPECT_EQ(ParseNumber("1e-310"), 1.0 / 1e308 / 1e2);
    EXPECT_EQ(ParseNumber("5e-324"), 5.0 / 1e308 / 1e16);
    EXPECT_GT(ParseNumber("5e-324"), 0.0);
}

TEST(JsonNumbers, LargeIntegers) {
    EXPECT_EQ(ParseNumber("9007199254740992"), 9007199254740992.0);
    EXPECT_EQ(ParseNumber("1844674407370955161"), 1844674407370955161.0);
    EXPECT_EQ(ParseNumber("18446744073709551615"), 18446744073709551615.0);
    EXPECT_EQ(ParseNumber("-9223372036854775808"), -9223372036854775808.0);
    // Digits past the 64-bit range are summed in floating point: close, not always exact.
    EXPECT_DOUBLE_EQ(ParseNumber("123456789012345678901234567890"), 1.2345678901234568e29);
}

TEST(JsonNumbers, FractionDigitsPastTwoToThe53AreIgnored) {
    // 2^53 - 1 exceeds the bound, so ".9" is dropped rather than rounded in.
    EXPECT_EQ(ParseNumber("9007199254740991.9"), 9007199254740991.0);
    EXPECT_EQ(ParseNumber("0.10000000000000000000000000001"), 0.1);
    EXPECT_EQ(ParseNumber("18446744073709551615.75"), 18446744073709551615.0);
}

TEST(JsonNumbers, ShortDecimalsMatchStrtod) {
    // With fewer than 16 significant digits and a net power of ten within 22 both operands are
    // exact, so the one multiplication or division rounds correctly and must equal strtod.
    const char* mantissas[] = {"0.1",
                               "1",
                               "7",
                               "0.3",
                               "123.456",
                               "3.14159265358979",
                               "0.000001",
                               "999999999999999",
                               "42.42",
                               "2.5",
                               "1.7976931348623",
                               "0.0"};
    int compared = 0;
    for (const std::string m : mantissas) {
        const size_t dot = m.find('.');
        const int fraction = dot == std::string::npos ? 0 : static_cast<int>(m.size() - dot - 1);
        for (int e = -22; e <= 22; ++e) {
            if (std::abs(e - fraction) > 22) continue;
            for (const char* sign : {"", "-"}) {
                const std::string text = sign + m + "e" + std::to_string(e);
                EXPECT_EQ(ParseNumber(text), std::strtod(text.c_str(), nullptr)) << text;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 500);
}

TEST(JsonNumbers, ReadAsInteger) {
    JsonDocument doc;
    const JsonValue& v =
        Parse(doc, "[3.9,-3.9,2147483647,-2147483648,1e10,-1e10,1e400,\"5\",true]");
    EXPECT_EQ(v.At(0).AsInt(), 3);
    EXPECT_EQ(v.At(1).AsInt(), -3);
    EXPECT_EQ(v.At(2).AsInt(), 2147483647);
    EXPECT_EQ(v.At(3).AsInt(), -2147483647 - 1);
    // Out of range saturates instead of being undefined.
    EXPECT_EQ(v.At(4).AsInt(), 2147483647);
    EXPECT_EQ(v.At(5).AsInt(), -2147483647 - 1);
    EXPECT_EQ(v.At(6).AsInt(), 2147483647);
    EXPECT_EQ(v.At(7).AsInt(), 0);
    EXPECT_EQ(v.At(8).AsInt(), 0);
}

// ----- strings --------------------------------------------------------------------------------

TEST(JsonStrings, Escapes) {
    EXPECT_EQ(ParseString(R"("\"\\\/\b\f\n\r\t")"), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(ParseString(R"("\u0041\u00e9\u00E9\u20AC")"), "A\xc3\xa9\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(ParseString(R"("")"), "");
    EXPECT_EQ(ParseString(R"("a\u0000b")"), std::string("a\0b", 3));
}

TEST(JsonStrings, Surrogates) {
    EXPECT_EQ(ParseString(R"("\uD83D\uDE00")"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(ParseString(R"("\ud83d\ude00")"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(ParseString(R"("\uDBFF\uDFFF")"), "\xf4\x8f\xbf\xbf");
    // A lone low surrogate is written as it is.
    EXPECT_EQ(ParseString(R"("\uDE00")"), "\xed\xb8\x80");
    EXPECT_EQ(ParseString(R"("x\uDE00\uDE00y")"), "x\xed\xb8\x80\xed\xb8\x80y");
}

TEST(JsonStrings, HighBytesPassUnvalidated) {
    EXPECT_EQ(ParseString("\"\xff\xfe\x80 \xc3\""), "\xff\xfe\x80 \xc3");
    EXPECT_EQ(ParseString("\"\xc3\xa9\\n\xf0\x9f\x98\x80\""), "\xc3\xa9\n\xf0\x9f\x98\x80");
}

TEST(JsonStrings, SpecialByteAtEveryPositionOfALongRun) {
    // The plain-run scan reads several bytes at a time; a quote, backslash or control byte
    // must be found wherever it falls.
    for (size_t k = 0; k < 40; ++k) {
        const std::string before(k, 'a');
        const std::string after(40 - k, '\xe9');
        EXPECT_EQ(ParseString("\"" + before + "\\n" + after + "\""), before + "\n" + after);
        EXPECT_EQ(ParseString("\"" + before + "\""), before);
        ExpectFailure({"\"" + before + "\x01" + after + "\"", JsonError::InvalidStringChar, 1 + k});
        ExpectFailure({"\"" + before, JsonError::InvalidStringChar, 1 + k});
    }
}

TEST(JsonStrings, ZeroByteEndsTheText) {
    JsonDocument doc;
    EXPECT_TRUE(ParseJson(std::string_view("[1]\0garbage", 11), doc));
    EXPECT_EQ(doc.Root().Size(), 1u);
    ExpectFailure({std::string("\"ab\0cd\"", 7), JsonError::InvalidStringChar, 3});
    ExpectFailure({std::string("\0{}", 3), JsonError::ExpectingValue, 0});
}

TEST(JsonStrings, DecodedValuesDoNotDependOnTheCallersBuffer) {
    JsonDocument doc;
    {
        std::string text = R"({"name":"vm\t1","list":["a","b"]})";
        ASSERT_TRUE(ParseJson(text, doc));
        text.assign(text.size(), 'X');
    }
    EXPECT_EQ(doc.Root()["name"].AsText(), "vm\t1");
    EXPECT_EQ(doc.Root()["list"].At(1).AsText(), "b");
}

// ----- structure and access -------------------------------------------------------------------

TEST(JsonAccess, ObjectsKeepEveryMemberAndLookupFindsTheFirst) {
    JsonDocument doc;
    const JsonValue& v = Parse(doc, R"({"a":1,"b":"x","a":2,"A":3})");
    ASSERT_TRUE(v.IsObject());
    EXPECT_EQ(v.Size(), 4u);
    EXPECT_EQ(v["a"].AsInt(), 1);
    EXPECT_EQ(v["A"].AsInt(), 3);
    EXPECT_TRUE(v["missing"].IsNull());
    std::string order;
    for (const JsonMember* m = v.MembersBegin(); m != v.MembersEnd(); ++m) {
        order += std::string(m->key) + "=" + std::to_string(m->value->AsInt()) + ";";
    }
    EXPECT_EQ(order, "a=1;b=0;a=2;A=3;");
}

TEST(JsonAccess, KeysWithEscapesCompareDecoded) {
    JsonDocument doc;
    const JsonValue& v = Parse(doc, R"({"a\u0062":1,"\u00e9":2})");
    EXPECT_EQ(v["ab"].AsInt(), 1);
    EXPECT_EQ(v["\xc3\xa9"].AsInt(), 2);
}

TEST(JsonAccess, KindsAndDefaults) {
    JsonDocument doc;
    const JsonValue& v = Parse(doc, R"([null,true,false,0,"t",[],{},[1,[2]]])");
    ASSERT_EQ(v.Size(), 8u);
    EXPECT_TRUE(v.At(0).IsNull());
    EXPECT_TRUE(v.At(1).IsBoolean());
    EXPECT_TRUE(v.At(1).IsTrue());
    EXPECT_FALSE(v.At(2).IsTrue());
    EXPECT_FALSE(v.At(3).IsTrue());
    EXPECT_FALSE(v.At(4).IsTrue());
    EXPECT_EQ(v.At(4).AsText("d"), "t");
    EXPECT_EQ(v.At(3).AsText("d"), "d");
    EXPECT_EQ(v.At(0).AsText(), "");
    EXPECT_TRUE(v.At(5).IsArray());
    EXPECT_EQ(v.At(5).Size(), 0u);
    EXPECT_EQ(v.At(5).ElementsBegin(), v.At(5).ElementsEnd());
    EXPECT_TRUE(v.At(6).IsObject());
    EXPECT_EQ(v.At(6).MembersBegin(), v.At(6).MembersEnd());
    EXPECT_EQ(v.At(7).At(1).At(0).AsInt(), 2);
    EXPECT_TRUE(v.At(8).IsNull());
    EXPECT_TRUE(v.At(7).At(5).IsNull());
    // Lookups on the wrong kind find nothing.
    EXPECT_TRUE(v["x"].IsNull());
    EXPECT_EQ(v.At(4).Size(), 0u);
    EXPECT_EQ(v.At(4).StringView(), "t");
    EXPECT_EQ(v.At(3).StringView(), "");
    EXPECT_EQ(v.MembersBegin(), v.MembersEnd());
    EXPECT_EQ(v.At(6).ElementsBegin(), v.At(6).ElementsEnd());
    size_t n = 0;
    for (auto it = v.ElementsBegin(); it != v.ElementsEnd(); ++it) n += (*it)->IsNull() ? 0 : 1;
    EXPECT_EQ(n, 7u);
}

TEST(JsonAccess, MovedDocumentKeepsItsValues) {
    JsonDocument doc;
    ASSERT_TRUE(ParseJson(R"({"vms":["a","b","c"]})", doc));
    const JsonValue* vms = &doc.Root()["vms"];
    JsonDocument moved(std::move(doc));
    EXPECT_EQ(&moved.Root()["vms"], vms);
    EXPECT_EQ(vms->At(2).AsText(), "c");
    JsonDocument assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.Root()["vms"].Size(), 3u);
}

TEST(JsonAccess, LargeArrayOfObjects) {
    std::string text = "[";
    for (int i = 0; i < 20000; ++i) {
        text += "{\"id\":" + std::to_string(i) + ",\"name\":\"vm-" + std::to_string(i) + "\"},";
    }
    text.back() = ']';
    JsonDocument doc;
    const JsonValue& v = Parse(doc, text);
    ASSERT_EQ(v.Size(), 20000u);
    EXPECT_EQ(v.At(19999)["id"].AsInt(), 19999);
    EXPECT_EQ(v.At(12345)["name"].AsText(), "vm-12345");
}

// ----- writing --------------------------------------------------------------------------------

TEST(JsonEscape, EightEscapesAndEveryControlByte) {
    EXPECT_EQ(JsonEscape("a\tb/c"), "a\\tb\\/c");
    EXPECT_EQ(JsonEscape("\b\f\n\r\t\"/\\"), "\\b\\f\\n\\r\\t\\\"\\/\\\\");
    EXPECT_EQ(JsonEscape("\x01\x1f\x7f"), "\\u0001\\u001f\x7f");
    EXPECT_EQ(JsonEscape("\xc3\xa9\xff"), "\xc3\xa9\xff");
    EXPECT_EQ(JsonEscape(std::string_view("a\0b", 3)), "a\\u0000b");
    // Every byte below 0x20 reads back as itself from the escaped text.
    std::string all;
    for (int c = 0; c < 0x20; ++c) all.push_back(static_cast<char>(c));
    JsonDocument doc;
    ASSERT_TRUE(ParseJson("\"" + JsonEscape(all) + "\"", doc));
    EXPECT_EQ(doc.Root().StringView(), all);
    EXPECT_EQ(JsonEscape(""), "");
    EXPECT_EQ(JsonEscapeW("x/y"), "x\\/y");
}

TEST(JsonWriting, MemberForms) {
    std::string out = "{";
    const std::string name = "vm \"1\"";
    AppendJsonString(out, "name", &name);
    AppendJsonString(out, "none", nullptr);
    AppendJsonString(out, "view", std::string_view("a\nb"));
    AppendJsonInt(out, "n", -2147483647 - 1);
    AppendJsonInt(out, "z", 0);
    AppendJsonRaw(out, "ok", "true");
    AppendJsonNull(out, "gone");
    CloseJson(out, '}');
    EXPECT_EQ(out, R"({"name":"vm \"1\"","none": null,"view":"a\nb","n":-2147483648,"z":0,)"
                   R"("ok":true,"gone": null})");
    JsonDocument doc;
    ASSERT_TRUE(ParseJson(out, doc)) << "the member forms make valid JSON";
    EXPECT_EQ(doc.Root()["name"].AsText(), name);
}

TEST(JsonWriting, TrailingCommasAreStripped) {
    std::string out = "[1,2,,,";
    StripTrailingCommas(out);
    EXPECT_EQ(out, "[1,2");
    out = ",,,";
    StripTrailingCommas(out);
    EXPECT_EQ(out, "");
    out = "{";
    CloseJson(out, '}');
    EXPECT_EQ(out, "{}");
    out = "[";
    CloseJson(out, ']');
    EXPECT_EQ(out, "[]");
}

// ----- rows -----------------------------------------------------------------------------------

class RowsToJsonTest : public ::testing::Test {
  protected:
    RowsToJsonTest() : db(":memory:", SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE) {
        db.exec(
            "CREATE TABLE roles (id INTEGER NOT NULL PRIMARY KEY, name TEXT, j_vms JSON, "
            "b_disabled INTEGER, load REAL, icon BLOB, comment TEXT);"
            "INSERT INTO roles VALUES (1, 'admin \"x\"', '', NULL, 1.5, x'00ff', NULL);"
            "INSERT INTO roles VALUES (2, 'ops', '[\"vm1\",\"vm2\"]', 1, 2.5, x'01', 'a/b');"
            "INSERT INTO roles VALUES (3, 'off', NULL, 0, NULL, NULL, '');");
    }
    std::string Run(const char* sql, bool single) {
        SQLite::Statement st(db, sql);
        std::string out;
        RowsToJson(st, out, single);
        return out;
    }
    SQLite::Database db;
};

TEST_F(RowsToJsonTest, ListOfRowsByColumnKind) {
    EXPECT_EQ(Run("SELECT * FROM roles ORDER BY id", false),
              R"([{"id":1,"name":"admin \"x\"","vms": null,"disabled":false,"comment": null},)"
              R"({"id":2,"name":"ops","vms":["vm1","vm2"],"disabled":true,"comment":"a\/b"},)"
              R"({"id":3,"name":"off","vms": null,"disabled":false,"load": null,"icon": null,)"
              R"("comment":""}])");
}

TEST_F(RowsToJsonTest, AliasesDecideKeyAndKind) {
    EXPECT_EQ(Run("SELECT id AS b_on, 0 AS b_off, name AS j_raw, 7 AS jb_x, -5 AS plain, "
                  "4294967297 AS wide FROM roles WHERE id = 2",
                  true),
              R"({"on":true,"off":false,"raw":ops,"x":7,"plain":-5,"wide":1})");
}

TEST_F(RowsToJsonTest, SingleAndEmptyResults) {
    EXPECT_EQ(Run("SELECT id, name FROM roles WHERE id = 3", true), R"({"id":3,"name":"off"})");
    EXPECT_EQ(Run("SELECT id FROM roles WHERE id = 99", true), "");
    EXPECT_EQ(Run("SELECT id FROM roles WHERE id = 99", false), "[]");
    // A row of only left-out columns is still an object, with its commas stripped.
    EXPECT_EQ(Run("SELECT load, icon FROM roles ORDER BY id LIMIT 2", false), "[{},{}]");
    EXPECT_EQ(Run("SELECT load, id, icon FROM roles WHERE id = 1", true), R"({"id":1})");
}

TEST_F(RowsToJsonTest, AppendsToWhatIsThere) {
    SQLite::Statement st(db, "SELECT id FROM roles WHERE id < 3 ORDER BY id");
    std::string out = R"({"total":2,"rows":)";
    RowsToJson(st, out, false);
    CloseJson(out, '}');
    EXPECT_EQ(out, R"({"total":2,"rows":[{"id":1},{"id":2}]})");
}

TEST_F(RowsToJsonTest, DatabaseFailuresPropagate) {
    SQLite::Statement st(db, "SELECT abs(-9223372036854775807 - 1)");
    std::string out;
    EXPECT_THROW(RowsToJson(st, out, false), SQLite::Exception);
}

}  // namespace
}  // namespace hbr
