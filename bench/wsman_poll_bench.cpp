// One poll cycle (VM list and host figures, the code the poller runs) of a simulated host with
// 100 VMs, read in process (sim://) and over WS-Management from the test server serving the same
// host in this process: CPU time of the polling thread (the client's share), CPU time of the
// whole process (client, TLS on both ends, the server and the simulated host), HTTP bytes on the
// wire and requests per cycle. A 1000-VM host in process is the third column, as the figure the
// simulator's own tests used to hold.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/measure.h"
#include "cli/process_state.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi_workspace.h"
#include "hyperv/workspace_ops.h"
#include "support/wsman_test_server.h"

namespace {

struct Figures {
    std::size_t vms = 0;
    double threadMs = 0, worstThreadMs = 0, processMs = 0;
    double bytesIn = 0, bytesOut = 0, requests = 0;
};

std::size_t CachedVms(hbr::WmiWorkspace& ws) {
    std::lock_guard lock(hbr::Locks().cache);
    return ws.vmCache.size();
}

// Runs `cycles` poll cycles after a warm-up one (which connects and finds the management
// service); `server` counts the wire when given.
Figures Measure(hbr::WmiWorkspace& ws, int cycles, const hbr::WsmanTestServer* server) {
    hbr::ReloadVmList(ws);
    hbr::RefreshHostLive(ws);
    Figures f;
    const double p0 = bench::ProcessCpuMs();
    const std::uint64_t in0 = server ? server->HttpBytesReceived() : 0;
    const std::uint64_t out0 = server ? server->HttpBytesSent() : 0;
    const std::uint64_t rq0 = server ? server->RequestCount("") : 0;
    for (int i = 0; i < cycles; ++i) {
        const double c0 = bench::ThreadCpuMs();
        hbr::RefreshHostLive(ws);
        hbr::ReloadVmList(ws);
        const double ms = bench::ThreadCpuMs() - c0;
        f.threadMs += ms;
        f.worstThreadMs = std::max(f.worstThreadMs, ms);
    }
    f.processMs = (bench::ProcessCpuMs() - p0) / cycles;
    f.threadMs /= cycles;
    if (server) {
        f.bytesIn = static_cast<double>(server->HttpBytesReceived() - in0) / cycles;
        f.bytesOut = static_cast<double>(server->HttpBytesSent() - out0) / cycles;
        f.requests = static_cast<double>(server->RequestCount("") - rq0) / cycles;
    }
    f.vms = CachedVms(ws);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace hbr;
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    Figures direct, remote, large;
    {
        WmiWorkspace ws;
        ws.Initialize(1, "sim://POLLBENCH?vms=100&seed=7", "", "", std::chrono::hours(1));
        direct = Measure(ws, cycles, nullptr);
    }
    {
        WsmanTestServerOptions o;
        o.simHost = "sim://POLLBENCH?vms=100&seed=7";  // the very host measured above
        WsmanTestServer server(o);
        WmiWorkspace ws;
        ws.Initialize(2, server.HostText("basic"), o.user, o.password, std::chrono::hours(1));
        remote = Measure(ws, cycles, &server);
    }
    SimHost::Remove("POLLBENCH");
    {
        WmiWorkspace ws;
        ws.Initialize(3, "sim://POLLBENCH1000?vms=1000&seed=7", "", "", std::chrono::hours(1));
        large = Measure(ws, cycles, nullptr);
    }
    SimHost::Remove("POLLBENCH1000");

    std::printf("Poll cycle (host figures + VM list), mean of %d cycles\n", cycles);
    std::printf("%-34s %14s %16s %14s\n", "", "100 VMs, sim://", "100 VMs, WS-Man", "1000 VMs, sim://");
    std::printf("%-34s %14zu %16zu %14zu\n", "VMs cached", direct.vms, remote.vms, large.vms);
    std::printf("%-34s %11.2f ms %13.2f ms %11.2f ms\n", "CPU, polling thread", direct.threadMs,
                remote.threadMs, large.threadMs);
    std::printf("%-34s %11.2f ms %13.2f ms %11.2f ms\n", "CPU, polling thread (worst cycle)",
                direct.worstThreadMs, remote.worstThreadMs, large.worstThreadMs);
    std::printf("%-34s %11.2f ms %13.2f ms %11.2f ms\n", "CPU, whole process (incl. server)",
                direct.processMs, remote.processMs, large.processMs);
    std::printf("%-34s %14s %16.1f %14s\n", "requests per cycle", "-", remote.requests, "-");
    std::printf("%-34s %14s %13.1f KB %14s\n", "HTTP bytes sent per cycle", "-",
                remote.bytesIn / 1024, "-");
    std::printf("%-34s %14s %13.1f KB %14s\n", "HTTP bytes received per cycle", "-",
                remote.bytesOut / 1024, "-");
    return 0;
}
