#include <gtest/gtest.h>

#include <set>

#include "cli/process_state.h"
#include "store/claims.h"
#include "store/password.h"
#include "store/users.h"
#include "support/store_db.h"

namespace hbr {
namespace {

using test::Parsed;
using test::TestDb;

TEST(Claims, TableIsFixed) {
    const auto& table = ClaimTable();
    ASSERT_EQ(table.size(), 41u);
    std::set<std::string> names;
    for (const ClaimInfo& c : table) names.insert(c.name);
    EXPECT_EQ(names.size(), 41u);
    EXPECT_STREQ(table[0].name, "cDBoard_View");
    EXPECT_STREQ(table[13].name, "cVm_Start");
    EXPECT_STREQ(table[14].description, "TurnOff VM");
    EXPECT_STREQ(table[29].name, "cUsers_Edit");
    EXPECT_STREQ(table[33].name, "cRoles_Edit");
    EXPECT_STREQ(table[36].description, "Edit Audit log Settings");
    EXPECT_STREQ(table[40].name, "cUser_ChangeRole");
    EXPECT_STREQ(table[40].description, "Change User Role");
    EXPECT_EQ(ClaimName(cLog_Audit), "cLog_Audit");
    EXPECT_EQ(ClaimName(41), "");
    EXPECT_EQ(ClaimName(-1), "");
}

TEST(Claims, DisplayTexts) {
    EXPECT_EQ(ClaimDisplayText(100), "Login");
    EXPECT_EQ(ClaimDisplayText(101), "Logout");
    EXPECT_EQ(ClaimDisplayText(35), "View Audit log");
    EXPECT_EQ(ClaimDisplayText(0), "View Dashboard");
    EXPECT_EQ(ClaimDisplayText(41), "");
    EXPECT_EQ(ClaimDisplayText(99), "");
    EXPECT_EQ(ClaimDisplayText(-5), "");
}

TEST(Claims, OnlyBooleanTrueInAnySetGrants) {
    Session s;
    s.claimSets = {R"({"cVm_Start":false,"cVm_Save":1,"cVm_Pause":"true"})", "not json",
                   R"({"cVm_Reset":true})"};
    EXPECT_FALSE(HasClaim(s, "cVm_Start"));
    EXPECT_FALSE(HasClaim(s, "cVm_Save"));
    EXPECT_FALSE(HasClaim(s, "cVm_Pause"));
    EXPECT_FALSE(HasClaim(s, "cVm_Edit"));
    EXPECT_TRUE(HasClaim(s, "cVm_Reset"));
    EXPECT_TRUE(HasClaim(s, cVm_Reset));
    EXPECT_FALSE(HasClaim(s, 500));
    s.claimSets = {"[\"cVm_Reset\"]", ""};
    EXPECT_FALSE(HasClaim(s, "cVm_Reset"));
}

// A database with role 2 "ops" (cVms_View, cUsers_Edit; VMs limited), role 3 "auditors"
// (disabled; cHost_View), and users bob (ops), carol (disabled), CORP\alice (ops), dave (auditors).
struct UsersTest : ::testing::Test {
    TestDb t;
    InstanceConfig saved = Config();
    void SetUp() override {
        Config().ntlmMode = false;
        t.db->exec(R"(
            INSERT INTO roles (name, j_claims, j_vms) VALUES
                ('ops', '{"cVms_View":true,"cUsers_Edit":true}', '[{"id":"VM-A"}]');
            INSERT INTO roles (name, j_claims, b_disabled, comment) VALUES
                ('auditors', '{"cHost_View":true}', 1, 'read only');
            INSERT INTO users (name, roleId, pwd) VALUES ('bob', 2, 'digest-b');
            INSERT INTO users (name, roleId, b_disabled) VALUES ('carol', 2, 1);
            INSERT INTO users (name, roleId) VALUES ('CORP\alice', 2);
            INSERT INTO users (name, roleId, comment) VALUES ('dave', 3, 'x');
        )");
    }
    void TearDown() override { Config() = saved; }
};

TEST_F(UsersTest, FormLoginFindsEnabledUsersIgnoringCase) {
    Session s;
    ASSERT_TRUE(FindLoginUser(*t.db, "BOB", s));
    EXPECT_EQ(s.userId, 2);
    EXPECT_EQ(s.roleId, 2);
    EXPECT_EQ(s.userName, "bob");
    EXPECT_EQ(s.pwd, "digest-b");
    EXPECT_EQ(s.claimSets, std::vector<std::string>{R"({"cVms_View":true,"cUsers_Edit":true})"});
    EXPECT_EQ(s.assignedVms, R"([{"id":"VM-A"}])");
    EXPECT_TRUE(s.canViewVms);
    EXPECT_FALSE(s.canViewHosts);

    Session admin;
    ASSERT_TRUE(FindLoginUser(*t.db, "Administrator", admin));
    EXPECT_EQ(admin.userId, 1);
    EXPECT_TRUE(VerifyPassword("bravo", admin.pwd));
    EXPECT_TRUE(admin.canViewHosts);
    EXPECT_EQ(admin.assignedVms, "");
}

TEST_F(UsersTest, DisabledUnknownAndWindowsNamesDoNotLogInByForm) {
    Session s;
    s.claimSets = {"{\"cVms_View\":true}"};
    s.canViewVms = true;
    EXPECT_FALSE(FindLoginUser(*t.db, "carol", s));
    EXPECT_TRUE(s.claimSets.empty());
    EXPECT_FALSE(s.canViewVms);
    EXPECT_FALSE(FindLoginUser(*t.db, "nobody", s));
    EXPECT_FALSE(FindLoginUser(*t.db, "CORP\\alice", s));
    EXPECT_FALSE(FindLoginUser(*t.db, "", s));

    Config().ntlmMode = true;
    EXPECT_TRUE(FindLoginUser(*t.db, "corp\\ALICE", s));
    EXPECT_EQ(s.userId, 4);
}

TEST_F(UsersTest, UserOfADisabledRoleLogsInWithoutClaims) {
    Session s;
    ASSERT_TRUE(FindLoginUser(*t.db, "dave", s));
    EXPECT_TRUE(s.claimSets.empty());
    EXPECT_FALSE(s.canViewHosts);
    // Enabled again, the role's claims come back at the next lookup.
    t.db->exec("UPDATE roles SET b_disabled=0 WHERE name='auditors'");
    ASSERT_TRUE(FindLoginUser(*t.db, s.userName, s));
    EXPECT_TRUE(s.canViewHosts);
}

TEST_F(UsersTest, RefreshLooksUpByIdAndDropsRightsOfADisabledUser) {
    Session s;
    ASSERT_TRUE(FindLoginUser(*t.db, "bob", s));
    t.db->exec("UPDATE users SET name='robert' WHERE id=2");
    ASSERT_TRUE(FindLoginUser(*t.db, s.userName, s));
    EXPECT_EQ(s.userName, "robert");

    t.db->exec("UPDATE users SET b_disabled=1 WHERE id=2");
    EXPECT_FALSE(FindLoginUser(*t.db, s.userName, s));
    EXPECT_TRUE(s.claimSets.empty());
    EXPECT_TRUE(s.assignedVms.empty());
    EXPECT_FALSE(s.canViewVms);
    EXPECT_EQ(s.userId, 2);  // the session stays, without rights
}

TEST_F(UsersTest, WindowsAccountGetsTheRolesOfItsGroups) {
    Config().ntlmMode = true;
    t.db->exec(R"(
        INSERT INTO roles (name, j_claims, j_vms) VALUES
            ('corp\operators', '{"cVm_Start":true}', '[{"id":"VM-1"}]'),
            ('corp\auditors', '{"cLog_Audit":true}', '[{"id":"VM-2"}]'),
            ('corp\all', '{"cVm_Save":true}', NULL);
    )");
    Session s;
    s.windowsGroups = {"CORP\\Operators", "CORP\\Nobody", "CORP\\Auditors"};
    ASSERT_TRUE(ResolveWindowsUser(*t.db, "CORP\\eve", s));
    EXPECT_EQ(s.userId, 0);
    EXPECT_EQ(s.userName, "CORP\\eve");
    EXPECT_EQ(s.claimSets.size(), 2u);
    EXPECT_TRUE(HasClaim(s, "cVm_Start"));
    EXPECT_TRUE(HasClaim(s, "cLog_Audit"));
    EXPECT_EQ(s.assignedVms, R"([{"id":"VM-1"}][{"id":"VM-2"}])");

    // One matching role without a VM list lifts the limit.
    s.windowsGroups.push_back("CORP\\All");
    ASSERT_TRUE(ResolveWindowsUser(*t.db, "CORP\\eve", s));
    EXPECT_EQ(s.assignedVms, "");
    EXPECT_EQ(s.claimSets.size(), 3u);

    // A disabled role gives nothing; no match at all is not found.
    s.windowsGroups = {"auditors"};
    EXPECT_FALSE(ResolveWindowsUser(*t.db, "CORP\\eve", s));
    EXPECT_TRUE(s.claimSets.empty());

    // A registered account wins over its groups.
    s = Session();
    s.windowsGroups = {"CORP\\Operators"};
    ASSERT_TRUE(ResolveWindowsUser(*t.db, "CORP\\Alice", s));
    EXPECT_EQ(s.userId, 4);
    EXPECT_FALSE(HasClaim(s, "cVm_Start"));
}

TEST_F(UsersTest, DisabledRegisteredAccountFallsBackToGroups) {
    Config().ntlmMode = true;
    t.db->exec("UPDATE users SET b_disabled=1 WHERE id=4");
    t.db->exec(R"(INSERT INTO roles (name, j_claims) VALUES ('corp\ops', '{"cVm_Start":true}'))");
    Session s;
    s.windowsGroups = {"CORP\\ops"};
    ASSERT_TRUE(ResolveWindowsUser(*t.db, "CORP\\alice", s));
    EXPECT_EQ(s.userId, 0);
    EXPECT_TRUE(HasClaim(s, "cVm_Start"));
    EXPECT_FALSE(HasClaim(s, "cUsers_Edit"));
}

TEST_F(UsersTest, CurrentUserJsonListsEveryClaim) {
    Session s;
    s.userId = 5;
    s.userName = "b\"o";
    s.claimSets = {R"({"cDBoard_View":true,"cUser_ChangeRole":true,"unknown":true})"};
    std::string out = "x";
    CurrentUserJson(s, out);
    EXPECT_EQ(
        out.rfind("x{\"id\":5,\"name\":\"b\\\"o\",\"ntlm\":false,claims:{\"cDBoard_View\":true,"
                  "\"cHost_View\":false,",
                  0),
        0u);
    const std::string tail = "\"cUser_ChangePassword\":false,\"cUser_ChangeRole\":true}}";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find("unknown"), std::string::npos);
    size_t count = 0;
    for (size_t p = out.find(":true"); p != std::string::npos; p = out.find(":true", p + 1))
        ++count;
    for (size_t p = out.find(":false"); p != std::string::npos; p = out.find(":false", p + 1))
        ++count;
    EXPECT_EQ(count, 42u);  // 41 claims and the ntlm flag

    Config().ntlmMode = true;
    out.clear();
    CurrentUserJson(Session(), out);
    EXPECT_NE(out.find("\"ntlm\":true,claims:{"), std::string::npos);
}

TEST_F(UsersTest, UserJsonEndsWithTheAuthenticationFlag) {
    std::string out;
    UserJson(*t.db, 5, out);
    EXPECT_EQ(
        out,
        R"({"id":5,"name":"dave","comment":"x","disabled":false,"claims":{"cHost_View":true},"ntlm":false})");
    out = "keep";
    UserJson(*t.db, 99, out);
    EXPECT_EQ(out, "keep");
}

TEST_F(UsersTest, ListsHideTheBuiltInRecords) {
    std::string users;
    ListUsers(*t.db, users);
    Parsed u(users);
    ASSERT_TRUE((*u).IsArray()) << users;
    ASSERT_EQ((*u).Size(), 4u);
    EXPECT_EQ((*u).At(0)["id"].AsInt(), 2);
    EXPECT_EQ((*u).At(0)["roleName"].AsText(), "ops");
    EXPECT_TRUE((*u).At(1)["disabled"].IsTrue());
    EXPECT_EQ(users.find("\"administrator\""), std::string::npos);
    EXPECT_EQ(users.find("pwd"), std::string::npos);

    std::string roles;
    ListRoles(*t.db, roles);
    EXPECT_EQ(
        roles,
        R"([{"id":2,"name":"ops","disabled":false,"comment": null,"countUsers":3},)"
        R"({"id":3,"name":"auditors","disabled":true,"comment":"read only","countUsers":1}])");

    std::string role;
    RoleJson(*t.db, 2, role);
    EXPECT_EQ(role, R"({"id":2,"name":"ops","claims":{"cVms_View":true,"cUsers_Edit":true},)"
                    R"("vms":[{"id":"VM-A"}],"servers": null,"disabled":false,"comment": null})");
    role = "";
    RoleJson(*t.db, 42, role);
    EXPECT_EQ(role, "");

    t.db->exec("UPDATE servers SET password='secret' WHERE id=1");
    std::string servers;
    ListServers(*t.db, servers);
    EXPECT_EQ(servers, R"([{"id":1,"name":"Local Hyper-V server","host": null,"user": null,)"
                       R"("disabled":false,"comment": null,"passwordLost":false}])");
}

TEST_F(UsersTest, DatabaseFailuresBecomeErrorTexts) {
    TempDir dir;
    SQLite::Database empty(dir.Path() + "/empty.db", SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    std::string out = "partial";
    ListUsers(empty, out);
    EXPECT_EQ(out, "error: no such table: users");
    out = "partial";
    UserJson(empty, 2, out);
    EXPECT_EQ(out, "error: no such table: users");
    out.clear();
    ListRoles(empty, out);
    EXPECT_EQ(out, "error: no such table: roles");
    Session s;
    EXPECT_FALSE(FindLoginUser(empty, "bob", s));
    EXPECT_FALSE(IsDefaultPasswordInUse(empty));
    EXPECT_THROW(ResetAdministratorPassword(empty), SQLite::Exception);
    EXPECT_NO_THROW(TouchLastLogon(empty, s));  // a failed stamp never fails a login
}

TEST_F(UsersTest, PasswordsAndDefaultPassword) {
    EXPECT_TRUE(IsDefaultPasswordInUse(*t.db));
    Session admin;
    ASSERT_TRUE(FindLoginUser(*t.db, "administrator", admin));
    std::string out;
    SetPassword(*t.db, admin, "n3w", out);
    EXPECT_EQ(out, "");
    EXPECT_FALSE(IsDefaultPasswordInUse(*t.db));
    ASSERT_TRUE(FindLoginUser(*t.db, "administrator", admin));
    EXPECT_TRUE(VerifyPassword("n3w", admin.pwd));
    EXPECT_EQ(t.Count("SELECT count(*) FROM users WHERE pwd='n3w'"), 0);

    ResetAdministratorPassword(*t.db);
    EXPECT_TRUE(IsDefaultPasswordInUse(*t.db));

    // A user deleted while logged in is not told that the change worked.
    Session gone;
    gone.userId = 77;
    SetPassword(*t.db, gone, "x", out);
    EXPECT_EQ(out.rfind("error:", 0), 0u);
}

TEST_F(UsersTest, TouchLastLogonWritesLocalTime) {
    EXPECT_EQ(t.Text("SELECT lastLogon FROM users WHERE id=2"), "<null>");
    Session s;
    s.userId = 2;
    TouchLastLogon(*t.db, s);
    const std::string stamp = t.Text("SELECT lastLogon FROM users WHERE id=2");
    EXPECT_EQ(stamp.size(), 19u);
    EXPECT_EQ(t.Count("SELECT lastLogon = datetime(lastLogon) FROM users WHERE id=2"), 1);
    EXPECT_EQ(t.Text("SELECT lastLogon FROM users WHERE id=3"), "<null>");
}

}  // namespace
}  // namespace hbr
