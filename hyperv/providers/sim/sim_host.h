#pragma once
// The built-in simulated Hyper-V host: both namespaces (root\virtualization\v2 and ROOT\CIMV2)
// answered in process, with VMs, jobs, checkpoints, adapters, replication and host figures.
// One host per NAME for the whole process, so every connection to "sim://NAME" sees the same
// VMs. Tests reach the host through SimHost to inject faults, codes and delays.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

struct SimHostOptions {
    std::size_t vmCount = 12;
    std::uint64_t seed = 1;
    std::string rdpAddress;  // where the host's VM-console endpoint listens, when given
    // The name its ids are drawn from when not its own: two hosts made with the same seed and
    // idName hold the same VMs and checkpoints under the same ids and report the same host
    // figures (a twin for comparisons); only their names differ.
    std::string idName;
};

// What a test sees of one simulated VM.
struct SimVmInfo {
    std::string id;
    std::string name;
    int enabledState = 0;
    std::size_t checkpoints = 0;
    std::string currentCheckpoint;  // id, empty when none
    bool integrationServices = false;
    std::size_t adapters = 0;
    bool replicated = false;
    bool busy = false;  // a job of the VM is still running
};

struct SimCheckpointInfo {
    std::string id;
    std::string name;
    std::string parentId;  // empty for a root
    std::vector<std::string> notes;
};

class SimHostImpl;

class SimHost {
  public:
    // The host NAME, made with `options` when it does not exist yet (later options are ignored).
    static SimHost Get(std::string_view name, const SimHostOptions& options = {});
    // Forgets a host; connections already made keep their own reference.
    static void Remove(std::string_view name);

    const std::string& Name() const;
    // The host's computer name (SystemName of its services, used in every object path).
    const std::string& ComputerName() const;
    const std::string& RdpAddress() const;

    // ---- hooks ----
    // Calls whose operation ("Connect", "ExecQuery", "GetObject", "ExecMethod", "Next"; empty
    // for any) and text (namespace, WQL, path, or "Method path") contain `match` (ignoring
    // case) fail with `hr`; `count` < 0 means for ever, otherwise that many times.
    void FailCalls(std::string operation, std::string match, HResult hr, int count = -1);
    // ExecMethod of `method` answers ReturnValue `code` (0 does the work at once, 4096 starts a
    // job as usual, anything else does nothing).
    void SetMethodReturn(std::string method, std::uint32_t code, int count = -1);
    // Jobs of `method` end with this JobState, ErrorCode and ErrorDescription; the work is done
    // only when `jobState` is 7 (completed) or 32768 (completed with warnings).
    void SetJobOutcome(std::string method, int jobState, int errorCode, std::string description,
                       int count = -1);
    // A namespace ("root\\virtualization\\v2" or "ROOT\\CIMV2") disappears: connects and calls
    // on existing connections answer kWbemEInvalidNamespace.
    void SetNamespacePresent(std::string_view nameSpace, bool present);
    // Matching calls take `delay` before they answer (a hanging host). ClearHooks cuts waits
    // short.
    void SetCallDelay(std::string operation, std::string match, std::chrono::milliseconds delay,
                      int count = -1);
    // How long a job runs before it ends (default 1000 ms).
    void SetJobDuration(std::chrono::milliseconds duration);
    // The JobState a running job reports at its first, second, ... read; the last repeats.
    // By default 2 (new) at the first read and 4 (running) after, as a host's jobs do; hosts
    // also report 3, 5, 6 and 11 while a job is under way. Empty: the default.
    void SetJobRunningStates(std::vector<int> states);
    // Fixes the figures of the operating-system namespace: the time since the host booted
    // (LastBootUpTime against LocalDateTime) and the BytesTotalPersec of its network
    // interfaces, one interface per rate. ClearHooks returns to moving figures.
    void SetUptime(std::chrono::milliseconds uptime);
    void SetNetworkRates(std::vector<std::uint64_t> bytesPerSecond);
    void ClearHooks();

    // ---- inspection and set-up for tests ----
    std::vector<SimVmInfo> ListVms() const;
    std::vector<SimCheckpointInfo> ListCheckpoints(std::string_view vmId) const;
    // Sets a VM's state directly (no job); false for an unknown id.
    bool SetVmState(std::string_view vmId, int enabledState);
    // Renames a VM directly; false for an unknown id.
    bool SetVmName(std::string_view vmId, std::string name);
    // Restarts the host: uptime starts again, running and paused VMs are saved.
    void RestartHost();
    // Counts of calls by operation name, for tests that check what was asked.
    std::uint64_t CallCount(std::string_view operation) const;

  private:
    explicit SimHost(std::shared_ptr<SimHostImpl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<SimHostImpl> impl_;
};

// The locator for "sim://NAME[?vms=N&seed=S&rdp=ADDR]"; nullptr when the text is not such a
// URL (NAME: letters, digits, '.', '-', '_', at most 63; N at most 5000).
WmiLocatorPtr CreateSimLocator(std::string_view hostText);

// Parses the URL; false when it is not valid.
bool ParseSimUrl(std::string_view hostText, std::string& name, SimHostOptions& options);

// A deterministic 16-bit (5-6-5) image, little-endian, `width` × `height`, drawn from a VM's
// name and state.
std::vector<std::uint8_t> RenderSimThumbnail(std::string_view name, int enabledState, int width,
                                             int height);

}  // namespace hbr
