// CPU time of one poll cycle (the real VM list and host figures code) against a simulated host
// of 1000 VMs, and the resident memory of a registry of ten hosts with 100 VMs each. The
// simulated host runs in this process, so its share of the work is in the figure too.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "bench/measure.h"
#include "cli/process_state.h"
#include "hyperv/server_registry.h"
#include "hyperv/providers/sim/sim_host.h"
#include "store/json.h"

namespace {

std::size_t CachedVms(hbr::WmiWorkspace& ws) {
    std::lock_guard lock(hbr::Locks().cache);
    return ws.vmCache.size();
}

}  // namespace

int main() {
    using namespace hbr;
    using namespace std::chrono_literals;
    const long rss0 = bench::RssKb();
    {
        // No refreshers installed: the workspace's own poller stays idle, so the figures are
        // those of the cycles run here.
        WmiWorkspace ws;
        ws.Initialize(1, "sim://bench1000?vms=1000&seed=7", "", "", std::chrono::hours(1));
        ReloadVmList(ws);  // connects and finds the management service once
        RefreshHostLive(ws);
        const int cycles = 50;
        double worst = 0, total = 0;
        for (int i = 0; i < cycles; ++i) {
            const double c0 = bench::ThreadCpuMs();
            RefreshHostLive(ws);
            ReloadVmList(ws);
            const double ms = bench::ThreadCpuMs() - c0;
            total += ms;
            worst = std::max(worst, ms);
        }
        std::printf(
            "poll cycle, 1000-VM simulated host: %zu VMs cached, %.2f ms CPU per cycle "
            "(mean of %d), worst %.2f ms\n",
            CachedVms(ws), total / cycles, cycles, worst);
    }
    SimHost::Remove("bench1000");
    const long rss1 = bench::RssKb();
    auto& reg = ServerRegistry::Instance();
    for (int h = 0; h < 10; ++h)
        reg.AddServer(h + 1, "sim://mem" + std::to_string(h) + "?vms=100&seed=" + std::to_string(h),
                      "", "");
    std::string live;
    for (int i = 0; i < 500; ++i) {
        live = *reg.LiveData(true, true, "");
        JsonDocument doc;
        if (ParseJson(live, doc) && doc.Root()["vms"].Size() == 1000) break;
        std::this_thread::sleep_for(20ms);
    }
    const long rss2 = bench::RssKb();
    std::printf(
        "registry of 10 x 100-VM hosts: live data %zu bytes; RSS %ld KB at start, "
        "%ld KB with the hosts (+%ld KB)\n",
        live.size(), rss1, rss2, rss2 - rss1);
    (void)rss0;
    reg.ClearAll();
    return 0;
}
