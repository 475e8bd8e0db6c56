// Browser input messages to RDP input events, including hostile messages.
#include "console/console_input.h"

#include <gtest/gtest.h>

#include <random>

namespace hbr::rconsole {
namespace {

using K = InputEvent::Kind;

std::vector<uint8_t> Msg(std::initializer_list<uint32_t> fields) {
    std::vector<uint8_t> out;
    for (uint32_t v : fields)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

std::vector<InputEvent> Parse(const std::vector<uint8_t>& m) {
    std::vector<InputEvent> out;
    // An exactly sized heap copy, so that any read past the end is caught by the sanitizer.
    auto heap = std::make_unique<uint8_t[]>(m.size() + 1);
    std::copy(m.begin(), m.end(), heap.get());
    ParseInput(heap.get(), m.size(), out);
    return out;
}

InputEvent Kb(uint16_t flags, uint16_t code) {
    return {K::Keyboard, flags, code, 0, 0};
}
InputEvent Uni(uint16_t flags, uint16_t code) {
    return {K::Unicode, flags, code, 0, 0};
}

const std::vector<InputEvent> kCtrlAltDel = {Kb(0x4000, 0x1D),  Kb(0x4000, 0x38), Kb(0x4000, 0x153),
                                             Kb(0x8000, 0x153), Kb(0x8000, 0x38), Kb(0x8000, 0x1D)};

TEST(KeyTable, EntriesFromTheBrowserKeyCodes) {
    EXPECT_EQ(KeyCodeToScancode[8], 0x0E);
    EXPECT_EQ(KeyCodeToScancode[13], 0x1C);
    EXPECT_EQ(KeyCodeToScancode[46], 0x153);
    EXPECT_EQ(KeyCodeToScancode[49], 0x02);
    EXPECT_EQ(KeyCodeToScancode[57], 0x0A);
    EXPECT_EQ(KeyCodeToScancode[65], 0x1E);
    EXPECT_EQ(KeyCodeToScancode[90], 0x2C);
    EXPECT_EQ(KeyCodeToScancode[108], 0);
    EXPECT_EQ(KeyCodeToScancode[112], 0x3B);
    EXPECT_EQ(KeyCodeToScancode[121], 0x44);
    EXPECT_EQ(KeyCodeToScancode[222], 0x28);
    EXPECT_EQ(KeyCodeToScancode[255], 0);
    size_t nonZero = 0;
    for (uint16_t e : KeyCodeToScancode) nonZero += e != 0;
    EXPECT_EQ(nonZero, 140u);
}

TEST(Input, MouseTakesTheLow16BitsOfEachField) {
    EXPECT_EQ(Parse(Msg({0, 0x18800, 0x10010, 20})),
              (std::vector<InputEvent>{{K::Mouse, 0x8800, 0, 0x10, 20}}));
}

TEST(Input, KeyUpAndDown) {
    EXPECT_EQ(Parse(Msg({1, 1, 46})), (std::vector<InputEvent>{Kb(0x4100, 0x153)}));
    EXPECT_EQ(Parse(Msg({1, 0, 46})), (std::vector<InputEvent>{Kb(0x8100, 0x153)}));
    EXPECT_EQ(Parse(Msg({1, 7, 65})), (std::vector<InputEvent>{Kb(0x4000, 0x1E)}));
    EXPECT_TRUE(Parse(Msg({1, 1, 0})).empty());
    // Codes of 256 and more wrap into the table instead of reading beyond it.
    EXPECT_EQ(Parse(Msg({1, 1, 256 + 65})), (std::vector<InputEvent>{Kb(0x4000, 0x1E)}));
    EXPECT_EQ(Parse(Msg({1, 1, 0xFFFFFFFF})), (std::vector<InputEvent>{Kb(0x4000, 0)}));
}

TEST(Input, KeyPresses) {
    EXPECT_EQ(Parse(Msg({2, 0, 13})),
              (std::vector<InputEvent>{Kb(0x4000, 0x1C), Kb(0x8000, 0x1C)}));
    auto events = Parse(Msg({2, 0, 96}));
    auto expected = kCtrlAltDel;
    expected.push_back(Kb(0x4000, 0x52));
    expected.push_back(Kb(0x8000, 0x52));
    EXPECT_EQ(events, expected);
    EXPECT_TRUE(Parse(Msg({2, 0, 0})).empty());
    // Beyond the table: typed as the character it is; beyond UTF-16 units: nothing.
    EXPECT_EQ(Parse(Msg({2, 0, 0x20AC})),
              (std::vector<InputEvent>{Uni(0x4000, 0x20AC), Uni(0x8000, 0x20AC)}));
    EXPECT_TRUE(Parse(Msg({2, 0, 0x1F600})).empty());
}

TEST(Input, ControlOrAltWithALetterIsTheChord) {
    // Ctrl+c: the guest sees Control held around the C key, so it copies.
    EXPECT_EQ(Parse(Msg({2, 2, 'c'})),
              (std::vector<InputEvent>{Kb(0x4000, 0x1D), Kb(0x4000, 0x2E), Kb(0x8000, 0x2E),
                                       Kb(0x8000, 0x1D)}));
    EXPECT_EQ(Parse(Msg({2, 4 | 1, 'F'})),
              (std::vector<InputEvent>{Kb(0x4000, 0x2A), Kb(0x4000, 0x38), Kb(0x4000, 0x21),
                                       Kb(0x8000, 0x21), Kb(0x8000, 0x38), Kb(0x8000, 0x2A)}));
    EXPECT_TRUE(Parse(Msg({2, 2, '1'})).empty());
    EXPECT_TRUE(Parse(Msg({2, 2, 300})).empty());
}

TEST(Input, SpecialCombinations) {
    EXPECT_EQ(Parse(Msg({3, 0})), kCtrlAltDel);
    EXPECT_EQ(Parse(Msg({3, 1})), (std::vector<InputEvent>{Kb(0x4000, 0x38), Kb(0x4000, 0x0F),
                                                           Kb(0x8000, 0x0F), Kb(0x8000, 0x38)}));
    EXPECT_EQ(Parse(Msg({3, 2})), (std::vector<InputEvent>{Kb(0x8000, 0x38)}));
    EXPECT_TRUE(Parse(Msg({3, 3})).empty());
}

TEST(Input, UnicodeText) {
    EXPECT_EQ(Parse(Msg({5, 'a', 'b'})),
              (std::vector<InputEvent>{Uni(0x4000, 'a'), Uni(0x8000, 'a'), Uni(0x4000, 'b'),
                                       Uni(0x8000, 'b')}));
    auto partial = Msg({5, 'a'});
    partial.push_back('b');  // a partial field is no character
    EXPECT_EQ(Parse(partial).size(), 2u);
    EXPECT_TRUE(Parse(Msg({5})).empty());
}

// The physical key as its scancode: what the guest's layout makes of it is the guest's affair.
TEST(Input, ScancodesOfPhysicalKeys) {
    EXPECT_EQ(Parse(Msg({6, 1, 0x1A})), (std::vector<InputEvent>{Kb(0x4000, 0x1A)}));
    EXPECT_EQ(Parse(Msg({6, 0, 0x1A})), (std::vector<InputEvent>{Kb(0x8000, 0x1A)}));
    // AltGr is the right Alt: extended.
    EXPECT_EQ(Parse(Msg({6, 7, 0x138})), (std::vector<InputEvent>{Kb(0x4100, 0x138)}));
    EXPECT_EQ(Parse(Msg({6, 0, 0x15B})), (std::vector<InputEvent>{Kb(0x8100, 0x15B)}));
    // No key: 0, beyond 7 bits, other high bits.
    for (uint32_t bad : {0u, 0x80u, 0xFFu, 0x200u, 0x1FFu, 0x10000u, 0xFFFFFFFFu})
        EXPECT_TRUE(Parse(Msg({6, 1, bad})).empty()) << bad;
}

TEST(Input, ShortUnknownAndConnectMessagesDoNothing) {
    for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 0xFFFFFFFFu}) {
        const auto full = Msg({code, 1, 46, 3});
        const size_t need = code == 0 ? 16 : code <= 2 || code == 6 ? 12 : code == 3 ? 8 : 1000;
        for (size_t n = 0; n < std::min(need, full.size() + 1); ++n) {
            std::vector<uint8_t> m(full.begin(),
                                   full.begin() + static_cast<long>(std::min(n, full.size())));
            if (code == 5 && n >= 8) continue;  // text of one or more characters
            EXPECT_TRUE(Parse(m).empty()) << "code " << code << " length " << n;
        }
    }
    std::vector<InputEvent> out;
    ParseInput(nullptr, 16, out);
    EXPECT_TRUE(out.empty());
}

TEST(Input, RandomMessagesNeverReadPastTheEnd) {
    std::mt19937 rng(11);
    size_t events = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> m(rng() % 24);
        for (auto& b : m) b = static_cast<uint8_t>(rng());
        if (!m.empty()) m[0] = static_cast<uint8_t>(rng() % 7);
        if (m.size() >= 4) m[1] = m[2] = m[3] = 0;
        events += Parse(m).size();
    }
    EXPECT_GT(events, 0u);
}

}  // namespace
}  // namespace hbr::rconsole
