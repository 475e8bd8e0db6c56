#include "console/console_input.h"

#include "console/wire_bytes.h"

#include <freerdp/input.h>

#include <cstring>

namespace hbr::rconsole {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> t{};
    const std::pair<int, uint16_t> entries[] = {
        {8, 0x0E},   {9, 0x0F},    {10, 0x44},   {11, 0x46},  {12, 0x48},  {13, 0x1C},  {14, 0x0E},
        {15, 0x58},  {16, 0x2A},   {17, 0x1D},   {18, 0x38},  {19, 0x146}, {20, 0x3A},  {21, 0x57},
        {22, 0x45},  {23, 0x52},   {24, 0x59},   {25, 0x41},  {26, 0x31},  {27, 0x01},  {28, 0x33},
        {29, 0x34},  {30, 0x36},   {31, 0x35},   {32, 0x39},  {33, 0x149}, {34, 0x151}, {35, 0x14F},
        {36, 0x147}, {37, 0x14B},  {38, 0x148},  {39, 0x14D}, {40, 0x150}, {41, 0x0B},  {42, 0x37},
        {43, 0x4E},  {44, 0x137},  {45, 0x152},  {46, 0x153}, {47, 0x135}, {48, 0x0B},  {58, 0x27},
        {59, 0x27},  {60, 0x33},   {61, 0x0D},   {62, 0x34},  {63, 0x135}, {64, 0x03},  {65, 0x1E},
        {66, 0x30},  {67, 0x2E},   {68, 0x20},   {69, 0x12},  {70, 0x21},  {71, 0x22},  {72, 0x23},
        {73, 0x17},  {74, 0x24},   {75, 0x25},   {76, 0x26},  {77, 0x32},  {78, 0x31},  {79, 0x18},
        {80, 0x19},  {81, 0x10},   {82, 0x13},   {83, 0x1F},  {84, 0x14},  {85, 0x16},  {86, 0x2F},
        {87, 0x11},  {88, 0x2D},   {89, 0x15},   {90, 0x2C},  {91, 0x15B}, {92, 0x15C}, {93, 0x15D},
        {94, 0x07},  {95, 0x0C},   {96, 0x52},   {97, 0x4F},  {98, 0x50},  {99, 0x51},  {100, 0x4B},
        {101, 0x4C}, {102, 0x4D},  {103, 0x47},  {104, 0x48}, {105, 0x49}, {106, 0x37}, {107, 0x4E},
        {109, 0x4A}, {110, 0x153}, {111, 0x135}, {122, 0x57}, {123, 0x58}, {124, 0x2B}, {125, 0x1B},
        {126, 0x73}, {127, 0x23},  {128, 0x71},  {129, 0x22}, {130, 0x70}, {131, 0x25}, {132, 0x27},
        {133, 0x28}, {134, 0x26},  {144, 0x45},  {145, 0x46}, {173, 0x0C}, {186, 0x27}, {187, 0x0D},
        {188, 0x33}, {189, 0x0C},  {190, 0x34},  {191, 0x35}, {192, 0x29}, {219, 0x1A}, {220, 0x2B},
        {221, 0x1B}, {222, 0x28},
    };
    for (const auto& [code, scan] : entries) t[static_cast<size_t>(code)] = scan;
    for (int i = 0; i < 9; ++i) t[static_cast<size_t>(49 + i)] = static_cast<uint16_t>(0x02 + i);
    for (int i = 0; i < 10; ++i) t[static_cast<size_t>(112 + i)] = static_cast<uint16_t>(0x3B + i);
    return t;
}

constexpr uint16_t kScanControl = 0x1D;
constexpr uint16_t kScanAlt = 0x38;
constexpr uint16_t kScanShift = 0x2A;
constexpr uint16_t kScanDelete = 0x153;
constexpr uint16_t kScanTab = 0x0F;

void Key(std::vector<InputEvent>& out, uint16_t flags, uint16_t code) {
    out.push_back({InputEvent::Kind::Keyboard, flags, code, 0, 0});
}

void Tap(std::vector<InputEvent>& out, uint16_t code) {
    Key(out, kKbdDown, code);
    Key(out, kKbdRelease, code);
}

void Unicode(std::vector<InputEvent>& out, uint16_t unit) {
    out.push_back({InputEvent::Kind::Unicode, kKbdDown, unit, 0, 0});
    out.push_back({InputEvent::Kind::Unicode, kKbdRelease, unit, 0, 0});
}

void CtrlAltDel(std::vector<InputEvent>& out) {
    Key(out, kKbdDown, kScanControl);
    Key(out, kKbdDown, kScanAlt);
    Key(out, kKbdDown, kScanDelete);
    Key(out, kKbdRelease, kScanDelete);
    Key(out, kKbdRelease, kScanAlt);
    Key(out, kKbdRelease, kScanControl);
}

// A character typed with Control or Alt held: the guest must see the chord itself (Ctrl+C
// copies), so the letter goes as its scancode inside the modifiers the browser reported.
void ModifiedLetter(std::vector<InputEvent>& out, uint32_t modifiers, uint32_t code) {
    const bool lower = code >= 97 && code <= 122;
    const bool upper = code >= 65 && code <= 90;
    if (!lower && !upper) return;
    const uint16_t scan = KeyCodeToScancode[lower ? code - 32 : code];
    uint16_t held[3];
    int n = 0;
    if (modifiers & 1) held[n++] = kScanShift;
    if (modifiers & 2) held[n++] = kScanControl;
    if (modifiers & 4) held[n++] = kScanAlt;
    for (int i = 0; i < n; ++i) Key(out, kKbdDown, held[i]);
    Tap(out, scan);
    for (int i = n - 1; i >= 0; --i) Key(out, kKbdRelease, held[i]);
}

}  // namespace

const std::array<uint16_t, 256> KeyCodeToScancode = MakeTable();

void ParseInput(const uint8_t* bytes, size_t length, std::vector<InputEvent>& out) {
    if (!bytes || length < 4) return;
    const auto field = [&](size_t i) { return U32(bytes + 4 * i); };
    const size_t fields = length / 4;  // the code included
    switch (field(0)) {
        case kInputMouse:
            if (fields < 4) return;
            out.push_back({InputEvent::Kind::Mouse, static_cast<uint16_t>(field(1)), 0,
                           static_cast<uint16_t>(field(2)), static_cast<uint16_t>(field(3))});
            return;
        case kInputKey: {
            if (fields < 3) return;
            const uint32_t keyCode = field(2);
            if (keyCode == 0) return;
            const uint16_t entry = KeyCodeToScancode[keyCode % 256];
            uint16_t flags = field(1) ? kKbdDown : kKbdRelease;
            if (entry & 0x100) flags |= kKbdExtended;
            Key(out, flags, entry);
            return;
        }
        case kInputKeyPress: {
            if (fields < 3) return;
            const uint32_t modifiers = field(1);
            const uint32_t code = field(2);
            if (code >= 1 && code <= 32) return Tap(out, KeyCodeToScancode[code]);
            if (code <= 32) return;
            if (modifiers & 6) return ModifiedLetter(out, modifiers, code);
            if (code == 96) CtrlAltDel(out);
            // Characters beyond the table's reach are typed as what they are.
            if (code >= 256) {
                if (code <= 0xFFFF) Unicode(out, static_cast<uint16_t>(code));
                return;
            }
            Tap(out, KeyCodeToScancode[code]);
            return;
        }
        case kInputSpecial:
            if (fields < 2) return;
            switch (field(1)) {
                case 0:
                    CtrlAltDel(out);
                    return;
                case 1:
                    Key(out, kKbdDown, kScanAlt);
                    Tap(out, kScanTab);
                    Key(out, kKbdRelease, kScanAlt);
                    return;
                case 2:
                    Key(out, kKbdRelease, kScanAlt);
                    return;
                default:
                    return;
            }
        case kInputUnicode:
            for (size_t i = 1; i < fields; ++i) Unicode(out, static_cast<uint16_t>(field(i)));
            return;
        case kInputScancode: {
            if (fields < 3) return;
            const uint32_t scan = field(2);
            // Scancodes are 7 bits, plus the extended marker; anything else is no key.
            if (scan == 0 || (scan & ~uint32_t{0x17F}) != 0) return;
            uint16_t flags = field(1) ? kKbdDown : kKbdRelease;
            if (scan & 0x100) flags |= kKbdExtended;
            Key(out, flags, static_cast<uint16_t>(scan));
            return;
        }
        default:
            return;
    }
}

void ApplyInput(rdp_input* input, const InputEvent& e) {
    if (!input) return;
    switch (e.kind) {
        case InputEvent::Kind::Mouse:
            freerdp_input_send_mouse_event(input, e.flags, e.x, e.y);
            return;
        case InputEvent::Kind::Keyboard: {
            // The wire carries the scancode's low byte; the extended bit travels as the flag.
            uint16_t flags = e.flags;
            if (e.code & 0x100) flags |= kKbdExtended;
            freerdp_input_send_keyboard_event(input, flags, static_cast<uint16_t>(e.code & 0xFF));
            return;
        }
        case InputEvent::Kind::Unicode:
            freerdp_input_send_unicode_keyboard_event(input, e.flags, e.code);
            return;
    }
}

}  // namespace hbr::rconsole
