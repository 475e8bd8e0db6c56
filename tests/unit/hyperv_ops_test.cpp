// The property writers, the VM inventory, views, state changes, checkpoints and host figures,
// against hand-made objects and the simulated host.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cli/process_state.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi_properties.h"
#include "hyperv/workspace_ops.h"
#include "store/json.h"
#include "support/wait_for.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

WmiObjectPtr Obj(std::vector<std::pair<std::string, WmiValue>> values) {
    std::vector<WmiPropertyDef> props;
    for (const auto& [name, v] : values) props.push_back({name, CIM_STRING, false});
    auto def = std::make_shared<WmiClassDef>("Test", std::vector<std::string>{}, props);
    auto o = WmiObject::MakeInstance(def);
    for (const auto& [name, v] : values) o->Set(name, v);
    return o;
}

TEST(PropertyWriters, NumbersStringsArraysHostStrings) {
    auto o = Obj({{"a", WmiValue::I4(0)},
                  {"b", WmiValue::I4(2147483647)},
                  {"c", WmiValue::UI4(0)},
                  {"d", WmiValue::Bstr("8589934592")},
                  {"e", WmiValue::Bstr("")},
                  {"f", WmiValue::BstrArray({"10.0.0.1", "fe80::1"})},
                  {"g", WmiValue::Bstr("x\"y\n")},
                  {"h", WmiValue::Bstr("1,\"x\":2")},
                  {"i", WmiValue::BstrArray({})}});
    std::string out;
    WriteNumberProperty(out, *o, "a");
    WriteNumberProperty(out, *o, "b");
    WriteNumberProperty(out, *o, "c");
    WriteNumberProperty(out, *o, "d");
    WriteNumberProperty(out, *o, "missing", "m");
    WriteNumberProperty(out, *o, "h");
    EXPECT_EQ(out, "\"a\":0,\"b\":null,\"c\":null,\"d\":8589934592,\"m\":null,\"h\":null,");
    out.clear();
    WriteStringProperty(out, *o, "e");
    WriteStringProperty(out, *o, "g", "key");
    WriteHostStringProperty(out, *o, "missing", "hs");
    WriteArrayProperty(out, *o, "f");
    WriteArrayProperty(out, *o, "i");
    WriteArrayProperty(out, *o, "g");
    EXPECT_EQ(out,
              "\"e\": null,\"key\":\"x\\\"y\\n\",\"hs\":\"\",\"f\":\"10.0.0.1;fe80::1\","
              "\"i\":\"\",\"g\": null,");
}

TEST(PropertyWriters, ReadIntegerAndStripPrefix) {
    auto o = Obj({{"a", WmiValue::Bstr("123")},
                  {"b", WmiValue::Bstr("99999999999")},
                  {"c", WmiValue::Bool(true)},
                  {"d", WmiValue::Null()}});
    std::int32_t v = 7;
    EXPECT_EQ(ReadIntegerProperty(*o, "a", v), kSOk);
    EXPECT_EQ(v, 123);
    EXPECT_TRUE(Failed(ReadIntegerProperty(*o, "b", v)));
    EXPECT_EQ(v, 123);
    EXPECT_EQ(ReadIntegerProperty(*o, "c", v), kEFail);
    EXPECT_EQ(ReadIntegerProperty(*o, "d", v), kSOk);
    EXPECT_EQ(v, 123);
    std::string id = "Microsoft:1A2B";
    StripInstancePrefix(id);
    EXPECT_EQ(id, "1A2B");
    std::string parent = "\\\\H\\root:Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:AB\"";
    StripInstancePrefix(parent);
    EXPECT_EQ(parent, "AB");
    std::string plain = "\"abc\"";
    StripInstancePrefix(plain);
    EXPECT_EQ(plain, "abc");
}

TEST(PropertyWriters, DatesConvertOrAreNull) {
    setenv("TZ", "UTC", 1);
    tzset();
    auto o = Obj({{"CreationTime", WmiValue::Bstr("20230916155923.000000+000")},
                  {"bad", WmiValue::Bstr("2023-09-16")}});
    std::string out;
    WriteDateProperty(out, *o, "CreationTime", "created");
    WriteDateProperty(out, *o, "bad");
    EXPECT_EQ(out, "\"created\":\"9\\/16\\/2023 3:59:23 PM\",\"bad\": null,");
    // An offset of +060 is an hour ahead of UTC.
    auto a = CimDateTimeToLocalFileTime("20230916155923.000000+060");
    auto b = CimDateTimeToLocalFileTime("20230916145923.000000+000");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
}

TEST(VmObject, MembersAndQuirks) {
    auto vm = Obj({{"Name", WmiValue::Bstr("11111111-2222-3333-4444-555555555555")},
                   {"ElementName", WmiValue::Bstr("")},
                   {"EnabledState", WmiValue::I4(3)},
                   {"ProcessorLoad", WmiValue::I4(5)},
                   {"MemoryUsage", WmiValue::I4(2048)},
                   {"MemoryAvailable", WmiValue::I4(25)},
                   {"Uptime", WmiValue::Bstr("90061000")},
                   {"OperationalStatus", WmiValue::I4Array({2, 6})},
                   {"StatusDescriptions", WmiValue::BstrArray({"OK", "x"})}});
    EXPECT_EQ(BuildVmObject(*vm, "HV\"1"),
              "{\"id\":\"11111111-2222-3333-4444-555555555555\",\"name\": null,"
              "\"state\":\"99999\",\"cpuUsage\":5,\"memoryA\": 2048,\"memoryD\": 1536,"
              "\"uptime\": \"1.01:01:01\",\"status\": null,\"host\":\"HV\\\"1\"}");
    vm->Set("EnabledState", WmiValue::Null());
    vm->Set("MemoryAvailable", WmiValue::I4(0));
    vm->Set("Uptime", WmiValue::Bstr("5000000000"));
    vm->Set("OperationalStatus", WmiValue::I4Array({3, 2}));
    std::string text = BuildVmObject(*vm, "H");
    EXPECT_NE(text.find("\"state\":null,"), std::string::npos);
    EXPECT_NE(text.find("\"memoryD\":null,"), std::string::npos);
    EXPECT_NE(text.find("\"uptime\": \"57.20:53:20\""), std::string::npos);
    EXPECT_NE(text.find("\"status\":\"OK;x\""), std::string::npos);
    vm->Set("MemoryUsage", WmiValue::I4(0));
    vm->Set("Uptime", WmiValue::Bstr("999"));
    text = BuildVmObject(*vm, "H");
    EXPECT_NE(text.find("\"memoryA\":null,\"memoryD\":null,"), std::string::npos);
    EXPECT_NE(text.find("\"uptime\": \"0.00:00:00\""), std::string::npos);
    vm->Set("Uptime", WmiValue::Bstr("0"));
    EXPECT_NE(BuildVmObject(*vm, "H").find("\"uptime\": null,"), std::string::npos);
    vm->Set("Uptime", WmiValue::Bstr("12,\"x\":1"));
    EXPECT_NE(BuildVmObject(*vm, "H").find("\"uptime\": null,"), std::string::npos);
    JsonDocument doc;
    EXPECT_TRUE(ParseJson(BuildVmObject(*vm, "H"), doc));
}

TEST(VmIds, OnlyGuidsOfOneCase) {
    EXPECT_TRUE(IsGuidText("1891102A-5DE8-4BD6-AF5F-97EA2A331B9C"));
    EXPECT_TRUE(IsGuidText("1891102a-5de8-4bd6-af5f-97ea2a331b9c"));
    EXPECT_FALSE(IsGuidText("1891102a-5DE8-4BD6-AF5F-97EA2A331B9C"));
    EXPECT_FALSE(IsGuidText("1891102A-5DE8-4BD6-AF5F-97EA2A331B9"));
    EXPECT_FALSE(IsGuidText("1891102A-5DE8-4BD6-AF5F-97EA2A331B9G"));
    EXPECT_FALSE(IsGuidText("1891102A-5DE8-4BD6-AF5F\"or 1=1 --"));
    EXPECT_FALSE(IsGuidText("1891102A-5DE8-4BD6-AF5F-97EA2A331B9C0"));
}

TEST(Thumbnail, BmpOfTheImageReversed) {
    std::vector<std::uint8_t> px(38400);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(i * 7);
    const std::string bmp = BuildThumbnailBmp(px);
    ASSERT_EQ(bmp.size(), 66u + 38396u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(static_cast<std::uint8_t>(bmp[10]), 66);
    EXPECT_EQ(static_cast<std::uint8_t>(bmp[18]), 160);
    EXPECT_EQ(static_cast<std::uint8_t>(bmp[22]), 120);
    EXPECT_EQ(static_cast<std::uint8_t>(bmp[54 + 1]), 0xF8);
    EXPECT_EQ(static_cast<std::uint8_t>(bmp[66]), px[38398]);
    EXPECT_EQ(static_cast<std::uint8_t>(bmp[67]), px[38399]);
    EXPECT_EQ(static_cast<std::uint8_t>(bmp.back()), px[5]);
}

// A workspace on its own simulated host, with the real refreshers and a long poll interval.
struct SimWorkspace : ::testing::Test {
    void SetUp() override {
        name =
            std::string("ops-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        SimHost::Remove(name);
        sim = std::make_unique<SimHost>(SimHost::Get(name, {12, 7, {}}));
        sim->SetJobDuration(20ms);
        InstallPollRefreshers();
        ASSERT_EQ(ws.Initialize(3, "sim://" + name, "", "", 1h), kSOk);
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard lock(Locks().cache);
            return !ws.statusText.empty();
        }));
    }
    void TearDown() override {
        sim->ClearHooks();
        SimHost::Remove(name);
    }
    std::string Cached(const std::string& id) {
        std::string out;
        GetCachedVm(ws, id, out);
        return out;
    }
    SimVmInfo VmInState(int state) {
        for (const auto& v : sim->ListVms())
            if (v.enabledState == state) return v;
        ADD_FAILURE() << "no VM in state " << state;
        return {};
    }
    std::string name;
    std::unique_ptr<SimHost> sim;
    WmiWorkspace ws;
};

TEST_F(SimWorkspace, ListsEveryVmWithItsState) {
    {
        std::lock_guard lock(Locks().cache);
        EXPECT_EQ(ws.statusText, "OK");
        EXPECT_EQ(ws.vmCache.size(), 12u);
        EXPECT_EQ(ws.hostSystemName, sim->ComputerName());
        EXPECT_NE(ws.hostLiveFragment.find("\"bytesPersec\":"), std::string::npos);
        EXPECT_EQ(ws.hostLiveFragment.rfind("\"uptime\":\"", 0), 0u);
    }
    for (const auto& v : sim->ListVms()) {
        const std::string text = Cached(v.id);
        JsonDocument doc;
        ASSERT_TRUE(ParseJson(text, doc)) << text;
        const std::string want = v.enabledState == 3 ? "99999" : std::to_string(v.enabledState);
        EXPECT_EQ(doc.Root()["state"].AsText(), want);
        EXPECT_EQ(doc.Root()["name"].AsText(), v.name);
        // Keys ignore letter case.
        std::string lower = v.id;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(Cached(lower), text);
    }
}

TEST_F(SimWorkspace, ReloadsNeverShowAHalfFilledList) {
    // A request looking a VM up while the poller reloads must find it: readers see the whole
    // old list or the whole new one.
    std::atomic<bool> done{false};
    std::atomic<std::size_t> seenWrong{0}, lastWrong{0};
    std::thread reader([&] {
        while (!done) {
            std::size_t n;
            {
                std::lock_guard lock(Locks().cache);
                n = ws.vmCache.size();
            }
            if (n != 12u) {
                ++seenWrong;
                lastWrong = n;
            }
        }
    });
    for (int i = 0; i < 200; ++i) ReloadVmList(ws);
    // A reload that fails keeps the list it had until the poller reports the failure.
    sim->FailCalls("ExecMethod", "GetSummaryInformation", kRpcEDisconnected, 1);
    EXPECT_THROW(ReloadVmList(ws), CHypervisorException);
    done = true;
    reader.join();
    EXPECT_EQ(seenWrong.load(), 0u) << "a reader saw " << lastWrong.load() << " VMs";
    std::lock_guard lock(Locks().cache);
    EXPECT_EQ(ws.vmCache.size(), 12u);
}

TEST_F(SimWorkspace, MarkVmBusyChangesOnlyTheState) {
    const auto vm = VmInState(2);
    const std::string before = Cached(vm.id);
    MarkVmBusy(ws, vm.id);
    const std::string after = Cached(vm.id);
    std::string expected = before;
    expected.replace(expected.find("\"state\":\"2\""), 11, "\"state\":\"1\"");
    EXPECT_EQ(after, expected);
    MarkVmBusy(ws, "00000000-0000-0000-0000-000000000000");
    EXPECT_TRUE(Cached("00000000-0000-0000-0000-000000000000").empty());
}

// The cached-text version decides whether the live data reply (and its entity tag) must be made
// again: it moves when a host's answer changed something and stays when the answer is the same.
TEST_F(SimWorkspace, CachedTextVersionMovesOnlyWithChanges) {
    // Off VMs report no figures that move with the clock, so the host answers the same twice.
    for (const auto& v : sim->ListVms()) ASSERT_TRUE(sim->SetVmState(v.id, 3));
    ReloadVmList(ws);
    const std::uint64_t quiet = CachedTextVersion();
    ReloadVmList(ws);
    ReloadVmList(ws);
    EXPECT_EQ(CachedTextVersion(), quiet) << "an unchanged VM list counted as a change";

    const auto vms = sim->ListVms();
    ASSERT_TRUE(sim->SetVmName(vms[4].id, "renamed"));
    ReloadVmList(ws);
    const std::uint64_t renamed = CachedTextVersion();
    EXPECT_GT(renamed, quiet);
    EXPECT_NE(Cached(vms[4].id).find("\"name\":\"renamed\""), std::string::npos);
    ReloadVmList(ws);
    EXPECT_EQ(CachedTextVersion(), renamed);

    // A VM that starts is a change.
    ASSERT_TRUE(sim->SetVmState(vms[5].id, 2));
    ReloadVmList(ws);
    EXPECT_GT(CachedTextVersion(), renamed);

    // Marking a VM busy changes its text once; marking it again changes nothing.
    const std::uint64_t beforeBusy = CachedTextVersion();
    MarkVmBusy(ws, vms[6].id);
    const std::uint64_t busy = CachedTextVersion();
    EXPECT_GT(busy, beforeBusy);
    MarkVmBusy(ws, vms[6].id);
    EXPECT_EQ(CachedTextVersion(), busy);

    // The status fragment: the same text again is no change, another text is.
    std::lock_guard lock(Locks().cache);
    const std::uint64_t status = CachedTextVersion();
    ws.RebuildStatusFragment();
    EXPECT_EQ(CachedTextVersion(), status);
    ws.statusText = "Access is denied.";
    ws.RebuildStatusFragment();
    EXPECT_GT(CachedTextVersion(), status);
    EXPECT_NE(ws.statusFragment.find("Access is denied."), std::string::npos);
}

TEST_F(SimWorkspace, StateChangesFollowJobs) {
    const auto vm = VmInState(3);
    ChangeVmState(ws, vm.id, 2);
    EXPECT_EQ(Cached(vm.id).find("\"state\":\"1\"") != std::string::npos, true);
    bool running = false;
    for (const auto& v : sim->ListVms())
        if (v.id == vm.id) running = v.enabledState == 2;
    EXPECT_TRUE(running);
}

// Hosts report a job as new (2), starting (3), running (4), suspended (5), shutting down (6) or
// in service (11) while it is under way, and as completed (7) or completed with warnings (32768)
// when it succeeded.
TEST(JobStates, RunningAndSuccessfulStates) {
    for (int s : {2, 3, 4, 5, 6, 11}) {
        EXPECT_TRUE(JobStillRunning(s)) << s;
        EXPECT_FALSE(JobSucceeded(s)) << s;
    }
    for (int s : {7, 32768}) {
        EXPECT_FALSE(JobStillRunning(s)) << s;
        EXPECT_TRUE(JobSucceeded(s)) << s;
    }
    for (int s : {0, 1, 8, 9, 10, 12, 32767, 32769, -1}) {
        EXPECT_FALSE(JobStillRunning(s)) << s;
        EXPECT_FALSE(JobSucceeded(s)) << s;
    }
}

// A change returns only when the job has ended, whatever running state the host reports first.
TEST_F(SimWorkspace, StateChangesWaitThroughEveryRunningJobState) {
    sim->SetJobDuration(300ms);
    for (int running : {2, 5, 6, 11}) {
        const auto vm = VmInState(3);
        sim->SetJobRunningStates({running});
        ChangeVmState(ws, vm.id, 2);
        int state = 0;
        for (const auto& v : sim->ListVms())
            if (v.id == vm.id) state = v.enabledState;
        EXPECT_EQ(state, 2) << "returned while the job reported " << running;
        sim->SetVmState(vm.id, 3);
    }
    // Completed with warnings is a success: the work is done and nothing is thrown.
    sim->SetJobRunningStates({});
    sim->SetJobDuration(20ms);
    const auto vm = VmInState(3);
    sim->SetJobOutcome("RequestStateChange", 32768, 32768, "Completed with warnings", 1);
    EXPECT_NO_THROW(ChangeVmState(ws, vm.id, 2));
    for (const auto& v : sim->ListVms()) {
        if (v.id == vm.id) {
            EXPECT_EQ(v.enabledState, 2);
        }
    }
}

// A guest shutdown answers 0 with no job, and that is a success.
TEST_F(SimWorkspace, GuestShutdownAnswersWithoutAJob) {
    SimVmInfo vm;
    for (const auto& v : sim->ListVms())
        if (v.enabledState == 2 && v.integrationServices) vm = v;
    ASSERT_FALSE(vm.id.empty());
    const std::uint64_t reads = sim->CallCount("GetObject");
    EXPECT_NO_THROW(ChangeVmState(ws, vm.id, 4));
    // The class of the in-parameters was read, and no job.
    EXPECT_EQ(sim->CallCount("GetObject"), reads + 1);
}

// The snapshot methods and ModifySystemSettings give the codes 1 to 6 their own texts.
TEST(MethodReturnTexts, SnapshotAndSettingsCodes) {
    EXPECT_EQ(MethodReturnText("CreateSnapshot", 1), "Not Supported");
    EXPECT_EQ(MethodReturnText("ApplySnapshot", 2), "Failed");
    EXPECT_EQ(MethodReturnText("DestroySnapshot", 3), "Timeout");
    EXPECT_EQ(MethodReturnText("CreateSnapshot", 4), "Invalid Parameter");
    EXPECT_EQ(MethodReturnText("ModifySystemSettings", 5), "Invalid State");
    EXPECT_EQ(MethodReturnText("CreateSnapshot", 6), "Invalid Type");
    EXPECT_EQ(MethodReturnText("ModifySystemSettings", 6), "Incompatible Parameters");
    EXPECT_EQ(MethodReturnHresult("CreateSnapshot", 1), kENotImpl);
    EXPECT_EQ(MethodReturnHresult("ModifySystemSettings", 4), kEInvalidArg);
    EXPECT_EQ(MethodReturnHresult("ApplySnapshot", 5), kEFail);
    // Other codes and other methods read as before.
    EXPECT_EQ(MethodReturnText("CreateSnapshot", 32775), "Invalid VM State");
    EXPECT_EQ(MethodReturnText("CreateSnapshot", 7), "E_FAIL");
    EXPECT_EQ(MethodReturnText("RequestStateChange", 4), "E_FAIL");
    EXPECT_EQ(MethodReturnText("DestroySnapshotTree", 4), "E_FAIL");
    EXPECT_EQ(MethodReturnHresult("RequestStateChange", 32773), kEInvalidArg);
}

TEST_F(SimWorkspace, CheckpointFailuresReadTheirMethodsCodes) {
    const auto vm = VmInState(2);
    sim->SetMethodReturn("CreateSnapshot", 5, 1);
    try {
        CreateCheckpoint(ws, vm.id);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text, "Invalid State: -2147467259");
    }
    sim->SetMethodReturn("ModifySystemSettings", 4, 1);
    CreateCheckpoint(ws, vm.id);
    const auto cps = sim->ListCheckpoints(vm.id);
    ASSERT_FALSE(cps.empty());
    const std::string cp = cps.back().id;
    try {
        RenameCheckpoint(ws, cp, "x");
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text, "Invalid Parameter: -2147024809");
    }
}

TEST_F(SimWorkspace, StateChangeFailureTexts) {
    const auto vm = VmInState(2);
    sim->SetMethodReturn("RequestStateChange", 32775, 1);
    try {
        ChangeVmState(ws, vm.id, 6);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text, "Invalid VM State: -2147467259");
    }
    sim->SetMethodReturn("RequestStateChange", 32773, 1);
    try {
        ChangeVmState(ws, vm.id, 6);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kEInvalidArg);
    }
    sim->SetJobOutcome("RequestStateChange", 10, 32768, "It broke", 1);
    try {
        ChangeVmState(ws, vm.id, 6);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text, "It broke: -2147467259");
    }
    sim->SetJobOutcome("RequestStateChange", 8, 0, "", 1);
    EXPECT_NO_THROW(ChangeVmState(ws, vm.id, 9));
    sim->SetMethodReturn("InitiateShutdown", 32775, 1);
    try {
        ChangeVmState(ws, vm.id, 4);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text,
                  "The current state of VM does not support shut down. Or Integration services "
                  "is not installed.: -2147467259");
    }
    sim->FailCalls("ExecMethod", "RequestStateChange", kEAccessDenied, 1);
    try {
        ChangeVmState(ws, vm.id, 2);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kEAccessDenied);
        EXPECT_EQ(e.text.rfind("error -2147024891 at wmiworkspace: ", 0), 0u);
    }
}

// Access refused by the method or by the job it started reads as E_ACCESSDENIED either way; a
// guest shutdown of a VM without integration services has no component to ask.
TEST_F(SimWorkspace, AccessDeniedAndAMissingShutdownComponent) {
    const auto vm = VmInState(2);
    sim->SetMethodReturn("RequestStateChange", 32769, 1);
    try {
        ChangeVmState(ws, vm.id, 6);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kEAccessDenied);
        EXPECT_EQ(e.text, "AccessDenied: -2147024891");
    }
    sim->SetJobOutcome("RequestStateChange", 10, 32769, "Denied by the host", 1);
    try {
        ChangeVmState(ws, vm.id, 6);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kEAccessDenied);
        EXPECT_EQ(e.text, "Denied by the host: -2147024891");
    }
    SimVmInfo bare;
    for (const auto& v : sim->ListVms())
        if (!v.integrationServices) bare = v;
    ASSERT_FALSE(bare.id.empty());
    ASSERT_TRUE(sim->SetVmState(bare.id, 2));
    const std::uint64_t calls = sim->CallCount("ExecMethod");
    try {
        ChangeVmState(ws, bare.id, 4);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, 0);
        EXPECT_EQ(e.text, "VM Shutdown Component not found: 0");
    }
    EXPECT_EQ(sim->CallCount("ExecMethod"), calls);  // nothing was asked of the VM
}

// The host's uptime as days.hours:minutes:seconds, and the network rate as the 32-bit sum the
// dashboard has always shown, wrapping past 2^31 into the negative.
TEST_F(SimWorkspace, HostUptimeTextAndTheWrappingNetworkSum) {
    auto live = [&] {
        RefreshHostLive(ws);
        std::lock_guard lock(Locks().cache);
        return ws.hostLiveFragment;
    };
    sim->SetUptime(std::chrono::hours(40 * 24 + 3) + std::chrono::minutes(4) + 5s);
    EXPECT_EQ(live().rfind("\"uptime\":\"40.03:04:05\",", 0), 0u) << live();
    sim->SetUptime(59s);
    EXPECT_EQ(live().rfind("\"uptime\":\"0.00:00:59\",", 0), 0u) << live();
    sim->SetNetworkRates({1000, 2345});
    EXPECT_NE(live().find("\"bytesPersec\":3345,"), std::string::npos) << live();
    sim->SetNetworkRates({});
    EXPECT_NE(live().find("\"bytesPersec\":0,"), std::string::npos) << live();
    // 4000000005 in 32 bits, written signed.
    sim->SetNetworkRates({2000000000, 2000000000, 5});
    EXPECT_NE(live().find("\"bytesPersec\":-294967291,"), std::string::npos) << live();
}

TEST_F(SimWorkspace, BadIdsNeverReachTheHost) {
    const auto calls = sim->CallCount("ExecQuery") + sim->CallCount("ExecMethod");
    for (const std::string id :
         {"x\" or Name like \"%", "", "1891102a-5DE8-4BD6-AF5F-97EA2A331B9C"}) {
        EXPECT_THROW(ChangeVmState(ws, id, 2), CHypervisorException);
        std::string out;
        EXPECT_THROW(GetVmReplicationJson(ws, id, out), CHypervisorException);
        EXPECT_THROW(DeleteCheckpoint(ws, id), CHypervisorException);
    }
    EXPECT_EQ(sim->CallCount("ExecQuery") + sim->CallCount("ExecMethod"), calls);
}

TEST_F(SimWorkspace, CheckpointTreeAndChanges) {
    SimVmInfo vm;
    for (const auto& v : sim->ListVms())
        if (v.checkpoints >= 2 && !v.currentCheckpoint.empty()) vm = v;
    ASSERT_FALSE(vm.id.empty());
    std::string out;
    GetCheckpointTreeJson(ws, vm.id, out);
    JsonDocument doc;
    ASSERT_TRUE(ParseJson(out, doc)) << out;
    const auto cps = sim->ListCheckpoints(vm.id);
    ASSERT_EQ(doc.Root().Size(), cps.size() + 1);
    bool sawNow = false;
    for (std::size_t i = 0; i < doc.Root().Size(); ++i) {
        const JsonValue& o = doc.Root().At(i);
        if (o["name"].AsText() == "Now") {
            sawNow = true;
            EXPECT_EQ(o["parent"].AsText(), vm.currentCheckpoint);
            EXPECT_EQ(doc.Root().At(i - 1)["id"].AsText(), vm.currentCheckpoint);
            EXPECT_TRUE(o["id"].IsNull());
        } else {
            EXPECT_EQ(o["id"].AsText(), cps[i - (sawNow ? 1 : 0)].id);
            const std::string parent = cps[i - (sawNow ? 1 : 0)].parentId;
            if (parent.empty())
                EXPECT_TRUE(o["parent"].IsNull());
            else
                EXPECT_EQ(o["parent"].AsText(), parent);
        }
    }
    EXPECT_TRUE(sawNow);

    CreateCheckpoint(ws, vm.id);
    ASSERT_EQ(sim->ListCheckpoints(vm.id).size(), cps.size() + 1);
    const std::string made = sim->ListCheckpoints(vm.id).back().id;
    RenameCheckpoint(ws, made, "A \"quoted\" <name> & more");
    EXPECT_EQ(sim->ListCheckpoints(vm.id).back().name, "A \"quoted\" <name> & more");
    out.clear();
    GetCheckpointTreeJson(ws, vm.id, out);
    EXPECT_NE(out.find("A \\\"quoted\\\" <name> & more"), std::string::npos);
    DeleteCheckpoint(ws, made);
    EXPECT_EQ(sim->ListCheckpoints(vm.id).size(), cps.size());
    try {
        RenameCheckpoint(ws, "00000000-0000-0000-0000-000000000000", "x");
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.hr, kEFail);
    }
    DeleteCheckpointTree(ws, cps.front().id);
    EXPECT_LT(sim->ListCheckpoints(vm.id).size(), cps.size());
}

TEST_F(SimWorkspace, ApplySavesARunningVmAndStartsItAgain) {
    SimVmInfo vm;
    for (const auto& v : sim->ListVms())
        if (v.checkpoints > 0 && v.enabledState == 2) vm = v;
    if (vm.id.empty()) GTEST_SKIP() << "no running VM with checkpoints in this seed";
    ApplyCheckpoint(ws, vm.id, sim->ListCheckpoints(vm.id).front().id);
    for (const auto& v : sim->ListVms())
        if (v.id == vm.id) {
            EXPECT_EQ(v.enabledState, 2);
            EXPECT_EQ(v.currentCheckpoint, sim->ListCheckpoints(vm.id).front().id);
        }
}

TEST_F(SimWorkspace, RevertWithoutCheckpointsFails) {
    SimVmInfo vm;
    for (const auto& v : sim->ListVms())
        if (v.checkpoints == 0) vm = v;
    ASSERT_FALSE(vm.id.empty());
    std::string out;
    GetCheckpointTreeJson(ws, vm.id, out);
    EXPECT_EQ(out, "[]");
    try {
        RevertVm(ws, vm.id);
        FAIL();
    } catch (const CHypervisorException& e) {
        EXPECT_EQ(e.text, "VM does not have checkpoints: -2147467259");
    }
}

std::vector<std::string> Keys(const JsonValue& object) {
    std::vector<std::string> keys;
    for (auto m = object.MembersBegin(); m != object.MembersEnd(); ++m) keys.emplace_back(m->key);
    return keys;
}

using Names = std::vector<std::string>;

// Every view of every simulated VM: valid JSON with its members in the documented order.
TEST_F(SimWorkspace, ViewsHaveTheirMembersInOrder) {
    bool sawGuestConfig = false, sawBareAdapter = false, sawReplicated = false, sawPlain = false;
    for (const auto& v : sim->ListVms()) {
        std::string general, net, repl;
        GetVmGeneralJson(ws, v.id, general);
        GetVmNetworkingJson(ws, v.id, net);
        GetVmReplicationJson(ws, v.id, repl);
        JsonDocument a, b, c;
        ASSERT_TRUE(ParseJson(general, a)) << general;
        ASSERT_TRUE(ParseJson(net, b)) << net;
        ASSERT_TRUE(ParseJson(repl, c)) << repl;

        EXPECT_EQ(Keys(a.Root()), (Names{"id", "name", "created", "notes", "guestOS", "heartbeat",
                                         "integrationSvc", "thumbnailImage", "version"}))
            << general;
        EXPECT_EQ(a.Root()["id"].AsText(), v.id);
        // A running guest with integration services reports their version state.
        EXPECT_EQ(a.Root()["integrationSvc"].IsNumber(),
                  v.enabledState == 2 && v.integrationServices)
            << general;
        EXPECT_EQ(a.Root()["name"].AsText(), v.name);
        const std::string version = a.Root()["version"].AsText();
        EXPECT_TRUE(version.ends_with(" Generation 1") || version.ends_with(" Generation 2"))
            << version;

        ASSERT_TRUE(b.Root().IsArray()) << net;
        EXPECT_EQ(b.Root().Size(), v.adapters);
        const Names adapter = {"name", "address", "connection", "staticMacAddress"};
        Names withGuest = adapter;
        for (const char* k : {"dHCPEnabled", "defaultGateways", "dNSServers", "iPAddresses",
                              "protocolIFType", "subnets"})
            withGuest.push_back(k);
        for (size_t i = 0; i < b.Root().Size(); ++i) {
            const Names keys = Keys(b.Root().At(i));
            EXPECT_TRUE(keys == adapter || keys == withGuest) << net;
            (keys == adapter ? sawBareAdapter : sawGuestConfig) = true;
        }

        const Names states = {"mode", "state", "health"};
        Names servers = states;
        servers.push_back("primaryServer");
        servers.push_back("replicaServer");
        EXPECT_EQ(Keys(c.Root()), v.replicated ? servers : states) << repl;
        (v.replicated ? sawReplicated : sawPlain) = true;
    }
    // The simulated host offers every shape, so each was checked.
    EXPECT_TRUE(sawGuestConfig);
    EXPECT_TRUE(sawReplicated);
    EXPECT_TRUE(sawPlain);
    (void)sawBareAdapter;
}

TEST_F(SimWorkspace, HostInfoHasItsMembersInOrderAndUnquotedArrays) {
    std::string out;
    GetHostInfoJson(ws, out);
    // The two array keys are bare (the reply is read as JavaScript); quoted, it is JSON.
    ASSERT_NE(out.find(",disks:[{"), std::string::npos) << out;
    ASSERT_NE(out.find("],nics:[{"), std::string::npos) << out;
    std::string quoted = out;
    quoted.replace(quoted.find(",disks:["), 8, ",\"disks\":[");
    quoted.replace(quoted.find("],nics:["), 8, "],\"nics\":[");
    JsonDocument doc;
    ASSERT_TRUE(ParseJson(quoted, doc)) << out;
    EXPECT_EQ(Keys(doc.Root()), (Names{"id",
                                       "osName",
                                       "osVersion",
                                       "osBuildNumber",
                                       "osSKU",
                                       "osInstallDate",
                                       "freePhysicalMemory",
                                       "osStatus",
                                       "cpuName",
                                       "numberOfCores",
                                       "numberOfLogicalProcessors",
                                       "name",
                                       "manufacturer",
                                       "model",
                                       "numberOfProcessors",
                                       "totalPhysicalMemory",
                                       "dNSHostName",
                                       "domain",
                                       "disks",
                                       "nics"}))
        << out;
    EXPECT_EQ(doc.Root()["id"].AsInt(), 3);
    const JsonValue& disks = doc.Root()["disks"];
    ASSERT_GT(disks.Size(), 0u);
    for (size_t i = 0; i < disks.Size(); ++i) {
        EXPECT_EQ(Keys(disks.At(i)), (Names{"name", "volumeName", "status", "size", "freeSpace"}));
        EXPECT_NE(disks.At(i)["name"].AsText(), "E:");  // drive type 5 is not listed
    }
    const JsonValue& nics = doc.Root()["nics"];
    ASSERT_GT(nics.Size(), 0u);
    for (size_t i = 0; i < nics.Size(); ++i)
        EXPECT_EQ(Keys(nics.At(i)), (Names{"name", "mACAddress", "status"}));
}

TEST_F(SimWorkspace, MissingNamespaceShowsInTheStatus) {
    WmiWorkspace other;
    sim->SetNamespacePresent("root\\virtualization\\v2", false);
    ASSERT_EQ(other.Initialize(4, "sim://" + name, "", "", 1h), kSOk);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(Locks().cache);
        return !other.statusText.empty();
    }));
    std::lock_guard lock(Locks().cache);
    EXPECT_EQ(other.statusText, "Hyper-V Service not present.");
    EXPECT_EQ(other.lastError, kWbemEInvalidNamespace);
    EXPECT_TRUE(other.vmCache.empty());
    EXPECT_FALSE(other.hostLiveFragment.empty());
}

TEST(LocalMachine, RealFiguresAndNoHyperV) {
    InstallPollRefreshers();
    WmiWorkspace ws;
    ASSERT_EQ(ws.Initialize(9, "", "", "", 1h), kSOk);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(Locks().cache);
        return !ws.statusText.empty();
    }));
    {
        std::lock_guard lock(Locks().cache);
        EXPECT_EQ(ws.statusText, "Hyper-V Service not present.");
        EXPECT_NE(ws.hostLiveFragment.find("\"memoryTotal\":"), std::string::npos);
        EXPECT_NE(ws.hostLiveFragment.find("\"cpuLoad\":"), std::string::npos);
        EXPECT_NE(ws.hostLiveFragment.find("\"diskLoad\":"), std::string::npos);
    }
    std::string out;
    GetHostInfoJson(ws, out);
    EXPECT_NE(out.find("disks:["), std::string::npos) << out;
    EXPECT_NE(out.find("\"numberOfLogicalProcessors\":" +
                       std::to_string(std::thread::hardware_concurrency())),
              std::string::npos)
        << out;
}

}  // namespace
}  // namespace hbr
