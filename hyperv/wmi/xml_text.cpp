#include "hyperv/wmi/xml_text.h"

#include <cstdint>

namespace hbr {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at `s[0]` whose character XML 1.0 allows, or 0.
std::size_t CharLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return b0 >= 0x20 || b0 == '\t' || b0 == '\n' || b0 == '\r' ? 1 : 0;
    std::size_t n;
    std::uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, cp = b0 & 0x07u;
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
    }
    if (s.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;  // surrogates have no place in UTF-8
    if (cp == 0xFFFE || cp == 0xFFFF) return 0;
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
