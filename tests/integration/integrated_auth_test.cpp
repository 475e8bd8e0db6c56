// Windows integrated authentication against real clients: curl's NTLM over a real hbr run-exe
// whose accounts come from gss-ntlmssp's user file, and hostile tokens over a raw connection.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "store/database.h"
#include "store/password.h"
#include "support/hbr_command.h"
#include "support/hbr_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace hbr {
namespace {

// The library's own leaks, and a full stack for every allocation so that the suppressions
// match only them (gss-ntlmssp has no frame pointers).
std::string AsanOptions() {
    const char* base = std::getenv("ASAN_OPTIONS");
    return std::string(base ? base : "") + ":fast_unwind_on_malloc=0";
}

class IntegratedAuthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(folder_.Path() + "/ntlm-users")
            << "CORP:ops:Secret1\nCORP:alice:Secret2\nCORP:bob:Secret3\nCORP:carol:Secret4\n";
        // A stored Windows user with a role of its own, and a role named like a group.
        auto db = OpenOrCreateAt(folder_.Path() + "/hbr.db");
        db->exec(
            "INSERT INTO roles (name, j_claims) VALUES ('viewers', '{\"cDBoard_View\":true}');"
            "INSERT INTO roles (name, j_claims) VALUES ('corp\\auditors', "
            "'{\"cLog_Audit\":true}');"
            "INSERT INTO users (name, roleId) VALUES ('CORP\\alice', "
            "(SELECT id FROM roles WHERE name = 'viewers'));"
            "INSERT INTO users (name, roleId) VALUES ('CONTOSO\\dave', "
            "(SELECT id FROM roles WHERE name = 'viewers'));");
        db.reset();
        // carol exists only as a local account, in the group "auditors".
        std::ofstream(folder_.Path() + "/passwd")
            << "carol:x:4001:4001:Carol:/nonexistent:/bin/false\n";
        std::ofstream(folder_.Path() + "/group") << "carol:x:4001:\nauditors:x:4002:carol\n";
    }

    std::map<std::string, std::string> Env() const {
        return {{"NTLM_USER_FILE", folder_.Path() + "/ntlm-users"},
                {"NETBIOS_DOMAIN_NAME", "CORP"},
                {"NETBIOS_COMPUTER_NAME", "HBRTEST"},
                {"ASAN_OPTIONS", AsanOptions() + ":verify_asan_link_order=0"},
                {"LSAN_OPTIONS",
                 std::string("suppressions=") + HBR_SOURCE_DIR + "/tests/support/gss.supp"},
                {"LD_PRELOAD", "libnss_wrapper.so"},
                {"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
                {"NSS_WRAPPER_PASSWD", folder_.Path() + "/passwd"},
                {"NSS_WRAPPER_GROUP", folder_.Path() + "/group"}};
    }

    void Start(const std::string& scheme = "NTLM",
               const std::map<std::string, std::string>& extraEnv = {}) {
        HbrProcess::Options o;
        port_ = FreeLoopbackPort();
        // Kerberos clients ask for the service HTTP/localhost.
        o.args = RunArgs("http://localhost:" + std::to_string(port_) + "/", scheme, "corp\\OPS");
        o.env = Env();
        for (const auto& [k, v] : extraEnv) o.env[k] = v;
        hbr_ = std::make_unique<HbrProcess>(o);
        ASSERT_TRUE(hbr_->Ready()) << hbr_->Output();
    }

    // An instance at `url` whose logins use `scheme`, with `admin` as its administrator.
    std::vector<std::string> RunArgs(const std::string& url, const std::string& scheme,
                                     const std::string& admin) const {
        return {"run-exe", "-url", url,      "-dbpath", folder_.Path() + "/hbr.db",
                "-auth",   scheme, "-admin", admin};
    }

    std::string Url(const std::string& path) const {
        return "http://localhost:" + std::to_string(port_) + path;
    }

    // curl with its own NTLM implementation; -i keeps the headers of the last reply.
    CommandResult Curl(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env = {}) const {
        std::vector<std::string> all = {"-s", "-i", "--max-time", "20"};
        all.insert(all.end(), args.begin(), args.end());
        return RunCommand("/usr/bin/curl", all, env);
    }

    int AuditRows(const std::string& user, int result) const {
        auto db = OpenOrCreateAt(folder_.Path() + "/hbr.db");
        SQLite::Statement q(*db,
                            "SELECT count(*) FROM audit WHERE username = ? AND claim = 100 AND "
                            "result = ?");
        q.bind(1, user);
        q.bind(2, result);
        q.executeStep();
        return q.getColumn(0).getInt();
    }

    TempDir folder_;
    uint16_t port_ = 0;
    std::unique_ptr<HbrProcess> hbr_;
};

TEST_F(IntegratedAuthTest, TheAdministratorAccountInAnyCaseSignsInAsAdministrator) {
    Start();
    auto r = Curl({"--ntlm", "-u", "CORP\\ops:Secret1", Url("/api/user/0")});
    EXPECT_NE(r.out.find("HTTP/1.1 200"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"name\":\"administrator\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"ntlm\":true"), std::string::npos);
    EXPECT_NE(r.out.find("Set-Cookie: hbr"), std::string::npos);
    EXPECT_EQ(AuditRows("administrator", 0), 1);
}

TEST_F(IntegratedAuthTest, AStoredWindowsUserGetsItsRoleAndKeepsItsCookie) {
    Start();
    auto r = Curl({"--ntlm", "-u", "CORP\\alice:Secret2", Url("/api/user/0")});
    ASSERT_NE(r.out.find("HTTP/1.1 200"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"name\":\"CORP\\\\alice\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"cDBoard_View\":true"), std::string::npos);
    EXPECT_NE(r.out.find("\"cUsers_View\":false"), std::string::npos);
    // The session cookie is not asked to authenticate again.
    const auto at = r.out.find("Set-Cookie: ");
    ASSERT_NE(at, std::string::npos);
    const std::string cookie = r.out.substr(at + 12, r.out.find(';', at) - at - 12);
    HttpClient c(port_);
    auto again = c.Get("/api/user/0", CookieHeader(cookie));
    EXPECT_EQ(again.status, 200);
    EXPECT_NE(again.body.find("CORP\\\\alice"), std::string::npos);
}

TEST_F(IntegratedAuthTest, AnAccountWithoutUserSignsInThroughItsLocalGroupsRoles) {
    Start();
    auto r = Curl({"--ntlm", "-u", "CORP\\carol:Secret4", Url("/api/user/0")});
    ASSERT_NE(r.out.find("HTTP/1.1 200"), std::string::npos) << r.out << hbr_->Output();
    EXPECT_NE(r.out.find("\"cLog_Audit\":true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"cDBoard_View\":false"), std::string::npos);
}

TEST_F(IntegratedAuthTest, AnUnknownAccountIsRefusedAndAudited) {
    Start();
    auto r = Curl({"--ntlm", "-u", "CORP\\bob:Secret3", Url("/api/user/0")});
    EXPECT_NE(r.out.find("HTTP/1.1 401"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 12), "Unauthorized");
    EXPECT_EQ(AuditRows("CORP\\bob", 1), 1);
}

TEST_F(IntegratedAuthTest, AWrongPasswordIsAskedAgain) {
    Start();
    auto r = Curl({"--ntlm", "-u", "CORP\\ops:wrong", Url("/api/user/0")});
    EXPECT_NE(r.out.find("HTTP/1.1 401"), std::string::npos);
    EXPECT_NE(r.out.find("WWW-Authenticate: NTLM\r\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Set-Cookie"), std::string::npos);
}

// A NEGOTIATE message as curl sends it (32 bytes, no version field).
constexpr const char* kNegotiate = "TlRMTVNTUAABAAAABoIIAAAAAAAAAAAAAAAAAAAAAAA=";
// An AUTHENTICATE message from another connection's handshake.
constexpr const char* kAuthenticate =
    "TlRMTVNTUAADAAAAGAAYAEAAAABuAG4AWAAAAAQABADGAAAAAwADAMoAAAALAAsAzQAAAAAAAAAAAAAABoKJAlT96Xr"
    "OZHOW+2q5oYVul6/ah/BQQ7Fs3D6lT5s1E/MR3F424crqSBMBAQAAAAAAAICpfBcriN0B2ofwUEOxbNwAAAAAAQAOAE"
    "gAQgBSAFQARQBTAFQAAgAIAEMATwBSAFAAAwAEAHYAbQAGAAQAAAAAAAcACAB8HOAXK4jdAQAAAAAAAAAAQ09SUG9wc1"
    "dPUktTVEFUSU9O";

TEST_F(IntegratedAuthTest, HostileTokensGetTheChallengeAndTheServerGoesOn) {
    Start();
    const std::vector<std::string> tokens = {
        "NTLM !!!not base64!!!",
        "NTLM ",
        std::string("NTLM ") + kAuthenticate,  // no context on this connection
        "NTLM " + Base64Encode(std::string(5000, 'A')),
        "NTLM " + Base64Encode(std::string("NTLMSSP\0\1\0\0\0", 12)),  // a truncated NEGOTIATE
        "Negotiate " + Base64Encode("\x60\x82\xff\xff garbage"),       // not offered in NTLM mode
        "Basic b3BzOlNlY3JldDE=",
    };
    for (const auto& t : tokens) {
        HttpClient c(port_);
        auto r = c.Get("/api/user/0", "Authorization: " + t + "\r\n");
        EXPECT_EQ(r.status, 401) << t;
        EXPECT_EQ(r.Header("WWW-Authenticate"), "NTLM") << t;
    }
    // A header block over the server's limit is answered by the listener, like any other.
    HttpClient big(port_);
    auto r = big.Get("/api/user/0",
                     "Authorization: NTLM " + Base64Encode(std::string(70 * 1024, 'x')) + "\r\n");
    EXPECT_EQ(r.status, 507);
    // The next message of an abandoned handshake on its own connection starts nothing either.
    HttpClient c(port_);
    auto first = c.Get("/", std::string("Authorization: NTLM ") + kNegotiate + "\r\n");
    ASSERT_EQ(first.status, 401);
    EXPECT_EQ(first.Header("WWW-Authenticate").rfind("NTLM TlRMTVNTUAACAAAA", 0), 0u);
    auto second = c.Get("/", std::string("Authorization: NTLM ") + kAuthenticate + "\r\n");
    EXPECT_EQ(second.status, 401);
    EXPECT_EQ(second.Header("WWW-Authenticate"), "NTLM");
    // Still serving real clients.
    auto ok = Curl({"--ntlm", "-u", "CORP\\ops:Secret1", Url("/api/user/0")});
    EXPECT_NE(ok.out.find("HTTP/1.1 200"), std::string::npos);
}

TEST_F(IntegratedAuthTest, AbandonedHandshakesLeaveNoContextBehind) {
    Start();
    for (int i = 0; i < 500; ++i) {
        HttpClient c(port_);
        auto r = c.Get("/", std::string("Authorization: NTLM ") + kNegotiate + "\r\n");
        ASSERT_EQ(r.status, 401);
    }
    for (int i = 0; i < 20; ++i) {
        auto ok = Curl({"--ntlm", "-u", "CORP\\ops:Secret1", Url("/api/user/0")});
        ASSERT_NE(ok.out.find("HTTP/1.1 200"), std::string::npos);
    }
    // LeakSanitizer runs at exit: anything left behind fails the process.
    EXPECT_EQ(hbr_->Stop(), 0) << hbr_->Output();
    EXPECT_EQ(hbr_->Output().find("LeakSanitizer"), std::string::npos) << hbr_->Output();
}

TEST_F(IntegratedAuthTest, ATakenPortIsReportedAsSuchBeforeAuthentication) {
    Start();
    HbrProcess::Options o;
    o.args = {"run-exe",
              "-url",
              "http://127.0.0.1:" + std::to_string(port_) + "/",
              "-dbpath",
              folder_.Path() + "/second.db",
              "-auth",
              "NTLM",
              "-admin",
              "CORP\\ops"};
    o.env = {{"GSS_MECH_CONFIG", folder_.Path() + "/no-mechanisms"}};
    o.waitForReady = false;
    HbrProcess second(o);
    second.Wait();
    EXPECT_NE(second.Output().find("conflicts with an existing registration"), std::string::npos)
        << second.Output();
    EXPECT_EQ(second.Output().find("Integrated authentication"), std::string::npos);
}

TEST_F(IntegratedAuthTest, AMissingMechanismFailsTheStartWithOneLine) {
    std::ofstream(folder_.Path() + "/no-mechanisms") << "# no mechanisms\n";
    HbrProcess::Options o;
    o.args = RunArgs("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/", "NTLM",
                     "CORP\\ops");
    o.env = {{"GSS_MECH_CONFIG", folder_.Path() + "/no-mechanisms"}};
    o.waitForReady = false;
    HbrProcess p(o);
    EXPECT_NE(p.Wait(), 0);
    EXPECT_NE(p.Output().find("Start the web server failed.\nIntegrated authentication: the NTLM "
                              "mechanism (gss-ntlmssp) is not usable"),
              std::string::npos)
        << p.Output();
}

// A Kerberos realm of its own on loopback, with a ticket for dave and the service's keytab.
class NegotiateTest : public IntegratedAuthTest {
  protected:
    void SetUp() override {
        IntegratedAuthTest::SetUp();
        kdcPort_ = FreeLoopbackPort();
        auto r = RunCommand("/bin/bash",
                            {std::string(HBR_SOURCE_DIR) + "/tests/support/start-kdc.sh",
                             kdc_.Path(), std::to_string(kdcPort_)},
                            {});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    void TearDown() override {
        std::ifstream pid(kdc_.Path() + "/kdc.pid");
        int n = 0;
        if (pid >> n && n > 0) kill(n, SIGTERM);
    }
    std::map<std::string, std::string> Kerberos() const {
        return {{"KRB5_CONFIG", kdc_.Path() + "/krb5.conf"},
                {"KRB5CCNAME", "FILE:" + kdc_.Path() + "/ccache"},
                {"KRB5_KTNAME", kdc_.Path() + "/http.keytab"},
                {"HBR_KRB5_REALMS", "HBR.TEST=CONTOSO"}};
    }
    TempDir kdc_;
    uint16_t kdcPort_ = 0;
};

TEST_F(NegotiateTest, AKerberosTicketSignsInThroughTheRealmTable) {
    Start("Negotiate", Kerberos());
    auto r = Curl({"--negotiate", "-u", ":", Url("/api/user/0")}, Kerberos());
    ASSERT_NE(r.out.find("HTTP/1.1 200"), std::string::npos) << r.out << hbr_->Output();
    EXPECT_NE(r.out.find("\"name\":\"CONTOSO\\\\dave\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"cDBoard_View\":true"), std::string::npos);
    // The service proves itself back (mutual authentication).
    EXPECT_NE(r.out.find("WWW-Authenticate: Negotiate "), std::string::npos);
    EXPECT_EQ(AuditRows("CONTOSO\\dave", 0), 1);
}

TEST_F(NegotiateTest, ClientsWithoutKerberosUseTheNtlmOfferedBesideIt) {
    Start("Negotiate", Kerberos());
    HttpClient c(port_);
    auto challenge = c.Get("/api/user/0");
    EXPECT_EQ(challenge.status, 401);
    std::vector<std::string> offered;
    for (const auto& [name, value] : challenge.headers)
        if (name == "WWW-Authenticate") offered.push_back(value);
    EXPECT_EQ(offered, (std::vector<std::string>{"Negotiate", "NTLM"}));
    auto r = Curl({"--ntlm", "-u", "CORP\\ops:Secret1", Url("/api/user/0")},
                  {{"KRB5_CONFIG", kdc_.Path() + "/krb5.conf"},
                   {"KRB5CCNAME", "FILE:" + kdc_.Path() + "/none"}});
    EXPECT_NE(r.out.find("HTTP/1.1 200"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"name\":\"administrator\""), std::string::npos);
}

TEST_F(NegotiateTest, AKeytabThatCannotBeReadFailsTheStart) {
    HbrProcess::Options o;
    o.args = RunArgs("http://localhost:" + std::to_string(FreeLoopbackPort()) + "/", "Negotiate",
                     "CORP\\ops");
    o.env = Env();
    o.env["KRB5_CONFIG"] = kdc_.Path() + "/krb5.conf";
    o.env["KRB5_KTNAME"] = kdc_.Path() + "/missing.keytab";
    o.waitForReady = false;
    HbrProcess p(o);
    EXPECT_NE(p.Wait(), 0);
    EXPECT_NE(p.Output().find("Integrated authentication: the keytab " + kdc_.Path() +
                              "/missing.keytab (KRB5_KTNAME) cannot be read"),
              std::string::npos)
        << p.Output();
}

}  // namespace
}  // namespace hbr
