// An https instance end to end: the made certificate and a given one (checked by curl against
// its CA), renewal without a restart, bad files failing the start, plain HTTP on the TLS port,
// the console socket over TLS; then the browser protections and the limits that keep one
// client from starving the others, each limit lowered through HBR_LIMITS.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "support/hbr_api.h"
#include "support/hbr_command.h"
#include "support/rdp_fixture.h"
#include "store/json.h"
#include "web/content_coding.h"

namespace hbr {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs a shell command; its standard output, and its exit status in `status`.
std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Url(uint16_t port, const std::string& path, const std::string& host = "127.0.0.1") {
    return "https://" + host + ":" + std::to_string(port) + path;
}

// The SHA-256 fingerprint of the certificate the server presents, as "AB:CD:...".
std::string ServedFingerprint(uint16_t port) {
    const std::string out = Shell("openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                                  " </dev/null 2>/dev/null | openssl x509 -noout -fingerprint "
                                  "-sha256 2>/dev/null");
    const auto eq = out.find('=');
    if (eq == std::string::npos) return {};
    std::string fp = out.substr(eq + 1);
    while (!fp.empty() && (fp.back() == '\n' || fp.back() == '\r')) fp.pop_back();
    return fp;
}

std::string FileFingerprint(const std::string& cert) {
    const std::string out = Shell("openssl x509 -noout -fingerprint -sha256 -in '" + cert + "'");
    const auto eq = out.find('=');
    if (eq == std::string::npos) return {};
    std::string fp = out.substr(eq + 1);
    while (!fp.empty() && fp.back() == '\n') fp.pop_back();
    return fp;
}

// A test CA and a server certificate for localhost and 127.0.0.1 signed by it.
struct TestPki {
    TempDir dir;
    std::string ca, cert, key;
    explicit TestPki(const std::string& cn = "localhost") {
        const std::string d = dir.Path();
        ca = d + "/ca.pem";
        cert = d + "/srv.pem";
        key = d + "/srv.key";
        std::ofstream(d + "/ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        int s1 = -1, s2 = -1, s3 = -1;
        Shell("cd '" + d +
                  "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                  "-keyout ca.key -out ca.pem -days 30 -subj /CN=HbrTestCA "
                  "-addext basicConstraints=critical,CA:TRUE "
                  "-addext keyUsage=critical,keyCertSign 2>&1",
              &s1);
        Shell("cd '" + d +
                  "' && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "
                  "srv.key -out srv.csr -subj /CN=" +
                  cn + " 2>&1",
              &s2);
        Shell("cd '" + d +
                  "' && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                  "-out srv.pem -days 30 -extfile ext 2>&1",
              &s3);
        EXPECT_EQ(s1 + s2 + s3, 0);
    }
};

// A self-signed certificate whose validity ended yesterday, with its key.
void WriteExpiredPair(const std::string& cert, const std::string& key) {
    EVP_PKEY* k = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), -10 * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), -86400L);
    X509_set_pubkey(x, k);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("old"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509_sign(x, k, EVP_sha256());
    FILE* f = fopen(cert.c_str(), "w");
    PEM_write_X509(f, x);
    fclose(f);
    f = fopen(key.c_str(), "w");
    PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
    X509_free(x);
    EVP_PKEY_free(k);
}

HbrProcess::Options HttpsOptions(const TempDir& dir, std::vector<std::string> extra = {},
                                 const std::string& limits = {}) {
    HbrProcess::Options o;
    const uint16_t port = FreeLoopbackPort();
    o.args = {"run-exe", "-url", "https://127.0.0.1:" + std::to_string(port) + "/", "-dbpath",
              dir.Path() + "/hbr.db"};
    for (auto& e : extra) o.args.push_back(std::move(e));
    if (!limits.empty()) o.env["HBR_LIMITS"] = limits;
    return o;
}

uint16_t PortOf(const HbrProcess::Options& o) {
    const std::string& url = o.args[2];
    return static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
}

std::string CurlHeaders(const std::string& args) {
    return Shell("curl -sS -o /dev/null -D - " + args + " 2>&1");
}

TEST(Https, MadeCertificateIsKeptBesideTheDatabaseAndReused) {
    TempDir dir;
    auto o = HttpsOptions(dir);
    const uint16_t port = PortOf(o);
    std::string fingerprint;
    {
        HbrProcess hbr(o);
        ASSERT_TRUE(hbr.Ready()) << hbr.Output();
        const std::string cert = dir.Path() + "/hbr-tls-cert.pem";
        const std::string key = dir.Path() + "/hbr-tls-key.pem";
        ASSERT_TRUE(fs::exists(cert));
        struct stat st {};
        ASSERT_EQ(stat(key.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_uid, geteuid());
        fingerprint = FileFingerprint(cert);
        ASSERT_FALSE(fingerprint.empty());
        // The administrator checks the browser's view against the printed fingerprint.
        EXPECT_NE(hbr.Output().find("Certificate SHA-256 fingerprint: " + fingerprint),
                  std::string::npos)
            << hbr.Output();
        EXPECT_EQ(ServedFingerprint(port), fingerprint);
        const std::string sans =
            Shell("openssl x509 -noout -ext subjectAltName -in '" + cert + "'");
        EXPECT_NE(sans.find("DNS:localhost"), std::string::npos) << sans;
        EXPECT_NE(sans.find("IP Address:127.0.0.1"), std::string::npos) << sans;

        const std::string head = CurlHeaders("-k " + Url(port, "/login.html"));
        EXPECT_NE(head.find("HTTP/1.1 200"), std::string::npos) << head;
        EXPECT_NE(head.find("Strict-Transport-Security: max-age="), std::string::npos);
        // Over TLS the session cookie never leaves on a plain connection.
        const std::string login =
            CurlHeaders("-k --data 'usr=administrator&pwd=bravo' " + Url(port, "/login"));
        EXPECT_NE(login.find(";Secure"), std::string::npos) << login;
        EXPECT_EQ(hbr.Stop(), 0);
    }
    HbrProcess again(o);
    ASSERT_TRUE(again.Ready()) << again.Output();
    EXPECT_EQ(ServedFingerprint(port), fingerprint);
}

TEST(Https, GivenCertificateIsTrustedThroughItsCa) {
    TestPki pki;
    TempDir dir;
    auto o = HttpsOptions(dir, {"-cert", pki.cert, "-key", pki.key});
    const uint16_t port = PortOf(o);
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    // No -k: curl verifies the chain and the name.
    const std::string code = Shell("curl -sS -o /dev/null -w '%{http_code}' --cacert '" + pki.ca +
                                   "' --resolve localhost:" + std::to_string(port) + ":127.0.0.1 " +
                                   Url(port, "/login.html", "localhost") + " 2>&1");
    EXPECT_EQ(code, "200");
    EXPECT_FALSE(fs::exists(dir.Path() + "/hbr-tls-cert.pem"));
    // TLS 1.2 is served as well as 1.3.
    EXPECT_EQ(Shell("curl -sS -k -o /dev/null -w '%{http_code}' --tls-max 1.2 " +
                    Url(port, "/login.html")),
              "200");
}

TEST(Https, RenewedFilesAreTakenWithoutARestart) {
    TestPki first;
    TempDir dir;
    const std::string cert = dir.Path() + "/live.pem";
    const std::string key = dir.Path() + "/live.key";
    fs::copy_file(first.cert, cert);
    fs::copy_file(first.key, key);
    auto o = HttpsOptions(dir, {"-cert", cert, "-key", key}, "certificateCheckMs=200");
    const uint16_t port = PortOf(o);
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    ASSERT_EQ(ServedFingerprint(port), FileFingerprint(first.cert));

    TestPki second;
    fs::copy_file(second.key, key + ".tmp");
    fs::copy_file(second.cert, cert + ".tmp");
    fs::rename(key + ".tmp", key);
    fs::rename(cert + ".tmp", cert);
    const std::string renewed = FileFingerprint(second.cert);
    std::string served;
    for (int i = 0; i < 100 && served != renewed; ++i) {
        std::this_thread::sleep_for(100ms);
        served = ServedFingerprint(port);
    }
    EXPECT_EQ(served, renewed);
}

// Each bad file fails the start with one line naming the file and why.
TEST(Https, BadCertificateFilesFailTheStart) {
    TestPki pki;
    TestPki other;
    TempDir dir;
    const std::string expiredCert = dir.Path() + "/old.pem";
    const std::string expiredKey = dir.Path() + "/old.key";
    WriteExpiredPair(expiredCert, expiredKey);
    std::ofstream(dir.Path() + "/garbage.pem") << "not a certificate\n";
    struct Case {
        std::string cert, key, expected;
    } cases[] = {
        {dir.Path() + "/missing.pem", pki.key,
         "Certificate file " + dir.Path() + "/missing.pem: No such file or directory"},
        {pki.cert, dir.Path() + "/missing.key",
         "Key file " + dir.Path() + "/missing.key: No such file or directory"},
        {pki.cert, other.key, "Key file " + other.key + ": does not match the certificate file"},
        {expiredCert, expiredKey, "Certificate file " + expiredCert + ": expired on"},
        {dir.Path() + "/garbage.pem", pki.key,
         "Certificate file " + dir.Path() + "/garbage.pem: holds no PEM certificate"},
    };
    for (const auto& c : cases) {
        TempDir db;
        auto o = HttpsOptions(db, {"-cert", c.cert, "-key", c.key});
        o.waitForReady = false;
        HbrProcess hbr(o);
        EXPECT_EQ(hbr.Wait(), 255);
        EXPECT_NE(hbr.Output().find("\nStart the web server failed.\n" + c.expected),
                  std::string::npos)
            << hbr.Output();
    }
}

TEST(Https, PlainHttpOnTheTlsPortIsClosedAndTlsGoesOn) {
    TempDir dir;
    auto o = HttpsOptions(dir);
    const uint16_t port = PortOf(o);
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    HttpClient plain(port);
    ASSERT_TRUE(plain.Connected());
    EXPECT_EQ(plain.Get("/login.html").status, 0);
    EXPECT_TRUE(plain.PeerClosed());
    EXPECT_EQ(Shell("curl -sS -k -o /dev/null -w '%{http_code}' " + Url(port, "/login.html")),
              "200");
}

// Replies of many TLS records arrive byte for byte and framed exactly, each twice over one
// connection: a file read from disk, the live data encrypted from memory, and the same live
// data compressed.
TEST(Https, LargeRepliesArriveWholeOverTls) {
    TempDir dir;
    TempDir root;
    std::string big(300001, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + (i * 7 + i / 4099) % 26);
    WriteFileText(root.Path() + "/big.bin", big);
    std::ofstream(root.Path() + "/login.html") << "<legend>x</legend>";
    auto o = HttpsOptions(dir, {"-webroot", root.Path()});
    const uint16_t port = PortOf(o);
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    const std::string out = dir.Path() + "/out";
    const std::string curl = "curl -sS -k -b '" + dir.Path() + "/jar' -c '" + dir.Path() + "/jar' ";

    Shell(curl + "--data 'usr=administrator&pwd=bravo' -o /dev/null " + Url(port, "/login"));
    Shell(curl + Url(port, "/big.bin") + " -o " + out + "1 " + Url(port, "/big.bin") + " -o " +
          out + "2");
    EXPECT_TRUE(ReadFileText(out + "1") == big) << ReadFileText(out + "1").size() << " bytes";
    EXPECT_TRUE(ReadFileText(out + "2") == big) << ReadFileText(out + "2").size() << " bytes";

    Shell(curl + "-H 'Content-Type: application/json' -o /dev/null --data "
                 "'{\"id\":0,\"name\":\"big\",\"host\":\"sim://tls-big?vms=1000&seed=2\","
                 "\"user\":\"\",\"password\":\"\",\"disabled\":false}' " +
          Url(port, "/api/server/0"));
    std::string live;
    for (int i = 0; i < 150; ++i) {
        live = Shell(curl + Url(port, "/api/livedata"));
        JsonDocument doc;
        if (ParseJson(live, doc) && doc.Root()["vms"].Size() == 1000) break;
        live.clear();
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_GT(live.size(), 128u * 1024) << "the live data never listed the 1000 VMs";
    // Each reply's tag is a hash of the exact text it stands for.
    const std::string tags =
        Shell(curl + "-w '%header{etag}\\n' " + Url(port, "/api/livedata") + " -o " + out +
              "3 " + Url(port, "/api/livedata") + " -o " + out + "4") +
        Shell(curl + "--compressed -w '%header{etag}\\n' " + Url(port, "/api/livedata") +
              " -o " + out + "5 " + Url(port, "/api/livedata") + " -o " + out + "6");
    std::istringstream lines(tags);
    for (int i = 3; i <= 6; ++i) {
        std::string tag;
        ASSERT_TRUE(std::getline(lines, tag)) << tags;
        const std::string got = ReadFileText(out + std::to_string(i));
        EXPECT_EQ(tag, StrongETag(got, i >= 5 ? "-gzip" : "")) << "reply " << i << ", "
                                                                << got.size() << " bytes";
    }
}

// The console socket over TLS: upgraded, then closed when no connect message comes.
TEST(Https, ConsoleSocketOverTlsEndsWithoutAConnectMessage) {
    TempDir dir;
    auto o = HttpsOptions(dir, {}, "consoleConnectMs=500");
    const uint16_t port = PortOf(o);
    HbrProcess hbr(o);
    ASSERT_TRUE(hbr.Ready()) << hbr.Output();
    const std::string login =
        CurlHeaders("-k --data 'usr=administrator&pwd=bravo' " + Url(port, "/login"));
    const auto at = login.find("Set-Cookie: ");
    ASSERT_NE(at, std::string::npos) << login;
    const std::string cookie = login.substr(at + 12, login.find(';', at) - at - 12);
    const std::string request =
        "GET /ws HTTP/1.1\\r\\nHost: 127.0.0.1:" + std::to_string(port) +
        "\\r\\nUpgrade: websocket\\r\\nConnection: Upgrade\\r\\nSec-WebSocket-Key: "
        "dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\nCookie: " +
        cookie + "\\r\\n\\r\\n";
    int status = 0;
    const std::string out =
        Shell("printf '" + request + "' | timeout 20 openssl s_client -quiet -connect 127.0.0.1:" +
                  std::to_string(port) + " 2>/dev/null",
              &status);
    EXPECT_NE(out.find("HTTP/1.1 101"), std::string::npos) << out;
    EXPECT_NE(status, 124) << "the socket stayed open";
}

// ---- Browser protections, over plain HTTP -------------------------------------------------

class Protections : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        hbr_ = std::make_unique<HbrProcess>();
        ASSERT_TRUE(hbr_->Ready()) << hbr_->Output();
    }
    static void TearDownTestSuite() { hbr_.reset(); }
    static uint16_t Port() { return hbr_->Port(); }
    // The test client's requests name the host "test" (no port).
    static std::string Host() { return {}; }
    static std::string Login(const std::string& extra = {}) {
        HttpClient c(Port());
        const auto r = c.Post("/login", "usr=administrator&pwd=bravo", extra);
        const std::string cookie = r.Header("Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }
    static std::unique_ptr<HbrProcess> hbr_;
};
std::unique_ptr<HbrProcess> Protections::hbr_;

TEST_F(Protections, EveryReplyCarriesTheHeaders) {
    HttpClient c(Port());
    for (const auto& r : {c.Get("/login.html"), c.Get("/bs/nothing.js"), c.Get("/api/users")}) {
        EXPECT_EQ(r.Header("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(r.Header("Referrer-Policy"), "same-origin");
        const std::string csp = r.Header("Content-Security-Policy");
        EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << csp;
        EXPECT_NE(csp.find("default-src 'self'"), std::string::npos) << csp;
        EXPECT_NE(csp.find("img-src 'self' data:"), std::string::npos) << csp;
        EXPECT_FALSE(r.HasHeader("Strict-Transport-Security"));
    }
    // A listener's own answer too.
    HttpClient bad(Port());
    const auto r = bad.Request("GET /%00 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.Header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(r.Header("X-Content-Type-Options"), "nosniff");
}

// A page on another port of this host must not act with the user's cookie.
TEST_F(Protections, ChangesFromAnotherOriginAreRefused) {
    const std::string own = "http://test";
    const std::string other = "http://test:" + std::to_string(Port());
    const std::string cookie = CookieHeader(Login());
    const std::string add = "{\"name\":\"mallory\",\"pwd\":\"x\",\"roleId\":1}";
    struct Case {
        std::string headers;
        int status;
    } cases[] = {
        {"Origin: " + other + "\r\nContent-Type: text/plain\r\n", 403},
        {"Referer: " + other + "/evil.html\r\n", 403},
        {"Origin: null\r\n", 403},
        {"Origin: " + own + "\r\n", 201},
        {"Referer: " + own + "/start.html\r\n", 201},
        {"", 201},  // scripts and curl send neither
    };
    for (const auto& c : cases) {
        HttpClient client(Port());
        const auto r = client.Post("/api/users", add, Host() + cookie + c.headers);
        // A created user answers 201 or a JSON error; a refusal answers 403 before the route.
        if (c.status == 403)
            EXPECT_EQ(r.status, 403) << c.headers;
        else
            EXPECT_NE(r.status, 403) << c.headers << r.body;
    }
    // Reading from another origin is the browser's business (CORS), not refused here.
    HttpClient reader(Port());
    EXPECT_EQ(reader.Get("/api/users", Host() + cookie + "Origin: " + other + "\r\n").status, 200);
    // Nor may another origin log someone in.
    HttpClient login(Port());
    EXPECT_EQ(
        login.Post("/login", "usr=administrator&pwd=bravo", Host() + "Origin: " + other + "\r\n")
            .status,
        403);
}

TEST_F(Protections, ConsoleSocketFromAnotherOriginIsRefused) {
    const std::string cookie = CookieHeader(Login());
    const std::string upgrade =
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
        "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    HttpClient c(Port());
    const auto r = c.Get("/ws", Host() + cookie + upgrade + "Origin: http://test:1\r\n");
    EXPECT_EQ(r.status, 403);
}

TEST_F(Protections, LogoutClearsTheCookie) {
    const std::string cookie = Login();
    HttpClient c(Port());
    const auto r = c.Get("/logout", Host() + CookieHeader(cookie));
    EXPECT_EQ(r.status, 302);
    const std::string set = r.Header("Set-Cookie");
    EXPECT_EQ(set.rfind(cookie.substr(0, cookie.find('=') + 1) + ";", 0), 0u) << set;
    EXPECT_NE(set.find("Max-Age=0"), std::string::npos) << set;
}

// A body in a coding the server does not speak would otherwise be read as the next request.
TEST_F(Protections, UnknownTransferCodingIs501AndCloses) {
    HttpClient c(Port());
    const auto r = c.Request(
        "POST /login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"
        "GET /login.html HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(r.status, 501);
    EXPECT_TRUE(c.PeerClosed());
}

// ---- Limits -----------------------------------------------------------------------------------

int ThreadCount(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

// A raw client that asks for a file and never reads, with a small receive window.
int NonReadingClient(uint16_t port, const std::string& target) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    const std::string req = "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
    (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    return fd;
}

// Reads until end of stream or reset; false when the server still holds it open after `wait`.
bool EndsWithin(int fd, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    char buf[65536];
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

class Limits : public ::testing::Test {
  protected:
    void Start(const std::string& limits) {
        root_ = std::make_unique<TempDir>();
        std::ofstream(root_->Path() + "/login.html") << "<legend>x</legend>";
        fs::create_directories(root_->Path() + "/bs");
        std::ofstream(root_->Path() + "/bs/big.js.map") << std::string(4 << 20, 'm');
        HbrProcess::Options o;
        o.webRoot = root_->Path();
        o.env["HBR_LIMITS"] = limits;
        hbr_ = std::make_unique<HbrProcess>(o);
        ASSERT_TRUE(hbr_->Ready()) << hbr_->Output();
    }
    // Opens `count` more console sockets as `cookie`, each of them accepted.
    void OpenConsoles(const std::string& cookie, int count,
                      std::vector<std::unique_ptr<WsTestClient>>& open) {
        for (int i = 0; i < count; ++i) {
            open.push_back(std::make_unique<WsTestClient>());
            ASSERT_TRUE(open.back()->Connect(hbr_->Port(), "/ws", cookie)) << open.back()->Error();
        }
    }
    std::unique_ptr<TempDir> root_;
    std::unique_ptr<HbrProcess> hbr_;
};

// Clients that never read hold no worker thread: while their replies are stalled, the threads
// their requests took end as idle ones do; then the stalled replies end their connections.
TEST_F(Limits, StalledRepliesHoldNoThreadAndEnd) {
    Start("replyStallMs=8000,workerIdleMs=300,workerIdleKeep=1");
    const uint16_t port = hbr_->Port();
    HttpClient warm(port);
    ASSERT_EQ(warm.Get("/bs/big.js.map").status, 200);
    const int before = ThreadCount(hbr_->Pid());
    std::vector<int> stalled;
    for (int i = 0; i < 24; ++i) stalled.push_back(NonReadingClient(port, "/bs/big.js.map"));
    // Everybody else is still served meanwhile.
    HttpClient other(port);
    EXPECT_EQ(other.Get("/login.html").status, 200);
    int now = ThreadCount(hbr_->Pid());
    for (int i = 0; i < 80 && now > before + 1; ++i) {
        std::this_thread::sleep_for(100ms);
        now = ThreadCount(hbr_->Pid());
    }
    EXPECT_LE(now, before + 1);
    // Reading now would let the replies go on; past the stall limit they must have been cut.
    std::this_thread::sleep_for(10s);
    for (int fd : stalled) {
        EXPECT_TRUE(EndsWithin(fd, 30s));
        close(fd);
    }
}

TEST_F(Limits, ConnectionsOfOneClientAreBounded) {
    Start("connectionsPerClient=3");
    const uint16_t port = hbr_->Port();
    std::vector<std::unique_ptr<HttpClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<HttpClient>(port));
        ASSERT_EQ(held.back()->Get("/login.html").status, 200);
    }
    HttpClient fourth(port);
    EXPECT_EQ(fourth.Get("/login.html").status, 0);
    held.pop_back();
    int status = 0;
    for (int i = 0; i < 50 && status != 200; ++i) {
        std::this_thread::sleep_for(100ms);
        HttpClient again(port);
        status = again.Get("/login.html").status;
    }
    EXPECT_EQ(status, 200);
}

// CPU seconds a process has used so far (user and system).
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14; ++i) rest >> field;  // up to utime, field 14
    long utime = 0, stime = 0;
    rest >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// With few descriptors, more idle clients than fit: the oldest idle connections make room for
// new ones, a reply under way is never cut for it, a newcomer is served (its file and the
// database still get descriptors) and the listener does not spin meanwhile.
TEST_F(Limits, RunningOutOfDescriptorsShedsIdleConnections) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 96;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);  // the instance inherits it
    Start("acceptBackoffMs=50");
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    const uint16_t port = hbr_->Port();
    const int busy = NonReadingClient(port, "/bs/big.js.map");
    ASSERT_GE(busy, 0);
    pollfd started{busy, POLLIN, 0};
    ASSERT_EQ(poll(&started, 1, 20000), 1);  // its reply is under way
    std::vector<std::unique_ptr<HttpClient>> idle;
    for (int i = 0; i < 140; ++i) {
        idle.push_back(std::make_unique<HttpClient>(port));
        ASSERT_TRUE(idle.back()->Connected());
    }
    // A newcomer may be closed while the shed connections give their descriptors back.
    int status = 0;
    for (int i = 0; i < 50 && status != 200; ++i) {
        if (i > 0) std::this_thread::sleep_for(100ms);
        HttpClient c(port);
        status = c.Get("/login.html").status;
    }
    EXPECT_EQ(status, 200) << hbr_->Output();
    EXPECT_TRUE(idle.front()->PeerClosed());
    // Still 140 clients on a server with room for fewer: no busy loop around accept.
    const double cpuBefore = CpuSeconds(hbr_->Pid());
    std::this_thread::sleep_for(3s);
    EXPECT_LT(CpuSeconds(hbr_->Pid()) - cpuBefore, 1.5);
    // The reply under way went on to its end.
    size_t got = 0;
    char buf[65536];
    for (;;) {
        pollfd p{busy, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        const ssize_t n = recv(busy, buf, sizeof buf, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (got > (4u << 20)) break;
    }
    close(busy);
    EXPECT_GT(got, 4u << 20);
}

// Console sockets that never ask for a connection: one user gets eight at most, each ends when
// no connect message comes, and the threads they took come back once idle.
TEST_F(Limits, ConsoleSocketsAreCappedAndTheirThreadsComeBack) {
    Start("consoleConnectMs=4000,workerIdleMs=300,workerIdleKeep=1");
    const uint16_t port = hbr_->Port();
    const std::string cookie = HbrApi(*hbr_).Session("administrator", "bravo");
    ASSERT_FALSE(cookie.empty());
    const int before = ThreadCount(hbr_->Pid());
    std::vector<std::unique_ptr<WsTestClient>> open;
    ASSERT_NO_FATAL_FAILURE(OpenConsoles(cookie, 8, open));
    WsTestClient ninth;
    ASSERT_TRUE(ninth.Connect(port, "/ws", cookie)) << ninth.Error();
    const auto refusal = ninth.Read(20s);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_TRUE(refusal->text);
    EXPECT_EQ(refusal->data.rfind("E:Too many console sessions are open for this user", 0), 0u)
        << refusal->data;
    EXPECT_GE(ThreadCount(hbr_->Pid()), before + 8);
    for (auto& ws : open) {
        ws->ReadUntil([](const WsTestClient::Message&) { return false; }, 30s);
        EXPECT_TRUE(ws->Closed());
    }
    // A place freed is a place to take again.
    WsTestClient again;
    ASSERT_TRUE(again.Connect(port, "/ws", cookie)) << again.Error();
    const auto first = again.Read(1s);
    EXPECT_TRUE(!first || first->data.rfind("E:Too many", 0) != 0) << first->data;
    again.Close();
    int now = ThreadCount(hbr_->Pid());
    for (int i = 0; i < 200 && now > before + 1; ++i) {
        std::this_thread::sleep_for(100ms);
        now = ThreadCount(hbr_->Pid());
    }
    EXPECT_LE(now, before + 1);
}

// The whole instance holds only so many console sessions, whoever opens them: the next one is
// told why on its socket, and a place given back is taken again.
TEST_F(Limits, ConsoleSessionsOfTheInstanceAreCapped) {
    Start("consoleSessionsTotal=2,consoleConnectMs=3000");
    const uint16_t port = hbr_->Port();
    const std::string cookie = HbrApi(*hbr_).Session("administrator", "bravo");
    ASSERT_FALSE(cookie.empty());
    const auto refused = [](const WsTestClient::Message& m) {
        return m.data.rfind("E:Too many console sessions", 0) == 0;
    };
    std::vector<std::unique_ptr<WsTestClient>> open;
    ASSERT_NO_FATAL_FAILURE(OpenConsoles(cookie, 2, open));
    WsTestClient third;
    ASSERT_TRUE(third.Connect(port, "/ws", cookie)) << third.Error();
    const auto refusal = third.Read(20s);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(
        refusal->data.rfind("E:Too many console sessions are open on this server (at most 2)", 0),
        0u)
        << refusal->data;
    // A place given back (closed by its browser, or past its connect limit) goes to the next
    // socket, which then lives until its own connect limit instead of being refused.
    open.front()->Close();
    bool taken = false;
    for (int i = 0; i < 40 && !taken; ++i) {
        WsTestClient next;
        ASSERT_TRUE(next.Connect(port, "/ws", cookie)) << next.Error();
        taken = !next.ReadUntil(refused, 20s) && next.Closed();
        if (!taken) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(taken);
}

}  // namespace
}  // namespace hbr
