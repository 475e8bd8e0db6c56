#include "support/channel_rdp_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace hbr {

ChannelRdpServer::ChannelRdpServer(const std::string& security) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::string program = HBR_CHANNEL_RDP_SERVER;
    std::string flag = "--security";
    std::string sec = security;
    char* argv[] = {program.data(), flag.data(), sec.data(), nullptr};
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    reader_ = std::thread([this] { Read(); });
    if (auto port = Next("PORT ")) port_ = static_cast<uint16_t>(std::stoi(port->substr(5)));
}

ChannelRdpServer::~ChannelRdpServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) close(in_);
    if (reader_.joinable()) reader_.join();
    if (out_ >= 0) close(out_);
}

void ChannelRdpServer::Read() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::lock_guard lock(mutex_);
            lines_.push_back(buffer.substr(0, nl));
            taken_.push_back(false);
            buffer.erase(0, nl + 1);
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool ChannelRdpServer::Send(const std::string& line) {
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> ChannelRdpServer::Next(const std::string& prefix,
                                                  std::chrono::milliseconds guard) {
    std::unique_lock lock(mutex_);
    const auto end = std::chrono::steady_clock::now() + guard;
    for (;;) {
        for (size_t i = 0; i < lines_.size(); ++i)
            if (!taken_[i] && lines_[i].rfind(prefix, 0) == 0) {
                taken_[i] = true;
                return lines_[i];
            }
        if (ended_) return std::nullopt;
        if (changed_.wait_until(lock, end) == std::cv_status::timeout) return std::nullopt;
    }
}

bool ChannelRdpServer::Pending(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < lines_.size(); ++i)
        if (!taken_[i] && lines_[i].rfind(prefix, 0) == 0) return true;
    return false;
}

std::string HexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace hbr
