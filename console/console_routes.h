#pragma once
// The console's two routes, for the route table: the WebSocket at "/ws" and the pointer
// images under "/cur/".
#include <functional>
#include <string_view>

#include "console/rdp_target.h"
#include "web/http_request.h"
#include "web/session.h"

namespace hbr {

// May the session open the console of the target the connect message names (a VM or a
// managed server)? The route table passes its rights checks here; empty: every target.
using ConsoleAccessCheck = std::function<bool(const Session&, const rconsole::ConsoleTarget&)>;

// "/ws", exact, after the route's claim check passed: runs the whole console session on this
// thread and returns when it has ended. A request that is no WebSocket handshake is answered
// 400 "Bad Request".
void ServeConsoleSocket(HttpRequest& request, const Session& session,
                        const ConsoleAccessCheck& check = {});

// "/cur/<session>/<cursor id>": true when the path begins with "/cur/" (the request is then
// answered: 200 "OK" with the cursor file and no content type, or 404 "Not found"); false
// for any other path, which is left unanswered.
bool ServeCursor(HttpRequest& request, std::string_view path);

}  // namespace hbr
