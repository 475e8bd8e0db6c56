#include "hyperv/providers/wsman/wsman_target.h"

#include <cctype>
#include <charconv>

namespace hbr {

namespace {

bool IsHostChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

bool IsPathChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '-' ||
           c == '_' || c == '~';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

bool ParseHostPart(std::string_view hostPort, bool portAllowed, WsmanTarget& out,
                   std::string& error) {
    std::string_view host = hostPort;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) {
            error = "unclosed '[' in the host address";
            return false;
        }
        const std::string_view literal = host.substr(1, close - 1);
        if (literal.empty() ||
            literal.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
            error = "not an IPv6 address: " + std::string(literal);
            return false;
        }
        out.hostName = std::string(literal);
        std::string_view rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "unexpected text after the IPv6 address";
                return false;
            }
            port = rest.substr(1);
            if (port.empty()) {
                error = "empty port";
                return false;
            }
        }
    } else {
        const auto colon = host.find(':');
        if (colon != std::string_view::npos) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
            if (port.empty()) {
                error = "empty port";
                return false;
            }
        }
        if (host.empty() || host.size() > 253) {
            error = "the host name is empty or too long";
            return false;
        }
        for (char c : host)
            if (!IsHostChar(c)) {
                error = "the host name holds a character that does not belong in one";
                return false;
            }
        out.hostName = std::string(host);
    }
    if (!port.empty()) {
        if (!portAllowed) {
            error = "a port needs the full form https://NAME:PORT/wsman";
            return false;
        }
        int value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) {
            error = "not a port number: " + std::string(port);
            return false;
        }
        out.port = value;
    }
    return true;
}

bool ParseOptions(std::string_view query, WsmanTarget& out, std::string& error) {
    bool seenAuth = false, seenTls = false, seenEmbed = false, seenEnvelope = false;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
        if (key == "auth") {
            if (seenAuth) {
                error = "the option auth is given twice";
                return false;
            }
            seenAuth = true;
            if (value == "ntlm")
                out.auth = WsmanAuth::Ntlm;
            else if (value == "basic")
                out.auth = WsmanAuth::Basic;
            else if (value == "negotiate")
                out.auth = WsmanAuth::Negotiate;
            else {
                error = "auth must be ntlm, basic or negotiate";
                return false;
            }
        } else if (key == "tls") {
            if (seenTls) {
                error = "the option tls is given twice";
                return false;
            }
            seenTls = true;
            if (value == "verify")
                out.tls = WsmanTls::Verify;
            else if (value == "insecure")
                out.tls = WsmanTls::Insecure;
            else if (value.substr(0, 7) == "sha256:") {
                out.pinSha256 = NormalizeSha256Fingerprint(value.substr(7));
                if (out.pinSha256.empty()) {
                    error =
                        "tls=sha256: needs the certificate's SHA-256 fingerprint (64 hex digits)";
                    return false;
                }
                out.tls = WsmanTls::Pinned;
            } else {
                error = "tls must be verify, insecure or sha256:<fingerprint>";
                return false;
            }
        } else if (key == "embed") {
            if (seenEmbed) {
                error = "the option embed is given twice";
                return false;
            }
            seenEmbed = true;
            if (value == "dsp0230")
                out.embedding = WsmanEmbedding::Dsp0230;
            else if (value == "cimxml")
                out.embedding = WsmanEmbedding::CimXml;
            else {
                error = "embed must be dsp0230 or cimxml";
                return false;
            }
        } else if (key == "envelope") {
            if (seenEnvelope) {
                error = "the option envelope is given twice";
                return false;
            }
            seenEnvelope = true;
            unsigned kb = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), kb);
            // Replies are read up to 16 MB; WinRM takes no envelope under 32 KB.
            if (value.empty() || ec != std::errc{} || end != value.data() + value.size() ||
                kb < 32 || kb > 16384) {
                error = "envelope must be a size in KB from 32 to 16384";
                return false;
            }
            out.maxEnvelopeSize = static_cast<std::size_t>(kb) * 1024;
        } else {
            error = "unknown option: " + std::string(key.substr(0, 40));
            return false;
        }
    }
    return true;
}

}  // namespace

std::string NormalizeSha256Fingerprint(std::string_view text) {
    std::string hex;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':') {
            // Only between pairs, as certificate viewers print them.
            if (hex.empty() || hex.size() % 2 != 0 || i + 1 == text.size() || text[i + 1] == ':')
                return {};
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (hex.size() > 64) return {};
    }
    return hex.size() == 64 ? hex : std::string{};
}

bool ParseWsmanHost(std::string_view text, WsmanTarget& out, std::string& error) {
    out = WsmanTarget{};
    error.clear();
    if (text.empty() || text.size() > 2048) {
        error = "the host text is empty or too long";
        return false;
    }
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f ||
            c == '\\' || c == '#' || c == '%') {
            error = "the host text holds a blank, a control character or one of \\ # %";
            return false;
        }
    std::string_view rest = text;
    std::string_view query;
    if (const auto q = rest.find('?'); q != std::string_view::npos) {
        query = rest.substr(q + 1);
        rest = rest.substr(0, q);
    }
    std::string path = "/wsman";
    if (StartsWithNoCase(rest, "https://")) {
        rest.remove_prefix(8);
        const auto slash = rest.find('/');
        const std::string_view authority = rest.substr(0, slash);
        if (authority.find('@') != std::string_view::npos) {
            error =
                "user information does not belong in the URL; store the account with the server";
            return false;
        }
        if (!ParseHostPart(authority, true, out, error)) return false;
        if (slash != std::string_view::npos) {
            const std::string_view p = rest.substr(slash);
            for (char c : p)
                if (!IsPathChar(c)) {
                    error = "the URL path holds a character that does not belong in one";
                    return false;
                }
            if (p != "/") path = std::string(p);
        }
    } else if (rest.find("://") != std::string_view::npos || StartsWithNoCase(rest, "http:")) {
        error = "only https:// URLs are offered (WinRM's HTTPS listener)";
        return false;
    } else {
        if (!ParseHostPart(rest, false, out, error)) return false;
    }
    if (!ParseOptions(query, out, error)) return false;
    const bool v6 = out.hostName.find(':') != std::string::npos;
    out.url = "https://" + (v6 ? "[" + out.hostName + "]" : out.hostName) + ":" +
              std::to_string(out.port) + path;
    return true;
}

}  // namespace hbr
