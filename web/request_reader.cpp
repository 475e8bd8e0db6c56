#include "web/request_reader.h"

#include <cctype>
#include <utility>

#include "web/url_text.h"

namespace hbr {

namespace http = boost::beast::http;

void ApplyRequestLimits(RequestParser& parser) {
    parser.header_limit(kRequestHeaderLimit);
    parser.body_limit(kRequestBodyLimit);
}

HttpVerb VerbOf(http::verb v) {
    switch (v) {
        case http::verb::get:
            return HttpVerb::Get;
        case http::verb::head:
            return HttpVerb::Head;
        case http::verb::post:
            return HttpVerb::Post;
        case http::verb::put:
            return HttpVerb::Put;
        case http::verb::delete_:
            return HttpVerb::Delete;
        case http::verb::options:
            return HttpVerb::Options;
        case http::verb::trace:
            return HttpVerb::Trace;
        case http::verb::connect:
            return HttpVerb::Connect;
        default:
            return HttpVerb::Unknown;
    }
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(s[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

RequestVerdict ReadRequestMessage(RequestMessage& req, std::string_view templatePath,
                                  const std::string& clientAddress, HttpRequestData& data) {
    // Only chunked is understood; a body in any other coding would be read as the next request.
    if (!req.chunked() && req.count(http::field::transfer_encoding) != 0)
        return RequestVerdict::NotImplemented;
    auto path = CookPath(req.target());
    if (!path) return RequestVerdict::BadRequest;
    if (!StartsWithNoCase(*path, templatePath)) return RequestVerdict::OutsideTemplate;
    data.verb = VerbOf(req.method());
    data.verbText = std::string(req.method_string());
    data.target = std::string(req.target());
    data.path = std::move(*path);
    data.versionMajor = req.version() / 10;
    data.versionMinor = req.version() % 10;
    data.keepAlive = req.keep_alive();
    for (const auto& field : req)
        data.headerList.emplace_back(std::string(field.name_string()), std::string(field.value()));
    data.body = std::move(req.body());
    if (data.body.size() > kMaxBodyBytes) data.body.resize(kMaxBodyBytes);
    data.clientAddress = clientAddress;
    return RequestVerdict::Handle;
}

}  // namespace hbr
