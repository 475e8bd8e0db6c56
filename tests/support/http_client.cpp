#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hbr {

namespace {
// Guards against a hung server stalling the suite; replies normally arrive at once.
constexpr int kReadTimeoutMs = 20000;
}  // namespace

std::string HttpReply::Header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    return {};
}

bool HttpReply::HasHeader(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return true;
    return false;
}

HttpClient::HttpClient(uint16_t port, const std::string& host, const std::string& source) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

HttpClient::~HttpClient() {
    if (fd_ >= 0) close(fd_);
}

bool HttpClient::SendRaw(const std::string& bytes) {
    if (fd_ < 0) return false;
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool HttpClient::Fill() {
    if (fd_ < 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, kReadTimeoutMs) <= 0) return false;
    char buf[16384];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
}

HttpReply HttpClient::ReadReply() {
    HttpReply reply;
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
        if (!Fill()) return reply;
    const std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    const auto sp1 = statusLine.find(' ');
    if (sp1 == std::string::npos) return reply;
    const auto sp2 = statusLine.find(' ', sp1 + 1);
    reply.status = std::atoi(statusLine.substr(sp1 + 1, sp2 - sp1 - 1).c_str());
    reply.reason = sp2 == std::string::npos ? "" : statusLine.substr(sp2 + 1);
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? lineEnd : lineEnd - start);
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        reply.headers.emplace_back(line.substr(0, colon), value);
    }
    const std::string lengthText = reply.Header("Content-Length");
    const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
    while (buffer_.size() < length)
        if (!Fill()) break;
    reply.body = buffer_.substr(0, length);
    buffer_.erase(0, std::min(length, buffer_.size()));
    return reply;
}

HttpReply HttpClient::Get(const std::string& target, const std::string& extraHeaders) {
    return Request("GET " + target + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders + "\r\n");
}

HttpReply HttpClient::Post(const std::string& target, const std::string& body,
                           const std::string& extraHeaders) {
    return Request("POST " + target + " HTTP/1.1\r\nHost: test\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body);
}

HttpReply HttpClient::Delete(const std::string& target, const std::string& extraHeaders) {
    return Request("DELETE " + target + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders + "\r\n");
}

bool HttpClient::PeerClosed() {
    if (fd_ < 0) return true;
    if (!buffer_.empty()) return false;
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, kReadTimeoutMs) <= 0) return false;
    char c;
    const ssize_t n = recv(fd_, &c, 1, MSG_PEEK);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::string CookieHeader(const std::string& nameValue) {
    return "Cookie: " + nameValue + "\r\n";
}

}  // namespace hbr
