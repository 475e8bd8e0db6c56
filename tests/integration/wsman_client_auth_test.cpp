// How the remote provider signs in with a server's stored account, against the WS-Management
// test server: NTLM, Negotiate with a Kerberos ticket got for the stored password from a realm
// of this test's own, and Negotiate falling back to NTLM when no ticket can be had.
#include <gtest/gtest.h>
#include <signal.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstdlib>
#include <fstream>

#include "hyperv/providers/wsman/wsman_provider.h"
#include "support/hbr_command.h"
#include "support/hbr_process.h"
#include "support/temp_dir.h"
#include "support/wsman_test_server.h"

namespace hbr {
namespace {

class WsmanClientAuth : public ::testing::Test {
  protected:
    // One realm HBR.TEST for the suite, with dave's principal and the keytab of HTTP/localhost.
    // No ticket is in the default cache: a Kerberos sign-in can only come from the password.
    static void SetUpTestSuite() {
        kdc_ = new TempDir();
        const auto r = RunCommand("/bin/bash",
                                  {std::string(HBR_SOURCE_DIR) + "/tests/support/start-kdc.sh",
                                   kdc_->Path(), std::to_string(FreeLoopbackPort()), "dave",
                                   "Secret5"},
                                  {});
        kdcStarted_ = r.status == 0;
        kdcOutput_ = r.out + r.err;
        setenv("KRB5_CONFIG", (kdc_->Path() + "/krb5.conf").c_str(), 1);
        setenv("KRB5_KTNAME", (kdc_->Path() + "/http.keytab").c_str(), 1);
        setenv("KRB5CCNAME", ("FILE:" + kdc_->Path() + "/none").c_str(), 1);
    }
    static void TearDownTestSuite() {
        std::ifstream pid(kdc_->Path() + "/kdc.pid");
        int n = 0;
        if (pid >> n && n > 0) kill(n, SIGTERM);
        delete kdc_;
        kdc_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(kdcStarted_) << kdcOutput_; }

    static WsmanTestServerOptions Options(bool ntlm, bool kerberos) {
        WsmanTestServerOptions o;
        o.simHost = "sim://WSAUTHC?vms=2";
        o.basic = false;
        o.ntlm = ntlm;
        o.kerberos = kerberos;
        return o;
    }

    // Connects ROOT\CIMV2 as `user` and reads the operating system through it; the HRESULT.
    // The host is named "localhost", the name of the keytab's service principal.
    static HResult SignIn(const WsmanTestServer& server, const std::string& auth,
                          const std::string& user, const std::string& password) {
#if defined(__SANITIZE_ADDRESS__)
        // libcurl's Negotiate goes through SPNEGO, which has gss-ntlmssp make a credential and
        // fetch a digest that it never frees; the leak checker looks away for these sign-ins
        // only (the instance's own leak checks run with Basic).
        struct Quiet {
            bool on;
            explicit Quiet(bool negotiate) : on(negotiate) {
                if (on) __lsan_disable();
            }
            ~Quiet() {
                if (on) __lsan_enable();
            }
        } quiet(auth == "negotiate");
#endif
        const std::string text = "https://localhost:" + std::to_string(server.Port()) +
                                 "/wsman?auth=" + auth + "&tls=sha256:" + server.Fingerprint();
        WmiLocatorPtr locator = CreateWsmanLocator(text);
        WmiServicesPtr services;
        HResult hr = locator->ConnectServer("\\\\localhost\\ROOT\\CIMV2", user, password, services);
        if (Failed(hr)) return hr;
        WmiEnumeratorPtr e;
        hr = services->ExecQuery("SELECT * FROM Win32_OperatingSystem", e);
        if (Failed(hr)) return hr;
        WmiObjectPtr os;
        hr = e->Next(std::chrono::milliseconds(10000), os);
        return Failed(hr) ? hr : (os ? kSOk : kEFail);
    }

    static TempDir* kdc_;
    static bool kdcStarted_;
    static std::string kdcOutput_;
};

TempDir* WsmanClientAuth::kdc_ = nullptr;
bool WsmanClientAuth::kdcStarted_ = false;
std::string WsmanClientAuth::kdcOutput_;

TEST_F(WsmanClientAuth, NtlmSignsInWithTheDomainAccount) {
    WsmanTestServer server(Options(true, false));
    EXPECT_EQ(SignIn(server, "ntlm", "WSTEST\\wsadmin", "Secret#1"), kSOk);
    EXPECT_GE(server.NtlmLogins(), 1u);
    EXPECT_EQ(server.KerberosLogins(), 0u);
    EXPECT_EQ(SignIn(server, "ntlm", "WSTEST\\wsadmin", "Secret#2"), kEAccessDenied);
    EXPECT_EQ(SignIn(server, "ntlm", "WSTEST\\nobody", "Secret#1"), kEAccessDenied);
}

TEST_F(WsmanClientAuth, NegotiateGetsAKerberosTicketForTheStoredPassword) {
    WsmanTestServer server(Options(false, true));
    EXPECT_EQ(SignIn(server, "negotiate", "HBR.TEST\\dave", "Secret5"), kSOk);
    EXPECT_GE(server.KerberosLogins(), 1u);
    EXPECT_EQ(server.LastKerberosPrincipal(), "dave@HBR.TEST");
    // The principal form of the name is the same account.
    const auto before = server.KerberosLogins();
    EXPECT_EQ(SignIn(server, "negotiate", "dave@hbr.test", "Secret5"), kSOk);
    EXPECT_GT(server.KerberosLogins(), before);
    // A wrong password gets no ticket; the NTLM it falls back to is not offered here.
    const auto logins = server.KerberosLogins();
    EXPECT_EQ(SignIn(server, "negotiate", "HBR.TEST\\dave", "wrong"), kEAccessDenied);
    EXPECT_EQ(server.KerberosLogins(), logins);
}

TEST_F(WsmanClientAuth, NegotiateFallsBackToNtlmWithoutATicket) {
    WsmanTestServer server(Options(true, true));
    // WSTEST is no realm the KDC knows: no ticket, so NTLM.
    EXPECT_EQ(SignIn(server, "negotiate", "WSTEST\\wsadmin", "Secret#1"), kSOk);
    EXPECT_EQ(server.KerberosLogins(), 0u);
    EXPECT_GE(server.NtlmLogins(), 1u);
    // With a ticket the same server is signed in to with Kerberos.
    EXPECT_EQ(SignIn(server, "negotiate", "HBR.TEST\\dave", "Secret5"), kSOk);
    EXPECT_GE(server.KerberosLogins(), 1u);
}

}  // namespace
}  // namespace hbr
