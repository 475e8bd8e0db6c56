// The host's live figures (every poll cycle) and its information page (on request), both from
// the operating-system namespace.
#include "cli/process_state.h"
#include "hyperv/wmi_properties.h"
#include "hyperv/workspace_ops.h"
#include "store/json.h"

namespace hbr {
namespace {

void EnsureCim(WmiWorkspace& ws) {
    if (ws.CimServices()) return;
    const HResult hr = ws.ConnectCim();
    if (Failed(hr)) throw CHypervisorException(hr, kStepCimConnect);
}

// Calls `each` for every object of the query; a failed read ends the cycle.
template <typename F>
void ForEach(WmiWorkspace& ws, const std::string& wql, F each) {
    auto e = ws.QueryCim(wql);
    WmiObjectPtr o;
    while (true) {
        const HResult hr = e->Next(kWbemInfinite, o);
        if (Failed(hr)) throw CHypervisorException(hr, kStepRead);
        if (hr != kSOk || !o) return;
        if (!each(*o)) return;
    }
}

std::string Text(const WmiObject& o, const char* name) {
    WmiValue v;
    if (Failed(o.Get(name, v)) || !v.AsBstr()) return {};
    return *v.AsBstr();
}

}  // namespace

void RefreshHostLive(WmiWorkspace& ws) {
    EnsureCim(ws);
    std::string out;
    ForEach(ws, "SELECT * FROM Win32_OperatingSystem", [&](const WmiObject& os) {
        const auto boot = CimDateTimeToLocalFileTime(Text(os, "LastBootUpTime"));
        const auto now = CimDateTimeToLocalFileTime(Text(os, "LocalDateTime"));
        if (boot && now) {
            const std::int64_t diff = *now > *boot ? *now - *boot : 0;
            const std::int64_t secs = diff / 10000000LL;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%d.%02d:%02d:%02d", static_cast<int>(secs / 86400),
                          static_cast<int>(secs / 3600 % 24), static_cast<int>(secs / 60 % 60),
                          static_cast<int>(secs % 60));
            out += "\"uptime\":\"" + JsonEscape(buf) + "\",";
        } else {
            out += "\"uptime\": null,";
        }
        WriteNumberProperty(out, os, "TotalVisibleMemorySize", "memoryTotal");
        WriteNumberProperty(out, os, "FreePhysicalMemory", "memoryFree");
        return true;
    });
    ForEach(ws,
            "SELECT PercentProcessorTime FROM Win32_PerfFormattedData_PerfOS_Processor where "
            "Name = '_Total'",
            [&](const WmiObject& o) {
                WriteNumberProperty(out, o, "PercentProcessorTime", "cpuLoad");
                return true;
            });
    ForEach(ws,
            "SELECT PercentDiskTime FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk where "
            "Name = '_Total'",
            [&](const WmiObject& o) {
                WriteNumberProperty(out, o, "PercentDiskTime", "diskLoad");
                return true;
            });
    std::uint32_t sum = 0;  // 32 bits, wrapping, as the dashboard has always shown it
    ForEach(ws, "SELECT BytesTotalPersec FROM Win32_PerfFormattedData_Tcpip_NetworkInterface",
            [&](const WmiObject& o) {
                std::int32_t n = 0;
                // Unreadable or beyond 32 bits: that interface is skipped, the cycle goes on.
                if (Succeeded(ReadIntegerProperty(o, "BytesTotalPersec", n)))
                    sum += static_cast<std::uint32_t>(n);
                return true;
            });
    out += "\"bytesPersec\":" + std::to_string(static_cast<std::int32_t>(sum)) + ",";
    std::lock_guard lock(Locks().cache);
    if (ws.hostLiveFragment != out) {
        ws.hostLiveFragment = std::move(out);
        NoteCachedTextChange();
    }
}

void GetHostInfoJson(WmiWorkspace& ws, std::string& result) {
    EnsureCim(ws);
    std::string out = "{";
    const int id = ws.serverId;
    ForEach(ws, "SELECT * FROM Win32_OperatingSystem", [&](const WmiObject& os) {
        if (out == "{") out += "\"id\":" + std::to_string(id) + ",";
        WriteHostStringProperty(out, os, "Caption", "osName");
        WriteHostStringProperty(out, os, "Version", "osVersion");
        WriteHostStringProperty(out, os, "BuildNumber", "osBuildNumber");
        WriteNumberProperty(out, os, "OperatingSystemSKU", "osSKU");
        WriteDateProperty(out, os, "InstallDate", "osInstallDate");
        WriteNumberProperty(out, os, "FreePhysicalMemory", "freePhysicalMemory");
        WriteHostStringProperty(out, os, "Status", "osStatus");
        return true;
    });
    if (out == "{") out += "\"id\":" + std::to_string(id) + ",";
    ForEach(ws, "SELECT Name, NumberOfCores, NumberOfLogicalProcessors FROM Win32_Processor",
            [&](const WmiObject& p) {
                WriteHostStringProperty(out, p, "Name", "cpuName");
                WriteNumberProperty(out, p, "NumberOfCores", "numberOfCores");
                WriteNumberProperty(out, p, "NumberOfLogicalProcessors",
                                    "numberOfLogicalProcessors");
                return false;  // the first processor only
            });
    ForEach(ws, "SELECT * FROM Win32_ComputerSystem", [&](const WmiObject& c) {
        WriteHostStringProperty(out, c, "Name", "name");
        WriteHostStringProperty(out, c, "Manufacturer", "manufacturer");
        WriteHostStringProperty(out, c, "Model", "model");
        WriteNumberProperty(out, c, "NumberOfProcessors", "numberOfProcessors");
        WriteNumberProperty(out, c, "TotalPhysicalMemory", "totalPhysicalMemory");
        WriteHostStringProperty(out, c, "DNSHostName", "dNSHostName");
        WriteHostStringProperty(out, c, "Domain", "domain");
        return false;
    });
    out += "disks:[";
    ForEach(ws, "SELECT * FROM Win32_LogicalDisk WHERE DriveType=2 OR DriveType=3",
            [&](const WmiObject& d) {
                out += "{";
                WriteHostStringProperty(out, d, "Name", "name");
                WriteHostStringProperty(out, d, "VolumeName", "volumeName");
                WriteHostStringProperty(out, d, "Status", "status");
                WriteNumberProperty(out, d, "Size", "size");
                WriteNumberProperty(out, d, "FreeSpace", "freeSpace");
                StripTrailingCommas(out);
                out += "},";
                return true;
            });
    StripTrailingCommas(out);
    out += "],nics:[";
    ForEach(ws, "SELECT * FROM Win32_NetworkAdapter  WHERE PhysicalAdapter= 'true'",
            [&](const WmiObject& n) {
                out += "{";
                WriteHostStringProperty(out, n, "Name", "name");
                WriteHostStringProperty(out, n, "MACAddress", "mACAddress");
                WriteHostStringProperty(out, n, "Status", "status");
                StripTrailingCommas(out);
                out += "},";
                return true;
            });
    StripTrailingCommas(out);
    out += "]}";
    result = std::move(out);
}

}  // namespace hbr
