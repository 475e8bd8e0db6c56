#pragma once
// UTF-8 one code point at a time: writing it (escapes, entities and UTF-16 turned into text) and
// reading it strictly (request paths, XML text, text bound for UTF-16).
#include <cstddef>
#include <string>
#include <string_view>

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

// The length (1 to 4) of the well-formed UTF-8 sequence `s` starts with, its code point in `cp`;
// 0 when `s` is empty or starts with anything else: a stray continuation byte, an overlong form,
// a surrogate, a value past U+10FFFF, a sequence cut short (and `cp` means nothing).
std::size_t ReadUtf8(std::string_view s, char32_t& cp);

bool IsWellFormedUtf8(std::string_view s);

}  // namespace hbr
