#pragma once
// Text on the clipboard both ways: the browser's text for the guest's clipboard arrives in
// parts (a socket message holds at most 64 KB) and is put together here; the guest's text
// arrives as CF_UNICODETEXT bytes and leaves as UTF-8. Nothing here calls the RDP library.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hbr::rconsole {

// Most text one transfer carries, in UTF-8 bytes, either way.
inline constexpr size_t kMaxClipboardBytes = 1 << 20;

// Browser message 7: u32 code 7, u32 last (1: the transfer ends with this part, 0: more
// follows), then the part's UTF-8 bytes.
inline constexpr uint32_t kInputClipboard = 7;

inline constexpr char kClipboardTooLargeText[] =
    "W:The clipboard text is larger than 1 MB; it was not copied.";
inline constexpr char kNoClipboardChannelText[] =
    "W:The VM's connection offers no clipboard; the text was not copied.";
inline constexpr char kClipboardNotTextText[] =
    "W:The clipboard text is not valid UTF-8; it was not copied.";

// CF_UNICODETEXT bytes (UTF-16LE, up to the first NUL; an odd last byte is ignored) as UTF-8;
// empty when they hold no valid text (a lone surrogate) or more than kMaxClipboardBytes
// (`tooLarge` then set).
std::optional<std::string> UnicodeTextToUtf8(const uint8_t* bytes, size_t length, bool& tooLarge);

// UTF-8 text as CF_UNICODETEXT bytes with their closing NUL; empty for invalid UTF-8 (also
// overlong forms, surrogates and code points above U+10FFFF).
std::optional<std::vector<uint8_t>> Utf8ToUnicodeText(std::string_view text);

// Puts the parts of one browser transfer together.
class ClipboardAssembler {
  public:
    enum class Result { More, Complete, TooLarge, NotText, Ignored };
    // One message 7. Complete: Take() holds the text. TooLarge and NotText end the transfer
    // and say so once; the parts that follow up to the last are dropped quietly (Ignored).
    Result Feed(const uint8_t* bytes, size_t length);
    std::string Take() { return std::exchange(done_, {}); }

  private:
    std::string text_;
    std::string done_;
    bool dropping_ = false;
};

}  // namespace hbr::rconsole
