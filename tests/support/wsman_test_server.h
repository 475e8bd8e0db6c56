#pragma once
// A WS-Management (WinRM) server for tests, standing in for a Windows Hyper-V host: HTTPS on
// 127.0.0.1 with a certificate made in memory, Basic (and optionally NTLM) authentication, and
// the in-process simulated host behind it, answered the way Windows' WMI plug-in answers:
// Identify, Enumerate/Pull/Release with WQL (also ASSOCIATORS OF), Get by selectors, Invoke,
// SOAP faults shaped like Windows', the envelope-size limit, the per-user operation quota and
// enumeration contexts that expire. Hooks make it behave like a broken host.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace hbr {

struct WsmanTestServerOptions {
    // The simulated host served, as a server's host text names it ("sim://NAME?vms=N&seed=S").
    std::string simHost = "sim://WSMAN?vms=4";
    // The one account. Basic always accepts it; NTLM accepts it as DOMAIN\user when `ntlm` is on.
    std::string user = "wsadmin";
    std::string password = "Secret#1";
    std::string ntlmDomain = "WSTEST";
    bool basic = true;
    bool ntlm = false;
    // Negotiate with Kerberos: tokens other than NTLM's are accepted with the keytab that
    // KRB5_KTNAME names (HTTP/<host>), for any principal of the realm.
    bool kerberos = false;
    // The largest reply the server makes (the MaxEnvelopeSizekb of WinRM, in bytes); a request's
    // smaller wsman:MaxEnvelopeSize lowers it for that request.
    std::size_t maxEnvelopeSize = 512000;
    // Operations in flight plus open enumeration contexts, per user.
    int maxOperationsPerUser = 15;
    // An enumeration context not pulled for this long is gone.
    std::chrono::milliseconds enumerationExpiry{std::chrono::seconds(60)};
};

// Ways to misbehave, for the hostile-host tests. Each applies to whole HTTP requests, before
// authentication, for `count` requests (negative: until cleared).
enum class WsmanHook {
    None,
    NeverReply,       // read the request, then hold the connection without answering
    MalformedXml,     // 200 with a body that is not well-formed XML
    HugeBody,         // 200 with a body of HugeBodySize bytes of a well-formed-looking envelope
    Status500NoBody,  // 500 with an empty body
    Always401,        // 401 with the challenge, whatever the credentials
    EntityBomb,       // 200 with nested entity definitions that expand to gigabytes
    UnknownNamespace, // 200 with a well-formed envelope whose body is in a namespace no one knows
};

class WsmanTestServer {
  public:
    explicit WsmanTestServer(WsmanTestServerOptions options = {});
    ~WsmanTestServer();  // stops
    WsmanTestServer(const WsmanTestServer&) = delete;
    WsmanTestServer& operator=(const WsmanTestServer&) = delete;

    std::uint16_t Port() const;
    // SHA-256 of the certificate (DER), 64 lowercase hex digits, as host texts take it in
    // "tls=sha256:<hex>".
    const std::string& Fingerprint() const;
    const std::string& CertificatePem() const;
    // "https://127.0.0.1:PORT/wsman".
    std::string Url() const;
    // A server host text that reaches this server: Url() with "?auth=<auth>&tls=sha256:<hex>".
    std::string HostText(std::string_view auth = "basic") const;
    const WsmanTestServerOptions& Options() const;
    // The NAME of the simulated host served, as SimHost::Get takes it (upper case); empty when
    // the options name no simulated host.
    std::string SimHostName() const;

    void SetHook(WsmanHook hook, int count = -1);
    void SetHugeBodySize(std::size_t bytes);
    void ClearHooks();  // also releases connections held by NeverReply

    // Enumeration contexts open now (all users).
    std::size_t OpenEnumerations() const;
    // Requests whose wsa:Action (or "Identify") ends with `suffix`, since start.
    std::uint64_t RequestCount(std::string_view suffix) const;
    // HTTP bytes (headers and bodies, before TLS) read and written since start.
    std::uint64_t HttpBytesReceived() const;
    std::uint64_t HttpBytesSent() const;
    // Requests refused with 401.
    std::uint64_t UnauthorizedCount() const;
    // Connections authenticated by Kerberos and by NTLM, and the last Kerberos principal.
    std::uint64_t KerberosLogins() const;
    std::uint64_t NtlmLogins() const;
    std::string LastKerberosPrincipal() const;

    void Stop();

    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace hbr
