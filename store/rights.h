#pragma once
// The checks every guarded action asks before it acts, most of them leaving an audit row.
#include <SQLiteCpp/Database.h>

#include <cstdint>
#include <functional>
#include <string>

#include "store/json.h"
#include "web/session.h"

namespace hbr {

// HasClaim of claim `number`; with `audit`, a row with the claim and the result.
bool CheckClaim(SQLite::Database& db, const Session& session, int number, bool audit);
// HasClaim of claim `number`; always audited with the server's name as resource.
bool CheckServerClaim(SQLite::Database& db, const Session& session, int number, int32_t serverId);
// The claim, and the VM among the session's assigned VMs when it is limited to some; with
// `audit`, a row naming the VM.
bool CheckVmClaim(SQLite::Database& db, const Session& session, int number, const std::string& vmId,
                  bool audit);
// CanEditUser, audited under cUsers_Edit with the posted name.
bool CheckUserEdit(SQLite::Database& db, const Session& session, const JsonValue& user,
                   std::string& reason);
// cRoles_Edit and CanGrantRole, audited under cRoles_Edit with the posted name and the reason.
bool CheckRoleEdit(SQLite::Database& db, const Session& session, const JsonValue& role,
                   std::string& reason);

// Whether the session may save the posted user object (new or existing).
bool CanEditUser(SQLite::Database& db, const Session& session, const JsonValue& user,
                 std::string& reason);
// Whether the session may save or hand out the role object; a refusal may fill `reason`.
bool CanGrantRole(const Session& session, const JsonValue& role, std::string& reason);

// True when `vmId` is one of the VMs the assigned-VMs text (one or more j_vms JSON texts)
// grants, compared as ids (letter case aside).
bool IsVmAssigned(const std::string& assignedVms, const std::string& vmId);

// CheckVmClaim's answer without its audit row, and the row on its own (resource: the VM's
// name), for routes that decide more before they write it.
bool VmClaimAllowed(const Session& session, int number, const std::string& vmId);
void WriteVmAudit(SQLite::Database& db, const Session& session, int number, bool allowed,
                  const std::string& vmId);

// Deleting is editing: the delete claim (cUsers_Delete, cRoles_Delete) and the rules that an
// edit of the same record passes. Audited under the delete claim with the record's name and
// the reason.
bool CheckUserDelete(SQLite::Database& db, const Session& session, int32_t userId,
                     std::string& reason);
bool CheckRoleDelete(SQLite::Database& db, const Session& session, int32_t roleId,
                     std::string& reason);

// The server registry's name of a VM id, for audit rows; without one the name is empty.
void SetVmNameLookup(std::function<std::string(const std::string& vmId)> lookup);

}  // namespace hbr
