#pragma once
// What a running instance plugs into the HTTP server, shared by the console run and the
// service host.
#include "web/http_server.h"

namespace hbr {

// The request handler of an instance: the integrated-authentication handshake, when the
// instance uses it, then the router.
RequestHandler InstanceRequestHandler();

// Starts the HTTP server on the instance's URL with that handler, then integrated
// authentication when the instance uses it. Binding comes first, so a taken port is reported
// as such; a mechanism that cannot be used stops the server again and throws.
void StartInstanceServer();

}  // namespace hbr
