#include "store/rights.h"

#include <SQLiteCpp/Statement.h>

#include <mutex>
#include <optional>

#include "store/audit.h"
#include "store/claims.h"
#include "store/records.h"
#include "store/users.h"
#include "store/vm_limits.h"

namespace hbr {
namespace {

std::mutex g_lookupLock;
std::function<std::string(const std::string&)> g_vmNameLookup;

std::string VmName(const std::string& vmId) {
    std::function<std::string(const std::string&)> lookup;
    {
        std::lock_guard<std::mutex> lock(g_lookupLock);
        lookup = g_vmNameLookup;
    }
    return lookup ? lookup(vmId) : std::string();
}

// The servers' `name` of the last row selected for this id (id 0 selects them all).
std::string ServerName(SQLite::Database& db, int32_t serverId) {
    std::string rows;
    if (!SelectServers(db, "name", serverId, rows)) return {};
    JsonDocument doc;
    if (!ParseJson(rows, doc) || !doc.Root().IsArray() || doc.Root().Size() == 0) return {};
    return doc.Root().At(doc.Root().Size() - 1)["name"].AsText();
}

enum class StoredRole { Missing, Unreadable, Read };

// The stored role `roleId` as an object. Unreadable when its row (its claims or VM list) does
// not parse, or the read failed.
StoredRole ReadStoredRole(SQLite::Database& db, int32_t roleId, JsonDocument& doc) {
    std::string text;
    RoleJson(db, roleId, text);
    if (text.empty()) return StoredRole::Missing;
    if (!ParseJson(text, doc) || !doc.Root().IsObject()) return StoredRole::Unreadable;
    const JsonValue& claims = doc.Root()["claims"];
    return claims.IsNull() || claims.IsObject() ? StoredRole::Read : StoredRole::Unreadable;
}

// The posted role may be handed out by this session: it is the session's own role, or one the
// session could have made itself.
bool MayHandOutRole(SQLite::Database& db, const Session& session, int32_t roleId,
                    std::string& reason) {
    if (roleId == session.roleId) return true;
    JsonDocument doc;
    const StoredRole stored = ReadStoredRole(db, roleId, doc);
    if (stored == StoredRole::Missing) {
        // A role that does not exist grants nothing today, but the user would hold whatever
        // role is later created under that id, with claims the editor never had to hold.
        reason = "unknown role";
        return false;
    }
    if (stored == StoredRole::Unreadable) {
        // A role whose stored text does not read grants nothing; only the built-in
        // administrator, who may grant everything, hands it out.
        reason = "unreadable role";
        return session.userId == 1;
    }
    return CanGrantRole(session, doc.Root(), reason);
}

// The role user `userId` holds now; nothing for an unknown user or a failed read.
std::optional<int32_t> CurrentRoleOf(SQLite::Database& db, int32_t userId) {
    try {
        SQLite::Statement statement(db, "SELECT roleId FROM users WHERE id=?");
        statement.bind(1, userId);
        if (statement.executeStep()) return statement.getColumn(0).getInt();
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The name and role of user `userId`; false for an unknown user or a failed read.
bool ReadUser(SQLite::Database& db, int32_t userId, std::string& name, int32_t& roleId) {
    try {
        SQLite::Statement statement(db, "SELECT name, roleId FROM users WHERE id=?");
        statement.bind(1, userId);
        if (!statement.executeStep()) return false;
        name = statement.getColumn(0).isNull() ? std::string() : statement.getColumn(0).getString();
        roleId = statement.getColumn(1).getInt();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool CheckUserDelete(SQLite::Database& db, const Session& session, int32_t userId,
                     std::string& reason) {
    std::string name;
    int32_t roleId = 0;
    const bool known = ReadUser(db, userId, name, roleId);
    // The same rules as an edit of that user: never user 1 or oneself, and only a user whose
    // role the session could hand out (so no one of a higher rank).
    bool allowed = HasClaim(session, cUsers_Edit) && HasClaim(session, cUsers_Delete) &&
                   userId != 1 && userId != session.userId;
    if (allowed && known) allowed = MayHandOutRole(db, session, roleId, reason);
    WriteAudit(db, session, cUsers_Delete, allowed ? 0 : 1, name,
               reason.empty() ? std::nullopt : std::optional<std::string_view>(reason));
    return allowed;
}

bool CheckRoleDelete(SQLite::Database& db, const Session& session, int32_t roleId,
                     std::string& reason) {
    JsonDocument doc;
    const StoredRole stored = ReadStoredRole(db, roleId, doc);
    const std::string name = doc.Root()["name"].AsText();
    bool allowed =
        HasClaim(session, cRoles_Edit) && HasClaim(session, cRoles_Delete) && roleId != 1;
    // Missing: nothing to delete. Unreadable: only the built-in administrator decides.
    if (allowed && stored == StoredRole::Read)
        allowed = CanGrantRole(session, doc.Root(), reason);
    else if (allowed && stored == StoredRole::Unreadable)
        allowed = session.userId == 1;
    WriteAudit(db, session, cRoles_Delete, allowed ? 0 : 1, name,
               reason.empty() ? std::nullopt : std::optional<std::string_view>(reason));
    return allowed;
}

void SetVmNameLookup(std::function<std::string(const std::string& vmId)> lookup) {
    std::lock_guard<std::mutex> lock(g_lookupLock);
    g_vmNameLookup = std::move(lookup);
}

bool IsVmAssigned(const std::string& assignedVms, const std::string& vmId) {
    return ReadVmLimit(assignedVms).Allows(vmId);
}

bool VmClaimAllowed(const Session& session, int number, const std::string& vmId) {
    if (!session.assignedVms.empty() && !IsVmAssigned(session.assignedVms, vmId)) return false;
    return HasClaim(session, number);
}

void WriteVmAudit(SQLite::Database& db, const Session& session, int number, bool allowed,
                  const std::string& vmId) {
    const std::string name = VmName(vmId);  // the registry's locks are released after this
    WriteAudit(db, session, number, allowed ? 0 : 1, name);
}

bool CheckClaim(SQLite::Database& db, const Session& session, int number, bool audit) {
    const bool allowed = HasClaim(session, number);
    if (audit) WriteAudit(db, session, number, allowed ? 0 : 1);
    return allowed;
}

bool CheckServerClaim(SQLite::Database& db, const Session& session, int number, int32_t serverId) {
    const bool allowed = HasClaim(session, number);
    WriteAudit(db, session, number, allowed ? 0 : 1, ServerName(db, serverId));
    return allowed;
}

bool CheckVmClaim(SQLite::Database& db, const Session& session, int number, const std::string& vmId,
                  bool audit) {
    const bool allowed = VmClaimAllowed(session, number, vmId);
    if (audit) WriteVmAudit(db, session, number, allowed, vmId);
    return allowed;
}

bool CheckUserEdit(SQLite::Database& db, const Session& session, const JsonValue& user,
                   std::string& reason) {
    const bool allowed = CanEditUser(db, session, user, reason);
    WriteAudit(db, session, cUsers_Edit, allowed ? 0 : 1, user["name"].AsText());
    return allowed;
}

bool CheckRoleEdit(SQLite::Database& db, const Session& session, const JsonValue& role,
                   std::string& reason) {
    const bool allowed = HasClaim(session, cRoles_Edit) && CanGrantRole(session, role, reason);
    WriteAudit(db, session, cRoles_Edit, allowed ? 0 : 1, role["name"].AsText(), reason);
    return allowed;
}

bool CanEditUser(SQLite::Database& db, const Session& session, const JsonValue& user,
                 std::string& reason) {
    if (!HasClaim(session, cUsers_Edit)) return false;
    const JsonValue& role = user["roleId"];
    // A role id posted as text would be stored as that number while reading here as 0.
    if (!role.IsNull() && !role.IsNumber()) return false;
    const int32_t roleId = role.AsInt();
    const JsonValue& id = user["id"];
    const int32_t userId = id.AsInt();
    // A new user gets a role by the same rule as an existing one: otherwise anyone allowed to
    // edit users could create one holding the administrator role.
    if (!id.IsNumber() || userId == 0) return MayHandOutRole(db, session, roleId, reason);
    if (userId == 1) return false;
    if (userId == session.userId) return roleId == session.roleId;
    // Whoever may edit a user may also set its password: the role it holds now must be one the
    // session could hand out, too.
    if (const auto current = CurrentRoleOf(db, userId);
        current && !MayHandOutRole(db, session, *current, reason))
        return false;
    // No role posted: the user keeps the role checked above.
    if (role.IsNull()) return true;
    return MayHandOutRole(db, session, roleId, reason);
}

bool CanGrantRole(const Session& session, const JsonValue& role, std::string& reason) {
    const JsonValue& id = role["id"];
    if (id.IsNumber() && id.AsInt() == 1) return false;  // 1.5 would update row 1 too
    if (session.userId == 1) return true;
    if (id.AsInt() == session.roleId) return false;
    const JsonValue& claims = role["claims"];
    if (claims.IsObject()) {
        for (const JsonMember* m = claims.MembersBegin(); m != claims.MembersEnd(); ++m) {
            if (!m->value->IsTrue()) continue;
            if (!HasClaim(session, m->key)) {
                reason = "cl name: " + std::string(m->key);
                return false;
            }
        }
    }
    if (session.assignedVms.empty()) return true;
    const JsonValue& vms = role["vms"];
    if (!vms.IsArray() || vms.Size() == 0) {
        reason = "assigned vms empty";
        return false;
    }
    // Every element must name exactly one VM, and that VM must be one the session has: an
    // element with a second `id`, or none, would grant what this rule never looked at.
    const VmLimit mine = ReadVmLimit(session.assignedVms);
    for (auto e = vms.ElementsBegin(); e != vms.ElementsEnd(); ++e) {
        const JsonValue& vm = **e;
        size_t ids = 0;
        for (const JsonMember* m = vm.MembersBegin(); m != vm.MembersEnd(); ++m)
            if (m->key == "id") ++ids;
        if (ids != 1 || !vm["id"].IsString() || !mine.Allows(vm["id"].StringView())) {
            reason = vm["name"].AsText();
            return false;
        }
    }
    return true;
}

}  // namespace hbr
