#include "web/origin_check.h"

#include <string>
#include <string_view>

#include "web/http_request.h"

namespace hbr {
namespace {

struct Authority {
    std::string host;
    std::string port;  // empty when none was written
};

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port"; false when malformed.
bool SplitAuthority(std::string_view text, Authority& out) {
    if (text.empty()) return false;
    size_t hostEnd;
    if (text[0] == '[') {
        hostEnd = text.find(']');
        if (hostEnd == std::string_view::npos) return false;
        ++hostEnd;
    } else {
        hostEnd = text.find(':');
        if (hostEnd == std::string_view::npos) hostEnd = text.size();
    }
    out.host = Lower(text.substr(0, hostEnd));
    if (out.host.empty()) return false;
    if (hostEnd == text.size()) return true;
    if (text[hostEnd] != ':') return false;
    out.port = std::string(text.substr(hostEnd + 1));
    if (out.port.empty()) return true;  // "host:" is "host"
    for (char c : out.port)
        if (c < '0' || c > '9') return false;
    while (out.port.size() > 1 && out.port[0] == '0') out.port.erase(0, 1);
    return true;
}

// The authority of an absolute URL (Origin or Referer), with the scheme's default port filled
// in; false for "null", relative or malformed values.
bool UrlAuthority(std::string_view url, Authority& out) {
    const auto sep = url.find("://");
    if (sep == std::string_view::npos || sep == 0) return false;
    const std::string scheme = Lower(url.substr(0, sep));
    std::string_view rest = url.substr(sep + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
    if (!SplitAuthority(rest, out)) return false;
    if (out.port.empty()) {
        if (scheme == "https" || scheme == "wss")
            out.port = "443";
        else if (scheme == "http" || scheme == "ws")
            out.port = "80";
    }
    return true;
}

const std::string* HeaderValue(const HttpRequest& request, const char* name) {
    const auto it = request.Headers().find(name);
    return it == request.Headers().end() ? nullptr : &it->second;
}

}  // namespace

bool OriginAllowed(const HttpRequest& request, bool upgrade) {
    const HttpVerb verb = request.Verb();
    if (!upgrade && (verb == HttpVerb::Get || verb == HttpVerb::Head)) return true;
    // Origin is not one of the known request headers, so it is kept under the name as sent.
    const std::string* source = nullptr;
    for (const auto& [name, value] : request.HeaderList()) {
        if (name.size() == 6 && Lower(name) == "origin") {
            source = &value;
            break;
        }
    }
    if (!source) source = HeaderValue(request, "referer");
    if (!source) return true;
    Authority from;
    if (!UrlAuthority(*source, from)) return false;
    const std::string* hostHeader = HeaderValue(request, "host");
    Authority own;
    if (!hostHeader || !SplitAuthority(*hostHeader, own)) return false;
    if (from.host != own.host) return false;
    // A Host without a port names the default port of whichever scheme the client used.
    if (own.port.empty()) return from.port == "80" || from.port == "443";
    return from.port == own.port;
}

}  // namespace hbr
