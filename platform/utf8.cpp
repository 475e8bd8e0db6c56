#include "platform/utf8.h"

namespace hbr {

char* WriteUtf8(char* w, char32_t cp) {
    if (cp < 0x80) {
        *w++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *w++ = static_cast<char>(0xC0 | (cp >> 6));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (cp >> 12));
        *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp <= kMaxCodePoint) {
        *w++ = static_cast<char>(0xF0 | (cp >> 18));
        *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return w;
}

bool AppendUtf8(std::string& out, char32_t cp) {
    if (IsSurrogate(cp) || cp > kMaxCodePoint) return false;
    char bytes[4];
    out.append(bytes, WriteUtf8(bytes, cp));
    return true;
}

std::size_t ReadUtf8(std::string_view s, char32_t& cp) {
    if (s.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(s[0]);
    std::size_t n;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, cp = b0 & 0x07u;
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or past U+10FFFF
    }
    if (s.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > kMaxCodePoint))) return 0;
    if (IsSurrogate(cp)) return 0;
    return n;
}

bool IsWellFormedUtf8(std::string_view s) {
    char32_t cp;
    while (!s.empty()) {
        const std::size_t n = ReadUtf8(s, cp);
        if (n == 0) return false;
        s.remove_prefix(n);
    }
    return true;
}

}  // namespace hbr
