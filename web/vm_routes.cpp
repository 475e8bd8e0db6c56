#include "web/vm_routes.h"

#include <cctype>
#include <memory>
#include <mutex>

#include "hyperv/server_registry.h"
#include "store/claims.h"
#include "store/database.h"
#include "store/json.h"
#include "store/rights.h"
#include "store/vm_limits.h"
#include "web/api_routes.h"
#include "web/live_reply.h"
#include "web/static_pages.h"

namespace hbr {
namespace {

using ViewOp = HResult (ServerRegistry::*)(const std::string&, std::string&);

void View(HttpRequest& r, const std::string& vmId, ViewOp op) {
    std::string out;
    try {
        (ServerRegistry::Instance().*op)(vmId, out);
    } catch (const CHypervisorException&) {
        return r.ReplyServerError("Server error: hbr exception");
    }
    r.SendJson(out);
}

struct VmBody {
    std::string vmId, cpId, name;
    int state = 0;
};

bool ReadBody(const HttpRequest& r, VmBody& body) {
    std::string text;
    r.BodyText(text);
    JsonDocument doc;
    if (!ParseJson(text, doc) || !doc.Root().IsObject()) return false;
    const JsonValue& root = doc.Root();
    auto str = [&](const char* name) {
        const JsonValue& v = root[name];
        return v.IsString() ? std::string(v.StringView()) : std::string();
    };
    body.vmId = str("vmId");
    body.cpId = str("cpId");
    body.name = str("name");
    body.state = root["state"].AsInt();
    return true;
}

int StateClaim(int state) {
    switch (state) {
        case 2:
            return cVm_Start;
        case 3:
            return cVm_TurnOff;
        case 4:
            return cVm_Shutdown;
        case 6:
            return cVm_Save;
        case 9:
            return cVm_Pause;
        case 11:
            return cVm_Reset;
        default:
            return -1;
    }
}

constexpr std::string_view kNoHostText = "error: no managed server holds the VM";

// Rows 11-17: a body, a check, an action.
bool ActionRoute(HttpRequest& r, const Session& s, std::string_view path) {
    enum Op { Create, Apply, Revert, Delete, DeleteTree, Rename, State };
    Op op;
    if (path == "/api/vm/createcp")
        op = Create;
    else if (path == "/api/vm/applycp")
        op = Apply;
    else if (path == "/api/vm/revert")
        op = Revert;
    else if (path == "/api/vm/deletecp")
        op = Delete;
    else if (path == "/api/vm/deletecptree")
        op = DeleteTree;
    else if (path == "/api/vm/editcp")
        op = Rename;
    else if (path == "/api/vm/state")
        op = State;
    else
        return false;
    VmBody b;
    if (!ReadBody(r, b)) {
        r.ReplyBadRequest();
        return true;
    }
    int claim = cVm_TabCp;
    if (op == State) {
        claim = StateClaim(b.state);
        if (claim < 0) {
            r.ReplyForbidden();
            return true;
        }
    }
    ServerRegistry& reg = ServerRegistry::Instance();
    bool allowed = VmClaimAllowed(s, claim, b.vmId);
    // A checkpoint is acted on through its VM's rights only when it is that VM's: the host is
    // asked whose it is. The audit row names the VM the checkpoint belongs to.
    std::string auditVm = b.vmId;
    const bool namesCheckpoint = op == Apply || op == Delete || op == DeleteTree || op == Rename;
    if (allowed && namesCheckpoint) {
        std::string owner;
        try {
            if (reg.CheckpointOwner(b.vmId, b.cpId, owner) != 0) {
                WriteVmAudit(Db(), s, claim, false, b.vmId);
                r.ReplyJson(kNoHostText);
                return true;
            }
        } catch (const CHypervisorException& e) {
            WriteVmAudit(Db(), s, claim, false, b.vmId);
            r.ReplyServerError(e.text.empty() ? std::string("Server error: hbr exception")
                                              : e.text);
            return true;
        }
        if (!SameVmId(owner, b.vmId)) {
            allowed = false;
            if (!owner.empty()) auditVm = owner;
        }
    }
    WriteVmAudit(Db(), s, claim, allowed, auditVm);
    if (!allowed) {
        r.ReplyForbidden();
        return true;
    }
    HResult hr = 0;
    try {
        switch (op) {
            case Create:
                hr = reg.CreateCheckpoint(b.vmId);
                break;
            case Apply:
                hr = reg.ApplyCheckpoint(b.vmId, b.cpId);
                break;
            case Revert:
                hr = reg.RevertVm(b.vmId);
                break;
            case Delete:
                hr = reg.DeleteCheckpoint(b.vmId, b.cpId);
                break;
            case DeleteTree:
                hr = reg.DeleteCheckpointTree(b.vmId, b.cpId);
                break;
            case Rename:
                hr = reg.RenameCheckpoint(b.vmId, b.cpId, b.name);
                break;
            case State:
                hr = reg.ChangeVmState(b.vmId, b.state);
                break;
        }
    } catch (const CHypervisorException& e) {
        r.ReplyServerError(e.text.empty() ? std::string("Server error: hbr exception") : e.text);
        return true;
    }
    // Nothing was done for a VM that no managed server holds: that is no success.
    if (hr != 0) {
        r.ReplyJson(kNoHostText);
        return true;
    }
    r.SendJson("");
    return true;
}

}  // namespace

std::string VmRouteId(std::string_view path, std::string_view prefix) {
    if (!path.starts_with(prefix) || path.size() < prefix.size() + 36) return {};
    std::string id(path.substr(path.size() - 36));
    for (auto& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

bool TryVmRoute(HttpRequest& r, const Session& s, std::string_view path) {
    if (path == "/api/livedata") {
        ServeLiveData(r, s);
        return true;
    }
    if (std::string id = VmRouteId(path, "/rdp/"); !id.empty()) {
        if (!CheckVmClaim(Db(), s, cVm_Connect, id, true)) {
            r.ReplyForbidden();
            return true;
        }
        ServeStatic(r, "/rdp/index.html");
        return true;
    }
    if (MatchNumberRoute(path, "/rdp/")) {
        ServeStatic(r, "/rdp/index.html");
        return true;
    }
    // Every view, the checkpoint list included, is limited to the session's assigned VMs: a
    // role limited to some VMs must not read the checkpoint tree of the others.
    struct ViewRow {
        std::string_view prefix;
        int claim;
        ViewOp op;
    };
    static const ViewRow rows[] = {
        {"/api/vm/general/", cVms_View, &ServerRegistry::GetVmGeneral},
        {"/api/vm/networking/", cVms_TabNetwork, &ServerRegistry::GetVmNetworking},
        {"/api/vm/replication/", cVms_TabReplication, &ServerRegistry::GetVmReplication},
        {"/api/vm/checkpoints/", cVm_TabCp, &ServerRegistry::GetVmCheckpoints},
    };
    for (const ViewRow& row : rows) {
        const std::string id = VmRouteId(path, row.prefix);
        if (id.empty()) continue;
        if (!CheckVmClaim(Db(), s, row.claim, id, false)) {
            r.ReplyForbidden();
            return true;
        }
        View(r, id, row.op);
        return true;
    }
    return ActionRoute(r, s, path);
}

}  // namespace hbr
