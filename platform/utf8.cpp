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

}  // namespace hbr
