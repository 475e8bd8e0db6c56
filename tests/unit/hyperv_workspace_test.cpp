// The workspace's shared operations and its poller, against the simulated host.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cli/process_state.h"
#include "hyperv/provider_factory.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi_workspace.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

TEST(CHypervisorException, ThreeForms) {
    CHypervisorException plain("Invalid type of the property");
    EXPECT_EQ(plain.text, "Invalid type of the property: 0");
    EXPECT_EQ(plain.hr, 0);
    EXPECT_STREQ(plain.what(), "Invalid type of the property");
    CHypervisorException coded("Invalid VM State", kEFail);
    EXPECT_EQ(coded.text, "Invalid VM State: -2147467259");
    EXPECT_EQ(coded.hr, kEFail);
    EXPECT_STREQ(coded.what(), std::exception().what());
    CHypervisorException step(kRpcEConnectionTerminated, 4);
    EXPECT_EQ(step.text, "error -2147418106 at wmiworkspace: 4");
    EXPECT_EQ(step.hr, kRpcEConnectionTerminated);
}

TEST(CHypervisorException, ErrorTextUsesTheTableThenTheCode) {
    EXPECT_EQ(ErrorText(CHypervisorException("x", kRpcServerUnavailable)),
              "The RPC server is unavailable.");
    EXPECT_EQ(ErrorText(CHypervisorException("x", kWbemEInvalidNamespace)), "Invalid namespace");
    EXPECT_EQ(ErrorText(CHypervisorException("x", MakeHResult(0x80ABCDEF))),
              "failed: 0x80abcdef (-2136224273)");
    EXPECT_EQ(ErrorText(0x1234), "failed: 0x1234 (4660)");
}

struct WorkspaceTest : ::testing::Test {
    void SetUp() override {
        name = std::string("ws-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        SimHost::Remove(name);
        // Another suite in this binary may have left the real refreshers installed; these tests
        // count the host's calls, so no poller may make any of its own.
        WmiWorkspace::SetPollRefreshers(nullptr, nullptr);
    }
    void TearDown() override {
        WmiWorkspace::SetPollRefreshers(nullptr, nullptr);
        SimHost::Remove(name);
    }
    std::string name;
};

TEST_F(WorkspaceTest, QueriesNeedAConnectionAndCimReconnects) {
    WmiWorkspace ws;
    ASSERT_EQ(ws.Initialize(1, "sim://" + name + "?vms=3", "", "", 1h), kSOk);
    try {
        ws.QueryVirtualization("select * from Msvm_ComputerSystem");
        FAIL() << "no exception";
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kRpcEConnectionTerminated);
    }
    ASSERT_EQ(ws.ConnectVirtualization(), kSOk);
    ASSERT_EQ(ws.ConnectCim(), kSOk);
    WmiObjectPtr o;
    EXPECT_EQ(ws.QueryVirtualization("select * from Msvm_ComputerSystem")->Next(kWbemInfinite, o),
              kSOk);
    SimHost host = SimHost::Get(name);
    host.FailCalls("ExecQuery", "Win32_OperatingSystem", kRpcEDisconnected, 1);
    auto before = host.CallCount("Connect");
    EXPECT_EQ(ws.QueryCim("SELECT * FROM Win32_OperatingSystem")->Next(kWbemInfinite, o), kSOk);
    EXPECT_EQ(host.CallCount("Connect"), before + 1);
    // A host that keeps refusing is given up after a few reconnects.
    host.FailCalls("ExecQuery", "Win32_OperatingSystem", kEAccessDenied);
    try {
        ws.QueryCim("SELECT * FROM Win32_OperatingSystem");
        FAIL() << "no exception";
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kEAccessDenied);
    }
    // Other failures are not retried.
    host.FailCalls("ExecQuery", "Win32_Processor", kWbemEInvalidQuery);
    before = host.CallCount("Connect");
    EXPECT_THROW(ws.QueryCim("SELECT * FROM Win32_Processor"), CHypervisorException);
    EXPECT_EQ(host.CallCount("Connect"), before);
}

TEST_F(WorkspaceTest, MethodsThroughTheSharedOperations) {
    WmiWorkspace ws;
    ws.Initialize(1, "sim://" + name + "?vms=4", "", "", 1h);
    ASSERT_EQ(ws.ConnectVirtualization(), kSOk);
    auto in =
        ws.GetMethodParameters("Msvm_VirtualSystemManagementService", "GetSummaryInformation");
    ASSERT_EQ(in->Put("RequestedInformation", WmiValue::I4Array({0, 100})), kSOk);
    auto out =
        ws.ExecuteOnSingleton("Msvm_VirtualSystemManagementService", "GetSummaryInformation", in);
    WmiValue rv = WmiWorkspace::GetTypedProperty(*out, "ReturnValue", VT_I4);
    EXPECT_EQ(rv.AsInt32(), 0);
    WmiValue arr =
        WmiWorkspace::GetTypedProperty(*out, "SummaryInformation", VT_ARRAY | VT_UNKNOWN);
    EXPECT_EQ(arr.AsObjectArray()->size(), 4u);
    try {
        WmiWorkspace::GetTypedProperty(*out, "ReturnValue", VT_BSTR);
        FAIL() << "no exception";
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text, "Invalid type of the property: 0");
    }
    EXPECT_THROW(WmiWorkspace::GetTypedProperty(*out, "Nope", VT_I4), CHypervisorException);
    EXPECT_THROW(ws.GetMethodParameters("Msvm_Nope", "X"), CHypervisorException);
    EXPECT_THROW(ws.GetMethodParameters("Msvm_ComputerSystem", "X"), CHypervisorException);
}

TEST_F(WorkspaceTest, CredentialsAndRdpTarget) {
    WmiWorkspace ws;
    ws.Initialize(2, "hv1.corp", "CORP\\ops", "pw", 1h);
    EXPECT_FALSE(ws.isLocal);
    EXPECT_EQ(ws.domain, "CORP");
    EXPECT_EQ(ws.accountName, "ops");
    auto t = ws.GetRdpTarget();
    EXPECT_EQ(t.host, "hv1.corp");
    EXPECT_EQ(t.accountName, "ops");
    EXPECT_EQ(t.domain, "CORP");
    EXPECT_EQ(ws.ConnectCim(), kRpcServerUnavailable);
    EXPECT_EQ(ws.CimServices(), nullptr);
    WmiWorkspace plain;
    plain.Initialize(3, "hv2", "ops", "", 1h);
    EXPECT_EQ(plain.GetRdpTarget().accountName, "ops");
    EXPECT_EQ(plain.GetRdpTarget().domain, "");
}

// Consoles of simulated hosts go to the address the host text gives, by default loopback;
// the host text itself is no host name. Real hosts keep theirs.
TEST_F(WorkspaceTest, SimulatedHostsGiveTheirRdpAddress) {
    WmiWorkspace given;
    given.Initialize(4, "sim://" + name + "?vms=2&rdp=10.1.2.3", "CORP\\ops", "pw", 1h);
    EXPECT_EQ(given.GetRdpTarget().host, "10.1.2.3");
    EXPECT_EQ(given.GetRdpTarget().accountName, "ops");
    EXPECT_EQ(given.GetRdpTarget().password, "pw");
    WmiWorkspace plain;
    plain.Initialize(5, "sim://" + name + "?vms=2", "", "", 1h);
    EXPECT_EQ(plain.GetRdpTarget().host, "127.0.0.1");
    WmiWorkspace broken;  // not a valid simulated host: the text stays what it is
    broken.Initialize(6, "sim://" + name + "?bogus=1", "", "", 1h);
    EXPECT_EQ(broken.GetRdpTarget().host, "sim://" + name + "?bogus=1");
    const bool demo = LocalMachineDemo();
    SetLocalMachineDemo(false);
    EXPECT_EQ(CreateWmiLocator("")->ConsoleAddress(), "");
    SetLocalMachineDemo(true);
    EXPECT_EQ(CreateWmiLocator("")->ConsoleAddress(), "127.0.0.1");
    SetLocalMachineDemo(demo);
    WmiWorkspace remote;
    remote.Initialize(7, "hv1.corp", "", "", 1h);
    EXPECT_EQ(remote.GetRdpTarget().host, "hv1.corp");
}

TEST_F(WorkspaceTest, PollerTurnsOutcomesIntoStatus) {
    std::atomic<HResult> fail{0};
    std::atomic<int> vmListCalls{0};
    WmiWorkspace::SetPollRefreshers(
        [&](WmiWorkspace&) {
            if (fail == kRpcServerUnavailable) throw CHypervisorException(fail.load(), 99);
        },
        [&](WmiWorkspace& w) {
            ++vmListCalls;
            if (fail == kWbemEInvalidNamespace) throw CHypervisorException(fail.load(), 98);
            std::lock_guard lock(Locks().cache);
            w.vmCache["ABC"] = "{}";
        });
    auto waitFor = [](WmiWorkspace& w, const std::string& status) {
        for (int i = 0; i < 400; ++i) {
            {
                std::lock_guard lock(Locks().cache);
                if (w.statusText == status) return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    };
    WmiWorkspace ws;
    ws.Initialize(7, "sim://" + name, "", "", 10ms);
    ASSERT_TRUE(waitFor(ws, "OK"));
    {
        std::lock_guard lock(Locks().cache);
        EXPECT_EQ(ws.statusFragment, "\"id\":7,\"status\":\"OK\",");
        EXPECT_EQ(ws.vmCache.count("abc"), 1u);  // ids ignore letter case
    }
    fail = kWbemEInvalidNamespace;
    ASSERT_TRUE(waitFor(ws, "Hyper-V Service not present."));
    {
        std::lock_guard lock(Locks().cache);
        EXPECT_EQ(ws.lastError, kWbemEInvalidNamespace);
        EXPECT_TRUE(ws.vmCache.empty());
    }
    // Without Hyper-V only the host figures are refreshed.
    fail = 0;
    int calls = vmListCalls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(vmListCalls, calls);
    {
        std::lock_guard lock(Locks().cache);
        EXPECT_EQ(ws.statusText, "Hyper-V Service not present.");
    }
    // Another failure leaves that state; the next good cycle is healthy again.
    fail = kRpcServerUnavailable;
    ASSERT_TRUE(waitFor(ws, "The RPC server is unavailable."));
    fail = 0;
    ASSERT_TRUE(waitFor(ws, "OK"));
}

}  // namespace
}  // namespace hbr
