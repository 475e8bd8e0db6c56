#include "web/http_request.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "web/file_body.h"
#include "web/url_text.h"

namespace hbr {

const std::array<std::string_view, 41> kKnownRequestHeaders = {
    "cache-control",
    "connection",
    "date",
    "keep-alive",
    "pragma",
    "trailer",
    "transfer-encoding",
    "upgrade",
    "via",
    "warning",
    "allow",
    "content-length",
    "content-type",
    "content-encoding",
    "content-language",
    "content-location",
    "content-md5",
    "content-range",
    "expires",
    "last-modified",
    "accept",
    "accept-charset",
    "accept-encoding",
    "accept-language",
    "authorization",
    "cookie",
    "expect",
    "from",
    "host",
    "if-match",
    "if-modified-since",
    "if-none-match",
    "if-range",
    "if-unmodified-since",
    "max-forwards",
    "proxy-authorization",
    "referer",
    "range",
    "te",
    "translate",
    "user-agent",
};

const std::array<std::string_view, 30> kKnownResponseHeaders = {
    "Cache-Control",
    "Connection",
    "Date",
    "Keep-Alive",
    "Pragma",
    "Trailer",
    "Transfer-Encoding",
    "Upgrade",
    "Via",
    "Warning",
    "Allow",
    "Content-Length",
    "Content-Type",
    "Content-Encoding",
    "Content-Language",
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "Expires",
    "Last-Modified",
    "Accept-Ranges",
    "Age",
    "ETag",
    "Location",
    "Proxy-Authenticate",
    "Retry-After",
    "Server",
    "Set-Cookie",
    "Vary",
    "WWW-Authenticate",
};

int KnownRequestHeaderId(std::string_view name) {
    for (size_t i = 0; i < kKnownRequestHeaders.size(); ++i) {
        const auto& known = kKnownRequestHeaders[i];
        if (known.size() == name.size() && strncasecmp(known.data(), name.data(), name.size()) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

namespace {

// Every reply: no type guessing, no referrer to other sites, no framing, and for pages only
// what the application loads (its own files, data: images, and the hash of the one style
// attribute the login page's default-password hint carries).
constexpr std::string_view kSecurityHeaderLines =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: same-origin\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; style-src 'self' "
    "'unsafe-hashes' 'sha256-22Xmjc5Q0zmDvxurplM34Z9s90o69HJpB7seLJKx32k='; object-src 'none'; "
    "base-uri 'none'; form-action 'self'; frame-ancestors 'none'\r\n";
constexpr std::string_view kStrictTransportLine = "Strict-Transport-Security: max-age=31536000\r\n";
constexpr std::string_view kErrorContentType = "text/plain; charset=utf-8";

constexpr std::string_view kInternalErrorBody = "<HTML><BODY>Server Internal Error</BODY><HTML>";
constexpr std::string_view kNtlmChallengeBody = "<HTML><BODY>401 Unauthorized.</BODY></HTML>";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes into the 512-byte buffer the handlers were written for; a malformed escape is
// copied as it stands. In a form body ("application/x-www-form-urlencoded") a "+" is a space.
void DecodeValue(std::string_view in, std::string& out, bool plusIsSpace = false) {
    std::string decoded;
    decoded.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size() && HexValue(in[i + 1]) >= 0 &&
            HexValue(in[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2]));
            i += 2;
        } else {
            decoded += plusIsSpace && in[i] == '+' ? ' ' : in[i];
        }
        if (decoded.size() >= kDecodeBufferBytes) throw RequestValueTooLong();
    }
    out = std::move(decoded);
}

// Header values and reasons go on the wire verbatim; a line break would start a new header.
void AppendClean(std::string& out, std::string_view text) {
    for (char c : text) out += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
}

std::string_view UpToNul(std::string_view s) {
    const auto nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace

std::string_view SecurityHeaderLines() {
    return kSecurityHeaderLines;
}

std::string_view StrictTransportLine() {
    return kStrictTransportLine;
}

std::string CookieValue(std::string_view header, std::string_view name) {
    if (name.empty()) return {};
    // Pairs are separated by ";" and optional white space; the name must match as a whole, so
    // that a cookie named "x" + name (set by any other page of the host) is not taken for it.
    size_t start = 0;
    while (start < header.size()) {
        while (start < header.size() && (header[start] == ' ' || header[start] == '\t')) ++start;
        const auto end = header.find(';', start);
        const std::string_view pair = header.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=') {
            size_t i = start + name.size() + 1;
            while (i < header.size() && header[i] == ';') ++i;
            const auto stop = header.find(';', i);
            return std::string(header.substr(i, stop == std::string_view::npos ? stop : stop - i));
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return {};
}

bool FieldValue(std::string_view fields, std::string_view name, std::string& out,
                bool plusIsSpace) {
    size_t start = 0;
    while (start <= fields.size()) {
        const auto amp = fields.find('&', start);
        const std::string_view field = fields.substr(
            start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        if (field.size() > name.size() && field.substr(0, name.size()) == name &&
            field[name.size()] == '=') {
            DecodeValue(field.substr(name.size() + 1), out, plusIsSpace);
            return true;
        }
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return false;
}

std::string HttpDateNow() {
    // Formatted once a second per thread: local-time conversion is not free.
    thread_local time_t cachedAt = -1;
    thread_local std::string cached;
    const time_t now = time(nullptr);
    if (now == cachedAt) return cached;
    struct tm local;
    if (!localtime_r(&now, &local)) return std::to_string(now) + " seconds since the Epoch";
    char buf[88];
    const size_t n = strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %Z", &local);
    cached.assign(buf, n);
    cachedAt = now;
    return cached;
}

HttpRequest::HttpRequest(std::shared_ptr<HttpConnection> connection, HttpRequestData data)
    : connection_(std::move(connection)), data_(std::move(data)) {
    if (data_.body.size() > kMaxBodyBytes) data_.body.resize(kMaxBodyBytes);
    if (data_.clientAddress.size() > 64) data_.clientAddress.resize(64);
    // Known headers under their lower-case names (when not empty), others as sent; a repeated
    // name has its values appended without a separator.
    for (const auto& [name, value] : data_.headerList) {
        const int id = KnownRequestHeaderId(name);
        if (id >= 0) {
            if (value.empty()) continue;
            headers_[std::string(kKnownRequestHeaders[static_cast<size_t>(id)])] += value;
        } else {
            headers_[name] += value;
        }
    }
}

HttpRequest::~HttpRequest() {
    if (replySent_ || !connection_) return;
    std::string reply = "HTTP/" + std::to_string(data_.versionMajor) + "." +
                        std::to_string(data_.versionMinor) + " 500 Internal Error\r\n";
    reply += "Content-Type: text/plain; charset=utf-8\r\n";
    reply += kSecurityHeaderLines;
    if (data_.secure) reply += kStrictTransportLine;
    reply += "Content-Length: " + std::to_string(kInternalErrorBody.size()) + "\r\n";
    reply += "Connection: close\r\n\r\n";
    reply += kInternalErrorBody;
    connection_->CloseAfterReply();
    connection_->Write(reply);
}

std::string HttpRequest::HeaderValue(std::string_view name) const {
    for (const auto& [n, value] : data_.headerList)
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0)
            return value;
    return {};
}

std::string HttpRequest::Cookie(std::string_view name) const {
    const auto it = headers_.find("cookie");
    return it == headers_.end() ? std::string() : CookieValue(it->second, name);
}

bool HttpRequest::FormValue(std::string_view name, std::string& out) const {
    return FieldValue(UpToNul(data_.body), name, out, true);
}

void HttpRequest::BodyText(std::string& out) const {
    out = std::string(UpToNul(data_.body));
}

bool HttpRequest::QueryValue(std::string_view name, std::string& out) const {
    return FieldValue(QueryOf(data_.target), name, out);
}

const std::string& HttpRequest::ResponseHeader(int id) const {
    static const std::string empty;
    return id >= 0 && id < kResponseHeaderCount ? knownHeaders_[static_cast<size_t>(id)] : empty;
}

void HttpRequest::ThrowIfSent() const {
    if (replySent_) throw std::runtime_error("Header sent");
}

void HttpRequest::SetStatus(int code, std::string_view reason) {
    ThrowIfSent();
    status_ = code;
    reason_ = std::string(reason.substr(0, 65535));
}

void HttpRequest::SetHeader(int id, std::string_view value) {
    ThrowIfSent();
    if (id < 0 || id >= kResponseHeaderCount) throw std::runtime_error("Bad parameter");
    knownHeaders_[static_cast<size_t>(id)] = std::string(value);
}

void HttpRequest::AddHeader(std::string_view name, std::string_view value) {
    ThrowIfSent();
    if (otherHeaders_.size() >= 16) throw std::runtime_error("Bad parameter");
    otherHeaders_.emplace_back(std::string(name), std::string(value));
}

std::string HttpRequest::SerializeReply(std::string_view body, bool close) const {
    bool withBody = false;
    std::string out = SerializeHead(body.size(), close, withBody);
    if (withBody) out += body;
    return out;
}

std::string HttpRequest::SerializeHead(size_t bodyLength, bool close, bool& withBody) const {
    std::string out;
    out.reserve(256);
    out += "HTTP/";
    out += std::to_string(data_.versionMajor);
    out += '.';
    out += std::to_string(data_.versionMinor);
    out += ' ';
    out += std::to_string(status_);
    out += ' ';
    AppendClean(out, reason_);
    out += "\r\n";
    // An error's body is text, whatever the handler had prepared for success; the integrated
    // authentication challenge keeps its page.
    const bool errorText = status_ >= 400 && knownHeaders_[kHeaderWwwAuthenticate].empty();
    if (errorText) {
        out += "Content-Type: ";
        out += kErrorContentType;
        out += "\r\n";
    }
    for (size_t id = 0; id < knownHeaders_.size(); ++id) {
        // Framing headers belong to the transport, not to the handler.
        if (id == kHeaderContentLength || id == kHeaderConnection) continue;
        if (id == kHeaderContentType && errorText) continue;
        if (knownHeaders_[id].empty()) continue;
        out += kKnownResponseHeaders[id];
        out += ": ";
        AppendClean(out, knownHeaders_[id]);
        out += "\r\n";
    }
    for (const auto& [name, value] : otherHeaders_) {
        AppendClean(out, name);
        out += ": ";
        AppendClean(out, value);
        out += "\r\n";
    }
    out += kSecurityHeaderLines;
    if (data_.secure) out += kStrictTransportLine;
    const bool bodyless = status_ < 200 || status_ == 204 || status_ == 304;
    if (!bodyless) {
        out += "Content-Length: ";
        out += std::to_string(bodyLength);
        out += "\r\n";
    }
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    withBody = !bodyless && data_.verb != HttpVerb::Head;
    return out;
}

std::string HttpRequest::BeginReply(size_t bodyLength, bool& withBody) {
    ThrowIfSent();
    const bool close = !data_.keepAlive;
    if (close && connection_) connection_->CloseAfterReply();
    return SerializeHead(bodyLength, close, withBody);
}

void HttpRequest::Send(const void* body, size_t length) {
    const std::string_view bytes(static_cast<const char*>(body), body ? length : 0);
    bool withBody = false;
    const std::string head = BeginReply(bytes.size(), withBody);
    // A client that went away is not an error of the handler.
    if (connection_) connection_->Write(head, withBody ? bytes : std::string_view());
    replySent_ = true;
}

void HttpRequest::SendTextBody(std::string_view text) {
    Send(text.substr(0, 8191));
}

void HttpRequest::OkHeaders(std::string_view contentType, bool cacheable) {
    if (data_.verb == HttpVerb::Post)
        SetStatus(201, "Created");
    else
        SetStatus(200, "OK");
    SetHeader(kHeaderContentType, contentType);
    if (!cacheable) SetHeader(kHeaderCacheControl, "no-store");
    SetHeader(kHeaderDate, HttpDateNow());
}

void HttpRequest::ReplyJson(std::string_view text) {
    if (text.substr(0, 6) == "error:") {
        SetStatus(500, "Server error");
        SendTextBody(text);
        return;
    }
    SendJson(text);
}

void HttpRequest::SendJson(const FileBody& body) {
    OkHeaders("application/javascript; charset=utf-8", false);
    bool withBody = false;
    const std::string head = BeginReply(body.Size(), withBody);
    if (connection_) {
        const bool written = withBody ? connection_->WriteFile(head, body.shared_from_this())
                                      : connection_->Write(head);
        // Half a reply cannot be followed by another on the same connection.
        if (!written) connection_->CloseAfterReply();
    }
    replySent_ = true;
}

bool HttpConnection::WriteFile(std::string_view head, std::shared_ptr<const FileBody> file) {
    if (!file) return false;
    const int fd = file->Fd();
    const size_t length = file->Size();
    std::string body(length, '\0');
    size_t off = 0;
    while (off < length) {
        const ssize_t n = ::pread(fd, body.data() + off, length - off, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return Write(head, body);
}

void HttpRequest::SendJson(std::string_view text) {
    OkHeaders("application/javascript; charset=utf-8", false);
    Send(text.empty() ? std::string_view("{}") : text);
}

void HttpRequest::ReplyOk() {
    SetStatus(200, "OK");
    Send(nullptr, 0);
}

void HttpRequest::ReplyServerError(std::string_view text) {
    SetStatus(500, "Server error");
    Send(text.empty() ? std::string_view("Server error: hbr exception") : text);
}

void HttpRequest::ReplyBadRequest(std::string_view text) {
    SetStatus(400, "Bad Request");
    Send(text.empty() ? std::string_view("Bad Request") : text);
}

void HttpRequest::ReplyUnauthorized() {
    SetStatus(401, "Unauthorized");
    Send(std::string_view("Unauthorized"));
}

void HttpRequest::ReplyForbidden(std::string_view text) {
    SetStatus(403, "Forbidden");
    Send(text.empty() ? std::string_view("Access Denied") : text);
}

bool HttpRequest::CheckNtlm() {
    if (data_.authStatus == 0) return true;
    SendNtlmChallenge();
    return false;
}

void HttpRequest::SendNtlmChallenge() {
    SetStatus(401, "Unauthorized");
    SetHeader(kHeaderContentType, "text/html");
    SetHeader(kHeaderWwwAuthenticate, "NTLM");
    Send(kNtlmChallengeBody);
}

}  // namespace hbr
