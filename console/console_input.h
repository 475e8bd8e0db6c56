#pragma once
// Keyboard and mouse messages of the browser, turned into RDP input events. Parsing is kept
// apart from the library calls so that the receive thread only parses and the session loop,
// which owns the connection, applies the events.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct rdp_input;

namespace hbr::rconsole {

enum InputCode : uint32_t {
    kInputMouse = 0,
    kInputKey = 1,
    kInputKeyPress = 2,
    kInputSpecial = 3,
    kInputConnect = 4,
    kInputUnicode = 5,
    // u32 down, u32 scancode (bit 0x100: extended): the physical key itself, so that the
    // guest's own keyboard layout decides the character.
    kInputScancode = 6,
};

inline constexpr uint16_t kKbdDown = 0x4000;
inline constexpr uint16_t kKbdRelease = 0x8000;
inline constexpr uint16_t kKbdExtended = 0x0100;

struct InputEvent {
    enum class Kind : uint8_t { Mouse, Keyboard, Unicode };
    Kind kind = Kind::Keyboard;
    uint16_t flags = 0;
    uint16_t code = 0;  // scancode with 0x100 for extended keys, or the UTF-16 unit
    uint16_t x = 0;
    uint16_t y = 0;
    bool operator==(const InputEvent&) const = default;
};

// Browser key code to RDP scancode; bit 0x100 marks an extended key.
extern const std::array<uint16_t, 256> KeyCodeToScancode;

// Appends the events of one message. Messages shorter than their fields, unknown codes and
// the connect message add nothing.
void ParseInput(const uint8_t* bytes, size_t length, std::vector<InputEvent>& out);

// Sends one event on the connection; called on the thread that runs the library's events.
void ApplyInput(rdp_input* input, const InputEvent& event);

}  // namespace hbr::rconsole
