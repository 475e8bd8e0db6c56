#pragma once
// What a running instance plugs into the HTTP server, shared by the console run and the
// service host.
#include "web/http_server.h"

namespace hbr {

// The request handler of an instance.
RequestHandler InstanceRequestHandler();

}  // namespace hbr
