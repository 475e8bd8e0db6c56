#include "store/users.h"

#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>

#include <cstdio>
#include <mutex>

#include "cli/process_state.h"
#include "store/claims.h"
#include "store/database.h"
#include "store/json.h"
#include "store/password.h"

namespace hbr {
namespace {

std::string Text(const SQLite::Column& column) {
    return column.isNull() ? std::string() : column.getString();
}

void ReplaceWithError(std::string& out, const std::exception& e) {
    out = "error: ";
    out += e.what();
}

bool LookupUser(SQLite::Database& db, std::string_view name, Session& session,
                bool excludeWindowsAccounts) {
    std::string query =
        "SELECT users.id, users.roleId, users.name, users.pwd, roles.j_claims, roles.j_vms, "
        "roles.b_disabled FROM users LEFT JOIN roles ON users.roleId = roles.Id";
    query += " WHERE users.b_disabled = 0 AND";
    query += session.userId != 0 ? " users.id=?" : " users.name = ? COLLATE NOCASE";
    if (excludeWindowsAccounts) query += " AND users.name NOT LIKE '%\\%'";

    session.claimSets.clear();
    session.assignedVms.clear();
    bool found = false;
    try {
        SQLite::Statement statement(db, query);
        if (session.userId != 0)
            statement.bind(1, session.userId);
        else
            statement.bind(1, std::string(name));
        if (statement.executeStep()) {
            session.userId = statement.getColumn(0).getInt();
            session.roleId = statement.getColumn(1).getInt();
            session.userName = Text(statement.getColumn(2));
            session.pwd = Text(statement.getColumn(3));
            // A disabled role grants nothing; its VM limit still holds.
            const bool roleDisabled = statement.getColumn(6).getInt() != 0;
            if (!roleDisabled) session.claimSets.push_back(Text(statement.getColumn(4)));
            session.assignedVms = Text(statement.getColumn(5));
            found = true;
        }
    } catch (const std::exception&) {
        session.claimSets.clear();
        session.assignedVms.clear();
    }
    // Also on failure: a session whose user vanished must not keep its view flags.
    UpdateViewFlags(session);
    return found;
}

}  // namespace

bool FindLoginUser(SQLite::Database& db, std::string_view name, Session& session) {
    return LookupUser(db, name, session, !Config().ntlmMode);
}

bool ResolveWindowsUser(SQLite::Database& db, std::string_view account, Session& session) {
    if (LookupUser(db, account, session, false)) return true;

    session.userName = std::string(account);
    session.assignedVms.clear();
    session.claimSets.clear();
    bool found = false;
    bool unlimited = false;
    for (const std::string& group : session.windowsGroups) {
        try {
            SQLite::Statement statement(
                db,
                "SELECT j_claims, j_vms FROM roles WHERE b_disabled = 0 AND name=? COLLATE NOCASE");
            statement.bind(1, group);
            if (!statement.executeStep()) continue;
            std::string claims = Text(statement.getColumn(0));
            std::string vms = Text(statement.getColumn(1));
            session.claimSets.push_back(std::move(claims));
            if (vms.empty()) unlimited = true;
            session.assignedVms += vms;
            found = true;
        } catch (const std::exception&) {
            // This group gives nothing; the others still count.
        }
    }
    if (unlimited) session.assignedVms.clear();
    UpdateViewFlags(session);
    return found;
}

void CurrentUserJson(const Session& session, std::string& out) {
    out += "{";
    AppendJsonInt(out, "id", session.userId);
    AppendJsonString(out, "name", session.userName);
    AppendJsonRaw(out, "ntlm", Config().ntlmMode ? "true" : "false");
    out += "claims:{";
    for (const ClaimInfo& claim : ClaimTable())
        AppendJsonRaw(out, claim.name, HasClaim(session, claim.name) ? "true" : "false");
    StripTrailingCommas(out);
    out += "}}";
}

void UserJson(SQLite::Database& db, int32_t id, std::string& out) {
    try {
        SQLite::Statement statement(
            db,
            "SELECT users.id, users.name, users.comment, users.b_disabled, roles.j_claims FROM "
            "users "
            "LEFT JOIN roles ON users.roleId = roles.Id WHERE users.Id = ? ");
        statement.bind(1, id);
        std::string user;
        RowsToJson(statement, user, true);
        if (user.size() < 3 || user.back() != '}') return;  // no such user
        user.pop_back();
        user += ",";
        AppendJsonRaw(user, "ntlm", Config().ntlmMode ? "true" : "false");
        StripTrailingCommas(user);
        user += "}";
        out += user;
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

void ListUsers(SQLite::Database& db, std::string& out) {
    try {
        SQLite::Statement statement(
            db, std::string("SELECT users.id, users.roleId, users.name, users.lastLogon, "
                            "users.comment, users.b_disabled, roles.name as roleName FROM users "
                            "LEFT JOIN roles ON users.roleId = roles.Id") +
                    " WHERE users.id NOT IN (1)");
        RowsToJson(statement, out, false);
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

void ListRoles(SQLite::Database& db, std::string& out) {
    try {
        SQLite::Statement statement(
            db,
            std::string("\nSELECT roles.id,roles.name,roles.b_disabled,roles.comment, "
                        "COUNT(users.id) AS countUsers\nFROM roles\nLEFT JOIN users ON roles.id "
                        "= users.roleId\n") +
                " WHERE roles.id NOT IN (1)" + " GROUP BY roles.id;");
        RowsToJson(statement, out, false);
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

void RoleJson(SQLite::Database& db, int32_t id, std::string& out) {
    try {
        SQLite::Statement statement(db, "SELECT * FROM roles where id = ?");
        statement.bind(1, id);
        std::string role;
        RowsToJson(statement, role, true);
        if (role.size() < 3) return;  // no such role
        out += role;
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

void ListServers(SQLite::Database& db, std::string& out) {
    try {
        // The password itself never leaves; whether it can still be read does, so that the
        // servers page asks for it again after the key file was lost.
        SQLite::Statement statement(db,
                                    "SELECT id,name,host,user,b_disabled,comment,"
                                    "hbr_password_lost(password) AS b_passwordLost FROM servers");
        RowsToJson(statement, out, false);
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

void SetPassword(SQLite::Database& db, const Session& session, std::string_view password,
                 std::string& out) {
    try {
        SQLite::Statement statement(db, "UPDATE users SET pwd=? WHERE id=?;");
        const std::string digest = SaltedPasswordDigest(password);
        if (digest.empty()) {
            out = "error: the password digest cannot be made";
            return;
        }
        statement.bind(1, digest);
        statement.bind(2, session.userId);
        statement.exec();
        // A user deleted while logged in would otherwise be told the change succeeded.
        if (statement.getChanges() == 0) out = "error: the user does not exist";
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

void ResetAdministratorPassword(SQLite::Database& db) {
    SQLite::Statement statement(db, "UPDATE users SET pwd=? WHERE id=1;");
    statement.bind(1, PasswordDigest(kDefaultPassword));
    statement.exec();
    if (statement.getChanges() == 0) throw SQLite::Exception("the user with id 1 does not exist");
}

void TouchLastLogon(SQLite::Database& db, const Session& session) {
    char query[128];
    std::snprintf(query, sizeof query,
                  "UPDATE users SET lastLogon=(datetime('now','localtime')) WHERE id=%d;",
                  session.userId);
    db.tryExec(query);
}

bool IsDefaultPasswordInUse(SQLite::Database& db) {
    std::string stored;
    try {
        SQLite::Statement statement(db, "SELECT pwd FROM users WHERE id=1");
        if (!statement.executeStep() || statement.getColumn(0).isNull()) return false;
        stored = statement.getColumn(0).getString();
    } catch (const std::exception&) {
        return false;
    }
    // The default password stays the default after its row is upgraded to a salted digest at
    // login, so the row is verified, not compared. The answer is kept per stored text: every
    // anonymous view of the login page asks, and a key derivation each time would hand out
    // CPU time to anybody.
    static std::mutex lock;
    static std::string cachedDigest;
    static bool cachedAnswer = false;
    {
        std::lock_guard guard(lock);
        if (!cachedDigest.empty() && cachedDigest == stored) return cachedAnswer;
    }
    const bool answer = VerifyPassword(kDefaultPassword, stored);
    std::lock_guard guard(lock);
    cachedDigest = stored;
    cachedAnswer = answer;
    return answer;
}

void UpgradePasswordDigest(SQLite::Database& db, Session& session, std::string_view password) {
    if (!DigestNeedsUpgrade(session.pwd) || session.userId == 0) return;
    const std::string digest = SaltedPasswordDigest(password);
    if (digest.empty()) return;
    try {
        // Only the row that was verified: a password changed meanwhile is not overwritten.
        SQLite::Statement statement(db, "UPDATE users SET pwd=? WHERE id=? AND pwd=?;");
        statement.bind(1, digest);
        statement.bind(2, session.userId);
        statement.bind(3, session.pwd);
        statement.exec();
        if (statement.getChanges() == 1) session.pwd = digest;
    } catch (const std::exception&) {
        // The old digest keeps working; the next login tries again.
    }
}

}  // namespace hbr
