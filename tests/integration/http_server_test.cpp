// The real hbr run-exe over real sockets: status lines, headers, limits, keep-alive,
// parallel slow clients, traversal attempts.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "support/hbr_process.h"
#include "support/http_client.h"

namespace hbr {
namespace {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// One instance shared by the tests of this file, with a web root of known files.
class HttpServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<TempDir>();
        const std::string r = root_->Path();
        WriteFile(r + "/index.html", "<html>index</html>");
        WriteFile(r + "/login.html", "<form><legend>A</legend><legend>B</legend></form>");
        WriteFile(r + "/start.html", "v=%version%;again=%version%");
        WriteFile(r + "/app.js", "var x;");
        WriteFile(r + "/app.JS", "upper");
        WriteFile(r + "/data.json", "{}");
        WriteFile(r + "/s.css", "a{}");
        WriteFile(r + "/i.png", "PNG");
        WriteFile(r + "/i.jpg", "JPG");
        WriteFile(r + "/i.gif", "GIF");
        WriteFile(r + "/noext", "plain");
        WriteFile(r + "/sub/page.html", "sub");
        WriteFile(r + "/big.bin", std::string(4096, 'b'));
        WriteFile(root_->Path() + "/../hbr-outside-secret.txt", "secret");
        HbrProcess::Options o;
        o.webRoot = r;
        hbr_ = std::make_unique<HbrProcess>(o);
        ASSERT_TRUE(hbr_->Ready()) << hbr_->Output();
        // Everything but the login page and /bs/ needs a session.
        HttpClient c(hbr_->Port());
        const std::string cookie =
            c.Post("/login", "usr=administrator&pwd=bravo").Header("Set-Cookie");
        auth_ = CookieHeader(cookie.substr(0, cookie.find(';')));
    }
    static void TearDownTestSuite() {
        hbr_.reset();
        fs::remove(root_->Path() + "/../hbr-outside-secret.txt");
        root_.reset();
    }
    static uint16_t Port() { return hbr_->Port(); }
    static const std::string& Auth() { return auth_; }
    static std::string auth_;

    static std::unique_ptr<TempDir> root_;
    static std::unique_ptr<HbrProcess> hbr_;
};
std::unique_ptr<TempDir> HttpServerTest::root_;
std::unique_ptr<HbrProcess> HttpServerTest::hbr_;
std::string HttpServerTest::auth_;

TEST_F(HttpServerTest, StaticFilesCarryTheirContentTypeAndDate) {
    const std::pair<const char*, const char*> cases[] = {
        {"/app.js", "application/javascript; charset=utf-8"},
        {"/data.json", "application/javascript; charset=utf-8"},
        {"/s.css", "text/css"},
        {"/i.png", "image/png"},
        {"/i.jpg", "image/jpg"},
        {"/i.gif", "image/gif"},
        {"/noext", "text/html"},
        {"/app.JS", "text/html"},  // extensions compare case-sensitively
        {"/sub/page.html", "text/html"},
    };
    HttpClient c(Port());
    for (const auto& [path, type] : cases) {
        const auto r = c.Get(path, Auth());
        EXPECT_EQ(r.status, 200) << path;
        EXPECT_EQ(r.reason, "OK") << path;
        EXPECT_EQ(r.Header("Content-Type"), type) << path;
        EXPECT_FALSE(r.HasHeader("Cache-Control")) << path;
        EXPECT_TRUE(std::regex_match(
            r.Header("Date"),
            std::regex(R"([A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} .+)")))
            << r.Header("Date");
    }
    EXPECT_EQ(c.Get("/app.JS", Auth()).body, "upper");
    EXPECT_EQ(c.Get("/big.bin", Auth()).body.size(), 4096u);
}

TEST_F(HttpServerTest, RootIsTheIndexPage) {
    HttpClient c(Port());
    const auto r = c.Get("/", Auth());
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>index</html>");
    EXPECT_EQ(r.Header("Content-Type"), "text/html");
}

TEST_F(HttpServerTest, MissingFileIs404WithEmptyBody) {
    HttpClient c(Port());
    const auto r = c.Get("/nothing.js", Auth());
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.reason, "Not found");
    EXPECT_EQ(r.body, "");
    // An error is text, whatever the extension asked for.
    EXPECT_EQ(r.Header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(r.Header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(c.Get("/sub", Auth()).status, 404);  // a folder is not a file
}

TEST_F(HttpServerTest, PostToAStaticFileIsCreated) {
    HttpClient c(Port());
    const auto r = c.Post("/app.js", "x=1", Auth());
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.reason, "Created");
    EXPECT_EQ(r.body, "var x;");
}

TEST_F(HttpServerTest, StatisticsScriptIsEmpty) {
    HttpClient c(Port());
    const auto r = c.Get("/ga.js", Auth());
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.Header("Content-Type"), "application/javascript; charset=utf-8");
}

TEST_F(HttpServerTest, StartPageShowsTheVersionWithoutItsLastPart) {
    HttpClient c(Port());
    const auto r = c.Get("/start.html", Auth());
    EXPECT_TRUE(std::regex_match(r.body, std::regex(R"(v=\d+\.\d+\.\d+;again=\d+\.\d+\.\d+)")))
        << r.body;
}

TEST_F(HttpServerTest, TwoRequestsShareOneKeepAliveConnection) {
    HttpClient c(Port());
    EXPECT_EQ(c.Get("/app.js", Auth()).status, 200);
    EXPECT_EQ(c.Get("/s.css", Auth()).status, 200);
    // Pipelined: both requests in one write, both answered in order.
    c.SendRaw("GET /i.png HTTP/1.1\r\nHost: x\r\n" + Auth() +
              "\r\nGET /i.gif HTTP/1.1\r\nHost: x\r\n" + Auth() + "\r\n");
    EXPECT_EQ(c.ReadReply().body, "PNG");
    EXPECT_EQ(c.ReadReply().body, "GIF");
}

TEST_F(HttpServerTest, Http10WithoutKeepAliveIsClosed) {
    HttpClient c(Port());
    const auto r = c.Request("GET /app.js HTTP/1.0\r\n" + Auth() + "\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(c.PeerClosed());
}

TEST_F(HttpServerTest, OversizedHeaderBlockGets507AndTheServerGoesOn) {
    HttpClient c(Port());
    const auto r =
        c.Request("GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(9000, 'p') + "\r\n\r\n");
    EXPECT_EQ(r.status, 507);
    EXPECT_EQ(r.reason, "Insufficient Storage");
    EXPECT_EQ(r.body, "<HTML><BODY>Insufficient Storage</BODY><HTML>");
    EXPECT_EQ(r.body.size(), 45u);
    EXPECT_TRUE(c.PeerClosed());
    HttpClient next(Port());
    EXPECT_EQ(next.Get("/app.js", Auth()).status, 200);
}

TEST_F(HttpServerTest, BodyOverOneMebibyteGets413AndCloses) {
    HttpClient c(Port());
    const auto r = c.Post("/app.js", std::string(1024 * 1024 + 1, 'x'), Auth());
    EXPECT_EQ(r.status, 413);
    EXPECT_TRUE(c.PeerClosed());
    HttpClient next(Port());
    EXPECT_EQ(next.Post("/app.js", std::string(200000, 'y'), Auth()).status,
              201);  // read, then cut
}

TEST_F(HttpServerTest, MalformedRequestsGet400AndClose) {
    const char* bad[] = {
        "GARBAGE\r\n\r\n",
        "GET / HTTP/9.x\r\n\r\n",
        "GET / HTTP/1.1\r\nBad Header Line\r\n\r\n",
        "GET / HTTP/1.1\r\nContent-Length: abc\r\n\r\n",
    };
    for (const char* raw : bad) {
        HttpClient c(Port());
        const auto r = c.Request(raw);
        EXPECT_EQ(r.status, 400) << raw;
        EXPECT_TRUE(c.PeerClosed()) << raw;
    }
}

TEST_F(HttpServerTest, TraversalNeverReachesAFileOutsideTheRoot) {
    const char* attempts[] = {
        "/../hbr-outside-secret.txt",
        "/%2e%2e/hbr-outside-secret.txt",
        "/%2E%2E%2Fhbr-outside-secret.txt",
        "/sub/../../hbr-outside-secret.txt",
        "/sub/..%2f..%2fhbr-outside-secret.txt",
        "/..\\hbr-outside-secret.txt",
        "/%5c..%5chbr-outside-secret.txt",
        "/%c0%ae%c0%ae/hbr-outside-secret.txt",
        "/index.html%00.png",
        "//../hbr-outside-secret.txt",
    };
    for (const char* path : attempts) {
        HttpClient c(Port());
        const auto r =
            c.Request(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n" + Auth() + "\r\n");
        EXPECT_NE(r.status, 200) << path;
        EXPECT_EQ(r.body.find("secret"), std::string::npos) << path;
    }
    HttpClient c(Port());
    EXPECT_EQ(c.Get("/sub/../index.html", Auth()).body, "<html>index</html>");  // stays inside
}

TEST_F(HttpServerTest, SlowClientsDoNotDelayOthers) {
    // Connections that have sent half a header block or half a body hold nothing back.
    HttpClient slowHeader(Port());
    slowHeader.SendRaw("GET /app.js HTTP/1.1\r\nHost: x\r\n" + Auth());
    HttpClient slowBody(Port());
    slowBody.SendRaw("POST /app.js HTTP/1.1\r\nHost: x\r\n" + Auth() +
                     "Content-Length: 100\r\n\r\nabc");
    std::vector<std::thread> fast;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i)
        fast.emplace_back([&] {
            HttpClient c(Port());
            for (int k = 0; k < 20; ++k) ok += c.Get("/s.css", Auth()).status == 200;
        });
    for (auto& t : fast) t.join();
    EXPECT_EQ(ok.load(), 160);
    // The slow ones still complete once they finish sending.
    slowHeader.SendRaw("\r\n");
    EXPECT_EQ(slowHeader.ReadReply().body, "var x;");
    slowBody.SendRaw(std::string(97, 'z'));
    EXPECT_EQ(slowBody.ReadReply().status, 201);
}

TEST_F(HttpServerTest, QueryAndFragmentDoNotChangeTheFileServed) {
    HttpClient c(Port());
    const auto r = c.Get("/index.html?x=1#frag", Auth());
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>index</html>");
}

// The listener itself answers paths outside the URL template's path; the router never sees them
// (no login redirect, no session needed) and the connection stays usable.
TEST(UrlTemplatePath, PathsOutsideTheTemplateAre404) {
    TempDir root;
    WriteFile(root.Path() + "/index.html", "inside");
    HbrProcess::Options o;
    const uint16_t port = FreeLoopbackPort();
    o.args = {"run-exe", "-url", "http://127.0.0.1:" + std::to_string(port) + "/hbr/"};
    o.webRoot = root.Path();
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    HttpClient c(port);
    for (const char* path : {"/", "/index.html", "/hbrx/login.html", "/api/user/0", "/hb"}) {
        const auto r = c.Get(path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body, "Not Found") << path;
    }
    // Inside the template the router answers: without a session, the login redirect.
    const auto inside = c.Get("/hbr/index.html");
    EXPECT_NE(inside.status, 404);
    EXPECT_NE(inside.body, "Not Found");
}

// The login hint follows the administrator's password, read from the database at each request.
TEST(LoginHint, ShownWhileTheDefaultPasswordIsInUse) {
    TempDir root;
    WriteFile(root.Path() + "/login.html", "<legend>A</legend>|<legend>B</legend>");
    HbrProcess::Options o;
    o.webRoot = root.Path();
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    const std::string hint =
        "</legend><p style=\"color:red; font - size:smaller\">Default user: administrator, "
        "password: bravo</p>";
    HttpClient c(hbr.Port());
    const auto before = c.Get("/login.html");
    EXPECT_EQ(before.body, "<legend>A" + hint + "|<legend>B" + hint);
    {
        SQLite::Database db(hbr.DbPath(), SQLite::OPEN_READWRITE);
        db.exec("UPDATE users SET pwd = 'changed' WHERE id = 1");
    }
    const auto after = c.Get("/login.html");
    EXPECT_EQ(after.body, "<legend>A</legend>|<legend>B</legend>");
}

TEST(ConsoleRun, TakenPortFailsTheStart) {
    HbrProcess first;
    ASSERT_TRUE(first.Ready());
    TempDir dir;
    HbrProcess::Options o;
    o.args = {"run-exe", "-url", "http://127.0.0.1:" + std::to_string(first.Port()) + "/",
              "-dbpath", dir.Path() + "/other.db"};
    o.waitForReady = false;
    HbrProcess second(o);
    EXPECT_EQ(second.Wait(), 255);
    EXPECT_NE(second.Output().find("\nStart the web server failed.\nThe specified URL=http://"
                                   "127.0.0.1:" +
                                   std::to_string(first.Port()) +
                                   "/ conflicts with an existing registration."),
              std::string::npos)
        << second.Output();
}

TEST(ConsoleRun, DatabaseInAMissingFolderFailsTheStart) {
    TempDir dir;
    HbrProcess::Options o;
    o.dbPath = dir.Path() + "/missing/folder/hbr.db";
    o.waitForReady = false;
    HbrProcess hbr(o);
    EXPECT_EQ(hbr.Wait(), 255);
    EXPECT_NE(hbr.Output().find("Start the web server failed.\nFailed to open db file:\n"),
              std::string::npos)
        << hbr.Output();
    EXPECT_FALSE(fs::exists(dir.Path() + "/missing"));
}

TEST(ConsoleRun, StopsOnSigtermAndReleasesThePort) {
    uint16_t port;
    {
        HbrProcess hbr;
        ASSERT_TRUE(hbr.Ready());
        port = hbr.Port();
        EXPECT_EQ(hbr.Stop(), 0);
    }
    HttpClient c(port);
    EXPECT_FALSE(c.Connected());
}

}  // namespace
}  // namespace hbr
