#include "cli/service_control.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cli/instance_commands.h"
#include "cli/process_state.h"
#include "platform/accounts.h"
#include "platform/hbr_exception.h"
#include "store/event_log.h"

namespace hbr {
namespace {

constexpr auto kStopLimit = std::chrono::milliseconds(10000);
constexpr auto kPollInterval = std::chrono::milliseconds(100);

std::string Systemctl() {
    const char* program = std::getenv("HBR_SYSTEMCTL");
    return program && *program ? program : "systemctl";
}

std::string Useradd() {
    const char* program = std::getenv("HBR_USERADD");
    return program && *program ? program : "useradd";
}

std::string Groupadd() {
    const char* program = std::getenv("HBR_GROUPADD");
    return program && *program ? program : "groupadd";
}

// Root needs no group to write the state folder; every other account joins the state group.
bool JoinsStateGroup(const std::string& user) {
    return !user.empty() && user != "root";
}

std::string UnitName(const std::string& serviceName) {
    return serviceName + ".service";
}

std::string ExitText(const std::string& what, int status) {
    if (status < 0) return " " + what + " could not be run";
    return " " + what + " failed (exit status " + std::to_string(status) + ")";
}

// Raises prefix + the exit status of systemctl when the call fails.
void Systemctl(const std::vector<std::string>& args, const std::string& prefix) {
    std::vector<std::string> argv{Systemctl()};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = RunProgram(argv);
    if (status != 0) throw CHbrException(prefix + ExitText("systemctl " + args.front(), status));
}

// The unit folder must be there and searchable: the stand-in for opening the service manager.
void OpenUnitFolder(const std::string& prefix) {
    struct stat st {};
    const std::string folder = UnitFolder();
    if (stat(folder.c_str(), &st) != 0) throw CHbrException(prefix, errno);
    if (!S_ISDIR(st.st_mode)) throw CHbrException(prefix, ENOTDIR);
    if (access(folder.c_str(), R_OK | X_OK) != 0) throw CHbrException(prefix, errno);
}

bool UnitExists(const std::string& serviceName) {
    struct stat st {};
    return lstat(UnitPath(serviceName).c_str(), &st) == 0;
}

void OpenService(const std::string& serviceName, const std::string& prefix) {
    if (!UnitExists(serviceName)) throw CHbrException(prefix, ENOENT);
}

bool IsStopped(const std::string& state) {
    return state == "inactive" || state == "failed";
}

// Reads at most 64 KiB of a regular file without following it into a device or a pipe.
bool ReadSmallFile(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 65536) {
        close(fd);
        return false;
    }
    text.clear();
    char buf[4096];
    while (true) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > 65536) break;
    }
    close(fd);
    return text.size() <= 65536;
}

// Written beside the final name and renamed, so systemd never reads half a unit.
void WriteUnitFile(const std::string& serviceName, const std::string& text,
                   const std::string& prefix) {
    const std::string path = UnitPath(serviceName);
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) throw CHbrException(prefix, errno);
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeError = errno;
    if (close(fd) != 0 || !ok) {
        unlink(tmp.c_str());
        throw CHbrException(prefix, ok ? EIO : writeError);
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(tmp.c_str());
        throw CHbrException(prefix, e);
    }
}

// The account the unit runs as: the one given (which must exist), or the default account.
std::string SelectAccount(const ServiceBase& definition, const std::string& prefix) {
    if (!definition.accountUser.empty()) {
        if (!GrantLogonAsService(definition.accountUser, "SeServiceLogonRight"))
            throw CHbrException(prefix + " no such account: " + definition.accountUser);
        return definition.accountUser;
    }
    CreateServiceAccount(kDefaultServiceAccount, InstallationId());
    return kDefaultServiceAccount;
}

// Without this an instance running as a system account could not file its start events in the
// store root made, and the verbs would take a failed start for a quiet success.
void PrepareStateGroup(const std::string& user, const std::string& prefix) {
    if (!JoinsStateGroup(user) || geteuid() != 0) return;
    if (!FindGroup(kStateGroup)) {
        const int status = RunProgram({Groupadd(), "--system", kStateGroup});
        if (status != 0) throw CHbrException(prefix + ExitText("groupadd", status));
        if (!FindGroup(kStateGroup)) return;  // a stand-in that made no group
    }
    ShareStateFolder(kStateGroup, prefix);
}

UnitConfig DefinitionUnit(const ServiceBase& definition, const std::string& prefix) {
    std::string exe = ExecutablePath();
    if (exe.empty()) throw CHbrException("GetModuleFileName failed:", errno ? errno : ENOENT);
    UnitConfig unit;
    unit.description = definition.displayName;
    unit.execStart = BinaryPath(exe, definition.commandLine);
    unit.user = SelectAccount(definition, prefix);
    const InstanceRecord parsed = ParseStoredCommandLine(unit.execStart);
    unit.bindCapability = ReserveUrl(parsed.url, unit.user);
    return unit;
}

void StopAndWait(const std::string& serviceName, const std::string& controlPrefix,
                 const std::string& timeoutText) {
    const auto began = std::chrono::steady_clock::now();
    if (IsStopped(ActiveState(serviceName))) return;
    Systemctl({"stop", "--no-block", UnitName(serviceName)}, controlPrefix);
    while (!IsStopped(ActiveState(serviceName))) {
        if (std::chrono::steady_clock::now() - began > kStopLimit) throw CHbrException(timeoutText);
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace

std::string UnitFolder() {
    const char* dir = std::getenv("HBR_SYSTEMD_DIR");
    return dir && *dir ? dir : "/etc/systemd/system";
}

std::string UnitPath(const std::string& serviceName) {
    return UnitFolder() + "/" + UnitName(serviceName);
}

std::string UnsafeValueReason(const std::string& what, const std::string& value, bool quoted) {
    for (const unsigned char ch : value) {
        if (ch < 0x20 || ch == 0x7f) return what + " must not contain control characters.";
        if (ch == '"' || (!quoted && ch == '\''))
            return what + " must not contain quotation marks.";
        if (!quoted && (ch == ' ' || ch == ';')) return what + " must not contain blanks or \";\".";
    }
    return {};
}

std::string EscapeExecStart(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        if (ch == '%')
            out += "%%";
        else if (ch == '$')
            out += "$$";
        else if (ch == '\\')
            out += "\\\\";
        else
            out += ch;
    }
    return out;
}

std::string UnescapeExecStart(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if ((ch == '%' || ch == '$' || ch == '\\') && i + 1 < text.size() && text[i + 1] == ch) ++i;
        out += ch;
    }
    return out;
}

std::string UnitText(const UnitConfig& unit, const std::string& prefix) {
    // The last guard before root's service manager reads the values: nothing may end a line,
    // continue one (a trailing backslash) or close the quotation of an argument.
    auto check = [&](const std::string& what, const std::string& value) {
        for (const unsigned char ch : value)
            if (ch < 0x20 || ch == 0x7f)
                throw CHbrException(prefix + " " + what + " must not contain control characters.");
    };
    check("The instance name", unit.description);
    check("The command line", unit.execStart);
    check("The account", unit.user);
    if (!unit.description.empty() && unit.description.back() == '\\')
        throw CHbrException(prefix + " The instance name must not end with a backslash.");
    if (unit.user.find_first_of(" \"'\\%$") != std::string::npos)
        throw CHbrException(prefix + " The account name is not valid.");
    std::string description;
    for (const char ch : unit.description)
        description += ch == '%' ? std::string("%%") : std::string(1, ch);
    std::string text =
        "# Written by hbr; a VmHarbor instance.\n[Unit]\nDescription=" + description +
        "\nAfter=network.target\n\n[Service]\nType=notify\nExecStart=" +
        EscapeExecStart(unit.execStart) + "\n";
    if (!unit.user.empty()) text += "User=" + unit.user + "\n";
    if (JoinsStateGroup(unit.user))
        text += std::string("SupplementaryGroups=") + kStateGroup + "\n";
    if (unit.bindCapability) text += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
    // Each browser holds a few connections and each console one more; the usual 1024
    // descriptors run out long before memory does.
    text += "LimitNOFILE=65536\n";
    // A state folder other than the default must reach the instance, or the verbs would read
    // the start events from a different store than the one it writes.
    // So does the configuration of integrated authentication, which the libraries read from
    // the environment: gss-ntlmssp's user file and names, the Kerberos keytab and realm table.
    for (const char* name :
         {"HBR_STATE_DIR", "NTLM_USER_FILE", "NETBIOS_DOMAIN_NAME", "NETBIOS_COMPUTER_NAME",
          "KRB5_KTNAME", "KRB5_CONFIG", "HBR_KRB5_REALMS"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        const std::string escaped = EscapeExecStart(value);
        const std::string assignment = std::string(name) + "=" + escaped;
        if (UnsafeValueReason("", escaped, false).empty())
            text += "Environment=" + assignment + "\n";
        else if (UnsafeValueReason("", escaped, true).empty())  // a path with blanks
            text += "Environment=\"" + assignment + "\"\n";
    }
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

UnitConfig ParseUnitText(const std::string& text) {
    UnitConfig unit;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto value = [&](const char* key) -> const char* {
            const size_t n = std::strlen(key);
            return line.compare(0, n, key) == 0 ? line.c_str() + n : nullptr;
        };
        if (const char* v = value("Description=")) {
            std::string d;
            for (const char* p = v; *p; ++p) {
                if (p[0] == '%' && p[1] == '%') ++p;
                d += *p;
            }
            unit.description = d;
        } else if (const char* e = value("ExecStart=")) {
            unit.execStart = UnescapeExecStart(e);
        } else if (const char* u = value("User=")) {
            unit.user = u;
        } else if (line == "AmbientCapabilities=CAP_NET_BIND_SERVICE") {
            unit.bindCapability = true;
        }
    }
    return unit;
}

bool ReadUnitFile(const std::string& serviceName, UnitConfig& unit) {
    std::string text;
    if (!ReadSmallFile(UnitPath(serviceName), text)) return false;
    unit = ParseUnitText(text);
    return true;
}

std::string BinaryPath(const std::string& exePath, const std::string& arguments) {
    std::string path;
    for (const char ch : exePath)
        if (ch != '"') path += ch;
    return "\"" + path + "\" " + arguments;
}

std::string StateText(const std::string& activeState) {
    if (activeState == "inactive" || activeState == "failed") return "Stopped";
    if (activeState == "active") return "Running";
    return "Pending..";
}

std::string ActiveState(const std::string& serviceName) {
    std::string out;
    if (RunProgram({Systemctl(), "show", "--property=ActiveState", UnitName(serviceName)}, &out) !=
        0)
        return {};
    const auto at = out.find("ActiveState=");
    if (at == std::string::npos) return {};
    std::string state = out.substr(at + 12);
    const auto end = state.find_first_of("\r\n");
    if (end != std::string::npos) state.resize(end);
    return state;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (output && pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        if (output) {
            close(fds[0]);
            close(fds[1]);
        }
        return -1;
    }
    if (pid == 0) {
        if (output)
            dup2(fds[1], STDOUT_FILENO);
        else {
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    if (output) {
        close(fds[1]);
        char buf[4096];
        while (true) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (output->size() < (1u << 20)) output->append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
}

void CreateInstanceService(const ServiceBase& definition) {
    OpenUnitFolder("OpenSCManager failed:");
    const UnitConfig unit = DefinitionUnit(definition, "CreateService:");
    // An existing unit of that name is kept as it is.
    if (UnitExists(definition.name)) return;
    const std::string text = UnitText(unit, "CreateService:");
    PrepareStateGroup(unit.user, "CreateService:");
    WriteUnitFile(definition.name, text, "CreateService:");
    Systemctl({"daemon-reload"}, "CreateService:");
    Systemctl({"enable", UnitName(definition.name)}, "CreateService:");
}

void ReconfigureInstanceService(const ServiceBase& definition) {
    OpenUnitFolder("OpenSCManager failed:");
    OpenService(definition.name, "OpenService:");
    UnitConfig unit = DefinitionUnit(definition, "ChangeServiceConfig:");
    // The display name does not change.
    std::string old;
    if (!ReadSmallFile(UnitPath(definition.name), old)) throw CHbrException("OpenService:", EIO);
    unit.description = ParseUnitText(old).description;
    const std::string text = UnitText(unit, "ChangeServiceConfig:");
    PrepareStateGroup(unit.user, "ChangeServiceConfig:");
    WriteUnitFile(definition.name, text, "ChangeServiceConfig:");
    Systemctl({"daemon-reload"}, "ChangeServiceConfig:");
}

void StartInstanceService(const std::string& serviceName) {
    OpenUnitFolder("OpenSCManager:");
    OpenService(serviceName, "OpenService:");
    Systemctl({"start", UnitName(serviceName)}, "Start Service:");
}

void StopInstanceService(const std::string& serviceName) {
    OpenUnitFolder("OpenSCManager:");
    OpenService(serviceName, "OpenService:");
    StopAndWait(serviceName, "ControlService:", "ControlService Wait timed out.");
}

void DeleteInstanceService(const std::string& serviceName) {
    OpenUnitFolder("OpenSCManager:");
    if (!UnitExists(serviceName)) throw CHbrException("Instance does not exist");
    StopAndWait(serviceName, "Failed to stop the service:", "Failed to stop the service");
    // A unit that systemctl cannot disable (foreign or broken) is still removed.
    RunProgram({Systemctl(), "disable", UnitName(serviceName)});
    if (unlink(UnitPath(serviceName).c_str()) != 0 && errno != ENOENT)
        throw CHbrException("DeleteService:", errno);
    Systemctl({"daemon-reload"}, "DeleteService:");
}

void CreateServiceAccount(const std::string& name, const std::string&) {
    // The password is not used: the system account has none and cannot log in.
    if (FindAccount(name)) return;
    std::vector<std::string> argv{Useradd(),          "--system", "--create-home",    "--home-dir",
                                  "/var/lib/" + name, "--shell",  "/usr/sbin/nologin"};
    // An instance of another account may have made the state group of this name already;
    // useradd refuses to make a personal group over it.
    if (FindGroup(name)) argv.insert(argv.end(), {"--gid", name});
    argv.push_back(name);
    const int status = RunProgram(argv);
    if (status != 0) throw CHbrException("Create user failed:" + ExitText("useradd", status));
}

void ShareStateFolder(const std::string& group, const std::string& prefix) {
    const auto entry = FindGroup(group);
    if (!entry) throw CHbrException(prefix + " The group " + group + " does not exist.");
    const gid_t gid = *entry;
    try {
        CreateEventStore();
    } catch (const std::exception& e) {
        throw CHbrException(prefix + " " + EventLogPath() + ": " + e.what());
    }
    const std::string dir = StateDir();
    if (chown(dir.c_str(), static_cast<uid_t>(-1), gid) != 0 || chmod(dir.c_str(), 03775) != 0)
        throw CHbrException(prefix + " " + dir, errno);
    const std::string store = EventLogPath();
    if (chown(store.c_str(), static_cast<uid_t>(-1), gid) != 0 || chmod(store.c_str(), 0664) != 0)
        throw CHbrException(prefix + " " + store, errno);
}

bool GrantLogonAsService(const std::string& account, const std::string&) {
    return FindAccount(account).has_value();
}

int UrlPort(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return 0;
    const std::string rest = url.substr(scheme + 3);
    const std::string host = rest.substr(0, rest.find('/'));
    const auto colon = host.rfind(':');
    if (colon == std::string::npos || host.find(']', colon) != std::string::npos) {
        const std::string s = url.substr(0, scheme);
        return s == "https" ? 443 : s == "http" ? 80 : 0;
    }
    int port = 0;
    for (size_t i = colon + 1; i < host.size(); ++i) {
        if (host[i] < '0' || host[i] > '9' || port > 65535) return 0;
        port = port * 10 + (host[i] - '0');
    }
    return port <= 65535 ? port : 0;
}

bool ReserveUrl(const std::string& url, const std::string&) {
    if (url.find("localhost") != std::string::npos || url.find("127.0.0.1") != std::string::npos)
        return false;
    const int port = UrlPort(url);
    return port > 0 && port < 1024;
}

int GetUserProfilePath(const std::string& account, std::string& path) {
    const auto slash = account.rfind('\\');
    std::string name = slash == std::string::npos ? account : account.substr(slash + 1);
    if (name.empty()) name = "root";  // a unit without User= runs as root
    errno = 0;
    const auto pw = FindAccount(name);
    if (!pw) return errno ? errno : ENOENT;
    std::string home = pw->home;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.empty()) return ENOENT;
    path = home;
    return 0;
}

}  // namespace hbr
