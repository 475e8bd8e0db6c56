// ROOT\CIMV2 of the Linux machine this instance runs on. The counters of the performance
// classes are rates between two readings, kept per process.
#include "hyperv/providers/local/local_machine.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "hyperv/wmi/class_catalogue.h"
#include "hyperv/wmi/wql.h"

extern char** environ;

namespace hbr {
namespace {

// Runs `program arg` and waits; the exit status, or -1 when it could not run.
int RunProgram(const std::string& program, const char* arg) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(arg), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Clock = std::chrono::steady_clock;

std::string ReadFirstLine(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

long long NowUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::map<std::string, unsigned long long> MemInfo() {
    std::map<std::string, unsigned long long> m;
    std::ifstream f("/proc/meminfo");
    std::string key;
    unsigned long long value = 0;
    std::string unit;
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        if (in >> key >> value) {
            if (!key.empty() && key.back() == ':') key.pop_back();
            m[key] = value;
        }
    }
    return m;
}

// ---- rates ----

struct CpuSample {
    unsigned long long busy = 0, total = 0;
};
CpuSample ReadCpu() {
    std::ifstream f("/proc/stat");
    std::string cpu;
    CpuSample s;
    f >> cpu;
    unsigned long long v[10] = {};
    for (int i = 0; i < 10 && (f >> v[i]); ++i) {
    }
    const unsigned long long idle = v[3] + v[4];
    for (int i = 0; i < 8; ++i) s.total += v[i];  // guest time is already in user time
    s.busy = s.total - idle;
    return s;
}

std::set<std::string> WholeDisks() {
    std::set<std::string> disks;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/block", ec)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with("loop") || name.starts_with("ram") || name.starts_with("zram"))
            continue;
        disks.insert(name);
    }
    return disks;
}

unsigned long long ReadDiskTicks() {
    const std::set<std::string> disks = WholeDisks();
    std::ifstream f("/proc/diskstats");
    std::string line;
    unsigned long long busiest = 0;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        unsigned major = 0, minor = 0;
        std::string name;
        unsigned long long fields[10] = {};
        if (!(in >> major >> minor >> name)) continue;
        for (auto& x : fields) in >> x;
        // The busiest disk stands for "_Total", as a percentage of time can only be 0-100.
        if (disks.count(name)) busiest = std::max(busiest, fields[9]);
    }
    return busiest;
}

std::map<std::string, unsigned long long> ReadNetBytes() {
    std::map<std::string, unsigned long long> out;
    std::ifstream f("/proc/net/dev");
    std::string line;
    while (std::getline(f, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name == "lo") continue;
        std::istringstream in(line.substr(colon + 1));
        unsigned long long v[16] = {};
        for (auto& x : v) in >> x;
        out[name] = v[0] + v[8];
    }
    return out;
}

struct Rates {
    int cpu = 0, disk = 0;
    std::map<std::string, unsigned long long> net;
};

std::mutex g_rateLock;
bool g_haveSample = false;
Clock::time_point g_at;
CpuSample g_cpu;
unsigned long long g_disk = 0;
std::map<std::string, unsigned long long> g_net;
Rates g_rates;

// The rates since the previous reading; the very first call reads twice, a moment apart.
Rates CurrentRates() {
    std::lock_guard lock(g_rateLock);
    auto sample = [] {
        g_at = Clock::now();
        g_cpu = ReadCpu();
        g_disk = ReadDiskTicks();
        g_net = ReadNetBytes();
    };
    if (!g_haveSample) {
        sample();
        g_haveSample = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto at0 = g_at;
    const CpuSample cpu0 = g_cpu;
    const unsigned long long disk0 = g_disk;
    const auto net0 = g_net;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - at0);
    if (elapsed.count() < 50) return g_rates;  // too close to the last reading to mean much
    sample();
    Rates r;
    const auto total = g_cpu.total - cpu0.total;
    r.cpu = total ? static_cast<int>((g_cpu.busy - cpu0.busy) * 100 / total) : 0;
    const auto ms = static_cast<unsigned long long>(std::max<long long>(elapsed.count(), 1));
    r.disk = static_cast<int>(std::min<unsigned long long>(100, (g_disk - disk0) * 100 / ms));
    for (const auto& [name, bytes] : g_net) {
        auto it = net0.find(name);
        const unsigned long long before = it == net0.end() ? bytes : it->second;
        r.net[name] = bytes >= before ? (bytes - before) * 1000 / ms : 0;
    }
    g_rates = r;
    return r;
}

// ---- classes ----

// The catalogue's class limited to the properties this machine can answer.
WmiClassDefPtr Def(const char* name, const std::vector<std::string>& props) {
    const CimClass* cls = FindClass(name);
    return cls ? cls->MakeDefinition(HostName(), "ROOT\\CIMV2", props) : nullptr;
}

WmiValue T(std::string s) {
    return WmiValue::Bstr(std::move(s));
}

std::string OsName() {
    std::ifstream f("/etc/os-release");
    std::string line;
    while (std::getline(f, line)) {
        if (line.starts_with("PRETTY_NAME=")) {
            std::string v = line.substr(12);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return "Linux";
}

void Instances(const std::string& cls, std::vector<WmiObjectPtr>& out) {
    auto add = [&](const WmiClassDefPtr& def) {
        out.push_back(WmiObject::MakeInstance(def));
        return out.back();
    };
    if (IEquals(cls, "Win32_OperatingSystem")) {
        static const auto def =
            Def("Win32_OperatingSystem",
                {"Name", "Caption", "Version", "BuildNumber", "OperatingSystemSKU", "InstallDate",
                 "LastBootUpTime", "LocalDateTime", "TotalVisibleMemorySize", "FreePhysicalMemory",
                 "Status", "CSName"});
        auto o = add(def);
        utsname u{};
        uname(&u);
        const auto mem = MemInfo();
        double up = 0;
        std::ifstream("/proc/uptime") >> up;
        const long long now = NowUnixMs();
        struct stat st{};
        const long long installed = stat("/", &st) == 0 ? st.st_ctime * 1000LL : 0;
        o->Set("Name", T(OsName()));
        o->Set("Caption", T(OsName()));
        o->Set("Version", T(u.release));
        o->Set("BuildNumber", T(u.version));
        o->Set("OperatingSystemSKU", WmiValue::I4(0));
        if (installed) o->Set("InstallDate", T(LocalCimDateTime(installed)));
        o->Set("LastBootUpTime", T(LocalCimDateTime(now - static_cast<long long>(up * 1000))));
        o->Set("LocalDateTime", T(LocalCimDateTime(now)));
        auto kb = [&](const char* k) {
            auto it = mem.find(k);
            return std::to_string(it == mem.end() ? 0 : it->second);
        };
        o->Set("TotalVisibleMemorySize", T(kb("MemTotal")));
        o->Set("FreePhysicalMemory", T(kb("MemAvailable")));
        o->Set("Status", T("OK"));
        o->Set("CSName", T(HostName()));
    } else if (IEquals(cls, "Win32_Processor")) {
        static const auto def = Def(
            "Win32_Processor", {"DeviceID", "Name", "NumberOfCores", "NumberOfLogicalProcessors"});
        std::ifstream f("/proc/cpuinfo");
        std::string line, model;
        int logical = 0;
        std::set<std::string> cores;
        std::string physical = "0";
        while (std::getline(f, line)) {
            auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
            std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
            if (key == "processor") ++logical;
            if (key == "model name" && model.empty()) model = value;
            if (key == "physical id") physical = value;
            if (key == "core id") cores.insert(physical + "/" + value);
        }
        auto o = add(def);
        o->Set("DeviceID", T("CPU0"));
        o->Set("Name", T(model.empty() ? "Processor" : model));
        o->Set("NumberOfCores",
               WmiValue::I4(cores.empty() ? logical : static_cast<int>(cores.size())));
        o->Set("NumberOfLogicalProcessors", WmiValue::I4(logical));
    } else if (IEquals(cls, "Win32_ComputerSystem")) {
        static const auto def =
            Def("Win32_ComputerSystem", {"Name", "Manufacturer", "Model", "NumberOfProcessors",
                                         "TotalPhysicalMemory", "DNSHostName", "Domain"});
        const std::string full = HostName();
        const auto dot = full.find('.');
        std::string shortName = full.substr(0, dot);
        std::string upper = shortName;
        for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::set<std::string> sockets;
        {
            std::ifstream f("/proc/cpuinfo");
            std::string line;
            while (std::getline(f, line))
                if (line.starts_with("physical id")) sockets.insert(line);
        }
        const auto mem = MemInfo();
        auto o = add(def);
        o->Set("Name", T(upper));
        o->Set("Manufacturer", T(ReadFirstLine("/sys/class/dmi/id/sys_vendor")));
        o->Set("Model", T(ReadFirstLine("/sys/class/dmi/id/product_name")));
        o->Set("NumberOfProcessors",
               WmiValue::I4(sockets.empty() ? 1 : static_cast<int>(sockets.size())));
        auto it = mem.find("MemTotal");
        o->Set("TotalPhysicalMemory", T(std::to_string((it == mem.end() ? 0 : it->second) * 1024)));
        o->Set("DNSHostName", T(shortName));
        o->Set("Domain", T(dot == std::string::npos ? "WORKGROUP" : full.substr(dot + 1)));
    } else if (IEquals(cls, "Win32_LogicalDisk")) {
        static const auto def =
            Def("Win32_LogicalDisk", {"DeviceID", "Name", "VolumeName", "Status", "DriveType",
                                      "Size", "FreeSpace", "FileSystem"});
        std::ifstream f("/proc/mounts");
        std::string device, mount, fs, rest;
        std::set<std::string> seen;
        while (f >> device >> mount >> fs && std::getline(f, rest)) {
            if (!device.starts_with("/dev/") || !seen.insert(device).second) continue;
            struct statvfs v{};
            if (statvfs(mount.c_str(), &v) != 0) continue;
            const std::string base = device.substr(device.rfind('/') + 1);
            std::string block = base;
            while (!block.empty() && !std::filesystem::exists("/sys/block/" + block))
                block.pop_back();  // sda1 → sda
            const bool removable =
                !block.empty() && ReadFirstLine("/sys/block/" + block + "/removable") == "1";
            auto o = add(def);
            o->Set("DeviceID", T(device));
            o->Set("Name", T(mount));
            o->Set("VolumeName", T(base));
            o->Set("DriveType", WmiValue::I4(removable ? 2 : 3));
            o->Set("Size", T(std::to_string(static_cast<unsigned long long>(v.f_blocks) * v.f_frsize)));
            o->Set("FreeSpace",
                   T(std::to_string(static_cast<unsigned long long>(v.f_bavail) * v.f_frsize)));
            o->Set("FileSystem", T(fs));
        }
    } else if (IEquals(cls, "Win32_NetworkAdapter")) {
        static const auto def = Def("Win32_NetworkAdapter", {"DeviceID", "Name", "MACAddress",
                                                             "Status", "PhysicalAdapter"});
        std::error_code ec;
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator("/sys/class/net", ec))
            names.insert(e.path().filename().string());
        for (const auto& name : names) {
            const std::string dir = "/sys/class/net/" + name;
            std::string mac = ReadFirstLine(dir + "/address");
            for (auto& c : mac) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const std::string state = ReadFirstLine(dir + "/operstate");
            auto o = add(def);
            o->Set("DeviceID", T(name));
            o->Set("Name", T(name));
            if (!mac.empty()) o->Set("MACAddress", T(mac));
            o->Set("Status", T(state == "up" ? "OK" : state));
            o->Set("PhysicalAdapter", WmiValue::Bool(std::filesystem::exists(dir + "/device")));
        }
    } else if (IEquals(cls, "Win32_PerfFormattedData_PerfOS_Processor")) {
        static const auto def =
            Def("Win32_PerfFormattedData_PerfOS_Processor", {"Name", "PercentProcessorTime"});
        auto o = add(def);
        o->Set("Name", T("_Total"));
        o->Set("PercentProcessorTime", T(std::to_string(CurrentRates().cpu)));
    } else if (IEquals(cls, "Win32_PerfFormattedData_PerfDisk_PhysicalDisk")) {
        static const auto def =
            Def("Win32_PerfFormattedData_PerfDisk_PhysicalDisk", {"Name", "PercentDiskTime"});
        auto o = add(def);
        o->Set("Name", T("_Total"));
        o->Set("PercentDiskTime", T(std::to_string(CurrentRates().disk)));
    } else if (IEquals(cls, "Win32_PerfFormattedData_Tcpip_NetworkInterface")) {
        static const auto def =
            Def("Win32_PerfFormattedData_Tcpip_NetworkInterface", {"Name", "BytesTotalPersec"});
        for (const auto& [name, rate] : CurrentRates().net) {
            auto o = add(def);
            o->Set("Name", T(name));
            o->Set("BytesTotalPersec", T(std::to_string(rate)));
        }
    }
}

class LocalCimServices : public WmiServices {
  public:
    HResult ExecQuery(std::string_view wql, WmiEnumeratorPtr& result) override {
        result.reset();
        WqlQuery q;
        if (HResult hr = ParseWql(wql, q); Failed(hr)) return hr;
        if (q.kind != WqlQuery::Kind::Select) return kWbemENotSupported;
        std::vector<WmiObjectPtr> all, out;
        Instances(q.className, all);
        if (all.empty() && !Known(q.className)) return kWbemEInvalidClass;
        for (auto& o : all) {
            if (q.where && !WqlMatches(*q.where, *o)) continue;
            if (q.selectAll) {
                out.push_back(o);
                continue;
            }
            auto projected = WmiObject::MakeInstance(o->Definition().Project(q.columns));
            for (const auto& name : projected->GetNames()) {
                int index = o->Definition().Find(name);
                if (const WmiValue* v = index >= 0 ? o->Peek(index) : nullptr)
                    projected->Set(name, *v);
            }
            out.push_back(projected);
        }
        result = std::make_shared<WmiListEnumerator>(std::move(out));
        return kSOk;
    }
    HResult GetObject(std::string_view, WmiObjectPtr& result) override {
        result.reset();
        return kWbemENotSupported;
    }
    HResult ExecMethod(std::string_view, std::string_view, const WmiObjectPtr&,
                       WmiObjectPtr& outParams) override {
        outParams.reset();
        return kWbemENotSupported;
    }

  private:
    static bool Known(const std::string& cls) {
        for (const char* k : {"Win32_OperatingSystem", "Win32_Processor", "Win32_ComputerSystem",
                              "Win32_LogicalDisk", "Win32_NetworkAdapter",
                              "Win32_PerfFormattedData_PerfOS_Processor",
                              "Win32_PerfFormattedData_PerfDisk_PhysicalDisk",
                              "Win32_PerfFormattedData_Tcpip_NetworkInterface"})
            if (IEquals(cls, k)) return true;
        return false;
    }
};

class LocalMachineLocator : public WmiLocator {
  public:
    HResult ConnectServer(std::string_view path, std::string_view, std::string_view,
                          WmiServicesPtr& services) override {
        services.reset();
        const std::string ns = NamespaceOfPath(path);
        if (IEquals(ns, "root\\virtualization\\v2")) return kWbemEInvalidNamespace;
        if (!IEquals(ns, "root\\cimv2")) return kWbemEInvalidNamespace;
        services = std::make_shared<LocalCimServices>();
        return kSOk;
    }
    HostShutdownResult ShutdownHost(bool restart, std::string_view, std::string_view) override {
        const int rc = RunProgram(SystemctlCommand(), restart ? "reboot" : "poweroff");
        if (rc == 0) return {};
        return {rc < 0 ? ENOENT : rc, false};
    }
    // The local machine has no VM consoles of its own.
    std::string ConsoleAddress() const override { return {}; }
};

}  // namespace

std::string SystemctlCommand() {
    const char* p = std::getenv("HBR_SYSTEMCTL");
    return p && *p ? p : "systemctl";
}

std::string LocalCimDateTime(long long unixMs) {
    const std::time_t secs = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    const long offset = tm.tm_gmtoff / 60;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%06d%c%03ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(unixMs % 1000) * 1000, offset < 0 ? '-' : '+',
                  offset < 0 ? -offset : offset);
    return buf;
}

WmiLocatorPtr CreateLocalMachineLocator() {
    return std::make_shared<LocalMachineLocator>();
}

}  // namespace hbr
