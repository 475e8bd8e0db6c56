// The WS-Management test server, spoken to the way a WinRM client speaks: SOAP envelopes shaped
// like Windows' request forms over HTTPS (libcurl), replies read namespace-aware with libxml2,
// values checked against the simulated host behind the server.
#include "support/wsman_test_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "hyperv/providers/sim/sim_host.h"
#include "support/wsman_test_soap.h"

namespace hbr {
namespace {

constexpr const char* kVirtBase =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/";
constexpr const char* kActEnumerate = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate";
constexpr const char* kActPull = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull";
constexpr const char* kActRelease = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Release";
constexpr const char* kActGet = "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get";

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::vector<std::string> headers;
    bool HasHeader(const std::string& line) const {
        return std::any_of(headers.begin(), headers.end(),
                           [&](const std::string& h) { return h.rfind(line, 0) == 0; });
    }
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

size_t CollectHeader(char* data, size_t size, size_t n, void* user) {
    std::string line(data, size * n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    static_cast<std::vector<std::string>*>(user)->push_back(line);
    return size * n;
}

struct Client {
    std::string user;
    std::string password;
    long auth = CURLAUTH_BASIC;
    long timeoutMs = 20000;
    std::vector<std::string> extraHeaders;
};

// One POST to the server, verifying its certificate against the one it made.
Reply Post(const WsmanTestServer& server, const std::string& body, const Client& c) {
    Reply r;
    CURL* curl = curl_easy_init();
    const std::string url = server.Url();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_blob ca{const_cast<char*>(server.CertificatePem().data()), server.CertificatePem().size(),
                 CURL_BLOB_COPY};
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &ca);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r.headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, c.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (!c.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, c.auth);
        curl_easy_setopt(curl, CURLOPT_USERNAME, c.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, c.password.c_str());
    }
    curl_slist* headers =
        curl_slist_append(nullptr, "Content-Type: application/soap+xml;charset=UTF-8");
    for (const auto& h : c.extraHeaders) headers = curl_slist_append(headers, h.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    r.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return r;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char ch : s) {
        if (ch == '<')
            out += "&lt;";
        else if (ch == '&')
            out += "&amp;";
        else if (ch == '>')
            out += "&gt;";
        else if (ch == '"')
            out += "&quot;";
        else
            out += ch;
    }
    return out;
}

// A request envelope shaped like Windows' clients send them.
std::string Request(const std::string& action, const std::string& resourceUri,
                    const std::string& body, const std::string& extraHeader = {},
                    int maxEnvelope = 512000) {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
           "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\"><s:Header>"
           "<a:To>https://127.0.0.1/wsman</a:To><w:ResourceURI s:mustUnderstand=\"true\">" +
           Escape(resourceUri) +
           "</w:ResourceURI><a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
           "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address>"
           "</a:ReplyTo><a:Action s:mustUnderstand=\"true\">" +
           Escape(action) + "</a:Action><w:MaxEnvelopeSize s:mustUnderstand=\"true\">" +
           std::to_string(maxEnvelope) +
           "</w:MaxEnvelopeSize><a:MessageID>uuid:55F28C75-F63E-4F68-8360-A8C478003959"
           "</a:MessageID><w:OperationTimeout>PT60.000S</w:OperationTimeout>" +
           extraHeader + "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string EnumerateBody(const std::string& wql, bool optimize, int maxElements = 32000) {
    std::string b = "<n:Enumerate>";
    if (optimize)
        b += "<w:OptimizeEnumeration/><w:MaxElements>" + std::to_string(maxElements) +
             "</w:MaxElements>";
    b += "<w:Filter Dialect=\"http://schemas.microsoft.com/wbem/wsman/1/WQL\">" + Escape(wql) +
         "</w:Filter></n:Enumerate>";
    return b;
}

std::string PullBody(const std::string& context, int maxElements) {
    return "<n:Pull><n:EnumerationContext>" + context + "</n:EnumerationContext><n:MaxElements>" +
           std::to_string(maxElements) + "</n:MaxElements></n:Pull>";
}

std::string Selectors(const std::vector<std::pair<std::string, std::string>>& s) {
    std::string out = "<w:SelectorSet>";
    for (const auto& [k, v] : s)
        out += "<w:Selector Name=\"" + k + "\">" + Escape(v) + "</w:Selector>";
    return out + "</w:SelectorSet>";
}

// A parsed reply with XPath over the usual prefixes; "p" is bound by the caller.
class Xml {
  public:
    explicit Xml(const std::string& text, const std::string& pUri = {}) {
        doc_ = xmlReadMemory(text.data(), static_cast<int>(text.size()), "reply.xml", nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!doc_) return;
        ctx_ = xmlXPathNewContext(doc_);
        const std::pair<const char*, const char*> ns[] = {
            {"s", "http://www.w3.org/2003/05/soap-envelope"},
            {"a", "http://schemas.xmlsoap.org/ws/2004/08/addressing"},
            {"n", "http://schemas.xmlsoap.org/ws/2004/09/enumeration"},
            {"w", "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd"},
            {"f", "http://schemas.microsoft.com/wbem/wsman/1/wsmanfault"},
            {"e", "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/MSFT_WmiError"},
            {"wsmid", "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd"},
            {"cim", "http://schemas.dmtf.org/wbem/wscim/1/common"},
            {"xsi", "http://www.w3.org/2001/XMLSchema-instance"},
            {"sum",
             "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/"
             "Msvm_SummaryInformation"}};
        for (const auto& [prefix, uri] : ns)
            xmlXPathRegisterNs(ctx_, BAD_CAST prefix, BAD_CAST uri);
        if (!pUri.empty()) xmlXPathRegisterNs(ctx_, BAD_CAST "p", BAD_CAST pUri.c_str());
    }
    ~Xml() {
        if (ctx_) xmlXPathFreeContext(ctx_);
        if (doc_) xmlFreeDoc(doc_);
    }
    bool Ok() const { return doc_ != nullptr; }
    std::vector<std::string> All(const std::string& xpath) const {
        std::vector<std::string> out;
        if (!ctx_) return out;
        xmlXPathObject* r = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), ctx_);
        if (r && r->nodesetval) {
            for (int i = 0; i < r->nodesetval->nodeNr; ++i) {
                xmlChar* t = xmlNodeGetContent(r->nodesetval->nodeTab[i]);
                out.emplace_back(t ? reinterpret_cast<const char*>(t) : "");
                xmlFree(t);
            }
        }
        xmlXPathFreeObject(r);
        return out;
    }
    std::string One(const std::string& xpath) const {
        auto all = All(xpath);
        return all.size() == 1 ? all[0] : "<" + std::to_string(all.size()) + " nodes>";
    }
    std::size_t Count(const std::string& xpath) const { return All(xpath).size(); }

  private:
    xmlDoc* doc_ = nullptr;
    xmlXPathContext* ctx_ = nullptr;
};

WsmanTestServerOptions Opts(const std::string& simHost) {
    WsmanTestServerOptions o;
    o.simHost = simHost;
    return o;
}

Client Basic(const WsmanTestServer& s) {
    return Client{s.Options().user, s.Options().password};
}

std::map<std::string, SimVmInfo> VmsById(const std::string& host) {
    std::map<std::string, SimVmInfo> out;
    for (auto& vm : SimHost::Get(host).ListVms()) out[vm.id] = vm;
    return out;
}

// Runs an optimized enumeration to its end, pulling `perPull` at a time; the items' XML.
std::vector<std::string> EnumerateAll(const WsmanTestServer& server, const std::string& ns,
                                      const std::string& wql, int maxEnvelope = 512000,
                                      int perPull = 32000) {
    std::vector<std::string> bodies;
    const std::string uri = "http://schemas.microsoft.com/wbem/wsman/1/wmi/" + ns + "/*";
    Reply r = Post(server,
                   Request(kActEnumerate, uri, EnumerateBody(wql, true, perPull), {}, maxEnvelope),
                   Basic(server));
    bodies.push_back(r.body);
    for (int guard = 0; guard < 1000; ++guard) {
        Xml x(bodies.back());
        if (x.Count("//n:EndOfSequence|//w:EndOfSequence") > 0 || x.Count("//s:Fault") > 0) break;
        std::string context = x.One("//n:EnumerationContext");
        r = Post(server, Request(kActPull, uri, PullBody(context, perPull), {}, maxEnvelope),
                 Basic(server));
        bodies.push_back(r.body);
    }
    return bodies;
}

TEST(WsmanTestServer, CertificateFingerprintAndIdentify) {
    WsmanTestServer server(Opts("sim://WSIDENT?vms=1"));
    // The fingerprint is the SHA-256 of the certificate the server presents (curl verified the
    // same certificate against the PEM below).
    BIO* bio = BIO_new_mem_buf(server.CertificatePem().data(),
                               static_cast<int>(server.CertificatePem().size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    ASSERT_NE(cert, nullptr);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    X509_digest(cert, EVP_sha256(), md, &len);
    std::string hex;
    for (unsigned i = 0; i < len; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", md[i]);
        hex += b;
    }
    X509_free(cert);
    BIO_free(bio);
    EXPECT_EQ(server.Fingerprint(), hex);
    EXPECT_EQ(server.HostText("ntlm"), "https://127.0.0.1:" + std::to_string(server.Port()) +
                                           "/wsman?auth=ntlm&tls=sha256:" + hex);

    const std::string identify =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
        "<s:Header/><s:Body><wsmid:Identify/></s:Body></s:Envelope>";
    Reply r = Post(server, identify, Basic(server));
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    EXPECT_EQ(r.status, 200);
    Xml x(r.body);
    EXPECT_EQ(x.One("//wsmid:IdentifyResponse/wsmid:ProductVendor"), "Microsoft Corporation");
    EXPECT_EQ(x.One("//wsmid:ProtocolVersion"), "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd");

    // Without credentials only the explicitly unauthenticated form is answered.
    Reply anon = Post(server, identify, Client{});
    EXPECT_EQ(anon.status, 401);
    EXPECT_TRUE(anon.HasHeader("WWW-Authenticate: Basic realm=\"WSMAN\""));
    Client unauth;
    unauth.extraHeaders = {"WSMANIDENTIFY: unauthenticated"};
    EXPECT_EQ(Post(server, identify, unauth).status, 200);
    // ... and that header opens nothing else.
    Reply sneak = Post(server,
                       Request(kActEnumerate, std::string(kVirtBase) + "*",
                               EnumerateBody("select * from Msvm_ComputerSystem", true)),
                       unauth);
    EXPECT_EQ(sneak.status, 401);
    EXPECT_EQ(server.RequestCount("Identify"), 2u);
}

TEST(WsmanTestServer, AuthenticationRefusedWithoutOrWithWrongCredentials) {
    WsmanTestServer server(Opts("sim://WSAUTH?vms=1"));
    const std::string rq = Request(kActEnumerate, std::string(kVirtBase) + "*",
                                   EnumerateBody("select * from Msvm_ComputerSystem", true));
    Reply none = Post(server, rq, Client{});
    EXPECT_EQ(none.status, 401);
    EXPECT_TRUE(none.body.empty());
    Client wrong = Basic(server);
    wrong.password += "x";
    EXPECT_EQ(Post(server, rq, wrong).status, 401);
    Client otherUser = Basic(server);
    otherUser.user = "someone";
    EXPECT_EQ(Post(server, rq, otherUser).status, 401);
    EXPECT_EQ(server.UnauthorizedCount(), 3u);
    // The domain form of the account is the same account.
    Client domain = Basic(server);
    domain.user = server.Options().ntlmDomain + "\\" + domain.user;
    EXPECT_EQ(Post(server, rq, domain).status, 200);
    EXPECT_EQ(server.RequestCount("/Enumerate"), 1u);
}

TEST(WsmanTestServer, NtlmAuthenticatesTheConnection) {
    WsmanTestServerOptions o = Opts("sim://WSNTLM?vms=2");
    o.ntlm = true;
    WsmanTestServer server(o);
    const std::string rq = Request(kActEnumerate, std::string(kVirtBase) + "*",
                                   EnumerateBody("select * from Msvm_ComputerSystem where "
                                                 "Caption = 'Virtual Machine'",
                                                 true));
    Client ntlm{o.ntlmDomain + "\\" + o.user, o.password, CURLAUTH_NTLM};
    Reply r = Post(server, rq, ntlm);
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    ASSERT_EQ(r.status, 200) << r.body;
    Xml x(r.body, std::string(kVirtBase) + "Msvm_ComputerSystem");
    EXPECT_EQ(x.Count("//w:Items/p:Msvm_ComputerSystem"), 2u);
    // The handshake's first leg was answered with the challenge.
    EXPECT_TRUE(r.HasHeader("WWW-Authenticate: NTLM "));
    // A wrong password ends in 401.
    Client wrong = ntlm;
    wrong.password = "not-it";
    EXPECT_EQ(Post(server, rq, wrong).status, 401);
    // The challenge without credentials offers NTLM and Basic.
    Reply none = Post(server, rq, Client{});
    EXPECT_EQ(none.status, 401);
    EXPECT_TRUE(none.HasHeader("WWW-Authenticate: NTLM"));
    EXPECT_TRUE(none.HasHeader("WWW-Authenticate: Basic realm=\"WSMAN\""));
}

TEST(WsmanTestServer, EnumeratePullYieldsTheSimulatorsVms) {
    WsmanTestServer server(Opts("sim://WSENUM?vms=5"));
    auto vms = VmsById("WSENUM");
    ASSERT_EQ(vms.size(), 5u);
    const std::string uri = std::string(kVirtBase) + "*";
    // Not optimized: the reply carries only a context; Pull two at a time to the end.
    Reply r = Post(server,
                   Request(kActEnumerate, uri,
                           EnumerateBody("SELECT * FROM Msvm_ComputerSystem WHERE "
                                         "Caption = 'Virtual Machine'",
                                         false)),
                   Basic(server));
    ASSERT_EQ(r.status, 200) << r.body;
    Xml first(r.body);
    EXPECT_EQ(first.Count("//n:EnumerateResponse/w:Items"), 0u);
    std::string context = first.One("//n:EnumerateResponse/n:EnumerationContext");
    ASSERT_EQ(context.rfind("uuid:", 0), 0u) << r.body;
    EXPECT_EQ(server.OpenEnumerations(), 1u);

    const std::string p = std::string(kVirtBase) + "Msvm_ComputerSystem";
    std::map<std::string, std::string> names;
    std::map<std::string, std::string> states;
    int pulls = 0;
    for (;;) {
        Reply pr = Post(server, Request(kActPull, uri, PullBody(context, 2)), Basic(server));
        ASSERT_EQ(pr.status, 200) << pr.body;
        ++pulls;
        Xml x(pr.body, p);
        auto ids = x.All("//n:Items/p:Msvm_ComputerSystem/p:Name");
        auto elementNames = x.All("//n:Items/p:Msvm_ComputerSystem/p:ElementName");
        auto enabled = x.All("//n:Items/p:Msvm_ComputerSystem/p:EnabledState");
        ASSERT_EQ(ids.size(), elementNames.size());
        ASSERT_EQ(ids.size(), enabled.size());
        EXPECT_LE(ids.size(), 2u);
        EXPECT_EQ(
            x.Count("//n:Items/p:Msvm_ComputerSystem[@xsi:type='p:Msvm_ComputerSystem_Type']"),
            ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            names[ids[i]] = elementNames[i];
            states[ids[i]] = enabled[i];
        }
        if (x.Count("//n:PullResponse/n:EndOfSequence") == 1) {
            EXPECT_EQ(x.Count("//n:PullResponse/n:EnumerationContext"), 0u);
            break;
        }
        context = x.One("//n:PullResponse/n:EnumerationContext");
        ASSERT_LT(pulls, 10);
    }
    EXPECT_EQ(pulls, 3);
    ASSERT_EQ(names.size(), vms.size());
    for (const auto& [id, vm] : vms) {
        EXPECT_EQ(names[id], vm.name);
        EXPECT_EQ(states[id], std::to_string(vm.enabledState));
    }
    EXPECT_EQ(server.OpenEnumerations(), 0u);
    // The finished context is gone.
    Reply again = Post(server, Request(kActPull, uri, PullBody(context, 2)), Basic(server));
    EXPECT_EQ(again.status, 500);
    Xml fault(again.body);
    EXPECT_EQ(fault.One("//s:Fault/s:Code/s:Subcode/s:Value"), "n:InvalidEnumerationContext");
}

TEST(WsmanTestServer, OptimizedEnumerationRendersValuesLikeWindows) {
    WsmanTestServer server(Opts("sim://WSVALUES?vms=3"));
    auto vms = VmsById("WSVALUES");
    const std::string vmId = vms.begin()->first;
    auto bodies = EnumerateAll(server, "root/virtualization/v2",
                               "select * from Msvm_ComputerSystem where Name = '" + vmId + "'");
    ASSERT_EQ(bodies.size(), 1u);  // everything in the first reply
    const std::string p = std::string(kVirtBase) + "Msvm_ComputerSystem";
    Xml x(bodies[0], p);
    // Sample 01's shape: empty context, items, EndOfSequence in the wsman namespace.
    EXPECT_EQ(x.One("//n:EnumerateResponse/n:EnumerationContext"), "");
    EXPECT_EQ(x.Count("//n:EnumerateResponse/w:EndOfSequence"), 1u);
    EXPECT_EQ(x.One("//w:Items/p:Msvm_ComputerSystem/p:Name"), vmId);
    EXPECT_EQ(x.One("//w:Items/p:Msvm_ComputerSystem/p:CreationClassName"), "Msvm_ComputerSystem");
    // uint64 as text, a date-time as cim:Datetime (xs:dateTime), nulls as xsi:nil.
    EXPECT_EQ(x.Count("//p:Msvm_ComputerSystem/p:OnTimeInMilliseconds[not(*)]"), 1u);
    std::string when = x.One("//p:Msvm_ComputerSystem/p:TimeOfLastStateChange/cim:Datetime");
    EXPECT_EQ(when.size() >= 20 && when[4] == '-' && when[10] == 'T', true) << when;
    EXPECT_EQ(x.Count("//p:Msvm_ComputerSystem/p:OtherEnabledState[@xsi:nil='true']"), 1u);
    // Arrays repeat their element.
    EXPECT_GE(x.Count("//p:Msvm_ComputerSystem/p:AvailableRequestedStates"), 1u);

    // A column-list query gives w:XmlFragment items with unqualified elements.
    auto frag = EnumerateAll(server, "root/virtualization/v2",
                             "select Name, EnabledState from Msvm_ComputerSystem where Caption = "
                             "'Virtual Machine'");
    Xml f(frag.back());
    std::set<std::string> ids;
    for (auto& id : f.All("//w:Items/w:XmlFragment/Name")) ids.insert(id);
    EXPECT_EQ(ids.size(), vms.size());
    for (const auto& [id, vm] : vms) EXPECT_TRUE(ids.count(id)) << id;
    EXPECT_EQ(f.Count("//w:XmlFragment/ElementName"), 0u);
}

TEST(WsmanTestServer, EnumerationWithEndpointReferences) {
    WsmanTestServer server(Opts("sim://WSEPR?vms=2"));
    ASSERT_EQ(server.SimHostName(), "WSEPR");
    auto vms = VmsById(server.SimHostName());
    const std::string p = std::string(kVirtBase) + "Msvm_ComputerSystem";
    Reply r = Post(server,
                   Request(kActEnumerate, std::string(kVirtBase) + "*",
                           "<n:Enumerate><w:OptimizeEnumeration/><w:MaxElements>10</w:MaxElements>"
                           "<w:EnumerationMode>EnumerateObjectAndEPR</w:EnumerationMode>"
                           "<w:Filter Dialect=\"http://schemas.microsoft.com/wbem/wsman/1/WQL\">"
                           "select * from Msvm_ComputerSystem where Caption = 'Virtual Machine'"
                           "</w:Filter></n:Enumerate>"),
                   Basic(server));
    ASSERT_EQ(r.status, 200) << r.body;
    Xml x(r.body, p);
    EXPECT_EQ(x.Count("//w:Items/w:Item"), vms.size());
    for (const auto& [id, vm] : vms) {
        const std::string item = "//w:Item[p:Msvm_ComputerSystem/p:Name='" + id + "']";
        EXPECT_EQ(x.One(item + "/a:EndpointReference/a:ReferenceParameters/w:ResourceURI"), p);
        EXPECT_EQ(x.One(item + "/a:EndpointReference//w:Selector[@Name='Name']"), id);
        EXPECT_EQ(x.One(item + "/a:EndpointReference//w:Selector[@Name='CreationClassName']"),
                  "Msvm_ComputerSystem");
    }
}

TEST(WsmanTestServer, AssociatorsOfAVm) {
    WsmanTestServer server(Opts("sim://WSASSOC?vms=2"));
    SimHost host = SimHost::Get("WSASSOC");
    const SimVmInfo vm = host.ListVms().front();
    const std::string path = "\\\\" + host.ComputerName() +
                             "\\root\\virtualization\\v2:Msvm_ComputerSystem.CreationClassName="
                             "\"Msvm_ComputerSystem\",Name=\"" +
                             vm.id + "\"";
    auto bodies = EnumerateAll(
        server, "root/virtualization/v2",
        "ASSOCIATORS OF {" + path + "} WHERE resultClass = Msvm_VirtualSystemSettingData");
    Xml x(bodies.back(), std::string(kVirtBase) + "Msvm_VirtualSystemSettingData");
    auto ids = x.All("//w:Items/p:Msvm_VirtualSystemSettingData/p:VirtualSystemIdentifier");
    ASSERT_FALSE(ids.empty()) << bodies.back();
    for (const auto& id : ids) EXPECT_EQ(id, vm.id);
    EXPECT_EQ(x.Count("//w:Items/p:Msvm_VirtualSystemSettingData[p:InstanceID='Microsoft:" + vm.id +
                      "']"),
              1u);
}

TEST(WsmanTestServer, GetBySelectors) {
    WsmanTestServer server(Opts("sim://WSGET?vms=3"));
    auto vms = VmsById("WSGET");
    const auto& [id, vm] = *vms.rbegin();
    const std::string uri = std::string(kVirtBase) + "Msvm_ComputerSystem";
    Reply r = Post(server,
                   Request(kActGet, uri, "",
                           Selectors({{"CreationClassName", "Msvm_ComputerSystem"}, {"Name", id}})),
                   Basic(server));
    ASSERT_EQ(r.status, 200) << r.body;
    Xml x(r.body, uri);
    EXPECT_EQ(x.One("/s:Envelope/s:Body/p:Msvm_ComputerSystem/p:ElementName"), vm.name);
    EXPECT_EQ(x.One("//a:Action"), "http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse");
    EXPECT_EQ(x.One("//a:RelatesTo"), "uuid:55F28C75-F63E-4F68-8360-A8C478003959");

    // A missing key selector.
    Reply missing =
        Post(server, Request(kActGet, uri, "", Selectors({{"Name", id}})), Basic(server));
    EXPECT_EQ(missing.status, 500);
    Xml m(missing.body);
    EXPECT_EQ(m.One("//s:Subcode/s:Value"), "w:InvalidSelectors");
    EXPECT_EQ(m.One("//f:WSManFault/@Code"), "2150858842");
    // A selector that is no key.
    Reply extra = Post(server,
                       Request(kActGet, uri, "",
                               Selectors({{"CreationClassName", "Msvm_ComputerSystem"},
                                          {"Name", id},
                                          {"ElementName", vm.name}})),
                       Basic(server));
    EXPECT_EQ(Xml(extra.body).One("//f:WSManFault/@Code"), "2150858843");
    // A VM that does not exist: the WMI "not found" code.
    Reply none = Post(server,
                      Request(kActGet, uri, "",
                              Selectors({{"CreationClassName", "Msvm_ComputerSystem"},
                                         {"Name", "00000000-0000-0000-0000-000000000000"}})),
                      Basic(server));
    Xml n(none.body);
    EXPECT_EQ(n.One("//s:Subcode/s:Value"), "a:DestinationUnreachable");
    EXPECT_EQ(n.One("//e:MSFT_WmiError/e:error_Code"), "2147749890");  // 0x80041002
}

TEST(WsmanTestServer, InvokeRequestStateChangeStartsAJobThatGetReads) {
    WsmanTestServer server(Opts("sim://WSINVOKE?vms=4"));
    SimHost host = SimHost::Get("WSINVOKE");
    std::string stopped, running;
    for (const auto& vm : host.ListVms()) {
        if (vm.enabledState == 3 && stopped.empty()) stopped = vm.id;
        if (vm.enabledState == 2 && running.empty()) running = vm.id;
    }
    if (stopped.empty()) {
        stopped = host.ListVms().front().id;
        host.SetVmState(stopped, 3);
    }
    if (running.empty() || running == stopped) {
        running = host.ListVms().back().id;
        host.SetVmState(running, 2);
    }
    const std::string uri = std::string(kVirtBase) + "Msvm_ComputerSystem";
    auto invoke = [&](const std::string& vmId, int state) {
        return Post(
            server,
            Request(uri + "/RequestStateChange", uri,
                    "<p:RequestStateChange_INPUT xmlns:p=\"" + uri + "\"><p:RequestedState>" +
                        std::to_string(state) + "</p:RequestedState></p:RequestStateChange_INPUT>",
                    Selectors({{"CreationClassName", "Msvm_ComputerSystem"}, {"Name", vmId}})),
            Basic(server));
    };
    Reply r = invoke(stopped, 2);
    ASSERT_EQ(r.status, 200) << r.body;
    Xml x(r.body, uri);
    EXPECT_EQ(x.One("//a:Action"), uri + "/RequestStateChangeResponse");
    EXPECT_EQ(x.One("//p:RequestStateChange_OUTPUT/p:ReturnValue"), "4096");
    // The job as an endpoint reference (sample 28's form), which a Get then reads.
    const std::string jobUri = x.One(
        "//p:RequestStateChange_OUTPUT/p:Job/a:ReferenceParameters/"
        "w:ResourceURI");
    EXPECT_EQ(jobUri, std::string(kVirtBase) + "Msvm_ConcreteJob");
    const std::string jobId = x.One(
        "//p:Job/a:ReferenceParameters/w:SelectorSet/"
        "w:Selector[@Name='InstanceID']");
    ASSERT_FALSE(jobId.empty());
    Reply job = Post(server, Request(kActGet, jobUri, "", Selectors({{"InstanceID", jobId}})),
                     Basic(server));
    ASSERT_EQ(job.status, 200) << job.body;
    Xml j(job.body, jobUri);
    EXPECT_EQ(j.One("//p:Msvm_ConcreteJob/p:InstanceID"), jobId);
    const std::string jobState = j.One("//p:Msvm_ConcreteJob/p:JobState");
    // New (2), starting (3), running (4) or completed (7), as the host's job reports it.
    EXPECT_TRUE(jobState == "2" || jobState == "3" || jobState == "4" || jobState == "7")
        << jobState;

    // Starting a running VM: the host's "invalid state" return code, no job.
    Reply bad = invoke(running, 2);
    Xml b(bad.body, uri);
    EXPECT_EQ(b.One("//p:RequestStateChange_OUTPUT/p:ReturnValue"), "32775");
    EXPECT_EQ(b.Count("//p:RequestStateChange_OUTPUT/p:Job[not(@xsi:nil)]"), 0u);

    // A parameter that is no number, and one the method does not have.
    Reply text =
        Post(server,
             Request(uri + "/RequestStateChange", uri,
                     "<p:RequestStateChange_INPUT xmlns:p=\"" + uri +
                         "\"><p:RequestedState>two</p:RequestedState>"
                         "</p:RequestStateChange_INPUT>",
                     Selectors({{"CreationClassName", "Msvm_ComputerSystem"}, {"Name", running}})),
             Basic(server));
    EXPECT_EQ(Xml(text.body).One("//s:Subcode/s:Value"), "w:InvalidParameter");
    Reply unknown =
        Post(server,
             Request(uri + "/Explode", uri, "<p:Explode_INPUT xmlns:p=\"" + uri + "\"/>",
                     Selectors({{"CreationClassName", "Msvm_ComputerSystem"}, {"Name", running}})),
             Basic(server));
    EXPECT_EQ(Xml(unknown.body).One("//s:Subcode/s:Value"), "a:ActionNotSupported");
}

TEST(WsmanTestServer, InvokeGetSummaryInformationGivesEmbeddedInstances) {
    WsmanTestServer server(Opts("sim://WSSUMMARY?vms=3"));
    auto vms = VmsById("WSSUMMARY");
    SimHost host = SimHost::Get("WSSUMMARY");
    const std::string uri = std::string(kVirtBase) + "Msvm_VirtualSystemManagementService";
    // The one management service, found by enumeration as the workspace finds it.
    auto svc = EnumerateAll(server, "root/virtualization/v2",
                            "select * from MSVM_VirtualSystemManagementService");
    Xml s(svc.back(), uri);
    const std::string name = s.One("//p:Msvm_VirtualSystemManagementService/p:Name");
    EXPECT_EQ(s.One("//p:Msvm_VirtualSystemManagementService/p:SystemName"), host.ComputerName());
    Reply r = Post(server,
                   Request(uri + "/GetSummaryInformation", uri,
                           "<p:GetSummaryInformation_INPUT xmlns:p=\"" + uri +
                               "\"><p:RequestedInformation>0</p:RequestedInformation>"
                               "<p:RequestedInformation>1</p:RequestedInformation>"
                               "<p:RequestedInformation>100</p:RequestedInformation>"
                               "</p:GetSummaryInformation_INPUT>",
                           Selectors({{"CreationClassName", "Msvm_VirtualSystemManagementService"},
                                      {"Name", name},
                                      {"SystemCreationClassName", "Msvm_ComputerSystem"},
                                      {"SystemName", host.ComputerName()}})),
                   Basic(server));
    ASSERT_EQ(r.status, 200) << r.body;
    Xml x(r.body, uri);
    EXPECT_EQ(x.One("//p:GetSummaryInformation_OUTPUT/p:ReturnValue"), "0");
    EXPECT_EQ(x.Count("//p:SummaryInformation"), vms.size());
    EXPECT_EQ(x.Count("//p:SummaryInformation[substring-after(@xsi:type, ':') = "
                      "'Msvm_SummaryInformation_Type']"),
              vms.size());
    for (const auto& [id, vm] : vms) {
        EXPECT_EQ(x.One("//p:SummaryInformation[sum:Name='" + id + "']/sum:ElementName"), vm.name);
        EXPECT_EQ(x.One("//p:SummaryInformation[sum:Name='" + id + "']/sum:EnabledState"),
                  std::to_string(vm.enabledState));
    }
}

TEST(WsmanTestServer, InvokeWithAnEmbeddedInstanceInElementForm) {
    WsmanTestServer server(Opts("sim://WSMODIFY?vms=2"));
    SimHost host = SimHost::Get("WSMODIFY");
    const SimVmInfo vm = host.ListVms().front();
    const std::string uri = std::string(kVirtBase) + "Msvm_VirtualSystemManagementService";
    const std::string vssd = std::string(kVirtBase) + "Msvm_VirtualSystemSettingData";
    auto svc = EnumerateAll(server, "root/virtualization/v2",
                            "select * from Msvm_VirtualSystemManagementService");
    const std::string name =
        Xml(svc.back(), uri).One("//p:Msvm_VirtualSystemManagementService/p:Name");
    Reply r = Post(server,
                   Request(uri + "/ModifySystemSettings", uri,
                           "<p:ModifySystemSettings_INPUT xmlns:p=\"" + uri +
                               "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
                               "<p:SystemSettings xmlns:q=\"" +
                               vssd +
                               "\" xsi:type=\"q:Msvm_VirtualSystemSettingData_Type\">"
                               "<q:InstanceID>Microsoft:" +
                               vm.id +
                               "</q:InstanceID>"
                               "<q:ElementName>renamed &amp; moved</q:ElementName>"
                               "<q:VirtualSystemIdentifier>" +
                               vm.id +
                               "</q:VirtualSystemIdentifier>"
                               "</p:SystemSettings></p:ModifySystemSettings_INPUT>",
                           Selectors({{"CreationClassName", "Msvm_VirtualSystemManagementService"},
                                      {"Name", name},
                                      {"SystemCreationClassName", "Msvm_ComputerSystem"},
                                      {"SystemName", host.ComputerName()}})),
                   Basic(server));
    ASSERT_EQ(r.status, 200) << r.body;
    Xml x(r.body, uri);
    const std::string rv = x.One("//p:ModifySystemSettings_OUTPUT/p:ReturnValue");
    ASSERT_TRUE(rv == "0" || rv == "4096") << r.body;
    // The settings change lands on the host (at once or when its job ends).
    bool renamed = false;
    for (int i = 0; i < 100 && !renamed; ++i) {
        for (const auto& v : host.ListVms())
            if (v.id == vm.id && v.name == "renamed & moved") renamed = true;
        if (!renamed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(renamed);
}

TEST(WsmanTestServer, FaultsForBadClassAndNamespace) {
    WsmanTestServer server(Opts("sim://WSFAULT?vms=1"));
    Reply cls = Post(server,
                     Request(kActEnumerate, std::string(kVirtBase) + "*",
                             EnumerateBody("select * from Msvm_NoSuchClass", true)),
                     Basic(server));
    EXPECT_EQ(cls.status, 500);
    Xml c(cls.body);
    EXPECT_EQ(c.One("//a:Action"), "http://schemas.xmlsoap.org/ws/2004/09/enumeration/fault");
    EXPECT_EQ(c.One("//s:Code/s:Value"), "s:Sender");
    EXPECT_EQ(c.One("//s:Subcode/s:Value"), "n:CannotProcessFilter");
    EXPECT_EQ(c.One("//f:WSManFault/@Code"), "2150858778");
    EXPECT_EQ(c.One("//e:MSFT_WmiError/e:error_Code"), "2147749904");  // 0x80041010

    Reply ns =
        Post(server,
             Request(kActEnumerate, "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/nowhere/*",
                     EnumerateBody("select * from Msvm_ComputerSystem", true)),
             Basic(server));
    EXPECT_EQ(ns.status, 500);
    Xml n(ns.body);
    EXPECT_EQ(n.One("//s:Subcode/s:Value"), "a:DestinationUnreachable");
    EXPECT_EQ(n.One("//e:MSFT_WmiError/e:error_Code"), "2147749902");  // 0x8004100E

    // The host's namespace going away answers the same way.
    SimHost::Get("WSFAULT").SetNamespacePresent("root\\virtualization\\v2", false);
    Reply gone = Post(server,
                      Request(kActEnumerate, std::string(kVirtBase) + "*",
                              EnumerateBody("select * from Msvm_ComputerSystem", true)),
                      Basic(server));
    SimHost::Get("WSFAULT").SetNamespacePresent("root\\virtualization\\v2", true);
    EXPECT_EQ(Xml(gone.body).One("//e:MSFT_WmiError/e:error_Code"), "2147749902");

    // Not an envelope at all.
    Reply junk = Post(server, "<not-soap/>", Basic(server));
    EXPECT_EQ(Xml(junk.body).One("//s:Subcode/s:Value"), "w:SchemaValidationError");
    // A document type declaration is refused before anything is expanded.
    Reply dtd = Post(server,
                     "<!DOCTYPE s:Envelope [<!ENTITY x \"y\">]>" +
                         Request(kActEnumerate, std::string(kVirtBase) + "*",
                                 EnumerateBody("select * from Msvm_ComputerSystem", true)),
                     Basic(server));
    EXPECT_EQ(Xml(dtd.body).One("//s:Subcode/s:Value"), "w:SchemaValidationError");
    // An unknown action.
    Reply act = Post(server, Request("http://example.invalid/Do", std::string(kVirtBase) + "X", ""),
                     Basic(server));
    EXPECT_EQ(Xml(act.body).One("//s:Subcode/s:Value"), "a:ActionNotSupported");
}

TEST(WsmanTestServer, QuotaOfConcurrentOperationsPerUser) {
    WsmanTestServerOptions o = Opts("sim://WSQUOTA?vms=2");
    o.maxOperationsPerUser = 3;
    WsmanTestServer server(o);
    const std::string uri = std::string(kVirtBase) + "*";
    const std::string enumerate =
        Request(kActEnumerate, uri, EnumerateBody("select * from Msvm_ComputerSystem", false));
    std::vector<std::string> contexts;
    for (int i = 0; i < 3; ++i) {
        Reply r = Post(server, enumerate, Basic(server));
        ASSERT_EQ(r.status, 200) << r.body;
        contexts.push_back(Xml(r.body).One("//n:EnumerationContext"));
    }
    Reply over = Post(server, enumerate, Basic(server));
    EXPECT_EQ(over.status, 500);
    Xml q(over.body);
    EXPECT_EQ(q.One("//s:Subcode/s:Value"), "w:QuotaLimit");
    EXPECT_EQ(q.One("//e:MSFT_WmiError/e:error_Code"), "2150859173");
    // Pull and Release stay possible at the limit.
    Reply pull = Post(server, Request(kActPull, uri, PullBody(contexts[0], 1)), Basic(server));
    EXPECT_EQ(pull.status, 200) << pull.body;
    Reply rel = Post(server,
                     Request(kActRelease, uri,
                             "<n:Release><n:EnumerationContext>" + contexts[1] +
                                 "</n:EnumerationContext></n:Release>"),
                     Basic(server));
    EXPECT_EQ(rel.status, 200) << rel.body;
    EXPECT_EQ(Xml(rel.body).One("//a:Action"),
              "http://schemas.xmlsoap.org/ws/2004/09/enumeration/ReleaseResponse");
    EXPECT_EQ(server.OpenEnumerations(), 2u);
    EXPECT_EQ(Post(server, enumerate, Basic(server)).status, 200);
    // A released context cannot be pulled.
    Reply released = Post(server, Request(kActPull, uri, PullBody(contexts[1], 1)), Basic(server));
    EXPECT_EQ(Xml(released.body).One("//f:WSManFault/@Code"), "2150858779");
}

TEST(WsmanTestServer, QuotaCountsOperationsInFlight) {
    WsmanTestServerOptions o = Opts("sim://WSINFLIGHT?vms=2");
    o.maxOperationsPerUser = 1;
    WsmanTestServer server(o);
    SimHost host = SimHost::Get(server.SimHostName());
    const std::string rq = Request(kActEnumerate, std::string(kVirtBase) + "*",
                                   EnumerateBody("select * from Msvm_ComputerSystem", true));
    // The first query hangs in the host until the hooks are cleared.
    host.SetCallDelay("ExecQuery", "Msvm_ComputerSystem", std::chrono::minutes(5), 1);
    const auto before = host.CallCount("ExecQuery");
    Reply first;
    std::thread slow([&] { first = Post(server, rq, Basic(server)); });
    for (int i = 0; i < 2000 && host.CallCount("ExecQuery") == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(host.CallCount("ExecQuery"), before);
    Reply second = Post(server, rq, Basic(server));
    EXPECT_EQ(Xml(second.body).One("//s:Subcode/s:Value"), "w:QuotaLimit");
    host.ClearHooks();
    slow.join();
    EXPECT_EQ(first.status, 200) << first.body;
    // Once it has ended, the user may run the next one.
    EXPECT_EQ(Post(server, rq, Basic(server)).status, 200);
}

TEST(WsmanTestServer, EnumerationContextsExpire) {
    WsmanTestServerOptions o = Opts("sim://WSEXPIRE?vms=2");
    o.enumerationExpiry = std::chrono::milliseconds(50);
    o.maxOperationsPerUser = 1;
    WsmanTestServer server(o);
    const std::string uri = std::string(kVirtBase) + "*";
    const std::string enumerate =
        Request(kActEnumerate, uri, EnumerateBody("select * from Msvm_ComputerSystem", false));
    Reply r = Post(server, enumerate, Basic(server));
    const std::string context = Xml(r.body).One("//n:EnumerationContext");
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    Reply pull = Post(server, Request(kActPull, uri, PullBody(context, 1)), Basic(server));
    EXPECT_EQ(pull.status, 500);
    Xml x(pull.body);
    EXPECT_EQ(x.One("//s:Subcode/s:Value"), "n:InvalidEnumerationContext");
    EXPECT_EQ(x.One("//f:WSManFault/@Code"), "2150858779");
    // The expired context no longer counts against the quota.
    EXPECT_EQ(server.OpenEnumerations(), 0u);
    EXPECT_EQ(Post(server, enumerate, Basic(server)).status, 200);
    // A context that never was.
    Reply bogus = Post(server, Request(kActPull, uri, PullBody("uuid:nothing", 1)), Basic(server));
    EXPECT_EQ(Xml(bogus.body).One("//s:Subcode/s:Value"), "n:InvalidEnumerationContext");
}

TEST(WsmanTestServer, EnvelopeSizeLimits) {
    const std::string uri = std::string(kVirtBase) + "*";
    {
        WsmanTestServer server(Opts("sim://WSENVELOPE?vms=12"));
        // The request's limit below 8192 is refused.
        Reply small =
            Post(server,
                 Request(kActEnumerate, uri,
                         EnumerateBody("select * from Msvm_ComputerSystem", true), {}, 4096),
                 Basic(server));
        Xml s(small.body);
        EXPECT_EQ(s.One("//s:Subcode/s:Value"), "w:EncodingLimit");
        EXPECT_EQ(s.One("//f:WSManFault/@Code"), "2150858823");
        // Within a 12000-byte limit the items come in several replies, each within the limit,
        // and all of them arrive.
        auto bodies = EnumerateAll(server, "root/virtualization/v2",
                                   "select * from Msvm_ComputerSystem where Caption = 'Virtual "
                                   "Machine'",
                                   12000);
        EXPECT_GT(bodies.size(), 1u);
        std::size_t items = 0;
        for (const auto& b : bodies) {
            EXPECT_LE(b.size(), 12000u);
            items += Xml(b, std::string(kVirtBase) + "Msvm_ComputerSystem")
                         .Count("//p:Msvm_ComputerSystem");
        }
        EXPECT_EQ(items, 12u);
    }
    {
        // A server whose own limit is too small for one instance.
        WsmanTestServerOptions o = Opts("sim://WSENVELOPE2?vms=1");
        o.maxEnvelopeSize = 1500;
        WsmanTestServer server(o);
        auto vm = SimHost::Get("WSENVELOPE2").ListVms().front();
        Reply get = Post(
            server,
            Request(kActGet, std::string(kVirtBase) + "Msvm_ComputerSystem", "",
                    Selectors({{"CreationClassName", "Msvm_ComputerSystem"}, {"Name", vm.id}})),
            Basic(server));
        Xml g(get.body);
        EXPECT_EQ(g.One("//s:Subcode/s:Value"), "w:EncodingLimit");
        EXPECT_EQ(g.One("//f:WSManFault/@Code"), "2150858824");
        Reply en = Post(
            server,
            Request(kActEnumerate, uri, EnumerateBody("select * from Msvm_ComputerSystem", true)),
            Basic(server));
        EXPECT_EQ(Xml(en.body).One("//f:WSManFault/@Code"), "2150858824");
    }
}

TEST(WsmanTestServer, HooksMakeAHostileHost) {
    WsmanTestServer server(Opts("sim://WSHOOK?vms=1"));
    const std::string rq = Request(kActEnumerate, std::string(kVirtBase) + "*",
                                   EnumerateBody("select * from Msvm_ComputerSystem", true));
    server.SetHook(WsmanHook::MalformedXml, 1);
    Reply bad = Post(server, rq, Basic(server));
    EXPECT_EQ(bad.status, 200);
    EXPECT_FALSE(Xml(bad.body).Ok());
    // The count ran out: the next request is answered properly.
    Reply good = Post(server, rq, Basic(server));
    EXPECT_EQ(good.status, 200);
    EXPECT_TRUE(Xml(good.body).Ok());

    server.SetHook(WsmanHook::Status500NoBody, 1);
    Reply empty = Post(server, rq, Basic(server));
    EXPECT_EQ(empty.status, 500);
    EXPECT_TRUE(empty.body.empty());

    server.SetHook(WsmanHook::Always401);
    EXPECT_EQ(Post(server, rq, Basic(server)).status, 401);
    EXPECT_EQ(Post(server, rq, Basic(server)).status, 401);
    server.ClearHooks();

    server.SetHugeBodySize(3 * 1024 * 1024);
    server.SetHook(WsmanHook::HugeBody, 1);
    Reply huge = Post(server, rq, Basic(server));
    EXPECT_EQ(huge.status, 200);
    EXPECT_EQ(huge.body.size(), 3u * 1024 * 1024);

    server.SetHook(WsmanHook::NeverReply);
    Client patient = Basic(server);
    patient.timeoutMs = 300;
    Reply hung = Post(server, rq, patient);
    EXPECT_EQ(hung.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(hung.status, 0);
    server.ClearHooks();
    EXPECT_EQ(Post(server, rq, Basic(server)).status, 200);
    // Stopping with a request held must not wait for it.
    server.SetHook(WsmanHook::NeverReply);
    std::thread held([&] { Post(server, rq, patient); });
    held.join();
    server.Stop();
}

TEST(WsmanTestServer, DateTimeConversions) {
    std::string xs, dmtf;
    bool interval = false;
    ASSERT_TRUE(wsmantest::DmtfToXs("20130415162839.500000+000", xs, interval));
    EXPECT_FALSE(interval);
    EXPECT_EQ(xs, "2013-04-15T16:28:39.5Z");
    ASSERT_TRUE(wsmantest::DmtfToXs("20130429114311.203125-420", xs, interval));
    EXPECT_EQ(xs, "2013-04-29T11:43:11.203125-07:00");
    ASSERT_TRUE(wsmantest::XsToDmtf(xs, dmtf));
    EXPECT_EQ(dmtf, "20130429114311.203125-420");
    ASSERT_TRUE(wsmantest::DmtfToXs("00000001020304.000000:000", xs, interval));
    EXPECT_TRUE(interval);
    EXPECT_EQ(xs, "P1DT2H3M4S");
    ASSERT_TRUE(wsmantest::XsToDmtf("P1DT2H3M4.25S", dmtf));
    EXPECT_EQ(dmtf, "00000001020304.250000:000");
    EXPECT_FALSE(wsmantest::DmtfToXs("2013041516", xs, interval));
    EXPECT_FALSE(wsmantest::DmtfToXs("2013041516283*.500000+000", xs, interval));
    EXPECT_FALSE(wsmantest::XsToDmtf("yesterday", dmtf));
    EXPECT_FALSE(wsmantest::XsToDmtf("2013-04-15T16:28:39+0700", dmtf));
}

}  // namespace
}  // namespace hbr
