#pragma once
// One logged-in user. The router keeps these in its session table and fills the identity
// members; the user store fills the rights members.
#include <cstdint>
#include <string>
#include <vector>

namespace hbr {

struct Session {
    int32_t userId = 0;  // users.id; 0 for a group-based integrated login and a fresh record
    int32_t roleId = 0;
    std::string userName;
    std::string pwd;           // users.pwd as read at lookup, empty for NULL
    int64_t lastActivity = 0;  // milliseconds since system start
    std::string clientAddress;
    bool canViewVms = false;
    bool canViewHosts = false;
    std::string assignedVms;               // j_vms text(s) of the applying role(s); empty: all
    std::vector<std::string> windowsGroups;  // "DOMAIN\group"
    std::vector<std::string> claimSets;      // one role's j_claims text each
};

}  // namespace hbr
