#include <gtest/gtest.h>
#include <sqlite3.h>

#include "store/audit.h"
#include "store/claims.h"
#include "support/store_db.h"

namespace hbr {
namespace {

using test::Parsed;
using test::TestDb;

int CountStatement(unsigned, void* context, void*, void*) {
    ++*static_cast<int*>(context);
    return 0;
}

struct AuditTest : ::testing::Test {
    TestDb t;
    void SetUp() override {
        t.db->exec(R"(
            INSERT INTO audit (date,userId,username,claim,resource,userip,result,description) VALUES
              ('2024-03-04 23:59:59', 1, 'administrator', 100, NULL, '10.0.0.1', 0, NULL),
              ('2024-03-05 00:00:00', 2, 'Admin2', 13, 'vm1', '10.0.0.2', 1, 'why'),
              ('2024-03-05 12:30:00', 3, 'badmin', 29, 'bob', '10.0.0.3', 0, NULL),
              ('2024-03-05 23:59:59', 0, 'CORP\eve', 101, NULL, '10.0.0.4', 0, NULL),
              ('2024-03-06 08:00:00', 4, 'zed', 77, 'x', '10.0.0.5', 1, NULL);
        )");
    }
    std::string Query(std::string_view start, std::string_view limit, std::string_view sort,
                      std::string_view filter, bool admin = true) {
        std::string out;
        QueryAudit(*t.db, out, start, limit, sort, filter, admin);
        return out;
    }
    // The page's rows, parsed after quoting the bare "data" key.
    std::vector<std::string> Users(const std::string& page) {
        std::vector<std::string> users;
        if (page.rfind("{data:[", 0) != 0) return {"<" + page + ">"};
        Parsed p("{\"data\"" + page.substr(5));
        for (auto e = (*p)["data"].ElementsBegin(); e != (*p)["data"].ElementsEnd(); ++e)
            users.push_back((**e)["username"].AsText());
        return users;
    }
    int64_t Total(const std::string& page) {
        const auto at = page.rfind("\"total\":");
        return at == std::string::npos ? -1 : std::stoll(page.substr(at + 8));
    }
};

TEST_F(AuditTest, WriteAuditTakesTheSessionsIdentity) {
    Session s;
    s.userId = 7;
    s.userName = "al";
    s.clientAddress = "::1";
    WriteAudit(*t.db, s, cVm_Start, 1, "vm-9", "cl name: x");
    WriteAudit(*t.db, s, kClaimLogout, 0);
    EXPECT_EQ(t.Text("SELECT userId||username||claim||resource||userip||result||description "
                     "FROM audit WHERE id=6"),
              "7al13vm-9::11cl name: x");
    EXPECT_EQ(t.Text("SELECT resource FROM audit WHERE id=7"), "<null>");
    EXPECT_EQ(t.Text("SELECT description FROM audit WHERE id=7"), "<null>");
    EXPECT_EQ(t.Count("SELECT date = datetime(date) FROM audit WHERE id=7"), 1);

    TempDir dir;
    SQLite::Database empty(dir.Path() + "/e.db", SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    // No table: the trail fails closed, the quiet variant says so, and nothing is made in the
    // foreign file.
    EXPECT_THROW(WriteAudit(empty, s, 1, 0), AuditTrailUnwritable);
    EXPECT_FALSE(TryWriteAudit(empty, s, 1, 0));
    EXPECT_EQ(empty.execAndGet("SELECT count(*) FROM sqlite_master").getInt(), 0);
    EXPECT_TRUE(TryWriteAudit(*t.db, s, 1, 0));
}

TEST_F(AuditTest, PageShapeWithEmptyTextsForNulls) {
    const std::string page = Query("0", "1", "", "");
    EXPECT_EQ(page,
              R"({data:[{"date":"2024-03-04 23:59:59","username":"administrator","claim":100,)"
              R"("sclaim":"Login","resource":"","userip":"10.0.0.1","result":0,)"
              R"("description":""}],"total":5})");
    const std::string last = Query("4", "10", "", "");
    EXPECT_NE(last.find(R"("claim":77,"sclaim":"",)"), std::string::npos);
    EXPECT_EQ(Query("10", "10", "", ""), R"({data:[],"total":5})");
}

TEST_F(AuditTest, OnlyTheAdministratorSeesBuiltInAndGroupRows) {
    EXPECT_EQ(Users(Query("0", "50", "", "", false)),
              (std::vector<std::string>{"Admin2", "badmin", "zed"}));
    EXPECT_EQ(Total(Query("0", "50", "", "", false)), 3);
    EXPECT_EQ(Total(Query("0", "50", "", "", true)), 5);
    EXPECT_EQ(Users(Query("0", "50", "", R"([{"property":"username","value":"corp"}])", false)),
              std::vector<std::string>{});
}

TEST_F(AuditTest, UserNameFilterIsACaseInsensitivePrefix) {
    for (const char* op : {"eq", "lt", "gt", "", "whatever"}) {
        const std::string filter =
            std::string(R"([{"property":"username","value":"adm","operator":")") + op + "\"}]";
        EXPECT_EQ(Users(Query("0", "50", R"([{"property":"date","direction":"ASC"}])", filter)),
                  (std::vector<std::string>{"administrator", "Admin2"}))
            << op;
    }
    // Two conditions are joined by AND; an empty array adds none.
    EXPECT_EQ(Users(Query("0", "50", "",
                          R"([{"property":"username","value":"adm"},)"
                          R"({"property":"result","value":"1"}])")),
              std::vector<std::string>{"Admin2"});
    EXPECT_EQ(Total(Query("0", "50", "", "[]")), 5);
    EXPECT_EQ(Total(Query("0", "50", "", "not json")), 5);
    EXPECT_EQ(Total(Query("0", "50", "", R"({"property":"username","value":"x"})")), 5);
}

TEST_F(AuditTest, DateFilters) {
    const auto f = [](const char* op, const char* day) {
        return std::string(R"([{"property":"date","operator":")") + op + R"(","value":")" + day +
               "\"}]";
    };
    EXPECT_EQ(Users(Query("0", "50", "", f("eq", "2024-03-05"))),
              (std::vector<std::string>{"Admin2", "badmin", "CORP\\eve"}));
    EXPECT_EQ(Users(Query("0", "50", "", f("gt", "2024-03-05"))),
              (std::vector<std::string>{"Admin2", "badmin", "CORP\\eve", "zed"}));
    // The stored date-and-time sorts after the bare day, so "lt" keeps earlier days only.
    EXPECT_EQ(Users(Query("0", "50", "", f("lt", "2024-03-05"))),
              std::vector<std::string>{"administrator"});
    EXPECT_EQ(Users(Query("0", "50", "", f("<", "2024-03-06"))),
              (std::vector<std::string>{"administrator", "Admin2", "badmin", "CORP\\eve"}));
    // Non-administrators combine it with their own condition.
    EXPECT_EQ(Total(Query("0", "50", "", f("eq", "2024-03-05"), false)), 2);
}

TEST_F(AuditTest, SortingAndPaging) {
    EXPECT_EQ(Users(Query("0", "50", R"([{"property":"username","direction":"ASC"}])", "")),
              (std::vector<std::string>{"Admin2", "administrator", "badmin", "CORP\\eve", "zed"}));
    const std::string page = Query("1", "2", R"([{"property":"date","direction":"desc"}])", "");
    EXPECT_EQ(Users(page), (std::vector<std::string>{"CORP\\eve", "badmin"}));
    EXPECT_EQ(Total(page), 5);
    // Only the first element counts.
    EXPECT_EQ(
        Users(Query("0", "1", R"([{"property":"claim","direction":"DESC"},{"property":"x; DROP"}])",
                    "")),
        std::vector<std::string>{"CORP\\eve"});
    EXPECT_EQ(Users(Query("0", "1", R"([{"property":"result"}])", "")).size(), 1u);
}

TEST_F(AuditTest, RequestTextsCannotChangeTheStatement) {
    int statements = 0;
    sqlite3_trace_v2(t.db->getHandle(), SQLITE_TRACE_STMT, CountStatement, &statements);
    const struct {
        const char* start;
        const char* limit;
        const char* sort;
        const char* filter;
        const char* error;
    } refused[] = {
        {"0", "10; DELETE FROM audit", "", "", "error: invalid limit"},
        {"0", "", "", "", "error: invalid limit"},
        {"0", "-1", "", "", "error: invalid limit"},
        {"0", "1e3", "", "", "error: invalid limit"},
        {"", "10", "", "", "error: invalid start"},
        {"0 --", "10", "", "", "error: invalid start"},
        {"0", "10", R"([{"property":"date; DROP TABLE audit","direction":"ASC"}])", "",
         "error: unknown sort property"},
        {"0", "10", R"([{"property":"password"}])", "", "error: unknown sort property"},
        {"0", "10", R"([{}])", "", "error: unknown sort property"},
        {"0", "10", R"([{"property":"date","direction":"DESC, id"}])", "",
         "error: invalid sort direction"},
        {"0", "10", R"([{"property":"date","direction":"ASC /*"}])", "",
         "error: invalid sort direction"},
        {"0", "10", "", R"([{"property":"1=1 OR username","value":"a"}])",
         "error: unknown filter property"},
        {"0", "10", "", R"([{"property":"userId","value":"1"}])", "error: unknown filter property"},
        {"0", "10", "", R"([{"value":"a"}])", "error: unknown filter property"},
        {"0", "10", "", R"([{"property":"date","operator":"= 1 OR 1=1 --","value":"x"}])",
         "error: invalid filter operator"},
        {"0", "10", "", R"([{"property":"date","operator":"","value":"x"}])",
         "error: invalid filter operator"},
    };
    for (const auto& r : refused) {
        std::string out = "before";
        QueryAudit(*t.db, out, r.start, r.limit, r.sort, r.filter, false);
        EXPECT_EQ(out, r.error) << r.limit << r.start << r.sort << r.filter;
    }
    EXPECT_EQ(statements, 0);

    // Values are bound, so quotes, semicolons and comments are only text to match.
    for (const char* value : {R"(x\" OR 1=1 --)", "a'; DELETE FROM audit; --", "%\\\"); --"}) {
        const std::string filter =
            std::string(R"([{"property":"username","value":")") + value + "\"}]";
        EXPECT_EQ(Query("0", "10", "", filter), R"({data:[],"total":0})") << value;
    }
    EXPECT_EQ(Query("0", "10", "", R"([{"property":"date","operator":"eq","value":"date"}])"),
              R"({data:[],"total":0})");
    sqlite3_trace_v2(t.db->getHandle(), 0, nullptr, nullptr);
    EXPECT_EQ(t.Count("SELECT count(*) FROM audit"), 5);
}

TEST_F(AuditTest, DatabaseFailureReplacesTheText) {
    t.db->exec("DROP TABLE audit");
    std::string out = "before";
    QueryAudit(*t.db, out, "0", "10", "", "", true);
    EXPECT_EQ(out, "error: no such table: audit");
}

}  // namespace
}  // namespace hbr
