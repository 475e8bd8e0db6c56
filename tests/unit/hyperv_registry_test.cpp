// The server registry: live data, lookups, edits while requests and pollers run, hanging hosts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "cli/process_state.h"
#include "hyperv/provider_factory.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/server_registry.h"
#include "platform/hbr_exception.h"
#include "store/json.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

struct RegistryTest : ::testing::Test {
    void SetUp() override { ServerRegistry::Instance().ClearAll(); }
    void TearDown() override {
        ServerRegistry::Instance().ClearAll();
        for (const char* n : {"reg-a", "reg-b", "reg-hang"}) {
            SimHost::Get(n).ClearHooks();
            SimHost::Remove(n);
        }
    }
    std::string Live(bool vms = true, bool servers = true, const std::string& filter = {}) {
        return *ServerRegistry::Instance().LiveData(vms, servers, filter);
    }
    size_t VmCount() {
        JsonDocument doc;
        EXPECT_TRUE(ParseJson(Live(), doc));
        return doc.Root()["vms"].Size();
    }
};

TEST_F(RegistryTest, EmptyAndFlags) {
    EXPECT_EQ(Live(), "{\"vms\":[],\"servers\":[]}");
    auto& reg = ServerRegistry::Instance();
    reg.AddServer(5, "sim://reg-a?vms=4", "", "");
    EXPECT_TRUE(WaitFor([&] { return VmCount() == 4; }));
    EXPECT_EQ(Live(false, true).rfind("{\"vms\":[],\"servers\":[{\"id\":5,\"status\":\"OK\",", 0),
              0u);
    EXPECT_TRUE(Live(true, false).ends_with("],\"servers\":[]}"));
    const auto vms = SimHost::Get("reg-a").ListVms();
    JsonDocument doc;
    ASSERT_TRUE(ParseJson(Live(true, false, "[{\"id\":\"" + vms[1].id + "\"}]"), doc));
    ASSERT_EQ(doc.Root()["vms"].Size(), 1u);
    EXPECT_EQ(doc.Root()["vms"].At(0)["id"].AsText(), vms[1].id);
    std::string out;
    EXPECT_EQ(reg.GetVmGeneral("00000000-0000-0000-0000-000000000000", out), kEInvalidArg);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(reg.GetHostInfo(99, out), kEInvalidArg);
    EXPECT_THROW(reg.ShutdownHost(99, false), std::exception);
}

TEST_F(RegistryTest, UpdateKeepsOrReplaces) {
    auto& reg = ServerRegistry::Instance();
    reg.AddServer(1, "sim://reg-a?vms=2", "ops", "");
    const WorkspacePtr first = reg.FindServerById(1);
    EXPECT_EQ(reg.UpdateServer(1, "SIM://REG-A?vms=2", "OPS", nullptr), 0);
    EXPECT_EQ(reg.FindServerById(1), first);
    const std::string pw = "x";
    reg.UpdateServer(1, "sim://reg-a?vms=2", "ops", &pw);
    EXPECT_NE(reg.FindServerById(1), first);
    reg.UpdateServer(2, "sim://reg-b?vms=3", "", nullptr);  // not listed: added
    EXPECT_EQ(reg.Count(), 2u);
    EXPECT_TRUE(WaitFor([&] { return VmCount() == 5; }));
    // The same VM on two hosts: operations go to the later host, names come from the earlier.
    reg.RemoveServer(2);
    reg.AddServer(3, "sim://reg-a?vms=2", "", "");
    const auto vm = SimHost::Get("reg-a").ListVms()[0];
    EXPECT_TRUE(WaitFor([&] {
        auto ws = reg.FindServerByVm(vm.id);
        return ws && ws->serverId == 3;
    }));
    std::string text;
    EXPECT_TRUE(reg.FindCachedVm(vm.id, text));
    reg.RemoveServer(3);
    reg.RemoveServer(3);  // not listed: nothing
    EXPECT_EQ(reg.Count(), 1u);
}

TEST_F(RegistryTest, HangingHostBlocksNothingElse) {
    auto& reg = ServerRegistry::Instance();
    reg.AddServer(1, "sim://reg-a?vms=3", "", "");
    reg.AddServer(2, "sim://reg-hang?vms=3", "", "");
    ASSERT_TRUE(WaitFor([&] { return VmCount() == 6; }));
    const auto hung = SimHost::Get("reg-hang").ListVms()[0];
    // Held until the test lets go: whatever waited for the hung call would never return, and
    // the test would end on its time limit, so no clock decides here.
    SimHost::Get("reg-hang").SetCallDelay("", "", 1h);
    std::atomic<bool> done{false};
    std::thread request([&] {
        std::string out;
        try {
            reg.GetVmReplication(hung.id, out);
        } catch (const CHypervisorException&) {
        }
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    // The dashboard, the other host and edits of the hung one go on.
    EXPECT_NE(Live().find("\"id\":1,"), std::string::npos);
    std::string out;
    EXPECT_EQ(reg.GetVmReplication(SimHost::Get("reg-a").ListVms()[0].id, out), 0);
    reg.RemoveServer(2);
    reg.AddServer(2, "sim://reg-b?vms=1", "", "");
    EXPECT_FALSE(done);
    SimHost::Get("reg-hang").ClearHooks();  // the waiting call ends; its workspace goes then
    request.join();
    EXPECT_TRUE(done);
}

TEST_F(RegistryTest, ShutdownGoesThroughTheProvider) {
    TempDir dir;
    const std::string script = dir.Path() + "/systemctl", log = dir.Path() + "/calls";
    {
        std::ofstream f(script);
        f << "#!/bin/sh\necho \"$@\" >> " << log << "\n[ \"$1\" = reboot ] && exit 1\nexit 0\n";
    }
    ::chmod(script.c_str(), 0755);
    ::setenv("HBR_SYSTEMCTL", script.c_str(), 1);
    SetLocalMachineDemo(false);  // the real local machine, whose shutdown is systemctl's
    auto& reg = ServerRegistry::Instance();
    reg.AddServer(1, "", "", "");
    reg.ShutdownHost(1, false);
    try {
        reg.ShutdownHost(1, true);
        ADD_FAILURE() << "a refused reboot must fail";
    } catch (const CHbrException& e) {
        EXPECT_EQ(e.Message().rfind("InitiateShutdown failed ", 0), 0u) << e.Message();
    }
    std::ifstream in(log);
    std::string calls((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(calls, "poweroff\nreboot\n");
    // A simulated host starts again: its running VMs end saved and nothing runs locally.
    reg.AddServer(3, "sim://reg-b?vms=6&seed=3", "", "");
    auto running = [] {
        int n = 0;
        for (const auto& vm : SimHost::Get("reg-b").ListVms()) n += vm.enabledState == 2;
        return n;
    };
    ASSERT_GT(running(), 0);
    reg.ShutdownHost(3, true);
    EXPECT_EQ(running(), 0);
    std::ifstream again(log);
    std::string after((std::istreambuf_iterator<char>(again)), {});
    EXPECT_EQ(after, calls);
    ::setenv("HBR_SYSTEMCTL", (dir.Path() + "/missing").c_str(), 1);
    EXPECT_THROW(reg.ShutdownHost(1, false), CHbrException);
    ::unsetenv("HBR_SYSTEMCTL");
}

TEST_F(RegistryTest, RemovingAHungHostAnswersAtOnce) {
    auto& reg = ServerRegistry::Instance();
    reg.AddServer(2, "sim://reg-hang?vms=2", "", "");
    ASSERT_TRUE(WaitFor([&] { return VmCount() == 2; }));
    // The poller's next cycle hangs in its first call to the host.
    SimHost::Get("reg-hang").SetCallDelay("", "", 1h);
    std::this_thread::sleep_for(100ms);
    reg.RemoveServer(2);
    reg.AddServer(2, "sim://reg-a?vms=1", "", "");
    const std::string pw = "new";
    reg.UpdateServer(2, "sim://reg-hang?vms=2", "", &pw);  // the new workspace hangs as well
    std::this_thread::sleep_for(100ms);
    reg.RemoveServer(2);
    EXPECT_EQ(reg.Count(), 0u);
    // Shutting down waits for the hung calls to end (here: released by the test).
    std::thread release([] {
        std::this_thread::sleep_for(200ms);
        SimHost::Get("reg-hang").ClearHooks();
    });
    reg.ClearAll();
    release.join();
}

TEST_F(RegistryTest, EditsWhileRequestsRun) {
    auto& reg = ServerRegistry::Instance();
    reg.AddServer(1, "sim://reg-a?vms=8", "", "");
    ASSERT_TRUE(WaitFor([&] { return VmCount() == 8; }));
    SimHost::Get("reg-a").SetJobDuration(1ms);
    const auto vms = SimHost::Get("reg-a").ListVms();
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                std::string out;
                try {
                    reg.GetVmGeneral(vms[static_cast<size_t>(i + t) % vms.size()].id, out);
                    reg.LiveData(true, true, "");
                } catch (const CHypervisorException&) {
                }
            }
        });
    for (int i = 0; i < 20; ++i) {
        const std::string pw = std::to_string(i);
        reg.UpdateServer(1, "sim://reg-a?vms=8", "", &pw);
        std::this_thread::sleep_for(5ms);
    }
    reg.ClearAll();
    stop = true;
    for (auto& w : workers) w.join();
    EXPECT_EQ(reg.Count(), 0u);
}

}  // namespace
}  // namespace hbr
