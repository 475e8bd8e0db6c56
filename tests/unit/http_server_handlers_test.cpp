// The server in process with handlers of the test's own: blocking handlers, exceptions,
// unanswered requests and stopping while requests run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "support/hbr_process.h"
#include "support/http_client.h"
#include "support/taken_port.h"
#include "web/file_body.h"
#include "web/http_server.h"

namespace hbr {
namespace {

class ServerHandlers : public ::testing::Test {
  protected:
    void Start(RequestHandler handler) {
        port_ = FreeLoopbackPort();
        StartServer("http://127.0.0.1:" + std::to_string(port_) + "/", std::move(handler));
    }
    void TearDown() override { StopServer(); }
    uint16_t port_ = 0;
};

TEST_F(ServerHandlers, ABlockedHandlerDoesNotDelayOtherRequests) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> slowEntered;
    Start([&, released](HttpRequest& r) {
        if (r.Path() == "/slow") {
            slowEntered.set_value();
            released.wait();
        }
        r.SendJson("[\"" + r.Path() + "\"]");
    });
    std::thread slowClient([&] {
        HttpClient c(port_);
        EXPECT_EQ(c.Get("/slow").body, "[\"/slow\"]");
    });
    slowEntered.get_future().wait();
    // While /slow is held inside its handler, other requests are answered.
    HttpClient c(port_);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(c.Get("/fast").body, "[\"/fast\"]");
    release.set_value();
    slowClient.join();
}

TEST_F(ServerHandlers, AThrowingHandlerLeavesA500AndTheConnectionClosed) {
    Start([](HttpRequest& r) {
        if (r.Path() == "/throw") throw std::runtime_error("handler failure");
        if (r.Path() == "/int") throw 42;
        r.ReplyOk();
    });
    for (const char* path : {"/throw", "/int"}) {
        HttpClient c(port_);
        const auto reply = c.Get(path);
        EXPECT_EQ(reply.status, 500) << path;
        EXPECT_EQ(reply.reason, "Internal Error");
        EXPECT_EQ(reply.body, "<HTML><BODY>Server Internal Error</BODY><HTML>");
        EXPECT_TRUE(c.PeerClosed());
    }
    HttpClient c(port_);
    EXPECT_EQ(c.Get("/ok").status, 200);
}

TEST_F(ServerHandlers, AnUnansweredRequestGetsTheGeneric500) {
    Start([](HttpRequest&) {});
    HttpClient c(port_);
    const auto reply = c.Get("/x");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body.size(), 46u);
}

TEST_F(ServerHandlers, RequestFieldsReachTheHandler) {
    std::promise<std::string> seen;
    Start([&](HttpRequest& r) {
        std::string usr, page;
        r.FormValue("usr", usr);
        r.QueryValue("page", page);
        seen.set_value(std::string(r.Verb() == HttpVerb::Post ? "POST " : "? ") + r.Path() + " " +
                       usr + " " + page + " " + r.ClientAddress() + " " + r.Cookie("sid"));
        r.ReplyOk();
    });
    HttpClient c(port_);
    c.Post("/a%20b/./c?page=3", "usr=j%6Fe", "Cookie: x=1; sid=abc\r\n");
    EXPECT_EQ(seen.get_future().get(), "POST /a b/c joe 3 127.0.0.1 abc");
}

TEST_F(ServerHandlers, StopEndsIdleAndBusyConnections) {
    std::promise<void> entered;
    std::atomic<bool> sawClose{false};
    Start([&](HttpRequest& r) {
        if (r.Path() == "/busy") {
            entered.set_value();
            // A handler that writes until its client is gone: the stop must unblock it.
            std::string chunk(32 << 20, 'x');  // more than the socket buffers hold
            r.SetStatus(200, "OK");
            r.Send(chunk);
            sawClose = true;
            return;
        }
        r.ReplyOk();
    });
    HttpClient idle(port_);
    EXPECT_EQ(idle.Get("/").status, 200);
    HttpClient busy(port_);
    busy.SendRaw("GET /busy HTTP/1.1\r\nHost: x\r\n\r\n");
    entered.get_future().wait();
    StopServer();
    EXPECT_TRUE(sawClose.load());
    EXPECT_TRUE(idle.PeerClosed());
    EXPECT_FALSE(ServerRunning());
    HttpClient after(port_);
    EXPECT_FALSE(after.Connected());
}

TEST_F(ServerHandlers, ABodyFromAFileArrivesWholeAndTheConnectionGoesOn) {
    std::string text(3 << 20, '\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 4099) % 26);
    const auto body = FileBody::FromText(std::make_shared<const std::string>(text));
    ASSERT_NE(body, nullptr);
    Start([&](HttpRequest& r) {
        if (r.Path() == "/big")
            r.SendJson(*body);
        else
            r.ReplyOk();
    });
    HttpClient c(port_);
    const HttpReply big = c.Get("/big");
    EXPECT_EQ(big.status, 200);
    EXPECT_EQ(big.Header("Content-Length"), std::to_string(text.size()));
    EXPECT_TRUE(big.body == text) << "body of " << big.body.size() << " bytes differs";
    // The reply was framed exactly: the next one on the same connection reads cleanly.
    EXPECT_EQ(c.Get("/next").status, 200);
    EXPECT_TRUE(c.Get("/big").body == text);
}

TEST_F(ServerHandlers, AClientGoneInTheMiddleOfAFileBodyEndsOnlyItsConnection) {
    // Sending from a file cannot ask the kernel to spare the process a broken pipe; a browser
    // that goes away while its reply leaves must not end the server.
    const auto body = FileBody::FromText(std::make_shared<const std::string>(4 << 20, 'y'));
    ASSERT_NE(body, nullptr);
    std::mutex m;
    std::condition_variable cv;
    int entered = 0, closed = 0, left = 0;
    Start([&](HttpRequest& r) {
        if (r.Path() != "/big") return r.ReplyOk();
        std::unique_lock lock(m);
        const int mine = ++entered;
        cv.notify_all();
        cv.wait(lock, [&] { return closed >= mine; });
        lock.unlock();
        r.SendJson(*body);
        lock.lock();
        ++left;
        cv.notify_all();
    });
    for (int i = 1; i <= 8; ++i) {
        {
            HttpClient c(port_);
            ASSERT_TRUE(c.SendRaw("GET /big HTTP/1.1\r\nHost: x\r\n\r\n"));
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return entered >= i; });
        }  // closed before the reply starts
        std::lock_guard lock(m);
        closed = i;
        cv.notify_all();
    }
    HttpClient after(port_);
    EXPECT_EQ(after.Get("/ok").status, 200);
    EXPECT_EQ(after.Get("/ok").status, 200);
    // The handlers use this frame's lock and counters: none may still be running when it ends.
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return left == 8; });
}

TEST_F(ServerHandlers, ASecondServerInTheSameProcessIsRefused) {
    Start([](HttpRequest& r) { r.ReplyOk(); });
    EXPECT_THROW(StartServer("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/",
                             [](HttpRequest&) {}),
                 std::exception);
    // The first one still serves.
    HttpClient c(port_);
    EXPECT_EQ(c.Get("/").status, 200);
}

// Another program listening on the port: the conflict text names the URL and carries no
// system error text.
TEST(ServerStart, ATakenPortIsRefusedWithTheUrl) {
    const TakenLoopbackPort taken;
    ASSERT_TRUE(taken.Listening());
    const std::string url = "http://127.0.0.1:" + std::to_string(taken.Port()) + "/";
    std::string message;
    try {
        StartServer(url, [](HttpRequest&) {});
        StopServer();
    } catch (const std::exception& e) {
        message = e.what();
    }
    EXPECT_EQ(message, "The specified URL=" + url +
                           " conflicts with an existing registration.\nTo view listening sockets "
                           "use:\n ss -ltnp");
}

TEST(ServerStart, BadTemplatesAndSchemesAreRefused) {
    for (const char* url : {"nonsense", "http://+:0/", "https://+:0/", "ftp://+:1/"}) {
        try {
            StartServer(url, [](HttpRequest&) {});
            StopServer();
            ADD_FAILURE() << url;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind(std::string("AddUrl ") + url, 0), 0u) << e.what();
        }
    }
}

}  // namespace
}  // namespace hbr
