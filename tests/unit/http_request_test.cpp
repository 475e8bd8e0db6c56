#include "web/http_request.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace hbr {
namespace {

class RecordingConnection : public HttpConnection {
  public:
    uint64_t Id() const override { return 7; }
    bool Write(std::string_view bytes) override {
        written += bytes;
        ++writes;
        return true;
    }
    void CloseAfterReply() override { closed = true; }
    std::string written;
    int writes = 0;
    bool closed = false;
};

struct Fixture {
    std::shared_ptr<RecordingConnection> conn = std::make_shared<RecordingConnection>();
    std::unique_ptr<HttpRequest> Make(
        HttpVerb verb = HttpVerb::Get, std::string target = "/", std::string body = {},
        std::vector<std::pair<std::string, std::string>> headers = {}) {
        HttpRequestData d;
        d.verb = verb;
        d.target = target;
        d.path = target.substr(0, target.find('?'));
        d.body = std::move(body);
        d.headerList = std::move(headers);
        d.clientAddress = "127.0.0.1";
        return std::make_unique<HttpRequest>(conn, std::move(d));
    }
};

TEST(RequestReading, CookieIsFoundByItsExactName) {
    EXPECT_EQ(CookieValue("a=1; x=5;;", "x"), "5");
    EXPECT_EQ(CookieValue("a=1; x=5;;", "b"), "");
    EXPECT_EQ(CookieValue("xa=7", "a"), "");  // another cookie whose name ends like ours
    EXPECT_EQ(CookieValue("xa=7;\ta=8", "a"), "8");
    EXPECT_EQ(CookieValue("b=a=9", "a"), "");  // a value is no name
    EXPECT_EQ(CookieValue("a=;;;v", "a"), "v");
    EXPECT_EQ(CookieValue("a= spaced ;b=2", "a"), " spaced ");
    EXPECT_EQ(CookieValue("a=", "a"), "");
}

TEST(RequestReading, FormFieldsDecodePercentAndPlusAsSpace) {
    Fixture f;
    auto r = f.Make(HttpVerb::Post, "/login", "usr=joe&pwd=a%20b+c%2B");
    std::string v;
    ASSERT_TRUE(r->FormValue("usr", v));
    EXPECT_EQ(v, "joe");
    ASSERT_TRUE(r->FormValue("pwd", v));
    EXPECT_EQ(v, "a b c+");
    v = "unchanged";
    EXPECT_FALSE(r->FormValue("us", v));
    EXPECT_EQ(v, "unchanged");
    r->ReplyOk();
}

TEST(RequestReading, BodyEndsAtTheFirstZeroByte) {
    Fixture f;
    auto r = f.Make(HttpVerb::Post, "/x", std::string("a=1\0b=2", 7));
    std::string text, v;
    r->BodyText(text);
    EXPECT_EQ(text, "a=1");
    EXPECT_FALSE(r->FormValue("b", v));
    r->ReplyOk();
}

TEST(RequestReading, QueryParametersMatchWholeNames) {
    Fixture f;
    auto r = f.Make(HttpVerb::Get, "/api/audit?page=2&start=40");
    std::string v;
    ASSERT_TRUE(r->QueryValue("page", v));
    EXPECT_EQ(v, "2");
    ASSERT_TRUE(r->QueryValue("start", v));
    EXPECT_EQ(v, "40");
    auto r2 = f.Make(HttpVerb::Get, "/x?pagex=3");
    EXPECT_FALSE(r2->QueryValue("page", v));
    r->ReplyOk();
    r2->ReplyOk();
}

TEST(RequestReading, OverlongValueEndsTheRequest) {
    Fixture f;
    auto r = f.Make(HttpVerb::Post, "/x", "a=" + std::string(600, 'x'));
    std::string v;
    EXPECT_THROW(r->FormValue("a", v), RequestValueTooLong);
    auto q = f.Make(HttpVerb::Get, "/x?a=" + std::string(300, 'x') + std::string(300, 'y'));
    EXPECT_THROW(q->QueryValue("a", v), RequestValueTooLong);
    // 511 decoded bytes still fit the buffer with its terminator.
    auto ok = f.Make(HttpVerb::Get, "/x?a=" + std::string(511, 'z'));
    EXPECT_TRUE(ok->QueryValue("a", v));
    EXPECT_EQ(v.size(), 511u);
    r->ReplyOk();
    q->ReplyOk();
    ok->ReplyOk();
}

TEST(RequestReading, KnownHeadersAreLowerCasedAndRepeatsAppended) {
    Fixture f;
    auto r = f.Make(HttpVerb::Get, "/", {},
                    {{"Cookie", "a=1"}, {"X-Custom", "v"}, {"COOKIE", ";b=2"}, {"Accept", ""}});
    EXPECT_EQ(r->Headers().at("cookie"), "a=1;b=2");
    EXPECT_EQ(r->Headers().at("X-Custom"), "v");
    EXPECT_EQ(r->Headers().count("accept"), 0u);
    EXPECT_EQ(r->Cookie("b"), "2");
    r->ReplyOk();
}

TEST(Reply, JsonOnPostIsCreatedAndOnGetOk) {
    Fixture f;
    f.Make(HttpVerb::Post, "/api/x")->SendJson("");
    EXPECT_EQ(f.conn->written.rfind("HTTP/1.1 201 Created\r\n", 0), 0u);
    EXPECT_NE(f.conn->written.find("Content-Type: application/javascript; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_NE(f.conn->written.find("Cache-Control: no-store\r\n"), std::string::npos);
    EXPECT_NE(f.conn->written.find("\r\n\r\n{}"), std::string::npos);
    Fixture g;
    g.Make(HttpVerb::Get, "/api/x")->SendJson("[1]");
    EXPECT_EQ(g.conn->written.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(g.conn->written.find("Date: "), std::string::npos);
}

TEST(Reply, ErrorTextBecomesServerErrorAsPlainText) {
    Fixture f;
    f.Make(HttpVerb::Get, "/api/x")->ReplyJson("error: boom");
    EXPECT_EQ(f.conn->written.rfind("HTTP/1.1 500 Server error\r\n", 0), 0u);
    EXPECT_NE(f.conn->written.find("Content-Type: text/plain; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_EQ(f.conn->written.find("application/javascript"), std::string::npos);
    EXPECT_EQ(f.conn->written.find("Date:"), std::string::npos);
    EXPECT_NE(f.conn->written.find("\r\n\r\nerror: boom"), std::string::npos);
}

// Every reply, success or error, carries the browser protections; only TLS adds HSTS.
TEST(Reply, SecurityHeadersOnEveryReply) {
    Fixture f;
    f.Make(HttpVerb::Get, "/api/x")->SendJson("[]");
    Fixture g;
    g.Make(HttpVerb::Post, "/api/x")->ReplyForbidden();
    for (const std::string* w : {&f.conn->written, &g.conn->written}) {
        const std::string head = w->substr(0, w->find("\r\n\r\n"));
        EXPECT_NE(head.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("Referrer-Policy: same-origin\r\n"), std::string::npos);
        EXPECT_NE(head.find("frame-ancestors 'none'"), std::string::npos);
        EXPECT_NE(head.find("default-src 'self'"), std::string::npos);
        EXPECT_EQ(head.find("Strict-Transport-Security"), std::string::npos);
    }
    EXPECT_NE(g.conn->written.find("Content-Type: text/plain; charset=utf-8\r\n"),
              std::string::npos);
}

TEST(Reply, FixedBodiesOfTheHelpers) {
    struct Case {
        void (*send)(HttpRequest&);
        const char* statusLine;
        const char* body;
    };
    const Case cases[] = {
        {[](HttpRequest& r) { r.ReplyBadRequest(); }, "400 Bad Request", "Bad Request"},
        {[](HttpRequest& r) { r.ReplyUnauthorized(); }, "401 Unauthorized", "Unauthorized"},
        {[](HttpRequest& r) { r.ReplyForbidden(); }, "403 Forbidden", "Access Denied"},
        {[](HttpRequest& r) { r.ReplyForbidden("nope"); }, "403 Forbidden", "nope"},
        {[](HttpRequest& r) { r.ReplyServerError(); }, "500 Server error",
         "Server error: hbr exception"},
    };
    for (const auto& c : cases) {
        Fixture f;
        auto r = f.Make();
        c.send(*r);
        EXPECT_EQ(f.conn->written.rfind(std::string("HTTP/1.1 ") + c.statusLine + "\r\n", 0), 0u)
            << c.statusLine;
        EXPECT_EQ(f.conn->written.substr(f.conn->written.find("\r\n\r\n") + 4), c.body);
    }
}

TEST(Reply, NtlmChallengeKeepsTheConnection) {
    Fixture f;
    auto r = f.Make();
    EXPECT_FALSE(r->CheckNtlm());
    EXPECT_NE(f.conn->written.find("WWW-Authenticate: NTLM\r\n"), std::string::npos);
    EXPECT_NE(f.conn->written.find("Content-Length: 43\r\n"), std::string::npos);
    EXPECT_FALSE(f.conn->closed);
}

TEST(Reply, ChangesAfterSendRaiseHeaderSent) {
    Fixture f;
    auto r = f.Make();
    r->ReplyOk();
    EXPECT_TRUE(r->ReplySent());
    // Every change to the reply fails the same way once it is out, and nothing more is written.
    const std::vector<std::function<void()>> changes = {
        [&] { r->SetStatus(404, "x"); },   [&] { r->SetHeader(kHeaderDate, "x"); },
        [&] { r->AddHeader("X-A", "b"); }, [&] { r->Send("again"); },
        [&] { r->ReplyServerError(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        std::string message;
        try {
            changes[i]();
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        EXPECT_EQ(message, "Header sent") << "change " << i;
    }
    EXPECT_EQ(f.conn->writes, 1);
}

TEST(Reply, UnknownHeaderIdIsABadParameter) {
    Fixture f;
    auto r = f.Make();
    try {
        r->SetHeader(30, "x");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad parameter");
    }
    r->ReplyOk();
}

TEST(Reply, UnansweredRequestGets500AndCloses) {
    Fixture f;
    f.Make().reset();
    EXPECT_EQ(f.conn->written.rfind("HTTP/1.1 500 Internal Error\r\n", 0), 0u);
    EXPECT_NE(f.conn->written.find("<HTML><BODY>Server Internal Error</BODY><HTML>"),
              std::string::npos);
    EXPECT_TRUE(f.conn->closed);
}

TEST(Reply, LineBreaksInHeaderValuesCannotAddHeaders) {
    Fixture f;
    auto r = f.Make();
    r->SetHeader(kHeaderLocation, "/x\r\nSet-Cookie: evil=1");
    r->SetStatus(302, "Found\r\nX: y");
    r->Send(nullptr, 0);
    EXPECT_EQ(f.conn->written.find("\r\nSet-Cookie"), std::string::npos);
    EXPECT_EQ(f.conn->written.find("\r\nX: y"), std::string::npos);
}

TEST(Reply, HeadGetsHeadersWithoutBody) {
    Fixture f;
    f.Make(HttpVerb::Head)->Send(std::string_view("hello"));
    EXPECT_NE(f.conn->written.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_EQ(f.conn->written.find("hello"), std::string::npos);
}

TEST(Reply, TextBodyIsCutTo8191Bytes) {
    Fixture f;
    f.Make()->SendTextBody(std::string(10000, 'a'));
    EXPECT_NE(f.conn->written.find("Content-Length: 8191\r\n"), std::string::npos);
}

}  // namespace
}  // namespace hbr
