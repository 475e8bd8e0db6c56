// The router and session table driven without sockets: requests over a recording connection,
// a fake source of integrated authentication, and a clock the tests move by hand.
#include "web/router.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "cli/process_state.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/server_registry.h"
#include "store/database.h"
#include "store/password.h"
#include "support/temp_dir.h"
#include "web/api_routes.h"
#include "web/integrated_auth.h"
#include "web/session_table.h"

namespace hbr {
namespace {

class RecordingConnection : public HttpConnection {
  public:
    uint64_t Id() const override { return 1; }
    bool Write(std::string_view bytes) override {
        written += bytes;
        return true;
    }
    void CloseAfterReply() override {}
    std::string written;
};

struct Reply {
    std::string raw;
    int Status() const { return std::atoi(raw.c_str() + 9); }
    std::string Header(const std::string& name) const {
        const auto at = raw.find("\r\n" + name + ": ");
        if (at == std::string::npos) return {};
        const auto begin = at + name.size() + 4;
        return raw.substr(begin, raw.find("\r\n", begin) - begin);
    }
    std::string Body() const { return raw.substr(raw.find("\r\n\r\n") + 4); }
};

Reply Send(HttpVerb verb, const std::string& path, const std::string& cookie = {},
           const std::string& body = {}) {
    auto conn = std::make_shared<RecordingConnection>();
    {
        HttpRequestData d;
        d.verb = verb;
        d.target = path;
        d.path = path;
        d.body = body;
        d.clientAddress = "10.0.0.9";
        if (!cookie.empty()) d.headerList.emplace_back("Cookie", cookie);
        HttpRequest request(conn, std::move(d));
        Route(request);
    }
    return Reply{conn->written};
}

// The name=id part of a Set-Cookie value.
std::string CookieOf(const Reply& r) {
    const std::string c = r.Header("Set-Cookie");
    return c.substr(0, c.find(';'));
}

class FakeAuth : public IntegratedAuth {
  public:
    int Status(const HttpRequest&) override { return status; }
    bool UserInfo(const HttpRequest&, std::string& a, std::vector<std::string>& g) override {
        a = account;
        g = groups;
        return readable;
    }
    int status = 0;
    bool readable = true;
    std::string account;
    std::vector<std::string> groups;
};

int64_t g_now = 1'000'000;
int64_t TestClock() {
    return g_now;
}

// The process-wide database, session table and configuration, set up for each test.
class RouterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("HBR_STATE_DIR", dir_.Path().c_str(), 1);
        InitializeProcess();
        Config().dbPath = dir_.Path() + "/hbr.db";
        Config().ntlmMode = false;
        Config().admin.clear();
        CloseDatabase();
        OpenOrCreate();
        ClearSessions();
        SetSessionClock(&TestClock);
    }
    void TearDown() override {
        SetIntegratedAuth(nullptr);
        SetSessionClock(nullptr);
        ClearSessions();
        CloseDatabase();
        Config().ntlmMode = false;
        unsetenv("HBR_STATE_DIR");
    }
    int64_t Count(const std::string& sql) { return Db().execAndGet(sql).getInt64(); }
    std::string Text(const std::string& sql) { return Db().execAndGet(sql).getString(); }
    std::shared_ptr<FakeAuth> UseIntegrated() {
        Config().ntlmMode = true;
        auto auth = std::make_shared<FakeAuth>();
        SetIntegratedAuth(auth);
        return auth;
    }
    Session Admin() {
        Session s;
        s.userId = 1;
        s.userName = "administrator";
        s.lastActivity = g_now;
        return s;
    }

    TempDir dir_;
};

TEST(RouterPaths, TrailingSlashesGoAndNumberRoutesReadLikeAtoi) {
    EXPECT_EQ(NormalisePath("/"), "");
    EXPECT_EQ(NormalisePath("/api/users///"), "/api/users");
    EXPECT_EQ(NormalisePath(""), "");

    EXPECT_EQ(MatchNumberRoute("/api/user/0", "/api/user/"), 0);
    EXPECT_EQ(MatchNumberRoute("/api/user/12", "/api/user/"), 12);
    EXPECT_EQ(MatchNumberRoute("/api/user/-1", "/api/user/"), -1);
    EXPECT_EQ(MatchNumberRoute("/api/user/7x", "/api/user/"), 7);
    EXPECT_EQ(MatchNumberRoute("/api/user/x", "/api/user/"), 0);  // one character: matches
    EXPECT_EQ(MatchNumberRoute("/api/user/99999999999", "/api/user/"), 2147483647);
    EXPECT_EQ(MatchNumberRoute("/api/user/-99999999999", "/api/user/"), -2147483647 - 1);
    EXPECT_FALSE(MatchNumberRoute("/api/user/abc", "/api/user/"));
    EXPECT_FALSE(MatchNumberRoute("/api/user/00", "/api/user/"));
    EXPECT_FALSE(MatchNumberRoute("/api/user/", "/api/user/"));
    EXPECT_FALSE(MatchNumberRoute("/api/users", "/api/user/"));
}

TEST_F(RouterTest, SessionsAreCopiesRenewedByEveryLookup) {
    Session s = Admin();
    s.clientAddress = "1.2.3.4";
    const std::string id = CreateSession(s);
    EXPECT_EQ(id.size(), 32u);
    Session found;
    g_now += 5000;
    ASSERT_TRUE(FindSession(id, found));
    EXPECT_EQ(found.userName, "administrator");
    EXPECT_EQ(found.clientAddress, "1.2.3.4");
    EXPECT_EQ(found.lastActivity, g_now);
    EXPECT_FALSE(FindSession("", found));
    EXPECT_FALSE(FindSession(id.substr(0, 31), found));
    EXPECT_FALSE(FindSession(id + "0", found));
    RemoveSession(id);
    EXPECT_FALSE(FindSession(id, found));
    RemoveSession(id);  // twice is harmless
}

TEST_F(RouterTest, IdleSessionsEndAtTheLimitWithoutAnybodyLoggingIn) {
    const int64_t limit = SessionIdleLimitMs();
    Session s = Admin();
    const std::string idle = CreateSession(s);
    g_now += 30000;
    s.lastActivity = g_now;
    const std::string busy = CreateSession(s);
    g_now += limit;  // idle is now past the limit, busy exactly at it
    Session found;
    EXPECT_FALSE(FindSession(idle, found));  // no login in between
    EXPECT_EQ(SessionCount(), 1u);           // and the lookup removed it
    EXPECT_TRUE(FindSession(busy, found));   // exactly at the limit is not past it
    ClearSessions();

    // Sweeps at login still remove sessions nobody asks for any more.
    s.lastActivity = g_now;
    const std::string a = CreateSession(s);
    const std::string b = CreateSession(s);
    g_now += limit;
    ASSERT_TRUE(FindSession(b, found));  // renews b
    g_now += 1;
    s.lastActivity = g_now;
    const std::string c = CreateSession(s);
    EXPECT_EQ(SessionCount(), 2u);
    EXPECT_FALSE(FindSession(a, found));
    EXPECT_TRUE(FindSession(b, found));
    EXPECT_TRUE(FindSession(c, found));

    // A last activity "in the future" is an unsigned difference beyond the limit.
    Session future = Admin();
    future.lastActivity = g_now + 10;
    const std::string f = CreateSession(future);
    EXPECT_FALSE(FindSession(f, found));
}

TEST_F(RouterTest, RefreshReachesEverySessionOfTheUserAndLogsOutRemovedUsers) {
    Db().exec(R"(INSERT INTO roles (id,name,j_claims) VALUES (2,'ops','{"cVm_Start":true}'))");
    Db().exec("INSERT INTO users (id,roleId,name) VALUES (2,2,'ann'),(3,2,'bob')");
    Session ann;
    ann.userId = 2;
    ann.userName = "ann";
    ann.lastActivity = g_now;
    const std::string a1 = CreateSession(ann), a2 = CreateSession(ann);
    Session bob = ann;
    bob.userId = 3;
    bob.userName = "bob";
    const std::string b1 = CreateSession(bob);
    const std::string admin = CreateSession(Admin());

    RefreshSessions(Db(), 2);
    Session found;
    ASSERT_TRUE(FindSession(a1, found));
    EXPECT_EQ(found.claimSets.size(), 1u);
    ASSERT_TRUE(FindSession(a2, found));
    EXPECT_EQ(found.roleId, 2);
    ASSERT_TRUE(FindSession(b1, found));
    EXPECT_TRUE(found.claimSets.empty());  // not refreshed

    Db().exec("UPDATE users SET b_disabled=1 WHERE id=2");
    RefreshSessions(Db(), 0);
    EXPECT_FALSE(FindSession(a1, found));
    EXPECT_FALSE(FindSession(a2, found));
    ASSERT_TRUE(FindSession(b1, found));
    EXPECT_EQ(found.claimSets.size(), 1u);
    ASSERT_TRUE(FindSession(admin, found));
    EXPECT_TRUE(found.claimSets.empty());  // role edits leave the administrator alone
}

TEST_F(RouterTest, IntegratedLoginAsksTheSourceAndAuditsTheAccount) {
    auto auth = UseIntegrated();
    Db().exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES)"
              R"( (2,'CORP\Ops','{"cUsers_View":true}',NULL))");
    Db().exec("INSERT INTO users (id,roleId,name) VALUES (2,2,'CORP\\alice')");

    auth->status = 1;
    Reply r = Send(HttpVerb::Get, "/api/users");
    EXPECT_EQ(r.Status(), 401);
    EXPECT_EQ(r.Header("WWW-Authenticate"), "NTLM");
    EXPECT_EQ(Count("SELECT count(*) FROM audit"), 0);

    auth->status = 0;
    auth->readable = false;
    r = Send(HttpVerb::Get, "/api/users");
    EXPECT_EQ(r.Status(), 500);
    EXPECT_EQ(r.Body(), "GetUserInfoFromToken failed");

    auth->readable = true;
    auth->account = "CORP\\mallory";
    auth->groups = {"CORP\\Nobody"};
    r = Send(HttpVerb::Get, "/api/users");
    EXPECT_EQ(r.Status(), 401);
    EXPECT_EQ(r.Body(), "Unauthorized");
    EXPECT_EQ(Text("SELECT username||'/'||claim||'/'||result||'/'||userip FROM audit"),
              "CORP\\mallory/100/1/10.0.0.9");
    EXPECT_EQ(SessionCount(), 0u);

    // A registered account: the request itself goes on to its route, with the cookie.
    auth->account = "corp\\ALICE";
    r = Send(HttpVerb::Get, "/api/user/0");
    ASSERT_EQ(r.Status(), 200) << r.raw;
    EXPECT_NE(r.Body().find("\"name\":\"CORP\\\\alice\""), std::string::npos) << r.Body();
    EXPECT_NE(r.Body().find("\"ntlm\":true"), std::string::npos);
    const std::string cookie = CookieOf(r);
    EXPECT_EQ(cookie.rfind(SessionCookieName() + "=", 0), 0u);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=100 AND result=0 AND userId=2"), 1);

    // With its cookie the session is not asked again, even when the source says no.
    auth->status = 1;
    r = Send(HttpVerb::Get, "/api/users", cookie);
    EXPECT_EQ(r.Status(), 200);
    // Logging out needs the authentication too.
    r = Send(HttpVerb::Get, "/logout", cookie);
    EXPECT_EQ(r.Status(), 401);
    EXPECT_EQ(SessionCount(), 1u);
    auth->status = 0;
    r = Send(HttpVerb::Get, "/logout", cookie);
    EXPECT_EQ(r.Status(), 401);
    EXPECT_EQ(r.Body(), "Unauthorized");
    EXPECT_EQ(SessionCount(), 0u);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=101 AND userId=2"), 1);
}

TEST_F(RouterTest, IntegratedGroupsAndTheAdministratorAccount) {
    auto auth = UseIntegrated();
    Db().exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES)"
              R"( (2,'corp\ops','{"cRoles_View":true}','["A"]'))");
    auth->account = "CORP\\carol";
    auth->groups = {"CORP\\Users", "CORP\\Ops"};
    Reply r = Send(HttpVerb::Get, "/api/roles");
    EXPECT_EQ(r.Status(), 200) << r.raw;
    Session s;
    ASSERT_TRUE(FindSession(CookieOf(r).substr(SessionCookieName().size() + 1), s));
    EXPECT_EQ(s.userId, 0);
    EXPECT_EQ(s.userName, "CORP\\carol");
    EXPECT_EQ(s.assignedVms, R"(["A"])");
    ASSERT_EQ(s.windowsGroups.size(), 2u);
    EXPECT_EQ(s.windowsGroups[1], "CORP\\Ops");
    EXPECT_EQ(Send(HttpVerb::Get, "/api/users", CookieOf(r)).Status(), 403);

    // The -admin account in any letter case is the built-in administrator; an empty account
    // never is, even while no -admin account is set.
    Config().admin = "HOST\\Boss";
    auth->account = "host\\BOSS";
    auth->groups.clear();
    r = Send(HttpVerb::Get, "/api/users");
    EXPECT_EQ(r.Status(), 200) << r.raw;
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=100 AND userId=1"), 1);
    Config().admin.clear();
    auth->account.clear();
    EXPECT_EQ(Send(HttpVerb::Get, "/api/users").Status(), 500);
}

TEST_F(RouterTest, PublicPathsInBothSchemes) {
    // No web root files here: public paths reach the static files (404), the rest does not.
    Config().webRoot = dir_.Path();
    EXPECT_EQ(Send(HttpVerb::Get, "/bs/x.css").Status(), 404);
    EXPECT_EQ(Send(HttpVerb::Get, "/login.html").Status(), 404);
    EXPECT_EQ(Send(HttpVerb::Get, "/index.html").Header("Location"), "/login.html");
    EXPECT_EQ(Send(HttpVerb::Get, "/").Header("Location"), "/login.html");
    EXPECT_EQ(Send(HttpVerb::Get, "/x/api/y").Status(), 403);
    UseIntegrated()->status = 1;
    EXPECT_EQ(Send(HttpVerb::Get, "/bs/x.css").Status(), 404);
    EXPECT_EQ(Send(HttpVerb::Get, "/login.html").Status(), 401);
}

// The VM views answer a failing host with the fixed server-error text, never the host's own
// words (error codes and the host's path texts stay in the log).
TEST_F(RouterTest, ViewsOfAFailingHostAnswerTheFixedServerError) {
    auto& reg = ServerRegistry::Instance();
    reg.ClearAll();
    SimHost::Remove("route-views");
    reg.AddServer(9, "sim://route-views?vms=3", "", "");
    SimHost sim = SimHost::Get("route-views");
    const std::string vm = sim.ListVms().front().id;
    std::string out;
    for (int i = 0; i < 400 && reg.GetVmGeneral(vm, out) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(reg.GetVmGeneral(vm, out), 0) << "the host's VM list never arrived";
    Session admin = Admin();
    admin.claimSets = {AdministratorClaimObject()};
    const std::string sid = CreateSession(admin);
    const std::string cookie = SessionCookie(sid).substr(0, SessionCookie(sid).find(';'));
    EXPECT_EQ(Send(HttpVerb::Get, "/api/vm/general/" + vm, cookie).Status(), 200);

    sim.FailCalls("", "", kWbemEFailed);
    for (const char* view :
         {"/api/vm/general/", "/api/vm/networking/", "/api/vm/replication/",
          "/api/vm/checkpoints/"}) {
        const Reply r = Send(HttpVerb::Get, view + vm, cookie);
        EXPECT_EQ(r.Status(), 500) << view;
        EXPECT_EQ(r.Body(), "Server error: hbr exception") << view;
    }
    sim.ClearHooks();
    reg.ClearAll();
    SimHost::Remove("route-views");
}

}  // namespace
}  // namespace hbr
