#pragma once
// The server rows of the route table: the list, the records, host information and shutdown.
#include <string_view>

#include "web/http_request.h"
#include "web/session.h"

namespace hbr {

// Handles /api/servers, /api/server/N, /api/server/info/N, /api/server/state; false otherwise.
bool TryServerRoute(HttpRequest& request, const Session& session, std::string_view path);

}  // namespace hbr
