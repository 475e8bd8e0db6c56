// The simulated Hyper-V host, driven through the provider interface the way the workspace does.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "hyperv/provider_factory.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi/wmi_path.h"
#include "hyperv/wmi/wmi_provider.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

const char* kVirt = "\\\\.\\ROOT\\virtualization\\v2";
const char* kCim = "\\\\.\\ROOT\\CIMV2";

// One test's own host, connected to both namespaces.
struct Lab {
    explicit Lab(std::string params = "") {
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        SimHost::Remove(name);
        auto locator = CreateWmiLocator("sim://" + name + params);
        EXPECT_EQ(locator->ConnectServer(kVirt, "", "", virt), kSOk);
        EXPECT_EQ(locator->ConnectServer(kCim, "", "", cim), kSOk);
        host = std::make_unique<SimHost>(SimHost::Get(name));
        host->SetJobDuration(20ms);
    }
    ~Lab() { SimHost::Remove(name); }

    std::vector<WmiObjectPtr> Query(WmiServices& s, const std::string& wql, HResult* hr = nullptr) {
        std::vector<WmiObjectPtr> out;
        WmiEnumeratorPtr e;
        HResult r = s.ExecQuery(wql, e);
        if (hr)
            *hr = r;
        else
            EXPECT_EQ(r, kSOk) << wql;
        if (Failed(r)) return out;
        WmiObjectPtr o;
        while (e->Next(kWbemInfinite, o) == kSOk) out.push_back(o);
        return out;
    }
    std::vector<WmiObjectPtr> Virt(const std::string& wql) { return Query(*virt, wql); }

    std::string VmPath(const std::string& id) const {
        return "\\\\" + host->ComputerName() +
               "\\root\\virtualization\\v2:Msvm_ComputerSystem.CreationClassName="
               "\"Msvm_ComputerSystem\",Name=\"" +
               id + "\"";
    }
    std::string SettingsPath(const std::string& id) const {
        return "\\\\" + host->ComputerName() +
               "\\root\\virtualization\\v2:Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" +
               id + "\"";
    }
    SimVmInfo Find(std::function<bool(const SimVmInfo&)> pred) const {
        for (const auto& v : host->ListVms())
            if (pred(v)) return v;
        ADD_FAILURE() << "no such VM";
        return {};
    }
    int State(const std::string& id) const {
        for (const auto& v : host->ListVms())
            if (v.id == id) return v.enabledState;
        return -1;
    }

    // In-parameters of `method` of `cls`, through the class object as the workspace gets them.
    WmiObjectPtr Params(const std::string& cls, const std::string& method) {
        WmiObjectPtr c, sig, inst;
        EXPECT_EQ(virt->GetObject(cls, c), kSOk);
        EXPECT_EQ(c->GetMethod(method, sig), kSOk);
        EXPECT_EQ(sig->SpawnInstance(inst), kSOk);
        return inst;
    }
    std::string SingletonPath(const std::string& cls) {
        auto objs = Virt("select * from " + cls);
        EXPECT_EQ(objs.size(), 1u);
        WmiValue p;
        objs.at(0)->Get("__PATH", p);
        return *p.AsBstr();
    }
    // Runs a method and, when it starts a job, waits for it; returns ReturnValue.
    int Call(const std::string& path, const std::string& method, const WmiObjectPtr& in,
             WmiObjectPtr* outParams = nullptr, int* jobState = nullptr) {
        WmiObjectPtr out;
        HResult hr = virt->ExecMethod(path, method, in, out);
        EXPECT_EQ(hr, kSOk) << method;
        if (Failed(hr)) return -1;
        WmiValue rv;
        EXPECT_EQ(out->Get("ReturnValue", rv), kSOk);
        EXPECT_EQ(rv.Type(), VT_I4);
        if (outParams) *outParams = out;
        if (rv.AsInt32() == 4096) {
            WmiValue job;
            out->Get("Job", job);
            EXPECT_NE(job.AsBstr(), nullptr);
            if (!job.AsBstr()) return rv.AsInt32();
            int state = WaitJob(*job.AsBstr());
            if (jobState) *jobState = state;
        }
        return rv.AsInt32();
    }
    int WaitJob(const std::string& jobPath) {
        for (int i = 0; i < 500; ++i) {
            WmiObjectPtr job;
            EXPECT_EQ(virt->GetObject(jobPath, job), kSOk);
            if (!job) return -1;
            WmiValue state;
            job->Get("JobState", state);
            EXPECT_EQ(state.Type(), VT_I4);
            const int js = state.AsInt32();
            if (js != 2 && js != 3 && js != 4 && js != 5 && js != 6 && js != 11) return js;
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }
    int ChangeState(const std::string& id, int code, int* jobState = nullptr) {
        auto in = Params("Msvm_ComputerSystem", "RequestStateChange");
        EXPECT_EQ(in->Put("RequestedState", WmiValue::I4(code)), kSOk);
        return Call(VmPath(id), "RequestStateChange", in, nullptr, jobState);
    }

    std::string name;
    WmiServicesPtr virt, cim;
    std::unique_ptr<SimHost> host;
};

WmiValue Get(const WmiObjectPtr& o, const char* name) {
    WmiValue v;
    EXPECT_EQ(o->Get(name, v), kSOk) << name;
    return v;
}

std::string Text(const WmiObjectPtr& o, const char* name) {
    auto v = Get(o, name);
    return v.AsBstr() ? *v.AsBstr() : std::string("<not text>");
}

std::vector<WmiObjectPtr> Summaries(Lab& lab, WmiValue settingData, std::vector<int32_t> codes) {
    auto in = lab.Params("Msvm_VirtualSystemManagementService", "GetSummaryInformation");
    EXPECT_EQ(in->Put("SettingData", settingData), kSOk);
    EXPECT_EQ(in->Put("RequestedInformation", WmiValue::I4Array(std::move(codes))), kSOk);
    WmiObjectPtr out;
    EXPECT_EQ(lab.Call(lab.SingletonPath("Msvm_VirtualSystemManagementService"),
                       "GetSummaryInformation", in, &out),
              0);
    std::vector<WmiObjectPtr> result;
    if (!out) return result;
    auto arr = Get(out, "SummaryInformation");
    EXPECT_EQ(arr.Type(), VT_ARRAY | VT_UNKNOWN);
    if (auto objs = arr.AsObjectArray()) result = *objs;
    return result;
}

TEST(SimHost, HostsAreSharedByNameAndReproducibleBySeed) {
    Lab lab("?vms=5&seed=7");
    auto first = lab.host->ListVms();
    ASSERT_EQ(first.size(), 5u);
    // Upper-case GUIDs, as Hyper-V writes VM ids.
    auto isGuid = [](const std::string& id) {
        if (id.size() != 36) return false;
        for (std::size_t i = 0; i < id.size(); ++i) {
            bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash ? id[i] != '-'
                     : !std::isxdigit(static_cast<unsigned char>(id[i])) ||
                           std::islower(static_cast<unsigned char>(id[i])))
                return false;
        }
        return true;
    };
    for (const auto& v : first) EXPECT_TRUE(isGuid(v.id)) << v.id;
    // A second connection by another spelling of the name sees the same VMs.
    WmiServicesPtr other;
    std::string lower = lab.name;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(CreateWmiLocator("sim://" + lower + "?vms=9")->ConnectServer(kVirt, "", "", other),
              kSOk);
    EXPECT_EQ(lab.Query(*other,
                        "select Name from Msvm_ComputerSystem where Caption = "
                        "'Virtual Machine'")
                  .size(),
              5u);
    SimHost::Remove(lab.name);
    auto again = SimHost::Get(lab.name, {5, 7, ""}).ListVms();
    ASSERT_EQ(again.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(again[i].id, first[i].id);
        EXPECT_EQ(again[i].name, first[i].name);
    }
    SimHost::Remove(lab.name);
    auto otherSeed = SimHost::Get(lab.name, {5, 8, ""}).ListVms();
    EXPECT_NE(otherSeed[0].id, first[0].id);
}

TEST(SimHost, DefaultHostHasEveryKindOfVm) {
    Lab lab;
    auto vms = lab.host->ListVms();
    ASSERT_EQ(vms.size(), 12u);
    std::set<int> states;
    bool checkpoints = false, adapters = false, replicated = false, noIntegration = false;
    for (const auto& v : vms) {
        states.insert(v.enabledState);
        checkpoints |= v.checkpoints > 1;
        adapters |= v.adapters > 0;
        replicated |= v.replicated;
        noIntegration |= !v.integrationServices;
    }
    EXPECT_EQ(states, (std::set<int>{2, 3, 6, 9}));
    EXPECT_TRUE(checkpoints && adapters && replicated && noIntegration);
}

TEST(SimHost, ManagementServiceAndSummaryOfAllVms) {
    Lab lab;
    auto svc = lab.Virt("select * from MSVM_VirtualSystemManagementService");
    ASSERT_EQ(svc.size(), 1u);
    EXPECT_EQ(Text(svc[0], "SystemName"), lab.host->ComputerName());
    EXPECT_EQ(Text(svc[0], "__Path")
                  .find("\\\\" + lab.host->ComputerName() + "\\root\\virtualization\\v2:"),
              0u);
    auto all = Summaries(lab, WmiValue::Null(), {0, 1, 100, 101, 103, 105, 110, 111, 112});
    ASSERT_EQ(all.size(), 12u);
    int running = 0;
    for (const auto& s : all) {
        EXPECT_EQ(Get(s, "Name").Type(), VT_BSTR);
        EXPECT_EQ(Get(s, "ElementName").Type(), VT_BSTR);
        EXPECT_EQ(Get(s, "EnabledState").Type(), VT_I4);
        EXPECT_EQ(Get(s, "ProcessorLoad").Type(), VT_I4);
        EXPECT_EQ(Get(s, "MemoryUsage").Type(), VT_BSTR);  // uint64 as text
        EXPECT_EQ(Get(s, "UpTime").Type(), VT_BSTR);
        EXPECT_EQ(Get(s, "OperationalStatus").Type(), VT_ARRAY | VT_I4);
        EXPECT_EQ(Get(s, "StatusDescriptions").Type(), VT_ARRAY | VT_BSTR);
        EXPECT_EQ(Get(s, "MemoryAvailable").Type(), VT_I4);
        // Not asked for: null, and no image is drawn.
        EXPECT_EQ(Get(s, "Notes").Type(), VT_NULL);
        EXPECT_EQ(Get(s, "ThumbnailImage").Type(), VT_NULL);
        if (Get(s, "EnabledState").AsInt32() == 2) {
            ++running;
            EXPECT_NE(Text(s, "UpTime"), "0");
            EXPECT_NE(Text(s, "MemoryUsage"), "0");
        } else if (Get(s, "EnabledState").AsInt32() == 3) {
            EXPECT_EQ(Text(s, "UpTime"), "0");
            EXPECT_EQ(Get(s, "MemoryAvailable").AsInt32(), 2147483647);
        }
    }
    EXPECT_GT(running, 0);
}

TEST(SimHost, GeneralViewWithThumbnail) {
    Lab lab;
    auto running =
        lab.Find([](const SimVmInfo& v) { return v.enabledState == 2 && v.integrationServices; });
    auto off = lab.Find([](const SimVmInfo& v) { return v.enabledState == 3; });
    std::vector<int32_t> codes{0, 1, 2, 3, 6, 100, 104, 106, 121};
    auto one = Summaries(lab, WmiValue::BstrArray({lab.SettingsPath(running.id)}), codes);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(Text(one[0], "Name"), running.id);
    EXPECT_EQ(Text(one[0], "CreationTime").size(), 25u);  // yyyymmddHHMMSS.mmmmmm+000
    EXPECT_EQ(Get(one[0], "Heartbeat").AsInt32(), 2);
    EXPECT_EQ(Get(one[0], "GuestOperatingSystem").Type(), VT_BSTR);
    EXPECT_EQ(Get(one[0], "IntegrationServicesVersionState").Type(), VT_I4);
    EXPECT_EQ(Get(one[0], "MemorySpansPhysicalNumaNodes").Type(), VT_NULL);
    // 123 is MemorySpansPhysicalNumaNodes, as on a host; it leaves the version state out.
    auto numa = Summaries(lab, WmiValue::BstrArray({lab.SettingsPath(running.id)}), {123});
    ASSERT_EQ(numa.size(), 1u);
    EXPECT_EQ(Get(numa[0], "MemorySpansPhysicalNumaNodes").Type(), VT_BOOL);
    EXPECT_EQ(Get(numa[0], "IntegrationServicesVersionState").Type(), VT_NULL);
    auto image = Get(one[0], "ThumbnailImage");
    ASSERT_EQ(image.Type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(image.AsUI1Array()->size(), 38400u);
    // Deterministic: the same VM gives the same image, another VM another one.
    auto again = Summaries(lab, WmiValue::BstrArray({lab.SettingsPath(running.id)}), {6});
    EXPECT_TRUE(Get(again.at(0), "ThumbnailImage") == image);
    EXPECT_EQ(RenderSimThumbnail(running.name, 2, 160, 120), *image.AsUI1Array());
    EXPECT_NE(RenderSimThumbnail("other", 2, 160, 120), *image.AsUI1Array());
    EXPECT_NE(RenderSimThumbnail(running.name, 9, 160, 120), *image.AsUI1Array());
    // An off VM has no image and no guest figures; unknown settings are left out.
    auto offOne = Summaries(
        lab, WmiValue::BstrArray({lab.SettingsPath(off.id), lab.SettingsPath("NOPE")}), codes);
    ASSERT_EQ(offOne.size(), 1u);
    EXPECT_EQ(Get(offOne[0], "ThumbnailImage").Type(), VT_NULL);
    EXPECT_EQ(Get(offOne[0], "Heartbeat").Type(), VT_NULL);
    EXPECT_EQ(Get(offOne[0], "EnabledState").AsInt32(), 3);

    // The thumbnail method draws any size asked for, within limits.
    auto in = lab.Params("Msvm_VirtualSystemManagementService", "GetVirtualSystemThumbnailImage");
    in->Put("TargetSystem", WmiValue::Bstr(lab.SettingsPath(running.id)));
    in->Put("WidthPixels", WmiValue::I4(80));
    in->Put("HeightPixels", WmiValue::I4(60));
    WmiObjectPtr out;
    std::string svc = lab.SingletonPath("Msvm_VirtualSystemManagementService");
    ASSERT_EQ(lab.Call(svc, "GetVirtualSystemThumbnailImage", in, &out), 0);
    EXPECT_EQ(Get(out, "ImageData").AsUI1Array()->size(), 80u * 60u * 2u);
    in->Put("WidthPixels", WmiValue::I4(5000));
    EXPECT_EQ(lab.Call(svc, "GetVirtualSystemThumbnailImage", in), 32773);
    in->Put("WidthPixels", WmiValue::I4(80));
    in->Put("TargetSystem", WmiValue::Bstr(lab.SettingsPath(off.id)));
    EXPECT_EQ(lab.Call(svc, "GetVirtualSystemThumbnailImage", in), 32775);
}

TEST(SimHost, SettingsNetworkingAndReplicationAssociations) {
    Lab lab;
    auto vm = lab.Find([](const SimVmInfo& v) {
        return v.enabledState == 2 && v.integrationServices && v.adapters > 0;
    });
    auto settings = lab.Virt("ASSOCIATORS OF {" + lab.VmPath(vm.id) +
                             "} WHERE resultClass = Msvm_VirtualSystemSettingData");
    ASSERT_GE(settings.size(), 1u);
    EXPECT_EQ(Text(settings[0], "InstanceID"), "Microsoft:" + vm.id);
    EXPECT_NE(Text(settings[0], "VirtualSystemSubType").find(":"), std::string::npos);
    EXPECT_EQ(Get(settings[0], "Notes").Type(), VT_ARRAY | VT_BSTR);

    auto adapters = lab.Virt("ASSOCIATORS OF {" + lab.SettingsPath(vm.id) +
                             "} WHERE resultClass = Msvm_SyntheticEthernetPortSettingData");
    ASSERT_EQ(adapters.size(), vm.adapters);
    EXPECT_EQ(Get(adapters[0], "StaticMacAddress").Type(), VT_BOOL);
    EXPECT_EQ(Text(adapters[0], "Address").size(), 12u);
    EXPECT_EQ(Get(adapters[0], "Connection").Type(), VT_ARRAY | VT_BSTR);
    std::string adapterPath = Text(adapters[0], "__Path");
    auto guest = lab.Virt("ASSOCIATORS OF {" + adapterPath +
                          "} WHERE resultClass = Msvm_GuestNetworkAdapterConfiguration");
    ASSERT_EQ(guest.size(), 1u);
    auto ips = Get(guest[0], "IPAddresses");
    ASSERT_EQ(ips.Type(), VT_ARRAY | VT_BSTR);
    EXPECT_EQ(ips.AsBstrArray()->size(), 2u);
    EXPECT_EQ(Get(guest[0], "DHCPEnabled").Type(), VT_BOOL);
    EXPECT_EQ(Get(guest[0], "ProtocolIFType").Type(), VT_I4);
    // The guest configuration goes away with the guest.
    ASSERT_TRUE(lab.host->SetVmState(vm.id, 3));
    EXPECT_TRUE(lab.Virt("ASSOCIATORS OF {" + adapterPath +
                         "} WHERE resultClass = Msvm_GuestNetworkAdapterConfiguration")
                    .empty());

    auto none = lab.Find([](const SimVmInfo& v) { return v.adapters == 0; });
    EXPECT_TRUE(lab.Virt("ASSOCIATORS OF {" + lab.SettingsPath(none.id) +
                         "} WHERE resultClass = Msvm_SyntheticEthernetPortSettingData")
                    .empty());

    auto repl = lab.Find([](const SimVmInfo& v) { return v.replicated; });
    auto figures = lab.Virt(
        "select ReplicationMode, ReplicationState, ReplicationHealth from Msvm_ComputerSystem "
        "where Name=\"" +
        repl.id + "\"");
    ASSERT_EQ(figures.size(), 1u);
    EXPECT_EQ(Get(figures[0], "ReplicationMode").Type(), VT_I4);
    EXPECT_NE(Get(figures[0], "ReplicationMode").AsInt32(), 0);
    WmiValue absent;
    EXPECT_EQ(figures[0]->Get("ElementName", absent), kWbemENotFound);  // not selected
    auto rs = lab.Virt("ASSOCIATORS OF {" + lab.VmPath(repl.id) +
                       "} WHERE resultClass = Msvm_ReplicationSettingData");
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(Get(rs[0], "PrimaryHostSystem").Type(), VT_BSTR);
    EXPECT_EQ(Get(rs[0], "RecoveryHostSystem").Type(), VT_BSTR);
    auto plain = lab.Find([](const SimVmInfo& v) { return !v.replicated; });
    EXPECT_TRUE(lab.Virt("ASSOCIATORS OF {" + lab.VmPath(plain.id) +
                         "} WHERE resultClass = Msvm_ReplicationSettingData")
                    .empty());
    // A query by an id nobody has gives nothing, and a path to nothing is an error.
    EXPECT_TRUE(lab.Virt("select * from Msvm_ComputerSystem where Name='nobody'").empty());
    HResult hr = 0;
    lab.Query(*lab.virt, "ASSOCIATORS OF {" + lab.VmPath("nobody") + "}", &hr);
    EXPECT_EQ(hr, kWbemENotFound);
    lab.Query(*lab.virt, "select * from Msvm_NoSuchClass", &hr);
    EXPECT_EQ(hr, kWbemEInvalidClass);
    lab.Query(*lab.virt, "select NoSuchProperty from Msvm_ComputerSystem", &hr);
    EXPECT_EQ(hr, kWbemEInvalidQuery);
    lab.Query(*lab.virt, "select * from", &hr);
    EXPECT_EQ(hr, kWbemEInvalidQuery);
}

TEST(SimHost, StateChangesFollowTheHostRules) {
    Lab lab;
    auto vm =
        lab.Find([](const SimVmInfo& v) { return v.enabledState == 3 && v.integrationServices; });
    int jobState = 0;
    EXPECT_EQ(lab.ChangeState(vm.id, 2, &jobState), 4096);
    EXPECT_EQ(jobState, 7);
    EXPECT_EQ(lab.State(vm.id), 2);
    EXPECT_EQ(lab.ChangeState(vm.id, 2), 32775);  // already running
    EXPECT_EQ(lab.ChangeState(vm.id, 9), 4096);
    EXPECT_EQ(lab.State(vm.id), 9);
    EXPECT_EQ(lab.ChangeState(vm.id, 9), 32775);
    EXPECT_EQ(lab.ChangeState(vm.id, 2), 4096);  // resume
    EXPECT_EQ(lab.State(vm.id), 2);
    EXPECT_EQ(lab.ChangeState(vm.id, 11), 4096);
    EXPECT_EQ(lab.State(vm.id), 2);
    EXPECT_EQ(lab.ChangeState(vm.id, 6), 4096);
    EXPECT_EQ(lab.State(vm.id), 6);
    EXPECT_EQ(lab.ChangeState(vm.id, 9), 32775);  // a saved VM cannot pause
    EXPECT_EQ(lab.ChangeState(vm.id, 3), 4096);   // discards the saved state
    EXPECT_EQ(lab.State(vm.id), 3);
    EXPECT_EQ(lab.ChangeState(vm.id, 3), 32775);
    EXPECT_EQ(lab.ChangeState(vm.id, 6), 32775);
    EXPECT_EQ(lab.ChangeState(vm.id, 7), 32773);  // not a state a VM can be asked for
    // The host itself is no VM.
    auto in = lab.Params("Msvm_ComputerSystem", "RequestStateChange");
    in->Put("RequestedState", WmiValue::I4(3));
    std::string hostPath = "Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" +
                           lab.host->ComputerName() + "\"";
    EXPECT_EQ(lab.Call(hostPath, "RequestStateChange", in), 32770);
    // An unknown VM is not found; an unknown method is refused.
    WmiObjectPtr out;
    EXPECT_EQ(lab.virt->ExecMethod(lab.VmPath("nobody"), "RequestStateChange", in, out),
              kWbemENotFound);
    EXPECT_EQ(lab.virt->ExecMethod(lab.VmPath(vm.id), "Explode", in, out), kWbemEInvalidMethod);
    // A value of the wrong kind for the parameter is refused before anything happens.
    auto bad = WmiObject::MakeInstance(
        std::make_shared<WmiClassDef>("__PARAMETERS", std::vector<std::string>{},
                                      std::vector<WmiPropertyDef>{{"RequestedState", CIM_STRING}}));
    bad->Put("RequestedState", WmiValue::Bstr("two"));
    EXPECT_EQ(lab.virt->ExecMethod(lab.VmPath(vm.id), "RequestStateChange", bad, out),
              kWbemEInvalidParameter);
}

TEST(SimHost, JobsRunAboutTheirDurationAndBlockOtherChanges) {
    Lab lab;
    lab.host->SetJobDuration(300ms);
    auto vm = lab.Find([](const SimVmInfo& v) { return v.enabledState == 3; });
    auto in = lab.Params("Msvm_ComputerSystem", "RequestStateChange");
    in->Put("RequestedState", WmiValue::I4(2));
    WmiObjectPtr out;
    ASSERT_EQ(lab.virt->ExecMethod(lab.VmPath(vm.id), "RequestStateChange", in, out), kSOk);
    ASSERT_EQ(Get(out, "ReturnValue").AsInt32(), 4096);
    std::string jobPath = Text(out, "Job");
    WmiObjectPtr job;
    ASSERT_EQ(lab.virt->GetObject(jobPath, job), kSOk);
    EXPECT_EQ(Get(job, "JobState").AsInt32(), 2);  // new, as a host's job is at first
    ASSERT_EQ(lab.virt->GetObject(jobPath, job), kSOk);
    EXPECT_EQ(Get(job, "JobState").AsInt32(), 4);  // then running
    EXPECT_LT(Get(job, "PercentComplete").AsInt32(), 100);
    EXPECT_EQ(Get(job, "ErrorCode").AsInt32(), 0);
    EXPECT_EQ(lab.State(vm.id), 10);              // starting
    EXPECT_EQ(lab.ChangeState(vm.id, 3), 32775);  // busy with the job
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lab.WaitJob(jobPath), 7);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(lab.State(vm.id), 2);
    ASSERT_EQ(lab.virt->GetObject(jobPath, job), kSOk);
    EXPECT_EQ(Get(job, "PercentComplete").AsInt32(), 100);
    EXPECT_EQ(lab.virt->GetObject("Msvm_ConcreteJob.InstanceID=\"nope\"", job), kWbemENotFound);
}

TEST(SimHost, GuestShutdownThroughTheShutdownComponent) {
    Lab lab;
    auto vm =
        lab.Find([](const SimVmInfo& v) { return v.enabledState == 2 && v.integrationServices; });
    auto noIc = lab.Find([](const SimVmInfo& v) { return !v.integrationServices; });
    lab.host->SetVmState(noIc.id, 2);
    auto off = lab.Find([](const SimVmInfo& v) { return v.enabledState == 3; });
    auto query = [&](const std::string& id) {
        return lab.Virt("associators of {" + lab.VmPath(id) +
                        "} where AssocClass=Msvm_SystemDevice ResultClass=Msvm_ShutdownComponent");
    };
    EXPECT_TRUE(query(off.id).empty());
    EXPECT_TRUE(query(noIc.id).empty());
    auto comp = query(vm.id);
    ASSERT_EQ(comp.size(), 1u);
    auto in = lab.Params("Msvm_ShutdownComponent", "InitiateShutdown");
    ASSERT_EQ(in->Put("Force", WmiValue::Bool(true)), kSOk);
    ASSERT_EQ(in->Put("Reason", WmiValue::Bstr("Shutdown")), kSOk);
    std::string path = Text(comp[0], "__PATH");
    // A host answers at once with 0 and no job; the guest goes down afterwards.
    lab.host->SetJobDuration(200ms);
    WmiObjectPtr out;
    EXPECT_EQ(lab.Call(path, "InitiateShutdown", in, &out), 0);
    WmiValue job;
    EXPECT_EQ(out->Get("Job", job), kWbemENotFound);
    EXPECT_EQ(lab.ChangeState(vm.id, 3), 32775);  // busy shutting down
    for (int i = 0; i < 1000 && lab.State(vm.id) != 3; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(lab.State(vm.id), 3);
    // The component went with the running VM.
    EXPECT_EQ(lab.virt->ExecMethod(path, "InitiateShutdown", in, out), kWbemENotFound);
    // Other devices of a running VM.
    lab.host->SetVmState(vm.id, 2);
    for (const char* cls :
         {"Msvm_HeartbeatComponent", "Msvm_KvpExchangeComponent", "Msvm_VideoHead"})
        EXPECT_EQ(
            lab.Virt("associators of {" + lab.VmPath(vm.id) + "} where ResultClass=" + cls).size(),
            1u)
            << cls;
    auto kvp = lab.Virt("select * from Msvm_KvpExchangeComponent where SystemName='" + vm.id + "'");
    ASSERT_EQ(kvp.size(), 1u);
    auto items = Get(kvp[0], "GuestIntrinsicExchangeItems");
    ASSERT_EQ(items.Type(), VT_ARRAY | VT_BSTR);
    EXPECT_NE(items.AsBstrArray()->at(0).find("<INSTANCE CLASSNAME=\"Msvm_KvpExchangeDataItem\">"),
              std::string::npos);
}

TEST(SimHost, HooksForReturnCodesJobsFaultsAndDelays) {
    Lab lab;
    auto vm = lab.Find([](const SimVmInfo& v) { return v.enabledState == 3; });
    // A method answering 0 does the work at once, without a job.
    lab.host->SetMethodReturn("RequestStateChange", 0, 1);
    WmiObjectPtr out;
    EXPECT_EQ(lab.ChangeState(vm.id, 2), 0);
    EXPECT_EQ(lab.State(vm.id), 2);
    lab.host->SetMethodReturn("RequestStateChange", 32769, 1);
    EXPECT_EQ(lab.ChangeState(vm.id, 3), 32769);
    EXPECT_EQ(lab.State(vm.id), 2);  // refused: nothing changed
    // A job that fails leaves the VM as it was.
    lab.host->SetJobOutcome("RequestStateChange", 10, 32768, "boom", 1);
    auto in = lab.Params("Msvm_ComputerSystem", "RequestStateChange");
    in->Put("RequestedState", WmiValue::I4(3));
    ASSERT_EQ(lab.Call(lab.VmPath(vm.id), "RequestStateChange", in, &out), 4096);
    WmiObjectPtr job;
    ASSERT_EQ(lab.virt->GetObject(Text(out, "Job"), job), kSOk);
    EXPECT_EQ(Get(job, "JobState").AsInt32(), 10);
    EXPECT_EQ(Get(job, "ErrorCode").AsInt32(), 32768);
    EXPECT_EQ(Text(job, "ErrorDescription"), "boom");
    EXPECT_EQ(lab.State(vm.id), 2);
    // The hook was used up: the next change works.
    EXPECT_EQ(lab.ChangeState(vm.id, 3), 4096);
    EXPECT_EQ(lab.State(vm.id), 3);

    // Faults by operation and text, counted.
    lab.host->FailCalls("ExecQuery", "win32_processor", kRpcEDisconnected, 1);
    HResult hr = 0;
    lab.Query(*lab.cim, "SELECT Name FROM Win32_Processor", &hr);
    EXPECT_EQ(hr, kRpcEDisconnected);
    EXPECT_EQ(lab.Query(*lab.cim, "SELECT Name FROM Win32_Processor").size(), 2u);
    lab.host->FailCalls("Next", "Win32_OperatingSystem", kEAccessDenied);
    WmiEnumeratorPtr e;
    ASSERT_EQ(lab.cim->ExecQuery("SELECT * FROM Win32_OperatingSystem", e), kSOk);
    WmiObjectPtr o;
    EXPECT_EQ(e->Next(kWbemInfinite, o), kEAccessDenied);
    lab.host->FailCalls("", "GetSummaryInformation", kWbemEFailed);
    EXPECT_EQ(lab.virt->ExecMethod(lab.SingletonPath("Msvm_VirtualSystemManagementService"),
                                   "GetSummaryInformation", nullptr, out),
              kWbemEFailed);
    lab.host->FailCalls("Connect", "virtualization", kEAccessDenied, 1);
    WmiServicesPtr s;
    EXPECT_EQ(CreateWmiLocator("sim://" + lab.name)->ConnectServer(kVirt, "", "", s),
              kEAccessDenied);
    lab.host->ClearHooks();
    lab.host->SetJobDuration(20ms);

    // Hyper-V goes away: new and existing connections answer "invalid namespace".
    lab.host->SetNamespacePresent("root\\virtualization\\v2", false);
    EXPECT_EQ(CreateWmiLocator("sim://" + lab.name)->ConnectServer(kVirt, "", "", s),
              kWbemEInvalidNamespace);
    WmiObjectPtr cls;
    EXPECT_EQ(lab.virt->GetObject("Msvm_VirtualSystemManagementService", cls),
              kWbemEInvalidNamespace);
    EXPECT_EQ(lab.Query(*lab.cim, "SELECT * FROM Win32_OperatingSystem").size(), 1u);
    lab.host->SetNamespacePresent("root\\virtualization\\v2", true);
    EXPECT_EQ(lab.virt->GetObject("Msvm_VirtualSystemManagementService", cls), kSOk);

    // A hanging host: the call takes its time, and clearing the hooks ends the wait.
    lab.host->SetCallDelay("GetObject", "", 150ms, 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lab.virt->GetObject("Msvm_ComputerSystem", cls), kSOk);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);
    lab.host->SetCallDelay("ExecQuery", "Win32_OperatingSystem", 60s);
    std::atomic<bool> done{false};
    std::thread hung([&] {
        WmiEnumeratorPtr en;
        lab.cim->ExecQuery("SELECT * FROM Win32_OperatingSystem", en);
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done);
    lab.host->ClearHooks();
    hung.join();
    EXPECT_TRUE(done);
    EXPECT_GT(lab.host->CallCount("ExecQuery"), 0u);
}

// Checkpoint ids of a VM as the checkpoint list reads them, with the current one.
struct Tree {
    std::map<std::string, std::string> parent;  // id → parent id ("" for roots)
    std::string current;
};

Tree ReadTree(Lab& lab, const std::string& vmId) {
    Tree t;
    auto cur = lab.Virt("ASSOCIATORS OF {" + lab.VmPath(vmId) +
                        "} WHERE ResultClass=Msvm_VirtualSystemSettingData "
                        "AssocClass=Msvm_MostCurrentSnapshotInBranch");
    EXPECT_LE(cur.size(), 1u);
    if (!cur.empty()) t.current = Text(cur[0], "InstanceID").substr(10);
    for (const auto& s : lab.Virt("ASSOCIATORS OF {" + lab.VmPath(vmId) +
                                  "} WHERE ResultClass=Msvm_VirtualSystemSettingData "
                                  "AssocClass=Msvm_SnapshotOfVirtualSystem")) {
        std::string id = Text(s, "InstanceID").substr(10);
        auto p = Get(s, "Parent");
        std::string parentId;
        if (auto text = p.AsBstr()) {
            WmiObjectPath path;
            EXPECT_EQ(ParseObjectPath(*text, path), kSOk);
            parentId = path.Key("InstanceID")->substr(10);
            EXPECT_EQ(text->back(), '"');
        }
        t.parent[id] = parentId;
    }
    return t;
}

TEST(SimHost, CheckpointTreeOperations) {
    Lab lab;
    auto vm = lab.Find([](const SimVmInfo& v) { return v.checkpoints > 0 && v.enabledState == 2; });
    Tree before = ReadTree(lab, vm.id);
    ASSERT_EQ(before.parent.size(), vm.checkpoints);
    EXPECT_EQ(before.current, vm.currentCheckpoint);
    std::string svc = lab.SingletonPath("Msvm_VirtualSystemSnapshotService");

    // Create: the new checkpoint hangs from the current one and becomes current.
    auto in = lab.Params("Msvm_VirtualSystemSnapshotService", "CreateSnapshot");
    ASSERT_EQ(in->Put("AffectedSystem", WmiValue::Bstr(lab.VmPath(vm.id))), kSOk);
    ASSERT_EQ(in->Put("SnapshotSettings", WmiValue::Bstr("")), kSOk);
    ASSERT_EQ(in->Put("SnapshotType", WmiValue::I4(2)), kSOk);
    WmiObjectPtr out;
    int jobState = 0;
    ASSERT_EQ(lab.Call(svc, "CreateSnapshot", in, &out, &jobState), 4096);
    EXPECT_EQ(jobState, 7);
    Tree created = ReadTree(lab, vm.id);
    ASSERT_EQ(created.parent.size(), before.parent.size() + 1);
    EXPECT_EQ(created.parent[created.current], before.current);
    EXPECT_NE(Text(out, "ResultingSnapshot").find(created.current), std::string::npos);
    EXPECT_EQ(lab.State(vm.id), 2);  // a checkpoint does not stop the VM
    in->Put("SnapshotType", WmiValue::I4(5));
    EXPECT_EQ(lab.Call(svc, "CreateSnapshot", in), 4);  // CIM "Invalid Parameter"
    in->Put("SnapshotType", WmiValue::I4(2));
    in->Put("AffectedSystem", WmiValue::Bstr(lab.VmPath("nobody")));
    EXPECT_EQ(lab.Call(svc, "CreateSnapshot", in), 4);  // CIM "Invalid Parameter"

    // Apply needs a VM that is not running; afterwards it is saved or off.
    std::string root;
    for (const auto& [id, parent] : created.parent)
        if (parent.empty()) root = id;
    auto apply = lab.Params("Msvm_VirtualSystemSnapshotService", "ApplySnapshot");
    apply->Put("Snapshot", WmiValue::Bstr(lab.SettingsPath(root)));
    EXPECT_EQ(lab.Call(svc, "ApplySnapshot", apply), 5);  // CIM "Invalid State"
    EXPECT_EQ(lab.ChangeState(vm.id, 6), 4096);
    EXPECT_EQ(lab.Call(svc, "ApplySnapshot", apply), 4096);
    EXPECT_EQ(ReadTree(lab, vm.id).current, root);
    int s = lab.State(vm.id);
    EXPECT_TRUE(s == 3 || s == 6) << s;
    apply->Put("Snapshot", WmiValue::Bstr(lab.SettingsPath(vm.id)));  // not a checkpoint
    EXPECT_EQ(lab.Call(svc, "ApplySnapshot", apply), 4);

    // Delete one: its children move up to its parent.
    std::string newest = created.current;
    std::string middle = created.parent[newest];
    ASSERT_FALSE(middle.empty());
    std::string middleParent = created.parent[middle];
    auto del = lab.Params("Msvm_VirtualSystemSnapshotService", "DestroySnapshot");
    del->Put("AffectedSnapshot", WmiValue::Bstr(lab.SettingsPath(middle)));
    EXPECT_EQ(lab.Call(svc, "DestroySnapshot", del), 4096);
    Tree afterDelete = ReadTree(lab, vm.id);
    EXPECT_EQ(afterDelete.parent.count(middle), 0u);
    EXPECT_EQ(afterDelete.parent[newest], middleParent);
    EXPECT_EQ(lab.Call(svc, "DestroySnapshot", del), 4);  // gone

    // Delete a whole tree from the root: nothing is left, and no current checkpoint.
    auto tree = lab.Params("Msvm_VirtualSystemSnapshotService", "DestroySnapshotTree");
    tree->Put("SnapshotSettingData", WmiValue::Bstr(lab.SettingsPath(root)));
    EXPECT_EQ(lab.Call(svc, "DestroySnapshotTree", tree), 4096);
    EXPECT_EQ(lab.Call(svc, "DestroySnapshotTree", tree), 32773);  // its class's own codes
    Tree empty = ReadTree(lab, vm.id);
    EXPECT_TRUE(empty.parent.empty());
    EXPECT_TRUE(empty.current.empty());
}

TEST(SimHost, RenameAndNotesRoundTripThroughObjectText) {
    Lab lab;
    auto vm = lab.Find([](const SimVmInfo& v) { return v.checkpoints > 0; });
    std::string cp = vm.currentCheckpoint;
    auto found = lab.Virt(
        "Select * from Msvm_VirtualSystemSettingData where InstanceID=\"Microsoft:" + cp + "\"");
    ASSERT_EQ(found.size(), 1u);
    const std::string name = "Before \"upgrade\" <v2> & 'more'";
    ASSERT_EQ(found[0]->Put("ElementName", WmiValue::Bstr(name)), kSOk);
    ASSERT_EQ(found[0]->Put("Notes", WmiValue::BstrArray({"line 1\r\nline 2", "</VALUE>"})), kSOk);
    std::string text;
    ASSERT_EQ(found[0]->GetObjectText(text), kSOk);
    std::string svc = lab.SingletonPath("Msvm_VirtualSystemManagementService");
    auto in = lab.Params("Msvm_VirtualSystemManagementService", "ModifySystemSettings");
    ASSERT_EQ(in->Put("SystemSettings", WmiValue::Bstr(text)), kSOk);
    EXPECT_EQ(lab.Call(svc, "ModifySystemSettings", in), 0);
    auto after = lab.Virt(
        "Select * from Msvm_VirtualSystemSettingData where InstanceID='Microsoft:" + cp + "'");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(Text(after[0], "ElementName"), name);
    EXPECT_TRUE(Get(after[0], "Notes") == WmiValue::BstrArray({"line 1\r\nline 2", "</VALUE>"}));

    // The VM's own settings: a rename shows in the summary.
    auto own = lab.Virt(
        "Select * from Msvm_VirtualSystemSettingData where InstanceID=\"Microsoft:" + vm.id + "\"");
    ASSERT_EQ(own.size(), 1u);
    own[0]->Put("ElementName", WmiValue::Bstr("Renamed"));
    own[0]->GetObjectText(text);
    in->Put("SystemSettings", WmiValue::Bstr(text));
    EXPECT_EQ(lab.Call(svc, "ModifySystemSettings", in), 0);
    auto sum = Summaries(lab, WmiValue::BstrArray({lab.SettingsPath(vm.id)}), {1});
    EXPECT_EQ(Text(sum.at(0), "ElementName"), "Renamed");

    // Bad texts change nothing.
    const std::string bad[] = {
        "", "not xml", "<INSTANCE CLASSNAME=\"Msvm_ComputerSystem\"></INSTANCE>",
        "<INSTANCE CLASSNAME=\"Msvm_VirtualSystemSettingData\"><PROPERTY NAME=\"InstanceID\" "
        "TYPE=\"string\"><VALUE>Microsoft:NOPE</VALUE></PROPERTY></INSTANCE>",
        text.substr(0, text.size() / 2)};
    for (const auto& t : bad) {
        in->Put("SystemSettings", WmiValue::Bstr(t));
        EXPECT_EQ(lab.Call(svc, "ModifySystemSettings", in), 4) << t;
    }
    own[0]->Put("ElementName", WmiValue::Bstr(""));
    own[0]->GetObjectText(text);
    in->Put("SystemSettings", WmiValue::Bstr(text));
    EXPECT_EQ(lab.Call(svc, "ModifySystemSettings", in), 4);
    own[0]->Put("ElementName", WmiValue::Bstr(std::string(101, 'x')));
    own[0]->GetObjectText(text);
    in->Put("SystemSettings", WmiValue::Bstr(text));
    EXPECT_EQ(lab.Call(svc, "ModifySystemSettings", in), 4);
    sum = Summaries(lab, WmiValue::BstrArray({lab.SettingsPath(vm.id)}), {1});
    EXPECT_EQ(Text(sum.at(0), "ElementName"), "Renamed");
}

TEST(SimHost, OperatingSystemClassesAnswerTheHostQueries) {
    Lab lab;
    auto os = lab.Query(*lab.cim, "SELECT * FROM Win32_OperatingSystem");
    ASSERT_EQ(os.size(), 1u);
    EXPECT_EQ(Text(os[0], "LastBootUpTime").size(), 25u);
    EXPECT_EQ(Text(os[0], "LocalDateTime").size(), 25u);
    EXPECT_LT(Text(os[0], "LastBootUpTime"), Text(os[0], "LocalDateTime"));
    EXPECT_EQ(Get(os[0], "TotalVisibleMemorySize").Type(), VT_BSTR);
    EXPECT_EQ(Get(os[0], "FreePhysicalMemory").Type(), VT_BSTR);
    EXPECT_EQ(Get(os[0], "OperatingSystemSKU").Type(), VT_I4);
    EXPECT_EQ(Get(os[0], "InstallDate").Type(), VT_BSTR);
    for (const char* q :
         {"SELECT PercentProcessorTime FROM Win32_PerfFormattedData_PerfOS_Processor where Name = "
          "'_Total'",
          "SELECT PercentDiskTime FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk where Name = "
          "'_Total'"}) {
        auto r = lab.Query(*lab.cim, q);
        ASSERT_EQ(r.size(), 1u) << q;
        auto names = r[0]->GetNames();
        EXPECT_EQ(names.size(), 1u);
        EXPECT_EQ(Get(r[0], names[0].c_str()).Type(), VT_BSTR);
    }
    auto nets = lab.Query(
        *lab.cim, "SELECT BytesTotalPersec FROM Win32_PerfFormattedData_Tcpip_NetworkInterface");
    EXPECT_GE(nets.size(), 2u);
    for (const auto& n : nets) EXPECT_EQ(Get(n, "BytesTotalPersec").Type(), VT_BSTR);
    auto cpus = lab.Query(
        *lab.cim, "SELECT Name, NumberOfCores, NumberOfLogicalProcessors FROM Win32_Processor");
    ASSERT_EQ(cpus.size(), 2u);
    EXPECT_EQ(Get(cpus[0], "NumberOfCores").Type(), VT_I4);
    auto cs = lab.Query(*lab.cim, "SELECT * FROM Win32_ComputerSystem");
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(Text(cs[0], "Name"), lab.host->ComputerName());
    EXPECT_EQ(Get(cs[0], "TotalPhysicalMemory").Type(), VT_BSTR);
    auto disks =
        lab.Query(*lab.cim, "SELECT * FROM Win32_LogicalDisk WHERE DriveType=2 OR DriveType=3");
    std::set<std::string> ids;
    for (const auto& d : disks) ids.insert(Text(d, "DeviceID"));
    EXPECT_EQ(ids, (std::set<std::string>{"C:", "D:", "F:"}));
    auto nics =
        lab.Query(*lab.cim, "SELECT * FROM Win32_NetworkAdapter  WHERE PhysicalAdapter= 'true'");
    EXPECT_EQ(nics.size(), 2u);
    for (const auto& n : nics) EXPECT_EQ(Get(n, "PhysicalAdapter").AsBool(), true);

    // A restart starts the uptime again and saves what ran.
    std::string bootBefore = Text(os[0], "LastBootUpTime");
    lab.host->RestartHost();
    auto after = lab.Query(*lab.cim, "SELECT * FROM Win32_OperatingSystem");
    EXPECT_GT(Text(after.at(0), "LastBootUpTime"), bootBefore);
    for (const auto& v : lab.host->ListVms()) EXPECT_NE(v.enabledState, 2);
}

TEST(SimHost, ManyThreadsAtOnce) {
    Lab lab("?vms=40&seed=3");
    lab.host->SetJobDuration(5ms);
    auto vms = lab.host->ListVms();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                const auto& vm = vms[static_cast<std::size_t>((t * 7 + i) % vms.size())];
                int code = (i % 3 == 0) ? 2 : (i % 3 == 1 ? 3 : 9);
                int rv = lab.ChangeState(vm.id, code);
                if (rv != 4096 && rv != 32775) ++failures;
                if (Summaries(lab, WmiValue::Null(), {0, 100}).size() != vms.size()) ++failures;
                lab.Query(*lab.cim, "SELECT * FROM Win32_OperatingSystem");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
}

// A 1000-VM host answers a whole poll cycle, every VM summarised and every host figure there;
// what a cycle costs is measured by bench/hv_poll_bench and bench/wsman_poll_bench.
TEST(SimHost, ThousandVmPollAnswersEveryVm) {
    Lab lab("?vms=1000");
    for (int cycle = 0; cycle < 2; ++cycle) {
        auto all = Summaries(lab, WmiValue::Null(), {0, 1, 100, 101, 103, 105, 110, 111, 112});
        ASSERT_EQ(all.size(), 1000u);
        std::set<std::string> ids;
        for (const auto& s : all) {
            WmiValue name, state;
            ASSERT_TRUE(Succeeded(s->Get("Name", name)) && name.AsBstr());
            ids.insert(*name.AsBstr());
            ASSERT_TRUE(Succeeded(s->Get("EnabledState", state)));
            EXPECT_FALSE(state.IsEmptyOrNull());
        }
        EXPECT_EQ(ids.size(), 1000u) << "every VM once";
        EXPECT_EQ(lab.Query(*lab.cim, "SELECT * FROM Win32_OperatingSystem").size(), 1u);
        EXPECT_EQ(lab.Query(*lab.cim,
                            "SELECT PercentProcessorTime FROM "
                            "Win32_PerfFormattedData_PerfOS_Processor where Name = '_Total'")
                      .size(),
                  1u);
        EXPECT_EQ(lab.Query(*lab.cim,
                            "SELECT PercentDiskTime FROM "
                            "Win32_PerfFormattedData_PerfDisk_PhysicalDisk where Name = '_Total'")
                      .size(),
                  1u);
        EXPECT_FALSE(
            lab.Query(*lab.cim,
                      "SELECT BytesTotalPersec FROM Win32_PerfFormattedData_Tcpip_NetworkInterface")
                .empty());
    }
}

}  // namespace
}  // namespace hbr
