#pragma once
// Where a remote Hyper-V host's WS-Management service is and how to talk to it, read from the
// server's host text: "hv1" or "hv1.corp.example" (https://NAME:5986/wsman), or a full
// "https://NAME[:PORT][/PATH]" taken as written, each with optional query options
//   auth=ntlm|basic|negotiate   (default ntlm)
//   tls=verify|insecure|sha256:<64 hex digits>   (default verify against the system's CAs)
//   embed=dsp0230|cimxml   (how embedded-instance method parameters are written; default dsp0230)
//   envelope=<KB>   (the largest reply asked for, 32 to 16384; default 500, WinRM's own default
//                    MaxEnvelopeSizekb: raise both to see VM thumbnails, which need about 1.5 MB)
#include <cstddef>
#include <string>
#include <string_view>

namespace hbr {

enum class WsmanAuth { Ntlm, Basic, Negotiate };
enum class WsmanTls { Verify, Insecure, Pinned };
enum class WsmanEmbedding { Dsp0230, CimXml };

struct WsmanTarget {
    std::string url;       // "https://host:port/path" without the query
    std::string hostName;  // as written, brackets removed from an IPv6 literal
    int port = 5986;
    WsmanAuth auth = WsmanAuth::Ntlm;
    WsmanTls tls = WsmanTls::Verify;
    std::string pinSha256;  // 64 lower-case hex digits when tls is Pinned
    WsmanEmbedding embedding = WsmanEmbedding::Dsp0230;
    std::size_t maxEnvelopeSize = 512000;  // bytes
};

// False with a reason in `error` for text that is not a usable host text (other schemes, user
// information, unknown or repeated options, characters that do not belong in a host name).
bool ParseWsmanHost(std::string_view text, WsmanTarget& out, std::string& error);

// "AB:cd:..." or "abcd..." (64 hex digits, colons allowed between pairs) to 64 lower-case hex
// digits; empty when it is not a SHA-256 fingerprint.
std::string NormalizeSha256Fingerprint(std::string_view text);

}  // namespace hbr
