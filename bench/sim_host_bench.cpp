// CPU time of one poll cycle's queries against a 1000-VM simulated host, and the memory that
// ten hosts of 100 VMs take.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "bench/measure.h"
#include "hyperv/provider_factory.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi/wmi_provider.h"

namespace {

std::size_t Drain(hbr::WmiServices& s, const std::string& wql) {
    hbr::WmiEnumeratorPtr e;
    if (s.ExecQuery(wql, e) != hbr::kSOk) return 0;
    hbr::WmiObjectPtr o;
    std::size_t n = 0;
    while (e->Next(hbr::kWbemInfinite, o) == hbr::kSOk) ++n;
    return n;
}

// The queries and the summary call one poll cycle makes.
std::size_t PollCycle(hbr::WmiServices& virt, hbr::WmiServices& cim, const std::string& svc) {
    using namespace hbr;
    WmiObjectPtr cls, sig, in, out;
    virt.GetObject("Msvm_VirtualSystemManagementService", cls);
    cls->GetMethod("GetSummaryInformation", sig);
    sig->SpawnInstance(in);
    in->Put("SettingData", WmiValue::Null());
    in->Put("RequestedInformation", WmiValue::I4Array({0, 1, 100, 101, 103, 105, 110, 111, 112}));
    virt.ExecMethod(svc, "GetSummaryInformation", in, out);
    WmiValue arr;
    out->Get("SummaryInformation", arr);
    std::size_t n = 0;
    for (const auto& s : *arr.AsObjectArray()) {
        WmiValue v;
        for (const char* p :
             {"Name", "ElementName", "EnabledState", "ProcessorLoad", "MemoryUsage", "UpTime",
              "OperationalStatus", "StatusDescriptions", "MemoryAvailable"})
            s->Get(p, v);
        ++n;
    }
    Drain(cim, "SELECT * FROM Win32_OperatingSystem");
    Drain(cim,
          "SELECT PercentProcessorTime FROM Win32_PerfFormattedData_PerfOS_Processor where Name = "
          "'_Total'");
    Drain(cim,
          "SELECT PercentDiskTime FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk where Name = "
          "'_Total'");
    Drain(cim, "SELECT BytesTotalPersec FROM Win32_PerfFormattedData_Tcpip_NetworkInterface");
    return n;
}

}  // namespace

int main() {
    using namespace hbr;
    long rss0 = bench::RssKb();
    WmiServicesPtr virt, cim;
    auto loc = CreateWmiLocator("sim://bench1000?vms=1000");
    loc->ConnectServer("\\\\.\\ROOT\\virtualization\\v2", "", "", virt);
    loc->ConnectServer("\\\\.\\ROOT\\CIMV2", "", "", cim);
    WmiEnumeratorPtr e;
    virt->ExecQuery("select * from MSVM_VirtualSystemManagementService", e);
    WmiObjectPtr svcObj;
    e->Next(kWbemInfinite, svcObj);
    WmiValue path;
    svcObj->Get("__PATH", path);
    const int cycles = 50;
    double c0 = bench::ProcessCpuMs();
    std::size_t vms = 0;
    for (int i = 0; i < cycles; ++i) vms = PollCycle(*virt, *cim, *path.AsBstr());
    double perCycle = (bench::ProcessCpuMs() - c0) / cycles;
    std::printf("1000-VM poll cycle: %zu VMs, %.2f ms CPU per cycle\n", vms, perCycle);
    long rss1 = bench::RssKb();
    for (int h = 0; h < 10; ++h) {
        WmiServicesPtr s;
        CreateWmiLocator("sim://mem" + std::to_string(h) + "?vms=100")
            ->ConnectServer("\\\\.\\ROOT\\CIMV2", "", "", s);
    }
    long rss2 = bench::RssKb();
    std::printf("RSS: start %ld KB, 1000-VM host %ld KB, 10 x 100-VM hosts +%ld KB\n", rss0,
                rss1 - rss0, rss2 - rss1);
    return 0;
}
