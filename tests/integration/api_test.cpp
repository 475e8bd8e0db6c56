// Login, sessions and the user, role, password and log routes of the real hbr run-exe.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

#include "cli/process_state.h"
#include "store/event_log.h"
#include "store/json.h"
#include "support/hbr_api.h"

namespace hbr {
namespace {

// The audit page is sent as JavaScript with the bare key data; quoted, it reads as JSON.
struct AuditPage {
    JsonDocument doc;
    bool ok = false;
    explicit AuditPage(const std::string& body) {
        if (body.rfind("{data:", 0) != 0) return;
        ok = ParseJson("{\"data\":" + body.substr(6), doc) && doc.Root()["data"].IsArray();
    }
    const JsonValue& Rows() const { return doc.Root()["data"]; }
};

std::string Form(const std::string& usr, const std::string& pwd) {
    return "usr=" + usr + "&pwd=" + pwd;
}

class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(hbr_.Ready()) << hbr_.Output(); }

    HttpReply Login(const std::string& usr, const std::string& pwd) {
        HttpClient c(hbr_.Port());
        return c.Post("/login", Form(usr, pwd),
                      "Content-Type: application/x-www-form-urlencoded\r\n");
    }
    // The cookie of a successful login.
    std::string Session(const std::string& usr, const std::string& pwd) {
        const HttpReply r = Login(usr, pwd);
        EXPECT_EQ(r.Header("Location"), "/") << usr;
        return CookieOf(r);
    }
    HttpReply Get(const std::string& cookie, const std::string& path) {
        HttpClient c(hbr_.Port());
        return c.Get(path, cookie.empty() ? "" : CookieHeader(cookie));
    }
    HttpReply Post(const std::string& cookie, const std::string& path, const std::string& body) {
        HttpClient c(hbr_.Port());
        return c.Post(path, body, CookieHeader(cookie));
    }
    HttpReply Delete(const std::string& cookie, const std::string& path) {
        HttpClient c(hbr_.Port());
        return c.Delete(path, CookieHeader(cookie));
    }
    int64_t Count(const std::string& sql) { return HbrApi(hbr_).Count(sql); }
    std::string Text(const std::string& sql) { return HbrApi(hbr_).Text(sql); }
    void Exec(const std::string& sql) { HbrApi(hbr_).Exec(sql); }
    // Role 2 "ops" limited to VM A, and its user "lim" with password "pw" (user 2).
    static constexpr const char* kVmA = "0000000A-0000-0000-0000-000000000000";
    static constexpr const char* kVmB = "0000000B-0000-0000-0000-000000000000";
    std::string LimitedEditor() {
        Exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES (2,'ops',)"
             R"('{"cUsers_View":true,"cUsers_Edit":true,"cRoles_View":true,"cRoles_Edit":true,)"
             R"("cUsers_Delete":true,"cVm_Start":true,"cLog_Audit":true}',)"
             R"('[{"id":")" +
             std::string(kVmA) +
             R"(","name":"vmA"}]'),)"
             R"( (3,'big','{"cLog_System":true}',NULL))");
        const std::string admin = Session("administrator", "bravo");
        EXPECT_EQ(
            Post(admin, "/api/user/0", R"({"id":0,"name":"lim","pwd":"pw","roleId":2})").status,
            201);
        return Session("lim", "pw");
    }

    HbrProcess hbr_;
};

TEST_F(ApiTest, FormLoginCookieAndAuditRows) {
    const HttpReply ok = Login("administrator", "bravo");
    EXPECT_EQ(ok.status, 302);
    EXPECT_EQ(ok.reason, "Found");
    EXPECT_EQ(ok.Header("Location"), "/");
    EXPECT_TRUE(std::regex_match(ok.Header("Set-Cookie"),
                                 std::regex("hbr[0-9]+=[0-9a-f]{32};Path=/;HttpOnly;SameSite=Lax")))
        << ok.Header("Set-Cookie");
    EXPECT_EQ(CookieOf(ok).substr(0, CookieOf(ok).find('=')), "hbr" + std::to_string(hbr_.Pid()));
    EXPECT_EQ(Text("SELECT userId||'/'||username||'/'||claim||'/'||result||'/'||userip||'/'||"
                   "ifnull(resource,'-')||ifnull(description,'-') FROM audit"),
              "1/administrator/100/0/127.0.0.1/--");
    EXPECT_NE(Text("SELECT ifnull(lastLogon,'') FROM users WHERE id=1"), "");

    // Names match in any letter case; the audit keeps the typed name of a refused login.
    const HttpReply wrong = Login("ADMINISTRATOR", "bravo2");
    EXPECT_EQ(wrong.status, 302);
    EXPECT_EQ(wrong.Header("Location"), "/login.html");
    EXPECT_FALSE(wrong.HasHeader("Set-Cookie"));
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=100 AND result=1 AND "
                    "username='ADMINISTRATOR'"),
              1);
    EXPECT_EQ(Login("Administrator", "bravo").Header("Location"), "/");

    // Unknown names, quotes and wildcards: no login, a refused row with the typed name; an
    // empty name is no attempt.
    for (const char* usr : {"nobody", "", "administrator%27--", "%25", "admin%25"})
        EXPECT_EQ(Login(usr, "bravo").Header("Location"), "/login.html") << usr;
    EXPECT_EQ(Count("SELECT count(*) FROM audit"), 7);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE username='admin%' AND userId=0"), 1);

    // A Windows account name never logs in through the form.
    const std::string admin = CookieOf(ok);
    ASSERT_EQ(Post(admin, "/api/user/0", R"({"name":"CORP\\bob","pwd":"pw","roleId":1})").status,
              201);
    EXPECT_EQ(Login("CORP%5Cbob", "pw").Header("Location"), "/login.html");
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=100 AND result=0"), 2);
}

TEST_F(ApiTest, PublicPathsAndRefusedCookies) {
    EXPECT_EQ(Get("", "/login.html").status, 200);
    EXPECT_EQ(Get("", "/bs/").status, 302);  // the folder itself is no file under /bs/
    HttpReply r = Get("", "/index.html");
    EXPECT_EQ(r.status, 302);
    EXPECT_EQ(r.Header("Location"), "/login.html");
    EXPECT_EQ(Get("", "/").Header("Location"), "/login.html");
    r = Get("", "/api/users");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, "Access Denied");

    const std::string cookie = Session("administrator", "bravo");
    EXPECT_EQ(Get(cookie, "/api/users").status, 200);
    EXPECT_EQ(Get(cookie, "/api/users/").status, 200);
    EXPECT_EQ(Get(cookie, "/").status, 200);  // the index page
    const std::string name = cookie.substr(0, cookie.find('=') + 1);
    const std::string id = cookie.substr(name.size());
    for (const std::string& forged :
         {name + id.substr(0, 31), name + id + "0", name, name + std::string(32, '0'), "hbr1=" + id,
          name + "\"" + id + "\""})
        EXPECT_EQ(Get(forged, "/api/users").status, 403) << forged;

    // Logout ends only this session.
    const std::string other = Session("administrator", "bravo");
    r = Get(cookie, "/logout");
    EXPECT_EQ(r.status, 302);
    EXPECT_EQ(r.Header("Location"), "/");
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=101 AND result=0 AND userId=1"), 1);
    EXPECT_EQ(Get(cookie, "/api/users").status, 403);
    EXPECT_EQ(Get(cookie, "/logout").Header("Location"), "/login.html");
    EXPECT_EQ(Get(other, "/api/users").status, 200);
}

TEST_F(ApiTest, CookiesOfAnEarlierProcessAreNotRecognised) {
    const std::string cookie = Session("administrator", "bravo");
    hbr_.Stop();
    HbrProcess::Options o;
    o.dbPath = hbr_.DbPath();
    HbrProcess again(o);
    ASSERT_TRUE(again.Ready()) << again.Output();
    HttpClient c(again.Port());
    EXPECT_EQ(c.Get("/api/users", CookieHeader(cookie)).status, 403);
    // Even under the new process's cookie name the old id is unknown.
    const std::string renamed =
        "hbr" + std::to_string(again.Pid()) + cookie.substr(cookie.find('='));
    EXPECT_EQ(c.Get("/api/users", CookieHeader(renamed)).status, 403);
}

TEST_F(ApiTest, OwnUserNeedsNoClaimOthersNeedUsersEdit) {
    const std::string lim = LimitedEditor();
    HttpReply r = Get(lim, "/api/user/0");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("\"name\":\"lim\""), std::string::npos);
    EXPECT_NE(r.body.find("\"cVm_Start\":true"), std::string::npos);
    EXPECT_NE(r.body.find("\"cHost_View\":false"), std::string::npos);
    r = Get(lim, "/api/user/1");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("\"name\":\"administrator\""), std::string::npos);
    EXPECT_EQ(Get(lim, "/api/user/-1").status, 400);
    EXPECT_EQ(Get(lim, "/api/user/abc").status, 404);  // no route: a static file
    r = Get(lim, "/api/users");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("administrator"), std::string::npos);

    // Without cUsers_Edit only id 0 is open.
    Exec(R"(UPDATE roles SET j_claims='{"cUsers_View":true}' WHERE id=2)");
    const std::string viewer = Session("lim", "pw");
    EXPECT_EQ(Get(viewer, "/api/user/0").status, 200);
    EXPECT_EQ(Get(viewer, "/api/user/1").status, 403);
    EXPECT_EQ(Get(viewer, "/api/user/-1").status, 403);
    EXPECT_EQ(Post(viewer, "/api/user/0", R"({"name":"x","roleId":2})").status, 403);
    EXPECT_EQ(Count("SELECT count(*) FROM users WHERE name='x'"), 0);
    EXPECT_EQ(Get(viewer, "/api/roles").status, 403);
    EXPECT_EQ(Get(viewer, "/api/auditlog").status, 403);
    EXPECT_EQ(Get(viewer, "/api/syslog").status, 403);
}

TEST_F(ApiTest, EditRulesForUsersAndRoles) {
    const std::string lim = LimitedEditor();
    const std::string admin = Session("administrator", "bravo");
    const int64_t users = Count("SELECT count(*) FROM users");

    // Claims and VMs the editor does not have cannot be granted.
    const std::string vmA = R"({"id":")" + std::string(kVmA) + R"(","name":"vmA"})";
    const std::string vmB = R"({"id":")" + std::string(kVmB) + R"(","name":"vmB"})";
    HttpReply r = Post(lim, "/api/role/0",
                       R"({"name":"r1","claims":{"cLog_System":true},"vms":[)" + vmA + "]}");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, "cl name: cLog_System");
    r = Post(lim, "/api/role/0", R"({"name":"r1","claims":{"cVm_Start":true},"vms":null})");
    EXPECT_EQ(r.body, "assigned vms empty");
    r = Post(lim, "/api/role/0",
             R"({"name":"r1","claims":{"cVm_Start":true},"vms":[)" + vmA + "," + vmB + "]}");
    EXPECT_EQ(r.body, "vmB");
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=33 AND result=1 AND "
                    "description='cl name: cLog_System' AND resource='r1'"),
              1);
    // Its own role and the built-in one are not the editor's to change.
    EXPECT_EQ(
        Post(lim, "/api/role/2", R"({"id":2,"name":"ops","claims":{"cVm_Start":true}})").status,
        403);
    EXPECT_EQ(Post(lim, "/api/role/1", R"({"id":1,"name":"x","claims":{}})").status, 403);
    r = Post(lim, "/api/role/0",
             R"({"id":0,"name":"r1","claims":{"cVm_Start":true},"vms":[)" + vmA + "]}");
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.body, "{}");
    const int64_t r1 = Count("SELECT id FROM roles WHERE name='r1'");

    // Users: not user 1, not into a role with more rights, not a new user either.
    EXPECT_EQ(Post(lim, "/api/user/1", R"({"id":1,"name":"administrator","roleId":1})").status,
              403);
    EXPECT_EQ(Post(lim, "/api/user/0", R"({"name":"u3","pwd":"p","roleId":3})").status, 403);
    EXPECT_EQ(Post(lim, "/api/user/0", R"({"name":"u1","pwd":"p","roleId":1})").status, 403);
    EXPECT_EQ(Count("SELECT count(*) FROM users"), users);
    r = Post(lim, "/api/user/0", R"({"name":"u2","pwd":"p","roleId":)" + std::to_string(r1) + "}");
    EXPECT_EQ(r.status, 201);
    const std::string u2 = std::to_string(Count("SELECT id FROM users WHERE name='u2'"));
    EXPECT_EQ(Post(lim, "/api/user/" + u2, R"({"id":)" + u2 + R"(,"roleId":3})").status, 403);
    EXPECT_EQ(Post(lim, "/api/user/" + u2, R"({"id":)" + u2 + R"(,"roleId":2,"roleId":1})").status,
              400);
    EXPECT_EQ(Count("SELECT roleId FROM users WHERE name='u2'"), r1);
    // Its own role stays.
    EXPECT_EQ(Post(lim, "/api/user/2", R"({"id":2,"roleId":3})").status, 403);
    EXPECT_EQ(Post(lim, "/api/user/2", R"({"id":2,"roleId":2,"comment":"me"})").status, 201);
    EXPECT_EQ(Text("SELECT comment FROM users WHERE id=2"), "me");

    // Deleting: never user 1, never oneself.
    EXPECT_EQ(Delete(admin, "/api/user/1").status, 403);
    EXPECT_EQ(Delete(admin, "/api/role/1").status, 403);
    EXPECT_EQ(Delete(lim, "/api/user/2").status, 403);
    r = Delete(lim, "/api/user/" + u2);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{}");
    // A role in use stays, and says why.
    r = Delete(admin, "/api/role/2");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.reason, "Server error");
    EXPECT_EQ(r.body, "error: the role still has users");
    EXPECT_EQ(Count("SELECT count(*) FROM roles WHERE id=2"), 1);
    EXPECT_EQ(Delete(admin, "/api/role/" + std::to_string(r1)).status, 200);
    EXPECT_EQ(Count("SELECT count(*) FROM roles WHERE id=" + std::to_string(r1)), 0);
    EXPECT_EQ(Get(admin, "/api/role/3").status, 200);
    EXPECT_NE(Get(admin, "/api/role/3").body.find("\"name\":\"big\""), std::string::npos);
}

TEST_F(ApiTest, BadBodiesAndMemberNamesChangeNothing) {
    const std::string admin = Session("administrator", "bravo");
    const int64_t changes =
        Count("SELECT count(*) FROM users") + Count("SELECT count(*) FROM roles");
    for (const char* path : {"/api/user/0", "/api/role/0", "/api/changepassword/1"}) {
        for (const char* body : {"", "not json", "[1,2]", "\"x\"", "{\"id\":", "null"})
            EXPECT_EQ(Post(admin, path, body).status, 400) << path << " " << body;
    }
    EXPECT_EQ(Post(admin, "/api/user/0", R"({"id":"2","name":"x","roleId":1})").status, 400);
    // A POST route answered by another verb.
    HttpClient c(hbr_.Port());
    EXPECT_EQ(c.Request("PUT /api/role/0 HTTP/1.1\r\nHost: x\r\n" + CookieHeader(admin) +
                        "Content-Length: 10\r\n\r\n{\"name\":1}")
                  .status,
              400);
    for (const char* body :
         {R"({"name":"x","roleId":1,"pwd) VALUES(1,1,1);DROP TABLE users;--":"p"})",
          R"({"name":"x","roleId":1,"j_vms":"[]"})",
          R"({"name":"x","roleId":1,"name=name,roleId":"1"})"}) {
        const HttpReply r = Post(admin, "/api/user/0", body);
        EXPECT_EQ(r.status, 500) << body;
        EXPECT_EQ(r.body.rfind("error: ", 0), 0u) << r.body;
    }
    const HttpReply r = Post(admin, "/api/role/0", R"({"name":"x","j_claims":"{}"})");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(Count("SELECT count(*) FROM users") + Count("SELECT count(*) FROM roles"), changes);
    EXPECT_EQ(Get(admin, "/api/users").status, 200);
}

TEST_F(ApiTest, PasswordChangeIsTheCallersOwn) {
    const std::string lim = LimitedEditor();
    HttpReply r = Post(lim, "/api/changepassword/2", R"({"pwd0":"wrong","pwd1":"new"})");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, "Password is invalid");
    EXPECT_EQ(Post(lim, "/api/changepassword/2", R"({"pwd0":"pw","pwd1":"  "})").body,
              "Password is invalid");
    EXPECT_EQ(Get(lim, "/api/changepassword/2").status, 400);
    // The path names user 1; the password changed is still the caller's.
    r = Post(lim, "/api/changepassword/1", R"({"pwd0":"pw","pwd1":" next "})");
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.body, "{}");
    // The session holds the new digest at once: a second change from it works.
    EXPECT_EQ(Post(lim, "/api/changepassword/2", R"({"pwd0":"next","pwd1":"third"})").status, 201);
    EXPECT_EQ(Login("lim", "pw").Header("Location"), "/login.html");
    EXPECT_EQ(Login("lim", "next").Header("Location"), "/login.html");
    EXPECT_EQ(Login("lim", "third").Header("Location"), "/");
    EXPECT_EQ(Login("administrator", "bravo").Header("Location"), "/");
}

TEST_F(ApiTest, SessionsFollowRoleAndUserEdits) {
    const std::string lim = LimitedEditor();
    const std::string admin = Session("administrator", "bravo");
    EXPECT_EQ(Get(lim, "/api/users").status, 200);
    // Editing the role takes cUsers_View from the open session at once.
    ASSERT_EQ(
        Post(admin, "/api/role/2", R"({"id":2,"name":"ops","claims":{"cRoles_View":true}})").status,
        201);
    EXPECT_EQ(Get(lim, "/api/users").status, 403);
    EXPECT_EQ(Get(lim, "/api/roles").status, 200);
    EXPECT_EQ(Get(admin, "/api/users").status, 200);  // the administrator is not refreshed away
    // Disabling the user ends its sessions; it cannot log in again.
    const std::string second = Session("lim", "pw");
    ASSERT_EQ(Post(admin, "/api/user/2", R"({"id":2,"disabled":true})").status, 201);
    EXPECT_EQ(Get(lim, "/api/roles").status, 403);
    EXPECT_EQ(Get(second, "/api/roles").status, 403);
    EXPECT_EQ(Login("lim", "pw").Header("Location"), "/login.html");
    EXPECT_EQ(Get(admin, "/api/roles").status, 200);
}

TEST_F(ApiTest, AuditPageFiltersSortsPagesAndRefusesInjection) {
    const std::string lim = LimitedEditor();
    const std::string admin = Session("administrator", "bravo");
    Login("lim", "bad");
    Login("lim", "bad");
    HttpReply r = Get(admin,
                      "/api/auditlog?start=0&limit=2&sort=%5B%7B%22property%22%3A%22"
                      "username%22%2C%22direction%22%3A%22DESC%22%7D%5D");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body.rfind("{data:[{", 0), 0u) << r.body;
    const int64_t all = Count("SELECT count(*) FROM audit");
    EXPECT_NE(r.body.find("\"total\":" + std::to_string(all) + "}"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"username\":\"lim\""), std::string::npos);
    {
        const AuditPage page(r.body);
        ASSERT_TRUE(page.ok) << r.body;
        ASSERT_EQ(page.Rows().Size(), 2u) << r.body;  // two rows of the page
        EXPECT_GE(page.Rows().At(0)["username"].AsText(), page.Rows().At(1)["username"].AsText());
        EXPECT_EQ(page.Rows().At(0)["username"].AsText(), "lim");
    }

    // filter=[{"property":"result","value":"1","operator":"eq"}]
    const std::string refused =
        "filter=%5B%7B%22property%22%3A%22result%22%2C%22value%22%3A%221"
        "%22%2C%22operator%22%3A%22eq%22%7D%5D";
    r = Get(admin, "/api/auditlog?start=0&limit=50&" + refused);
    EXPECT_NE(r.body.find("\"total\":2}"), std::string::npos) << r.body;
    r = Get(admin, "/api/auditlog?start=1&limit=50&" + refused);
    EXPECT_NE(r.body.find("\"total\":2}"), std::string::npos) << r.body;
    {
        // The second of the two refused logins alone.
        const AuditPage page(r.body);
        ASSERT_TRUE(page.ok) << r.body;
        ASSERT_EQ(page.Rows().Size(), 1u) << r.body;
        EXPECT_EQ(page.Rows().At(0)["result"].AsInt(), 1);
        EXPECT_EQ(page.Rows().At(0)["username"].AsText(), "lim");
    }

    // The limited user sees none of the administrator's rows.
    r = Get(lim, "/api/auditlog?start=0&limit=100");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("administrator"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"total\":" +
                          std::to_string(Count("SELECT count(*) FROM audit WHERE "
                                               "userId>1")) +
                          "}"),
              std::string::npos);

    const int64_t before = Count("SELECT count(*) FROM audit");
    for (const char* q :
         {"start=0&limit=1;DELETE%20FROM%20audit", "start=0%20OR%201=1&limit=5", "start=0&limit=",
          "start=0&limit=5&sort=%5B%7B%22property%22%3A%22date%3BDROP%20TABLE%20audit%22%7D%5D",
          "start=0&limit=5&sort=%5B%7B%22property%22%3A%22date%22%2C%22direction%22%3A%22ASC%3B"
          "DELETE%20FROM%20audit%22%7D%5D",
          "start=0&limit=5&filter=%5B%7B%22property%22%3A%22userId%3E0%20OR%201%22%2C%22value%22"
          "%3A%22x%22%7D%5D"}) {
        r = Get(lim, std::string("/api/auditlog?") + q);
        EXPECT_EQ(r.status, 500) << q << " " << r.body;
        EXPECT_EQ(r.body.rfind("error:", 0), 0u) << q;
    }
    // A quote in a value is a value, not a statement.
    r = Get(lim,
            "/api/auditlog?start=0&limit=5&filter=%5B%7B%22property%22%3A%22username%22%2C"
            "%22value%22%3A%22x%5C%22%20OR%20%5C%221%22%7D%5D");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"total\":0}"), std::string::npos) << r.body;
    EXPECT_EQ(Count("SELECT count(*) FROM audit"), before);

    // Only GET is the audit page; other verbs are static files for holders of the claim.
    EXPECT_EQ(Post(admin, "/api/auditlog", "{}").status, 404);
    Exec(R"(UPDATE roles SET j_claims='{"cUsers_View":true}' WHERE id=2)");
    EXPECT_EQ(Post(Session("lim", "pw"), "/api/auditlog", "{}").status, 403);
}

TEST_F(ApiTest, SystemLogShowsThisInstanceOnly) {
    setenv("HBR_STATE_DIR", hbr_.StateDir().c_str(), 1);
    const std::string saved = Config().name;
    Config().name = "other";
    ReportInstanceEvent("theirs", kEventSuccess);
    Config().name = "HBR";  // the instance's default name, in another letter case
    ReportInstanceEvent("mine \"quoted\"\nline", kEventError);
    Config().name = saved;
    unsetenv("HBR_STATE_DIR");

    const std::string admin = Session("administrator", "bravo");
    const HttpReply r = Get(admin, "/api/syslog");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("theirs"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find(R"("eventType":1,"message":"mine \"quoted\"\nline")"), std::string::npos)
        << r.body;
    EXPECT_EQ(Post(admin, "/api/syslog", "{}").status, 404);
}

TEST_F(ApiTest, ConcurrentLoginsLogoutsAndRoleEdits) {
    const std::string lim = LimitedEditor();
    const std::string admin = Session("administrator", "bravo");
    constexpr int kThreads = 8, kRounds = 15;
    std::atomic<int> failures{0};
    std::atomic<bool> editing{true};
    std::thread editor([&] {
        for (int i = 0; editing; ++i) {
            const std::string body = R"({"id":3,"name":"big","comment":"c)" + std::to_string(i) +
                                     R"(","claims":{"cLog_System":true}})";
            if (Post(admin, "/api/role/3", body).status != 201) ++failures;
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const bool asAdmin = (t + i) % 2 == 0;
                // One checked password per account and interval (1 ms in tests): two logins
                // of one account in the same millisecond meet the throttle; the browser's user
                // would simply log in again.
                HttpReply in;
                for (int attempt = 0; attempt < 5 && in.Header("Location") != "/"; ++attempt) {
                    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    in = asAdmin ? Login("administrator", "bravo") : Login("lim", "pw");
                }
                const std::string cookie = CookieOf(in);
                if (in.Header("Location") != "/" || cookie.empty()) {
                    ++failures;
                    continue;
                }
                if (Get(cookie, "/api/user/0").status != 200) ++failures;
                if (Get(cookie, "/api/users").status != 200) ++failures;
                if (Get(cookie, "/logout").Header("Location") != "/") ++failures;
                if (Get(cookie, "/api/user/0").status != 403) ++failures;
            }
        });
    }
    for (auto& w : workers) w.join();
    editing = false;
    editor.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=101"), kThreads * kRounds);
    EXPECT_EQ(Get(lim, "/api/users").status, 200);
    EXPECT_EQ(Get(admin, "/api/users").status, 200);
}

}  // namespace
}  // namespace hbr
