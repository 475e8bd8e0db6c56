// Whole console sessions against FreeRDP's shadow server on an Xvfb display, through the
// in-process HTTP server, the WebSocket upgrade and a browser-side WebSocket client.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "console/console_routes.h"
#include "console/rdp_session.h"
#include "console/rdp_target.h"
#include "support/hbr_process.h"
#include "support/http_client.h"
#include "support/rdp_fixture.h"
#include "support/wait_for.h"
#include "web/http_server.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;
using rconsole::CRdp;
using Msg = WsTestClient::Message;

uint32_t U32At(const std::string& s, size_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, s.data() + offset, 4);
    return v;
}

bool IsBinaryType(const Msg& m, uint32_t type) {
    return !m.text && m.data.size() >= 4 && m.data.rfind("R:", 0) != 0 && U32At(m.data, 0) == type;
}

class ConsoleSession : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { rdp_ = new ShadowRdpServer(); }
    static void TearDownTestSuite() {
        delete rdp_;
        rdp_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(rdp_->Running()) << "Xvfb and freerdp-shadow-cli must be installed";
        Lookup(rdp_->Port());
        port_ = FreeLoopbackPort();
        StartServer("http://127.0.0.1:" + std::to_string(port_) + "/", [](HttpRequest& r) {
            static const Session session;
            if (r.Path() == "/ws") return ServeConsoleSocket(r, session);
            if (ServeCursor(r, r.Path())) return;
            r.SetStatus(404, "Not found");
            r.Send(nullptr, 0);
        });
    }
    void TearDown() override {
        StopServer();
        rconsole::SetRdpTargetLookup({});
    }

    // Server 7 is the shadow server's host; VM "vm-1" lives on a host whose console
    // endpoint is `vmPort`.
    static void Lookup(uint16_t serverPort, uint16_t vmPort = 0) {
        rconsole::SetRdpTargetLookup(
            {[vmPort](std::string_view vm) -> std::optional<rconsole::RdpTarget> {
                 if (vm != "vm-1" || vmPort == 0) return std::nullopt;
                 return rconsole::RdpTarget{"127.0.0.1", "", "", "", vmPort};
             },
             [serverPort](int32_t id) -> std::optional<rconsole::RdpTarget> {
                 if (id != 7) return std::nullopt;
                 return rconsole::RdpTarget{"127.0.0.1", "", "", "", serverPort};
             }});
    }

    // Opens a console and waits for "S:" and "C:"; the session identifier.
    std::string OpenConsole(WsTestClient& ws, const std::string& connectJson = R"({"pcb":"7"})") {
        EXPECT_TRUE(ws.Connect(port_)) << ws.Error();
        EXPECT_TRUE(ws.SendBinary(ConnectMessage(connectJson)));
        auto s = ws.Read();
        if (!s) {
            ADD_FAILURE() << "no S: message: " << ws.Error();
            return {};
        }
        EXPECT_TRUE(s->text);
        EXPECT_EQ(s->data.substr(0, 2), "S:");
        auto c = ws.Read();
        EXPECT_TRUE(c && c->text && c->data == "C:RDP session connection started.")
            << (c ? c->data : ws.Error());
        return s->data.substr(2);
    }

    static ShadowRdpServer* rdp_;
    uint16_t port_ = 0;
};

ShadowRdpServer* ConsoleSession::rdp_ = nullptr;

TEST_F(ConsoleSession, ConnectsAndRelaysTheScreen) {
    WsTestClient ws;
    const std::string id = OpenConsole(ws);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(id[0], '0');
    // The size comes first, then the screen's bitmaps.
    auto resize = ws.Read();
    ASSERT_TRUE(resize);
    EXPECT_FALSE(resize->text);
    EXPECT_EQ(resize->data, "R:1024x768");
    size_t bitmaps = 0;
    uint64_t area = 0;
    auto last = ws.ReadUntil([&](const Msg& m) {
        if (IsBinaryType(m, rconsole::kMsgBitmap)) {
            EXPECT_GE(m.data.size(), 40u);
            const uint32_t left = U32At(m.data, 4), top = U32At(m.data, 8);
            const uint32_t destW = U32At(m.data, 20), destH = U32At(m.data, 24);
            EXPECT_LE(left + destW, 1024u);
            EXPECT_LE(top + destH, 768u);
            EXPECT_EQ(U32At(m.data, 28), 16u);  // the session's colour depth
            EXPECT_EQ(U32At(m.data, 36), m.data.size() - 40);
            if (U32At(m.data, 32) == 0) {
                EXPECT_GE(m.data.size() - 40, uint64_t{U32At(m.data, 12)} * U32At(m.data, 16) * 2);
            }
            ++bitmaps;
            area += uint64_t{destW} * destH;
        }
        return area >= 1024u * 768u;
    });
    EXPECT_TRUE(last) << "bitmaps seen: " << bitmaps << " area " << area;
}

// The depth asked for at connect is the depth the server's bitmaps carry: 32 where asked, 16 when
// absent or not one the console offers. At 32 the server compresses with the planar codec. A
// server may answer a lower depth than asked (the shadow server answers 24 with 16): the
// messages then carry that one.
TEST_F(ConsoleSession, BitmapsCarryTheColourDepthAskedFor) {
    const std::pair<std::string, uint32_t> cases[] = {
        {R"({"pcb":"7","bpp":32})", 32},
        {R"({"pcb":"7","bpp":24})", 24},
        {R"({"pcb":"7"})", 16},
        {R"({"pcb":"7","bpp":"32"})", 16},
        {R"({"pcb":"7","bpp":12})", 16},
    };
    for (const auto& [json, depth] : cases) {
        WsTestClient ws;
        ASSERT_FALSE(OpenConsole(ws, json).empty()) << json;
        std::set<uint32_t> depths;
        size_t compressed = 0;
        uint64_t area = 0;
        auto last = ws.ReadUntil([&](const Msg& m) {
            if (!IsBinaryType(m, rconsole::kMsgBitmap)) return false;
            depths.insert(U32At(m.data, 28));
            if (U32At(m.data, 32) != 0) ++compressed;
            area += uint64_t{U32At(m.data, 20)} * U32At(m.data, 24);
            return area >= 1024u * 768u;
        });
        ASSERT_TRUE(last) << json << ": " << ws.Error();
        if (depth == 24) {
            ASSERT_EQ(depths.size(), 1u) << json;
            EXPECT_TRUE(*depths.begin() == 24 || *depths.begin() == 16) << *depths.begin();
        } else {
            EXPECT_EQ(depths, std::set<uint32_t>{depth}) << json;
        }
        if (depth == 32) {
            EXPECT_GT(compressed, 0u) << json;
        }
        ws.Close();
        ASSERT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 0; }));
    }
}

// The shadow server's pointer is the X display's: the desktop's cursor and a terminal's text
// cursor each arrive as PointerNew, and the cursor file of each is served under /cur/.
TEST_F(ConsoleSession, TheDisplaysPointersArriveAndTheirCursorFilesAreServed) {
    ShadowRdpServer own;  // a display of its own: no other test sees the window
    ASSERT_TRUE(own.Running());
    Lookup(own.Port());
    own.RunOnDisplay(
        {"xterm", "-geometry", "40x10+100+100", "-e", "sh", "-c", "exec sleep 100000"});
    WsTestClient ws;
    const std::string id = OpenConsole(ws);
    ASSERT_FALSE(id.empty());
    // The pointer crosses the terminal's edge again and again: each crossing changes the
    // display's cursor, and the shadow server reads cursor changes when X events wake it.
    bool inside = false;
    const auto poke = [&] {
        inside = !inside;
        return U32Message({0, 0x0800, inside ? 200u : 700u, inside ? 150u : 600u});
    };
    std::set<std::string> images;
    size_t pointers = 0;
    const auto end = std::chrono::steady_clock::now() + 90s;
    while (images.size() < 2 && std::chrono::steady_clock::now() < end) {
        auto m = ws.ReadUntilPoking(
            [](const Msg& x) { return IsBinaryType(x, rconsole::kMsgPointerNew); }, poke, 100ms);
        ASSERT_TRUE(m) << ws.Error() << "; pointers so far " << pointers;
        ASSERT_EQ(m->data.size(), 16u);
        ++pointers;
        const uint32_t cursor = U32At(m->data, 4);
        HttpClient c(port_);
        const auto r = c.Get("/cur/" + id + "/" + std::to_string(cursor));
        if (r.status == 404) continue;  // a newer pointer replaced it meanwhile
        ASSERT_EQ(r.status, 200);
        const std::string& f = r.body;
        ASSERT_GT(f.size(), 22u + 24u);
        auto u16 = [&](size_t o) {
            return uint32_t{uint8_t(f[o])} | uint32_t{uint8_t(f[o + 1])} << 8;
        };
        EXPECT_EQ(u16(0), 0u);
        EXPECT_EQ(u16(2), 2u);
        EXPECT_EQ(u16(4), 1u);
        EXPECT_EQ(u16(10), U32At(m->data, 8));  // the message's hotspot
        EXPECT_EQ(u16(12), U32At(m->data, 12));
        EXPECT_EQ(U32At(f, 14), f.size() - 22);
        EXPECT_EQ(U32At(f, 18), 22u);
        EXPECT_EQ(f.substr(22, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        const auto be32 = [&](size_t o) {
            return uint32_t{uint8_t(f[o])} << 24 | uint32_t{uint8_t(f[o + 1])} << 16 |
                   uint32_t{uint8_t(f[o + 2])} << 8 | uint32_t{uint8_t(f[o + 3])};
        };
        EXPECT_EQ(be32(22 + 16) & 0xFF, uint8_t(f[6]));  // PNG width, low byte in the header
        EXPECT_EQ(be32(22 + 20) & 0xFF, uint8_t(f[7]));
        images.insert(f.substr(22));
    }
    EXPECT_GE(images.size(), 2u) << pointers << " pointers";
}

TEST_F(ConsoleSession, CurAnswers404ForWhatNoSessionHolds) {
    WsTestClient ws;
    const std::string id = OpenConsole(ws);
    ASSERT_FALSE(id.empty());
    for (const std::string& path :
         {std::string("/cur/1/1"), "/cur/" + id + "/0", "/cur/" + id + "/1", "/cur/" + id + "/999",
          "/cur/" + id + "/99999999999999999999999", "/cur/" + id + "/4294967297",
          "/cur/" + id + "/-1", "/cur/" + id, "/cur/" + id + "x/1", "/cur/" + id.substr(1) + "/1",
          "/cur/" + id + "/", std::string("/cur//1"), std::string("/cur/zz/zz"),
          std::string("/cur/")}) {
        HttpClient c(port_);
        const auto r = c.Get(path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.reason, "Not found") << path;
        EXPECT_TRUE(r.body.empty()) << path;
    }
}

TEST_F(ConsoleSession, TheVmPathSendsThePreconnectionPduWithTheVmId) {
    PreconnectionRelay relay(rdp_->Port());
    Lookup(rdp_->Port(), relay.Port());
    WsTestClient ws;
    const std::string id = OpenConsole(ws, R"({"pcb":"vm-1","nowallp":1})");
    EXPECT_FALSE(id.empty());
    auto blob = relay.WaitForBlob();
    ASSERT_TRUE(blob);
    EXPECT_EQ(*blob, "vm-1");
    EXPECT_TRUE(ws.ReadUntil([](const Msg& m) { return IsBinaryType(m, rconsole::kMsgBitmap); }));
}

TEST_F(ConsoleSession, AFailedConnectSaysSoAndEnds) {
    Lookup(FreeLoopbackPort());  // nobody listens there
    WsTestClient ws;
    ASSERT_TRUE(ws.Connect(port_));
    ASSERT_TRUE(ws.SendBinary(ConnectMessage(R"({"pcb":"7"})")));
    auto m = ws.Read(60s);
    ASSERT_TRUE(m) << ws.Error();
    EXPECT_TRUE(m->text);
    EXPECT_EQ(m->data,
              "E:Could not connect to RDP backend. Error: protocol security negotiation or "
              "connection failure.\nE:The connection transport layer failed.");
    EXPECT_FALSE(ws.Read(30s));  // closed, and no "T:"
    EXPECT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 0; }));
}

TEST_F(ConsoleSession, InvalidConnectMessagesAndTextLeaveTheSessionWaiting) {
    WsTestClient ws;
    ASSERT_TRUE(ws.Connect(port_));
    EXPECT_TRUE(ws.SendText(R"({"pcb":"7"})"));               // text is ignored
    EXPECT_TRUE(ws.SendBinary(ConnectMessage("{\"pcb\":")));  // not JSON
    EXPECT_TRUE(ws.SendBinary(U32Message({0, 1, 2, 3})));     // input before connecting
    EXPECT_TRUE(ws.SendBinary({4, 0, 0}));                    // shorter than its code
    std::vector<uint8_t> huge(CWebSocket::kMaxMessageBytes + 100, 0);
    huge[0] = 4;
    EXPECT_TRUE(ws.SendBinary(huge));  // dropped whole
    ASSERT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 1; }));
    // A valid connect message still works afterwards.
    EXPECT_TRUE(ws.SendBinary(ConnectMessage(R"({"pcb":"7"})")));
    auto s = ws.Read();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->data.substr(0, 2), "S:");
}

TEST_F(ConsoleSession, ABrowserThatVanishesEndsTheSession) {
    WsTestClient ws;
    ASSERT_FALSE(OpenConsole(ws).empty());
    ASSERT_TRUE(ws.Read());
    ws.Abort();
    EXPECT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 0; }));
}

TEST_F(ConsoleSession, AnRdpServerThatDropsEndsWithT) {
    ShadowRdpServer own;
    ASSERT_TRUE(own.Running());
    Lookup(own.Port());
    WsTestClient ws;
    ASSERT_FALSE(OpenConsole(ws).empty());
    ASSERT_TRUE(ws.ReadUntil([](const Msg& m) { return IsBinaryType(m, rconsole::kMsgBitmap); }));
    own.KillRdp();
    auto t = ws.ReadUntil([](const Msg& m) { return m.text; }, 60s);
    ASSERT_TRUE(t) << ws.Error();
    // "T:" with the reason in words: the transport failed under the library.
    EXPECT_EQ(t->data.substr(0, 2), "T:");
    EXPECT_TRUE(t->data == "T:The connection transport layer failed." ||
                t->data == std::string("T:") + rconsole::kConnectionLostText)
        << t->data;
    EXPECT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 0; }));
}

TEST_F(ConsoleSession, TwentyConsolesLeaveNoThreadsOrDescriptorsBehind) {
    // One round first, so that lazily made process-wide state is not counted.
    {
        WsTestClient ws;
        ASSERT_FALSE(OpenConsole(ws).empty());
        ws.Close();
        ASSERT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 0; }));
    }
    ASSERT_TRUE(WaitFor([] { return ThreadCount() > 0; }));
    std::this_thread::sleep_for(200ms);
    const size_t threads = ThreadCount();
    const size_t fds = OpenFdCount();
    for (int i = 0; i < 20; ++i) {
        WsTestClient ws;
        ASSERT_FALSE(OpenConsole(ws).empty()) << "round " << i;
        ASSERT_TRUE(ws.Read());
        if (i % 2)
            ws.Close();
        else
            ws.Abort();
        ASSERT_TRUE(WaitFor([] { return CRdp::LiveSessions() == 0; })) << "round " << i;
    }
    // The worker pool may keep idle threads; none may grow per console.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threads + 2; }, 10s))
        << ThreadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(WaitFor([&] { return OpenFdCount() <= fds; }, 10s))
        << OpenFdCount() << " descriptors, " << fds << " before";
}

TEST_F(ConsoleSession, TheUpgradeReplyAndARefusedHandshake) {
    HttpClient plain(port_);
    EXPECT_EQ(plain.Get("/ws").status, 400);
    HttpClient c(port_);
    const auto reply = c.Get("/ws",
                             "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                             "Sec-WebSocket-Version: 13\r\n");
    EXPECT_EQ(reply.status, 101);
    EXPECT_EQ(reply.reason, "SWITCHING_PROTOCOLS");
    EXPECT_EQ(reply.Header("Sec-WebSocket-Accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(reply.Header("Connection"), "Upgrade");
}

}  // namespace
}  // namespace hbr
