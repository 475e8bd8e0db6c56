#include "support/rdp_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstring>
#include <deque>

#include "support/hbr_process.h"

namespace hbr {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            int keepFd = -1) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int devnull = ::open("/dev/null", O_RDWR);
    // HBR_TEST_RDP_LOG names a file that collects the helpers' output, for debugging.
    const char* log = ::getenv("HBR_TEST_RDP_LOG");
    const int out = log ? ::open(log, O_WRONLY | O_CREAT | O_APPEND, 0644) : devnull;
    ::dup2(devnull, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd) ::close(fd);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

void Reap(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

bool PortAccepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

bool ReadFull(int fd, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

ShadowRdpServer::ShadowRdpServer(int width, int height) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0", screen,
                   "-nolisten", "tcp", "-noreset"},
                  {}, pipeFds[1]);
    ::close(pipeFds[1]);
    std::string number;
    pollfd pfd{pipeFds[0], POLLIN, 0};
    while (::poll(&pfd, 1, 20000) > 0) {
        char c;
        if (::read(pipeFds[0], &c, 1) != 1 || c == '\n') break;
        number.push_back(c);
    }
    ::close(pipeFds[0]);
    if (number.empty()) return;
    display_ = ":" + number;
    const uint16_t port = FreeLoopbackPort();
    shadow_ = Spawn(
        {"freerdp-shadow-cli", "/port:" + std::to_string(port), "/bind-address:127.0.0.1", "-auth"},
        {"HOME=" + home_.Path(), "DISPLAY=" + display_,
         "XDG_CONFIG_HOME=" + home_.Path() + "/.config"});
    for (int i = 0; i < 200; ++i) {
        if (PortAccepts(port)) {
            port_ = port;
            return;
        }
        if (::waitpid(shadow_, nullptr, WNOHANG) == shadow_) {
            shadow_ = -1;
            return;
        }
        ::usleep(100 * 1000);
    }
}

ShadowRdpServer::~ShadowRdpServer() {
    for (auto& p : extra_) Reap(p);
    Reap(shadow_);
    Reap(xvfb_);
}

void ShadowRdpServer::KillRdp() {
    Reap(shadow_);
}

pid_t ShadowRdpServer::RunOnDisplay(const std::vector<std::string>& argv) {
    const pid_t pid = Spawn(argv, {"DISPLAY=" + display_});
    extra_.push_back(pid);
    return pid;
}

struct WsTestClient::Impl {
    net::io_context ioc;
    websocket::stream<tcp::socket> ws{ioc};
    // One read is in flight at a time; what it brings waits in `queued` until asked for, so
    // a read can be left running (answering the server's pings) between the test's questions.
    beast::flat_buffer rx;
    bool reading = false;
    std::deque<Message> queued;
    std::function<void()> afterRead;

    void StartRead(WsTestClient& owner) {
        reading = true;
        ws.async_read(rx, [this, &owner](beast::error_code ec, size_t) {
            reading = false;
            if (ec) {
                owner.closed_ = true;
                if (owner.error_.empty()) owner.error_ = ec.message();
            } else {
                queued.push_back({ws.got_text(), beast::buffers_to_string(rx.data())});
                rx.consume(rx.size());
            }
            if (afterRead) afterRead();
        });
    }

    // Gives up a socket whose guard against a hang ran out.
    void GiveUp(WsTestClient& owner) {
        beast::error_code ignored;
        ws.next_layer().close(ignored);
        ioc.restart();
        ioc.run();
        owner.closed_ = true;
        owner.error_ = "timed out";
    }
};

WsTestClient::WsTestClient() : impl_(std::make_unique<Impl>()) {}

WsTestClient::~WsTestClient() = default;

bool WsTestClient::Connect(uint16_t port, const std::string& path, const std::string& cookie) {
    beast::error_code ec;
    if (!cookie.empty()) {
        impl_->ws.set_option(
            websocket::stream_base::decorator([cookie](websocket::request_type& req) {
                req.set(beast::http::field::cookie, cookie);
            }));
    }
    impl_->ws.next_layer().connect({net::ip::make_address("127.0.0.1"), port}, ec);
    if (!ec) impl_->ws.handshake("127.0.0.1:" + std::to_string(port), path, ec);
    if (ec) error_ = ec.message();
    return !ec;
}

bool WsTestClient::SendBinary(const std::vector<uint8_t>& bytes) {
    beast::error_code ec;
    impl_->ws.binary(true);
    impl_->ws.write(net::buffer(bytes), ec);
    return !ec;
}

bool WsTestClient::SendText(const std::string& text) {
    beast::error_code ec;
    impl_->ws.text(true);
    impl_->ws.write(net::buffer(text), ec);
    return !ec;
}

std::optional<WsTestClient::Message> WsTestClient::Read(std::chrono::milliseconds guard) {
    const auto end = std::chrono::steady_clock::now() + guard;
    for (;;) {
        if (!impl_->queued.empty()) {
            Message m = std::move(impl_->queued.front());
            impl_->queued.pop_front();
            return m;
        }
        if (closed_) return std::nullopt;
        if (!impl_->reading) impl_->StartRead(*this);
        impl_->ioc.restart();
        while (impl_->reading && std::chrono::steady_clock::now() < end) impl_->ioc.run_one_until(end);
        if (impl_->reading) {
            impl_->GiveUp(*this);
            return std::nullopt;
        }
    }
}

void WsTestClient::KeepReading(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (!closed_ && std::chrono::steady_clock::now() < end) {
        if (!impl_->reading) impl_->StartRead(*this);
        impl_->ioc.restart();
        while (impl_->reading && std::chrono::steady_clock::now() < end) impl_->ioc.run_one_until(end);
    }
}

std::optional<WsTestClient::Message> WsTestClient::ReadUntilPoking(
    const std::function<bool(const Message&)>& pred,
    const std::function<std::vector<uint8_t>()>& poke, std::chrono::milliseconds every,
    std::chrono::milliseconds guard) {
    auto& ws = impl_->ws;
    std::optional<Message> result;
    // What arrived before this call comes first.
    auto take = [&] {
        while (!result && !impl_->queued.empty()) {
            Message m = std::move(impl_->queued.front());
            impl_->queued.pop_front();
            if (pred(m)) result = std::move(m);
        }
    };
    take();
    if (result) return result;
    if (closed_) return std::nullopt;
    net::steady_timer timer(impl_->ioc);
    std::vector<uint8_t> out;
    bool stop = false;
    bool writing = false;
    std::function<void()> arm = [&] {
        timer.expires_after(every);
        timer.async_wait([&](beast::error_code ec) {
            if (ec || stop) return;
            if (!writing) {
                out = poke();
                writing = true;
                ws.binary(true);
                ws.async_write(net::buffer(out),
                               [&](beast::error_code, size_t) { writing = false; });
            }
            arm();
        });
    };
    impl_->afterRead = [&] {
        take();
        if (result || closed_) {
            stop = true;
            timer.cancel();
        } else {
            impl_->StartRead(*this);
        }
    };
    arm();
    if (!impl_->reading) impl_->StartRead(*this);
    impl_->ioc.restart();
    const auto end = std::chrono::steady_clock::now() + guard;
    while ((!stop || writing) && std::chrono::steady_clock::now() < end) impl_->ioc.run_one_until(end);
    impl_->afterRead = nullptr;
    if (!stop || writing) {
        stop = true;
        timer.cancel();
        impl_->GiveUp(*this);
        return std::nullopt;
    }
    timer.cancel();
    impl_->ioc.restart();
    impl_->ioc.poll();
    return result;
}

void WsTestClient::Abort() {
    beast::error_code ignored;
    // A reset, as a browser tab that is killed leaves it.
    linger l{1, 0};
    ::setsockopt(impl_->ws.next_layer().native_handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    impl_->ws.next_layer().close(ignored);
    closed_ = true;
}

void WsTestClient::Close() {
    beast::error_code ignored;
    impl_->ws.close(websocket::close_code::normal, ignored);
    closed_ = true;
}

std::vector<uint8_t> U32Message(const std::vector<uint32_t>& fields) {
    std::vector<uint8_t> out;
    for (uint32_t v : fields)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

std::vector<uint8_t> ConnectMessage(const std::string& json) {
    std::vector<uint32_t> fields{4};
    for (unsigned char c : json) fields.push_back(c);
    return U32Message(fields);
}

PreconnectionRelay::PreconnectionRelay(uint16_t targetPort) : targetPort_(targetPort) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

PreconnectionRelay::~PreconnectionRelay() {
    stop_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : pumps_) t.join();
    for (int fd : fds_) ::close(fd);
    ::close(listenFd_);
}

std::optional<std::string> PreconnectionRelay::WaitForBlob(std::chrono::milliseconds guard) {
    const auto end = std::chrono::steady_clock::now() + guard;
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard lock(mutex_);
            if (blob_) return blob_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

void PreconnectionRelay::Serve() {
    while (!stop_) {
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        ++connections_;
        // RDP_PRECONNECTION_PDU_V2: cbSize, flags, version, id, cchPCB, then cchPCB UTF-16
        // units with the terminating zero.
        uint8_t header[16];
        std::string blob;
        bool ok = ReadFull(client, header, sizeof header);
        uint32_t cbSize = 0;
        std::memcpy(&cbSize, header, 4);
        if (ok && cbSize >= 18 && cbSize < 65536) {
            std::vector<uint8_t> rest(cbSize - 16);
            ok = ReadFull(client, rest.data(), rest.size());
            const size_t cch = size_t{rest[0]} | size_t{rest[1]} << 8;
            for (size_t i = 0; ok && i < cch && 2 + 2 * i + 1 < rest.size(); ++i) {
                const char16_t u = static_cast<char16_t>(rest[2 + 2 * i] | rest[3 + 2 * i] << 8);
                if (u == 0) break;
                blob.push_back(static_cast<char>(u));
            }
        } else {
            ok = false;
        }
        if (!ok) {
            ::close(client);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            blob_ = blob;
        }
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(targetPort_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(server);
            ::close(client);
            continue;
        }
        std::lock_guard lock(mutex_);
        fds_.push_back(client);
        fds_.push_back(server);
        auto pump = [](int from, int to) {
            char buf[65536];
            for (;;) {
                const ssize_t n = ::recv(from, buf, sizeof buf, 0);
                if (n <= 0) break;
                if (::send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            }
            ::shutdown(to, SHUT_RDWR);
            ::shutdown(from, SHUT_RDWR);
        };
        pumps_.emplace_back(pump, client, server);
        pumps_.emplace_back(pump, server, client);
    }
}

size_t ThreadCount() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

size_t OpenFdCount() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n > 0 ? n - 1 : 0;  // the directory's own descriptor
}

}  // namespace hbr
