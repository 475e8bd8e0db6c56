#include "console/web_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "web/http_request.h"

namespace hbr {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

constexpr auto kSendTimeout = std::chrono::seconds(30);
// A browser that vanished without a FIN is found by the keep-alive pings at half this time.
constexpr auto kIdleTimeout = std::chrono::seconds(60);
constexpr auto kCloseTimeout = std::chrono::seconds(5);
constexpr auto kCloseGrace = std::chrono::seconds(1);

http::verb BeastVerb(HttpVerb v) {
    switch (v) {
        case HttpVerb::Get:
            return http::verb::get;
        case HttpVerb::Head:
            return http::verb::head;
        case HttpVerb::Post:
            return http::verb::post;
        case HttpVerb::Put:
            return http::verb::put;
        case HttpVerb::Delete:
            return http::verb::delete_;
        case HttpVerb::Options:
            return http::verb::options;
        default:
            return http::verb::unknown;
    }
}

bool PeerGone(const beast::error_code& ec) {
    return ec == net::error::broken_pipe || ec == net::error::connection_reset ||
           ec == net::error::not_connected || ec == net::error::eof ||
           ec == beast::http::error::end_of_stream || ec == net::error::connection_aborted;
}

}  // namespace

struct CWebSocket::Channel {
    net::io_context ioc{1};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    // One of the two: the connection's own socket, or its TLS session over that socket.
    std::optional<websocket::stream<tcp::socket>> plain;
    std::optional<websocket::stream<ssl::stream<tcp::socket>>> secure;
    template <class F>
    decltype(auto) Ws(F&& f) {
        return secure ? f(*secure) : f(*plain);
    }
    tcp::socket& Socket() {
        return secure ? secure->next_layer().next_layer() : plain->next_layer();
    }
    beast::flat_buffer rx;
    bool oversized = false;  // the message being read is dropped
    bool readEnded = false;  // the receive chain has stopped; receive thread only
    std::optional<net::steady_timer> closeGuard;
    std::thread thread;
};

CWebSocket::CWebSocket(HttpRequest& req) : request(req) {}

CWebSocket::~CWebSocket() {
    Shutdown();
}

void CWebSocket::Serve() {
    http::request<http::empty_body> req;
    req.method(BeastVerb(request.Verb()));
    req.target(request.Target());
    req.version(static_cast<unsigned>(request.VersionMajor() * 10 + request.VersionMinor()));
    for (const auto& [name, value] : request.HeaderList()) req.insert(name, value);
    if (!websocket::is_upgrade(req)) throw std::runtime_error("WebSocketCreateServerHandle failed");

    std::string buffered;
    void* tlsSession = nullptr;
    const int fd =
        request.Connection() ? request.Connection()->TakeOverSocket(buffered, &tlsSession) : -1;
    if (fd < 0) throw std::runtime_error("WebSocketCreateServerHandle failed");
    auto channel = std::make_unique<Channel>();
    sockaddr_storage addr{};
    socklen_t addrLen = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addrLen);
    beast::error_code ec;
    tcp::socket socket(channel->ioc);
    socket.assign(addr.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
        if (tlsSession) SSL_free(static_cast<SSL*>(tlsSession));
        throw std::runtime_error("WebSocketCreateServerHandle failed");
    }
    // The TLS session goes on where the request left it, over the same socket.
    if (tlsSession)
        channel->secure.emplace(std::move(socket), static_cast<SSL*>(tlsSession));
    else
        channel->plain.emplace(std::move(socket));
    // A client may not send frames before it has seen the 101; bytes already waiting mean
    // this is no well-behaved handshake.
    if (!buffered.empty()) throw std::runtime_error("WebSocketCreateServerHandle failed");

    channel->Ws([&](auto& ws) {
        ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
            res.reason("SWITCHING_PROTOCOLS");
            res.set(http::field::connection, "Upgrade");
            res.erase(http::field::server);
        }));
        ws.accept(req, ec);
    });
    // Whatever went out, this request is answered now: by the 101 or by the handshake's
    // own refusal.
    request.MarkReplySent();
    if (ec) {
        if (ec.category() == websocket::make_error_code(websocket::error::no_sec_key).category())
            throw std::runtime_error("WebSocketCreateServerHandle failed");
        if (!PeerGone(ec)) throw std::runtime_error("CompleteWS HttpSendHttpResponse failed");
        // The browser left before the reply: the channel has ended before it began.
        channel_ = std::move(channel);
        return;
    }

    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kCloseTimeout;
    timeouts.idle_timeout = kIdleTimeout;
    timeouts.keep_alive_pings = true;
    channel->Ws([&](auto& ws) {
        ws.set_option(timeouts);
        ws.read_message_max(0);  // the size limit is ours: oversized messages are dropped
        ws.auto_fragment(false);
    });
    channel->work.emplace(channel->ioc.get_executor());
    channel_ = std::move(channel);
    closed_.store(0, std::memory_order_release);
    ReadNext();
    channel_->thread = std::thread([this] { channel_->ioc.run(); });
}

// Runs on the receive thread (the first call before it starts).
void CWebSocket::ReadNext() {
    Channel& ch = *channel_;
    ch.Ws([&](auto& ws) {
        ws.async_read_some(ch.rx, 16 * 1024, [this](beast::error_code ec, size_t) {
            Channel& c = *channel_;
            if (ec) {
                c.readEnded = true;
                closed_.store(1, std::memory_order_release);
                if (c.closeGuard) c.closeGuard->cancel();
                // Once the chain is over in teardown, what remains queued (the stream's own ping
                // timer) is abandoned rather than waited for.
                if (tearingDown_)
                    c.ioc.stop();
                else
                    OnClosed();
                return;
            }
            if (c.rx.size() > kMaxMessageBytes) {
                c.oversized = true;
                c.rx.clear();
            }
            const bool messageDone = c.Ws([](auto& s) { return s.is_message_done(); });
            if (messageDone) {
                if (!c.oversized && !tearingDown_) {
                    const auto data = c.rx.cdata();
                    const auto* bytes = static_cast<const uint8_t*>(data.data());
                    if (c.Ws([](auto& s) { return s.got_text(); }))
                        OnTextMessage(
                            std::string_view(reinterpret_cast<const char*>(bytes), data.size()));
                    else
                        OnBinaryMessage(bytes, data.size());
                }
                c.oversized = false;
                c.rx.clear();
            }
            ReadNext();
        });
    });
}

void CWebSocket::SendBinary(const void* bytes, size_t length) {
    Send(true, bytes, length);
}

void CWebSocket::SendText(std::string_view text) {
    Send(false, text.data(), text.size());
}

void CWebSocket::Send(bool binary, const void* bytes, size_t length) {
    if (Closed() || !channel_) return;
    Channel& ch = *channel_;
    // The receive party must never wait for itself.
    if (ch.ioc.get_executor().running_in_this_thread()) return;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    auto finish = [&] {
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    };
    net::post(ch.ioc, [&] {
        if (Closed()) return finish();
        ch.Ws([&](auto& ws) {
            ws.binary(binary);
            ws.async_write(net::buffer(bytes, length), [&](beast::error_code ec, size_t) {
                if (ec) closed_.store(1, std::memory_order_release);
                finish();
            });
        });
    });
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, kSendTimeout, [&] { return done; })) {
        // A browser that stopped reading: end the channel, which fails the pending write.
        closed_.store(1, std::memory_order_release);
        net::post(ch.ioc, [&ch] {
            beast::error_code ignored;
            ch.Socket().shutdown(tcp::socket::shutdown_both, ignored);
            ch.Socket().cancel(ignored);
        });
        cv.wait(lock, [&] { return done; });
    }
}

void CWebSocket::Shutdown() {
    if (!channel_) return;
    tearingDown_ = true;
    closed_.store(1, std::memory_order_release);
    Channel& ch = *channel_;
    if (ch.thread.joinable()) {
        net::post(ch.ioc, [&ch] {
            auto drop = [&ch] {
                beast::error_code ignored;
                ch.Socket().shutdown(tcp::socket::shutdown_both, ignored);
                ch.Socket().close(ignored);
                if (ch.readEnded) ch.ioc.stop();
            };
            if (ch.readEnded) return drop();
            // A close frame while the peer still listens; the socket goes when it answers
            // (which ends the receive chain), or after a short grace if it does not.
            ch.closeGuard.emplace(ch.ioc, kCloseGrace);
            ch.closeGuard->async_wait([drop](beast::error_code ec) {
                if (!ec) drop();
            });
            ch.Ws([&](auto& ws) {
                ws.async_close(websocket::close_code::normal,
                               [drop](beast::error_code) { drop(); });
            });
        });
        ch.work.reset();
        ch.thread.join();
    }
    beast::error_code ignored;
    if (ch.plain || ch.secure) ch.Socket().close(ignored);
    channel_.reset();
}

}  // namespace hbr
