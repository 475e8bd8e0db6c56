#pragma once
// The fixed table of named permissions. A claim's position is its number in routes and audit
// rows; its name is the key inside a role's j_claims object.
#include <array>
#include <string_view>

#include "web/session.h"

namespace hbr {

struct ClaimInfo {
    const char* name;
    const char* description;
};

inline constexpr int kClaimCount = 41;
// Numbers that exist only in the audit trail.
inline constexpr int kClaimLogin = 100;
inline constexpr int kClaimLogout = 101;

enum ClaimNumber : int {
    cDBoard_View = 0,
    cHost_View,
    cHost_Edit,
    cHost_Connect,
    cHost_Shutdown,
    cHost_Restart,
    cHost_Log,
    cHost_Monitor,
    cVms_View,
    cVm_Edit,
    cVm_Create,
    cVm_Delete,
    cVm_Connect,
    cVm_Start,
    cVm_TurnOff,
    cVm_Shutdown,
    cVm_Pause,
    cVm_Save,
    cVm_Reset,
    cVm_TabCp,
    cVm_CpCreate,
    cVm_CpApply,
    cVm_CpDelete,
    cVm_CpRename,
    cVms_TabNetwork,
    cVms_TabReplication,
    cVms_TabMonitor,
    cUsers_View,
    cUsers_Add,
    cUsers_Edit,
    cUsers_Delete,
    cRoles_View,
    cRoles_Add,
    cRoles_Edit,
    cRoles_Delete,
    cLog_Audit,
    cLog_AuditEdit,
    cLog_System,
    cLog_SystemEdit,
    cUser_ChangePassword,
    cUser_ChangeRole,
};

const std::array<ClaimInfo, kClaimCount>& ClaimTable();

// The name of claim `number`; empty outside 0..40.
std::string_view ClaimName(int number);

// The audit view's text for a claim number: "Login", "Logout", the table description, or empty.
std::string_view ClaimDisplayText(int number);

// True when any claim set of the session has the member `name` equal to true. Sets that do not
// parse grant nothing.
bool HasClaim(const Session& session, std::string_view name);
// The same by number; numbers outside the table are never held.
bool HasClaim(const Session& session, int number);

// Recomputes the session's can-view-VMs and can-view-hosts flags from its claim sets.
void UpdateViewFlags(Session& session);

}  // namespace hbr
