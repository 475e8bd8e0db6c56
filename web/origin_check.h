#pragma once
// Pages of another site, or of another port of the same host (which SameSite does not tell
// apart), must not act with a user's cookie: requests that change something, and the console
// socket, are accepted only from the instance's own origin.

namespace hbr {

class HttpRequest;

// False when the request changes something (any verb but GET and HEAD) or opens the console
// socket (`upgrade`), and its Origin header (or, without one, its Referer) names a host and port
// other than its own Host header. The scheme is not compared, so a proxy that ends TLS in front
// of the instance keeps working. Requests with neither header pass.
bool OriginAllowed(const HttpRequest& request, bool upgrade);

}  // namespace hbr
