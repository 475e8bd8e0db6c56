#pragma once
// How the listener reads one request off the wire: Beast's parser with the server's limits,
// and the step that turns a parsed message into what a handler sees (or the listener's own
// answer). Kept apart from the sockets so that the same code can be fed bytes directly.
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <string>
#include <string_view>

#include "web/http_request.h"

namespace hbr {

// A header block larger than this answers 507.
inline constexpr size_t kRequestHeaderLimit = 8192;
// Bodies are read whole up to this; larger ones answer 413.
inline constexpr size_t kRequestBodyLimit = 1024 * 1024;

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;
using RequestMessage = boost::beast::http::request<boost::beast::http::string_body>;

void ApplyRequestLimits(RequestParser& parser);

HttpVerb VerbOf(boost::beast::http::verb v);

bool StartsWithNoCase(std::string_view s, std::string_view prefix);

enum class RequestVerdict {
    Handle,           // `out` holds the request for the handler
    BadRequest,       // unusable target: 400 and close
    OutsideTemplate,  // the path lies outside the URL template's path: 404
    NotImplemented,   // a transfer coding other than chunked: 501 and close
};

// Moves the message's parts into `out`; the body is cut to kMaxBodyBytes.
RequestVerdict ReadRequestMessage(RequestMessage& message, std::string_view templatePath,
                                  const std::string& clientAddress, HttpRequestData& out);

}  // namespace hbr
