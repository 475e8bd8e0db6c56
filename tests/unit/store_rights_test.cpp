#include <gtest/gtest.h>

#include "store/claims.h"
#include "store/rights.h"
#include "store/users.h"
#include "support/store_db.h"

namespace hbr {
namespace {

using test::Parsed;
using test::TestDb;

constexpr const char* kVmA = "AAAAAAAA-0000-0000-0000-000000000001";
constexpr const char* kVmB = "BBBBBBBB-0000-0000-0000-000000000002";
constexpr const char* kVmC = "CCCCCCCC-0000-0000-0000-000000000003";

// Roles: 2 "editors" (cUsers_Edit, cRoles_Edit, cVm_Connect, cVms_View), 3 "starters" (adds
// cVm_Start), 4 "viewers" (cVms_View only). Users: 2 ed (editors), 3 st (starters), 4 vi (viewers).
struct RightsTest : ::testing::Test {
    TestDb t;
    void SetUp() override {
        t.db->exec(R"(
            INSERT INTO roles (name, j_claims) VALUES
              ('editors', '{"cUsers_Edit":true,"cRoles_Edit":true,"cVm_Connect":true,"cVms_View":true}'),
              ('starters', '{"cUsers_Edit":true,"cVm_Start":true}'),
              ('viewers', '{"cVms_View":true}');
            INSERT INTO users (name, roleId) VALUES ('ed', 2), ('st', 3), ('vi', 4);
            INSERT INTO servers (name, host) VALUES ('h2', 'sim://h2');
        )");
        SetVmNameLookup(nullptr);
    }
    void TearDown() override { SetVmNameLookup(nullptr); }
    Session Login(const char* name) {
        Session s;
        EXPECT_TRUE(FindLoginUser(*t.db, name, s));
        s.clientAddress = "10.1.1.1";
        return s;
    }
    std::string LastAudit() {
        return t.Text(
            "SELECT claim||'|'||result||'|'||ifnull(resource,'NULL')||'|'||"
            "ifnull(description,'NULL') FROM audit ORDER BY id DESC LIMIT 1");
    }
    bool EditUser(const Session& s, const char* json, std::string* why = nullptr) {
        std::string reason;
        const bool ok = CanEditUser(*t.db, s, *Parsed(json), reason);
        if (why) *why = reason;
        return ok;
    }
    bool Grant(const Session& s, const char* json, std::string* why = nullptr) {
        std::string reason;
        const bool ok = CanGrantRole(s, *Parsed(json), reason);
        if (why) *why = reason;
        return ok;
    }
};

TEST_F(RightsTest, CheckClaimAuditsOnlyWhenAsked) {
    const Session ed = Login("ed");
    EXPECT_TRUE(CheckClaim(*t.db, ed, cVm_Connect, false));
    EXPECT_EQ(t.Count("SELECT count(*) FROM audit"), 0);
    EXPECT_FALSE(CheckClaim(*t.db, ed, cVm_Start, true));
    EXPECT_EQ(LastAudit(), "13|1|NULL|NULL");
    EXPECT_EQ(t.Text("SELECT username||userId||userip FROM audit"), "ed210.1.1.1");
    EXPECT_FALSE(CheckClaim(*t.db, ed, 77, true));
}

TEST_F(RightsTest, CheckServerClaimNamesTheServer) {
    const Session admin = Login("administrator");
    EXPECT_TRUE(CheckServerClaim(*t.db, admin, cHost_Shutdown, 1));
    EXPECT_EQ(LastAudit(), "4|0|Local Hyper-V server|NULL");
    CheckServerClaim(*t.db, admin, cHost_Restart, 0);  // all rows: the last one's name
    EXPECT_EQ(LastAudit(), "5|0|h2|NULL");
    CheckServerClaim(*t.db, admin, cHost_Restart, 99);
    EXPECT_EQ(LastAudit(), "5|0||NULL");
    EXPECT_FALSE(CheckServerClaim(*t.db, Login("vi"), cHost_Restart, 2));
    EXPECT_EQ(LastAudit(), "5|1|h2|NULL");
}

TEST_F(RightsTest, CheckVmClaimHonoursAssignedVms) {
    Session ed = Login("ed");
    EXPECT_TRUE(CheckVmClaim(*t.db, ed, cVm_Connect, kVmC, true));  // not limited
    EXPECT_EQ(LastAudit(), "12|0||NULL");                           // no registry: no name

    SetVmNameLookup([](const std::string& id) { return id == kVmC ? "vm-c" : ""; });
    ed.assignedVms =
        std::string("[{\"id\":\"") + kVmA + "\",\"name\":\"a\"}][{\"id\":\"" + kVmB + "\"}]";
    EXPECT_TRUE(CheckVmClaim(*t.db, ed, cVm_Connect, kVmB, false));
    EXPECT_FALSE(CheckVmClaim(*t.db, ed, cVm_Connect, kVmC, true));
    EXPECT_EQ(LastAudit(), "12|1|vm-c|NULL");
    EXPECT_FALSE(CheckVmClaim(*t.db, ed, cVm_Start, kVmA, false));  // assigned, claim missing
    // Pieces of an assigned id are not assigned.
    EXPECT_FALSE(CheckVmClaim(*t.db, ed, cVm_Connect, "", false));
    EXPECT_FALSE(CheckVmClaim(*t.db, ed, cVm_Connect, "AAAAAAAA", false));
}

TEST_F(RightsTest, CanGrantRoleRulesInOrder) {
    const Session admin = Login("administrator");
    Session ed = Login("ed");
    std::string why;
    // 1. the built-in role, for everybody
    EXPECT_FALSE(Grant(admin, R"({"id":1,"name":"administrator"})", &why));
    EXPECT_EQ(why, "");
    EXPECT_FALSE(Grant(admin, R"({"id":1.5})"));
    // 2. the built-in administrator may grant anything else
    EXPECT_TRUE(Grant(admin, R"({"id":2,"claims":{"anything":true}})"));
    // 3. nobody edits their own role
    EXPECT_FALSE(Grant(ed, R"({"id":2,"claims":{}})", &why));
    EXPECT_EQ(why, "");
    // 4. every granted claim must be held
    EXPECT_FALSE(Grant(ed, R"({"id":0,"claims":{"cVm_Connect":true,"cVm_Start":true}})", &why));
    EXPECT_EQ(why, "cl name: cVm_Start");
    EXPECT_TRUE(Grant(ed, R"({"claims":{"cVm_Connect":true,"cVm_Start":false,"x":1}})"));
    // 5. an unlimited editor needs no VM list
    EXPECT_TRUE(Grant(ed, R"({"id":4,"vms":null})"));
    // 6. a limited editor must give a VM list
    ed.assignedVms = std::string("[{\"id\":\"") + kVmA + "\"},{\"id\":\"" + kVmB + "\"}]";
    for (const char* role : {R"({"id":4})", R"({"id":4,"vms":null})", R"({"id":4,"vms":[]})",
                             R"({"id":4,"vms":{"id":"x"}})"}) {
        EXPECT_FALSE(Grant(ed, role, &why)) << role;
        EXPECT_EQ(why, "assigned vms empty") << role;
    }
    // 7. of its own VMs only, named by the first one missing
    const std::string withC = std::string("{\"id\":4,\"vms\":[{\"id\":\"") + kVmA +
                              "\",\"name\":\"A\"},{\"id\":\"" + kVmC + "\",\"name\":\"vm C\"}]}";
    EXPECT_FALSE(Grant(ed, withC.c_str(), &why));
    EXPECT_EQ(why, "vm C");
    EXPECT_FALSE(Grant(ed, R"({"id":4,"vms":[{"name":"no id"}]})", &why));
    EXPECT_EQ(why, "no id");
    // 8. all found
    const std::string own = std::string("{\"id\":4,\"vms\":[{\"id\":\"") + kVmB + "\"}]}";
    EXPECT_TRUE(Grant(ed, own.c_str()));
}

TEST_F(RightsTest, CanEditUserRulesInOrder) {
    const Session admin = Login("administrator");
    const Session ed = Login("ed");
    const Session vi = Login("vi");
    std::string why;
    // 1. the claim
    EXPECT_FALSE(EditUser(vi, R"({"id":4,"roleId":4})"));
    // a role id given as text is refused: it would be stored as that number
    EXPECT_FALSE(EditUser(ed, R"({"id":4,"roleId":"1"})"));
    // 3. a new user gets a role the editor could hand out
    EXPECT_TRUE(EditUser(ed, R"({"name":"n","roleId":2})"));
    EXPECT_TRUE(EditUser(ed, R"({"id":0,"name":"n","roleId":4})"));
    EXPECT_FALSE(EditUser(ed, R"({"id":0,"name":"n","roleId":1})"));
    EXPECT_FALSE(EditUser(ed, R"({"id":"3","name":"n","roleId":3})", &why));
    EXPECT_EQ(why, "cl name: cVm_Start");
    EXPECT_TRUE(EditUser(admin, R"({"id":0,"name":"n","roleId":1})"));
    // 4. the built-in administrator, for everybody
    EXPECT_FALSE(EditUser(admin, R"({"id":1,"roleId":1})"));
    EXPECT_FALSE(EditUser(admin, R"({"id":1.2,"roleId":1})"));
    // 5. one's own record keeps one's own role
    EXPECT_TRUE(EditUser(ed, R"({"id":2,"roleId":2,"comment":"me"})"));
    EXPECT_FALSE(EditUser(ed, R"({"id":2,"roleId":4})"));
    // 6. another user may get the editor's own role...
    EXPECT_TRUE(EditUser(ed, R"({"id":4,"roleId":2})"));
    // 7. ...or a role the editor could grant
    EXPECT_TRUE(EditUser(ed, R"({"id":4,"roleId":4})"));
    EXPECT_FALSE(EditUser(ed, R"({"id":4,"roleId":3})", &why));
    EXPECT_EQ(why, "cl name: cVm_Start");
    EXPECT_TRUE(EditUser(ed, R"({"id":4,"comment":"no role posted"})"));
    // A user holding a role the editor could not grant is out of reach (its password too).
    EXPECT_FALSE(EditUser(ed, R"({"id":3,"roleId":2,"pwd":"mine now"})", &why));
    EXPECT_EQ(why, "cl name: cVm_Start");
    t.db->exec("INSERT INTO users (name, roleId) VALUES ('second admin', 1)");
    EXPECT_FALSE(EditUser(ed, R"({"id":5,"pwd":"x"})"));
    EXPECT_TRUE(EditUser(admin, R"({"id":5,"pwd":"x"})"));
    // A role that does not exist is never handed out: whoever holds its id would get the
    // claims of a role created later under it.
    EXPECT_FALSE(EditUser(ed, R"({"id":4,"roleId":99})", &why));
    EXPECT_EQ(why, "unknown role");
    EXPECT_FALSE(EditUser(ed, R"({"id":0,"name":"new","roleId":99})"));
    EXPECT_FALSE(EditUser(admin, R"({"id":4,"roleId":99})"));
}

TEST_F(RightsTest, EditChecksWriteTheirAuditRows) {
    const Session ed = Login("ed");
    std::string reason;
    EXPECT_FALSE(CheckUserEdit(*t.db, ed, *Parsed(R"({"id":4,"roleId":3,"name":"vi"})"), reason));
    EXPECT_EQ(LastAudit(), "29|1|vi|NULL");
    EXPECT_TRUE(CheckUserEdit(*t.db, ed, *Parsed(R"({"id":4,"roleId":2})"), reason));
    EXPECT_EQ(LastAudit(), "29|0||NULL");

    reason.clear();
    EXPECT_FALSE(CheckRoleEdit(
        *t.db, ed, *Parsed(R"({"id":0,"name":"new","claims":{"cVm_Start":true}})"), reason));
    EXPECT_EQ(reason, "cl name: cVm_Start");
    EXPECT_EQ(LastAudit(), "33|1|new|cl name: cVm_Start");
    reason.clear();
    EXPECT_TRUE(CheckRoleEdit(*t.db, ed, *Parsed(R"({"id":4,"name":"viewers"})"), reason));
    EXPECT_EQ(LastAudit(), "33|0|viewers|");
    // Without cRoles_Edit the role rule is not even asked.
    reason.clear();
    EXPECT_FALSE(CheckRoleEdit(*t.db, Login("st"), *Parsed(R"({"id":4})"), reason));
    EXPECT_EQ(LastAudit(), "33|1||");
}

}  // namespace
}  // namespace hbr
