// The simulated host: the process-wide table of hosts, the generated inventory, hooks and the
// WMI entry points (query, get object, execute method).
#include <algorithm>
#include <charconv>
#include <ctime>
#include <map>

#include "hyperv/providers/sim/sim_host_internal.h"

namespace hbr {

using namespace simhost;

namespace simhost {

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t HashText(std::string_view s, std::uint64_t seed) {
    std::uint64_t h = 1469598103934665603ULL ^ seed;
    for (char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

// yyyymmddHHMMSS.mmmmmm+000 in UTC, the CIM form Hyper-V uses.
std::string CimDateTime(std::int64_t unixMs) {
    std::time_t secs = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%06d+000", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(unixMs % 1000) * 1000);
    return buf;
}

namespace {

std::string MakeComputerName(std::string_view name) {
    std::string out = UpperAscii(name);
    for (auto& c : out)
        if (c == '.' || c == '_') c = '-';
    return out;
}

// Names a demo host shows; the last one exercises escaping everywhere it is written.
const char* const kVmNames[] = {"DC01",         "SQL-PROD",     "WEB-FRONT-01",
                                "WEB-FRONT-02", "FILESRV",      "EXCH-01",
                                "BUILD-AGENT",  "UBUNTU-DEV",   "RDS-GATEWAY",
                                "MONITORING",   "BACKUP-PROXY", "Build \"nightly\" <QA & Test>"};
const int kStatePattern[] = {2, 2, 3, 6, 9, 2, 3, 2, 6, 2, 3, 2};
const char* const kGuestOs[] = {"Windows Server 2022 Datacenter", "Windows Server 2019 Standard",
                                "Ubuntu 22.04.4 LTS", "Windows 11 Enterprise",
                                "Debian GNU/Linux 12 (bookworm)"};

}  // namespace

Impl::Impl(std::string hostName, SimHostOptions options)
    : name(std::move(hostName)),
      computerName(MakeComputerName(name)),
      rdpAddress(options.rdpAddress),
      rng_(options.seed ^ HashText(UpperAscii(options.idName.empty() ? name : options.idName))),
      seed_(options.seed),
      hostKey_(HashText(options.idName.empty() ? computerName : MakeComputerName(options.idName),
                        options.seed)) {
    BuildSchema();
    Generate(options);
}

std::int64_t Impl::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Impl::NewGuid() {
    std::uint64_t a = SplitMix(rng_), b = SplitMix(rng_);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(0x4000 | (a & 0x0FFF)),
                  static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return buf;
}

void Impl::Generate(const SimHostOptions& options) {
    const std::int64_t now = NowMs();
    // Fixed epochs keep creation dates the same from run to run for one seed.
    const std::int64_t base = 1672531200000LL;  // 2023-01-01
    hostBootMs_ = now - static_cast<std::int64_t>(3 + SplitMix(rng_) % 37) * 86400000LL -
                  static_cast<std::int64_t>(SplitMix(rng_) % 86400000ULL);
    vms_.reserve(options.vmCount);
    for (std::size_t i = 0; i < options.vmCount; ++i) {
        Vm vm;
        vm.id = NewGuid();
        std::size_t slot = i % 12;
        vm.name = kVmNames[slot];
        if (i >= 12) vm.name += "-" + std::to_string(i / 12 + 1);
        vm.state = kStatePattern[slot];
        vm.createdMs = base + static_cast<std::int64_t>(SplitMix(rng_) % (600ULL * 86400000ULL));
        vm.changedMs = vm.createdMs;
        vm.processors = 1 << (SplitMix(rng_) % 4);
        vm.memoryMb = 1024 << (SplitMix(rng_) % 4);
        vm.integration = slot != 10;
        vm.guestOs = kGuestOs[SplitMix(rng_) % 5];
        vm.isVersionState = slot == 5 ? 2 : 1;
        vm.generation = slot % 4 == 3 ? 1 : 2;
        vm.version = slot % 3 == 0 ? "10.0" : (slot % 3 == 1 ? "9.0" : "8.0");
        if (slot == 1) vm.notes = {"Production database.\nDo not turn off during business hours."};
        if (vm.state == 2 || vm.state == 9)
            vm.bootMs =
                now - 3600000LL - static_cast<std::int64_t>(SplitMix(rng_) % (40ULL * 86400000ULL));
        if (slot == 7) {
            vm.healthState = 20;
            vm.opStatus = {3};
            vm.statusDescriptions = {"Degraded"};
        }
        if (slot % 3 == 0) {
            std::size_t count = 1 + SplitMix(rng_) % 4;
            for (std::size_t s = 0; s < count; ++s) {
                Snapshot snap;
                snap.id = NewGuid();
                snap.createdMs = vm.createdMs + static_cast<std::int64_t>(s + 1) * 86400000LL * 7;
                std::time_t secs = static_cast<std::time_t>(snap.createdMs / 1000);
                std::tm tm{};
                gmtime_r(&secs, &tm);
                char when[64];
                std::snprintf(when, sizeof when, " - (%d/%d/%d - %d:%02d:%02d %s)", tm.tm_mon + 1,
                              tm.tm_mday, tm.tm_year + 1900,
                              tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, tm.tm_min, tm.tm_sec,
                              tm.tm_hour < 12 ? "AM" : "PM");
                snap.name = vm.name + when;
                if (s > 0) snap.parentId = vm.snapshots[SplitMix(rng_) % s].id;
                snap.stateAtCreation = s % 2 == 0 ? 3 : 2;
                vm.snapshots.push_back(std::move(snap));
            }
            vm.current = vm.snapshots.back().id;
        }
        std::size_t adapterCount = slot % 5 == 2 ? 0 : (slot % 4 == 1 ? 2 : 1);
        for (std::size_t a = 0; a < adapterCount; ++a) {
            Adapter ad;
            ad.id = NewGuid();
            ad.name = "Network Adapter";
            char mac[16];
            std::snprintf(mac, sizeof mac, "00155D%06llX",
                          static_cast<unsigned long long>(SplitMix(rng_) & 0xFFFFFF));
            ad.mac = mac;
            ad.staticMac = slot % 3 == 1;
            ad.dhcp = !ad.staticMac;
            ad.switchName = a == 0 ? "External vSwitch" : "Internal vSwitch";
            unsigned host = static_cast<unsigned>(10 + (i * 2 + a) % 240);
            unsigned net = static_cast<unsigned>(a * 10 + (i * 2 + a) / 240 % 10);
            ad.ips = {"10." + std::to_string(net) + ".0." + std::to_string(host),
                      "fe80::215:5dff:fe" + ad.mac.substr(6, 2) + ":" + ad.mac.substr(8, 4)};
            ad.subnets = {"255.255.255.0", "/64"};
            ad.gateways = {"10." + std::to_string(net) + ".0.1"};
            ad.dns = {"10." + std::to_string(net) + ".0.2", "10." + std::to_string(net) + ".0.3"};
            vm.adapters.push_back(std::move(ad));
        }
        if (slot == 1 || slot == 6) {
            vm.replMode = 1;
            vm.replState = 3;
            vm.replHealth = slot == 6 ? 2 : 1;
            vm.primaryHost = computerName + ".lab.local";
            vm.recoveryHost = "HV-DR01.lab.local";
        } else if (slot == 3) {
            vm.replMode = 2;
            vm.replState = 3;
            vm.replHealth = 1;
            vm.primaryHost = "HV-PRIMARY02.lab.local";
            vm.recoveryHost = computerName + ".lab.local";
        }
        vmIndex_[UpperAscii(vm.id)] = static_cast<int>(vms_.size());
        vms_.push_back(std::move(vm));
    }
}

int Impl::FindVm(std::string_view id) const {
    auto it = vmIndex_.find(UpperAscii(id));
    return it == vmIndex_.end() ? -1 : it->second;
}

int Impl::FindSnapshot(const Vm& vm, std::string_view id) const {
    for (std::size_t i = 0; i < vm.snapshots.size(); ++i)
        if (IEquals(vm.snapshots[i].id, id)) return static_cast<int>(i);
    return -1;
}

// ---- hooks -------------------------------------------------------------------------------

HResult Impl::Preamble(const char* op, Ns ns, std::string_view text) {
    std::chrono::milliseconds delay{0};
    std::uint64_t epoch = 0;
    {
        std::lock_guard lock(mu_);
        ++callCounts_[op];
        for (auto it = delays_.begin(); it != delays_.end(); ++it) {
            if ((it->op.empty() || IEquals(it->op, op)) && IContains(text, it->match)) {
                delay = it->delay;
                if (it->remaining > 0 && --it->remaining == 0) delays_.erase(it);
                break;
            }
        }
        epoch = hookEpoch_;
    }
    if (delay.count() > 0) {
        std::unique_lock lock(mu_);
        hookCv_.wait_for(lock, delay, [&] { return hookEpoch_ != epoch; });
    }
    std::lock_guard lock(mu_);
    if ((ns == kVirt && !virtPresent_) || (ns == kCim && !cimPresent_))
        return kWbemEInvalidNamespace;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((it->op.empty() || IEquals(it->op, op)) && IContains(text, it->match)) {
            HResult hr = it->hr;
            if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
            return hr;
        }
    }
    return kSOk;
}

void Impl::FailCalls(std::string op, std::string match, HResult hr, int count) {
    if (count == 0) return;
    std::lock_guard lock(mu_);
    faults_.push_back({std::move(op), std::move(match), hr, count});
}

void Impl::SetMethodReturn(std::string method, std::uint32_t code, int count) {
    if (count == 0) return;
    std::lock_guard lock(mu_);
    methodReturns_.push_back({std::move(method), code, count});
}

void Impl::SetJobOutcome(std::string method, int state, int error, std::string description,
                         int count) {
    if (count == 0) return;
    std::lock_guard lock(mu_);
    jobOutcomes_.push_back({std::move(method), state, error, std::move(description), count});
}

void Impl::SetNamespacePresent(std::string_view ns, bool present) {
    std::lock_guard lock(mu_);
    std::string n = NamespaceOfPath(ns);
    if (IEquals(n, "root\\virtualization\\v2"))
        virtPresent_ = present;
    else if (IEquals(n, "root\\cimv2"))
        cimPresent_ = present;
}

void Impl::SetCallDelay(std::string op, std::string match, std::chrono::milliseconds d, int count) {
    if (count == 0) return;
    std::lock_guard lock(mu_);
    delays_.push_back({std::move(op), std::move(match), d, count});
}

void Impl::SetJobDuration(std::chrono::milliseconds d) {
    std::lock_guard lock(mu_);
    jobDuration_ = std::max(d, std::chrono::milliseconds(0));
}

void Impl::SetJobRunningStates(std::vector<int> states) {
    std::lock_guard lock(mu_);
    runningStates_ = states.empty() ? std::vector<int>{2, 4} : std::move(states);
}

void Impl::SetUptime(std::chrono::milliseconds uptime) {
    std::lock_guard lock(mu_);
    fixedUptimeMs_ = std::max<std::int64_t>(uptime.count(), 0);
}

void Impl::SetNetworkRates(std::vector<std::uint64_t> rates) {
    std::lock_guard lock(mu_);
    networkRates_ = std::move(rates);
    fixedNetworkRates_ = true;
}

void Impl::ClearHooks() {
    {
        std::lock_guard lock(mu_);
        fixedUptimeMs_ = -1;
        networkRates_.clear();
        fixedNetworkRates_ = false;
        faults_.clear();
        methodReturns_.clear();
        jobOutcomes_.clear();
        delays_.clear();
        virtPresent_ = cimPresent_ = true;
        jobDuration_ = std::chrono::milliseconds(1000);
        runningStates_ = {2, 4};
        ++hookEpoch_;
    }
    hookCv_.notify_all();
}

std::vector<SimVmInfo> Impl::ListVms() {
    std::lock_guard lock(mu_);
    Settle();
    std::vector<SimVmInfo> out;
    out.reserve(vms_.size());
    for (const auto& vm : vms_) {
        out.push_back({vm.id, vm.name, vm.transitional ? vm.transitional : vm.state,
                       vm.snapshots.size(), vm.current, vm.integration, vm.adapters.size(),
                       vm.replMode != 0, vm.busy});
    }
    return out;
}

std::vector<SimCheckpointInfo> Impl::ListCheckpoints(std::string_view vmId) {
    std::lock_guard lock(mu_);
    Settle();
    std::vector<SimCheckpointInfo> out;
    int v = FindVm(vmId);
    if (v < 0) return out;
    for (const auto& s : vms_[static_cast<std::size_t>(v)].snapshots)
        out.push_back({s.id, s.name, s.parentId, s.notes});
    return out;
}

bool Impl::SetVmState(std::string_view vmId, int state) {
    std::lock_guard lock(mu_);
    int v = FindVm(vmId);
    if (v < 0) return false;
    Vm& vm = vms_[static_cast<std::size_t>(v)];
    if ((state == 2 || state == 9) && vm.state != 2 && vm.state != 9) vm.bootMs = NowMs();
    vm.state = state;
    vm.transitional = 0;
    vm.changedMs = NowMs();
    return true;
}

bool Impl::SetVmName(std::string_view vmId, std::string newName) {
    std::lock_guard lock(mu_);
    int v = FindVm(vmId);
    if (v < 0) return false;
    vms_[static_cast<std::size_t>(v)].name = std::move(newName);
    return true;
}

void Impl::RestartHost() {
    std::lock_guard lock(mu_);
    Settle();
    RestartLocked();
}

void Impl::RestartLocked() {
    hostBootMs_ = NowMs();
    for (auto& vm : vms_) {
        if (vm.state == 2 || vm.state == 9) {
            vm.state = 6;
            vm.changedMs = hostBootMs_;
        }
    }
}

std::uint64_t Impl::CallCount(std::string_view op) {
    std::lock_guard lock(mu_);
    auto it = callCounts_.find(std::string(op));
    return it == callCounts_.end() ? 0 : it->second;
}

// ---- jobs --------------------------------------------------------------------------------

void Impl::Settle() {
    auto now = Clock::now();
    for (auto& job : jobs_) {
        if (job.settled || now < job.end) continue;
        job.settled = true;
        // 32768 is "completed with warnings": the work is done.
        if (job.endState == 7 || job.endState == 32768) {
            if (job.effect) job.effect();
        } else if (job.rollback) {
            job.rollback();
        }
        int v = FindVm(job.vmId);
        if (v >= 0) {
            Vm& vm = vms_[static_cast<std::size_t>(v)];
            vm.busy = false;
            vm.transitional = 0;
            vm.operationCode = 0;
        }
        job.effect = nullptr;
        job.rollback = nullptr;
    }
    // Finished jobs stay readable for a while, as on a real host, but not without bound.
    while (jobs_.size() > 512 && jobs_.front().settled) jobs_.pop_front();
}

std::string Impl::JobPath(const std::string& id) const {
    return "\\\\" + computerName +
           "\\root\\virtualization\\v2:Msvm_ConcreteJob.InstanceID=" + QuotePathValue(id);
}

std::uint32_t Impl::StartWork(const std::string& method, int vm, std::string caption, int jobType,
                              std::function<void()> begin, std::function<void()> effect,
                              std::function<void()> rollback, std::string& jobPath,
                              std::uint32_t defaultCode) {
    jobPath.clear();
    std::uint32_t code = defaultCode;
    TakeMethodReturn(method, code);
    if (code == 0) {
        if (effect) effect();
        return 0;
    }
    if (code != 4096) return code;
    Job job;
    job.id = NewGuid();
    job.method = method;
    job.caption = std::move(caption);
    job.jobType = jobType;
    job.startMs = NowMs();
    job.start = Clock::now();
    job.end = job.start + jobDuration_;
    job.effect = std::move(effect);
    job.rollback = std::move(rollback);
    for (auto it = jobOutcomes_.begin(); it != jobOutcomes_.end(); ++it) {
        if (IEquals(it->method, method)) {
            job.endState = it->state;
            job.errorCode = it->error;
            job.errorDescription = it->description;
            if (it->remaining > 0 && --it->remaining == 0) jobOutcomes_.erase(it);
            break;
        }
    }
    if (vm >= 0) {
        Vm& v = vms_[static_cast<std::size_t>(vm)];
        job.vmId = v.id;
        v.busy = true;
    }
    if (begin) begin();
    jobPath = JobPath(job.id);
    jobs_.push_back(std::move(job));
    return 4096;
}

bool Impl::TakeMethodReturn(std::string_view method, std::uint32_t& code) {
    for (auto it = methodReturns_.begin(); it != methodReturns_.end(); ++it) {
        if (IEquals(it->method, method)) {
            code = it->code;
            if (it->remaining > 0 && --it->remaining == 0) methodReturns_.erase(it);
            return true;
        }
    }
    return false;
}

// ---- entry points ------------------------------------------------------------------------

HResult Impl::Connect(std::string_view namespacePath, Ns& ns) {
    std::string n = NamespaceOfPath(namespacePath);
    if (IEquals(n, "root\\virtualization\\v2"))
        ns = kVirt;
    else if (IEquals(n, "root\\cimv2"))
        ns = kCim;
    else
        return kWbemEInvalidNamespace;
    return Preamble("Connect", ns, namespacePath);
}

namespace {

// Reads the prepared result; each Next passes the host's hooks so that a read can fail or hang.
class SimEnumerator : public WmiEnumerator {
  public:
    SimEnumerator(std::shared_ptr<Impl> host, Ns ns, std::string wql,
                  std::vector<WmiObjectPtr> objects)
        : host_(std::move(host)), ns_(ns), wql_(std::move(wql)), list_(std::move(objects)) {}

    HResult Next(std::chrono::milliseconds timeout, WmiObjectPtr& object) override {
        object.reset();
        if (HResult hr = host_->BeforeNext(ns_, wql_); hr != kSOk) return hr;
        return list_.Next(timeout, object);
    }

  private:
    std::shared_ptr<Impl> host_;
    Ns ns_;
    std::string wql_;
    WmiListEnumerator list_;
};

}  // namespace

HResult Impl::BeforeNext(Ns ns, std::string_view wql) {
    return Preamble("Next", ns, wql);
}

namespace {

bool IsSystemName(std::string_view n) {
    return n.size() > 2 && n[0] == '_' && n[1] == '_';
}

WmiObjectPtr ProjectObject(const WmiObject& src, const WmiClassDefPtr& projected) {
    auto obj = WmiObject::MakeInstance(projected);
    const auto& props = projected->Properties();
    for (std::size_t i = 0; i < props.size(); ++i) {
        const WmiValue* v = src.Peek(src.Definition().Find(props[i].name));
        if (v) obj->Set(static_cast<int>(i), *v);
    }
    return obj;
}

}  // namespace

HResult Impl::ExecQuery(Ns ns, std::string_view wql, WmiEnumeratorPtr& out) {
    out.reset();
    if (HResult hr = Preamble("ExecQuery", ns, wql); hr != kSOk) return hr;
    WqlQuery q;
    if (HResult hr = ParseWql(wql, q); Failed(hr)) return hr;
    std::vector<WmiObjectPtr> objects;
    {
        std::lock_guard lock(mu_);
        Settle();
        if (q.kind == WqlQuery::Kind::Select) {
            std::vector<const ClassEntry*> targets;
            const ClassEntry* exact = nullptr;
            for (const auto& c : classes_) {
                if (c.ns != ns || !c.def->IsA(q.className)) continue;
                targets.push_back(&c);
                if (IEquals(c.def->Name(), q.className)) exact = &c;
            }
            if (targets.empty()) return kWbemEInvalidClass;
            const WmiClassDef& schema = exact ? *exact->def : *targets.front()->def;
            std::vector<std::string> named = q.columns;
            if (q.where) WqlConditionProperties(*q.where, named);
            for (const auto& n : named)
                if (!IsSystemName(n) && schema.Find(n) < 0) return kWbemEInvalidQuery;
            for (const ClassEntry* c : targets) {
                // Summary objects come only from GetSummaryInformation.
                if (c->kind == Kind::SummaryInformation) continue;
                std::vector<WmiObjectPtr> found;
                if (ns == kVirt)
                    Instances(c->kind, q.where.get(), found);
                else
                    CimInstances(c->kind, q.where.get(), found);
                WmiClassDefPtr projected;
                if (!q.selectAll) projected = c->def->Project(q.columns);
                for (auto& o : found) {
                    if (q.where && !WqlMatches(*q.where, *o)) continue;
                    objects.push_back(projected ? ProjectObject(*o, projected) : std::move(o));
                }
            }
        } else {
            if (HResult hr = Associators(q, ns, objects); Failed(hr)) return hr;
        }
    }
    out = std::make_shared<SimEnumerator>(shared_from_this(), ns, std::string(wql),
                                          std::move(objects));
    return kSOk;
}

HResult Impl::GetObject(Ns ns, std::string_view path, WmiObjectPtr& out) {
    out.reset();
    if (HResult hr = Preamble("GetObject", ns, path); hr != kSOk) return hr;
    WmiObjectPath p;
    if (Failed(ParseObjectPath(path, p))) return kWbemEInvalidObjectPath;
    if (!p.server.empty() && p.server != "." && !IEquals(p.server, computerName))
        return kWbemEInvalidObjectPath;
    const ClassEntry* cls = FindClass(ns, p.className);
    if (!cls) return kWbemEInvalidClass;
    if (p.IsClassPath()) {
        out = cls->classObject->Clone();  // callers may change their copy
        return kSOk;
    }
    std::lock_guard lock(mu_);
    Settle();
    Ref ref{cls->kind};
    if (Failed(Resolve(p, ns, ref))) return kWbemENotFound;
    out = ns == kVirt ? Make(ref) : MakeCim(ref);
    return out ? kSOk : kWbemENotFound;
}

HResult Impl::ExecMethod(Ns ns, std::string_view path, std::string_view method,
                         const WmiObjectPtr& in, WmiObjectPtr& out) {
    out.reset();
    std::string text = std::string(method) + " " + std::string(path);
    if (HResult hr = Preamble("ExecMethod", ns, text); hr != kSOk) return hr;
    WmiObjectPath p;
    if (Failed(ParseObjectPath(path, p))) return kWbemEInvalidObjectPath;
    if (!p.server.empty() && p.server != "." && !IEquals(p.server, computerName))
        return kWbemEInvalidObjectPath;
    const ClassEntry* cls = FindClass(ns, p.className);
    if (!cls) return kWbemEInvalidClass;
    const WmiMethodDef* m = cls->def->FindMethod(method);
    if (!m) return kWbemEInvalidMethod;
    if (p.IsClassPath()) return kWbemEIllegalOperation;  // none of these methods is static
    // The parameters are read by name into the method's own signature, as WMI does.
    auto params = WmiObject::MakeInstance(m->in);
    if (in) {
        for (const auto& prop : m->in->Properties()) {
            WmiValue v;
            if (Failed(in->Get(prop.name, v))) continue;
            if (Failed(params->Put(prop.name, v))) return kWbemEInvalidParameter;
        }
    }
    std::lock_guard lock(mu_);
    Settle();
    Ref ref{cls->kind};
    if (Failed(Resolve(p, ns, ref))) return kWbemENotFound;
    return RunMethod(ref, *cls, *m, params, out);
}

}  // namespace simhost

// ---- services and locator ----------------------------------------------------------------

namespace {

class SimServices : public WmiServices {
  public:
    SimServices(std::shared_ptr<Impl> host, Ns ns) : host_(std::move(host)), ns_(ns) {}

    HResult ExecQuery(std::string_view wql, WmiEnumeratorPtr& result) override {
        return host_->ExecQuery(ns_, wql, result);
    }
    HResult GetObject(std::string_view path, WmiObjectPtr& result) override {
        return host_->GetObject(ns_, path, result);
    }
    HResult ExecMethod(std::string_view objectPath, std::string_view method,
                       const WmiObjectPtr& inParams, WmiObjectPtr& outParams) override {
        return host_->ExecMethod(ns_, objectPath, method, inParams, outParams);
    }

  private:
    std::shared_ptr<Impl> host_;
    Ns ns_;
};

class SimLocator : public WmiLocator {
  public:
    SimLocator(std::shared_ptr<Impl> host, std::string rdpAddress)
        : host_(std::move(host)), rdpAddress_(std::move(rdpAddress)) {}
    HResult ConnectServer(std::string_view path, std::string_view, std::string_view,
                          WmiServicesPtr& services) override {
        services.reset();
        Ns ns = kVirt;
        HResult hr = host_->Connect(path, ns);
        if (Failed(hr)) return hr;
        services = std::make_shared<SimServices>(host_, ns);
        return kSOk;
    }
    // Powering a simulated host off or on ends the same way: it starts again.
    HostShutdownResult ShutdownHost(bool, std::string_view, std::string_view) override {
        host_->RestartHost();
        return {};
    }
    // The rdp= address of the host text (a simulated host's text is no host name), by default
    // loopback.
    std::string ConsoleAddress() const override {
        return rdpAddress_.empty() ? std::string("127.0.0.1") : rdpAddress_;
    }

  private:
    std::shared_ptr<Impl> host_;
    std::string rdpAddress_;
};

std::mutex& RegistryLock() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::shared_ptr<SimHostImpl>>& Registry() {
    static std::map<std::string, std::shared_ptr<SimHostImpl>> hosts;
    return hosts;
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > 63) return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    }
    return true;
}

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

}  // namespace

// SimHostImpl is the public name of the inside; it is the Impl itself.
class SimHostImpl : public Impl {
  public:
    using Impl::Impl;
};

bool ParseSimUrl(std::string_view text, std::string& name, SimHostOptions& options) {
    if (text.size() < 6 || !IEquals(text.substr(0, 6), "sim://")) return false;
    text.remove_prefix(6);
    std::string_view query;
    if (auto q = text.find('?'); q != std::string_view::npos) {
        query = text.substr(q + 1);
        text = text.substr(0, q);
    }
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    if (!ValidName(text)) return false;
    name = UpperAscii(text);
    options = SimHostOptions{};
    while (!query.empty()) {
        std::string_view pair = query.substr(0, query.find('&'));
        query = pair.size() < query.size() ? query.substr(pair.size() + 1) : std::string_view();
        if (pair.empty()) continue;
        auto eq = pair.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = pair.substr(0, eq), value = pair.substr(eq + 1);
        if (IEquals(key, "vms")) {
            if (!ParseNumber(value, options.vmCount) || options.vmCount > 5000) return false;
        } else if (IEquals(key, "seed")) {
            if (!ParseNumber(value, options.seed)) return false;
        } else if (IEquals(key, "rdp")) {
            if (value.empty() || value.size() > 255) return false;
            options.rdpAddress = std::string(value);
        } else {
            return false;
        }
    }
    return true;
}

SimHost SimHost::Get(std::string_view hostName, const SimHostOptions& options) {
    std::string key = UpperAscii(hostName);
    std::lock_guard lock(RegistryLock());
    auto& slot = Registry()[key];
    if (!slot) slot = std::make_shared<SimHostImpl>(key, options);
    return SimHost(slot);
}

void SimHost::Remove(std::string_view hostName) {
    std::lock_guard lock(RegistryLock());
    Registry().erase(UpperAscii(hostName));
}

WmiLocatorPtr CreateSimLocator(std::string_view hostText) {
    std::string hostName;
    SimHostOptions options;
    if (!ParseSimUrl(hostText, hostName, options)) return nullptr;
    std::shared_ptr<SimHostImpl> host;
    {
        std::lock_guard lock(RegistryLock());
        auto& slot = Registry()[hostName];
        if (!slot) slot = std::make_shared<SimHostImpl>(hostName, options);
        host = slot;
    }
    return std::make_shared<SimLocator>(host, options.rdpAddress);
}

const std::string& SimHost::Name() const {
    return impl_->name;
}
const std::string& SimHost::ComputerName() const {
    return impl_->computerName;
}
const std::string& SimHost::RdpAddress() const {
    return impl_->rdpAddress;
}
void SimHost::FailCalls(std::string op, std::string match, HResult hr, int count) {
    impl_->FailCalls(std::move(op), std::move(match), hr, count);
}
void SimHost::SetMethodReturn(std::string method, std::uint32_t code, int count) {
    impl_->SetMethodReturn(std::move(method), code, count);
}
void SimHost::SetJobOutcome(std::string method, int jobState, int errorCode,
                            std::string description, int count) {
    impl_->SetJobOutcome(std::move(method), jobState, errorCode, std::move(description), count);
}
void SimHost::SetNamespacePresent(std::string_view ns, bool present) {
    impl_->SetNamespacePresent(ns, present);
}
void SimHost::SetCallDelay(std::string op, std::string match, std::chrono::milliseconds delay,
                           int count) {
    impl_->SetCallDelay(std::move(op), std::move(match), delay, count);
}
void SimHost::SetJobDuration(std::chrono::milliseconds duration) {
    impl_->SetJobDuration(duration);
}
void SimHost::SetJobRunningStates(std::vector<int> states) {
    impl_->SetJobRunningStates(std::move(states));
}
void SimHost::SetUptime(std::chrono::milliseconds uptime) {
    impl_->SetUptime(uptime);
}
void SimHost::SetNetworkRates(std::vector<std::uint64_t> bytesPerSecond) {
    impl_->SetNetworkRates(std::move(bytesPerSecond));
}
void SimHost::ClearHooks() {
    impl_->ClearHooks();
}
std::vector<SimVmInfo> SimHost::ListVms() const {
    return impl_->ListVms();
}
std::vector<SimCheckpointInfo> SimHost::ListCheckpoints(std::string_view vmId) const {
    return impl_->ListCheckpoints(vmId);
}
bool SimHost::SetVmState(std::string_view vmId, int enabledState) {
    return impl_->SetVmState(vmId, enabledState);
}
bool SimHost::SetVmName(std::string_view vmId, std::string newName) {
    return impl_->SetVmName(vmId, std::move(newName));
}
void SimHost::RestartHost() {
    impl_->RestartHost();
}
std::uint64_t SimHost::CallCount(std::string_view operation) const {
    return impl_->CallCount(operation);
}

}  // namespace hbr
