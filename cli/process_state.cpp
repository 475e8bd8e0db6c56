#include "cli/process_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>

namespace hbr {
namespace {

std::string g_programVersion;
std::string g_cookieName;
std::string g_installationId;

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n\v\f");
    return s.substr(first, last - first + 1);
}

// Version text in the dotted form: comma-separated parts are trimmed and joined by dots.
std::string DottedVersion(std::string text) {
    text = Trim(text);
    if (text.find(',') == std::string::npos) return text;
    std::string out;
    size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        const auto part = Trim(text.substr(start, comma - start));
        if (!out.empty()) out += '.';
        out += part;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

std::string NewGuid() {
    unsigned char b[16];
    std::ifstream rnd("/dev/urandom", std::ios::binary);
    if (!rnd.read(reinterpret_cast<char*>(b), sizeof b)) return {};
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += hex[b[i] >> 4];
        s += hex[b[i] & 15];
    }
    return s;
}

}  // namespace

InstanceConfig& Config() {
    static InstanceConfig config;
    return config;
}

ProcessLocks& Locks() {
    static ProcessLocks locks;
    return locks;
}

const std::string& ProgramVersion() { return g_programVersion; }
const std::string& SessionCookieName() { return g_cookieName; }
const std::string& InstallationId() { return g_installationId; }

std::string StateDir() {
    const char* dir = std::getenv("HBR_STATE_DIR");
    return dir && *dir ? std::string(dir) : std::string("/var/lib/vmharbor");
}

std::string ExecutablePath() {
    std::string buf(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

std::string DefaultWebRoot(const std::string& exePath) {
    const auto slash = exePath.rfind('/');
    const std::string base = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
    if (base != "hbr") return exePath;
    return exePath.substr(0, exePath.size() - 3) + "app";
}

std::string ReadOrCreateInstallationId(const std::string& dir) {
    const std::string path = dir + "/appid";
    {
        std::ifstream in(path);
        std::string line;
        if (in && std::getline(in, line) && line.size() <= 96) {
            line = Trim(line);
            if (!line.empty()) return line;
        }
    }
    std::string id = NewGuid();
    if (id.empty()) return {};
    mkdir(dir.c_str(), 0755);
    // Written beside the final name and renamed, so a reader never sees half an id.
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return id;  // kept for this run only
    const std::string line = id + "\n";
    const bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return id;
    }
    // Two first runs at once: whichever rename came last holds; read it back so both agree.
    std::ifstream in(path);
    std::string stored;
    if (in && std::getline(in, stored) && !Trim(stored).empty()) return Trim(stored);
    return id;
}

void InitializeProcess() {
    g_installationId = ReadOrCreateInstallationId(StateDir());
    if (Config().webRoot.empty()) Config().webRoot = DefaultWebRoot(ExecutablePath());
    g_programVersion = DottedVersion(HBR_VERSION);
    g_cookieName = "hbr" + std::to_string(getpid());
}

}  // namespace hbr
