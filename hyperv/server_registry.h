#pragma once
// The process-wide list of managed hosts, one workspace each: the web layer's only entry into
// the hypervisor layer. Workspaces are shared: a request that found one keeps it alive while
// the list changes.
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hyperv/workspace_ops.h"

namespace hbr {

using WorkspacePtr = std::shared_ptr<WmiWorkspace>;

class ServerRegistry {
  public:
    static ServerRegistry& Instance();
    ServerRegistry() = default;
    ~ServerRegistry();

    HResult AddServer(int id, const std::string& host, const std::string& user,
                      const std::string& password);
    // `password` null: none given.
    HResult UpdateServer(int id, const std::string& host, const std::string& user,
                         const std::string* password);
    void RemoveServer(int id);
    WorkspacePtr FindServerById(int id);
    WorkspacePtr FindServerByVm(const std::string& vmId);
    bool FindCachedVm(const std::string& vmId, std::string& out);
    // The live data reply as one shared text. Every browser asks for it every few seconds and it
    // runs to hundreds of kilobytes, so an unfiltered reply is assembled once and shared until a
    // cached text or the list changes; a filtered one (a role limited to some VMs) is built anew.
    std::shared_ptr<const std::string> LiveData(bool includeVms, bool includeServers,
                                                const std::string& filter);

    // Per-VM operations: 0, or E_INVALIDARG when no server holds the VM. Host failures pass
    // through as CHypervisorException.
    HResult GetVmGeneral(const std::string& vmId, std::string& out);
    HResult GetVmNetworking(const std::string& vmId, std::string& out);
    HResult GetVmReplication(const std::string& vmId, std::string& out);
    HResult GetVmCheckpoints(const std::string& vmId, std::string& out);
    HResult CreateCheckpoint(const std::string& vmId);
    HResult RevertVm(const std::string& vmId);
    HResult ApplyCheckpoint(const std::string& vmId, const std::string& cpId);
    HResult DeleteCheckpoint(const std::string& vmId, const std::string& cpId);
    HResult DeleteCheckpointTree(const std::string& vmId, const std::string& cpId);
    HResult RenameCheckpoint(const std::string& vmId, const std::string& cpId,
                             const std::string& name);
    HResult ChangeVmState(const std::string& vmId, int code);

    HResult GetHostInfo(int id, std::string& out);
    // Throws CHbrException.
    void ShutdownHost(int id, bool restart);
    // Destroys every workspace, also those removed earlier whose pollers are still ending.
    void ClearAll();

    std::size_t Count();

  private:
    struct Retiring {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void Retire(WorkspacePtr ws);
    // Both the registry and the cache lock held.
    void AppendLiveData(std::string& out, bool includeVms, bool includeServers,
                        const std::string& filter) const;

    struct SharedReply {
        std::uint64_t version = 0;
        std::shared_ptr<const std::string> text;
    };
    SharedReply liveReplies_[4];  // by the two flags; guarded by the registry and cache locks

    std::vector<WorkspacePtr> list_;
    std::mutex retireLock_;  // guards retiring_ only; never held with another lock
    std::list<Retiring> retiring_;
};

// Adds every enabled servers row to the registry; failures load nothing and report nothing.
void LoadServers();

}  // namespace hbr
