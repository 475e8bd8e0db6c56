#pragma once
// UTF-8 encoding of single code points, shared by the readers that turn escapes, entities and
// UTF-16 into text.
#include <string>

namespace hbr {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr bool IsSurrogate(char32_t cp) {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

// Writes `cp` at `w` (room for 4 bytes) in 1 to 4 bytes and returns the end of what it wrote.
// A surrogate gets its 3-byte form, which is not well-formed UTF-8 (JSON keeps a lone low
// surrogate so); past U+10FFFF nothing is written.
char* WriteUtf8(char* w, char32_t cp);

// Appends `cp` as well-formed UTF-8; false, with nothing appended, for a surrogate or a value
// past U+10FFFF.
bool AppendUtf8(std::string& out, char32_t cp);

}  // namespace hbr
