#include "web/url_text.h"

#include "platform/utf8.h"

#include <vector>

namespace hbr {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool PercentDecode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = HexValue(in[i + 1]);
        const int lo = HexValue(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string_view QueryOf(std::string_view target) {
    const auto q = target.find('?');
    return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

std::optional<std::string> CookPath(std::string_view target) {
    // Absolute-form targets name the host first; the path is what follows it.
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() &&
            std::equal(scheme.begin(), scheme.end(), target.begin(),
                       [](char a, char b) { return a == (b | 0x20) || a == b; })) {
            const auto slash = target.find('/', scheme.size());
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
            break;
        }
    }
    const auto cut = target.find_first_of("?#");
    if (cut != std::string_view::npos) target = target.substr(0, cut);
    if (target.empty() || target[0] != '/') return std::nullopt;

    std::string decoded;
    if (!PercentDecode(target, decoded)) return std::nullopt;
    if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos)
        return std::nullopt;
    if (!IsWellFormedUtf8(decoded)) return std::nullopt;

    // Resolve "." and ".." segments; climbing above the root is refused, not clamped.
    std::vector<std::string_view> segments;
    std::string_view rest(decoded);
    rest.remove_prefix(1);
    bool trailingSlash = false;
    while (true) {
        const auto slash = rest.find('/');
        const std::string_view seg = rest.substr(0, slash);
        const bool last = slash == std::string_view::npos;
        if (seg == ".") {
            trailingSlash = last;
        } else if (seg == "..") {
            if (segments.empty()) return std::nullopt;
            segments.pop_back();
            trailingSlash = last;
        } else {
            segments.push_back(seg);
            trailingSlash = false;
        }
        if (last) break;
        rest.remove_prefix(slash + 1);
    }
    std::string path;
    for (const auto& seg : segments) {
        path += '/';
        path += seg;
    }
    if (path.empty() || trailingSlash) path += '/';
    return path;
}

std::optional<UrlTemplate> ParseUrlTemplate(std::string_view url) {
    UrlTemplate t;
    const auto sep = url.find("://");
    if (sep == std::string_view::npos || sep == 0) return std::nullopt;
    for (char c : url.substr(0, sep)) t.scheme += static_cast<char>(c | 0x20);
    std::string_view rest = url.substr(sep + 3);
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    t.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    if (t.path.back() != '/') t.path += '/';
    if (authority.empty()) return std::nullopt;
    std::string_view portText;
    if (authority.front() == '[') {  // [v6 literal]:port
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        t.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
        }
    } else {
        const auto colon = authority.rfind(':');
        t.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    }
    if (t.host.empty()) return std::nullopt;
    if (t.scheme == "https") t.port = 443;
    if (!portText.empty()) {
        unsigned long port = 0;
        for (char c : portText) {
            if (c < '0' || c > '9') return std::nullopt;
            port = port * 10 + static_cast<unsigned>(c - '0');
            if (port > 65535) return std::nullopt;
        }
        if (port == 0) return std::nullopt;
        t.port = static_cast<uint16_t>(port);
    }
    return t;
}

}  // namespace hbr
