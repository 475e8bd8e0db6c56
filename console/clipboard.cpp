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
    while (!text.empty()) {
        char32_t cp;
        const size_t n = ReadUtf8(text, cp);
        if (n == 0) return std::nullopt;
        if (cp >= 0x10000) {
            PutUnit(out, 0xD800 + ((cp - 0x10000) >> 10));
            PutUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            PutUnit(out, cp);
        }
        text.remove_prefix(n);
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
    if (!IsWellFormedUtf8(text)) return Result::NotText;
    done_ = std::move(text);
    return Result::Complete;
}

}  // namespace hbr::rconsole
