#pragma once
// The live data, console page and VM rows of the route table.
#include <string_view>

#include "web/http_request.h"
#include "web/session.h"

namespace hbr {

// Handles /api/livedata, /rdp/..., /api/vm/...; false when the path is none of them.
bool TryVmRoute(HttpRequest& request, const Session& session, std::string_view path);

// The VM id of a VM route (the last 36 characters, upper case), or empty when `path` is not
// `prefix` followed by at least 36 characters.
std::string VmRouteId(std::string_view path, std::string_view prefix);

}  // namespace hbr
