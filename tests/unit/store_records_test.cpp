#include <gtest/gtest.h>

#include "store/password.h"
#include "store/records.h"
#include "support/store_db.h"

namespace hbr {
namespace {

using test::Parsed;
using test::TestDb;

struct RecordsTest : ::testing::Test {
    TestDb t;
    std::string out;
    int64_t newId = -1;

    bool Insert(std::string_view table, std::string_view json) {
        out.clear();
        return InsertRecord(*t.db, table, *Parsed(json), out, newId);
    }
    bool Update(std::string_view table, std::string_view json) {
        out.clear();
        return UpdateRecord(*t.db, table, *Parsed(json), out);
    }
};

TEST_F(RecordsTest, ServerInsertMapsMembersToColumns) {
    ASSERT_TRUE(Insert("servers",
                       R"({"id":0,"name":"h2","host":"sim://h2","user":"u","password":"p",)"
                       R"("disabled":false})"))
        << out;
    EXPECT_EQ(newId, 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(t.Text("SELECT name||host||user||b_disabled FROM servers WHERE id=2"),
              "h2sim://h2u0");
    // The host's password is sealed at rest and opens to what was posted.
    EXPECT_EQ(t.Text("SELECT substr(password,1,11) FROM servers WHERE id=2"), "$aes256gcm$");
    EXPECT_EQ(t.Text("SELECT hbr_unseal(password) FROM servers WHERE id=2"), "p");
    EXPECT_EQ(t.Text("SELECT comment FROM servers WHERE id=2"), "<null>");
}

TEST_F(RecordsTest, PasswordsAreStoredAsDigests) {
    ASSERT_TRUE(Insert("users", R"({"name":"bob","roleId":1,"pwd":"s3cret"})")) << out;
    const std::string stored = t.Text("SELECT pwd FROM users WHERE id=2");
    EXPECT_EQ(stored.rfind("$pbkdf2-sha256$", 0), 0u) << stored;
    EXPECT_TRUE(VerifyPassword("s3cret", stored));

    ASSERT_TRUE(Update("users", R"({"id":2,"comment":"c"})")) << out;
    EXPECT_EQ(t.Text("SELECT pwd FROM users WHERE id=2"), stored);

    ASSERT_TRUE(Update("users", R"({"id":2,"pwd":null})")) << out;
    EXPECT_EQ(t.Text("SELECT pwd FROM users WHERE id=2"), "<null>");
}

TEST_F(RecordsTest, EmptyJsonValuesAreStoredAsNull) {
    ASSERT_TRUE(Insert("roles", R"({"name":"r","claims":{"cVm_Start":true},"vms":[]})")) << out;
    EXPECT_EQ(t.Text("SELECT j_vms FROM roles WHERE id=2"), "<null>");
    EXPECT_EQ(t.Text("SELECT j_claims FROM roles WHERE id=2"), R"({"cVm_Start":true})");

    EXPECT_FALSE(Insert("roles", R"({"name":"r2","claims":{}})"));
    EXPECT_EQ(out, "error: NOT NULL constraint failed: roles.j_claims");
    EXPECT_EQ(t.Count("SELECT count(*) FROM roles"), 2);
}

TEST_F(RecordsTest, NullsAreLeftOutOfInsertsAndClearedByUpdates) {
    ASSERT_TRUE(Insert("servers", R"({"name":"h","disabled":null,"comment":null})")) << out;
    EXPECT_EQ(t.Count("SELECT b_disabled FROM servers WHERE id=2"), 0);  // the default

    ASSERT_TRUE(Update("servers", R"({"id":2,"comment":"c"})")) << out;
    ASSERT_TRUE(Update("servers", R"({"comment":null,"id":2})")) << out;
    EXPECT_EQ(t.Text("SELECT comment FROM servers WHERE id=2"), "<null>");

    // An update writes a null under the plain name, which for b_ and j_ columns is no column.
    EXPECT_FALSE(Update("servers", R"({"id":2,"disabled":null})"));
    EXPECT_EQ(out, "error: no such column for member: disabled");
}

TEST_F(RecordsTest, NumbersAndBooleans) {
    ASSERT_TRUE(Insert("servers", R"({"name":"h","comment":2.9,"disabled":true})")) << out;
    EXPECT_EQ(t.Text("SELECT typeof(comment)||comment||b_disabled FROM servers WHERE id=2"),
              "text21");  // a TEXT column keeps the number as its text
    ASSERT_TRUE(Update("servers", R"({"id":2.7,"disabled":false})")) << out;
    EXPECT_EQ(t.Count("SELECT b_disabled FROM servers WHERE id=2"), 0);
    ASSERT_TRUE(Insert("users", R"({"name":"n","roleId":1.7})")) << out;
    // An INTEGER column takes the number truncated toward zero.
    EXPECT_EQ(t.Text("SELECT typeof(roleId)||roleId FROM users WHERE name='n'"), "integer1");
    ASSERT_FALSE(Insert("users", R"({"name":"m","roleId":1e12})"));  // no such role
    EXPECT_EQ(t.Count("SELECT count(*) FROM users WHERE name='m'"), 0);
}

TEST_F(RecordsTest, NestedJsonIsStoredFaithfully) {
    ASSERT_TRUE(Insert(
        "users", R"({"name":"n","roleId":1,"data":{"a":{"list":[7.8,"q\"uote",null,true,[]]},)"
                 R"("b":null,"q\"k":{}}})"))
        << out;
    const std::string stored = t.Text("SELECT j_data FROM users WHERE id=2");
    EXPECT_EQ(stored, R"({"a":{"list":[7,"q\"uote",null,true,[]]},"b": null,"q\"k":{}})");
    Parsed back(stored);
    ASSERT_TRUE((*back).IsObject());
    EXPECT_EQ((*back)["a"]["list"].At(1).AsText(), "q\"uote");
    EXPECT_TRUE((*back)["a"]["list"].At(2).IsNull());
    EXPECT_TRUE((*back)["q\"k"].IsObject());
}

TEST_F(RecordsTest, MemberNamesCannotAddMembersToStoredJson) {
    // Unescaped, this key would store a second, granted claim.
    ASSERT_TRUE(Insert("roles", R"({"name":"r","claims":{"x\":true,\"cUsers_Edit":true}})")) << out;
    Parsed claims(t.Text("SELECT j_claims FROM roles WHERE id=2"));
    ASSERT_EQ((*claims).Size(), 1u);
    EXPECT_TRUE((*claims)["cUsers_Edit"].IsNull());
}

TEST_F(RecordsTest, MembersThatAreNoColumnsAreRefusedBeforeAnyStatement) {
    const int64_t changes = t.db->getTotalChanges();
    const char* refused[] = {
        R"({"name":"h","bogus":"x"})",
        R"({"name":"h","comment) VALUES('a');DROP TABLE users;--":"x"})",
        R"({"name":"h","name=name,host":"x"})",
        R"({"name":true})",                  // would be b_name
        R"({"name":"h","disabled":"yes"})",  // a text goes to the plain name
        R"({"name":"h","comment":{"a":1}})",
        R"({"Name":"h"})",
        R"({"name":"h","password":null,"x y":null})",
    };
    for (const char* json : refused) {
        EXPECT_FALSE(Insert("servers", json)) << json;
        EXPECT_EQ(out.rfind("error: no such column for member: ", 0), 0u) << json << " " << out;
    }
    EXPECT_FALSE(Update("servers", R"({"id":1,"name":"x","host; DELETE FROM servers":"y"})"));
    EXPECT_EQ(out, "error: no such column for member: host??DELETE?FROM?servers");
    EXPECT_EQ(t.db->getTotalChanges(), changes);
    EXPECT_EQ(t.Text("SELECT name FROM servers WHERE id=1"), "Local Hyper-V server");
    EXPECT_EQ(t.Count("SELECT count(*) FROM users"), 1);
}

// The rights checks read "claims", "vms" and the first "roleId"; no other spelling of those
// columns may reach the statement.
TEST_F(RecordsTest, ColumnsAreReachedOnlyByTheirOneMemberName) {
    ASSERT_TRUE(Insert("roles", R"({"name":"r","claims":{"cVm_Start":true}})")) << out;
    ASSERT_TRUE(Insert("users", R"({"name":"u","roleId":2})")) << out;
    const int64_t changes = t.db->getTotalChanges();
    const std::pair<const char*, const char*> refused[] = {
        {"roles", R"({"id":2,"j_claims":"{\"cUsers_Edit\":true}"})"},
        {"roles", R"({"id":2,"b_disabled":1})"},
        {"roles", R"({"id":2,"vms":[{"id":"A"}],"j_vms":null})"},
        {"roles", R"({"id":2,"claims":{"cVm_Start":true},"claims":{"cUsers_Edit":true}})"},
        {"users", R"({"id":2,"roleId":2,"roleId":1})"},
        {"users", R"({"id":2,"disabled":false,"disabled":true})"},
    };
    for (const auto& [table, json] : refused) {
        EXPECT_FALSE(Update(table, json)) << json;
        EXPECT_EQ(out.rfind("error: ", 0), 0u) << json;
    }
    EXPECT_FALSE(Insert("users", R"({"name":"v","roleId":2,"roleId":1})"));
    EXPECT_FALSE(Insert("roles", R"({"name":"q","j_claims":"{}"})"));
    EXPECT_EQ(t.db->getTotalChanges(), changes);
    EXPECT_EQ(t.Text("SELECT j_claims FROM roles WHERE id=2"), R"({"cVm_Start":true})");
    EXPECT_EQ(t.Count("SELECT roleId FROM users WHERE id=2"), 2);

    // Clearing a JSON column by its stored name stays possible.
    ASSERT_TRUE(Update("roles", R"({"id":2,"j_vms":null})")) << out;
}

TEST_F(RecordsTest, IdIsNeverAColumnAndNamesTheRowOfAnUpdate) {
    ASSERT_TRUE(Insert("servers", R"({"id":1,"name":"other"})")) << out;
    EXPECT_EQ(newId, 2);
    EXPECT_EQ(t.Text("SELECT name FROM servers WHERE id=1"), "Local Hyper-V server");
    ASSERT_TRUE(Update("servers", R"({"name":"renamed","id":2})")) << out;
    EXPECT_EQ(t.Text("SELECT name FROM servers WHERE id=2"), "renamed");
    ASSERT_TRUE(Update("servers", R"({"id":99,"name":"ghost"})")) << out;    // no row, no error
    ASSERT_TRUE(Update("servers", R"({"id":"2","name":"nobody"})")) << out;  // names row 0
    EXPECT_EQ(t.Text("SELECT name FROM servers WHERE id=2"), "renamed");
}

TEST_F(RecordsTest, BadRecordsAndTables) {
    EXPECT_FALSE(Insert("servers", "[1,2]"));
    EXPECT_EQ(out, "error: the record is not a JSON object");
    EXPECT_FALSE(Insert("servers", "{}"));  // SQLite refuses the empty column list
    EXPECT_EQ(out.rfind("error: ", 0), 0u);
    EXPECT_FALSE(Insert("servers", R"({"id":3})"));
    EXPECT_EQ(out.rfind("error: ", 0), 0u);
    EXPECT_FALSE(Insert("servers; DROP TABLE users", R"({"name":"x"})"));
    EXPECT_EQ(out, "error: unknown table");
    EXPECT_FALSE(Insert("servers", R"({"name":"Local hyper-v SERVER"})"));
    EXPECT_EQ(out, "error: UNIQUE constraint failed: servers.name");
    DeleteRecord(*t.db, "nothing", 1, out);
    EXPECT_EQ(out, "error: unknown table");
}

TEST_F(RecordsTest, DeleteRecord) {
    out = "x";
    DeleteRecord(*t.db, "servers", 42, out);
    EXPECT_EQ(out, "");
    ASSERT_TRUE(Insert("servers", R"({"name":"h"})"));
    out = "x";
    DeleteRecord(*t.db, "servers", 2, out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(t.Count("SELECT count(*) FROM servers"), 1);
    DeleteRecord(*t.db, "roles", 1, out);  // still held by the administrator
    EXPECT_EQ(out, "error: FOREIGN KEY constraint failed");
}

TEST_F(RecordsTest, SelectServers) {
    ASSERT_TRUE(Insert("servers", R"({"name":"h2","host":"sim://x","password":"pw"})"));
    std::string rows;
    ASSERT_TRUE(SelectServers(*t.db, "id,name", 0, rows));
    EXPECT_EQ(rows, R"([{"id":1,"name":"Local Hyper-V server"},{"id":2,"name":"h2"}])");
    rows.clear();
    ASSERT_TRUE(SelectServers(*t.db, "name", 2, rows));
    EXPECT_EQ(rows, R"([{"name":"h2"}])");
    rows.clear();
    ASSERT_TRUE(SelectServers(*t.db, "", 7, rows));
    EXPECT_EQ(rows, "[]");
    rows.clear();
    ASSERT_TRUE(SelectServers(*t.db, "name,password", 2, rows));
    EXPECT_EQ(rows, R"([{"name":"h2","password":"pw"}])");  // opened for its readers
    EXPECT_FALSE(SelectServers(*t.db, "nope", 0, rows));
    EXPECT_EQ(rows, "error: no such column: nope");
}

TEST(JsonText, ArraysAndObjects) {
    Parsed v(R"([1.9,-2.9,"a\nb",false,null,{"k":[{}]},[[]]])");
    EXPECT_EQ(ArrayToJsonText(*v), R"([1,-2,"a\nb",false,null,{"k":[{}]},[[]]])");
    EXPECT_EQ(ArrayToJsonText(*Parsed("[]")), "[]");
    EXPECT_EQ(ObjectToJsonText(*Parsed("{}")), "{}");
    EXPECT_EQ(ObjectToJsonText(*Parsed(R"({"n":null,"t":true})")), R"({"n": null,"t":true})");
}

}  // namespace
}  // namespace hbr
