// The live data, VM and server routes of the real hbr run-exe, with simulated hosts added
// through the API.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "store/json.h"
#include "support/gunzip.h"
#include "support/hbr_api.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

class HvApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(hbr_.Ready()) << hbr_.Output();
        admin_ = Session("administrator", "bravo");
    }
    std::string Session(const std::string& usr, const std::string& pwd) {
        return api_.Session(usr, pwd);
    }
    // Requests go as the administrator unless another session's cookie is given.
    HttpReply Get(const std::string& path, const std::string& cookie = {}) {
        return api_.Get(cookie.empty() ? admin_ : cookie, path);
    }
    HttpReply Post(const std::string& path, const std::string& body,
                   const std::string& cookie = {}) {
        return api_.Post(cookie.empty() ? admin_ : cookie, path, body);
    }
    HttpReply Delete(const std::string& path) { return api_.Delete(admin_, path); }
    int64_t Count(const std::string& sql) { return api_.Count(sql); }
    void Exec(const std::string& sql) { api_.Exec(sql); }
    // Live data parsed, after `pred` holds of it (or the time limit).
    template <typename F>
    JsonDocument LiveWhen(F pred, const std::string& cookie = {}) {
        return api_.LiveDataWhen(cookie.empty() ? admin_ : cookie, pred, 20s, 50ms);
    }
    int AddSim(const std::string& host) {
        const HttpReply r =
            Post("/api/server/0", R"({"id":0,"name":"s-)" + host.substr(6, 6) + R"(","host":")" +
                                      host + R"(","disabled":false})");
        EXPECT_EQ(r.status, 201) << r.body;
        return static_cast<int>(Count("SELECT max(id) FROM servers"));
    }

    HbrProcess hbr_;
    HbrApi api_{hbr_};
    std::string admin_;
};

TEST_F(HvApiTest, LocalServerShowsRealFiguresWithoutHyperV) {
    JsonDocument doc = LiveWhen([](const JsonValue& r) { return !ServerStatus(r, 1).empty(); });
    const JsonValue* s = ServerOf(doc.Root(), 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ((*s)["status"].AsText(), "Hyper-V Service not present.");
    EXPECT_TRUE((*s)["memoryTotal"].IsNumber());
    EXPECT_TRUE(std::regex_match((*s)["uptime"].AsText(),
                                 std::regex("[0-9]+\\.[0-9]{2}:[0-9]{2}:[0-9]{2}")));
    EXPECT_EQ(doc.Root()["vms"].Size(), 0u);
    const HttpReply info = Get("/api/server/info/1");
    EXPECT_EQ(info.status, 200);
    EXPECT_NE(info.body.find(",disks:["), std::string::npos) << info.body;
    EXPECT_NE(info.body.find("],nics:["), std::string::npos);
    EXPECT_EQ(Get("/api/server/info/77").body, "{}");
}

TEST_F(HvApiTest, SimulatedServerListedEditedRemovedReAdded) {
    const int id = AddSim("sim://itest-a?vms=5&seed=3");
    JsonDocument doc = LiveWhen([&](const JsonValue& r) { return ServerStatus(r, id) == "OK"; });
    EXPECT_EQ(doc.Root()["vms"].Size(), 5u);
    const JsonValue* s = ServerOf(doc.Root(), id);
    ASSERT_NE(s, nullptr);
    for (const char* m :
         {"uptime", "memoryTotal", "memoryFree", "cpuLoad", "diskLoad", "bytesPersec"})
        EXPECT_FALSE((*s)[m].IsNull()) << m;
    // Edited to another host: the VMs of the new host replace the old ones.
    EXPECT_EQ(Post("/api/server/" + std::to_string(id),
                   R"({"id":)" + std::to_string(id) + R"(,"host":"sim://itest-b?vms=3"})")
                  .status,
              201);
    doc = LiveWhen(
        [&](const JsonValue& r) { return r["vms"].Size() == 3 && ServerStatus(r, id) == "OK"; });
    EXPECT_EQ(doc.Root()["vms"].Size(), 3u);
    // Disabled: gone from the registry; enabled again: back.
    Post("/api/server/" + std::to_string(id),
         R"({"id":)" + std::to_string(id) + R"(,"disabled":true})");
    doc = LiveWhen([&](const JsonValue& r) { return ServerStatus(r, id) == "absent"; });
    EXPECT_EQ(ServerStatus(doc.Root(), id), "absent");
    Post("/api/server/" + std::to_string(id),
         R"({"id":)" + std::to_string(id) + R"(,"disabled":false})");
    doc = LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 3; });
    EXPECT_EQ(doc.Root()["vms"].Size(), 3u);
    EXPECT_EQ(Delete("/api/server/" + std::to_string(id)).body, "{}");
    doc = LiveWhen([&](const JsonValue& r) { return ServerStatus(r, id) == "absent"; });
    EXPECT_EQ(doc.Root()["vms"].Size(), 0u);
    EXPECT_EQ(Count("SELECT count(*) FROM servers WHERE id=" + std::to_string(id)), 0);
    EXPECT_EQ(Get("/api/server/-1").status, 400);
    EXPECT_EQ(Delete("/api/server/-1").status, 400);
    EXPECT_EQ(Get("/api/server/0").body, "{}");
}

TEST_F(HvApiTest, StateChangesChecksAndAudit) {
    const int id = AddSim("sim://itest-c?vms=12&seed=5");
    JsonDocument doc = LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 12; });
    std::string offVm;
    for (size_t i = 0; i < doc.Root()["vms"].Size(); ++i)
        if (doc.Root()["vms"].At(i)["state"].AsText() == "99999")
            offVm = doc.Root()["vms"].At(i)["id"].AsText();
    ASSERT_FALSE(offVm.empty());
    const int64_t audits = Count("SELECT count(*) FROM audit");
    EXPECT_EQ(Post("/api/vm/state", R"({"vmId":")" + offVm + R"(","state":5})").status, 403);
    EXPECT_EQ(Count("SELECT count(*) FROM audit"), audits);
    EXPECT_EQ(Post("/api/vm/state", "not json").status, 400);
    const HttpReply r = Post("/api/vm/state", R"({"vmId":")" + offVm + R"(","state":2})");
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.body, "{}");
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=13 AND result=0 AND resource IS NOT "
                    "NULL AND resource<>''"),
              1);
    doc = LiveWhen([&](const JsonValue& root) {
        for (size_t i = 0; i < root["vms"].Size(); ++i)
            if (root["vms"].At(i)["id"].AsText() == offVm)
                return root["vms"].At(i)["state"].AsText() == "2";
        return false;
    });
    bool running = false;
    for (size_t i = 0; i < doc.Root()["vms"].Size(); ++i)
        if (doc.Root()["vms"].At(i)["id"].AsText() == offVm)
            running = doc.Root()["vms"].At(i)["state"].AsText() == "2";
    EXPECT_TRUE(running);
    // Ids that are no VM's: nothing was done, and the reply says so.
    for (const std::string bad : {"\\\" or 1=1", "1891102a-5DE8-4BD6-AF5F-97EA2A331B9C", "x"}) {
        const HttpReply b = Post("/api/vm/createcp", R"({"vmId":")" + bad + R"("})");
        EXPECT_EQ(b.status, 500) << bad;
        EXPECT_EQ(b.body, "error: no managed server holds the VM");
    }
    EXPECT_EQ(Get("/api/vm/general/00000000-0000-0000-0000-000000000000").body, "{}");
    EXPECT_EQ(Get("/api/vm/general/\"'--<>0000-0000-0000-0000-000000000000").body, "{}");
    // A checkpoint made and listed through the API.
    EXPECT_EQ(Post("/api/vm/createcp", R"({"vmId":")" + offVm + R"("})").status, 201);
    const HttpReply cps = Get("/api/vm/checkpoints/" + offVm);
    EXPECT_EQ(cps.status, 200);
    JsonDocument list;
    ASSERT_TRUE(ParseJson(cps.body, list)) << cps.body;
    EXPECT_GE(list.Root().Size(), 2u);  // the checkpoint and "Now"
    (void)id;
}

// One VM's checkpoints through every checkpoint route: the tree as listed, and each change
// as the host answers it.
class CheckpointApi : public HvApiTest {
  protected:
    struct Cp {
        std::string id, parent, name;
    };
    std::vector<Cp> Tree(const std::string& vm) {
        const HttpReply r = Get("/api/vm/checkpoints/" + vm);
        EXPECT_EQ(r.status, 200);
        JsonDocument doc;
        EXPECT_TRUE(ParseJson(r.body, doc)) << r.body;
        std::vector<Cp> out;
        for (size_t i = 0; i < doc.Root().Size(); ++i) {
            const JsonValue& c = doc.Root().At(i);
            out.push_back({c["id"].AsText("-"), c["parent"].AsText("null"), c["name"].AsText()});
        }
        return out;
    }
    HttpReply Act(const std::string& route, const std::string& vm, const std::string& cp = {},
                  const std::string& nameJson = {}) {
        std::string body = R"({"vmId":")" + vm + R"(")";
        if (!cp.empty()) body += R"(,"cpId":")" + cp + R"(")";
        if (!nameJson.empty()) body += R"(,"name":)" + nameJson;
        return Post("/api/vm/" + route, body + "}");
    }
    // The state once the VM is no longer busy ("1" until the next poll after an action).
    std::string SettledState(const std::string& vm) {
        std::string state;
        LiveWhen([&](const JsonValue& root) {
            for (size_t i = 0; i < root["vms"].Size(); ++i)
                if (root["vms"].At(i)["id"].AsText() == vm)
                    state = root["vms"].At(i)["state"].AsText();
            return state != "1";
        });
        return state;
    }
    std::string VmIn(const JsonValue& root, const std::string& state) {
        for (size_t i = 0; i < root["vms"].Size(); ++i)
            if (root["vms"].At(i)["state"].AsText() == state)
                return root["vms"].At(i)["id"].AsText();
        return {};
    }
};

TEST_F(CheckpointApi, TreeCreateRenameApplyRevertDelete) {
    AddSim("sim://itest-cp?vms=12&seed=5");
    JsonDocument doc = LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 12; });
    const std::string vm = VmIn(doc.Root(), "2");
    const std::string offVm = VmIn(doc.Root(), "99999");
    ASSERT_FALSE(vm.empty());
    ASSERT_FALSE(offVm.empty());
    // A VM with no checkpoints: an empty list, and nothing to revert to.
    for (const Cp& c : Tree(offVm)) ASSERT_TRUE(false) << "unexpected checkpoint " << c.name;
    const HttpReply none = Act("revert", offVm);
    EXPECT_EQ(none.status, 500);
    EXPECT_EQ(none.body, "VM does not have checkpoints: -2147467259");

    // A, then B under it; the present state hangs below the newest.
    const size_t before = Tree(vm).size();
    ASSERT_EQ(Act("createcp", vm).status, 201);
    ASSERT_EQ(Act("createcp", vm).status, 201);
    std::vector<Cp> t = Tree(vm);
    ASSERT_EQ(t.size(), before + 3);
    const Cp a = t[before], b = t[before + 1];
    EXPECT_EQ(b.parent, a.id);
    EXPECT_EQ(t.back().name, "Now");
    EXPECT_EQ(t.back().id, "-");
    EXPECT_EQ(t.back().parent, b.id);

    // A name with quotes and markup is kept as text, through the host's settings document too.
    const std::string odd = "say \"hi\" <b>&amp;</b> 'x'";
    ASSERT_EQ(Act("editcp", vm, b.id, R"("say \"hi\" <b>&amp;</b> 'x'")").status, 201);
    t = Tree(vm);
    ASSERT_EQ(t.size(), before + 3);
    EXPECT_EQ(t[before + 1].name, odd);
    EXPECT_EQ(
        Get("/api/vm/checkpoints/" + vm).body.find(R"("name":"say \"hi\")") != std::string::npos,
        true);
    // Renaming what is no checkpoint of the VM: refused before the host is asked to change it.
    const HttpReply missing = Act("editcp", vm, "00000000-0000-0000-0000-000000000000", R"("x")");
    EXPECT_EQ(missing.status, 403);
    // Ids that are no GUID never reach the host's query text.
    const HttpReply injected = Act("editcp", vm, R"(x\" or InstanceID<>\")", R"("y")");
    EXPECT_EQ(injected.status, 403);
    EXPECT_EQ(Tree(vm)[before + 1].name, odd);

    // Applying A to the running VM: the host takes checkpoints only of a VM that is not running,
    // so the save before and the start after are what let this succeed and keep it running.
    const HttpReply applied = Act("applycp", vm, a.id);
    EXPECT_EQ(applied.status, 201) << applied.body;
    EXPECT_EQ(SettledState(vm), "2");
    t = Tree(vm);
    EXPECT_EQ(t.back().parent, a.id);
    // Reverting goes back to A again; the VM stays where it was.
    EXPECT_EQ(Act("revert", vm).status, 201);
    EXPECT_EQ(SettledState(vm), "2");
    EXPECT_EQ(Tree(vm).back().parent, a.id);

    // Deleting B alone leaves A; C and D under A go together with their subtree.
    EXPECT_EQ(Act("deletecp", vm, b.id).status, 201);
    t = Tree(vm);
    ASSERT_EQ(t.size(), before + 2);
    EXPECT_EQ(t[before].id, a.id);
    ASSERT_EQ(Act("createcp", vm).status, 201);
    ASSERT_EQ(Act("createcp", vm).status, 201);
    t = Tree(vm);
    ASSERT_EQ(t.size(), before + 4);
    const Cp c = t[before + 1];
    EXPECT_EQ(c.parent, a.id);
    EXPECT_EQ(t[before + 2].parent, c.id);
    EXPECT_EQ(Act("deletecptree", vm, c.id).status, 201);
    t = Tree(vm);
    ASSERT_EQ(t.size(), before + 2);
    EXPECT_EQ(t[before].id, a.id);
    EXPECT_EQ(t.back().name, "Now");

    // Applying to a VM that is off leaves it off.
    ASSERT_EQ(Act("createcp", offVm).status, 201);
    const std::vector<Cp> offTree = Tree(offVm);
    ASSERT_EQ(offTree.size(), 2u);
    EXPECT_EQ(Act("applycp", offVm, offTree[0].id).status, 201);
    EXPECT_EQ(SettledState(offVm), "99999");
    // Every action above was checked against the checkpoint claim and left an audit row.
    EXPECT_GE(Count("SELECT count(*) FROM audit WHERE claim=19 AND result=0"), 12);
}

// A user whose role grants nothing: its own record, and the console page by server number, but no
// server record and no VM console.
TEST_F(HvApiTest, RoleWithoutClaimsAndTheConsolePaths) {
    AddSim("sim://itest-r?vms=3&seed=4");
    JsonDocument doc = LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 3; });
    ASSERT_EQ(doc.Root()["vms"].Size(), 3u);
    const std::string vm = doc.Root()["vms"].At(0)["id"].AsText();
    Exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES (2,'none','{}',NULL))");
    ASSERT_EQ(Post("/api/user/0", R"({"id":0,"name":"bare","pwd":"pw","roleId":2})").status, 201);
    const std::string bare = Session("bare", "pw");

    HttpReply r = Get("/api/user/0", bare);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.rfind("{\"id\":2,\"name\":\"bare\",", 0), 0u) << r.body;
    // Every claim is listed (unquoted key: the reply is JavaScript), none held.
    EXPECT_NE(r.body.find(",claims:{\"cDBoard_View\":false,"), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find(":true"), std::string::npos) << r.body;

    EXPECT_EQ(Get("/api/server/0", bare).status, 403);
    EXPECT_EQ(Get("/api/server/0").body, "{}");

    // /rdp/<number> is the console page, unchecked and unaudited.
    const int64_t connects = Count("SELECT count(*) FROM audit WHERE claim=12");
    r = Get("/rdp/12", bare);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<"), std::string::npos);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=12"), connects);
    // /rdp/<vm id> checks cVm_Connect and leaves a row either way.
    EXPECT_EQ(Get("/rdp/" + vm, bare).status, 403);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=12 AND result=1 AND username='bare'"),
              1);
    r = Get("/rdp/" + vm);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, Get("/rdp/12", bare).body);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=12 AND result=0 AND "
                    "username='administrator'"),
              1);
}

TEST_F(HvApiTest, LimitedRoleSeesOnlyItsVms) {
    AddSim("sim://itest-d?vms=6&seed=2");
    JsonDocument doc = LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 6; });
    ASSERT_EQ(doc.Root()["vms"].Size(), 6u);
    const std::string mine = doc.Root()["vms"].At(0)["id"].AsText();
    const std::string other = doc.Root()["vms"].At(1)["id"].AsText();
    Exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES (2,'ops','{"cVms_View":true,)"
         R"("cVm_Start":true,"cVm_TabCp":true}','[{"id":")" +
         mine + R"(","name":"m"}]'))");
    ASSERT_EQ(Post("/api/user/0", R"({"id":0,"name":"lim","pwd":"pw","roleId":2})").status, 201);
    const std::string lim = Session("lim", "pw");
    doc = LiveWhen([](const JsonValue&) { return true; }, lim);
    ASSERT_EQ(doc.Root()["vms"].Size(), 1u);
    EXPECT_EQ(doc.Root()["vms"].At(0)["id"].AsText(), mine);
    EXPECT_EQ(Get("/api/vm/general/" + mine, lim).status, 200);
    EXPECT_EQ(Get("/api/vm/general/" + other, lim).status, 403);
    EXPECT_EQ(Get("/api/vm/checkpoints/" + other, lim).status, 403);
    EXPECT_EQ(Post("/api/vm/state", R"({"vmId":")" + other + R"(","state":2})", lim).status, 403);
    EXPECT_EQ(Count("SELECT count(*) FROM audit WHERE claim=13 AND result=1 AND resource<>''"), 1);
    EXPECT_EQ(Get("/api/servers", lim).status, 403);
    EXPECT_EQ(Get("/api/server/info/1", lim).status, 403);
    EXPECT_EQ(Post("/api/server/state", R"({"id":1,"state":0})", lim).status, 403);
    EXPECT_EQ(Post("/api/server/state", R"({"id":1,"state":7})").status, 403);
}

// The tag of the gzip form names the same bytes as the plain tag.
std::string GzipTagOf(const std::string& plainTag) {
    return plainTag.substr(0, plainTag.size() - 1) + "-gzip\"";
}

TEST_F(HvApiTest, LiveDataCompressedAndTagged) {
    const int id = AddSim("sim://gzip01?vms=40&seed=9");
    LiveWhen(
        [&](const JsonValue& r) { return ServerStatus(r, id) == "OK" && r["vms"].Size() == 40; });
    const std::string cookie = CookieHeader(admin_);
    auto live = [&](const std::string& headers, const std::string& verb = "GET") {
        HttpClient c(hbr_.Port());
        return c.Request(verb + " /api/livedata HTTP/1.1\r\nHost: t\r\n" + cookie + headers +
                         (verb == "POST" ? "Content-Length: 0\r\n" : "") + "\r\n");
    };
    // The pollers change the data now and then: a pair of replies is compared only when a plain
    // reply before and after it carry the same tag, so both describe the same bytes.
    bool compared = false;
    bool notModified = false;
    for (int attempt = 0; attempt < 40 && !(compared && notModified); ++attempt) {
        const HttpReply before = live("");
        const HttpReply gz = live("Accept-Encoding: deflate, gzip;q=0.9, br\r\n");
        const HttpReply again = live("If-None-Match: \"other\", " + before.Header("ETag") + "\r\n");
        const HttpReply gzAgain =
            live("Accept-Encoding: gzip\r\nIf-None-Match: " + gz.Header("ETag") + "\r\n");
        const HttpReply after = live("");
        ASSERT_EQ(before.status, 200);
        EXPECT_EQ(before.Header("Vary"), "Accept-Encoding");
        EXPECT_FALSE(before.HasHeader("Content-Encoding"));
        EXPECT_EQ(before.Header("Content-Type"), "application/javascript; charset=utf-8");
        EXPECT_EQ(before.Header("Cache-Control"), "no-store");
        ASSERT_EQ(gz.status, 200);
        EXPECT_EQ(gz.Header("Content-Encoding"), "gzip");
        EXPECT_EQ(gz.Header("Vary"), "Accept-Encoding");
        EXPECT_LT(gz.body.size(), before.body.size());
        if (before.Header("ETag") != after.Header("ETag")) continue;
        EXPECT_EQ(gz.Header("ETag"), GzipTagOf(before.Header("ETag")));
        EXPECT_EQ(Gunzip(gz.body), before.body);
        EXPECT_EQ(before.body, after.body);
        compared = true;
        // Unchanged since the tag the client holds: 304 with no body, the tag and Vary kept.
        EXPECT_EQ(again.status, 304);
        EXPECT_EQ(again.body, "");
        EXPECT_FALSE(again.HasHeader("Content-Length"));
        EXPECT_EQ(again.Header("ETag"), before.Header("ETag"));
        EXPECT_EQ(again.Header("Vary"), "Accept-Encoding");
        EXPECT_EQ(gzAgain.status, 304);
        EXPECT_EQ(gzAgain.Header("ETag"), gz.Header("ETag"));
        notModified = again.status == 304 && gzAgain.status == 304;
    }
    EXPECT_TRUE(compared && notModified) << "the live data never held still for five requests";

    const HttpReply plain = live("");
    // A tag of the other form, gzip refused by its quality, and a POST never answer 304.
    const HttpReply crossed = live("If-None-Match: " + GzipTagOf(plain.Header("ETag")) + "\r\n");
    EXPECT_NE(crossed.status, 304);
    const HttpReply refused = live("Accept-Encoding: gzip;q=0, identity\r\n");
    EXPECT_EQ(refused.status, 200);
    EXPECT_FALSE(refused.HasHeader("Content-Encoding"));
    EXPECT_TRUE(refused.body.starts_with("{\"vms\":["));
    const HttpReply posted = live("If-None-Match: *\r\n", "POST");
    EXPECT_EQ(posted.status, 201);
    EXPECT_FALSE(posted.body.empty());

    // A change of the data gives a new tag, and the old tag no longer answers 304.
    const std::string oldTag = plain.Header("ETag");
    AddSim("sim://gzip02?vms=3&seed=4");
    LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 43; });
    const HttpReply changed = live("If-None-Match: " + oldTag + "\r\n");
    EXPECT_EQ(changed.status, 200);
    EXPECT_NE(changed.Header("ETag"), oldTag);
    EXPECT_FALSE(changed.Header("ETag").empty());
}

TEST_F(HvApiTest, LimitedRoleLiveDataIsTaggedAndCompressedToo) {
    AddSim("sim://gzlim1?vms=4&seed=6");
    JsonDocument doc = LiveWhen([&](const JsonValue& r) { return r["vms"].Size() == 4; });
    const std::string mine = doc.Root()["vms"].At(2)["id"].AsText();
    Exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES (2,'ops','{"cVms_View":true}',)"
         R"('[{"id":")" +
         mine + R"(","name":"m"}]'))");
    ASSERT_EQ(Post("/api/user/0", R"({"id":0,"name":"lgz","pwd":"pw","roleId":2})").status, 201);
    const std::string lim = Session("lgz", "pw");
    HttpClient c(hbr_.Port());
    const HttpReply gz = c.Get("/api/livedata", CookieHeader(lim) + "Accept-Encoding: gzip\r\n");
    ASSERT_EQ(gz.status, 200);
    EXPECT_EQ(gz.Header("Content-Encoding"), "gzip");
    JsonDocument limited;
    ASSERT_TRUE(ParseJson(Gunzip(gz.body), limited)) << Gunzip(gz.body);
    ASSERT_EQ(limited.Root()["vms"].Size(), 1u);
    EXPECT_EQ(limited.Root()["vms"].At(0)["id"].AsText(), mine);
    EXPECT_FALSE(gz.Header("ETag").empty());
}

TEST_F(HvApiTest, DemoModeShowsASimulatedLocalHost) {
    HbrProcess::Options o;
    o.args = {"run-exe", "-url", "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/",
              "-demo"};
    // The port of the options above is the one the process listens on.
    const std::string port = o.args[2].substr(17, o.args[2].size() - 18);
    HbrProcess demo(o);
    ASSERT_TRUE(demo.Ready()) << demo.Output();
    HttpClient login(static_cast<uint16_t>(std::stoi(port)));
    const std::string cookie =
        CookieOf(login.Post("/login", "usr=administrator&pwd=bravo",
                            "Content-Type: application/x-www-form-urlencoded\r\n"));
    JsonDocument doc;
    const auto end = std::chrono::steady_clock::now() + 20s;
    do {
        HttpClient c(static_cast<uint16_t>(std::stoi(port)));
        ASSERT_TRUE(ParseJson(c.Get("/api/livedata", CookieHeader(cookie)).body, doc));
        if (doc.Root()["vms"].Size() > 0) break;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < end);
    EXPECT_GE(doc.Root()["vms"].Size(), 10u);
    std::set<std::string> states;
    for (size_t i = 0; i < doc.Root()["vms"].Size(); ++i)
        states.insert(doc.Root()["vms"].At(i)["state"].AsText());
    EXPECT_TRUE(states.count("2") && states.count("99999") && states.count("6") &&
                states.count("9"));
    EXPECT_EQ(doc.Root()["servers"].At(0)["status"].AsText(), "OK");
}

}  // namespace
}  // namespace hbr
