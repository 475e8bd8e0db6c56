// The console's channels against an RDP server that offers them (the shadow server does not):
// clipboard text both ways, the 1 MB limit and hostile data from either side; the guest's
// display following the size the page asks for.
#include <gtest/gtest.h>

#include <cstring>

#include "console/clipboard.h"
#include "console/console_routes.h"
#include "console/rdp_session.h"
#include "console/rdp_target.h"
#include "support/channel_rdp_server.h"
#include "support/hbr_process.h"
#include "support/rdp_fixture.h"
#include "web/http_server.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;
using Msg = WsTestClient::Message;

std::string Utf16(const std::u16string& s, bool nul = true) {
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    if (nul) out += std::string(2, '\0');
    return out;
}

// Message 7 parts of at most `part` bytes each.
std::vector<std::vector<uint8_t>> ClipboardParts(const std::string& text, size_t part = 60000) {
    std::vector<std::vector<uint8_t>> parts;
    size_t at = 0;
    do {
        const size_t n = std::min(part, text.size() - at);
        const bool last = at + n == text.size();
        std::vector<uint8_t> m = U32Message({rconsole::kInputClipboard, last ? 1u : 0u});
        m.insert(m.end(), text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(at + n));
        parts.push_back(std::move(m));
        at += n;
    } while (at < text.size());
    return parts;
}

class ConsoleChannels : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(rdp_.Port(), 0) << "the channel test server did not start";
        const uint16_t rdpPort = rdp_.Port();
        rconsole::SetRdpTargetLookup(
            {[](std::string_view) -> std::optional<rconsole::RdpTarget> { return std::nullopt; },
             [rdpPort](int32_t id) -> std::optional<rconsole::RdpTarget> {
                 if (id != 7) return std::nullopt;
                 return rconsole::RdpTarget{"127.0.0.1", "", "", "", rdpPort};
             }});
        port_ = FreeLoopbackPort();
        StartServer("http://127.0.0.1:" + std::to_string(port_) + "/", [](HttpRequest& r) {
            static const Session session;
            if (r.Path() == "/ws") return ServeConsoleSocket(r, session);
            r.SetStatus(404, "Not found");
            r.Send(nullptr, 0);
        });
        ASSERT_TRUE(ws_.Connect(port_)) << ws_.Error();
        ASSERT_TRUE(ws_.SendBinary(ConnectMessage(R"({"pcb":"7"})")));
        ASSERT_TRUE(ws_.ReadUntil([](const Msg& m) { return m.text && m.data.rfind("C:", 0) == 0; }))
            << "the console did not connect";
        // The client has answered the monitor-ready with its (empty) list.
        ASSERT_TRUE(rdp_.Next("CLIPREADY"));
        ASSERT_EQ(rdp_.Next("FORMATS "), "FORMATS ");
    }
    void TearDown() override {
        ws_.Close();
        StopServer();
        rconsole::SetRdpTargetLookup({});
    }

    std::optional<std::string> NextText(const std::string& prefix, std::chrono::milliseconds guard = 30s) {
        auto m = ws_.ReadUntil([&](const Msg& x) { return x.text && x.data.rfind(prefix, 0) == 0; }, guard);
        if (!m) return std::nullopt;
        return m->data.substr(prefix.size());
    }

    void SendParts(const std::vector<std::vector<uint8_t>>& parts) {
        for (const auto& p : parts) ASSERT_TRUE(ws_.SendBinary(p));
    }

    // The server's next line starting with `prefix`. The page's socket is read meanwhile, as
    // a browser's is: a long wait must not look like a browser that stopped answering pings.
    std::optional<std::string> ServerLine(const std::string& prefix, std::chrono::milliseconds guard) {
        const auto end = std::chrono::steady_clock::now() + guard;
        do {
            if (auto line = rdp_.Next(prefix, 100ms)) return line;
            ws_.KeepReading(100ms);
        } while (std::chrono::steady_clock::now() < end && !ws_.Closed());
        return rdp_.Next(prefix, 0ms);
    }

    // The guest's clipboard as the server last received it, without its closing NUL.
    std::optional<std::string> GuestPaste(std::chrono::milliseconds guard = 30s) {
        auto formats = ServerLine("FORMATS ", guard);
        if (!formats) return std::nullopt;
        EXPECT_EQ(*formats, "FORMATS 13") << "text only";
        auto paste = ServerLine("PASTE ", guard);
        if (!paste) return std::nullopt;
        return FromHex(paste->substr(6));
    }

    ChannelRdpServer rdp_;
    WsTestClient ws_;
    uint16_t port_ = 0;
};

TEST_F(ConsoleChannels, TextCopiedInTheGuestReachesThePage) {
    const std::u16string text = u"Grüße, €5\r\n漢字 \U0001F600 tab\there";
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(Utf16(text))));
    EXPECT_EQ(NextText("P:"), "Grüße, €5\r\n漢字 \U0001F600 tab\there");
    // Again: each new copy in the guest comes over.
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(Utf16(u"second"))));
    EXPECT_EQ(NextText("P:"), "second");
}

TEST_F(ConsoleChannels, TextFromThePageBecomesTheGuestsClipboardInParts) {
    // Parts of 5 bytes split "ü" and "€" between messages; only the whole text must be UTF-8.
    const std::string text = "Grüße, €5\nzweite Zeile \U0001F600";
    SendParts(ClipboardParts(text, 5));
    EXPECT_EQ(GuestPaste(), Utf16(u"Grüße, €5\nzweite Zeile \U0001F600"));
}

TEST_F(ConsoleChannels, OneMegabyteGoesBothWaysAndOneByteMoreIsRefused) {
    // A megabyte each way is slow to carry and report under a sanitizer: the guards are wide.
    constexpr auto kGuard = 300s;
    const std::string mb(rconsole::kMaxClipboardBytes, 'x');
    SendParts(ClipboardParts(mb));
    auto pasted = GuestPaste(kGuard);
    ASSERT_TRUE(pasted);
    EXPECT_EQ(pasted->size(), 2 * mb.size() + 2);

    SendParts(ClipboardParts(mb + "y"));
    EXPECT_EQ(NextText("W:", kGuard), std::string(rconsole::kClipboardTooLargeText).substr(2));
    ASSERT_TRUE(rdp_.Send("COPYA " + std::to_string(rconsole::kMaxClipboardBytes)));
    auto copied = NextText("P:", kGuard);
    ASSERT_TRUE(copied);
    EXPECT_EQ(*copied, std::string(mb.size(), 'a'));
    ASSERT_TRUE(rdp_.Send("COPYA " + std::to_string(rconsole::kMaxClipboardBytes + 1)));
    EXPECT_EQ(NextText("W:", kGuard), std::string(rconsole::kClipboardTooLargeText).substr(2));
    // The refused page text reached the guest nowhere: its last clipboard is the first megabyte.
    EXPECT_FALSE(rdp_.Pending("FORMATS "));
}

TEST_F(ConsoleChannels, MalformedTextFromThePageChangesNothing) {
    // Too short to be a part, invalid UTF-8, an overlong form and a surrogate in UTF-8.
    ASSERT_TRUE(ws_.SendBinary(U32Message({rconsole::kInputClipboard})));
    for (const std::string& bad : {std::string("ab\xff"), std::string("\xc0\xaf"), std::string("\xed\xa0\x80"),
                                  std::string("ends in \xe2\x82")}) {
        SendParts(ClipboardParts(bad));
        EXPECT_EQ(NextText("W:"), std::string(rconsole::kClipboardNotTextText).substr(2)) << bad;
    }
    // An oversized transfer: the refusal is said once, the parts after it up to its last are
    // dropped, and the next transfer is whole again.
    auto big = ClipboardParts(std::string(rconsole::kMaxClipboardBytes + 70000, 'z'));
    SendParts(big);
    SendParts(ClipboardParts("after"));
    EXPECT_EQ(NextText("W:"), std::string(rconsole::kClipboardTooLargeText).substr(2));
    EXPECT_EQ(GuestPaste(), Utf16(u"after"));
    EXPECT_FALSE(rdp_.Pending("FORMATS "));
}

TEST_F(ConsoleChannels, MalformedTextFromTheGuestChangesNothing) {
    // A lone surrogate, an unpaired high surrogate at the end, and an odd byte count whose
    // last byte is dropped: nothing or the whole units reach the page, and the session goes on.
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(Utf16(u"a") + std::string("\x00\xdc", 2) + std::string(2, '\0'))));
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(std::string("b\x00\x3d\xd8", 4))));
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(std::string("o\x00k\x00!", 5))));
    EXPECT_EQ(NextText("P:"), "ok");
    // An answer without bytes says nothing; a lone NUL is an empty text.
    ASSERT_TRUE(rdp_.Send("COPY "));
    ASSERT_TRUE(rdp_.Send("COPY 0000"));
    EXPECT_EQ(NextText("P:"), "");
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(Utf16(u"still here"))));
    EXPECT_EQ(NextText("P:"), "still here");
}

TEST_F(ConsoleChannels, TheGuestsDisplayFollowsTheSizeThePageAsksFor) {
    // The server offers display control: the page is told, and asks for sizes from then on.
    ASSERT_EQ(NextText("D:"), "");
    ASSERT_TRUE(ws_.SendBinary(U32Message({rconsole::kInputResize, 1281, 700})));
    EXPECT_EQ(rdp_.Next("LAYOUT "), "LAYOUT 1280x700") << "an even width (the library rounds)";
    EXPECT_TRUE(ws_.ReadUntil([](const Msg& m) { return !m.text && m.data == "R:1280x700"; }));
    // Sizes the protocol does not allow and short messages change nothing.
    for (const auto& bad : {U32Message({rconsole::kInputResize, 199, 700}),
                            U32Message({rconsole::kInputResize, 8194, 700}),
                            U32Message({rconsole::kInputResize, 1024, 0}),
                            U32Message({rconsole::kInputResize, 1024, 0x80000000u}),
                            U32Message({rconsole::kInputResize, 1024})})
        ASSERT_TRUE(ws_.SendBinary(bad));
    ASSERT_TRUE(ws_.SendBinary(U32Message({rconsole::kInputResize, 800, 600})));
    EXPECT_EQ(rdp_.Next("LAYOUT "), "LAYOUT 800x600");
    EXPECT_TRUE(ws_.ReadUntil([](const Msg& m) { return !m.text && m.data == "R:800x600"; }));
}

TEST_F(ConsoleChannels, OutputTheSessionDidNotAgreeToIsNamedOnce) {
    ASSERT_TRUE(rdp_.Send("MEMBLT"));
    EXPECT_EQ(NextText("E:"),
              "The server sent MemBlt, drawing this session did not agree to and cannot "
              "show; parts of the screen may be missing.");
    // Again: not named a second time, and the session goes on.
    ASSERT_TRUE(rdp_.Send("MEMBLT"));
    ASSERT_TRUE(rdp_.Send("COPY " + HexOf(Utf16(u"still here"))));
    auto next = ws_.ReadUntil([](const Msg& m) { return m.text && (m.data.rfind("E:", 0) == 0 || m.data.rfind("P:", 0) == 0); });
    ASSERT_TRUE(next);
    EXPECT_EQ(next->data, "P:still here");
}

}  // namespace
}  // namespace hbr

namespace hbr {
namespace {

// A server that accepts only TLS, and a console whose connect message turned TLS off.
TEST(ConsoleSecurity, AServerDemandingSecurityTheConsoleMayNotUseSaysWhich) {
    ChannelRdpServer rdp("tls");
    ASSERT_NE(rdp.Port(), 0);
    const uint16_t rdpPort = rdp.Port();
    rconsole::SetRdpTargetLookup(
        {[](std::string_view) -> std::optional<rconsole::RdpTarget> { return std::nullopt; },
         [rdpPort](int32_t id) -> std::optional<rconsole::RdpTarget> {
             if (id != 7) return std::nullopt;
             return rconsole::RdpTarget{"127.0.0.1", "", "", "", rdpPort};
         }});
    const uint16_t port = FreeLoopbackPort();
    StartServer("http://127.0.0.1:" + std::to_string(port) + "/", [](HttpRequest& r) {
        static const Session session;
        if (r.Path() == "/ws") return ServeConsoleSocket(r, session);
        r.SetStatus(404, "Not found");
        r.Send(nullptr, 0);
    });
    WsTestClient ws;
    ASSERT_TRUE(ws.Connect(port)) << ws.Error();
    ASSERT_TRUE(ws.SendBinary(ConnectMessage(R"({"pcb":"7","notls":1})")));
    std::vector<std::string> texts;
    while (auto m = ws.Read(30s)) {
        if (m->text) texts.push_back(m->data);
    }
    StopServer();
    rconsole::SetRdpTargetLookup({});
    // The generic failure, the library's words, then what this side offered and why TLS was
    // not among it.
    EXPECT_EQ(texts, (std::vector<std::string>{
                         std::string(rconsole::kConnectFailedText) +
                         "\nE:The connection failed at negotiating security settings."
                         "\nE:The server accepts none of the security protocols this connection "
                         "may use (standard RDP security, NLA (CredSSP)); TLS was turned off by "
                         "the connect message."}));
    EXPECT_TRUE(ws.Closed());
}

}  // namespace
}  // namespace hbr
