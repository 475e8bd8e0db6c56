#include "hyperv/server_registry.h"

#include <algorithm>
#include <cstdlib>

#include "cli/process_state.h"
#include "hyperv/wmi_properties.h"
#include "platform/hbr_exception.h"
#include "store/database.h"
#include "store/json.h"
#include "store/records.h"
#include "store/rights.h"

namespace hbr {
namespace {

WorkspacePtr MakeWorkspace(int id, const std::string& host, const std::string& user,
                           const std::string& password, HResult& hr) {
    InstallPollRefreshers();
    auto ws = std::make_shared<WmiWorkspace>();
    hr = ws->Initialize(id, host, user, password);
    return ws;
}

}  // namespace

ServerRegistry::~ServerRegistry() {
    // At process exit without ClearAll: the threads ending removed workspaces are waited for.
    for (auto& r : retiring_) r.thread.join();
}

ServerRegistry& ServerRegistry::Instance() {
    static ServerRegistry registry;
    return registry;
}

HResult ServerRegistry::AddServer(int id, const std::string& host, const std::string& user,
                                  const std::string& password) {
    HResult hr = 0;
    WorkspacePtr ws = MakeWorkspace(id, host, user, password, hr);
    std::lock_guard lock(Locks().registry);
    list_.push_back(std::move(ws));
    NoteCachedTextChange();
    return hr;
}

HResult ServerRegistry::UpdateServer(int id, const std::string& host, const std::string& user,
                                     const std::string* password) {
    WorkspacePtr old;
    HResult hr = 0;
    {
        std::lock_guard lock(Locks().registry);
        auto it = std::find_if(list_.begin(), list_.end(),
                               [id](const WorkspacePtr& w) { return w->serverId == id; });
        if (it != list_.end()) {
            if (IEquals((*it)->host, host) && IEquals((*it)->user, user) && !password) return 0;
            old = std::move(*it);
            list_.erase(it);
        }
        list_.push_back(MakeWorkspace(id, host, user, password ? *password : std::string(), hr));
        NoteCachedTextChange();
    }
    Retire(std::move(old));
    return hr;
}

void ServerRegistry::RemoveServer(int id) {
    WorkspacePtr old;
    {
        std::lock_guard lock(Locks().registry);
        auto it = std::find_if(list_.begin(), list_.end(),
                               [id](const WorkspacePtr& w) { return w->serverId == id; });
        if (it == list_.end()) return;
        old = std::move(*it);
        list_.erase(it);
        NoteCachedTextChange();
    }
    Retire(std::move(old));
}

WorkspacePtr ServerRegistry::FindServerById(int id) {
    std::lock_guard lock(Locks().registry);
    for (const auto& w : list_)
        if (w->serverId == id) return w;
    return nullptr;
}

WorkspacePtr ServerRegistry::FindServerByVm(const std::string& vmId) {
    if (!IsGuidText(vmId)) return nullptr;
    std::lock_guard lock(Locks().registry);
    std::lock_guard cache(Locks().cache);
    WorkspacePtr found;
    for (const auto& w : list_)
        if (w->vmCache.count(vmId)) found = w;
    return found;
}

bool ServerRegistry::FindCachedVm(const std::string& vmId, std::string& out) {
    if (!IsGuidText(vmId)) return false;
    std::lock_guard lock(Locks().registry);
    for (const auto& w : list_)
        if (hbr::GetCachedVm(*w, vmId, out)) return true;
    return false;
}

std::shared_ptr<const std::string> ServerRegistry::LiveData(bool includeVms, bool includeServers,
                                                            const std::string& filter) {
    std::lock_guard lock(Locks().registry);
    std::lock_guard cache(Locks().cache);
    if (!filter.empty()) {
        auto text = std::make_shared<std::string>();
        AppendLiveData(*text, includeVms, includeServers, filter);
        return text;
    }
    SharedReply& slot = liveReplies_[(includeVms ? 2 : 0) + (includeServers ? 1 : 0)];
    const std::uint64_t version = CachedTextVersion();
    if (!slot.text || slot.version != version) {
        auto text = std::make_shared<std::string>();
        if (slot.text) text->reserve(slot.text->size() + 4096);
        AppendLiveData(*text, includeVms, includeServers, filter);
        slot.text = std::move(text);
        slot.version = version;
    }
    return slot.text;
}

void ServerRegistry::AppendLiveData(std::string& out, bool includeVms, bool includeServers,
                                    const std::string& filter) const {
    // The VM objects go straight into the reply; only the short server list is kept apart.
    std::string servers;
    out += "{\"vms\":[";
    const std::size_t vmsStart = out.size();
    for (const auto& w : list_) {
        if (includeVms) {
            for (const auto& [key, text] : w->vmCache) {
                if (!filter.empty() && filter.find(key) == std::string::npos) continue;
                out += text;
                out += ',';
            }
        }
        if (includeServers) {
            servers += '{';
            servers += w->statusFragment;
            servers += w->hostLiveFragment;
            StripOuterCommas(servers);
            servers += "},";
        }
    }
    while (out.size() > vmsStart && out.back() == ',') out.pop_back();
    StripTrailingCommas(servers);
    out += "],\"servers\":[";
    out += servers;
    out += ']';
    CloseJson(out, '}');
}

HResult ServerRegistry::GetVmGeneral(const std::string& vmId, std::string& out) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    GetVmGeneralJson(*ws, vmId, out);
    return 0;
}

HResult ServerRegistry::GetVmNetworking(const std::string& vmId, std::string& out) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    GetVmNetworkingJson(*ws, vmId, out);
    return 0;
}

HResult ServerRegistry::GetVmReplication(const std::string& vmId, std::string& out) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    GetVmReplicationJson(*ws, vmId, out);
    return 0;
}

HResult ServerRegistry::GetVmCheckpoints(const std::string& vmId, std::string& out) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    GetCheckpointTreeJson(*ws, vmId, out);
    return 0;
}

HResult ServerRegistry::CreateCheckpoint(const std::string& vmId) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::CreateCheckpoint(*ws, vmId);
    return 0;
}

HResult ServerRegistry::RevertVm(const std::string& vmId) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::RevertVm(*ws, vmId);
    return 0;
}

HResult ServerRegistry::ApplyCheckpoint(const std::string& vmId, const std::string& cpId) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::ApplyCheckpoint(*ws, vmId, cpId);
    return 0;
}

HResult ServerRegistry::DeleteCheckpoint(const std::string& vmId, const std::string& cpId) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::DeleteCheckpoint(*ws, cpId);
    return 0;
}

HResult ServerRegistry::DeleteCheckpointTree(const std::string& vmId, const std::string& cpId) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::DeleteCheckpointTree(*ws, cpId);
    return 0;
}

HResult ServerRegistry::RenameCheckpoint(const std::string& vmId, const std::string& cpId,
                                         const std::string& name) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::RenameCheckpoint(*ws, cpId, name);
    return 0;
}

HResult ServerRegistry::ChangeVmState(const std::string& vmId, int code) {
    WorkspacePtr ws = FindServerByVm(vmId);
    if (!ws) return kEInvalidArg;
    hbr::ChangeVmState(*ws, vmId, code);
    return 0;
}

HResult ServerRegistry::GetHostInfo(int id, std::string& out) {
    WorkspacePtr ws = FindServerById(id);
    if (!ws) return kEInvalidArg;
    try {
        GetHostInfoJson(*ws, out);
        return 0;
    } catch (const CHypervisorException& e) {
        out = "error: " + ErrorText(e);
        return e.hr;
    }
}

void ServerRegistry::ShutdownHost(int id, bool restart) {
    WorkspacePtr ws = FindServerById(id);
    if (!ws) throw CHbrException("", -1);
    const HostShutdownResult result = ws->ShutdownHost(restart);
    if (result.error == 0) return;
    throw CHbrException(
        result.unreachable ? "Remote connection error " : "InitiateShutdown failed ", result.error);
}

// The poller of a workspace leaving the list is told to stop now. Its destruction joins the
// poller, which may sit in a call to a host that hangs; that wait happens on a thread of its
// own, so the request that removed the server answers at once. The last user of the workspace
// (that thread or a request still running on it) destroys it, outside every lock.
void ServerRegistry::Retire(WorkspacePtr ws) {
    if (!ws) return;
    ws->RequestStop();
    std::lock_guard lock(retireLock_);
    // Threads that have finished are joined here, so they do not pile up.
    for (auto it = retiring_.begin(); it != retiring_.end();) {
        if (*it->done) {
            it->thread.join();
            it = retiring_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    retiring_.push_back({std::thread([ws = std::move(ws), done]() mutable {
                             ws.reset();
                             *done = true;
                         }),
                         done});
}

void ServerRegistry::ClearAll() {
    std::vector<WorkspacePtr> all;
    {
        std::lock_guard lock(Locks().registry);
        all.swap(list_);
        NoteCachedTextChange();
    }
    // Every poller is told first, so they end together rather than one after another.
    for (auto& w : all) w->RequestStop();
    all.clear();
    std::list<Retiring> retiring;
    {
        std::lock_guard lock(retireLock_);
        retiring.swap(retiring_);
    }
    for (auto& r : retiring) r.thread.join();
}

std::size_t ServerRegistry::Count() {
    std::lock_guard lock(Locks().registry);
    return list_.size();
}

void LoadServers() {
    SetVmNameLookup([](const std::string& vmId) {
        std::string text;
        if (!ServerRegistry::Instance().FindCachedVm(vmId, text)) return std::string();
        JsonDocument doc;
        if (!ParseJson(text, doc)) return std::string();
        return doc.Root()["name"].AsText();
    });
    std::string text;
    try {
        if (!SelectServers(Db(), "id,name,host,user,password,b_disabled", 0, text)) return;
    } catch (const std::exception&) {
        return;
    }
    JsonDocument doc;
    if (!ParseJson(text, doc) || !doc.Root().IsArray()) return;
    for (std::size_t i = 0; i < doc.Root().Size(); ++i) {
        const JsonValue& row = doc.Root().At(i);
        if (!row.IsObject() || row["disabled"].IsTrue() || !row["id"].IsNumber()) continue;
        auto str = [&](const char* name) {
            const JsonValue& v = row[name];
            return v.IsString() ? std::string(v.StringView()) : std::string();
        };
        ServerRegistry::Instance().AddServer(row["id"].AsInt(), str("host"), str("user"),
                                             str("password"));
    }
}

}  // namespace hbr
