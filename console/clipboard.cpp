#include "console/clipboard.h"

#include "console/wire_bytes.h"
#include "platform/utf8.h"

#include <utility>

namespace hbr::rconsole {
namespace {

void PutUnit(std::vector<uint8_t>& out, uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}

bool ValidUtf8(std::string_view s) {
    return Utf8ToUnicodeText(s).has_value();
}

}  // namespace

std::optional<std::string> UnicodeTextToUtf8(const uint8_t* bytes, size_t length, bool& tooLarge) {
    tooLarge = false;
    std::string out;
    if (!bytes) return out;
    const size_t units = length / 2;
    auto unit = [bytes](size_t i) { return uint32_t(bytes[2 * i]) | uint32_t(bytes[2 * i + 1]) << 8; };
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = unit(i);
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units) return std::nullopt;
            const uint32_t low = unit(i + 1);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        // A lone surrogate has no UTF-8 form.
        if (!AppendUtf8(out, u)) return std::nullopt;
        if (out.size() > kMaxClipboardBytes) {
            tooLarge = true;
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::vector<uint8_t>> Utf8ToUnicodeText(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2 + 2);
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        uint32_t cp;
        size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
        } else {
            return std::nullopt;
        }
        if (extra && i + extra >= n) return std::nullopt;
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        if (cp >= 0x10000) {
            PutUnit(out, 0xD800 + ((cp - 0x10000) >> 10));
            PutUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            PutUnit(out, cp);
        }
        i += extra + 1;
    }
    PutUnit(out, 0);
    return out;
}

ClipboardAssembler::Result ClipboardAssembler::Feed(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 8 || U32(bytes) != kInputClipboard) return Result::Ignored;
    const bool last = U32(bytes + 4) != 0;
    const size_t partLength = length - 8;
    if (dropping_) {
        if (last) dropping_ = false;
        return Result::Ignored;
    }
    if (text_.size() + partLength > kMaxClipboardBytes) {
        text_.clear();
        text_.shrink_to_fit();
        dropping_ = !last;
        return Result::TooLarge;
    }
    text_.append(reinterpret_cast<const char*>(bytes + 8), partLength);
    if (!last) return Result::More;
    std::string text = std::exchange(text_, {});
    // A part may end inside a character; only the whole text must be UTF-8.
    if (!ValidUtf8(text)) return Result::NotText;
    done_ = std::move(text);
    return Result::Complete;
}

}  // namespace hbr::rconsole
