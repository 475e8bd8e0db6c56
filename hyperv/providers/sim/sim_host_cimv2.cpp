// ROOT\CIMV2 of the simulated host: the operating system, processors, computer, disks, network
// adapters and the three performance counters, with figures that move over time and follow the
// VMs that run. Runs with the host's lock held.
#include "hyperv/providers/sim/sim_host_internal.h"

namespace hbr::simhost {

namespace {

WmiValue Text(std::string s) {
    return WmiValue::Bstr(std::move(s));
}

constexpr std::uint64_t kTotalKb = 536346112ULL;  // visible memory of a 512 GiB host

}  // namespace

void Impl::CimInstances(Kind kind, const WqlCondition*, std::vector<WmiObjectPtr>& out) {
    const ClassEntry& cls = Entry(kind);
    const std::int64_t now = NowMs();
    const std::uint64_t hostKey = hostKey_;
    auto make = [&] {
        out.push_back(WmiObject::MakeInstance(cls.def));
        return out.back();
    };
    std::uint64_t usedMb = 6144;
    int running = 0;
    for (const auto& vm : vms_) {
        if (!Realized(vm)) continue;
        usedMb += static_cast<std::uint64_t>(vm.memoryMb);
        ++running;
    }
    switch (kind) {
        case Kind::OperatingSystem: {
            auto o = make();
            std::uint64_t used =
                usedMb * 1024 + static_cast<std::uint64_t>(Wave(hostKey, now, 0, 2097152));
            std::uint64_t free = used + 1048576 > kTotalKb ? 1048576 : kTotalKb - used;
            o->Set("Name", Text("Microsoft Windows Server 2022 Datacenter|C:\\Windows|"
                                "\\Device\\Harddisk0\\Partition2"));
            o->Set("Caption", Text("Microsoft Windows Server 2022 Datacenter"));
            o->Set("Version", Text("10.0.20348"));
            o->Set("BuildNumber", Text("20348"));
            o->Set("BuildType", Text("Multiprocessor Free"));
            o->Set("OperatingSystemSKU", WmiValue::I4(8));
            o->Set("InstallDate", Text(CimDateTime(1669852800000LL)));
            o->Set("LastBootUpTime",
                   Text(CimDateTime(fixedUptimeMs_ >= 0 ? now - fixedUptimeMs_ : hostBootMs_)));
            o->Set("LocalDateTime", Text(CimDateTime(now)));
            o->Set("TotalVisibleMemorySize", Text(std::to_string(kTotalKb)));
            o->Set("FreePhysicalMemory", Text(std::to_string(free)));
            o->Set("TotalVirtualMemorySize", Text(std::to_string(kTotalKb + 33554432ULL)));
            o->Set("FreeVirtualMemory", Text(std::to_string(free + 30000000ULL)));
            o->Set("Status", Text("OK"));
            o->Set("CSName", Text(computerName));
            o->Set("OSArchitecture", Text("64-bit"));
            o->Set("OSType", WmiValue::I4(18));
            o->Set("ProductType", WmiValue::I4(3));
            o->Set("NumberOfProcesses", WmiValue::I4(Wave(hostKey >> 4, now, 180, 260) + running));
            o->Set("NumberOfUsers", WmiValue::I4(2));
            o->Set("CurrentTimeZone", WmiValue::I4(0));
            o->Set("Manufacturer", Text("Microsoft Corporation"));
            o->Set("SystemDirectory", Text("C:\\Windows\\system32"));
            o->Set("WindowsDirectory", Text("C:\\Windows"));
            o->Set("BootDevice", Text("\\Device\\HarddiskVolume1"));
            o->Set("SerialNumber",
                   Text("00454-60000-00001-AA" + std::to_string(100 + hostKey % 900)));
            o->Set("Locale", Text("0409"));
            o->Set("CodeSet", Text("1252"));
            o->Set("CountryCode", Text("1"));
            break;
        }
        case Kind::Processor:
            for (int i = 0; i < 2; ++i) {
                auto o = make();
                o->Set("DeviceID", Text("CPU" + std::to_string(i)));
                o->Set("Name", Text("Intel(R) Xeon(R) Gold 6338 CPU @ 2.00GHz"));
                o->Set("Manufacturer", Text("GenuineIntel"));
                o->Set("NumberOfCores", WmiValue::I4(32));
                o->Set("NumberOfLogicalProcessors", WmiValue::I4(64));
                o->Set("MaxClockSpeed", WmiValue::I4(2000));
                o->Set("CurrentClockSpeed", WmiValue::I4(2000));
                o->Set("LoadPercentage",
                       WmiValue::I4(Wave(hostKey + static_cast<std::uint64_t>(i), now, 2, 60)));
                o->Set("SocketDesignation", Text("CPU" + std::to_string(i + 1)));
                o->Set("Status", Text("OK"));
                o->Set("VirtualizationFirmwareEnabled", WmiValue::Bool(false));
            }
            break;
        case Kind::Win32ComputerSystem: {
            auto o = make();
            std::string dns = computerName;
            for (auto& c : dns) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            o->Set("Name", Text(computerName));
            o->Set("Manufacturer", Text("Dell Inc."));
            o->Set("Model", Text("PowerEdge R750"));
            o->Set("NumberOfProcessors", WmiValue::I4(2));
            o->Set("NumberOfLogicalProcessors", WmiValue::I4(128));
            o->Set("TotalPhysicalMemory", Text("549218418688"));
            o->Set("DNSHostName", Text(dns));
            o->Set("Domain", Text("lab.local"));
            o->Set("PartOfDomain", WmiValue::Bool(true));
            o->Set("SystemType", Text("x64-based PC"));
            o->Set("Status", Text("OK"));
            break;
        }
        case Kind::LogicalDisk: {
            struct Disk {
                const char* id;
                int type;
                const char* volume;  // nullptr: no medium
                std::uint64_t size;
            };
            const Disk disks[] = {{"C:", 3, "System", 514622992384ULL},
                                  {"D:", 3, "VMs", 3840488804352ULL},
                                  {"E:", 5, nullptr, 0},
                                  {"F:", 2, "", 31024349184ULL}};
            for (const auto& d : disks) {
                auto o = make();
                o->Set("DeviceID", Text(d.id));
                o->Set("Name", Text(d.id));
                o->Set("DriveType", WmiValue::I4(d.type));
                if (!d.volume) continue;  // an empty optical drive has no figures
                o->Set("VolumeName", Text(d.volume));
                o->Set("Size", Text(std::to_string(d.size)));
                std::uint64_t used =
                    d.size / 100 *
                    static_cast<std::uint64_t>(Wave(HashText(d.id, hostKey), now / 600, 30, 80));
                o->Set("FreeSpace", Text(std::to_string(d.size - used)));
                o->Set("FileSystem", Text(d.type == 2 ? "FAT32" : "NTFS"));
                o->Set("MediaType", WmiValue::I4(d.type == 2 ? 11 : 12));
                o->Set("VolumeSerialNumber", Text("4A3B2C1D"));
            }
            break;
        }
        case Kind::NetworkAdapter: {
            struct Nic {
                const char* name;
                bool physical;
                bool hasMac;
            };
            const Nic nics[] = {{"Microsoft Kernel Debug Network Adapter", false, false},
                                {"Intel(R) Ethernet Controller X710 for 10GbE SFP+", true, true},
                                {"Intel(R) Ethernet Controller X710 for 10GbE SFP+ #2", true, true},
                                {"Hyper-V Virtual Ethernet Adapter", false, true},
                                {"WAN Miniport (IP)", false, false}};
            int index = 0;
            for (const auto& n : nics) {
                auto o = make();
                o->Set("DeviceID", Text(std::to_string(index)));
                o->Set("Name", Text(n.name));
                o->Set("PhysicalAdapter", WmiValue::Bool(n.physical));
                if (n.hasMac) {
                    char mac[32];
                    std::snprintf(mac, sizeof mac, "3C:FD:FE:%02X:%02X:%02X",
                                  static_cast<unsigned>(hostKey & 0xFF),
                                  static_cast<unsigned>((hostKey >> 8) & 0xFF), index * 16);
                    o->Set("MACAddress", Text(mac));
                    o->Set("NetConnectionStatus", WmiValue::I4(2));
                    o->Set("NetEnabled", WmiValue::Bool(true));
                    o->Set("Speed", Text("10000000000"));
                    o->Set("AdapterType", Text("Ethernet 802.3"));
                }
                ++index;
            }
            break;
        }
        case Kind::PerfProcessor:
            for (int i = -1; i < 8; ++i) {
                auto o = make();
                o->Set("Name", Text(i < 0 ? "_Total" : std::to_string(i)));
                int load = Wave(hostKey + static_cast<std::uint64_t>(i + 7), now, 1,
                                20 + std::min(70, running));
                o->Set("PercentProcessorTime", Text(std::to_string(load)));
                o->Set("PercentIdleTime", Text(std::to_string(100 - load)));
                o->Set("PercentUserTime", Text(std::to_string(load / 3)));
                o->Set("PercentPrivilegedTime", Text(std::to_string(load - load / 3)));
                o->Set("InterruptsPersec", WmiValue::I4(Wave(hostKey >> 2, now, 2000, 20000)));
            }
            break;
        case Kind::PerfDisk:
            for (const char* name : {"_Total", "0 C:", "1 D:"}) {
                auto o = make();
                int busy = Wave(HashText(name, hostKey), now, 0, 45);
                o->Set("Name", Text(name));
                o->Set("PercentDiskTime", Text(std::to_string(busy)));
                o->Set("PercentIdleTime", Text(std::to_string(100 - std::min(busy, 100))));
                o->Set("DiskBytesPersec",
                       Text(std::to_string(static_cast<std::uint64_t>(busy) * 1048576ULL)));
                o->Set("CurrentDiskQueueLength", WmiValue::I4(busy / 10));
            }
            break;
        case Kind::PerfNetwork:
            if (fixedNetworkRates_) {
                for (std::size_t i = 0; i < networkRates_.size(); ++i) {
                    auto o = make();
                    o->Set("Name", Text("Adapter " + std::to_string(i + 1)));
                    o->Set("BytesTotalPersec", Text(std::to_string(networkRates_[i])));
                }
                break;
            }
            for (const char* name : {"Intel[R] Ethernet Controller X710 for 10GbE SFP+",
                                     "Intel[R] Ethernet Controller X710 for 10GbE SFP+ _2",
                                     "vEthernet [External vSwitch]"}) {
                auto o = make();
                int rate = Wave(HashText(name, hostKey), now, 1000, 40000000);
                o->Set("Name", Text(name));
                o->Set("BytesTotalPersec", Text(std::to_string(rate)));
                o->Set("BytesReceivedPersec", Text(std::to_string(rate / 3 * 2)));
                o->Set("BytesSentPersec", Text(std::to_string(rate - rate / 3 * 2)));
                o->Set("CurrentBandwidth", Text("10000000000"));
            }
            break;
        default:
            break;
    }
}

WmiObjectPtr Impl::MakeCim(const Ref& ref) {
    std::vector<WmiObjectPtr> all;
    CimInstances(ref.kind, nullptr, all);
    for (auto& o : all)
        if (o->Path(true) == ref.key) return o;
    return nullptr;
}

}  // namespace hbr::simhost
