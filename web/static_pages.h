#pragma once
#include <string_view>

#include "web/http_request.h"

namespace hbr {

// The Content-Type for a path's extension (from the last "." of its last component,
// compared case-sensitively).
std::string_view ContentTypeFor(std::string_view path);

// Answers the request with the web root's file for `path` (a cooked absolute path), or 404.
void ServeStatic(HttpRequest& request, std::string_view path);

}  // namespace hbr
