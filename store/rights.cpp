#include "store/rights.h"

#include <SQLiteCpp/Statement.h>

#include <mutex>
#include <optional>

#include "store/audit.h"
#include "store/claims.h"
#include "store/records.h"
#include "store/users.h"

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

// The posted role may be handed out by this session: it is the session's own role, or one the
// session could have made itself.
bool MayHandOutRole(SQLite::Database& db, const Session& session, int32_t roleId,
                    std::string& reason) {
    if (roleId == session.roleId) return true;
    std::string text;
    RoleJson(db, roleId, text);
    JsonDocument doc;
    ParseJson(text, doc);  // an unreadable role decides as an empty object
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

}  // namespace

void SetVmNameLookup(std::function<std::string(const std::string& vmId)> lookup) {
    std::lock_guard<std::mutex> lock(g_lookupLock);
    g_vmNameLookup = std::move(lookup);
}

bool IsVmAssigned(const std::string& assignedVms, const std::string& vmId) {
    // Quoted, so that an empty or partial id cannot match a piece of another VM's id.
    if (vmId.empty()) return false;
    return assignedVms.find("\"" + vmId + "\"") != std::string::npos;
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
    bool allowed;
    if (!session.assignedVms.empty())
        allowed = IsVmAssigned(session.assignedVms, vmId) && HasClaim(session, number);
    else
        allowed = HasClaim(session, number);
    if (audit) {
        const std::string name = VmName(vmId);  // the registry's locks are released after this
        WriteAudit(db, session, number, allowed ? 0 : 1, name);
    }
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
    for (auto e = vms.ElementsBegin(); e != vms.ElementsEnd(); ++e) {
        const JsonValue& vm = **e;
        if (!IsVmAssigned(session.assignedVms, vm["id"].AsText())) {
            reason = vm["name"].AsText();
            return false;
        }
    }
    return true;
}

}  // namespace hbr
