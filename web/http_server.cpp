#include "web/http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/process_state.h"
#include "platform/hbr_exception.h"
#include "platform/worker_pool.h"
#include "web/request_reader.h"
#include "web/url_text.h"

namespace hbr {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr auto kHeaderTimeout = std::chrono::seconds(30);
constexpr auto kBodyTimeout = std::chrono::seconds(60);
constexpr int kWriteTimeoutMs = 60000;

constexpr std::string_view kInsufficientStorage = "<HTML><BODY>Insufficient Storage</BODY><HTML>";

class Connection;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ServerState {
    // Declared first so they outlive the io_context, whose teardown releases connections.
    std::mutex connectionsMutex;  // the connection table
    std::map<uint64_t, std::weak_ptr<Connection>> connections;
    std::atomic<uint64_t> nextId{1};
    std::atomic<bool> stopping{false};
    net::io_context ioc;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::unique_ptr<net::steady_timer> sweeper;
    std::vector<std::thread> ioThreads;
    WorkerPool pool;
    RequestHandler handler;
    UrlTemplate url;
};

std::mutex g_serverMutex;  // guards start and stop of the one server
std::unique_ptr<ServerState> g_server;

std::string AddressText(const tcp::endpoint& ep) {
    auto addr = ep.address();
    if (addr.is_v6() && addr.to_v6().is_v4_mapped())
        addr = net::ip::make_address_v4(net::ip::v4_mapped, addr.to_v6());
    return addr.to_string();
}

class Connection : public HttpConnection, public std::enable_shared_from_this<Connection> {
  public:
    Connection(ServerState& server, tcp::socket socket, uint64_t id)
        : server_(server), socket_(std::move(socket)), id_(id) {
        beast::error_code ec;
        const auto ep = socket_.remote_endpoint(ec);
        if (!ec) remote_ = AddressText(ep);
    }

    ~Connection() override {
        std::lock_guard lock(server_.connectionsMutex);
        server_.connections.erase(id_);
    }

    void Start() {
        {
            std::lock_guard lock(server_.connectionsMutex);
            server_.connections[id_] = weak_from_this();
        }
        // Reads on a handler's thread (ReadNextNow) must never wait for the client.
        beast::error_code ec;
        socket_.non_blocking(true, ec);
        ReadHeader();
    }

    uint64_t Id() const override { return id_; }

    // Runs on the handler's thread while no read is outstanding, so the socket is ours alone.
    // A peer that stops reading cannot hold the thread past the write timeout.
    bool Write(std::string_view bytes) override { return Write(bytes, {}); }

    // Head and body leave in one gathered send: no copy of the body, and no small head segment
    // of its own waiting for the peer's acknowledgement.
    bool Write(std::string_view head, std::string_view body) override {
        return SendAll(head, body, 0);
    }

    bool WriteFile(std::string_view head, int fd, size_t length) override {
        // The head goes with MSG_MORE, so it leaves in one segment with the file's first bytes.
        if (!SendAll(head, {}, MSG_MORE)) return false;
        const int sock = socket_.native_handle();
        off_t at = 0;
        while (static_cast<size_t>(at) < length) {
            const ssize_t n = ::sendfile(sock, fd, &at, length - static_cast<size_t>(at));
            if (n > 0) continue;
            if (n == 0) break;  // the file is shorter than said: the reply cannot be completed
            if (!WaitWritable(n)) return false;
        }
        if (static_cast<size_t>(at) == length) return true;
        closeAfter_ = true;
        return false;
    }

    void CloseAfterReply() override { closeAfter_ = true; }

    // Runs on the handler's thread while no read is outstanding. The duplicate shares the
    // socket, so Shutdown() here still ends the channel that took it.
    int TakeOverSocket(std::string& buffered) override {
        const auto data = buffer_.data();
        buffered.assign(static_cast<const char*>(data.data()), data.size());
        buffer_.consume(buffer_.size());
        closeAfter_ = true;
        deadline_ = 0;
        return ::fcntl(socket_.native_handle(), F_DUPFD_CLOEXEC, 0);
    }

    // Wakes every party blocked on the socket; the descriptor itself is closed with the object.
    void Shutdown() {
        beast::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
    }

  private:
    // Sends head then body, gathered, with `flags` added to each send; false ends the connection.
    bool SendAll(std::string_view head, std::string_view body, int flags) {
        const int fd = socket_.native_handle();
        iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                          {const_cast<char*>(body.data()), body.size()}};
        size_t first = 0;
        while (first < 2) {
            if (parts[first].iov_len == 0) {
                ++first;
                continue;
            }
            msghdr msg{};
            msg.msg_iov = parts + first;
            msg.msg_iovlen = 2 - first;
            const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
            if (n > 0) {
                size_t left = static_cast<size_t>(n);
                for (size_t i = first; i < 2 && left > 0; ++i) {
                    const size_t step = std::min(left, parts[i].iov_len);
                    parts[i].iov_base = static_cast<char*>(parts[i].iov_base) + step;
                    parts[i].iov_len -= step;
                    left -= step;
                }
                continue;
            }
            if (!WaitWritable(n)) return false;
        }
        return true;
    }

    // After a send that did not go through: true when it may be tried again (interrupted, or
    // the socket became writable within the write timeout). False ends the connection.
    bool WaitWritable(ssize_t result) {
        if (result < 0 && errno == EINTR) return true;
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{socket_.native_handle(), POLLOUT, 0};
            const int r = ::poll(&pfd, 1, kWriteTimeoutMs);
            if (r > 0 && !(pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return true;
        }
        closeAfter_ = true;
        return false;
    }

    void NewParser() {
        parser_.emplace();
        ApplyRequestLimits(*parser_);
        SetDeadline(kHeaderTimeout);
    }

    void ReadHeader() {
        if (server_.stopping) return;
        NewParser();
        ContinueHeader();
    }

    // Reads the rest of a header block the parser has begun (or not).
    void ContinueHeader() {
        http::async_read_header(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
    }

    // On the handler's thread once its reply is out: a keep-alive client often has its next
    // request here already. Reading it without waiting, and serving it on this same thread,
    // spares it two hand-overs between threads. The handler still never runs on an io thread,
    // and anything short of a whole body-less request here continues as an asynchronous read.
    // Null when the read goes on asynchronously or the connection has been dealt with.
    std::shared_ptr<HttpRequest> ReadNextNow() {
        if (server_.stopping) return nullptr;
        NewParser();
        beast::error_code ec;
        http::read_header(socket_, buffer_, *parser_, ec);
        if (ec == net::error::would_block || ec == net::error::try_again) {
            ContinueHeader();
            return nullptr;
        }
        if (ec || !parser_->is_done()) {
            OnHeader(ec);  // a failure, or a body still to read: the usual way
            return nullptr;
        }
        return TakeRequest();
    }

    void OnHeader(beast::error_code ec) {
        if (ec) return FailRead(ec);
        const auto& req = parser_->get();
        const auto expect = req[http::field::expect];
        if (!parser_->is_done() && StartsWithNoCase(expect, "100-continue")) {
            const std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!Write(cont)) return;
        }
        if (parser_->is_done()) return Dispatch();
        SetDeadline(kBodyTimeout);
        http::async_read(socket_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec2, size_t) {
                             if (ec2) return self->FailRead(ec2);
                             self->Dispatch();
                         });
    }

    void FailRead(beast::error_code ec) {
        if (ec == http::error::header_limit) {
            std::string reply =
                "HTTP/1.1 507 Insufficient Storage\r\nContent-Length: 45\r\n"
                "Connection: close\r\n\r\n";
            reply += kInsufficientStorage;
            Write(reply);
        } else if (ec == http::error::body_limit) {
            ReplyAndClose(413, "Request Entity Too Large");
        } else if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
                   ec != http::error::end_of_stream && ec != http::error::partial_message) {
            ReplyAndClose(400, "Bad Request");
        }
        // End of stream, a reset or a timeout: nobody is listening for a reply.
        Shutdown();
    }

    void ReplyAndClose(int status, std::string_view text) {
        std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + std::string(text) +
                            "\r\nContent-Length: " + std::to_string(text.size()) +
                            "\r\nConnection: close\r\n\r\n";
        reply += text;
        Write(reply);
        Shutdown();
    }

    void Dispatch() {
        auto request = TakeRequest();
        if (!request) return;
        // The task holds the only reference, so the request is answered and gone before the
        // connection decides whether to read again.
        server_.pool.Submit([self = shared_from_this(), request = std::move(request)]() mutable {
            self->Serve(std::move(request));
        });
    }

    // Runs on a worker: the handler, then whatever requests the client has sent meanwhile.
    void Serve(std::shared_ptr<HttpRequest> request) {
        while (request) {
            try {
                server_.handler(*request);
            } catch (...) {
                // The request's own teardown answers 500 when nothing was sent.
            }
            request.reset();
            if (closeAfter_ || server_.stopping) return Shutdown();
            request = ReadNextNow();
        }
    }

    // The parsed request handed over for its handler; null when the listener answered it
    // itself (and went on reading, or closed).
    std::shared_ptr<HttpRequest> TakeRequest() {
        deadline_ = 0;
        auto& req = parser_->get();
        HttpRequestData data;
        const RequestVerdict verdict = ReadRequestMessage(req, server_.url.path, remote_, data);
        if (verdict == RequestVerdict::BadRequest) {
            ReplyAndClose(400, "Bad Request");
            return nullptr;
        }
        if (verdict == RequestVerdict::OutsideTemplate) {
            // Outside the template's path: the listener answers, the connection stays.
            std::string reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot Found";
            if (!Write(reply) || !req.keep_alive())
                Shutdown();
            else
                ReadHeader();
            return nullptr;
        }
        parser_.reset();
        return std::make_shared<HttpRequest>(shared_from_this(), std::move(data));
    }

    ServerState& server_;
    void SetDeadline(std::chrono::seconds d) {
        deadline_ = NowMs() + std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }

  public:
    // Ends a connection whose client has not delivered its request in time.
    void ShutdownIfExpired(int64_t now) {
        const int64_t d = deadline_;
        if (d != 0 && now > d) Shutdown();
    }

  private:
    tcp::socket socket_;
    std::atomic<int64_t> deadline_{0};  // steady milliseconds; 0 while none runs
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    const uint64_t id_;
    std::string remote_;
    std::atomic<bool> closeAfter_{false};
};

// One timer for all deadlines: connections carry no timers of their own.
void Sweep(ServerState& server, net::steady_timer& timer) {
    timer.expires_after(std::chrono::seconds(1));
    timer.async_wait([&server, &timer](beast::error_code ec) {
        if (ec || server.stopping) return;
        std::vector<std::shared_ptr<Connection>> live;
        {
            std::lock_guard lock(server.connectionsMutex);
            for (auto& [id, weak] : server.connections)
                if (auto c = weak.lock()) live.push_back(std::move(c));
        }
        const int64_t now = NowMs();
        for (auto& c : live) c->ShutdownIfExpired(now);
        live.clear();
        Sweep(server, timer);
    });
}

void Accept(ServerState& server, tcp::acceptor& acceptor) {
    acceptor.async_accept(net::make_strand(server.ioc), [&server, &acceptor](beast::error_code ec,
                                                                             tcp::socket socket) {
        if (ec == net::error::operation_aborted || server.stopping) return;
        if (!ec) {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<Connection>(server, std::move(socket), server.nextId++)->Start();
        }
        Accept(server, acceptor);
    });
}

[[noreturn]] void ThrowBindError(const std::string& url, int err) {
    if (err == EADDRINUSE)
        throw CHbrException("The specified URL=" + url +
                            " conflicts with an existing registration.\nTo view listening "
                            "sockets use:\n ss -ltnp");
    if (err == EACCES || err == EPERM)
        throw CHbrException("Access is denied to register the URL=" + url +
                            ".\nTo view listening sockets use:\n ss -ltnp");
    throw CHbrException("AddUrl " + url, err);
}

// Opens, binds and listens; the errno of a failure, or 0.
int Listen(ServerState& server, const tcp::endpoint& ep, bool dualStack) {
    auto acceptor = std::make_unique<tcp::acceptor>(server.ioc);
    beast::error_code ec;
    acceptor->open(ep.protocol(), ec);
    if (ec) return ec.value();
    acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (ep.address().is_v6()) acceptor->set_option(net::ip::v6_only(!dualStack), ec);
    acceptor->bind(ep, ec);
    if (ec) return ec.value();
    acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) return ec.value();
    server.acceptors.push_back(std::move(acceptor));
    return 0;
}

void BindTemplate(ServerState& server, const std::string& url) {
    const auto& t = server.url;
    const uint16_t port = t.port;
    if (t.host == "localhost") {
        if (int err = Listen(server, {net::ip::address_v4::loopback(), port}, false))
            ThrowBindError(url, err);
        Listen(server, {net::ip::address_v6::loopback(), port}, false);  // IPv6 may be off
        return;
    }
    beast::error_code ec;
    const auto literal = net::ip::make_address(t.host, ec);
    if (!ec) {
        if (int err = Listen(server, {literal, port}, false)) ThrowBindError(url, err);
        return;
    }
    // "+", "*" and every other name: all addresses, both families where the host has IPv6.
    int err = Listen(server, {net::ip::address_v6::any(), port}, true);
    if (err == EAFNOSUPPORT || err == EADDRNOTAVAIL)
        err = Listen(server, {net::ip::address_v4::any(), port}, false);
    if (err) ThrowBindError(url, err);
}

}  // namespace

void StartServer(const std::string& url, RequestHandler handler) {
    std::lock_guard guard(g_serverMutex);
    if (g_server) throw CHbrException("HttpInitialize: the server is already running");
    auto parsed = ParseUrlTemplate(url);
    if (!parsed) throw CHbrException("AddUrl " + url, EINVAL);
    if (parsed->scheme != "http") throw CHbrException("AddUrl " + url, EPROTONOSUPPORT);

    // A reply sent from a file (sendfile) cannot be spared the broken-pipe signal the way send()
    // is; a client that leaves in the middle must end its connection, never the process.
    ::signal(SIGPIPE, SIG_IGN);
    auto server = std::make_unique<ServerState>();
    server->url = *parsed;
    server->handler = std::move(handler);
    BindTemplate(*server, url);
    server->work.emplace(server->ioc.get_executor());
    for (auto& acceptor : server->acceptors) Accept(*server, *acceptor);
    server->sweeper = std::make_unique<net::steady_timer>(server->ioc);
    Sweep(*server, *server->sweeper);
    const unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    for (unsigned i = 0; i < n; ++i)
        server->ioThreads.emplace_back([s = server.get()] { s->ioc.run(); });
    g_server = std::move(server);
}

void StopServer() {
    std::unique_ptr<ServerState> server;
    {
        std::lock_guard guard(g_serverMutex);
        server = std::move(g_server);
    }
    if (!server) return;
    server->stopping = true;
    // Acceptors belong to the io threads; close them there.
    std::promise<void> closed;
    net::post(server->ioc, [&] {
        for (auto& a : server->acceptors) {
            beast::error_code ec;
            a->close(ec);
        }
        server->sweeper->cancel();
        closed.set_value();
    });
    closed.get_future().wait();
    std::vector<std::shared_ptr<Connection>> live;
    {
        std::lock_guard lock(server->connectionsMutex);
        for (auto& [id, weak] : server->connections)
            if (auto c = weak.lock()) live.push_back(std::move(c));
    }
    // Released outside the table lock: the last reference's destructor takes it.
    for (auto& c : live) c->Shutdown();
    live.clear();
    server->pool.Shutdown();  // handlers see their sockets closed and finish
    server->work.reset();
    server->ioc.stop();
    for (auto& t : server->ioThreads) t.join();
    server->ioThreads.clear();
}

bool ServerRunning() {
    std::lock_guard guard(g_serverMutex);
    return g_server != nullptr;
}

}  // namespace hbr
