// UTF-8 one code point at a time: the edges of each length both ways, and what is refused.
#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace hbr {
namespace {

std::string Written(char32_t cp) {
    char bytes[4];
    return std::string(bytes, WriteUtf8(bytes, cp));
}

std::string Appended(char32_t cp) {
    std::string out = "x";
    if (!AppendUtf8(out, cp)) return "refused:" + out;
    return out.substr(1);
}

TEST(Utf8, EachLengthEndsWhereTheNextBegins) {
    const struct {
        char32_t cp;
        std::string bytes;
    } cases[] = {
        {0x00, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD7FF, "\xED\x9F\xBF"},
        {0xE000, "\xEE\x80\x80"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x1F600, "\xF0\x9F\x98\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Written(c.cp), c.bytes) << std::hex << static_cast<unsigned>(c.cp);
        EXPECT_EQ(Appended(c.cp), c.bytes) << std::hex << static_cast<unsigned>(c.cp);
    }
}

TEST(Utf8, SurrogatesAreWrittenRawButNeverAppended) {
    // The raw writer keeps a surrogate's 3-byte form (a JSON lone low surrogate reads so).
    EXPECT_EQ(Written(0xD800), "\xED\xA0\x80");
    EXPECT_EQ(Written(0xDBFF), "\xED\xAF\xBF");
    EXPECT_EQ(Written(0xDC00), "\xED\xB0\x80");
    EXPECT_EQ(Written(0xDFFF), "\xED\xBF\xBF");
    // Well-formed text has none, and a refusal leaves the text as it was.
    for (char32_t cp : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) EXPECT_EQ(Appended(cp), "refused:x");
}

TEST(Utf8, NothingPastTheLastCodePoint) {
    for (char32_t cp : {0x110000u, 0x1FFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(Written(cp), "") << std::hex << static_cast<unsigned>(cp);
        EXPECT_EQ(Appended(cp), "refused:x") << std::hex << static_cast<unsigned>(cp);
    }
}

// What ReadUtf8 makes of `bytes`: "len:cp" in hex, or "0" when it refuses.
std::string Read(const std::string& bytes) {
    char32_t cp = 0;
    const std::size_t n = ReadUtf8(bytes, cp);
    if (n == 0) return "0";
    char text[32];
    std::snprintf(text, sizeof text, "%zu:%X", n, static_cast<unsigned>(cp));
    return text;
}

TEST(Utf8, ReadsBackEveryLengthAndOnlyItsOwnBytes) {
    for (char32_t cp :
         {0x00u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        std::string bytes;
        ASSERT_TRUE(AppendUtf8(bytes, cp));
        char text[32];
        std::snprintf(text, sizeof text, "%zu:%X", bytes.size(), static_cast<unsigned>(cp));
        EXPECT_EQ(Read(bytes), text);
        // What follows the sequence is not read.
        EXPECT_EQ(Read(bytes + "\xC3"), text);
    }
}

TEST(Utf8, RefusesEveryIllFormedStart) {
    for (const std::string& bad : {
             std::string(),        // nothing
             std::string("\x80"),  // a continuation byte
             std::string("\xBF"),
             std::string("\xC0\x80"),  // overlong forms
             std::string("\xC1\xBF"),
             std::string("\xE0\x9F\xBF"),
             std::string("\xF0\x8F\xBF\xBF"),
             std::string("\xED\xA0\x80"),  // surrogates
             std::string("\xED\xBF\xBF"),
             std::string("\xF4\x90\x80\x80"),  // past U+10FFFF
             std::string("\xF5\x80\x80\x80"),
             std::string("\xFF"),
             std::string("\xE2\x82"),  // cut short
             std::string("\xF0\x9F\x98"),
             std::string("\xC3("),  // no continuation
             std::string("\xE2\x82("),
         }) {
        EXPECT_EQ(Read(bad), "0") << testing::PrintToString(bad);
    }
}

TEST(Utf8, WholeTextIsWellFormedOnlyWhenEveryCharacterIs) {
    EXPECT_TRUE(IsWellFormedUtf8(""));
    EXPECT_TRUE(IsWellFormedUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(IsWellFormedUtf8("caf\xC3\xA9 \xF0\x9F\x98"));  // the last one cut short
    EXPECT_TRUE(IsWellFormedUtf8("plain"));
    EXPECT_FALSE(IsWellFormedUtf8("\xED\xA0\x80"));      // U+D800
    EXPECT_FALSE(IsWellFormedUtf8("\xC1\xBF"));          // overlong
    EXPECT_FALSE(IsWellFormedUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(IsWellFormedUtf8("\xE2\x82"));          // cut short
    EXPECT_FALSE(IsWellFormedUtf8("\x80"));
}

}  // namespace
}  // namespace hbr
