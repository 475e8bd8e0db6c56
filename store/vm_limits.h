#pragma once
// The list of VMs a role is limited to (`roles.j_vms`): JSON objects each naming one VM by its
// GUID in `id`, with an optional display `name`. A limit is compared by id, as a value (GUIDs
// in any letter case are equal), never by searching the stored text, so a display name or a
// second member cannot smuggle in another VM.
#include <string>
#include <string_view>
#include <vector>

#include "store/json.h"

namespace hbr {

// The VMs a session may act on.
struct VmLimit {
    bool limited = false;          // false: every VM
    std::vector<std::string> ids;  // the VMs granted when limited
    bool Allows(std::string_view vmId) const;
};

// The limit of a session's assigned-VMs text: empty means every VM; otherwise one or more
// j_vms texts one after another (one per role that applies). Fails closed: a text that is not
// a run of JSON arrays grants no VM, and an element that is not an object with exactly one
// string `id` grants nothing.
VmLimit ReadVmLimit(std::string_view assignedVms);

// True when a posted `vms` value may be stored: null (absent), or an array of objects whose
// members are exactly one `id` (a GUID) and at most one string `name`.
bool IsValidVmList(const JsonValue& vms);

// 8-4-4-4-12 hexadecimal digits, letters in any case.
bool IsVmGuid(std::string_view id);
// ASCII letters compared without case.
bool SameVmId(std::string_view a, std::string_view b);

}  // namespace hbr
