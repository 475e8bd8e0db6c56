// Logins, sessions, stored secrets and the audit trail of the real hbr run-exe, tried the way
// an attacker would: guessing, enumerating names, replaying cookies, breaking the audit trail,
// reading the database file.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "store/json.h"
#include "support/hbr_api.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

// One instance per test; the limits of the login throttle and the idle limit come from its
// environment, the only place they are set.
class SecurityTest : public ::testing::Test {
  protected:
    void Start(const std::string& limits = "", HbrProcess::Options o = {}) {
        if (!limits.empty()) o.env["HBR_LOGIN_LIMITS"] = limits;
        hbr_ = std::make_unique<HbrProcess>(std::move(o));
        ASSERT_TRUE(hbr_->Ready()) << hbr_->Output();
    }
    // A login posted from `source` (a loopback address standing for one client).
    HttpReply Login(const std::string& usr, const std::string& pwd,
                    const std::string& source = "127.0.0.1") {
        HttpClient c(hbr_->Port(), "127.0.0.1", source);
        EXPECT_TRUE(c.Connected()) << source;
        return c.Post("/login", "usr=" + usr + "&pwd=" + pwd,
                      "Content-Type: application/x-www-form-urlencoded\r\n");
    }
    static bool LoggedIn(const HttpReply& r) {
        return r.status == 302 && r.Header("Location") == "/" && !CookieOf(r).empty();
    }
    static bool RefusedAsFailedLogin(const HttpReply& r) {
        return r.status == 302 && r.Header("Location") == "/login.html" &&
               !r.HasHeader("Set-Cookie") && r.body.empty();
    }
    HttpReply Get(const std::string& path, const std::string& cookie) {
        return HbrApi(*hbr_).Get(cookie, path);
    }
    HttpReply Post(const std::string& path, const std::string& body, const std::string& cookie) {
        return HbrApi(*hbr_).Post(cookie, path, body);
    }
    int64_t Count(const std::string& sql) { return HbrApi(*hbr_).Count(sql); }
    std::string Text(const std::string& sql) { return HbrApi(*hbr_).Text(sql); }
    void Exec(const std::string& sql) { HbrApi(*hbr_).Exec(sql); }
    int64_t FailedLoginRows() {
        return Count("SELECT count(*) FROM audit WHERE claim=100 AND result=1");
    }

    std::unique_ptr<HbrProcess> hbr_;
};

// Item: guessing one account's password from one address.
TEST_F(SecurityTest, RepeatedFailuresThrottleThePairNotTheAccountFromElsewhere) {
    // Checked attempts of one account may follow each other at once here; the rest is default.
    Start("account_interval_ms=1");
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(RefusedAsFailedLogin(Login("administrator", "guess")));
    EXPECT_EQ(FailedLoginRows(), 6);  // five failures and the one row that starts throttling
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE description LIKE 'throttled%' AND "
                    "username='administrator' AND userip='127.0.0.1'"),
              1);
    // From the guessing address even the right password is answered like a failed login, and
    // refused attempts write nothing.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(RefusedAsFailedLogin(Login("administrator", "bravo")));
    EXPECT_EQ(FailedLoginRows(), 6);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=100 AND result=0"), 0);
    // The same name from another address, and another name from the same address, still work.
    EXPECT_TRUE(LoggedIn(Login("administrator", "bravo", "127.0.0.2")));
    EXPECT_TRUE(RefusedAsFailedLogin(Login("nobody", "x")));
    EXPECT_EQ(FailedLoginRows(), 7);
}

TEST_F(SecurityTest, AnAddressFailingForManyNamesIsThrottledForEveryName) {
    Start("account_interval_ms=1");
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(
            RefusedAsFailedLogin(Login("spray" + std::to_string(i), "Winter2026", "127.0.0.3")));
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE description LIKE 'throttled%'"), 1);
    EXPECT_TRUE(RefusedAsFailedLogin(Login("administrator", "bravo", "127.0.0.3")));
    EXPECT_EQ(FailedLoginRows(), 21);
    EXPECT_TRUE(LoggedIn(Login("administrator", "bravo", "127.0.0.4")));
}

TEST_F(SecurityTest, AnAccountTakesOneCheckedPasswordPerIntervalFromAllAddresses) {
    // Ten minutes between checked attempts: the second one below always falls inside.
    Start("account_interval_ms=600000");
    EXPECT_TRUE(RefusedAsFailedLogin(Login("administrator", "guess", "127.0.0.5")));
    EXPECT_EQ(FailedLoginRows(), 1);
    // The right password from another address inside the interval is not even checked.
    EXPECT_TRUE(RefusedAsFailedLogin(Login("Administrator", "bravo", "127.0.0.6")));
    EXPECT_EQ(FailedLoginRows(), 1);
    // Another account is not held up.
    EXPECT_TRUE(RefusedAsFailedLogin(Login("someone", "x", "127.0.0.6")));
    EXPECT_EQ(FailedLoginRows(), 2);
}

// Item: telling known from unknown names by the reply or by its time.
TEST_F(SecurityTest, UnknownNamesAreAnsweredAndAuditedLikeWrongPasswords) {
    Start();
    const HttpReply known = Login("administrator", "wrong");
    const HttpReply unknown = Login("ghost", "wrong", "127.0.0.7");
    ASSERT_TRUE(RefusedAsFailedLogin(known));
    EXPECT_EQ(unknown.status, known.status);
    EXPECT_EQ(unknown.Header("Location"), known.Header("Location"));
    EXPECT_EQ(unknown.body, known.body);
    EXPECT_EQ(unknown.headers.size(), known.headers.size());
    // The unknown name went the same way as a wrong password (a digest checked, a row written).
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=100 AND result=1 AND userId=0 AND "
                    "username='ghost' AND userip='127.0.0.7'"),
              1);
    // A disabled user is an unknown name.
    Exec("INSERT INTO users (id,roleId,name,pwd,b_disabled) VALUES (5,1,'gone',NULL,1)");
    EXPECT_TRUE(RefusedAsFailedLogin(Login("gone", "x", "127.0.0.8")));
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE username='gone' AND result=1"), 1);
}

// Item: a session nobody uses any more.
TEST_F(SecurityTest, AnIdleSessionEndsAtItsNextRequestWithoutAnyLogin) {
    Start("idle_ms=10000");
    const std::string cookie = CookieOf(Login("administrator", "bravo"));
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(Get("/api/user/0", cookie).status, 200);
    std::this_thread::sleep_for(11000ms);  // past the limit, whatever the machine's speed
    EXPECT_EQ(Get("/api/user/0", cookie).status, 403);
    EXPECT_EQ(Get("/index.html", cookie).Header("Location"), "/login.html");
}

// Item: a cookie of another name ending in the session cookie's name.
TEST_F(SecurityTest, TheSessionCookieIsFoundByItsExactName) {
    Start();
    const std::string cookie = CookieOf(Login("administrator", "bravo"));
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(Get("/api/user/0", cookie).status, 200);
    EXPECT_EQ(Get("/api/user/0", "x" + cookie).status, 403);
    EXPECT_EQ(Get("/api/user/0", "other=1; " + cookie + "; last=2").status, 200);
}

// Item: what a browser posts for a password with spaces.
TEST_F(SecurityTest, FormFieldsDecodePlusAsSpace) {
    Start();
    const std::string admin = CookieOf(Login("administrator", "bravo"));
    ASSERT_EQ(Post("/api/user/0",
                   R"({"id":0,"name":"Mary Ann","pwd":"correct horse+1","roleId":1})", admin)
                  .status,
              201);
    EXPECT_TRUE(LoggedIn(Login("Mary+Ann", "correct+horse%2B1")));
    EXPECT_TRUE(RefusedAsFailedLogin(Login("Mary+Ann", "correct%2Bhorse%2B1", "127.0.0.9")));
}

// Item: digests that a copied database gives away at billions of guesses a second.
TEST_F(SecurityTest, PasswordsAreStoredSaltedAndOldDigestsAreReplacedAtLogin) {
    Start();
    // A new database's administrator row has the fixed-key form, as does resetpwd-instance.
    const std::string before = Text("SELECT pwd FROM users WHERE id=1");
    EXPECT_EQ(before.size(), 28u);
    const std::string admin = CookieOf(Login("administrator", "bravo"));
    ASSERT_FALSE(admin.empty());
    const std::string after = Text("SELECT pwd FROM users WHERE id=1");
    EXPECT_EQ(after.rfind("$pbkdf2-sha256$", 0), 0u) << after;
    EXPECT_EQ(after.find("bravo"), std::string::npos);
    EXPECT_TRUE(LoggedIn(Login("administrator", "bravo")));
    EXPECT_EQ(Text("SELECT pwd FROM users WHERE id=1"), after);  // upgraded once
    // Still the default password: the login page keeps its hint.
    HttpClient c(hbr_->Port());
    EXPECT_NE(c.Get("/login.html").body.find("Default user: administrator"), std::string::npos);

    // New passwords: salted, so equal passwords give different rows.
    for (const char* name : {"u1", "u2"})
        ASSERT_EQ(
            Post("/api/user/0",
                 std::string(R"({"id":0,"name":")") + name + R"(","pwd":"same","roleId":1})", admin)
                .status,
            201);
    const std::string u1 = Text("SELECT pwd FROM users WHERE name='u1'");
    EXPECT_EQ(u1.rfind("$pbkdf2-sha256$100000$", 0), 0u) << u1;
    EXPECT_NE(u1, Text("SELECT pwd FROM users WHERE name='u2'"));
    EXPECT_TRUE(LoggedIn(Login("u1", "same")));
    // A password change stores the salted form too.
    const std::string u2 = CookieOf(Login("u2", "same"));
    EXPECT_EQ(Post("/api/changepassword/0", R"({"pwd0":"same","pwd1":"other"})", u2).status, 201);
    EXPECT_EQ(Text("SELECT pwd FROM users WHERE name='u2'").rfind("$pbkdf2-sha256$", 0), 0u);
    EXPECT_TRUE(LoggedIn(Login("u2", "other")));
}

// Item: a copy of the database file gives away the hosts' passwords.
TEST_F(SecurityTest, HostPasswordsAreSealedUnderTheInstanceKeyFile) {
    TempDir dir;
    HbrProcess::Options o;
    o.dbPath = dir.Path() + "/hbr.db";
    Start("", o);
    const std::string admin = CookieOf(Login("administrator", "bravo"));
    ASSERT_EQ(
        Post("/api/server/0",
             R"({"id":0,"name":"far","host":"sim://far","user":"ops","password":"s3cret-pw"})",
             admin)
            .status,
        201);
    const std::string stored = Text("SELECT password FROM servers WHERE name='far'");
    EXPECT_EQ(stored.rfind("$aes256gcm$", 0), 0u) << stored;
    EXPECT_EQ(stored.find("s3cret"), std::string::npos);
    struct stat key;
    ASSERT_EQ(stat((o.dbPath + ".key").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    EXPECT_EQ(key.st_uid, geteuid());
    const std::string list = Get("/api/servers", admin).body;
    EXPECT_EQ(list.find("s3cret"), std::string::npos);
    EXPECT_NE(list.find("\"passwordLost\":false"), std::string::npos) << list;
    hbr_->Stop();

    // An older database's plain password is sealed at the next start.
    {
        SQLite::Database db(o.dbPath, SQLite::OPEN_READWRITE);
        db.exec("INSERT INTO servers (name,host,password) VALUES ('old','sim://old','plain-pw')");
    }
    Start("", o);
    const std::string old = Text("SELECT password FROM servers WHERE name='old'");
    EXPECT_EQ(old.rfind("$aes256gcm$", 0), 0u) << old;
    hbr_->Stop();

    // A lost key: the rows cannot be read, and the servers list says so instead of failing.
    ASSERT_EQ(std::remove((o.dbPath + ".key").c_str()), 0);
    Start("", o);
    const std::string admin2 = CookieOf(Login("administrator", "bravo"));
    const HttpReply lost = Get("/api/servers", admin2);
    EXPECT_EQ(lost.status, 200);
    JsonDocument doc;
    ASSERT_TRUE(ParseJson(lost.body, doc)) << lost.body;
    int lostRows = 0;
    for (size_t i = 0; i < doc.Root().Size(); ++i)
        lostRows += doc.Root().At(i)["passwordLost"].IsTrue() ? 1 : 0;
    EXPECT_EQ(lostRows, 2);
    // Entering the password again seals it under the new key.
    const std::string id = std::to_string(Count("SELECT id FROM servers WHERE name='far'"));
    EXPECT_EQ(
        Post("/api/server/" + id, R"({"id":)" + id + R"(,"password":"again"})", admin2).status,
        201);
    EXPECT_NE(Get("/api/servers", admin2).body.find("\"passwordLost\":false"), std::string::npos);
}

// Item: a full disk or a broken audit table must not let actions through unrecorded.
TEST_F(SecurityTest, LoginsAndGuardedActionsAreRefusedWhenTheAuditTrailCannotBeWritten) {
    Start();
    const std::string admin = CookieOf(Login("administrator", "bravo"));
    ASSERT_EQ(
        Post("/api/server/0", R"({"id":0,"name":"sim","host":"sim://audit?vms=3&seed=4"})", admin)
            .status,
        201);
    std::string vm;
    for (int i = 0; i < 400 && vm.empty(); ++i) {
        JsonDocument doc;
        if (ParseJson(Get("/api/livedata", admin).body, doc) && doc.Root()["vms"].Size() > 0)
            vm = doc.Root()["vms"].At(0)["id"].AsText();
        else
            std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(vm.empty());
    const std::string checkpoints = Get("/api/vm/checkpoints/" + vm, admin).body;

    // Every insert into the audit table now fails, as on a full disk.
    Exec(
        "CREATE TRIGGER audit_broken BEFORE INSERT ON audit BEGIN "
        "SELECT RAISE(FAIL, 'database or disk is full'); END;");
    const int64_t auditRows = Count("SELECT count(*) FROM audit");
    const HttpReply login = Login("administrator", "bravo", "127.0.0.10");
    EXPECT_EQ(login.status, 500);
    EXPECT_EQ(login.body, "error: the audit trail cannot be written");
    EXPECT_FALSE(login.HasHeader("Set-Cookie"));

    const HttpReply power = Post("/api/vm/state", R"({"vmId":")" + vm + R"(","state":2})", admin);
    EXPECT_EQ(power.status, 500);
    EXPECT_EQ(power.body, "error: the audit trail cannot be written");
    const HttpReply cp = Post("/api/vm/createcp", R"({"vmId":")" + vm + R"("})", admin);
    EXPECT_EQ(cp.status, 500);
    EXPECT_EQ(Get("/api/vm/checkpoints/" + vm, admin).body, checkpoints);  // nothing happened
    // Unaudited reads go on; a logout still ends the session.
    EXPECT_EQ(Get("/api/user/0", admin).status, 200);
    EXPECT_EQ(Count("SELECT count(*) FROM audit"), auditRows);

    Exec("DROP TRIGGER audit_broken");
    EXPECT_EQ(Post("/api/vm/createcp", R"({"vmId":")" + vm + R"("})", admin).status, 201);
    EXPECT_NE(Get("/api/vm/checkpoints/" + vm, admin).body, checkpoints);
}

// Item: "-webroot" as the last argument.
TEST_F(SecurityTest, AnEmptyWebRootServesNothing) {
    HbrProcess::Options o;
    TempDir dir;
    const uint16_t port = FreeLoopbackPort();
    o.args = {"run-exe",
              "-url",
              "http://127.0.0.1:" + std::to_string(port) + "/",
              "-dbpath",
              dir.Path() + "/hbr.db",
              "-webroot"};
    hbr_ = std::make_unique<HbrProcess>(std::move(o));
    ASSERT_TRUE(hbr_->Ready()) << hbr_->Output();
    HttpClient c(port, "127.0.0.1");
    const HttpReply login = c.Post("/login", "usr=administrator&pwd=bravo",
                                   "Content-Type: application/x-www-form-urlencoded\r\n");
    const std::string cookie = CookieOf(login);
    ASSERT_FALSE(cookie.empty());
    for (const char* path : {"/etc/passwd", "/proc/self/environ", "/index.html"}) {
        HttpClient g(port, "127.0.0.1");
        const HttpReply r = g.Get(path, CookieHeader(cookie));
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_TRUE(r.body.empty()) << path;
    }
}

}  // namespace
}  // namespace hbr
