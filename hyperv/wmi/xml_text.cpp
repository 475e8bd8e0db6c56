#include "hyperv/wmi/xml_text.h"

#include "platform/utf8.h"

namespace hbr {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at `s[0]` whose character XML 1.0 allows, or 0.
std::size_t CharLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return b0 >= 0x20 || b0 == '\t' || b0 == '\n' || b0 == '\r' ? 1 : 0;
    char32_t cp;
    const std::size_t n = ReadUtf8(s, cp);
    if (n == 0 || cp == 0xFFFE || cp == 0xFFFF) return 0;
    return n;
}

}  // namespace

bool AppendXmlText(std::string& out, std::string_view text) {
    bool exact = true;
    while (!text.empty()) {
        const std::size_t n = CharLength(text);
        if (n == 0) {
            exact = false;
            out += kReplacement;
            text.remove_prefix(1);
            continue;
        }
        switch (text[0]) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out.append(text.substr(0, n));
        }
        text.remove_prefix(n);
    }
    return exact;
}

std::string XmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    AppendXmlText(out, text);
    return out;
}

bool XmlCarries(std::string_view text) {
    while (!text.empty()) {
        const std::size_t n = CharLength(text);
        if (n == 0) return false;
        text.remove_prefix(n);
    }
    return true;
}

}  // namespace hbr
