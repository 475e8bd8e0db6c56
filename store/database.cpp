#include "store/database.h"

#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "cli/process_state.h"
#include "platform/hbr_exception.h"
#include "store/claims.h"
#include "store/json.h"
#include "store/password.h"
#include "store/server_secrets.h"

namespace hbr {
namespace {

std::unique_ptr<SQLite::Database> g_db;

const char kScript[] = R"sql(
CREATE TABLE [settings] (
    id INTEGER NOT NULL,
    name TEXT NOT NULL,
    value TEXT NULL,
    b_bvalue INTEGER DEFAULT 0,
    j_jvalue JSON NULL,
    CONSTRAINT [PK_settings] PRIMARY KEY ([id])
);
CREATE UNIQUE INDEX [idx_settings_name] ON [settings] (name COLLATE NOCASE);

CREATE TABLE [roles] (
    id INTEGER NOT NULL,
    name TEXT NOT NULL,
    j_claims JSON NOT NULL,
    j_vms JSON NULL,
    j_servers JSON NULL,
    b_disabled INTEGER DEFAULT 0,
    comment TEXT NULL,
    CONSTRAINT [PK_roles] PRIMARY KEY ([id])
);
CREATE UNIQUE INDEX [idx_roles_name] ON [roles] (name COLLATE NOCASE);

CREATE TABLE [users] (
    id INTEGER NOT NULL,
    roleId INTEGER NOT NULL,
    name NOT NULL,
    pwd TEXT NULL,
    first_name TEXT NULL,
    last_name TEXT NULL,
    comment TEXT NULL,
    lastLogon TEXT NULL,
    b_disabled INTEGER DEFAULT 0,
    j_vms JSON NULL,
    j_data JSON NULL,
    CONSTRAINT [PK_users] PRIMARY KEY ([id]),
    FOREIGN KEY (roleId) REFERENCES roles (id) ON UPDATE SET NULL
);
CREATE UNIQUE INDEX [idx_users_name] ON [users] (name COLLATE NOCASE);

CREATE TABLE [servers] (
    id INTEGER NOT NULL,
    name TEXT NOT NULL,
    host NULL,
    user NULL,
    password TEXT NULL,
    b_disabled INTEGER DEFAULT 0,
    comment TEXT NULL,
    CONSTRAINT [PK_servers] PRIMARY KEY ([id])
);
CREATE UNIQUE INDEX [idx_servers_name] ON [servers] (name COLLATE NOCASE);
CREATE UNIQUE INDEX [idx_servers_host] ON [servers] (host COLLATE NOCASE);

CREATE TABLE [audit] (
    id INTEGER NOT NULL,
    date TEXT NOT NULL DEFAULT (datetime('now','localtime')),
    userId INTEGER NOT NULL,
    username TEXT NOT NULL,
    claim INTEGER NOT NULL,
    resource TEXT NULL,
    userip TEXT NULL,
    result INTEGER DEFAULT 0,
    description TEXT NULL,
    CONSTRAINT [PK_audit] PRIMARY KEY ([id])
);
CREATE INDEX [idx_audit_date] ON [audit] (date);
CREATE INDEX [idx_audit_userId] ON [audit] (userId);
CREATE INDEX [idx_audit_username] ON [audit] (username COLLATE NOCASE);
CREATE INDEX [idx_audit_claim] ON [audit] (claim);
CREATE INDEX [idx_audit_resource] ON [audit] (resource COLLATE NOCASE);
CREATE INDEX [idx_audit_userip] ON [audit] (userip COLLATE NOCASE);
CREATE INDEX [idx_audit_result] ON [audit] (result);

INSERT INTO servers (name) VALUES ("Local Hyper-V server");
)sql";

// The audit page sorts by "date COLLATE NOCASE", which the BINARY index on date cannot serve,
// and filters by user-name prefix. The second index holds every column the page (and the
// non-administrator's userId condition) reads, so a prefix page is sorted from the index alone
// without a table lookup per matching row. These exist only for speed; older files get them on
// their next open.
const char kAuditPageIndexes[] = R"sql(
CREATE INDEX IF NOT EXISTS idx_audit_date_nocase ON audit (date COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS idx_audit_page_username ON audit (username COLLATE NOCASE,
    date COLLATE NOCASE, userId, claim, resource, userip, result, description);
)sql";

std::string Printf2(const char* format, int32_t a, const std::string& b) {
    const int n = std::snprintf(nullptr, 0, format, a, b.c_str());
    std::string s(static_cast<size_t>(n), '\0');
    std::snprintf(s.data(), s.size() + 1, format, a, b.c_str());
    return s;
}

void Bootstrap(SQLite::Database& db) {
    const std::string claims = AdministratorClaimObject();
    SQLite::Transaction transaction(db);
    db.exec(BootstrapScript());
    SQLite::Statement role(
        db, "\n\t\tINSERT INTO roles (name, j_claims) VALUES (\"administrator\", ?);\n\t\t");
    role.bind(1, claims);
    role.exec();
    const std::string digest = PasswordDigest(kDefaultPassword);
    db.exec(Printf2("INSERT INTO users (name, roleId, pwd) VALUES (\"administrator\", %d, \"%s\");",
                    static_cast<int32_t>(db.getLastInsertRowid()), digest));
    transaction.commit();
}

std::string DataHome() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return xdg;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/.local/share";
}

}  // namespace

SQLite::Database& Db() {
    if (!g_db) throw CHbrException("The database is not open.");
    return *g_db;
}

bool DbIsOpen() {
    return g_db != nullptr;
}

const std::string& BootstrapScript() {
    static const std::string script(kScript + 1);  // without the leading line break
    return script;
}

std::string AdministratorClaimObject() {
    std::string claims = "{";
    for (const ClaimInfo& claim : ClaimTable()) {
        claims += "\"";
        claims += claim.name;
        claims += "\":true,";
    }
    StripTrailingCommas(claims);
    claims += "}";
    return claims;
}

std::string DefaultDatabasePath(const std::string& instanceName) {
    std::error_code ec;
    // A fresh account may not have the base folder yet; failures show up when the file opens.
    std::string dir = DataHome();
    std::filesystem::create_directories(dir, ec);
    dir += "/VmHarbor";
    std::filesystem::create_directory(dir, ec);
    dir += "/" + instanceName;
    std::filesystem::create_directory(dir, ec);
    std::printf("Data directory: %s\n", dir.c_str());
    std::fflush(stdout);
    return dir + "/hbr.db";
}

std::unique_ptr<SQLite::Database> OpenOrCreateAt(const std::string& path) {
    try {
        auto db =
            std::make_unique<SQLite::Database>(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db->exec("PRAGMA foreign_keys = ON");
        InstallSecretFunctions(*db, path);
        // Another process on the file (a command-line verb, a backup) must make writes wait,
        // not fail: a failed audit insert is dropped silently.
        db->setBusyTimeout(5000);
        try {
            Bootstrap(*db);
        } catch (const SQLite::Exception& e) {
            // The first statement of the script fails this way on a file that has the schema;
            // the transaction is already rolled back and the existing data is used as it is.
            if (std::string_view(e.what()).find("] already exists") == std::string_view::npos)
                throw;
        }
        db->tryExec(kAuditPageIndexes);  // a speed aid only; the data is usable without it
        SealPlainServerPasswords(*db);
        return db;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        std::fflush(stdout);
        throw CHbrException(std::string("Failed to open db file:\n") + e.what() + "\n");
    }
}

void OpenOrCreate() {
    if (g_db) return;
    InstanceConfig& config = Config();
    if (config.dbPath.empty()) config.dbPath = DefaultDatabasePath(config.name);
    g_db = OpenOrCreateAt(config.dbPath);
}

void CloseDatabase() {
    g_db.reset();
}

}  // namespace hbr
