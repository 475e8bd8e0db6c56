#include "store/claims.h"

#include "store/json.h"

namespace hbr {

const std::array<ClaimInfo, kClaimCount>& ClaimTable() {
    static const std::array<ClaimInfo, kClaimCount> table = {{
        {"cDBoard_View", "View Dashboard"},
        {"cHost_View", "View Servers"},
        {"cHost_Edit", "Edit Servers"},
        {"cHost_Connect", "Connect Server"},
        {"cHost_Shutdown", "Shutdown Server"},
        {"cHost_Restart", "Restart Server"},
        {"cHost_Log", "View Server Log"},
        {"cHost_Monitor", "View Server Monitor"},
        {"cVms_View", "View VMs list"},
        {"cVm_Edit", "Edit VM"},
        {"cVm_Create", "Create VM"},
        {"cVm_Delete", "Delete VM"},
        {"cVm_Connect", "Connect VM"},
        {"cVm_Start", "Start VM"},
        {"cVm_TurnOff", "TurnOff VM"},
        {"cVm_Shutdown", "Shutdown VM"},
        {"cVm_Pause", "Pause VM"},
        {"cVm_Save", "Save VM"},
        {"cVm_Reset", "Reset VM"},
        {"cVm_TabCp", "Edit VM Checkpoint"},
        {"cVm_CpCreate", "Create VM Checkpoint"},
        {"cVm_CpApply", "Apply VM Checkpoint"},
        {"cVm_CpDelete", "Delete VM Checkpoint"},
        {"cVm_CpRename", "Rename VM Checkpoint"},
        {"cVms_TabNetwork", "View VM Network"},
        {"cVms_TabReplication", "View VM Replication"},
        {"cVms_TabMonitor", "View VM Monitor"},
        {"cUsers_View", "View Users"},
        {"cUsers_Add", "Add User"},
        {"cUsers_Edit", "Edit User"},
        {"cUsers_Delete", "Delete User"},
        {"cRoles_View", "View Roles"},
        {"cRoles_Add", "Add Role"},
        {"cRoles_Edit", "Edit Role"},
        {"cRoles_Delete", "Delete Role"},
        {"cLog_Audit", "View Audit log"},
        {"cLog_AuditEdit", "Edit Audit log Settings"},
        {"cLog_System", "View System log"},
        {"cLog_SystemEdit", "Edit System log Settings"},
        {"cUser_ChangePassword", "Change User Password"},
        {"cUser_ChangeRole", "Change User Role"},
    }};
    return table;
}

std::string_view ClaimName(int number) {
    if (number < 0 || number >= kClaimCount) return {};
    return ClaimTable()[static_cast<size_t>(number)].name;
}

std::string_view ClaimDisplayText(int number) {
    if (number == kClaimLogin) return "Login";
    if (number == kClaimLogout) return "Logout";
    if (number < 0 || number >= kClaimCount) return {};
    return ClaimTable()[static_cast<size_t>(number)].description;
}

bool HasClaim(const Session& session, std::string_view name) {
    if (name.empty()) return false;
    for (const std::string& set : session.claimSets) {
        JsonDocument doc;
        if (!ParseJson(set, doc)) continue;
        if (doc.Root()[name].IsTrue()) return true;
    }
    return false;
}

bool HasClaim(const Session& session, int number) {
    return HasClaim(session, ClaimName(number));
}

void UpdateViewFlags(Session& session) {
    session.canViewVms = HasClaim(session, cVms_View);
    session.canViewHosts = HasClaim(session, cHost_View);
}

}  // namespace hbr
