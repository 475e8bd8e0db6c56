#include "support/hbr_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

extern char** environ;
#include <stdexcept>

namespace hbr {

uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

HbrProcess::HbrProcess() : HbrProcess(Options{}) {}

HbrProcess::HbrProcess(Options options) {
    Launch(std::move(options));
}

HbrProcess::~HbrProcess() {
    Stop();
    if (reader_.joinable()) reader_.join();
}

void HbrProcess::Launch(Options options) {
    port_ = FreeLoopbackPort();
    stateDir_ = options.stateDir.empty() ? dir_.Path() + "/state" : options.stateDir;
    mkdir(stateDir_.c_str(), 0755);
    dbPath_ = options.dbPath.empty() ? dir_.Path() + "/hbr.db" : options.dbPath;
    std::vector<std::string> args = options.args;
    if (args.empty()) {
        args = {"run-exe", "-url", "http://127.0.0.1:" + std::to_string(port_) + "/", "-dbpath",
                dbPath_};
        args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    }
    if (options.webRoot.empty()) options.webRoot = std::string(HBR_SOURCE_DIR) + "/app";
    bool hasWebRoot = false;
    for (const auto& a : args) hasWebRoot |= a == "-webroot";
    if (!hasWebRoot) {
        args.push_back("-webroot");
        args.push_back(options.webRoot);
    }

    // Everything the child needs is built before fork: only async-signal-safe calls after it.
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv(*e);
        const auto eq = kv.find('=');
        if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env.erase("XDG_DATA_HOME");
    env["HBR_STATE_DIR"] = stateDir_;
    env["HOME"] = dir_.Path();
    // Tests that are not about the login throttle log in as fast as they like: one checked
    // password per millisecond per account instead of per second. Tests of the throttle set
    // their own limits.
    env["HBR_LOGIN_LIMITS"] = "account_interval_ms=1";
    for (const auto& [k, v] : options.env) env[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = HBR_EXE;
    std::vector<char*> argv;
    argv.push_back(exe.data());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    reader_ = std::thread([this, fd = pipeFds[0]] { Reader(fd); });
    if (options.waitForReady) ready_ = WaitForOutput("Press a key to stop and exit");
}

void HbrProcess::Reader(int fd) {
    char buf[4096];
    while (true) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        output_.append(buf, static_cast<size_t>(n));
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    outputClosed_ = true;
    changed_.notify_all();
}

std::string HbrProcess::Output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

bool HbrProcess::WaitForOutput(const std::string& text) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return output_.find(text) != std::string::npos || outputClosed_; });
    return output_.find(text) != std::string::npos;
}

int HbrProcess::Wait() {
    if (pid_ > 0) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }
    return exitStatus_;
}

int HbrProcess::Stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return Wait();
}

}  // namespace hbr
