#include "service/instance_handler.h"

#include "web/static_pages.h"

namespace hbr {

RequestHandler InstanceRequestHandler() {
    return [](HttpRequest& request) {
        const std::string& path = request.Path();
        ServeStatic(request, path == "/" ? std::string_view("/index.html") : path);
    };
}

}  // namespace hbr
