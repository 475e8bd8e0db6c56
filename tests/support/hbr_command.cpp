#include "support/hbr_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace hbr {

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

CommandResult RunCommand(const std::string& exe, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
        const std::string kv(*e);
        const auto eq = kv.find('=');
        if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    all.erase("NOTIFY_SOCKET");
    for (const auto& [k, v] : env) all[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : all) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = exe;
    std::vector<std::string> argStrings = args;
    std::vector<char*> argv{program.data()};
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    CommandResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ServiceSandbox::ServiceSandbox() {
    mkdir(Units().c_str(), 0755);
    mkdir(Sc().c_str(), 0755);
    mkdir((Sc() + "/state").c_str(), 0755);
    mkdir(State().c_str(), 0755);
    const std::string sc = Sc();
    WriteFileText(sc + "/systemctl",
                  "#!/bin/sh\n"
                  "d='" +
                      sc +
                      "'\n"
                      "printf '%s\\n' \"$*\" >> \"$d/calls\"\n"
                      "cmd=\"$1\"; shift\n"
                      "[ -f \"$d/fail-$cmd\" ] && exit 1\n"
                      "unit=''\n"
                      "for a in \"$@\"; do case \"$a\" in --*) ;; *) unit=\"$a\";; esac; done\n"
                      "case \"$cmd\" in\n"
                      "  show) if [ -f \"$d/state/$unit\" ]; then\n"
                      "          echo \"ActiveState=$(cat \"$d/state/$unit\")\"\n"
                      "        else echo ActiveState=inactive; fi ;;\n"
                      "  start) if [ -p \"$d/gate\" ]; then read line < \"$d/gate\"; fi\n"
                      "         echo active > \"$d/state/$unit\" ;;\n"
                      "  stop) [ -f \"$d/stuck-$unit\" ] || echo inactive > \"$d/state/$unit\" ;;\n"
                      "esac\n"
                      "exit 0\n");
    WriteFileText(sc + "/useradd", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + sc +
                                       "/useradd.calls'\n[ -f '" + sc +
                                       "/fail-useradd' ] && exit 9\nexit 0\n");
    WriteFileText(sc + "/groupadd",
                  "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + sc + "/groupadd.calls'\nexit 0\n");
    chmod((sc + "/systemctl").c_str(), 0755);
    chmod((sc + "/useradd").c_str(), 0755);
    chmod((sc + "/groupadd").c_str(), 0755);
    // The account database the verbs see: root only, whatever the machine has installed.
    WriteFileText(sc + "/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    WriteFileText(sc + "/group", "root:x:0:\n");
}

void ServiceSandbox::AddAccount(const std::string& name, unsigned id) const {
    WriteFileText(Sc() + "/passwd", ReadFileText(Sc() + "/passwd") + name +
                                        ":x:" + std::to_string(id) + ":" + std::to_string(id) +
                                        "::/var/lib/" + name + ":/usr/sbin/nologin\n");
}

void ServiceSandbox::AddGroup(const std::string& name, unsigned id) const {
    WriteFileText(Sc() + "/group",
                  ReadFileText(Sc() + "/group") + name + ":x:" + std::to_string(id) + ":\n");
}

std::map<std::string, std::string> ServiceSandbox::Env() const {
    return {{"HBR_SYSTEMD_DIR", Units()},       {"HBR_SYSTEMCTL", Sc() + "/systemctl"},
            {"HBR_USERADD", Sc() + "/useradd"}, {"HBR_GROUPADD", Sc() + "/groupadd"},
            {"HBR_PASSWD", Sc() + "/passwd"},   {"HBR_GROUP", Sc() + "/group"},
            {"HBR_STATE_DIR", State()},         {"HOME", Root()}};
}

CommandResult ServiceSandbox::Run(const std::vector<std::string>& args) const {
    return RunCommand(HBR_EXE, args, Env());
}

std::string ServiceSandbox::Calls() const {
    return ReadFileText(Sc() + "/calls");
}
std::string ServiceSandbox::UseraddCalls() const {
    return ReadFileText(Sc() + "/useradd.calls");
}

std::string ServiceSandbox::GroupaddCalls() const {
    return ReadFileText(Sc() + "/groupadd.calls");
}

std::string ServiceSandbox::UnitText(const std::string& serviceName) const {
    return ReadFileText(Units() + "/" + serviceName + ".service");
}

bool ServiceSandbox::UnitExists(const std::string& serviceName) const {
    struct stat st {};
    return lstat((Units() + "/" + serviceName + ".service").c_str(), &st) == 0;
}

void ServiceSandbox::SetState(const std::string& serviceName, const std::string& state) const {
    WriteFileText(Sc() + "/state/" + serviceName + ".service", state + "\n");
}

void ServiceSandbox::Touch(const std::string& relative) const {
    WriteFileText(Sc() + "/" + relative, "");
}

}  // namespace hbr
