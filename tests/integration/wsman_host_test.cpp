// A remote Hyper-V host managed end to end: the real hbr run-exe manages the WS-Management test
// server (which serves a simulated host of this process) as an https:// host text added
// through the API, and everything the dashboard does goes over WS-Management. Then the same
// host misbehaves in every way a broken or hostile host can.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hyperv/providers/sim/sim_host.h"
#include "store/json.h"
#include "support/hbr_api.h"
#include "support/hbr_process.h"
#include "support/rdp_fixture.h"
#include "support/wsman_test_server.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

WsmanTestServerOptions HostOptions(const std::string& name) {
    WsmanTestServerOptions o;
    o.simHost = "sim://" + name + "?vms=4&seed=7";
    return o;
}

HbrProcess::Options HbrOptions(uint16_t consolePort) {
    HbrProcess::Options o;
    // The VM consoles of every host listen on the relay's port; a host that does not answer is
    // given up after 8 s instead of 45 (long enough for 16 MB of a huge reply on a busy machine).
    o.env["HBR_VM_CONSOLE_PORT"] = std::to_string(consolePort);
    o.env["HBR_WSMAN_LIMITS"] = "request_timeout_ms=8000,connect_timeout_ms=3000";
    return o;
}

class WsmanHost : public ::testing::Test {
  protected:
    WsmanHost()
        : host_(HostOptions(NextName())),
          relay_(FreeLoopbackPort()),  // nobody listens behind it: only the PDU is of interest
          hbr_(HbrOptions(relay_.Port())),
          api_(hbr_) {}

    static std::string NextName() {
        static int n = 0;
        return "WSE2E" + std::to_string(++n);
    }

    void SetUp() override {
        ASSERT_TRUE(hbr_.Ready()) << hbr_.Output();
        admin_ = api_.Session("administrator", "bravo");
        ASSERT_FALSE(admin_.empty());
    }

    SimHost Sim() const { return SimHost::Get(host_.SimHostName()); }

    // Adds the host with `hostText` and the test server's account; the new server's id.
    int AddHost(const std::string& hostText) {
        const HttpReply r = api_.Post(admin_, "/api/server/0",
                                      R"({"id":0,"name":"hv-e2e","host":")" + hostText +
                                          R"(","user":"wsadmin","password":"Secret#1"})");
        EXPECT_EQ(r.status, 201) << r.body;
        return static_cast<int>(api_.Count("SELECT max(id) FROM servers"));
    }

    template <typename F>
    JsonDocument LiveWhen(F pred, std::chrono::seconds guard = 30s) {
        return api_.LiveDataWhen(admin_, pred, guard, 100ms);
    }
    static std::string VmState(const JsonValue& root, const std::string& vm) {
        for (size_t i = 0; i < root["vms"].Size(); ++i)
            if (root["vms"].At(i)["id"].AsText() == vm) return root["vms"].At(i)["state"].AsText();
        return "absent";
    }
    int SimState(const std::string& vm) const {
        for (const SimVmInfo& v : Sim().ListVms())
            if (v.id == vm) return v.enabledState;
        return -1;
    }

    WsmanTestServer host_;
    PreconnectionRelay relay_;
    HbrProcess hbr_;
    HbrApi api_;
    std::string admin_;
};

TEST_F(WsmanHost, ManagedOverWsmanLikeAnyOtherHost) {
    const int id = AddHost(host_.HostText("basic"));
    JsonDocument doc = LiveWhen(
        [&](const JsonValue& r) { return ServerStatus(r, id) == "OK" && r["vms"].Size() == 4; });
    ASSERT_EQ(ServerStatus(doc.Root(), id), "OK") << hbr_.Output();
    const JsonValue* server = ServerOf(doc.Root(), id);
    ASSERT_NE(server, nullptr);
    for (const char* m : {"uptime", "memoryTotal", "memoryFree", "cpuLoad"})
        EXPECT_FALSE((*server)[m].IsNull()) << m;
    EXPECT_TRUE((*server)["presented"].IsNull());
    // The dashboard lists exactly the host's VMs, in the states the host reports.
    const std::vector<SimVmInfo> vms = Sim().ListVms();
    ASSERT_EQ(vms.size(), 4u);
    for (const SimVmInfo& v : vms)
        EXPECT_EQ(VmState(doc.Root(), v.id),
                  std::to_string(v.enabledState == 3 ? 99999 : v.enabledState))
            << v.name;
    EXPECT_GT(host_.RequestCount("/Enumerate"), 0u);

    // Every VM action, each followed on the host and then on the dashboard.
    std::string vm;
    for (const SimVmInfo& v : vms)
        if (v.integrationServices && v.enabledState == 3) vm = v.id;
    if (vm.empty())
        for (const SimVmInfo& v : vms)
            if (v.integrationServices) {
                ASSERT_TRUE(Sim().SetVmState(v.id, 3));
                vm = v.id;
                break;
            }
    ASSERT_FALSE(vm.empty()) << "no VM with integration services";
    const struct {
        int request;
        int expected;
    } steps[] = {{2, 2}, {9, 9}, {2, 2}, {11, 2}, {6, 6}, {2, 2}, {4, 3}, {2, 2}, {3, 3}};
    for (const auto& step : steps) {
        const HttpReply r =
            api_.Post(admin_, "/api/vm/state",
                      R"({"vmId":")" + vm + R"(","state":)" + std::to_string(step.request) + "}");
        ASSERT_EQ(r.status, 201) << "state " << step.request << ": " << r.body;
        // A guest shutdown is only asked for: the host ends it when it is done.
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (SimState(vm) != step.expected && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(SimState(vm), step.expected) << "state " << step.request;
        const std::string shown = std::to_string(step.expected == 3 ? 99999 : step.expected);
        doc = LiveWhen([&](const JsonValue& root) { return VmState(root, vm) == shown; });
        EXPECT_EQ(VmState(doc.Root(), vm), shown) << "state " << step.request;
    }

    // Checkpoints: created, renamed, applied and deleted on the host.
    auto post = [&](const std::string& route, const std::string& body) {
        return api_.Post(admin_, "/api/vm/" + route, body);
    };
    ASSERT_EQ(post("createcp", R"({"vmId":")" + vm + R"("})").status, 201);
    std::vector<SimCheckpointInfo> cps = Sim().ListCheckpoints(vm);
    ASSERT_EQ(cps.size(), 1u);
    const std::string cp = cps[0].id;
    const HttpReply listed = api_.Get(admin_, "/api/vm/checkpoints/" + vm);
    EXPECT_EQ(listed.status, 200);
    EXPECT_NE(listed.body.find(cp), std::string::npos) << listed.body;
    EXPECT_EQ(post("editcp", R"({"vmId":")" + vm + R"(","cpId":")" + cp +
                                 R"(","name":"before <update> & \"quoted\""})")
                  .status,
              201);
    cps = Sim().ListCheckpoints(vm);
    ASSERT_EQ(cps.size(), 1u);
    EXPECT_EQ(cps[0].name, "before <update> & \"quoted\"");
    ASSERT_EQ(post("createcp", R"({"vmId":")" + vm + R"("})").status, 201);
    ASSERT_EQ(Sim().ListCheckpoints(vm).size(), 2u);
    const HttpReply applied = post("applycp", R"({"vmId":")" + vm + R"(","cpId":")" + cp + R"("})");
    EXPECT_EQ(applied.status, 201) << applied.body;
    bool current = false;
    for (const SimVmInfo& v : Sim().ListVms())
        if (v.id == vm) current = v.currentCheckpoint == cp;
    EXPECT_TRUE(current);
    EXPECT_EQ(post("deletecp", R"({"vmId":")" + vm + R"(","cpId":")" + cp + R"("})").status, 201);
    cps = Sim().ListCheckpoints(vm);
    ASSERT_EQ(cps.size(), 1u);
    EXPECT_NE(cps[0].id, cp);

    // Host information: hardware, disks and adapters read over WS-Management.
    const HttpReply info = api_.Get(admin_, "/api/server/info/" + std::to_string(id));
    EXPECT_EQ(info.status, 200);
    EXPECT_NE(info.body.find("disks:["), std::string::npos) << info.body;
    EXPECT_NE(info.body.find("nics:["), std::string::npos) << info.body;
    EXPECT_GT(host_.RequestCount("/Get") + host_.RequestCount("/Enumerate"), 0u);

    // The console of a VM on this host goes to the host's address, with the VM id as the
    // pre-connection blob.
    EXPECT_EQ(api_.Get(admin_, "/rdp/" + vm).status, 200);
    WsTestClient ws;
    ASSERT_TRUE(ws.Connect(hbr_.Port(), "/ws", admin_)) << ws.Error();
    ASSERT_TRUE(ws.SendBinary(ConnectMessage(R"({"pcb":")" + vm + R"("})")));
    const auto blob = relay_.WaitForBlob();
    ASSERT_TRUE(blob);
    EXPECT_EQ(*blob, vm);
    ws.Close();

    // Restart and shutdown through Win32_OperatingSystem: the host restarts (its running VMs
    // are saved), as asked.
    ASSERT_EQ(SimState(vm), 3);
    ASSERT_EQ(post("state", R"({"vmId":")" + vm + R"(","state":2})").status, 201);
    const auto restarts = host_.RequestCount("/Win32Shutdown");
    HttpReply r = api_.Post(admin_, "/api/server/state",
                            R"({"id":)" + std::to_string(id) + R"(,"state":1})");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(host_.RequestCount("/Win32Shutdown"), restarts + 1);
    EXPECT_EQ(SimState(vm), 6);
    r = api_.Post(admin_, "/api/server/state", R"({"id":)" + std::to_string(id) + R"(,"state":0})");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(host_.RequestCount("/Win32Shutdown"), restarts + 2);
    // Both were audited against their claims.
    EXPECT_EQ(api_.Count("SELECT count(*) FROM audit WHERE claim IN (4,5) AND result=0"), 2);
    EXPECT_EQ(hbr_.Stop(), 0) << hbr_.Output();
}

// Each way a host can fail, one after the other on the same server: the dashboard says what
// happened, the VMs it can no longer vouch for go, and the poller carries on, so the host is back
// once it behaves. The instance ends cleanly afterwards (under ASan: nothing leaked).
TEST_F(WsmanHost, HostileHostsShowWhatHappenedAndThePollerCarriesOn) {
    const int id = AddHost(host_.HostText("basic"));
    auto healthy = [&](const JsonValue& r) {
        return ServerStatus(r, id) == "OK" && r["vms"].Size() == 4;
    };
    ASSERT_TRUE(healthy(LiveWhen(healthy).Root())) << hbr_.Output();

    const std::string invalid = "The server returned an invalid or unrecognized response (";
    host_.SetHugeBodySize(100u << 20);
    const struct {
        WsmanHook hook;
        std::string status;
    } cases[] = {
        {WsmanHook::MalformedXml, invalid + "HTTP 200: the reply is not well-formed XML)"},
        {WsmanHook::EntityBomb,
         invalid + "HTTP 200: the reply holds a document type declaration)"},
        {WsmanHook::HugeBody, invalid + "the reply is larger than 16 MB)"},
        {WsmanHook::Status500NoBody, invalid + "HTTP 500 without a body)"},
        {WsmanHook::UnknownNamespace, invalid + "HTTP 200: the reply is not a SOAP envelope)"},
        {WsmanHook::Always401, "Access is denied. (the host refused the credentials: HTTP 401)"},
        {WsmanHook::NeverReply,
         "The object invoked has disconnected from its clients. (timeout: no answer within 8 s)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        host_.SetHook(c.hook);
        JsonDocument doc =
            LiveWhen([&](const JsonValue& r) { return ServerStatus(r, id) == c.status; }, 60s);
        EXPECT_EQ(ServerStatus(doc.Root(), id), c.status);
        EXPECT_EQ(doc.Root()["vms"].Size(), 0u);
        EXPECT_TRUE((*ServerOf(doc.Root(), id))["presented"].IsNull());
        // The requests of users fail with the host's failure too, and answer.
        const HttpReply info = api_.Get(admin_, "/api/server/info/" + std::to_string(id));
        EXPECT_EQ(info.status, 500) << info.body;
        host_.ClearHooks();
        doc = LiveWhen(healthy, 60s);
        EXPECT_TRUE(healthy(doc.Root())) << ServerStatus(doc.Root(), id);
    }

    // A certificate other than the pinned one, and one that the system's CAs do not vouch for:
    // refused, and the dashboard tells which fingerprint the host presented.
    const std::string base = host_.Url() + "?auth=basic";
    const std::string edit = "/api/server/" + std::to_string(id);
    const std::string wrongPin = base + "&tls=sha256:" + std::string(64, 'a');
    ASSERT_EQ(api_.Post(admin_, edit, R"({"id":)" + std::to_string(id) + R"(,"host":")" +
                                          wrongPin + R"("})")
                  .status,
              201);
    const std::string mismatch =
        "A security error occurred (its certificate does not match the pinned fingerprint)";
    JsonDocument doc =
        LiveWhen([&](const JsonValue& r) { return ServerStatus(r, id) == mismatch; });
    ASSERT_EQ(ServerStatus(doc.Root(), id), mismatch);
    EXPECT_EQ((*ServerOf(doc.Root(), id))["presented"].AsText(), host_.Fingerprint());
    EXPECT_EQ(doc.Root()["vms"].Size(), 0u);
    ASSERT_EQ(api_.Post(admin_, edit, R"({"id":)" + std::to_string(id) + R"(,"host":")" + base +
                                          R"(&tls=verify"})")
                  .status,
              201);
    const std::string untrusted = "A security error occurred (its certificate is not trusted)";
    doc = LiveWhen([&](const JsonValue& r) { return ServerStatus(r, id) == untrusted; });
    ASSERT_EQ(ServerStatus(doc.Root(), id), untrusted);
    EXPECT_EQ((*ServerOf(doc.Root(), id))["presented"].AsText(), host_.Fingerprint());
    // Pinned to what it presented: healthy again, and nothing presented is shown any more.
    ASSERT_EQ(api_.Post(admin_, edit, R"({"id":)" + std::to_string(id) + R"(,"host":")" + base +
                                          "&tls=sha256:" + host_.Fingerprint() + R"("})")
                  .status,
              201);
    doc = LiveWhen(healthy);
    EXPECT_TRUE(healthy(doc.Root())) << ServerStatus(doc.Root(), id);
    EXPECT_TRUE((*ServerOf(doc.Root(), id))["presented"].IsNull());
    EXPECT_EQ(hbr_.Stop(), 0) << hbr_.Output();
}

// Host texts no provider can use are refused with the reason, and nothing is stored.
TEST_F(WsmanHost, BadHostTextsAreRefusedWithTheReason) {
    const int64_t before = api_.Count("SELECT count(*) FROM servers");
    const struct {
        std::string host;
        std::string reason;
    } cases[] = {
        {"hv1?auth=kerberos", "Host: "},
        {"hv1?tls=sha256:12", "Host: "},
        {"hv1?tls=verify&tls=insecure", "Host: "},
        {"hv1?colour=blue", "Host: "},
        {"http://hv1/wsman", "Host: only https:// URLs are offered"},
        {"https://ops:pw@hv1/wsman", "Host: user information does not belong in the URL"},
        {"hv 1", "Host: the host text holds a blank"},
        {"sim://bad name", "Host: not a valid simulated host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const HttpReply r = api_.Post(admin_, "/api/server/0",
                                      R"({"id":0,"name":"bad","host":")" + c.host + R"("})");
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body.rfind(c.reason, 0), 0u) << r.body;
        EXPECT_GT(r.body.size(), 6u);
    }
    EXPECT_EQ(api_.Post(admin_, "/api/server/0", R"({"id":0,"name":"bad","host":42})").status,
              400);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM servers"), before);
    // An edit of a stored server with a bad text leaves the row as it was.
    const int id = AddHost(host_.HostText("basic"));
    const HttpReply r = api_.Post(admin_, "/api/server/" + std::to_string(id),
                                  R"({"id":)" + std::to_string(id) + R"(,"host":"hv1?tls=maybe"})");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(api_.Text("SELECT host FROM servers WHERE id=" + std::to_string(id)),
              host_.HostText("basic"));
}

}  // namespace
}  // namespace hbr
