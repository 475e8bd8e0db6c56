#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "cli/process_state.h"
#include "platform/hbr_exception.h"
#include "store/claims.h"
#include "store/database.h"
#include "store/password.h"
#include "store/records.h"
#include "support/store_db.h"

namespace hbr {
namespace {

using test::Parsed;
using test::TestDb;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs OpenOrCreateAt expecting a failure; returns the exception text and what was printed.
std::pair<std::string, std::string> OpenFailure(const std::string& path) {
    testing::internal::CaptureStdout();
    std::string message = "<no exception>";
    try {
        OpenOrCreateAt(path);
    } catch (const CHbrException& e) {
        message = e.Message();
    }
    return {message, testing::internal::GetCapturedStdout()};
}

TEST(Bootstrap, NewFileGetsSchemaAndSeedRows) {
    TestDb t;
    SQLite::Statement tables(*t.db,
                             "SELECT name FROM sqlite_master WHERE type='table' ORDER BY rowid");
    std::vector<std::string> names;
    while (tables.executeStep()) names.push_back(tables.getColumn(0).getString());
    EXPECT_EQ(names, (std::vector<std::string>{"settings", "roles", "users", "servers", "audit"}));

    for (const char* index :
         {"idx_settings_name", "idx_roles_name", "idx_users_name", "idx_servers_name",
          "idx_servers_host", "idx_audit_date", "idx_audit_userId", "idx_audit_username",
          "idx_audit_claim", "idx_audit_resource", "idx_audit_userip", "idx_audit_result"}) {
        EXPECT_EQ(t.Count(std::string("SELECT count(*) FROM sqlite_master WHERE type='index' AND "
                                      "name='") +
                          index + "'"),
                  1)
            << index;
    }
    EXPECT_EQ(t.Count("SELECT count(*) FROM sqlite_master WHERE type IN ('trigger','view')"), 0);

    EXPECT_EQ(t.Count("SELECT count(*) FROM servers"), 1);
    EXPECT_EQ(t.Text("SELECT name FROM servers WHERE id=1"), "Local Hyper-V server");
    EXPECT_EQ(t.Text("SELECT host FROM servers WHERE id=1"), "<null>");
    EXPECT_EQ(t.Count("SELECT b_disabled FROM servers WHERE id=1"), 0);

    EXPECT_EQ(t.Count("SELECT count(*) FROM roles"), 1);
    EXPECT_EQ(t.Text("SELECT name FROM roles WHERE id=1"), "administrator");
    const std::string claims = t.Text("SELECT j_claims FROM roles WHERE id=1");
    EXPECT_EQ(claims.find(' '), std::string::npos);
    Parsed parsed(claims);
    ASSERT_TRUE((*parsed).IsObject());
    ASSERT_EQ((*parsed).Size(), 41u);
    size_t i = 0;
    for (auto m = (*parsed).MembersBegin(); m != (*parsed).MembersEnd(); ++m, ++i) {
        EXPECT_EQ(m->key, ClaimTable()[i].name);
        EXPECT_TRUE(m->value->IsTrue());
    }

    EXPECT_EQ(t.Count("SELECT count(*) FROM users"), 1);
    EXPECT_EQ(t.Text("SELECT name FROM users WHERE id=1"), "administrator");
    EXPECT_EQ(t.Count("SELECT roleId FROM users WHERE id=1"), 1);
    EXPECT_TRUE(VerifyPassword("bravo", t.Text("SELECT pwd FROM users WHERE id=1")));
    EXPECT_FALSE(VerifyPassword("Bravo", t.Text("SELECT pwd FROM users WHERE id=1")));
    EXPECT_EQ(t.Count("PRAGMA foreign_keys"), 1);
}

// Another process holding the file makes statements wait instead of failing at once.
TEST(Bootstrap, ConnectionWaitsForOtherWriters) {
    TestDb t;
    EXPECT_EQ(t.db->execAndGet("PRAGMA busy_timeout").getInt(), 5000);
    // Another connection (as another process would) holds the write lock for a moment.
    SQLite::Database other(t.path, SQLite::OPEN_READWRITE);
    other.exec("BEGIN EXCLUSIVE");
    other.exec("UPDATE users SET comment = 'other' WHERE id = 1");
    std::promise<void> writing;
    std::thread holder([&] {
        writing.get_future().wait();
        // The instance's write is queued behind the lock by now or soon; either way it must
        // wait rather than fail. Far inside the 5 s budget.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        other.exec("COMMIT");
    });
    writing.set_value();
    EXPECT_NO_THROW(t.db->exec("UPDATE users SET comment = 'instance' WHERE id = 1"));
    holder.join();
    EXPECT_EQ(t.Text("SELECT comment FROM users WHERE id = 1"), "instance");
}

TEST(Bootstrap, ScriptStartsWithSettingsAndEndsWithTheSeedServer) {
    const std::string& script = BootstrapScript();
    EXPECT_EQ(script.rfind("CREATE TABLE [settings] (", 0), 0u);
    EXPECT_NE(script.find("CONSTRAINT [PK_audit] PRIMARY KEY ([id])"), std::string::npos);
    const std::string seed = "INSERT INTO servers (name) VALUES (\"Local Hyper-V server\");\n";
    ASSERT_GE(script.size(), seed.size());
    EXPECT_EQ(script.substr(script.size() - seed.size()), seed);
}

TEST(Bootstrap, SecondOpenKeepsDataAndAddsNothing) {
    TestDb t;
    std::string out;
    int64_t id = 0;
    ASSERT_TRUE(
        InsertRecord(*t.db, "roles", *Parsed(R"({"name":"ops","claims":{"a":true}})"), out, id));
    ASSERT_TRUE(
        InsertRecord(*t.db, "users", *Parsed(R"({"name":"bob","roleId":2,"pwd":"x"})"), out, id));
    ASSERT_TRUE(
        InsertRecord(*t.db, "servers", *Parsed(R"({"name":"h2","host":"sim://a"})"), out, id));
    t.db.reset();

    testing::internal::CaptureStdout();
    auto again = OpenOrCreateAt(t.path);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(again->execAndGet("SELECT count(*) FROM users").getInt(), 2);
    EXPECT_EQ(again->execAndGet("SELECT count(*) FROM roles").getInt(), 2);
    EXPECT_EQ(again->execAndGet("SELECT count(*) FROM servers").getInt(), 2);
    EXPECT_EQ(again->execAndGet("SELECT count(*) FROM servers WHERE name='Local Hyper-V server'")
                  .getInt(),
              1);
    EXPECT_EQ(again->execAndGet("PRAGMA foreign_keys").getInt(), 1);
}

TEST(Bootstrap, AuditPageIndexesAreAddedToOlderFiles) {
    TestDb t;
    t.db->exec("DROP INDEX idx_audit_date_nocase");
    t.db.reset();
    auto again = OpenOrCreateAt(t.path);
    EXPECT_EQ(again
                  ->execAndGet("SELECT count(*) FROM sqlite_master WHERE name IN "
                               "('idx_audit_date_nocase','idx_audit_page_username')")
                  .getInt(),
              2);
}

TEST(Bootstrap, MissingFolderFailsWithSqliteMessage) {
    TempDir dir;
    const std::string path = dir.Path() + "/missing/hbr.db";
    const auto [message, printed] = OpenFailure(path);
    EXPECT_EQ(message, "Failed to open db file:\nunable to open database file\n");
    EXPECT_EQ(printed, "unable to open database file\n");
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/missing"));
}

TEST(Bootstrap, CorruptFileFailsAndIsNotOverwritten) {
    TempDir dir;
    const std::string path = dir.Path() + "/hbr.db";
    std::string garbage(8192, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>('A' + i % 26);
    std::ofstream(path, std::ios::binary) << garbage;

    const auto [message, printed] = OpenFailure(path);
    EXPECT_EQ(message, "Failed to open db file:\nfile is not a database\n");
    EXPECT_EQ(printed, "file is not a database\n");
    EXPECT_EQ(ReadFile(path), garbage);
}

TEST(Bootstrap, FolderInPlaceOfTheFileFails) {
    TempDir dir;
    const auto [message, printed] = OpenFailure(dir.Path());
    EXPECT_EQ(message.rfind("Failed to open db file:\n", 0), 0u);
    EXPECT_EQ(message.back(), '\n');
    EXPECT_FALSE(printed.empty());
}

TEST(Bootstrap, FailedCreationLeavesNothingBehind) {
    // A foreign file whose audit table clashes: the whole script is rolled back.
    TempDir dir;
    const std::string path = dir.Path() + "/hbr.db";
    {
        SQLite::Database foreign(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        foreign.exec("CREATE TABLE audit (x)");
    }
    auto db = OpenOrCreateAt(path);
    EXPECT_EQ(db->execAndGet("SELECT count(*) FROM sqlite_master WHERE type='table'").getInt(), 1);
}

TEST(Schema, DeletingARoleInUseFails) {
    TestDb t;
    std::string out;
    int64_t id = 0;
    ASSERT_TRUE(
        InsertRecord(*t.db, "roles", *Parsed(R"({"name":"ops","claims":{"a":true}})"), out, id));
    ASSERT_TRUE(InsertRecord(*t.db, "users", *Parsed(R"({"name":"bob","roleId":2})"), out, id));
    DeleteRecord(*t.db, "roles", 2, out);
    EXPECT_EQ(out, "error: FOREIGN KEY constraint failed");
    EXPECT_EQ(t.Count("SELECT count(*) FROM roles"), 2);
}

TEST(Schema, NamesAndHostsAreUniqueIgnoringCase) {
    TestDb t;
    const auto fails = [&](const std::string& sql) {
        try {
            t.db->exec(sql);
        } catch (const SQLite::Exception& e) {
            return std::string(e.what()).find("UNIQUE constraint failed") != std::string::npos;
        }
        return false;
    };
    EXPECT_TRUE(fails("INSERT INTO users (name, roleId) VALUES ('ADMINISTRATOR', 1)"));
    EXPECT_TRUE(fails("INSERT INTO roles (name, j_claims) VALUES ('Administrator', '{}')"));
    EXPECT_TRUE(fails("INSERT INTO servers (name) VALUES ('local hyper-v SERVER')"));
    t.db->exec("INSERT INTO servers (name, host) VALUES ('a', 'Host1')");
    EXPECT_TRUE(fails("INSERT INTO servers (name, host) VALUES ('b', 'HOST1')"));
    // NULL hosts are distinct for the unique index.
    t.db->exec("INSERT INTO servers (name) VALUES ('c')");
    EXPECT_EQ(t.Count("SELECT count(*) FROM servers WHERE host IS NULL"), 2);
}

TEST(Connection, DefaultPathIsBuiltAndWrittenBack) {
    TempDir dir;
    InstanceConfig saved = Config();
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const std::string keepXdg = oldXdg ? oldXdg : "";
    setenv("XDG_DATA_HOME", (dir.Path() + "/share").c_str(), 1);
    Config().name = "Inst7";
    Config().dbPath.clear();
    CloseDatabase();

    EXPECT_THROW(Db(), CHbrException);
    testing::internal::CaptureStdout();
    OpenOrCreate();
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string folder = dir.Path() + "/share/VmHarbor/Inst7";
    EXPECT_EQ(printed, "Data directory: " + folder + "\n");
    EXPECT_EQ(Config().dbPath, folder + "/hbr.db");
    EXPECT_TRUE(std::filesystem::exists(folder + "/hbr.db"));
    EXPECT_EQ(Db().execAndGet("SELECT count(*) FROM users").getInt(), 1);
    CloseDatabase();
    EXPECT_FALSE(DbIsOpen());

    // A configured path is used as it is: no folder made, nothing printed.
    Config().dbPath = dir.Path() + "/own.db";
    testing::internal::CaptureStdout();
    OpenOrCreate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/own.db"));
    CloseDatabase();

    if (oldXdg)
        setenv("XDG_DATA_HOME", keepXdg.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    Config() = saved;
}

}  // namespace
}  // namespace hbr
