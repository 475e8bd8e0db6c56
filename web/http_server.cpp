#include "web/http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
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
#include "web/file_body.h"
#include "web/request_reader.h"
#include "web/server_limits.h"
#include "web/tls_certificate.h"
#include "web/url_text.h"

namespace hbr {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

constexpr auto kHeaderTimeout = std::chrono::seconds(30);
constexpr auto kBodyTimeout = std::chrono::seconds(60);

constexpr std::string_view kInsufficientStorage = "<HTML><BODY>Insufficient Storage</BODY><HTML>";

class Connection;

// Connections may take all descriptors but a reserve: a request still needs its own for a
// file, the database's journal, a host's socket or a console session, and a server whose
// every descriptor is a connection answers nobody. Past the cap a newcomer takes the place of
// the oldest idle connection; the descriptors of those shed are given back a moment later, so
// half the reserve is kept for that moment, and past it newcomers are closed at once.
struct ConnectionCaps {
    size_t soft = SIZE_MAX;
    size_t hard = SIZE_MAX;
};

ConnectionCaps CapsFromDescriptorLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return {};
    const auto limit = static_cast<size_t>(r.rlim_cur);
    const size_t reserve = std::max<size_t>(32, limit / 8);
    if (limit <= 2 * reserve) return {limit / 2, limit / 2 + limit / 8};
    return {limit - reserve, limit - reserve / 2};
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ServerState {
    // Declared first so they outlive the io_context, whose teardown releases connections.
    std::mutex connectionsMutex;  // the connection table
    std::map<uint64_t, std::weak_ptr<Connection>> connections;
    std::map<std::string, size_t> perClient;  // open connections by client address; table lock
    std::atomic<uint64_t> nextId{1};
    std::atomic<bool> stopping{false};
    net::io_context ioc;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::unique_ptr<net::steady_timer> sweeper;
    std::vector<std::thread> ioThreads;
    WorkerPool pool{1024, std::chrono::milliseconds(Limits().workerIdleMs),
                    Limits().workerIdleKeep};
    RequestHandler handler;
    UrlTemplate url;
    ConnectionCaps connectionCaps = CapsFromDescriptorLimit();

    // TLS: the context new connections take, and what it was loaded from.
    std::mutex tlsMutex;
    std::shared_ptr<ssl::context> tlsContext;
    TlsFiles tlsFiles;
    std::string tlsStamp;
    int64_t tlsCheckedAt = 0;  // io threads only (the sweeper)
    std::string fingerprint;

    std::shared_ptr<ssl::context> CurrentTls() {
        std::lock_guard lock(tlsMutex);
        return tlsContext;
    }
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
    Connection(ServerState& server, tcp::socket socket, uint64_t id, std::string client,
               std::shared_ptr<ssl::context> tls)
        : server_(server),
          socket_(std::move(socket)),
          tlsContext_(std::move(tls)),
          id_(id),
          remote_(std::move(client)) {
        if (tlsContext_) tls_ = std::make_unique<ssl::stream<tcp::socket&>>(socket_, *tlsContext_);
    }

    ~Connection() override {
        std::lock_guard lock(server_.connectionsMutex);
        server_.connections.erase(id_);
        auto it = server_.perClient.find(remote_);
        if (it != server_.perClient.end() && --it->second == 0) server_.perClient.erase(it);
    }

    void Start() {
        {
            std::lock_guard lock(server_.connectionsMutex);
            server_.connections[id_] = weak_from_this();
        }
        // Writes try the socket first and never wait for the client.
        beast::error_code ec;
        socket_.non_blocking(true, ec);
        if (!tls_) return ReadHeader();
        SetDeadline(kHeaderTimeout);
        // Plain HTTP, or anything else that is no TLS hello, fails here and is closed.
        tls_->async_handshake(ssl::stream_base::server,
                              [self = shared_from_this()](beast::error_code e) {
                                  if (e) return self->Shutdown();
                                  self->ReadHeader();
                              });
    }

    uint64_t Id() const override { return id_; }
    bool Secure() const override { return tls_ != nullptr; }

    bool Write(std::string_view bytes) override { return Put(bytes, {}, nullptr); }
    bool Write(std::string_view head, std::string_view body) override {
        return Put(head, body, nullptr);
    }
    bool WriteFile(std::string_view head, std::shared_ptr<const FileBody> file) override {
        return Put(head, {}, std::move(file));
    }

    void CloseAfterReply() override { closeAfter_ = true; }

    // Runs on the handler's thread while no read or write is outstanding, so the socket is ours
    // alone. The duplicate shares the socket, so Shutdown() here still ends the channel that
    // took it.
    int TakeOverSocket(std::string& buffered, void** tlsSession) override {
        if (tlsSession) *tlsSession = nullptr;
        if (tls_ && !tlsSession) return -1;
        const auto data = buffer_.data();
        buffered.assign(static_cast<const char*>(data.data()), data.size());
        buffer_.consume(buffer_.size());
        closeAfter_ = true;
        deadline_ = 0;
        const int fd = ::fcntl(socket_.native_handle(), F_DUPFD_CLOEXEC, 0);
        if (fd >= 0 && tls_) {
            SSL* session = tls_->native_handle();
            SSL_up_ref(session);
            *tlsSession = session;
        }
        return fd;
    }

    // Wakes every party blocked on the socket; the descriptor itself is closed with the object.
    void Shutdown() {
        idleSince_ = 0;  // no longer a candidate for shedding
        beast::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
    }

    // Ends a connection whose client has not delivered its request, or taken its reply, in time.
    void ShutdownIfExpired(int64_t now) {
        const int64_t d = deadline_;
        if (d != 0 && now > d) Shutdown();
    }

    // Since when the connection waits for a request that has not begun; 0 while it does not.
    int64_t IdleSince() const { return idleSince_; }

  private:
    enum class Next { AfterReply, ReadBody, Close };

    // A reply that the socket did not take at once: its rest, owned, sent as the client reads.
    struct Pending {
        std::string head;
        std::string body;
        std::shared_ptr<const FileBody> file;
        off_t fileAt = 0;
        // TLS only: how far head and body have gone into pieces, and the piece being written.
        size_t headAt = 0, bodyAt = 0;
        std::unique_ptr<char[]> piece;
        size_t pieceCap = 0, pieceAt = 0, pieceEnd = 0;
    };

    // Sends what the socket takes now and keeps the rest for sending asynchronously, so no
    // thread ever waits for a client that does not read. False when the connection failed.
    bool Put(std::string_view head, std::string_view body, std::shared_ptr<const FileBody> file,
             Next next = Next::AfterReply) {
        if (failed_) return false;
        if (pending_) {  // one reply at a time; a second one means a fault of the caller
            closeAfter_ = true;
            return false;
        }
        auto p = std::make_unique<Pending>();
        if (tls_) {
            p->head.assign(head);
            p->body.assign(body);
            p->file = std::move(file);
        } else {
            size_t headAt = 0, bodyAt = 0;
            off_t fileAt = 0;
            const int r = SendNow(head, headAt, body, bodyAt, file.get(), fileAt);
            if (r < 0) return Fail();
            if (r > 0) return true;
            p->head.assign(head.substr(headAt));
            p->body.assign(body.substr(bodyAt));
            p->file = std::move(file);
            p->fileAt = fileAt;
        }
        pending_ = std::move(p);
        // A handler's reply continues once the handler has returned (Serve); a reply of the
        // listener's own continues at once.
        if (!inHandler_) Continue(next);
        return true;
    }

    bool Fail() {
        failed_ = true;
        closeAfter_ = true;
        pending_.reset();
        Shutdown();
        return false;
    }

    // Plain sockets: head and body gathered, then the file with sendfile. 1 when everything
    // went, 0 when the socket is full (the positions say how far), -1 when the peer is gone.
    int SendNow(std::string_view head, size_t& headAt, std::string_view body, size_t& bodyAt,
                const FileBody* file, off_t& fileAt) {
        const int fd = socket_.native_handle();
        const int more = file ? MSG_MORE : 0;
        while (headAt < head.size() || bodyAt < body.size()) {
            iovec parts[2] = {{const_cast<char*>(head.data() + headAt), head.size() - headAt},
                              {const_cast<char*>(body.data() + bodyAt), body.size() - bodyAt}};
            msghdr msg{};
            msg.msg_iov = parts[0].iov_len ? parts : parts + 1;
            msg.msg_iovlen = parts[0].iov_len ? 2 : 1;
            const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT | more);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
            if (n <= 0) return -1;
            size_t left = static_cast<size_t>(n);
            const size_t h = std::min(left, head.size() - headAt);
            headAt += h;
            left -= h;
            bodyAt += left;
            Progress();
        }
        if (!file) return 1;
        while (static_cast<size_t>(fileAt) < file->Size()) {
            const ssize_t n =
                ::sendfile(fd, file->Fd(), &fileAt, file->Size() - static_cast<size_t>(fileAt));
            if (n > 0) {
                Progress();
                continue;
            }
            if (n == 0) return -1;  // the file is shorter than said: the reply cannot be whole
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return -1;
        }
        return 1;
    }

    // A reply that moves keeps its connection; one that stalls is ended by the sweeper.
    void Progress() {
        if (pending_ || inAsyncWrite_) deadline_ = NowMs() + Limits().replyStallMs;
    }

    // Sends the pending reply as the client takes it, then goes on with `next`.
    void Continue(Next next) {
        if (!pending_) return Then(next);
        if (!inAsyncWrite_) {
            inAsyncWrite_ = true;
            deadline_ = NowMs() + Limits().replyStallMs;
        }
        if (tls_) return WriteTls(next);
        socket_.async_wait(
            tcp::socket::wait_write, [self = shared_from_this(), next](beast::error_code ec) {
                if (ec) return (void)self->Fail();
                Pending& p = *self->pending_;
                size_t headAt = 0, bodyAt = 0;
                const int r = self->SendNow(p.head, headAt, p.body, bodyAt, p.file.get(), p.fileAt);
                if (r < 0) return (void)self->Fail();
                p.head.erase(0, headAt);
                p.body.erase(0, bodyAt);
                if (r == 0) return self->Continue(next);
                self->FinishWrite(next);
            });
    }

    // The reply is encrypted from pieces of 64 KiB: the first gathers the head, the body and
    // the start of a file's bytes, so the head shares its record with what follows; the rest of
    // a file goes from its bytes in memory, copied nowhere. Each record that goes counts as
    // progress.
    static constexpr size_t kTlsPiece = 64 * 1024;

    void WriteTls(Next next) {
        Pending& p = *pending_;
        const bool gathered = p.headAt == p.head.size() && p.bodyAt == p.body.size();
        const bool direct = p.pieceAt == p.pieceEnd && gathered && p.file;
        if (p.pieceAt == p.pieceEnd && !direct && !FillTlsPiece(p)) return FinishWrite(next);
        net::const_buffer out;
        if (direct) {
            const size_t at = static_cast<size_t>(p.fileAt);
            if (at >= p.file->Size()) return FinishWrite(next);
            out = net::buffer(p.file->Text().data() + at, std::min(kTlsPiece, p.file->Size() - at));
        } else {
            out = net::buffer(p.piece.get() + p.pieceAt, p.pieceEnd - p.pieceAt);
        }
        tls_->async_write_some(out, [self = shared_from_this(), next, direct](
                                        beast::error_code ec, size_t written) {
            if (ec) return (void)self->Fail();
            if (direct)
                self->pending_->fileAt += static_cast<off_t>(written);
            else
                self->pending_->pieceAt += written;
            self->deadline_ = NowMs() + Limits().replyStallMs;
            self->WriteTls(next);
        });
    }

    // The next piece from the head, the body and a file's bytes in turn; false when all has gone.
    // With a file to follow, the piece need only fill the head's record: the file's bytes go
    // from memory after it.
    static bool FillTlsPiece(Pending& p) {
        constexpr size_t kTlsRecord = 16 * 1024;
        if (!p.piece) {
            const size_t rest = p.head.size() - p.headAt + p.body.size() - p.bodyAt;
            p.pieceCap = std::min(kTlsPiece, p.file ? std::max(rest, kTlsRecord) : rest);
            p.piece = std::make_unique_for_overwrite<char[]>(p.pieceCap);
        }
        size_t len = 0;
        auto take = [&](std::string_view from, size_t& at) {
            const size_t n = std::min(from.size() - at, p.pieceCap - len);
            std::memcpy(p.piece.get() + len, from.data() + at, n);
            at += n;
            len += n;
        };
        take(p.head, p.headAt);
        take(p.body, p.bodyAt);
        if (p.file) {
            size_t at = static_cast<size_t>(p.fileAt);
            take(p.file->Text(), at);
            p.fileAt = static_cast<off_t>(at);
        }
        p.pieceAt = 0;
        p.pieceEnd = len;
        return len > 0;
    }

    void FinishWrite(Next next) {
        pending_.reset();
        inAsyncWrite_ = false;
        deadline_ = 0;
        Then(next);
    }

    void Then(Next next) {
        switch (next) {
            case Next::AfterReply:
                if (closeAfter_ || server_.stopping) return Shutdown();
                return ReadHeader();
            case Next::ReadBody:
                return ReadBody();
            case Next::Close:
                return Shutdown();
        }
    }

    void NewParser() {
        parser_.emplace();
        ApplyRequestLimits(*parser_);
        SetDeadline(kHeaderTimeout);
    }

    void ReadHeader() {
        if (server_.stopping) return;
        NewParser();
        idleSince_ = NowMs();
        ContinueHeader();
    }

    // Reads the rest of a header block the parser has begun (or not).
    void ContinueHeader() {
        auto done = [self = shared_from_this()](beast::error_code ec, size_t) {
            self->idleSince_ = 0;
            self->OnHeader(ec);
        };
        if (tls_)
            http::async_read_header(*tls_, buffer_, *parser_, std::move(done));
        else
            http::async_read_header(socket_, buffer_, *parser_, std::move(done));
    }

    // On the handler's thread once its reply is out: a keep-alive client often has its next
    // request here already. Reading it without waiting, and serving it on this same thread,
    // spares it two hand-overs between threads. The handler still never runs on an io thread,
    // and anything short of a whole body-less request here continues as an asynchronous read.
    // Null when the read goes on asynchronously or the connection has been dealt with.
    std::shared_ptr<HttpRequest> ReadNextNow() {
        if (server_.stopping) return nullptr;
        if (tls_) {  // a TLS record cannot be read half without waiting
            ReadHeader();
            return nullptr;
        }
        NewParser();
        beast::error_code ec;
        http::read_header(socket_, buffer_, *parser_, ec);
        if (ec == net::error::would_block || ec == net::error::try_again) {
            idleSince_ = buffer_.size() == 0 ? NowMs() : 0;
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
            if (!Put("HTTP/1.1 100 Continue\r\n\r\n", {}, nullptr, Next::ReadBody)) return;
            if (pending_) return;  // the body is read once the interim reply has gone
        }
        if (parser_->is_done()) return Dispatch();
        ReadBody();
    }

    void ReadBody() {
        SetDeadline(kBodyTimeout);
        auto done = [self = shared_from_this()](beast::error_code ec2, size_t) {
            if (ec2) return self->FailRead(ec2);
            self->Dispatch();
        };
        if (tls_)
            http::async_read(*tls_, buffer_, *parser_, std::move(done));
        else
            http::async_read(socket_, buffer_, *parser_, std::move(done));
    }

    void FailRead(beast::error_code ec) {
        if (ec == http::error::header_limit) {
            std::string reply =
                "HTTP/1.1 507 Insufficient Storage\r\nContent-Type: text/plain; "
                "charset=utf-8\r\nContent-Length: 45\r\n";
            reply += SecurityHeaderLines();
            if (tls_) reply += StrictTransportLine();
            reply += "Connection: close\r\n\r\n";
            reply += kInsufficientStorage;
            closeAfter_ = true;
            Put(reply, {}, nullptr);
            if (!pending_) Shutdown();
            return;
        }
        if (ec == http::error::body_limit) return ReplyAndClose(413, "Request Entity Too Large");
        if (ec == http::error::bad_transfer_encoding) return ReplyAndClose(501, "Not Implemented");
        if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return ReplyAndClose(400, "Bad Request");
        // End of stream, a reset or a timeout: nobody is listening for a reply.
        Shutdown();
    }

    std::string ListenerReply(int status, std::string_view text, bool close) const {
        std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + std::string(text) +
                            "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                            std::to_string(text.size()) + "\r\n";
        reply += SecurityHeaderLines();
        if (tls_) reply += StrictTransportLine();
        if (close) reply += "Connection: close\r\n";
        reply += "\r\n";
        reply += text;
        return reply;
    }

    void ReplyAndClose(int status, std::string_view text) {
        closeAfter_ = true;
        Put(ListenerReply(status, text, true), {}, nullptr);
        if (!pending_) Shutdown();
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
            inHandler_ = true;
            try {
                server_.handler(*request);
            } catch (...) {
                // The request's own teardown answers 500 when nothing was sent.
            }
            request.reset();
            inHandler_ = false;
            // A reply the client has not taken yet goes on without this thread.
            if (pending_) return Continue(Next::AfterReply);
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
        if (verdict == RequestVerdict::NotImplemented) {
            ReplyAndClose(501, "Not Implemented");
            return nullptr;
        }
        if (verdict == RequestVerdict::BadRequest) {
            ReplyAndClose(400, "Bad Request");
            return nullptr;
        }
        if (verdict == RequestVerdict::OutsideTemplate) {
            // Outside the template's path: the listener answers, the connection stays.
            if (!req.keep_alive()) closeAfter_ = true;
            if (Put(ListenerReply(404, "Not Found", !req.keep_alive()), {}, nullptr) && !pending_)
                Then(Next::AfterReply);
            return nullptr;
        }
        data.secure = tls_ != nullptr;
        parser_.reset();
        return std::make_shared<HttpRequest>(shared_from_this(), std::move(data));
    }

    void SetDeadline(std::chrono::seconds d) {
        deadline_ = NowMs() + std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }

    ServerState& server_;
    tcp::socket socket_;
    std::shared_ptr<ssl::context> tlsContext_;  // kept for the stream, whatever reloads
    std::unique_ptr<ssl::stream<tcp::socket&>> tls_;
    std::atomic<int64_t> deadline_{0};  // steady milliseconds; 0 while none runs
    std::atomic<int64_t> idleSince_{0};
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    const uint64_t id_;
    std::string remote_;
    std::atomic<bool> closeAfter_{false};
    // Owned by whichever party holds the connection (a handler's worker or the io chain).
    std::unique_ptr<Pending> pending_;
    bool inHandler_ = false;
    bool inAsyncWrite_ = false;
    bool failed_ = false;
};

void ReloadCertificateIfRenewed(ServerState& server, int64_t now);
void Admit(ServerState& server, tcp::socket socket);

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
        ReloadCertificateIfRenewed(server, now);
        Sweep(server, timer);
    });
}

// Files replaced by a renewal are taken for new connections; open ones keep theirs. A renewal
// that does not load (half copied, not matching yet) keeps the old pair and is tried again.
void ReloadCertificateIfRenewed(ServerState& server, int64_t now) {
    if (!server.tlsContext || now - server.tlsCheckedAt < Limits().certificateCheckMs) return;
    server.tlsCheckedAt = now;
    const std::string stamp = FilesStamp(server.tlsFiles);
    if (stamp == server.tlsStamp) return;
    try {
        auto ctx = LoadTlsContext(server.tlsFiles);
        std::lock_guard lock(server.tlsMutex);
        server.tlsContext = std::move(ctx);
        server.tlsStamp = stamp;
        server.fingerprint = CertificateFingerprint(server.tlsFiles.cert);
    } catch (const std::exception&) {
    }
}

// The oldest connections that wait for a next request give their descriptors back: `count` of
// them, or an eighth when 0. How many were told to end.
size_t ShedIdleConnections(ServerState& server, size_t count = 0) {
    std::vector<std::pair<int64_t, std::shared_ptr<Connection>>> idle;
    {
        std::lock_guard lock(server.connectionsMutex);
        for (auto& [id, weak] : server.connections)
            if (auto c = weak.lock(); c && c->IdleSince() != 0)
                idle.emplace_back(c->IdleSince(), std::move(c));
    }
    const size_t shed =
        std::min(idle.size(), count != 0 ? count : std::max<size_t>(1, idle.size() / 8));
    std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(shed), idle.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < shed; ++i) idle[i].second->Shutdown();
    return shed;
}

void Accept(ServerState& server, tcp::acceptor& acceptor) {
    acceptor.async_accept(net::make_strand(server.ioc), [&server, &acceptor](beast::error_code ec,
                                                                             tcp::socket socket) {
        if (ec == net::error::operation_aborted || server.stopping) return;
        // Out of descriptors anyway (files, host sockets): shed idle connections and pause
        // instead of failing the same accept again at once.
        if (ec == net::error::no_descriptors || ec.value() == ENFILE ||
            ec == net::error::no_buffer_space || ec == net::error::no_memory) {
            ShedIdleConnections(server);
            auto timer = std::make_shared<net::steady_timer>(
                server.ioc, std::chrono::milliseconds(Limits().acceptBackoffMs));
            timer->async_wait([&server, &acceptor, timer](beast::error_code e) {
                if (e || server.stopping) return;
                Accept(server, acceptor);
            });
            return;
        }
        if (!ec) Admit(server, std::move(socket));
        Accept(server, acceptor);
    });
}

// One client address may hold only so many connections; more are closed as they come. At the
// instance's connection cap a new connection takes the place of the oldest idle one, or is
// closed when every connection is busy (see ConnectionCaps).
void Admit(ServerState& server, tcp::socket socket) {
    beast::error_code ec;
    const auto ep = socket.remote_endpoint(ec);
    if (ec) return;
    std::string client = AddressText(ep);
    size_t open;
    {
        std::lock_guard lock(server.connectionsMutex);
        size_t& count = server.perClient[client];
        if (count >= Limits().connectionsPerClient) return;  // the socket closes here
        open = server.connections.size();
        if (open >= server.connectionCaps.hard) {
            if (count == 0) server.perClient.erase(client);
            return;
        }
        ++count;
    }
    if (open >= server.connectionCaps.soft && ShedIdleConnections(server, 1) == 0) {
        std::lock_guard lock(server.connectionsMutex);
        if (--server.perClient[client] == 0) server.perClient.erase(client);
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::make_shared<Connection>(server, std::move(socket), server.nextId++, std::move(client),
                                 server.CurrentTls())
        ->Start();
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

// The administrator's files, or the made pair beside the database. A single file given for
// both holds the certificate and the key.
TlsFiles TlsFilesFor(const UrlTemplate& url) {
    const InstanceConfig& c = Config();
    if (!c.certFile.empty() || !c.keyFile.empty()) {
        TlsFiles files{c.certFile.empty() ? c.keyFile : c.certFile,
                       c.keyFile.empty() ? c.certFile : c.keyFile};
        return files;
    }
    const auto slash = c.dbPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : c.dbPath.substr(0, slash);
    return EnsureMadeCertificate(folder, {url.host});
}

}  // namespace

std::string ServerCertificateFingerprint() {
    std::lock_guard guard(g_serverMutex);
    if (!g_server) return {};
    std::lock_guard lock(g_server->tlsMutex);
    return g_server->fingerprint;
}

void StartServer(const std::string& url, RequestHandler handler) {
    std::lock_guard guard(g_serverMutex);
    if (g_server) throw CHbrException("HttpInitialize: the server is already running");
    auto parsed = ParseUrlTemplate(url);
    if (!parsed) throw CHbrException("AddUrl " + url, EINVAL);
    if (parsed->scheme != "http" && parsed->scheme != "https")
        throw CHbrException("AddUrl " + url, EPROTONOSUPPORT);

    // A reply sent from a file (sendfile) cannot be spared the broken-pipe signal the way send()
    // is; a client that leaves in the middle must end its connection, never the process.
    ::signal(SIGPIPE, SIG_IGN);
    auto server = std::make_unique<ServerState>();
    server->url = *parsed;
    server->handler = std::move(handler);
    if (parsed->scheme == "https") {
        // Bad files fail the start before anything listens.
        server->tlsFiles = TlsFilesFor(*parsed);
        server->tlsStamp = FilesStamp(server->tlsFiles);
        server->tlsContext = LoadTlsContext(server->tlsFiles);
        server->tlsCheckedAt = NowMs();
        server->fingerprint = CertificateFingerprint(server->tlsFiles.cert);
    }
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
