#pragma once
// One received request with its reply under construction. Each request is answered exactly
// once: sending marks it answered, later changes fail with "Header sent", and a request that
// leaves its handler unanswered is answered 500 "Internal Error" when it is destroyed.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hbr {

class FileBody;

// Verb codes as the rest of the system compares them.
enum class HttpVerb : int {
    Unparsed = 0,
    Unknown = 1,
    Invalid = 2,
    Options = 3,
    Get = 4,
    Head = 5,
    Post = 6,
    Put = 7,
    Delete = 8,
    Trace = 9,
    Connect = 10,
};

// Response header ids; only these known slots exist (0..29).
enum HttpResponseHeader : int {
    kHeaderCacheControl = 0,
    kHeaderConnection = 1,
    kHeaderDate = 2,
    kHeaderContentLength = 11,
    kHeaderContentType = 12,
    kHeaderContentEncoding = 13,
    kHeaderETag = 22,
    kHeaderLocation = 23,
    kHeaderSetCookie = 27,
    kHeaderVary = 28,
    kHeaderWwwAuthenticate = 29,
    kResponseHeaderCount = 30,
};

// Lower-case names of the 41 known request headers, by id.
extern const std::array<std::string_view, 41> kKnownRequestHeaders;
// Names of the 30 known response headers, by id, as written on the wire.
extern const std::array<std::string_view, 30> kKnownResponseHeaders;
// The id of a known request header name (any letter case), or -1.
int KnownRequestHeaderId(std::string_view name);

// A form or query value that does not fit the 512-byte decode buffer ends the request.
class RequestValueTooLong : public std::runtime_error {
  public:
    RequestValueTooLong() : std::runtime_error("request value too long") {}
};

// What an authentication handshake keeps between the requests of one connection (a security
// context waiting for the client's next message).
class ConnectionAuthState {
  public:
    virtual ~ConnectionAuthState() = default;
};

// The transport a request was read from and its reply is written to.
class HttpConnection {
  public:
    virtual ~HttpConnection() = default;
    // Requests of one connection are served one after the other, so only the thread serving the
    // current request touches this.
    std::unique_ptr<ConnectionAuthState> authState;
    virtual uint64_t Id() const = 0;
    // Writes every byte; false when the peer is gone or stopped reading.
    virtual bool Write(std::string_view bytes) = 0;
    // A reply's head and body, in that order. Transports that can gather override this, so a
    // large body is never copied behind its head.
    virtual bool Write(std::string_view head, std::string_view body) {
        std::string all;
        all.reserve(head.size() + body.size());
        all.append(head).append(body);
        return Write(all);
    }
    // A head, then the whole file body. Transports that can send from a file without copying
    // override this; they may keep the body until it has left.
    virtual bool WriteFile(std::string_view head, std::shared_ptr<const FileBody> file);
    // The connection is closed once the current reply is written.
    virtual void CloseAfterReply() = 0;
    // Hands the socket to a channel that speaks its own protocol on it (the WebSocket
    // upgrade): a duplicate descriptor of the connected socket, or -1 when this transport has
    // none. `buffered` receives bytes the peer sent beyond the current request. The
    // connection reads no further request and closes once the handler returns; until then
    // stopping the server still shuts the socket down, which wakes the channel.
    // Over TLS, `tlsSession` receives the connection's OpenSSL session (an SSL*, one reference
    // of which now belongs to the caller); a caller that passes none gets -1 on a TLS
    // connection.
    virtual int TakeOverSocket(std::string& buffered, void** tlsSession = nullptr) {
        buffered.clear();
        if (tlsSession) *tlsSession = nullptr;
        return -1;
    }
    // True when the connection is TLS.
    virtual bool Secure() const { return false; }
};

// What the listener hands over for one request.
struct HttpRequestData {
    HttpVerb verb = HttpVerb::Unknown;
    std::string verbText;
    std::string target;  // as sent, with the query
    std::string path;    // cooked absolute path
    unsigned versionMajor = 1;
    unsigned versionMinor = 1;
    bool keepAlive = true;
    std::vector<std::pair<std::string, std::string>> headerList;  // in the order sent
    std::string body;                                             // at most kMaxBodyBytes
    std::string clientAddress;
    int authStatus = 1;  // 0 means authenticated
    bool secure = false;  // read over TLS
    // With authStatus 0: the account "DOMAIN\user" and its groups "DOMAIN\group".
    std::string authAccount;
    std::vector<std::string> authGroups;
};

inline constexpr size_t kMaxBodyBytes = 8192;
inline constexpr size_t kDecodeBufferBytes = 512;

using HeaderMap = std::map<std::string, std::string>;

class HttpRequest {
  public:
    HttpRequest(std::shared_ptr<HttpConnection> connection, HttpRequestData data);
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    const std::string& Path() const { return data_.path; }
    HttpVerb Verb() const { return data_.verb; }
    const std::string& Target() const { return data_.target; }
    std::string Cookie(std::string_view name) const;
    bool FormValue(std::string_view name, std::string& out) const;
    void BodyText(std::string& out) const;
    bool QueryValue(std::string_view name, std::string& out) const;
    const std::string& ClientAddress() const { return data_.clientAddress; }
    const HeaderMap& Headers() const { return headers_; }
    const std::vector<std::pair<std::string, std::string>>& HeaderList() const {
        return data_.headerList;
    }
    int AuthStatus() const { return data_.authStatus; }
    const std::string& AuthAccount() const { return data_.authAccount; }
    const std::vector<std::string>& AuthGroups() const { return data_.authGroups; }
    // The integrated-authentication handshake finished for this request.
    void SetAuthenticated(std::string account, std::vector<std::string> groups) {
        data_.authStatus = 0;
        data_.authAccount = std::move(account);
        data_.authGroups = std::move(groups);
    }
    // The value of request header `name` (any letter case), or empty.
    std::string HeaderValue(std::string_view name) const;
    // The request came over TLS.
    bool Secure() const { return data_.secure; }
    unsigned VersionMajor() const { return data_.versionMajor; }
    unsigned VersionMinor() const { return data_.versionMinor; }
    bool ReplySent() const { return replySent_; }
    const std::shared_ptr<HttpConnection>& Connection() const { return connection_; }
    // For a channel that answers on its own (the WebSocket upgrade).
    void MarkReplySent() { replySent_ = true; }

    // Reply under construction.
    int Status() const { return status_; }
    const std::string& Reason() const { return reason_; }
    const std::string& ResponseHeader(int id) const;
    const std::vector<std::pair<std::string, std::string>>& OtherHeaders() const {
        return otherHeaders_;
    }

    void SetStatus(int code, std::string_view reason);
    void SetHeader(int id, std::string_view value);
    void AddHeader(std::string_view name, std::string_view value);
    void Send(const void* body, size_t length);
    void Send(std::string_view body) { Send(body.data(), body.size()); }
    void SendTextBody(std::string_view text);
    void OkHeaders(std::string_view contentType, bool cacheable);
    void ReplyJson(std::string_view text);
    void SendJson(std::string_view text);
    // The same reply with a body that the transport sends straight from its file.
    void SendJson(const FileBody& body);
    void ReplyOk();
    void ReplyServerError(std::string_view text = {});
    // 400 with "Bad Request", or with `text` saying what is wrong.
    void ReplyBadRequest(std::string_view text = {});
    void ReplyUnauthorized();
    void ReplyForbidden(std::string_view text = {});
    bool CheckNtlm();
    // The 401 reply that asks the browser for integrated authentication.
    void SendNtlmChallenge();

    // The reply's bytes as they go on the wire (status line, headers, body).
    std::string SerializeReply(std::string_view body, bool close) const;
    // Status line and headers for a body of `bodyLength` bytes; `withBody` says whether the body
    // follows them (not for HEAD, 1xx, 204 and 304).
    std::string SerializeHead(size_t bodyLength, bool close, bool& withBody) const;

  private:
    void ThrowIfSent() const;
    // Checks that nothing was sent yet, arranges the close a non-keep-alive client asks for, and
    // gives the head for a body of `bodyLength` bytes (`withBody` as SerializeHead says).
    std::string BeginReply(size_t bodyLength, bool& withBody);

    std::shared_ptr<HttpConnection> connection_;
    HttpRequestData data_;
    HeaderMap headers_;
    bool replySent_ = false;
    int status_ = 200;
    std::string reason_ = "OK";
    std::array<std::string, kResponseHeaderCount> knownHeaders_;
    std::vector<std::pair<std::string, std::string>> otherHeaders_;
};

// The header lines every reply carries (each ending in CRLF), and the one replies over TLS add.
std::string_view SecurityHeaderLines();
std::string_view StrictTransportLine();

// "%a, %d %b %Y %H:%M:%S %Z" in local time.
std::string HttpDateNow();

// Value of the cookie named exactly `name` in a raw Cookie header (pairs separated by ";" and
// white space): leading ";" skipped, up to the next ";".
std::string CookieValue(std::string_view cookieHeader, std::string_view name);
// The first "&"-separated field that begins with name + "="; its value percent-decoded, and
// with `plusIsSpace` (form bodies) every "+" decoded as a space.
bool FieldValue(std::string_view fields, std::string_view name, std::string& out,
                bool plusIsSpace = false);

}  // namespace hbr
