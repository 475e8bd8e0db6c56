#pragma once
// A deliberately plain HTTP/1.1 client for tests: raw bytes out, parsed replies in, so tests
// can send what no well-behaved client would.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hbr {

struct HttpReply {
    int status = 0;  // 0: no reply (connection closed or timed out)
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The first header of that name (any letter case), or empty.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

class HttpClient {
  public:
    // `source`: the local address to connect from (any 127.x.y.z reaches a loopback server),
    // so that tests can be several clients; empty: the system's choice.
    explicit HttpClient(uint16_t port, const std::string& host = "127.0.0.1",
                        const std::string& source = "");
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool SendRaw(const std::string& bytes);
    // Reads one reply (status line, headers, Content-Length body).
    HttpReply ReadReply();
    HttpReply Request(const std::string& raw) {
        SendRaw(raw);
        return ReadReply();
    }
    HttpReply Get(const std::string& target, const std::string& extraHeaders = "");
    HttpReply Post(const std::string& target, const std::string& body,
                   const std::string& extraHeaders = "");
    HttpReply Delete(const std::string& target, const std::string& extraHeaders = "");
    // True when the server has closed the connection (reads end of stream).
    bool PeerClosed();

  private:
    bool Fill();
    int fd_ = -1;
    std::string buffer_;
};

// Builds "Cookie: name=value\r\n" for requests.
std::string CookieHeader(const std::string& nameValue);

}  // namespace hbr
