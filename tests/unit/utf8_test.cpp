// One code point in, its UTF-8 bytes out: the edges of each length, and what is refused.
#include <gtest/gtest.h>

#include <string>

#include "platform/utf8.h"

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

}  // namespace
}  // namespace hbr
