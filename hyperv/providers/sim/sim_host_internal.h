#pragma once
// Inside of the simulated host; shared by its source files only.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi/wmi_path.h"
#include "hyperv/wmi/wql.h"

namespace hbr::simhost {

using Clock = std::chrono::steady_clock;

enum Ns { kVirt = 0, kCim = 1 };

// Classes the host answers; the order is irrelevant, the value names the builder.
enum class Kind {
    ComputerSystem,
    SettingData,
    ManagementService,
    SnapshotService,
    ConcreteJob,
    SummaryInformation,
    ShutdownComponent,
    HeartbeatComponent,
    KvpComponent,
    VideoHead,
    EthernetPortSettings,
    GuestNetworkConfig,
    ReplicationSettings,
    OperatingSystem,
    Processor,
    Win32ComputerSystem,
    LogicalDisk,
    NetworkAdapter,
    PerfProcessor,
    PerfDisk,
    PerfNetwork,
};

struct Snapshot {
    std::string id;
    std::string name;
    std::string parentId;
    std::int64_t createdMs = 0;
    std::vector<std::string> notes;
    int stateAtCreation = 3;  // a checkpoint of a running VM holds a saved state
};

struct Adapter {
    std::string id;  // the part after "Microsoft:VMID\"
    std::string name;
    std::string mac;  // 12 hex digits
    bool staticMac = false;
    std::string switchName;
    bool dhcp = true;
    std::vector<std::string> ips;
    std::vector<std::string> subnets;
    std::vector<std::string> gateways;
    std::vector<std::string> dns;
};

struct Vm {
    std::string id;
    std::string name;
    int state = 3;
    int transitional = 0;     // EnabledState shown while a job runs; 0 for none
    int operationCode = 0;    // second OperationalStatus element while a job runs
    std::int64_t bootMs = 0;  // when it was started (wall clock)
    std::int64_t createdMs = 0;
    std::int64_t changedMs = 0;  // last state change
    int healthState = 5;
    std::vector<std::int32_t> opStatus{2};
    std::vector<std::string> statusDescriptions{"Operating normally"};
    int processors = 2;
    int memoryMb = 2048;
    std::vector<std::string> notes;
    std::string guestOs;
    bool integration = true;
    int isVersionState = 1;
    int generation = 2;
    std::string version = "9.0";
    std::vector<Snapshot> snapshots;
    std::string current;  // current checkpoint id
    std::vector<Adapter> adapters;
    int replMode = 0, replState = 0, replHealth = 0;
    std::string primaryHost, recoveryHost;
    bool busy = false;  // a job of this VM is running
};

struct Job {
    std::string id;
    std::string method;
    std::string vmId;
    std::string caption;
    int jobType = 0;
    std::int64_t startMs = 0;
    Clock::time_point start, end;
    int endState = 7;
    int errorCode = 0;
    std::string errorDescription;
    std::function<void()> effect;    // the work, done when the job completes
    std::function<void()> rollback;  // undoes the transitional state when it fails
    bool settled = false;
    int reads = 0;  // how often the job object was read while running
};

struct Fault {
    std::string op, match;
    HResult hr;
    int remaining;
};
struct MethodReturn {
    std::string method;
    std::uint32_t code;
    int remaining;
};
struct JobOutcome {
    std::string method;
    int state, error;
    std::string description;
    int remaining;
};
struct Delay {
    std::string op, match;
    std::chrono::milliseconds delay;
    int remaining;
};

struct ClassEntry {
    Kind kind;
    Ns ns;
    WmiClassDefPtr def;
    WmiObjectPtr classObject;
};

// What an object path names inside the host.
struct Ref {
    Kind kind;
    int vm = -1;      // VM index; -1 for host-level objects
    int sub = -1;     // snapshot or adapter index; -1 for the VM's own object
    std::string key;  // job id, disk or adapter name, ...
};

class Impl : public std::enable_shared_from_this<Impl> {
  public:
    Impl(std::string name, SimHostOptions options);

    // Service entry points (they take the lock themselves).
    HResult Connect(std::string_view namespacePath, Ns& ns);
    HResult ExecQuery(Ns ns, std::string_view wql, WmiEnumeratorPtr& out);
    HResult GetObject(Ns ns, std::string_view path, WmiObjectPtr& out);
    HResult ExecMethod(Ns ns, std::string_view path, std::string_view method,
                       const WmiObjectPtr& in, WmiObjectPtr& out);
    HResult BeforeNext(Ns ns, std::string_view wql);

    // Hooks, inspection (SimHost forwards here).
    void FailCalls(std::string op, std::string match, HResult hr, int count);
    void SetMethodReturn(std::string method, std::uint32_t code, int count);
    void SetJobOutcome(std::string method, int state, int error, std::string description,
                       int count);
    void SetNamespacePresent(std::string_view ns, bool present);
    void SetCallDelay(std::string op, std::string match, std::chrono::milliseconds d, int count);
    void SetJobDuration(std::chrono::milliseconds d);
    void SetJobRunningStates(std::vector<int> states);
    void SetUptime(std::chrono::milliseconds uptime);
    void SetNetworkRates(std::vector<std::uint64_t> rates);
    void ClearHooks();
    std::vector<SimVmInfo> ListVms();
    std::vector<SimCheckpointInfo> ListCheckpoints(std::string_view vmId);
    bool SetVmState(std::string_view vmId, int state);
    bool SetVmName(std::string_view vmId, std::string name);
    void RestartHost();
    std::uint64_t CallCount(std::string_view op);

    const std::string name;
    const std::string computerName;
    const std::string rdpAddress;

  private:
    // Every call passes here first: counts, delays, vanished namespaces and faults.
    HResult Preamble(const char* op, Ns ns, std::string_view text);
    void Settle();  // finishes jobs whose time is up (lock held)
    std::int64_t NowMs() const;

    // schema (sim_host_schema.cpp)
    void BuildSchema();
    const ClassEntry* FindClass(Ns ns, std::string_view name) const;
    const ClassEntry& Entry(Kind kind) const;

    // objects (sim_host_objects.cpp)
    void Instances(Kind kind, const WqlCondition* where, std::vector<WmiObjectPtr>& out);
    HResult Resolve(const WmiObjectPath& path, Ns ns, Ref& ref);
    WmiObjectPtr Make(const Ref& ref);
    HResult Associators(const WqlQuery& q, Ns ns, std::vector<WmiObjectPtr>& out);
    WmiObjectPtr MakeSummary(const Vm& vm, const Snapshot* snap, const std::vector<int>& codes);
    int FindVm(std::string_view id) const;
    int FindSnapshot(const Vm& vm, std::string_view id) const;
    // The VM and snapshot named by a settings path ("...InstanceID=\"Microsoft:ID\"").
    bool ResolveSettingsPath(std::string_view path, int& vm, int& snap);

    // CIMV2 (sim_host_cimv2.cpp)
    void CimInstances(Kind kind, const WqlCondition* where, std::vector<WmiObjectPtr>& out);
    WmiObjectPtr MakeCim(const Ref& ref);

    // methods (sim_host_methods.cpp)
    HResult RunMethod(const Ref& target, const ClassEntry& cls, const WmiMethodDef& m,
                      const WmiObjectPtr& in, WmiObjectPtr& out);
    std::uint32_t RequestStateChange(int vm, int requested, std::string& jobPath);
    std::uint32_t InitiateShutdown(int vm);
    std::uint32_t CreateSnapshot(const WmiObjectPtr& in, std::string& jobPath,
                                 std::string& resulting);
    std::uint32_t ApplySnapshot(const WmiObjectPtr& in, std::string& jobPath);
    std::uint32_t DestroySnapshot(const WmiObjectPtr& in, bool tree, std::string& jobPath);
    std::uint32_t ModifySystemSettings(const WmiObjectPtr& in, std::string& jobPath);
    std::uint32_t GetSummaryInformation(const WmiObjectPtr& in, WmiObjectPtr& out);
    std::uint32_t GetThumbnail(const WmiObjectPtr& in, WmiObjectPtr& out);
    // Starts the work of `method`: at once (return 0), as a job (4096, path in jobPath) or
    // not at all when a hook says so.
    std::uint32_t StartWork(const std::string& method, int vm, std::string caption, int jobType,
                            std::function<void()> begin, std::function<void()> effect,
                            std::function<void()> rollback, std::string& jobPath,
                            std::uint32_t defaultCode = 4096);
    // A ReturnValue a test asked for, if any (consumes one use).
    bool TakeMethodReturn(std::string_view method, std::uint32_t& code);
    void RestartLocked();
    std::string JobPath(const std::string& id) const;

    // generation
    void Generate(const SimHostOptions& options);
    std::string NewGuid();

    std::mutex mu_;
    std::condition_variable hookCv_;
    std::uint64_t hookEpoch_ = 0;
    std::uint64_t rng_ = 0;
    std::uint64_t seed_ = 0;
    // Drives the host's own figures (disk use, adapter addresses, counters); drawn from idName
    // when given, so twins report the same host as well as the same VMs.
    std::uint64_t hostKey_ = 0;

    std::vector<Vm> vms_;
    std::unordered_map<std::string, int> vmIndex_;  // upper-case id → index
    std::deque<Job> jobs_;
    std::int64_t hostBootMs_ = 0;

    std::vector<ClassEntry> classes_;
    std::vector<Fault> faults_;
    std::vector<MethodReturn> methodReturns_;
    std::vector<JobOutcome> jobOutcomes_;
    std::vector<Delay> delays_;
    std::chrono::milliseconds jobDuration_{1000};
    std::vector<int> runningStates_{2, 4};  // JobState by read while running; the last repeats
    std::int64_t fixedUptimeMs_ = -1;        // < 0: since hostBootMs_
    std::vector<std::uint64_t> networkRates_;
    bool fixedNetworkRates_ = false;
    bool virtPresent_ = true;
    bool cimPresent_ = true;
    std::unordered_map<std::string, std::uint64_t> callCounts_;

    // Indices of summary properties by information code, filled by BuildSchema.
    std::unordered_map<int, int> summaryIndex_;
};

std::string UpperAscii(std::string_view s);
std::string CimDateTime(std::int64_t unixMs);
std::uint64_t SplitMix(std::uint64_t& state);
std::uint64_t HashText(std::string_view s, std::uint64_t seed = 0);
// A figure that drifts between lo and hi over time, different for every key.
int Wave(std::uint64_t key, std::int64_t nowMs, int lo, int hi);
inline bool Realized(const Vm& vm) {
    return vm.state == 2 || vm.state == 9;
}

}  // namespace hbr::simhost
