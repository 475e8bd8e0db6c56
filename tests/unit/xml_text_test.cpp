// Text written into XML: whatever goes in, the document stays well-formed, and what XML 1.0 can
// carry reads back exactly, in element content and in attribute values.
#include "hyperv/wmi/xml_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hyperv/providers/wsman/wsman_xml.h"

namespace hbr {
namespace {

// The text as a conforming reader (libxml2) gets it back from an element and an attribute.
struct ReadBack {
    bool wellFormed = false;
    std::string element, attribute;
};

ReadBack ThroughXml(const std::string& text) {
    const std::string doc = "<r a=\"" + XmlText(text) + "\">" + XmlText(text) + "</r>";
    wsman::XmlElement root;
    std::string error;
    ReadBack r;
    r.wellFormed = wsman::ReadXml(doc, root, &error) == wsman::XmlReadError::None;
    if (!r.wellFormed) return r;
    r.element = root.text;
    if (const std::string* a = root.Attribute("", "a")) r.attribute = *a;
    return r;
}

TEST(XmlText, WhatXmlCarriesReadsBackExactlyInTextAndAttributes) {
    const std::vector<std::string> texts = {
        "",
        "plain",
        "a & b < c > d \"e\" 'f'",
        "&amp; is already an entity; &#38; too",
        "]]> ends a CDATA section",
        "tab\there, lines\nand\r\nwindows\rends",  // kept as written, not normalised
        "  leading and trailing  ",
        "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD",  // 2-, 3-, 4-byte, U+FFFD
        "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF",  // U+D7FF, U+E000, U+10FFFF: the edges
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(XmlCarries(text));
        const ReadBack r = ThroughXml(text);
        ASSERT_TRUE(r.wellFormed);
        EXPECT_EQ(r.element, text);
        EXPECT_EQ(r.attribute, text);
    }
}

TEST(XmlText, WhatXmlCannotCarryBecomesTheReplacementCharacter) {
    const std::string kFffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {std::string("a\0b", 3), "a" + kFffd + "b"},
        {"\x01\x08\x0B\x0C\x1F", kFffd + kFffd + kFffd + kFffd + kFffd},
        {"x\x7F", "x\x7F"},                       // DEL is a legal character
        {"\xC0\x80", kFffd + kFffd},              // overlong NUL
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},  // overlong '/'
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},  // a surrogate
        {"\xEF\xBF\xBE\xEF\xBF\xBF", kFffd + kFffd + kFffd + kFffd + kFffd + kFffd},  // U+FFFE/F
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},                          // > U+10FFFF
        {"\xF5\x80", kFffd + kFffd},
        {"\x80 lone continuation", kFffd + " lone continuation"},
        {"cut \xE2\x82", "cut " + kFffd + kFffd},  // truncated at the end
        {"cut \xE2\x82x", "cut " + kFffd + kFffd + "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(XmlCarries(c.in), c.in == c.out);
        const ReadBack r = ThroughXml(c.in);
        ASSERT_TRUE(r.wellFormed);
        EXPECT_EQ(r.element, c.out);
        EXPECT_EQ(r.attribute, c.out);
    }
    EXPECT_FALSE(XmlCarries(std::string("a\0b", 3)));
    EXPECT_FALSE(XmlCarries("\xED\xA0\x80"));
    EXPECT_FALSE(XmlCarries("\xE2\x82"));
}

TEST(XmlText, EverySingleByteKeepsTheDocumentWellFormed) {
    for (int b = 0; b < 256; ++b) {
        const std::string text(1, static_cast<char>(b));
        SCOPED_TRACE(b);
        EXPECT_TRUE(ThroughXml("<" + text + ">").wellFormed);
    }
}

}  // namespace
}  // namespace hbr
