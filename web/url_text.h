#pragma once
// Text rules of request targets: percent-decoding, the cooked path, the URL template.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hbr {

// Decodes %XX escapes; "+" stays "+". False on a malformed escape.
bool PercentDecode(std::string_view in, std::string& out);

// The cooked absolute path of a request target: the query is cut off, escapes are decoded and
// dot segments resolved. Empty when the target is unusable: malformed escapes, a NUL, a
// backslash, bytes that are not well-formed UTF-8 (overlong forms included), or a path that
// would climb above the root.
std::optional<std::string> CookPath(std::string_view target);

// The query string of a target (after the first "?"), or empty.
std::string_view QueryOf(std::string_view target);

// "scheme://host:port/path/" as the listener understands it.
struct UrlTemplate {
    std::string scheme;  // "http"
    std::string host;    // "+", "*", "localhost", an address literal or a name
    uint16_t port = 80;
    std::string path;  // begins and ends with "/"
};
// Empty when the text is not of that form.
std::optional<UrlTemplate> ParseUrlTemplate(std::string_view url);

}  // namespace hbr
