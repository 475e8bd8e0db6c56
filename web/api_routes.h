#pragma once
// The route table: for an authenticated request, the rights check, the operation and the
// reply of its path. Paths no route takes are static files.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "web/http_request.h"
#include "web/session.h"

namespace hbr {

// `path` is the normalised path (no trailing slash).
void DispatchAuthenticated(HttpRequest& request, const std::string& path, const Session& session);

// A number route: the id after `prefix` read like atoi (saturated to 32 bits), when the path
// begins with the prefix and the id is not 0 or the rest is one character long.
std::optional<int32_t> MatchNumberRoute(std::string_view path, std::string_view prefix);

}  // namespace hbr
