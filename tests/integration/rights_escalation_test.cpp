// What a role limit covers, tried as an attacker would on a -demo instance: a delegated editor
// "lim" whose role is limited to two VMs and holds the user and role claims, a user "vc" who
// may only connect to consoles, and the administrator. Each case is one way past the rights
// checks that once worked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "store/json.h"
#include "support/hbr_api.h"
#include "support/hbr_process.h"
#include "support/rdp_fixture.h"

namespace hbr {
namespace {

using namespace std::chrono_literals;

HbrProcess::Options Demo() {
    HbrProcess::Options o;
    o.extraArgs = {"-demo"};
    return o;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class RightsEscalation : public ::testing::Test {
  protected:
    RightsEscalation() : hbr_(Demo()), api_(hbr_) {}

    void SetUp() override {
        ASSERT_TRUE(hbr_.Ready()) << hbr_.Output();
        admin_ = api_.Session("administrator", "bravo");
        ASSERT_FALSE(admin_.empty());
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (Vms(admin_).size() < 3 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(50ms);
        const std::vector<Vm> vms = Vms(admin_);
        ASSERT_GE(vms.size(), 3u);
        a_ = vms[0];
        a2_ = vms[1];
        b_ = vms[2];
        // lim's role as rows of today's form store it; the second VM's id in lower case.
        api_.Exec(R"(INSERT INTO roles (id,name,j_claims,j_vms) VALUES (2,'ops','{)"
                  R"("cVms_View":true,"cVm_Start":true,"cVm_Shutdown":true,"cVm_TabCp":true,)"
                  R"("cVm_Connect":true,"cUsers_View":true,"cUsers_Add":true,"cUsers_Edit":true,)"
                  R"("cUsers_Delete":true,"cRoles_View":true,"cRoles_Add":true,)"
                  R"("cRoles_Edit":true,"cRoles_Delete":true}','[{"id":")" +
                  a_.id + R"(","name":"a"},{"id":")" + Lower(a2_.id) +
                  R"(","name":"a2"}]'), (3,'consoles','{"cVm_Connect":true}',NULL))");
        limId_ = AddUser("lim", 2);
        AddUser("vc", 3);
        lim_ = api_.Session("lim", "pw");
        ASSERT_FALSE(lim_.empty());
    }

    struct Vm {
        std::string id, name;
    };
    std::vector<Vm> Vms(const std::string& cookie) {
        std::vector<Vm> out;
        JsonDocument doc;
        if (!ParseJson(api_.Get(cookie, "/api/livedata").body, doc)) return out;
        const JsonValue& vms = doc.Root()["vms"];
        for (size_t i = 0; i < vms.Size(); ++i)
            out.push_back({vms.At(i)["id"].AsText(), vms.At(i)["name"].AsText()});
        return out;
    }
    std::set<std::string> VmIds(const std::string& cookie) {
        std::set<std::string> ids;
        for (const Vm& vm : Vms(cookie)) ids.insert(vm.id);
        return ids;
    }
    int64_t AddUser(const std::string& name, int roleId) {
        const HttpReply r = api_.Post(
            admin_, "/api/user/0",
            R"({"name":")" + name + R"(","pwd":"pw","roleId":)" + std::to_string(roleId) + "}");
        EXPECT_EQ(r.status, 201) << r.body;
        return api_.Count("SELECT id FROM users WHERE name='" + name + "'");
    }
    int64_t Audits(int claim, int result, const std::string& resource) {
        return api_.Count("SELECT count(*) FROM audit WHERE claim=" + std::to_string(claim) +
                          " AND result=" + std::to_string(result) + " AND resource='" + resource +
                          "'");
    }
    // The connect message's first answer on a console opened with `cookie`.
    std::string ConsoleAnswer(const std::string& cookie, const std::string& pcb) {
        WsTestClient ws;
        if (!ws.Connect(hbr_.Port(), "/ws", cookie)) return "no socket: " + ws.Error();
        ws.SendBinary(ConnectMessage(R"({"pcb":")" + pcb + R"("})"));
        const auto m = ws.Read(20s);
        return m ? m->data : "no answer: " + ws.Error();
    }

    HbrProcess hbr_;
    HbrApi api_;
    std::string admin_, lim_;
    int64_t limId_ = 0;
    Vm a_, a2_, b_;
};

TEST_F(RightsEscalation, VmLimitsAreComparedAsIdsNotAsText) {
    // Another VM's id as the display name: stored, but it grants only the element's own id.
    HttpReply r = api_.Post(lim_, "/api/role/0",
                            R"({"name":"named","claims":{"cVms_View":true,"cVm_Start":true,)"
                            R"("cVm_Shutdown":true},"vms":[{"id":")" +
                                a_.id + R"(","name":")" + b_.id + R"("}]})");
    ASSERT_EQ(r.status, 201) << r.body;
    // A second id, a member of another name, an id that is no GUID: refused as malformed.
    for (const std::string& element :
         {R"({"id":")" + a_.id + R"(","id":")" + b_.id + R"("})",
          R"({"id":")" + a_.id + R"(","name":"x","name":")" + b_.id + R"("})",
          R"({"id":")" + a_.id + R"(","vm":")" + b_.id + R"("})", std::string(R"({"id":"x"})"),
          std::string(R"({"name":"x"})")}) {
        r = api_.Post(lim_, "/api/role/0",
                      R"({"name":"twice","claims":{"cVm_Start":true},"vms":[)" + element + "]}");
        EXPECT_EQ(r.status, 400) << element;
    }
    EXPECT_EQ(api_.Count("SELECT count(*) FROM roles WHERE name='twice'"), 0);

    const int64_t named = api_.Count("SELECT id FROM roles WHERE name='named'");
    ASSERT_EQ(api_.Post(lim_, "/api/user/0",
                        R"({"name":"u1","pwd":"pw","roleId":)" + std::to_string(named) + "}")
                  .status,
              201);
    const std::string u1 = api_.Session("u1", "pw");
    EXPECT_EQ(VmIds(u1), std::set<std::string>{a_.id});
    EXPECT_EQ(api_.Get(u1, "/api/vm/general/" + b_.id).status, 403);
    EXPECT_EQ(api_.Post(u1, "/api/vm/state", R"({"vmId":")" + b_.id + R"(","state":4})").status,
              403);
    EXPECT_EQ(Audits(15, 1, b_.name), 1);

    // A stored limit names its VMs in any letter case.
    EXPECT_EQ(VmIds(lim_), (std::set<std::string>{a_.id, a2_.id}));
    EXPECT_EQ(api_.Get(lim_, "/api/vm/general/" + a2_.id).status, 200);
    EXPECT_EQ(api_.Get(lim_, "/api/vm/general/" + b_.id).status, 403);
}

TEST_F(RightsEscalation, UnreadableRolesGrantNothingAndOnlyTheAdministratorAssignsThem) {
    // An editor without a VM limit, and a role whose stored claims do not read.
    api_.Exec(R"(INSERT INTO roles (id,name,j_claims) VALUES (4,'editors',)"
              R"('{"cUsers_View":true,"cUsers_Add":true,"cUsers_Edit":true}'),)"
              R"( (9,'broken','{"cHost_Edit":true,'))");
    AddUser("ed", 4);
    const std::string ed = api_.Session("ed", "pw");
    HttpReply r = api_.Post(ed, "/api/user/0", R"({"name":"u2","pwd":"pw","roleId":9})");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM users WHERE name='u2'"), 0);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM audit WHERE claim=29 AND result=1 AND "
                         "resource='u2'"),
              1);
    // The administrator may; the role then grants nothing.
    ASSERT_EQ(api_.Post(admin_, "/api/user/0", R"({"name":"u2","pwd":"pw","roleId":9})").status,
              201);
    const std::string u2 = api_.Session("u2", "pw");
    r = api_.Get(u2, "/api/user/0");
    EXPECT_NE(r.body.find("\"cHost_Edit\":false"), std::string::npos) << r.body;
    EXPECT_EQ(api_.Get(u2, "/api/server/0").status, 403);

    // Control bytes in posted texts are stored and answered as escapes: every row and reply
    // stays valid JSON.
    r = api_.Post(admin_, "/api/role/0",
                  R"({"name":"ctl\u0001x","claims":{"cVms_View":true},)"
                  R"("vms":[{"id":")" +
                      a_.id + R"(","name":"a\u0002\u001fb"}]})");
    ASSERT_EQ(r.status, 201) << r.body;
    const int64_t ctl = api_.Count("SELECT id FROM roles WHERE name LIKE 'ctl%'");
    JsonDocument doc;
    ASSERT_TRUE(
        ParseJson(api_.Text("SELECT j_vms FROM roles WHERE id=" + std::to_string(ctl)), doc));
    EXPECT_EQ(doc.Root().At(0)["name"].AsText(),
              "a\x02\x1f"
              "b");
    r = api_.Get(admin_, "/api/role/" + std::to_string(ctl));
    ASSERT_TRUE(ParseJson(r.body, doc)) << r.body;
    EXPECT_EQ(doc.Root()["name"].AsText(), "ctl\x01x");
    ASSERT_TRUE(ParseJson(api_.Get(admin_, "/api/roles").body, doc));
}

TEST_F(RightsEscalation, CheckpointsAreActedOnOnlyThroughTheirOwnVm) {
    ASSERT_EQ(api_.Post(admin_, "/api/vm/createcp", R"({"vmId":")" + b_.id + R"("})").status, 201);
    JsonDocument tree;
    ASSERT_TRUE(ParseJson(api_.Get(admin_, "/api/vm/checkpoints/" + b_.id).body, tree));
    ASSERT_GE(tree.Root().Size(), 2u);
    const std::string cp = tree.Root().At(0)["id"].AsText();
    const std::string cpName = tree.Root().At(0)["name"].AsText();
    ASSERT_FALSE(cp.empty());
    const size_t before = tree.Root().Size();

    // An allowed VM as vmId, the other VM's checkpoint as cpId.
    for (const char* route : {"editcp", "deletecp", "deletecptree", "applycp"}) {
        const HttpReply r =
            api_.Post(lim_, std::string("/api/vm/") + route,
                      R"({"vmId":")" + a_.id + R"(","cpId":")" + cp + R"(","name":"taken"})");
        EXPECT_EQ(r.status, 403) << route << " " << r.body;
    }
    ASSERT_TRUE(ParseJson(api_.Get(admin_, "/api/vm/checkpoints/" + b_.id).body, tree));
    EXPECT_EQ(tree.Root().Size(), before);
    EXPECT_EQ(tree.Root().At(0)["name"].AsText(), cpName);
    // Each refusal is audited against the VM the checkpoint belongs to.
    EXPECT_EQ(Audits(19, 1, b_.name), 4);
    // A checkpoint that does not exist is no VM's either.
    EXPECT_EQ(
        api_.Post(lim_, "/api/vm/deletecp",
                  R"({"vmId":")" + a_.id + R"(","cpId":"00000000-0000-0000-0000-000000000000"})")
            .status,
        403);

    // The VM's own checkpoints stay the editor's to change.
    ASSERT_EQ(api_.Post(lim_, "/api/vm/createcp", R"({"vmId":")" + a_.id + R"("})").status, 201);
    ASSERT_TRUE(ParseJson(api_.Get(lim_, "/api/vm/checkpoints/" + a_.id).body, tree));
    ASSERT_GE(tree.Root().Size(), 2u);
    const std::string own = tree.Root().At(0)["id"].AsText();
    const HttpReply r =
        api_.Post(lim_, "/api/vm/editcp",
                  R"({"vmId":")" + a_.id + R"(","cpId":")" + own + R"(","name":"mine"})");
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_EQ(Audits(19, 0, a_.name), 2);
}

TEST_F(RightsEscalation, ConsoleTargetsNeedTheClaimOfWhatTheyName) {
    const std::string vc = api_.Session("vc", "pw");
    // Server 1 written as a GUID: a server's console, which needs cHost_Connect.
    EXPECT_EQ(ConsoleAnswer(vc, "00000001-0000-0000-0000-000000000000"), "E:Access Denied");
    EXPECT_EQ(Audits(3, 1, "Local Hyper-V server"), 1);
    EXPECT_EQ(ConsoleAnswer(vc, "1"), "E:Access Denied");
    EXPECT_EQ(Audits(3, 1, "Local Hyper-V server"), 2);
    // Neither a VM nor a server: no connection at all.
    EXPECT_EQ(ConsoleAnswer(vc, "no-such-target"),
              "E:The console target is neither a known VM nor a managed server.");
    EXPECT_EQ(ConsoleAnswer(vc, "12345678-1234-1234-1234-123456789ABC"),
              "E:The console target is neither a known VM nor a managed server.");
    // A VM outside the session's limit.
    EXPECT_EQ(ConsoleAnswer(lim_, b_.id), "E:Access Denied");
    EXPECT_EQ(Audits(12, 1, b_.name), 1);
}

TEST_F(RightsEscalation, DeletingNeedsTheRightsThatEditingNeeds) {
    api_.Exec(R"(INSERT INTO roles (id,name,j_claims) VALUES (5,'mighty','{"cHost_Edit":true}'),)"
              R"( (6,'mighty2','{"cHost_Edit":true}'))");
    const std::string boss = std::to_string(AddUser("boss", 5));
    EXPECT_EQ(
        api_.Post(lim_, "/api/user/" + boss, R"({"id":)" + boss + R"(,"comment":"x"})").status,
        403);
    EXPECT_EQ(api_.Delete(lim_, "/api/user/" + boss).status, 403);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM users WHERE name='boss'"), 1);
    EXPECT_EQ(Audits(30, 1, "boss"), 1);
    EXPECT_EQ(api_.Delete(lim_, "/api/role/6").status, 403);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM roles WHERE id=6"), 1);
    EXPECT_EQ(Audits(34, 1, "mighty2"), 1);
    EXPECT_EQ(api_.Delete(lim_, "/api/role/2").status, 403);  // its own role

    // What the editor could have made it may delete, with the delete claims.
    HttpReply r = api_.Post(lim_, "/api/role/0",
                            R"({"name":"small","claims":{"cVm_Start":true},"vms":[{"id":")" +
                                a_.id + R"(","name":"a"}]})");
    ASSERT_EQ(r.status, 201) << r.body;
    const std::string small = std::to_string(api_.Count("SELECT id FROM roles WHERE name='small'"));
    ASSERT_EQ(
        api_.Post(lim_, "/api/user/0", R"({"name":"minor","pwd":"pw","roleId":)" + small + "}")
            .status,
        201);
    const std::string minor = std::to_string(api_.Count("SELECT id FROM users WHERE name='minor'"));
    // Without cUsers_Delete and cRoles_Delete, editing does not include deleting.
    const auto setClaim = [&](const std::string& claim, bool on) {
        api_.Exec("UPDATE roles SET j_claims=replace(j_claims,'\"" + claim +
                  "\":" + (on ? "false" : "true") + "','\"" + claim +
                  "\":" + (on ? "true" : "false") + "') WHERE id=2");
        return api_.Session("lim", "pw");
    };
    setClaim("cRoles_Delete", false);
    const std::string editor = setClaim("cUsers_Delete", false);
    EXPECT_EQ(api_.Delete(editor, "/api/user/" + minor).status, 403);
    const std::string deleter = setClaim("cUsers_Delete", true);
    EXPECT_EQ(api_.Delete(deleter, "/api/user/" + minor).status, 200);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM users WHERE name='minor'"), 0);
    EXPECT_EQ(api_.Delete(deleter, "/api/role/" + small).status, 403);
    EXPECT_EQ(api_.Delete(setClaim("cRoles_Delete", true), "/api/role/" + small).status, 200);
    EXPECT_EQ(api_.Count("SELECT count(*) FROM roles WHERE name='small'"), 0);
}

TEST_F(RightsEscalation, DisabledRolesGrantNothing) {
    api_.Exec(
        R"(INSERT INTO roles (id,name,j_claims) VALUES (7,'viewers','{"cUsers_View":true}'))");
    AddUser("v1", 7);
    const std::string open = api_.Session("v1", "pw");
    ASSERT_EQ(api_.Get(open, "/api/users").status, 200);
    ASSERT_EQ(api_.Post(admin_, "/api/role/7", R"({"id":7,"disabled":true})").status, 201);
    EXPECT_EQ(api_.Get(open, "/api/users").status, 403);  // the open session is refreshed
    const std::string fresh = api_.Session("v1", "pw");
    ASSERT_FALSE(fresh.empty());  // still logs in, with nothing
    EXPECT_EQ(api_.Get(fresh, "/api/users").status, 403);
    // Enabled again, the role grants again.
    ASSERT_EQ(api_.Post(admin_, "/api/role/7", R"({"id":7,"disabled":false})").status, 201);
    EXPECT_EQ(api_.Get(fresh, "/api/users").status, 200);

    // A role that still has users is not deleted, and says why.
    const HttpReply r = api_.Delete(admin_, "/api/role/7");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "error: the role still has users");
    EXPECT_EQ(api_.Count("SELECT count(*) FROM roles WHERE id=7"), 1);
}

TEST_F(RightsEscalation, PasswordChangeOrResetEndsTheUsersOtherSessions) {
    const std::string other = api_.Session("lim", "pw");
    ASSERT_EQ(api_.Get(other, "/api/users").status, 200);
    const std::string id = std::to_string(limId_);
    ASSERT_EQ(api_.Post(lim_, "/api/changepassword/" + id, R"({"pwd0":"pw","pwd1":"pw2"})").status,
              201);
    EXPECT_EQ(api_.Get(lim_, "/api/users").status, 200);  // the session that changed it stays
    EXPECT_EQ(api_.Get(other, "/api/users").status, 403);

    // A reset by an editor ends every session of that user, and none of the editor's.
    const std::string third = api_.Session("lim", "pw2");
    ASSERT_EQ(api_.Post(admin_, "/api/user/" + id, R"({"id":)" + id + R"(,"pwd":"pw3"})").status,
              201);
    EXPECT_EQ(api_.Get(lim_, "/api/users").status, 403);
    EXPECT_EQ(api_.Get(third, "/api/users").status, 403);
    EXPECT_EQ(api_.Get(admin_, "/api/users").status, 200);
    EXPECT_FALSE(api_.Session("lim", "pw3").empty());
    // Other edits of the user leave its sessions open.
    const std::string fourth = api_.Session("lim", "pw3");
    ASSERT_EQ(api_.Post(admin_, "/api/user/" + id, R"({"id":)" + id + R"(,"comment":"c"})").status,
              201);
    EXPECT_EQ(api_.Get(fourth, "/api/users").status, 200);
}

TEST_F(RightsEscalation, ActionsOnAVmNoHostHoldsAnswerAnError) {
    const std::string unknown = "12345678-1234-1234-1234-123456789ABC";
    for (const char* route : {"state", "createcp", "revert"}) {
        const HttpReply r = api_.Post(admin_, std::string("/api/vm/") + route,
                                      R"({"vmId":")" + unknown + R"(","state":2})");
        EXPECT_EQ(r.status, 500) << route;
        EXPECT_EQ(r.body, "error: no managed server holds the VM") << route;
    }
    // A known VM still answers as before.
    EXPECT_EQ(api_.Post(admin_, "/api/vm/createcp", R"({"vmId":")" + a_.id + R"("})").status, 201);
}

}  // namespace
}  // namespace hbr
