// The WS-Management client against hosts on loopback that answer canned bytes over TLS: keep-
// alive, the in-flight limit, certificate checks, credentials, and hosts that misbehave (never
// answer, answer 100 MB, 401, 500 without a body, malformed or hostile XML).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "hyperv/providers/wsman/wsman_client.h"
#include "support/canned_tls_host.h"
#include "support/wsman_samples.h"

namespace hbr::wsman {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using test::CannedHost;
using Request = test::CannedRequest;
using Answer = test::CannedAnswer;

Answer Http(int status, const std::string& body, const std::string& extraHeaders = {}) {
    return test::HttpAnswer(status, body, extraHeaders);
}

const test::TestCertificate& Certificate() {
    return test::LoopbackCertificate();
}

const std::string kIdentifyReply =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
    "<s:Header/><s:Body><wsmid:IdentifyResponse><wsmid:ProtocolVersion>"
    "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd</wsmid:ProtocolVersion>"
    "<wsmid:ProductVendor>Microsoft Corporation</wsmid:ProductVendor>"
    "<wsmid:ProductVersion>OS: 10.0.20348 SP: 0.0 Stack: 3.0</wsmid:ProductVersion>"
    "</wsmid:IdentifyResponse></s:Body></s:Envelope>";

std::shared_ptr<Transport> MakeTransport(const std::string& hostText, TransportLimits limits = {},
                                         const std::string& user = "CORP\\ops",
                                         const std::string& password = "pw") {
    WsmanTarget target;
    std::string error;
    EXPECT_TRUE(ParseWsmanHost(hostText, target, error)) << error;
    return std::make_shared<Transport>(target, user, password, limits);
}

TEST(WsmanTransport, SequentialCallsShareOneKeptAliveConnectionAndSendBasicCredentials) {
    CannedHost host([](const Request&) { return Http(200, kIdentifyReply); });
    Client client(MakeTransport(host.Url()));
    for (int i = 0; i < 3; ++i) {
        std::string vendor, version;
        const CallOutcome out = client.Identify(vendor, version);
        ASSERT_EQ(out.hr, kSOk) << out.error;
        EXPECT_EQ(vendor, "Microsoft Corporation");
    }
    EXPECT_EQ(host.Accepted(), 1);
    EXPECT_EQ(client.GetTransport().ConnectionsMade(), 1u);
    const auto requests = host.Requests();
    ASSERT_EQ(requests.size(), 3u);
    // "CORP\ops:pw" in Base64.
    EXPECT_EQ(requests[0][http::field::authorization], "Basic Q09SUFxvcHM6cHc=");
    EXPECT_EQ(requests[0][http::field::content_type], "application/soap+xml;charset=UTF-8");
    EXPECT_EQ(requests[0].target(), "/wsman");
}

TEST(WsmanTransport, NoMoreThanFourRequestsInFlight) {
    std::mutex m;
    std::condition_variable cv;
    int inFlight = 0, most = 0;
    bool open = false;
    CannedHost host([&](const Request&) {
        std::unique_lock lock(m);
        most = std::max(most, ++inFlight);
        if (inFlight >= 4) open = true;
        cv.notify_all();
        // Hold the first requests until four are in at once, then let everything through (a
        // safety limit keeps a broken client from hanging the test).
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return open; });
        --inFlight;
        return Http(200, kIdentifyReply);
    });
    auto transport = MakeTransport(host.Url());
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 10; ++i)
        threads.emplace_back([&] {
            Client client(transport);
            std::string vendor, version;
            if (client.Identify(vendor, version).hr == kSOk) ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, 10);
    EXPECT_EQ(most, 4);
    EXPECT_LE(host.Accepted(), 4);
}

TEST(WsmanTransport, CertificateVerifiedPinnedOrExplicitlyNotChecked) {
    CannedHost host([](const Request&) { return Http(200, kIdentifyReply); });
    const std::string pin = Certificate().sha256;
    auto identify = [&](const std::string& options) {
        Client client(MakeTransport(host.Url(options)));
        std::string vendor, version;
        return client.Identify(vendor, version);
    };
    // Self-signed: the system's CAs do not know it. The fingerprint it showed is kept for pinning.
    CallOutcome out = identify("auth=basic");
    EXPECT_EQ(out.hr, kESecureFailure);
    EXPECT_NE(out.error.find("sha256:" + pin), std::string::npos) << out.error;
    WsmanTarget target;
    std::string error;
    ASSERT_TRUE(ParseWsmanHost(host.Url(), target, error));
    EXPECT_EQ(PresentedCertificate(target.url), pin);

    EXPECT_EQ(identify("auth=basic&tls=sha256:" + pin).hr, kSOk);
    std::string wrong = pin;
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
    out = identify("auth=basic&tls=sha256:" + wrong);
    EXPECT_EQ(out.hr, kESecureFailure);
    EXPECT_EQ(identify("auth=basic&tls=insecure").hr, kSOk);
    // Nothing reached the host over a connection that failed its check.
    EXPECT_EQ(host.Requests().size(), 2u);
}

TEST(WsmanTransport, HostThatNeverAnswersTimesOutWithTheReconnectCode) {
    CannedHost host([&](const Request&) {
        Answer a;
        a.kind = Answer::Kind::Silent;
        return a;
    });
    TransportLimits limits;
    limits.requestTimeout = std::chrono::milliseconds(1500);
    Client client(MakeTransport(host.Url(), limits));
    std::string vendor, version;
    const CallOutcome out = client.Identify(vendor, version);
    EXPECT_EQ(out.hr, kRpcEDisconnected);
    EXPECT_NE(out.error.find("imeout"), std::string::npos) << out.error;
}

TEST(WsmanTransport, RefusedConnectionIsTheReconnectCode) {
    int port = 0;
    {
        asio::io_context io;
        tcp::acceptor a(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        port = a.local_endpoint().port();
    }
    Client client(
        MakeTransport("https://127.0.0.1:" + std::to_string(port) + "/wsman?tls=insecure"));
    std::string vendor, version;
    EXPECT_EQ(client.Identify(vendor, version).hr, kRpcEDisconnected);
}

TEST(WsmanTransport, HundredMegabyteReplyIsCutAtSixteen) {
    CannedHost host([](const Request&) {
        Answer a;
        a.kind = Answer::Kind::Endless;
        return a;
    });
    Client client(MakeTransport(host.Url()));
    std::string vendor, version;
    const CallOutcome out = client.Identify(vendor, version);
    EXPECT_EQ(out.hr, kEInvalidServerResponse);
    EXPECT_NE(out.error.find("16 MB"), std::string::npos) << out.error;
}

TEST(WsmanTransport, HttpFailuresAndHostileBodiesBecomeClearHResults) {
    std::string next;
    int status = 200;
    std::string headers;
    CannedHost host([&](const Request&) { return Http(status, next, headers); });
    Client client(MakeTransport(host.Url()));
    auto identify = [&](int s, const std::string& body, const std::string& h = {}) {
        status = s;
        next = body;
        headers = h;
        std::string vendor, version;
        return client.Identify(vendor, version);
    };
    EXPECT_EQ(identify(401, "", "WWW-Authenticate: Basic realm=\"WSMAN\"\r\n").hr, kEAccessDenied);
    EXPECT_EQ(identify(403, "<html>Forbidden</html>").hr, kEAccessDenied);
    CallOutcome out = identify(500, "");
    EXPECT_EQ(out.hr, kEInvalidServerResponse);
    EXPECT_EQ(out.error, "HTTP 500 without a body");
    out = identify(500, WsmanSample("12"));
    EXPECT_EQ(static_cast<std::uint32_t>(out.hr), 0x803381A5u);
    EXPECT_EQ(out.fault.subcode, "QuotaLimit");
    EXPECT_EQ(
        identify(200, "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Bo").hr,
        kEInvalidServerResponse);
    EXPECT_EQ(identify(200, "<html><body>Proxy error</body></html>").hr, kEInvalidServerResponse);
    EXPECT_EQ(identify(200,
                       "<!DOCTYPE x [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                       "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                       "<s:Body>&b;</s:Body></s:Envelope>")
                  .hr,
              kEInvalidServerResponse);
    // A SOAP envelope of a namespace nobody speaks here, and a well-formed but foreign body.
    EXPECT_EQ(identify(200, "<s:Envelope xmlns:s=\"urn:unknown\"><s:Body/></s:Envelope>").hr,
              kEInvalidServerResponse);
    EXPECT_EQ(identify(200,
                       "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                       "<s:Body><x:IdentifyResponse xmlns:x=\"urn:unknown\"/></s:Body>"
                       "</s:Envelope>")
                  .hr,
              kEInvalidServerResponse);
    // A 404 from something that is not WinRM.
    EXPECT_EQ(identify(404, "<html>Not Found</html>").hr, kEInvalidServerResponse);
    // After all that the connection still serves a good answer.
    EXPECT_EQ(identify(200, kIdentifyReply).hr, kSOk);
}

TEST(WsmanClient, EnumerateThenPullCarriesTheContextAndReleaseIsSent) {
    std::vector<std::string> replies = {WsmanSample("02"), WsmanSample("03"), WsmanSample("19"),
                                        std::string(kIdentifyReply)};
    std::atomic<std::size_t> index{0};
    CannedHost host([&](const Request&) { return Http(200, replies[index++ % replies.size()]); });
    Client client(MakeTransport(host.Url()));
    EnumerationPage page;
    CallOutcome out =
        client.EnumerateWql("root\\cimv2", "SELECT * FROM Win32_LogicalDisk", 100, page);
    ASSERT_EQ(out.hr, kSOk) << out.error;
    ASSERT_EQ(page.items.size(), 1u);
    const std::string context = page.context;
    out = client.Pull("root\\cimv2", context, 100, page);
    ASSERT_EQ(out.hr, kSOk) << out.error;
    EXPECT_TRUE(page.endOfSequence);
    out = client.EnumerateWql("root\\cimv2", "SELECT * FROM Win32_LogicalDisk", 100, page);
    ASSERT_EQ(out.hr, kSOk);
    // Release needs no particular body back: any non-fault envelope will do.
    EXPECT_EQ(client.Release("root\\cimv2", page.context).hr, kSOk);

    const auto requests = host.Requests();
    ASSERT_EQ(requests.size(), 4u);
    XmlElement pull, release, enumerate;
    ASSERT_EQ(ReadXml(requests[0].body(), enumerate), XmlReadError::None);
    ASSERT_EQ(ReadXml(requests[1].body(), pull), XmlReadError::None);
    ASSERT_EQ(ReadXml(requests[3].body(), release), XmlReadError::None);
    EXPECT_EQ(enumerate.Find(kNsWsman, "ResourceURI")->text,
              "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*");
    EXPECT_NE(enumerate.Find(kNsWsman, "OptimizeEnumeration"), nullptr);
    EXPECT_EQ(pull.Find(kNsEnumeration, "EnumerationContext")->text,
              "uuid:5BB9D3D1-8FF1-40FA-ADA2-BE91F7F050E6");
    EXPECT_EQ(release.Find(kNsEnumeration, "EnumerationContext")->text,
              "uuid:22EB9809-5543-4020-A75C-FD95FF06217B");
    EXPECT_NE(release.Find(kNsEnumeration, "Release"), nullptr);
    // The host is told an operation time-out below the client's own.
    EXPECT_EQ(pull.Find(kNsWsman, "OperationTimeout")->text, "PT30.000S");
}

}  // namespace
}  // namespace hbr::wsman
