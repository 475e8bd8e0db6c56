#include "service/instance_handler.h"

#include "web/router.h"

namespace hbr {

RequestHandler InstanceRequestHandler() {
    return Route;
}

}  // namespace hbr
