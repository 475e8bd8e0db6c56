#include "support/canned_tls_host.h"

#include <sys/socket.h>

namespace hbr::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

const TestCertificate& LoopbackCertificate() {
    static const TestCertificate cert = MakeLoopbackCertificate();
    return cert;
}

CannedAnswer HttpAnswer(int status, const std::string& body, const std::string& extraHeaders) {
    CannedAnswer a;
    a.bytes = "HTTP/1.1 " + std::to_string(status) +
              " X\r\nContent-Type: application/soap+xml\r\n" + extraHeaders +
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return a;
}

CannedHost::CannedHost(std::function<CannedAnswer(const CannedRequest&)> answer)
    : answer_(std::move(answer)), ssl_(asio::ssl::context::tls_server) {
    const auto& cert = LoopbackCertificate();
    ssl_.use_certificate_chain(asio::buffer(cert.certPem));
    ssl_.use_private_key(asio::buffer(cert.keyPem), asio::ssl::context::pem);
    acceptor_.open(tcp::v4());
    acceptor_.bind(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { AcceptLoop(); });
}

CannedHost::~CannedHost() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    wake_.notify_all();
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    thread_.join();
    for (auto& t : connections_) t.join();
}

std::string CannedHost::Url(const std::string& options) const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/wsman?" + options;
}

std::vector<CannedRequest> CannedHost::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void CannedHost::WaitForStop() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopping_; });
}

void CannedHost::AcceptLoop() {
    for (;;) {
        boost::system::error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        std::lock_guard lock(mutex_);
        if (ec || stopping_) return;
        ++accepted_;
        fds_.push_back(socket.native_handle());
        connections_.emplace_back([this, s = std::move(socket)]() mutable { Serve(std::move(s)); });
    }
}

void CannedHost::Serve(tcp::socket socket) {
    asio::ssl::stream<tcp::socket> stream(std::move(socket), ssl_);
    boost::system::error_code ec;
    stream.handshake(asio::ssl::stream_base::server, ec);
    if (ec) return;
    boost::beast::flat_buffer buffer;
    for (;;) {
        CannedRequest request;
        http::read(stream, buffer, request, ec);
        if (ec) return;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const CannedAnswer a = answer_(request);
        if (a.kind == CannedAnswer::Kind::Silent) {
            WaitForStop();
            return;
        }
        if (a.kind == CannedAnswer::Kind::Endless) {
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
                std::to_string(100u << 20) + "\r\n\r\n<s:Envelope>";
            asio::write(stream, asio::buffer(head), ec);
            const std::string chunk(64 << 10, ' ');
            for (std::size_t sent = 0; !ec && sent < (100u << 20); sent += chunk.size())
                asio::write(stream, asio::buffer(chunk), ec);
            return;
        }
        asio::write(stream, asio::buffer(a.bytes), ec);
        if (ec) return;
    }
}

}  // namespace hbr::test
