#pragma once
// The request handler of an instance: path normalisation, the session cookie, the public
// paths, form and integrated login and logout, then the route table.
#include <string>
#include <string_view>

#include "web/http_request.h"

namespace hbr {

void Route(HttpRequest& request);

// The path without its trailing slashes ("/" becomes the empty path).
std::string NormalisePath(std::string_view path);

// The Set-Cookie value for a session id; `secure` (a request over TLS) adds Secure.
std::string SessionCookie(std::string_view id, bool secure = false);
// The Set-Cookie value that makes the browser forget the session cookie.
std::string ExpiredSessionCookie(bool secure = false);

}  // namespace hbr
