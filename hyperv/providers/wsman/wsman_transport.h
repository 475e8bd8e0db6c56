#pragma once
// HTTPS to one host's WS-Management service through libcurl: keep-alive connections (one easy
// handle each, reused, so the poller's calls ride one connection), at most 4 requests in flight
// (WinRM allows a user 15 concurrent operations, and several workspaces may share an account),
// a client time-out under WinRM's 60 s operation limit, replies capped at 16 MB, TLS verified
// against the system's CAs, pinned to a SHA-256 fingerprint or explicitly not checked, and
// Basic, NTLM or Negotiate (Kerberos with a ticket got for the stored account, else NTLM).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/providers/wsman/wsman_target.h"
#include "hyperv/wmi/wmi_provider.h"

namespace hbr::wsman {

// HRESULTs of transport failures, named after what Windows answers for the same events.
inline constexpr HResult kEInvalidServerResponse = MakeHResult(0x80072F78);  // unreadable reply
inline constexpr HResult kESecureFailure = MakeHResult(0x80072F8F);          // TLS / certificate

struct TransportLimits {
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds requestTimeout{45000};
    std::size_t maxReplyBytes = 16u << 20;
    int maxInFlight = 4;
};

// The limits of this process: the defaults, changed by HBR_WSMAN_LIMITS when it is set, for
// example "request_timeout_ms=3000,connect_timeout_ms=1000" (comma-separated; unknown names and
// unusable values are ignored). Values can only be lowered: a host that never answers is given
// up on before WinRM's own 60 s, a reply never exceeds 16 MB, and no more than 4 requests are in
// flight.
const TransportLimits& CurrentTransportLimits();
TransportLimits ParseTransportLimits(std::string_view text);

struct HttpReply {
    // kSOk when the host answered (any status); otherwise the failure: 0x80010108 for no
    // connection, a reset or a time-out (the codes on which callers reconnect), 0x80070005 when
    // the credentials were refused, kESecureFailure for TLS, kEInvalidServerResponse for a
    // reply over the cap.
    HResult hr = kSOk;
    long status = 0;
    std::string body;
    std::string error;            // a short text for logs and tests
    std::string presentedSha256;  // the fingerprint of the certificate the host presented
};

class Transport {
  public:
    Transport(WsmanTarget target, std::string user, std::string password,
              TransportLimits limits = {});
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    HttpReply Post(std::string_view soap);

    const WsmanTarget& Target() const { return target_; }
    const TransportLimits& Limits() const { return limits_; }
    // Connections made so far (each new TCP connection counts); for tests of keep-alive.
    std::uint64_t ConnectionsMade() const;

  private:
    struct Handle;
    std::unique_ptr<Handle> Acquire(HttpReply& reply);
    void Return(std::unique_ptr<Handle> handle);
    bool PrepareKerberos();
    HttpReply Perform(Handle& handle, std::string_view soap, long authMask);

    WsmanTarget target_;
    std::string user_;
    std::string password_;
    TransportLimits limits_;

    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Handle>> idle_;
    int handles_ = 0;

    std::mutex kerberosMutex_;
    std::string ccacheName_;  // "MEMORY:..." once a ticket was got
    bool kerberosTried_ = false;
    bool kerberosFailed_ = false;

    mutable std::mutex countMutex_;
    std::uint64_t connections_ = 0;
};

// The fingerprint of the certificate a host text's host presented when verification last
// failed there (64 lower-case hex digits), empty when none is known. The servers page offers it
// for pinning.
std::string PresentedCertificate(std::string_view url);

}  // namespace hbr::wsman
