// One HTTP request through the listener's own reading: Beast's parser with the server's limits,
// the cooked path and the URL template check, then every accessor a handler uses (cookies,
// form fields, query parameters, body, headers) and a reply.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "web/http_request.h"
#include "web/request_reader.h"

namespace {

class Discard : public hbr::HttpConnection {
  public:
    uint64_t Id() const override { return 1; }
    bool Write(std::string_view bytes) override {
        written += bytes.size();
        return true;
    }
    void CloseAfterReply() override {}
    size_t written = 0;
};

// What a cooked path may never be.
void CheckPath(const std::string& path) {
    if (path.empty() || path[0] != '/') std::abort();
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) std::abort();
    if (path == "/.." || path.find("/../") != std::string::npos ||
        (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hbr::RequestParser parser;
    hbr::ApplyRequestLimits(parser);
    parser.eager(true);
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(data, size), ec);
    if (ec || !parser.is_done()) return 0;

    hbr::HttpRequestData request;
    for (std::string_view templatePath : {"/hbr/", "/"}) {
        hbr::HttpRequestData d;
        auto message = parser.get();  // a copy: both templates read the same message
        const auto verdict = hbr::ReadRequestMessage(message, templatePath, "127.0.0.1", d);
        if (verdict == hbr::RequestVerdict::Handle) {
            CheckPath(d.path);
            if (d.body.size() > hbr::kMaxBodyBytes) std::abort();
            request = std::move(d);
        }
    }
    if (request.path.empty()) return 0;

    auto connection = std::make_shared<Discard>();
    {
        hbr::HttpRequest r(connection, std::move(request));
        std::string value;
        (void)r.Cookie("HbrSession");
        (void)r.Cookie("");
        try {
            (void)r.FormValue("usr", value);
            (void)r.FormValue("pwd", value);
            (void)r.QueryValue("page", value);
            (void)r.QueryValue("start", value);
            if (value.size() > hbr::kDecodeBufferBytes) std::abort();
        } catch (const hbr::RequestValueTooLong&) {
            // The request ends with the generic 500 of its destruction.
        }
        r.BodyText(value);
        for (const auto& [name, v] : r.Headers()) (void)hbr::KnownRequestHeaderId(name);
        if (r.Verb() == hbr::HttpVerb::Post) r.SendJson("");
    }
    // Answered exactly once: by SendJson or by the destructor's 500.
    if (connection->written == 0) std::abort();
    return 0;
}
