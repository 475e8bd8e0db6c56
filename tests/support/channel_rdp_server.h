#pragma once
// The channel test server (tests/rdp_server/channel_rdp_server.cpp) as a child process: its
// port, the lines it reports and the commands it takes.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hbr {

class ChannelRdpServer {
  public:
    // `security`: tls, nla or rdp, the only one the server accepts.
    explicit ChannelRdpServer(const std::string& security = "tls");
    ~ChannelRdpServer();
    ChannelRdpServer(const ChannelRdpServer&) = delete;
    ChannelRdpServer& operator=(const ChannelRdpServer&) = delete;

    uint16_t Port() const { return port_; }
    bool Send(const std::string& line);
    // The next reported line that begins with `prefix` (earlier lines with it are skipped
    // once taken), or none when the guard ran out.
    std::optional<std::string> Next(const std::string& prefix,
                                    std::chrono::milliseconds guard = std::chrono::seconds(30));
    // Whether a line beginning with `prefix` arrived and was not taken yet.
    bool Pending(const std::string& prefix);

  private:
    void Read();
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    uint16_t port_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<bool> taken_;
    bool ended_ = false;
};

std::string HexOf(const std::string& bytes);
std::string FromHex(const std::string& hex);

}  // namespace hbr
