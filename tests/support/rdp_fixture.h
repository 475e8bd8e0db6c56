#pragma once
// Real components for console tests: an Xvfb display with FreeRDP's shadow server on it, a
// WebSocket client, and a relay that stands where a Hyper-V console endpoint would (it takes
// the pre-connection PDU, then passes everything through to the RDP server).
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace hbr {

// Xvfb plus freerdp-shadow-cli on a free display and a free loopback port, without
// authentication. Started by the constructor, stopped by the destructor.
class ShadowRdpServer {
  public:
    explicit ShadowRdpServer(int width = 1024, int height = 768);
    ~ShadowRdpServer();
    ShadowRdpServer(const ShadowRdpServer&) = delete;
    ShadowRdpServer& operator=(const ShadowRdpServer&) = delete;

    bool Running() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    const std::string& Display() const { return display_; }
    // Kills the RDP server (the display stays), as a dropping server would.
    void KillRdp();
    // Runs a program on the display; the pid, reaped by the destructor.
    pid_t RunOnDisplay(const std::vector<std::string>& argv);

  private:
    TempDir home_;
    pid_t xvfb_ = -1;
    pid_t shadow_ = -1;
    std::vector<pid_t> extra_;
    std::string display_;
    uint16_t port_ = 0;
};

// One browser end of the console socket.
class WsTestClient {
  public:
    struct Message {
        bool text = false;
        std::string data;
    };
    WsTestClient();
    ~WsTestClient();
    // The upgrade to ws://127.0.0.1:port/path, with `cookie` (name=value) when given; false
    // with the reason in Error().
    bool Connect(uint16_t port, const std::string& path = "/ws", const std::string& cookie = {});
    bool SendBinary(const std::vector<uint8_t>& bytes);
    bool SendText(const std::string& text);
    // The next message, or none when the guard ran out or the socket closed.
    std::optional<Message> Read(std::chrono::milliseconds guard = std::chrono::seconds(30));
    // Reads until `pred` holds for a message (returned) or the guard runs out.
    template <typename Pred>
    std::optional<Message> ReadUntil(Pred pred,
                                     std::chrono::milliseconds guard = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + guard;
        while (std::chrono::steady_clock::now() < end) {
            auto m = Read(std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()));
            if (!m) return std::nullopt;
            if (pred(*m)) return m;
        }
        return std::nullopt;
    }
    // Like ReadUntil, and every `every` also sends the binary message `poke` returns, on the
    // same thread as the reads: for servers that act on their own events, which input causes.
    std::optional<Message> ReadUntilPoking(
        const std::function<bool(const Message&)>& pred,
        const std::function<std::vector<uint8_t>()>& poke, std::chrono::milliseconds every,
        std::chrono::milliseconds guard = std::chrono::seconds(60));
    // Reads for `span`, keeping what arrives for Read: a test that waits on something else
    // meanwhile still answers the server's keep-alive pings, as a browser does.
    void KeepReading(std::chrono::milliseconds span);
    bool Closed() const { return closed_; }
    // Drops the TCP connection without a close frame.
    void Abort();
    void Close();
    const std::string& Error() const { return error_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool closed_ = false;
    std::string error_;
};

// The connect message: one u32 per character after the code 4.
std::vector<uint8_t> ConnectMessage(const std::string& json);
std::vector<uint8_t> U32Message(const std::vector<uint32_t>& fields);

// Listens on 127.0.0.1, reads the pre-connection PDU of the first connection, then relays
// its bytes to the RDP server in both directions.
class PreconnectionRelay {
  public:
    explicit PreconnectionRelay(uint16_t targetPort);
    ~PreconnectionRelay();
    uint16_t Port() const { return port_; }
    // The blob of the last PDU, once one arrived (waits up to the guard).
    std::optional<std::string> WaitForBlob(
        std::chrono::milliseconds guard = std::chrono::seconds(30));
    int Connections() const { return connections_; }

  private:
    void Serve();
    uint16_t targetPort_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::optional<std::string> blob_;
    std::thread thread_;
    std::vector<std::thread> pumps_;
    std::vector<int> fds_;
};

// Threads of this process, from /proc/self/task.
size_t ThreadCount();
// Open descriptors of this process, from /proc/self/fd.
size_t OpenFdCount();

}  // namespace hbr
