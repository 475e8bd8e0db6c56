// The console's wire formats: screen and pointer messages, cursor files, the pointer cache as
// the /cur/ lookup sees it, connect messages, error texts and target resolution.
#include <freerdp/gdi/gdi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "console/rdp_session.h"
#include "console/rdp_target.h"
#include "console/screen_updates.h"
#include "web/http_request.h"

namespace hbr::rconsole {
namespace {

uint32_t U32At(const std::vector<uint8_t>& m, size_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, m.data() + offset, 4);
    return v;
}

std::vector<uint8_t> ConnectBytes(const std::string& json) {
    std::vector<uint8_t> out{4, 0, 0, 0};
    for (unsigned char c : json) out.insert(out.end(), {c, 0, 0, 0});
    return out;
}

TEST(ScreenMessages, BitmapHeaderAndRowOrder) {
    // 2 x 3 pixels at 16 bits, rows bottom-up as RDP sends them.
    std::vector<uint8_t> data{1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
    BITMAP_DATA r{};
    r.destLeft = 10;
    r.destRight = 19;
    r.destTop = 0;
    r.destBottom = 9;
    r.width = 2;
    r.height = 3;
    r.bitsPerPixel = 16;
    r.bitmapLength = static_cast<UINT32>(data.size());
    r.bitmapDataStream = data.data();
    auto m = BitmapMessage(r);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->size(), 40 + data.size());
    const uint32_t expected[] = {2, 10, 0, 2, 3, 10, 10, 16, 0, 12};
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(U32At(*m, 4 * i), expected[i]) << "field " << i;
    EXPECT_EQ(std::vector<uint8_t>(m->begin() + 40, m->end()),
              (std::vector<uint8_t>{3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1}));
    EXPECT_EQ(data[0], 1);  // the library's buffer is left as it was

    // Compressed data passes through untouched, whatever its length.
    r.compressed = TRUE;
    r.bitmapLength = 5;
    m = BitmapMessage(r);
    ASSERT_TRUE(m);
    EXPECT_EQ(U32At(*m, 32), 1u);
    EXPECT_EQ(U32At(*m, 36), 5u);
    EXPECT_EQ(std::vector<uint8_t>(m->begin() + 40, m->end()),
              (std::vector<uint8_t>{1, 1, 1, 1, 2}));
}

TEST(ScreenMessages, InconsistentBitmapsAreNotRelayed) {
    std::vector<uint8_t> data(11, 0);
    BITMAP_DATA r{};
    r.width = 2;
    r.height = 3;
    r.bitsPerPixel = 16;
    r.bitmapLength = 11;  // one byte short of its rows
    r.bitmapDataStream = data.data();
    EXPECT_FALSE(BitmapMessage(r));
    r.width = 0x80000000u;  // a width whose rows overflow 32 bits
    r.bitmapLength = 11;
    EXPECT_FALSE(BitmapMessage(r));
    r.width = 2;
    r.bitsPerPixel = 0;
    EXPECT_FALSE(BitmapMessage(r));
    r.bitsPerPixel = 16;
    r.bitmapDataStream = nullptr;
    EXPECT_FALSE(BitmapMessage(r));
}

TEST(ScreenMessages, OrdersAndBracketsHaveTheirLayouts) {
    rdpBounds b{0, 0, 99, 49};
    auto m = SetBoundsMessage(&b);
    ASSERT_EQ(m.size(), 20u);
    EXPECT_EQ(U32At(m, 0), 4u);
    EXPECT_EQ(U32At(m, 12), 100u);
    EXPECT_EQ(U32At(m, 16), 50u);
    m = SetBoundsMessage(nullptr);
    EXPECT_EQ(m,
              (std::vector<uint8_t>{4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(TypeOnlyMessage(kMsgBeginPaint), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(TypeOnlyMessage(kMsgPointerSetDefault), (std::vector<uint8_t>{12, 0, 0, 0}));

    OPAQUE_RECT_ORDER o{-1, 2, 3, 4, 0xF800};
    m = OpaqueRectMessage(o);
    ASSERT_EQ(m.size(), 24u);
    EXPECT_EQ(static_cast<int32_t>(U32At(m, 4)), -1);
    EXPECT_EQ(U32At(m, 20), 0xFF0000FFu);
    EXPECT_EQ(o.color, 0xF800u);

    SCRBLT_ORDER s{1, 2, 3, 4, 0xCC, 5, 6};
    m = ScrBltMessage(s);
    ASSERT_EQ(m.size(), 32u);
    EXPECT_EQ(U32At(m, 4), 0x00CC0020u);  // SRCCOPY
    EXPECT_EQ(U32At(m, 24), 5u);
    EXPECT_EQ(U32At(m, 28), 6u);

    MULTI_OPAQUE_RECT_ORDER mo{};
    mo.color = 0x001F;
    mo.numRectangles = 3;
    for (int i = 0; i < 3; ++i) mo.rectangles[i] = {i, i + 1, 10, 20};
    m = MultiOpaqueRectMessage(mo);
    ASSERT_EQ(m.size(), 60u);
    EXPECT_EQ(U32At(m, 4), 0xFFFF0000u);
    EXPECT_EQ(U32At(m, 8), 3u);
    EXPECT_EQ(U32At(m, 12 + 32 + 4), 3u);  // third rectangle's top
    mo.numRectangles = 1000;               // more than the order can hold
    EXPECT_EQ(MultiOpaqueRectMessage(mo).size(), 12u + 16u * 45u);

    const auto r = ResizeMessage(1024, 768);
    EXPECT_EQ(std::string(r.begin(), r.end()), "R:1024x768");
    EXPECT_EQ(PointerNewMessage(3, 5, 7),
              (std::vector<uint8_t>{8, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 7, 0, 0, 0}));
    EXPECT_EQ(PointerIdMessage(kMsgPointerFree, 9), (std::vector<uint8_t>{9, 0, 0, 0, 9, 0, 0, 0}));
}

TEST(ScreenMessages, PatBltOnlyWithSolidBrushes) {
    PATBLT_ORDER p{};
    p.nLeftRect = 1;
    p.nWidth = 8;
    p.nHeight = 9;
    p.bRop = 0xF0;
    p.foreColor = 0x07E0;
    p.brush.style = GDI_BS_SOLID;
    auto m = PatBltMessage(p);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->size(), 28u);
    EXPECT_EQ(U32At(*m, 20), 0xFF00FF00u);
    EXPECT_EQ(U32At(*m, 24), 0x00F00021u);  // PATCOPY
    for (UINT32 style : {GDI_BS_HATCHED, GDI_BS_PATTERN, GDI_BS_NULL}) {
        p.brush.style = style;
        EXPECT_FALSE(PatBltMessage(p)) << style;
    }
}

TEST(ScreenMessages, WireColoursAreRgbaBytes) {
    EXPECT_EQ(WireColor(0x0000), 0xFF000000u);
    EXPECT_EQ(WireColor(0xFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(WireColor(0xF800), 0xFF0000FFu);  // red in the first byte
    EXPECT_EQ(WireColor(0x07E0), 0xFF00FF00u);
    EXPECT_EQ(WireColor(0x001F), 0xFFFF0000u);
    EXPECT_EQ(WireColor(0x1F0000 | 0x001F), 0xFFFF0000u);  // bits above 16 are not colour
}

TEST(ScreenMessages, OrderColoursFollowTheAgreedDepth) {
    // 24 and 32 bits carry the order's three colour bytes, red first (the low byte), as the
    // library's own drawing reads them.
    for (uint32_t depth : {24u, 32u}) {
        EXPECT_EQ(WireColor(0x0000FF, depth), 0xFF0000FFu) << depth;  // red
        EXPECT_EQ(WireColor(0xFF0000, depth), 0xFFFF0000u) << depth;  // blue
        EXPECT_EQ(WireColor(0x123456, depth), 0xFF123456u) << depth;
        EXPECT_EQ(WireColor(0xAB123456, depth), 0xFF123456u) << depth;  // no fourth byte
    }
    EXPECT_EQ(WireColor(0x7C00, 15), 0xFF0000FFu);  // 5-5-5 red
    EXPECT_EQ(WireColor(0x03E0, 15), 0xFF00FF00u);
    EXPECT_EQ(WireColor(0xF800, 16), WireColor(0xF800));
    // The same order at two depths: the message follows the session's.
    OPAQUE_RECT_ORDER o{};
    o.nWidth = o.nHeight = 1;
    o.color = 0x0000FF;
    EXPECT_EQ(U32At(OpaqueRectMessage(o, 32), 20), 0xFF0000FFu);
    EXPECT_EQ(U32At(OpaqueRectMessage(o, 16), 20), WireColor(0x00FF, 16));
    MULTI_OPAQUE_RECT_ORDER m{};
    m.color = 0x00FF00;
    EXPECT_EQ(U32At(MultiOpaqueRectMessage(m, 24), 4), 0xFF00FF00u);
    PATBLT_ORDER p{};
    p.brush.style = GDI_BS_SOLID;
    p.foreColor = 0xFFFFFF;
    EXPECT_EQ(U32At(*PatBltMessage(p, 32), 20), 0xFFFFFFFFu);
}

TEST(CursorFiles, HeaderAndPng) {
    std::vector<uint8_t> rgba(32 * 32 * 4, 0x80);
    auto f = CursorFile(32, 32, 5, 7, rgba);
    ASSERT_TRUE(f);
    const auto& b = *f;
    ASSERT_GT(b.size(), 22u + 33u);
    EXPECT_EQ((std::vector<uint8_t>(b.begin(), b.begin() + 14)),
              (std::vector<uint8_t>{0, 0, 2, 0, 1, 0, 32, 32, 0, 0, 5, 0, 7, 0}));
    EXPECT_EQ(U32At(b, 14), b.size() - 22);
    EXPECT_EQ(U32At(b, 18), 22u);
    EXPECT_EQ(std::string(b.begin() + 22, b.begin() + 30), "\x89PNG\r\n\x1a\n");
    // IHDR: width and height big-endian, depth 8, colour type 6, no interlace.
    EXPECT_EQ(std::string(b.begin() + 34, b.begin() + 38), "IHDR");
    EXPECT_EQ(b[41], 32);
    EXPECT_EQ(b[45], 32);
    EXPECT_EQ(b[46], 8);
    EXPECT_EQ(b[47], 6);
    EXPECT_EQ(b[50], 0);

    std::vector<uint8_t> wide(256 * 2 * 4, 0xFF);
    f = CursorFile(256, 2, 0, 0, wide);
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)[6], 0);
    EXPECT_EQ((*f)[7], 2);
    EXPECT_FALSE(CursorFile(4, 4, 0, 0, std::vector<uint8_t>(10)));  // image too small
}

TEST(CursorFiles, PointerImagesAreNeverWhollyTransparent) {
    rdpPointer p{};
    p.width = 4;
    p.height = 2;
    p.xorBpp = 32;
    auto img = PointerImage(p);
    ASSERT_EQ(img.size(), 32u);
    EXPECT_EQ(img[3], 1);
    for (size_t i = 4; i < img.size(); ++i) EXPECT_EQ(img[i], 0) << i;

    // A 32-bit XOR mask with alpha, rows bottom-up; the AND mask is all zero.
    std::vector<uint8_t> xorMask(4 * 2 * 4, 0);
    for (size_t i = 0; i < 4; ++i) {
        xorMask[4 * i + 0] = 0x30;  // B
        xorMask[4 * i + 1] = 0x20;  // G
        xorMask[4 * i + 2] = 0x10;  // R
        xorMask[4 * i + 3] = 0xFF;  // A
    }
    std::vector<uint8_t> andMask(2 * 2, 0);
    p.xorMaskData = xorMask.data();
    p.lengthXorMask = static_cast<UINT32>(xorMask.size());
    p.andMaskData = andMask.data();
    p.lengthAndMask = static_cast<UINT32>(andMask.size());
    img = PointerImage(p);
    // The bottom-up first XOR row is the image's last row, in R, G, B, A order.
    EXPECT_EQ((std::vector<uint8_t>(img.begin() + 16, img.begin() + 20)),
              (std::vector<uint8_t>{0x10, 0x20, 0x30, 0xFF}));
    // Masks shorter than the pointer claims are not read.
    p.lengthXorMask = 31;
    img = PointerImage(p);
    EXPECT_EQ(img[3], 1);
    EXPECT_EQ(img[19], 0);
    p.lengthXorMask = static_cast<UINT32>(xorMask.size());
    p.width = 100000;  // beyond any pointer
    EXPECT_LE(PointerImage(p).size(), size_t{384} * 384 * 4);
}

// A session that never upgrades: its channel stays closed, so callbacks build messages
// without sending, and the cursor cache can be observed through the /cur/ lookup.
class PointerCache : public ::testing::Test {
  protected:
    PointerCache() : request_(nullptr, HttpRequestData{}), session_(request_) {
        request_.MarkReplySent();
    }
    rdpPointer* NewPointer(uint32_t w, uint32_t h, uint32_t hx, uint32_t hy) {
        rdpContext* ctx = session_.Context();
        const rdpPointer* proto = ctx->graphics->Pointer_Prototype;
        auto* p = static_cast<rdpPointer*>(calloc(1, proto->size));
        std::memcpy(p, proto, sizeof(rdpPointer));
        p->width = w;
        p->height = h;
        p->xPos = hx;
        p->yPos = hy;
        p->xorBpp = 32;
        EXPECT_TRUE(p->New(ctx, p));
        pointers_.push_back(p);
        return p;
    }
    void TearDown() override {
        for (auto* p : pointers_) free(p);
    }
    HttpRequest request_;
    CRdp session_;
    std::vector<rdpPointer*> pointers_;
};

TEST_F(PointerCache, NewPointersAreCachedUnderFreshIdsUntilFreed) {
    ASSERT_NE(session_.Context(), nullptr);
    RegisterPointerClass(session_.Context());
    const std::string sid = session_.IdentifierText();
    EXPECT_EQ(sid.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(sid[0], '0');
    std::vector<uint8_t> file;
    EXPECT_FALSE(FindCursorImage(sid, "1", file));
    rdpPointer* a = NewPointer(32, 32, 5, 7);
    rdpPointer* b = NewPointer(0, 0, 0, 0);  // no image at all still gives a cursor
    ASSERT_TRUE(FindCursorImage(sid, "1", file));
    EXPECT_EQ(file[10], 5);
    EXPECT_EQ(file[12], 7);
    EXPECT_TRUE(FindCursorImage(sid, " 2", file));  // C rules: leading blanks
    EXPECT_TRUE(FindCursorImage(sid, "2abc", file));
    EXPECT_EQ(file[6], 1);
    EXPECT_FALSE(FindCursorImage(sid, "3", file));
    EXPECT_FALSE(FindCursorImage(sid, "4294967297", file));  // 1 beyond 32 bits
    EXPECT_FALSE(FindCursorImage(sid + "0", "1", file));
    EXPECT_FALSE(FindCursorImage("", "1", file));
    a->Free(session_.Context(), a);
    EXPECT_FALSE(FindCursorImage(sid, "1", file));
    EXPECT_TRUE(FindCursorImage(sid, "2", file));
    a->Free(session_.Context(), a);  // a second free of the same pointer does nothing
    EXPECT_TRUE(FindCursorImage(sid, "2", file));
    rdpPointer* c = NewPointer(8, 8, 0, 0);  // ids are not reused
    (void)c;
    EXPECT_TRUE(FindCursorImage(sid, "3", file));
    b->Free(session_.Context(), b);
    EXPECT_FALSE(FindCursorImage(sid, "2", file));
}

TEST(ConnectMessages, MembersAndOptions) {
    auto bytes = ConnectBytes(
        R"({"pcb":"vm-1","nowallp":1,"nomani":true,"notheme":2.7,"notls":"1","dtsize":"800x600"})");
    auto r = ParseConnectMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->pcb, "vm-1");
    EXPECT_TRUE(r->noWallpaper);
    EXPECT_FALSE(r->noMenuAnimations);  // a boolean is no number
    EXPECT_TRUE(r->noThemes);
    EXPECT_FALSE(r->noTls);
    EXPECT_EQ(PerformanceFlagsFor(*r), 0x1u | 0x2u | 0x8u);
    EXPECT_EQ(PerformanceFlagsFor(ConnectRequest{}), 0x3u);

    bytes = ConnectBytes(R"({"pcb":12,"nowallp":0.5})");
    r = ParseConnectMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->pcb, "");  // not a string
    EXPECT_FALSE(r->noWallpaper);

    bytes = ConnectBytes("[1,2]");  // valid JSON without members: every member absent
    r = ParseConnectMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->pcb, "");
}

TEST(ConnectMessages, ColourDepthIsOneTheConsoleOffers) {
    const std::pair<const char*, uint32_t> cases[] = {
        {R"({"pcb":"7"})", 16},           {R"({"bpp":32})", 32},   {R"({"bpp":24})", 24},
        {R"({"bpp":16})", 16},            {R"({"bpp":32.9})", 32}, {R"({"bpp":"32"})", 16},
        {R"({"bpp":true})", 16},          {R"({"bpp":8})", 16},    {R"({"bpp":15})", 16},
        {R"({"bpp":-32})", 16},           {R"({"bpp":4294967328})", 16},
        {R"({"bpp":1e30})", 16},         {R"({"bpp":null})", 16},
    };
    for (const auto& [json, depth] : cases) {
        const auto bytes = ConnectBytes(json);
        const auto r = ParseConnectMessage(bytes.data(), bytes.size());
        ASSERT_TRUE(r) << json;
        EXPECT_EQ(r->colorDepth, depth) << json;
    }
}

TEST(ConnectMessages, KeyboardLayoutIsOneThePageOffers) {
    const std::pair<const char*, uint32_t> cases[] = {
        {R"({"kbd":"en-US"})", 0x409}, {R"({"kbd":"en-GB"})", 0x809}, {R"({"kbd":"de"})", 0x407},
        {R"({"kbd":"fr"})", 0x40C},    {R"({"kbd":"es"})", 0x40A},    {R"({"kbd":"it"})", 0x410},
        {R"({"kbd":"ru"})", 0x419},    {R"({"kbd":"ja"})", 0x411},    {R"({"kbd":"DE"})", 0},
        {R"({"kbd":"de "})", 0},       {R"({"kbd":1031})", 0},        {R"({"pcb":"7"})", 0},
        {R"({"kbd":""})", 0},
    };
    for (const auto& [json, id] : cases) {
        const auto bytes = ConnectBytes(json);
        const auto r = ParseConnectMessage(bytes.data(), bytes.size());
        ASSERT_TRUE(r) << json;
        EXPECT_EQ(r->keyboardLayout, id) << json;
    }
}

TEST(ConnectMessages, OnlyTheLowByteOfWholeFieldsCounts) {
    auto bytes = ConnectBytes(R"({"pcb":"a"})");
    bytes[4 + 1] = 0x7F;   // high bytes of a character field are not read
    bytes.push_back('x');  // a trailing partial field is ignored
    bytes.push_back('y');
    auto r = ParseConnectMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->pcb, "a");
}

TEST(ConnectMessages, RejectsWhatIsNoConnectMessage) {
    const std::vector<std::vector<uint8_t>> bad = {
        {},
        {4},
        {4, 0, 0},
        {4, 0, 0, 0},
        {5, 0, 0, 0, '{', 0, 0, 0, '}', 0, 0, 0},
        ConnectBytes("{\"pcb\":"),
        ConnectBytes("{} trailing"),
        ConnectBytes(std::string(1000, '[')),
    };
    for (const auto& b : bad) EXPECT_FALSE(ParseConnectMessage(b.data(), b.size())) << b.size();
    EXPECT_FALSE(ParseConnectMessage(nullptr, 100));
    // A zero character ends the text.
    auto z = ConnectBytes(std::string("{}\0garbage", 10));
    EXPECT_TRUE(ParseConnectMessage(z.data(), z.size()));
}

TEST(ConnectMessages, RandomBytesNeverReadPastTheEnd) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> m(rng() % 64);
        for (auto& b : m) b = static_cast<uint8_t>(rng());
        if (m.size() >= 4 && i % 2) m[0] = 4, m[1] = m[2] = m[3] = 0;
        // Copied into an exactly sized heap block so the sanitizer sees any over-read.
        auto heap = std::make_unique<uint8_t[]>(m.size() + (m.empty() ? 1 : 0));
        std::copy(m.begin(), m.end(), heap.get());
        (void)ParseConnectMessage(heap.get(), m.size());
    }
}

TEST(ErrorInfo, TextsAndEndingCodes) {
    for (uint32_t code : {1u, 2u, 7u, 9u}) {
        bool running = true;
        EXPECT_EQ(ErrorInfoText(code, running), "") << code;
        EXPECT_FALSE(running) << code;
    }
    bool running = true;
    EXPECT_EQ(ErrorInfoText(5, running),
              "E:Another user connected to the server,\nforcing the disconnection of the current "
              "connection.");
    // Codes the library knows get its words on a second line; the first stays as it was.
    EXPECT_EQ(ErrorInfoText(0x10C9, running),
              "E:Server reported error 0x10c9\nE:Unknown pduType2 field in a received Share Data "
              "Header (section 2.2.8.1.1.1.2).");
    EXPECT_EQ(ErrorInfoText(3, running),
              "E:Server reported error 0x3\nE:The idle session limit timer on the server has "
              "elapsed.");
    EXPECT_EQ(ErrorInfoText(0x1234, running), "E:Server reported error 0x1234");
    EXPECT_TRUE(running);
    // The ending codes' words go after "T:".
    EXPECT_EQ(ErrorInfoWords(9),
              "The user cannot connect to the server due to insufficient access privileges.");
    EXPECT_EQ(ErrorInfoWords(0x1234), "");
    EXPECT_EQ(LastErrorWords(0), "");
    EXPECT_EQ(LastErrorWords(FREERDP_ERROR_CONNECT_TRANSPORT_FAILED),
              "The connection transport layer failed.");
    EXPECT_EQ(LastErrorWords(0x7FFFFFFF), "");
}

class Targets : public ::testing::Test {
  protected:
    void SetUp() override {
        SetRdpTargetLookup({[this](std::string_view vm) -> std::optional<RdpTarget> {
                                vmAsked.emplace_back(vm);
                                if (vm == "vm-1" || vm == "3")
                                    return RdpTarget{"hv1", "DOM", "admin", "pw", 0};
                                return std::nullopt;
                            },
                            [this](int32_t id) -> std::optional<RdpTarget> {
                                serverAsked.push_back(id);
                                if (id == 3 || id == 4)
                                    return RdpTarget{id == 3 ? "hv3" : "", "", "", "", 0};
                                return std::nullopt;
                            }});
    }
    void TearDown() override { SetRdpTargetLookup({}); }
    std::vector<std::string> vmAsked;
    std::vector<int32_t> serverAsked;
};

// Tests run their own console endpoint on a free port; the host RDP port never moves.
TEST_F(Targets, VmConsolePortCanBeMovedByTheEnvironment) {
    ASSERT_EQ(std::getenv("HBR_VM_CONSOLE_PORT"), nullptr);
    EXPECT_EQ(ResolveConsoleTarget("vm-1").port, 2179);
    setenv("HBR_VM_CONSOLE_PORT", "40123", 1);
    EXPECT_EQ(ResolveConsoleTarget("vm-1").port, 40123);
    EXPECT_EQ(ResolveConsoleTarget("  +4xyz").port, kHostRdpPort);
    for (const char* bad : {"0", "65536", "x", "-5"}) {
        setenv("HBR_VM_CONSOLE_PORT", bad, 1);
        EXPECT_EQ(ResolveConsoleTarget("vm-1").port, 2179) << bad;
    }
    unsetenv("HBR_VM_CONSOLE_PORT");
}

TEST_F(Targets, VmIdsFirstThenServerIdsThenLocalhost) {
    auto t = ResolveConsoleTarget("vm-1");
    EXPECT_EQ(t.host, "hv1");
    EXPECT_EQ(t.port, kVmConsolePort);
    ASSERT_TRUE(t.preconnectionBlob);
    EXPECT_EQ(*t.preconnectionBlob, "vm-1");
    EXPECT_EQ(t.user, "admin");
    EXPECT_EQ(t.domain, "DOM");
    EXPECT_EQ(t.kind, ConsoleTarget::Kind::Vm);
    EXPECT_EQ(t.vmId, "vm-1");
    EXPECT_TRUE(serverAsked.empty());

    t = ResolveConsoleTarget("3");  // a VM named "3" wins over server 3
    EXPECT_EQ(t.port, kVmConsolePort);

    t = ResolveConsoleTarget("  +4xyz");
    EXPECT_EQ(t.host, "localhost");  // server 4 has no host name
    EXPECT_EQ(t.port, kHostRdpPort);
    EXPECT_FALSE(t.preconnectionBlob);
    EXPECT_EQ(t.kind, ConsoleTarget::Kind::Server);
    EXPECT_EQ(t.serverId, 4);

    serverAsked.clear();
    for (const char* none : {"", "0", "abc", "-0", "99999999999", "5"}) {
        t = ResolveConsoleTarget(none);
        EXPECT_EQ(t.host, "localhost") << none;
        EXPECT_EQ(t.port, 0) << none;
        EXPECT_TRUE(t.user.empty() && t.password.empty()) << none;
        EXPECT_EQ(t.kind, ConsoleTarget::Kind::None) << none;
    }
    EXPECT_EQ(serverAsked, (std::vector<int32_t>{5}));  // out-of-range ids name no server
}

TEST(LeadingDecimal, FollowsTheCRules) {
    EXPECT_EQ(LeadingDecimal("42"), 42);
    EXPECT_EQ(LeadingDecimal(" \t-17x"), -17);
    EXPECT_EQ(LeadingDecimal("+"), 0);
    EXPECT_EQ(LeadingDecimal("x1"), 0);
    EXPECT_GT(LeadingDecimal("123456789012345678901234567890"), int64_t{1} << 32);
}

}  // namespace
}  // namespace hbr::rconsole
