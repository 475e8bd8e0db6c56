// Methods of the simulated host: state changes, guest shutdown, checkpoints, settings changes,
// summaries and thumbnails. Return codes are those a Hyper-V host gives (0 done, 4096 job
// started, 32773 invalid parameter, 32775 invalid state, ...). Runs with the host's lock held.
#include <ctime>
#include <set>

#include "hyperv/providers/sim/sim_host_internal.h"
#include "hyperv/wmi/wmi_cimxml.h"

namespace hbr::simhost {

namespace {

constexpr std::uint32_t kInvalidParameter = 32773;
constexpr std::uint32_t kInvalidState = 32775;
constexpr std::uint32_t kNotSupported = 32770;
constexpr std::size_t kMaxNameLength = 100;
constexpr std::size_t kMaxNotesLength = 64 * 1024;

std::string SnapshotName(const std::string& vmName, std::int64_t ms) {
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char when[64];
    std::snprintf(when, sizeof when, " - (%d/%d/%d - %d:%02d:%02d %s)", tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_year + 1900, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, tm.tm_min,
                  tm.tm_sec, tm.tm_hour < 12 ? "AM" : "PM");
    return vmName + when;
}

const std::string* TextParam(const WmiObjectPtr& in, const char* name, WmiValue& holder) {
    if (Failed(in->Get(name, holder))) return nullptr;
    return holder.AsBstr();
}

}  // namespace

HResult Impl::RunMethod(const Ref& target, const ClassEntry& cls, const WmiMethodDef& m,
                        const WmiObjectPtr& in, WmiObjectPtr& out) {
    out = WmiObject::MakeInstance(m.out);
    std::uint32_t rv = 0;
    std::string job;
    const std::string& method = m.name;
    switch (cls.kind) {
        case Kind::ComputerSystem: {
            WmiValue requested;
            in->Get("RequestedState", requested);
            if (target.vm < 0)
                rv = kNotSupported;  // the host itself is not a VM
            else if (requested.Type() != VT_I4)
                rv = kInvalidParameter;
            else
                rv = RequestStateChange(target.vm, requested.AsInt32(), job);
            break;
        }
        case Kind::ShutdownComponent:
            rv = InitiateShutdown(target.vm);
            break;
        case Kind::ManagementService:
            if (IEquals(method, "GetSummaryInformation"))
                rv = GetSummaryInformation(in, out);
            else if (IEquals(method, "ModifySystemSettings"))
                rv = ModifySystemSettings(in, job);
            else
                rv = GetThumbnail(in, out);
            break;
        case Kind::SnapshotService:
            if (IEquals(method, "CreateSnapshot")) {
                std::string resulting;
                rv = CreateSnapshot(in, job, resulting);
                if (!resulting.empty()) out->Set("ResultingSnapshot", WmiValue::Bstr(resulting));
            } else if (IEquals(method, "ApplySnapshot")) {
                rv = ApplySnapshot(in, job);
            } else {
                rv = DestroySnapshot(in, IEquals(method, "DestroySnapshotTree"), job);
            }
            break;
        case Kind::OperatingSystem: {
            // Win32Shutdown flags: 0 log off, 1 shut down, 2 reboot, 8 power off, +4 forced.
            rv = 0;
            if (!TakeMethodReturn(method, rv)) {
                if (IEquals(method, "Win32Shutdown")) {
                    WmiValue flags;
                    in->Get("Flags", flags);
                    int f = flags.AsInt32();
                    if (flags.Type() != VT_I4 || (f & ~15) != 0)
                        rv = 87;  // invalid parameter
                    else if ((f & ~4) != 0)
                        RestartLocked();
                } else {
                    RestartLocked();
                }
            }
            break;
        }
        default:
            return kWbemEInvalidMethod;
    }
    out->Set("ReturnValue", WmiValue::I4(static_cast<std::int32_t>(rv)));
    if (!job.empty()) out->Set("Job", WmiValue::Bstr(job));
    return kSOk;
}

std::uint32_t Impl::RequestStateChange(int index, int requested, std::string& jobPath) {
    Vm& vm = vms_[static_cast<std::size_t>(index)];
    if (vm.busy) return kInvalidState;
    const int from = vm.state;
    int to = from;
    int transitional = 0;
    const char* caption = "";
    bool restartClock = false;
    switch (requested) {
        case 2:
            if (from == 2) return kInvalidState;
            to = 2;
            transitional = from == 9 ? 0 : 10;
            caption = from == 9 ? "Resuming Virtual Machine" : "Turning on Virtual Machine";
            restartClock = from != 9;
            break;
        case 3:
            if (from == 3) return kInvalidState;
            to = 3;
            transitional = 4;
            caption = "Turning off Virtual Machine";
            break;
        case 4:
            if (from != 2 || !vm.integration) return kInvalidState;
            to = 3;
            transitional = 4;
            caption = "Shutting down Virtual Machine";
            break;
        case 6:
            if (from != 2 && from != 9) return kInvalidState;
            to = 6;
            transitional = 4;
            caption = "Saving Virtual Machine";
            break;
        case 9:
            if (from != 2) return kInvalidState;
            to = 9;
            caption = "Pausing Virtual Machine";
            break;
        case 10:
        case 11:
            if (from != 2) return kInvalidState;
            to = 2;
            caption = "Resetting Virtual Machine";
            restartClock = true;
            break;
        default:
            return kInvalidParameter;
    }
    auto effect = [this, index, to, restartClock] {
        Vm& v = vms_[static_cast<std::size_t>(index)];
        v.state = to;
        v.changedMs = NowMs();
        if (restartClock) v.bootMs = v.changedMs;
        if (to != 2 && to != 9) v.bootMs = 0;
    };
    auto begin = [this, index, transitional] {
        vms_[static_cast<std::size_t>(index)].transitional = transitional;
    };
    return StartWork("RequestStateChange", index, caption, 94, begin, effect, nullptr, jobPath);
}

// A host takes the request and answers 0 at once, with no job; the guest shuts down afterwards
// (here: as a job nobody is told about, so the VM is busy meanwhile).
std::uint32_t Impl::InitiateShutdown(int index) {
    Vm& vm = vms_[static_cast<std::size_t>(index)];
    if (vm.busy || vm.state != 2 || !vm.integration) return kInvalidState;
    auto begin = [this, index] { vms_[static_cast<std::size_t>(index)].transitional = 4; };
    auto effect = [this, index] {
        Vm& v = vms_[static_cast<std::size_t>(index)];
        v.state = 3;
        v.bootMs = 0;
        v.changedMs = NowMs();
    };
    std::string unannounced;
    const std::uint32_t rv = StartWork("InitiateShutdown", index, "Initiating Shutdown", 0, begin,
                                       effect, nullptr, unannounced);
    return rv == 4096 ? 0 : rv;
}

std::uint32_t Impl::CreateSnapshot(const WmiObjectPtr& in, std::string& jobPath,
                                   std::string& resulting) {
    WmiValue holder, type;
    const std::string* system = TextParam(in, "AffectedSystem", holder);
    if (!system) return kInvalidParameter;
    WmiObjectPath p;
    if (Failed(ParseObjectPath(*system, p)) || !IEquals(p.className, "Msvm_ComputerSystem"))
        return kInvalidParameter;
    const std::string* name = p.Key("Name");
    int index = name ? FindVm(*name) : -1;
    if (index < 0) return kInvalidParameter;
    in->Get("SnapshotType", type);
    if (!type.IsEmptyOrNull() && type.AsInt32() != 2) return kInvalidParameter;
    Vm& vm = vms_[static_cast<std::size_t>(index)];
    if (vm.busy) return kInvalidState;
    Snapshot snap;
    snap.id = NewGuid();
    snap.createdMs = NowMs();
    snap.name = SnapshotName(vm.name, snap.createdMs);
    snap.parentId = vm.current;
    snap.stateAtCreation = Realized(vm) ? 2 : 3;
    std::string id = snap.id;
    std::string path = "\\\\" + computerName +
                       "\\root\\virtualization\\v2:Msvm_VirtualSystemSettingData.InstanceID=" +
                       QuotePathValue("Microsoft:" + id);
    auto begin = [this, index] { vms_[static_cast<std::size_t>(index)].operationCode = 32768; };
    auto effect = [this, index, snap]() mutable {
        Vm& v = vms_[static_cast<std::size_t>(index)];
        // The parent may have gone meanwhile; the new checkpoint then hangs from the current.
        if (!snap.parentId.empty() && FindSnapshot(v, snap.parentId) < 0) snap.parentId = v.current;
        v.current = snap.id;
        v.snapshots.push_back(std::move(snap));
    };
    std::uint32_t rv = StartWork("CreateSnapshot", index, "Creating Checkpoint", 70, begin, effect,
                                 nullptr, jobPath);
    if (rv == 0 || rv == 4096) resulting = path;
    return rv;
}

std::uint32_t Impl::ApplySnapshot(const WmiObjectPtr& in, std::string& jobPath) {
    WmiValue holder;
    const std::string* path = TextParam(in, "Snapshot", holder);
    int vmIndex = -1, snapIndex = -1;
    if (!path || !ResolveSettingsPath(*path, vmIndex, snapIndex) || snapIndex < 0)
        return kInvalidParameter;
    Vm& vm = vms_[static_cast<std::size_t>(vmIndex)];
    if (vm.busy || Realized(vm)) return kInvalidState;  // a running VM is saved or turned off first
    std::string id = vm.snapshots[static_cast<std::size_t>(snapIndex)].id;
    auto begin = [this, vmIndex] { vms_[static_cast<std::size_t>(vmIndex)].operationCode = 32769; };
    auto effect = [this, vmIndex, id] {
        Vm& v = vms_[static_cast<std::size_t>(vmIndex)];
        int s = FindSnapshot(v, id);
        if (s < 0) return;
        v.current = id;
        v.state = v.snapshots[static_cast<std::size_t>(s)].stateAtCreation == 2 ? 6 : 3;
        v.bootMs = 0;
        v.changedMs = NowMs();
    };
    return StartWork("ApplySnapshot", vmIndex, "Applying Checkpoint", 72, begin, effect, nullptr,
                     jobPath);
}

std::uint32_t Impl::DestroySnapshot(const WmiObjectPtr& in, bool tree, std::string& jobPath) {
    WmiValue holder;
    const std::string* path =
        TextParam(in, tree ? "SnapshotSettingData" : "AffectedSnapshot", holder);
    int vmIndex = -1, snapIndex = -1;
    if (!path || !ResolveSettingsPath(*path, vmIndex, snapIndex) || snapIndex < 0)
        return kInvalidParameter;
    Vm& vm = vms_[static_cast<std::size_t>(vmIndex)];
    if (vm.busy) return kInvalidState;
    std::string id = vm.snapshots[static_cast<std::size_t>(snapIndex)].id;
    auto begin = [this, vmIndex] { vms_[static_cast<std::size_t>(vmIndex)].operationCode = 32770; };
    auto effect = [this, vmIndex, id, tree] {
        Vm& v = vms_[static_cast<std::size_t>(vmIndex)];
        int s = FindSnapshot(v, id);
        if (s < 0) return;
        const std::string parent = v.snapshots[static_cast<std::size_t>(s)].parentId;
        std::set<std::string> doomed{id};
        if (tree) {
            // Descendants: repeat until no checkpoint hangs from a doomed one.
            bool grew = true;
            while (grew) {
                grew = false;
                for (const auto& c : v.snapshots)
                    if (!doomed.count(c.id) && doomed.count(c.parentId))
                        grew = doomed.insert(c.id).second || grew;
            }
        } else {
            for (auto& c : v.snapshots)
                if (c.parentId == id) c.parentId = parent;
        }
        if (doomed.count(v.current)) v.current = parent;
        std::erase_if(v.snapshots, [&](const Snapshot& c) { return doomed.count(c.id) > 0; });
    };
    return StartWork(tree ? "DestroySnapshotTree" : "DestroySnapshot", vmIndex,
                     "Deleting Checkpoint", 71, begin, effect, nullptr, jobPath);
}

std::uint32_t Impl::ModifySystemSettings(const WmiObjectPtr& in, std::string& jobPath) {
    WmiValue holder;
    const std::string* text = TextParam(in, "SystemSettings", holder);
    if (!text) return kInvalidParameter;
    CimXmlInstance parsed;
    if (Failed(ParseCimXml(*text, parsed))) return kInvalidParameter;
    const ClassEntry& vssd = Entry(Kind::SettingData);
    if (!vssd.def->IsA(parsed.className)) return kInvalidParameter;
    std::string instanceId;
    for (const auto& p : parsed.properties)
        if (IEquals(p.name, "InstanceID") && !p.isNull && !p.isArray) instanceId = p.values.front();
    int vmIndex = -1, snapIndex = -1;
    if (!ResolveSettingsPath(
            "Msvm_VirtualSystemSettingData.InstanceID=" + QuotePathValue(instanceId), vmIndex,
            snapIndex))
        return kInvalidParameter;
    WmiObjectPtr current = Make(Ref{Kind::SettingData, vmIndex, snapIndex});
    if (!current || Failed(ApplyCimXml(parsed, *current))) return kInvalidParameter;
    WmiValue name, notes;
    current->Get("ElementName", name);
    current->Get("Notes", notes);
    const std::string* newName = name.AsBstr();
    if (!newName || newName->empty() || newName->size() > kMaxNameLength) return kInvalidParameter;
    std::vector<std::string> newNotes;
    if (auto n = notes.AsBstrArray()) newNotes = *n;
    std::size_t total = 0;
    for (const auto& n : newNotes) total += n.size();
    if (total > kMaxNotesLength) return kInvalidParameter;
    std::string snapId = snapIndex >= 0 ? vms_[static_cast<std::size_t>(vmIndex)]
                                              .snapshots[static_cast<std::size_t>(snapIndex)]
                                              .id
                                        : std::string();
    auto effect = [this, vmIndex, snapId, n = *newName, newNotes] {
        Vm& v = vms_[static_cast<std::size_t>(vmIndex)];
        if (!snapId.empty()) {
            int s = FindSnapshot(v, snapId);
            if (s < 0) return;  // deleted meanwhile
            Snapshot& snap = v.snapshots[static_cast<std::size_t>(s)];
            snap.name = n;
            snap.notes = newNotes;
        } else {
            v.name = n;
            v.notes = newNotes;
        }
    };
    // Settings changes finish at once on a host, unless a test asks for a job.
    return StartWork("ModifySystemSettings", vmIndex, "Modifying Settings", 0, nullptr, effect,
                     nullptr, jobPath, 0);
}

std::uint32_t Impl::GetSummaryInformation(const WmiObjectPtr& in, WmiObjectPtr& out) {
    std::uint32_t code = 0;
    if (TakeMethodReturn("GetSummaryInformation", code)) return code;
    WmiValue settings, requested;
    in->Get("SettingData", settings);
    in->Get("RequestedInformation", requested);
    const std::vector<std::int32_t>* codes = requested.AsI4Array();
    if (!codes) return kInvalidParameter;
    std::vector<int> wanted(codes->begin(), codes->end());
    std::vector<WmiObjectPtr> result;
    if (settings.IsEmptyOrNull()) {
        result.reserve(vms_.size());
        for (const auto& vm : vms_) result.push_back(MakeSummary(vm, nullptr, wanted));
    } else if (auto paths = settings.AsBstrArray()) {
        for (const auto& path : *paths) {
            int v = -1, s = -1;
            if (!ResolveSettingsPath(path, v, s)) continue;  // unknown settings are left out
            const Vm& vm = vms_[static_cast<std::size_t>(v)];
            result.push_back(MakeSummary(
                vm, s >= 0 ? &vm.snapshots[static_cast<std::size_t>(s)] : nullptr, wanted));
        }
    } else {
        return kInvalidParameter;
    }
    out->Set("SummaryInformation", WmiValue::ObjectArray(std::move(result)));
    return 0;
}

std::uint32_t Impl::GetThumbnail(const WmiObjectPtr& in, WmiObjectPtr& out) {
    std::uint32_t code = 0;
    if (TakeMethodReturn("GetVirtualSystemThumbnailImage", code)) return code;
    WmiValue holder, width, height;
    const std::string* path = TextParam(in, "TargetSystem", holder);
    in->Get("WidthPixels", width);
    in->Get("HeightPixels", height);
    int v = -1, s = -1;
    if (!path || !ResolveSettingsPath(*path, v, s) || s >= 0) return kInvalidParameter;
    int w = width.AsInt32(), h = height.AsInt32();
    if (width.Type() != VT_I4 || height.Type() != VT_I4 || w < 1 || h < 1 || w > 1024 || h > 768)
        return kInvalidParameter;
    const Vm& vm = vms_[static_cast<std::size_t>(v)];
    if (!Realized(vm) && vm.state != 6) return kInvalidState;
    out->Set("ImageData", WmiValue::UI1Array(RenderSimThumbnail(vm.name, vm.state, w, h)));
    return 0;
}

}  // namespace hbr::simhost
