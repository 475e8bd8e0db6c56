// Objects of root\virtualization\v2 made from the host's state, the paths that name them and
// the associations between them. Everything here runs with the host's lock held.
#include <cmath>

#include "hyperv/providers/sim/sim_host_internal.h"
#include "hyperv/wmi/wmi_cimxml.h"

namespace hbr::simhost {

namespace {

constexpr const char* kShutdownSuffix = "9F8233AC-BE49-4C79-8EE3-E7E1985B2077";
constexpr const char* kHeartbeatSuffix = "84EAAE65-2F2E-45F5-9BB5-0E857DC8EB47";
constexpr const char* kKvpSuffix = "A9A0F4E7-5A45-4D96-B827-8A841E8C03E6";
constexpr const char* kVideoSuffix = "5AAA3A2A-1E4E-4B4C-AE04-93C8C1E5F2B6";

// "Microsoft:ID" → "ID"; anything else is no settings id.
bool StripMicrosoft(std::string_view id, std::string_view& rest) {
    if (id.size() < 10 || !IEquals(id.substr(0, 10), "Microsoft:")) return false;
    rest = id.substr(10);
    return true;
}

WmiValue Text(const std::string& s) {
    return WmiValue::Bstr(s);
}
WmiValue TextOrNull(const std::string& s) {
    return s.empty() ? WmiValue::Null() : WmiValue::Bstr(s);
}

const char* SuffixOf(Kind kind) {
    switch (kind) {
        case Kind::ShutdownComponent:
            return kShutdownSuffix;
        case Kind::HeartbeatComponent:
            return kHeartbeatSuffix;
        case Kind::KvpComponent:
            return kKvpSuffix;
        default:
            return kVideoSuffix;
    }
}

bool ComponentExists(Kind kind, const Vm& vm) {
    if (!Realized(vm)) return false;
    return kind == Kind::VideoHead || vm.integration;
}

// Association names compare without their Msvm_ / CIM_ prefix, so that the CIM superclass
// name of an association selects it as well.
bool SameAssociation(std::string_view a, std::string_view b) {
    auto strip = [](std::string_view s) {
        if (s.size() > 5 && IEquals(s.substr(0, 5), "Msvm_")) return s.substr(5);
        if (s.size() > 4 && IEquals(s.substr(0, 4), "CIM_")) return s.substr(4);
        return s;
    };
    return IEquals(strip(a), strip(b));
}

const char* OperationText(int code) {
    switch (code) {
        case 32768:
            return "Creating checkpoint";
        case 32769:
            return "Applying checkpoint";
        case 32770:
            return "Deleting checkpoint";
        default:
            return "In service";
    }
}

}  // namespace

int Wave(std::uint64_t key, std::int64_t nowMs, int lo, int hi) {
    if (hi <= lo) return lo;
    double period = 60.0 + static_cast<double>(key % 240);
    double phase = static_cast<double>((key >> 8) % 628) / 100.0;
    double t = static_cast<double>(nowMs) / 1000.0;
    double smooth = (std::sin(t * 6.283185307 / period + phase) + 1.0) / 2.0;
    std::uint64_t bucket = key ^ static_cast<std::uint64_t>(nowMs / 1000);
    double noise = static_cast<double>(SplitMix(bucket) % 1000) / 1000.0;
    double v = 0.8 * smooth + 0.2 * noise;
    return lo + static_cast<int>(v * (hi - lo));
}

bool Impl::ResolveSettingsPath(std::string_view path, int& vm, int& snap) {
    vm = snap = -1;
    WmiObjectPath p;
    if (Failed(ParseObjectPath(path, p))) return false;
    if (!IEquals(p.className, "Msvm_VirtualSystemSettingData")) return false;
    const std::string* id = p.Key("InstanceID");
    std::string_view rest;
    if (!id || !StripMicrosoft(*id, rest)) return false;
    vm = FindVm(rest);
    if (vm >= 0) return true;
    for (std::size_t i = 0; i < vms_.size(); ++i) {
        int s = FindSnapshot(vms_[i], rest);
        if (s >= 0) {
            vm = static_cast<int>(i);
            snap = s;
            return true;
        }
    }
    return false;
}

HResult Impl::Resolve(const WmiObjectPath& p, Ns ns, Ref& ref) {
    if (ns == kCim) {
        // Operating-system objects are few: find them by their path among all of them.
        std::vector<WmiObjectPtr> all;
        CimInstances(ref.kind, nullptr, all);
        std::string want = p.className;
        for (const auto& o : all) {
            WmiObjectPath op;
            ParseObjectPath(o->Path(true), op);
            bool same = op.keys.size() == p.keys.size() || p.keys.size() == 1;
            for (const auto& [k, v] : p.keys) {
                const std::string* mine =
                    k.empty() && op.keys.size() == 1 ? &op.keys[0].second : op.Key(k);
                if (!mine || !IEquals(*mine, v)) same = false;
            }
            if (same && !p.keys.empty()) {
                ref.key = o->Path(true);
                return kSOk;
            }
        }
        return kWbemENotFound;
    }
    auto key = [&](const char* name) -> const std::string* {
        if (const std::string* v = p.Key(name)) return v;
        if (p.keys.size() == 1 && p.keys[0].first.empty()) return &p.keys[0].second;
        return nullptr;
    };
    switch (ref.kind) {
        case Kind::ComputerSystem: {
            const std::string* name = key("Name");
            if (!name) return kWbemENotFound;
            if (IEquals(*name, computerName)) return kSOk;
            ref.vm = FindVm(*name);
            return ref.vm >= 0 ? kSOk : kWbemENotFound;
        }
        case Kind::SettingData: {
            const std::string* id = key("InstanceID");
            std::string_view rest;
            if (!id || !StripMicrosoft(*id, rest)) return kWbemENotFound;
            ref.vm = FindVm(rest);
            if (ref.vm >= 0) return kSOk;
            for (std::size_t i = 0; i < vms_.size(); ++i) {
                int s = FindSnapshot(vms_[i], rest);
                if (s >= 0) {
                    ref.vm = static_cast<int>(i);
                    ref.sub = s;
                    return kSOk;
                }
            }
            return kWbemENotFound;
        }
        case Kind::ManagementService:
        case Kind::SnapshotService: {
            const std::string* name = p.Key("Name");
            const char* expected = ref.kind == Kind::ManagementService ? "vmms" : "vssnapsvc";
            if (p.singleton || (name && IEquals(*name, expected))) return kSOk;
            return kWbemENotFound;
        }
        case Kind::ConcreteJob: {
            const std::string* id = key("InstanceID");
            if (!id) return kWbemENotFound;
            for (const auto& j : jobs_) {
                if (IEquals(j.id, *id)) {
                    ref.key = j.id;
                    return kSOk;
                }
            }
            return kWbemENotFound;
        }
        case Kind::ShutdownComponent:
        case Kind::HeartbeatComponent:
        case Kind::KvpComponent:
        case Kind::VideoHead: {
            const std::string* system = p.Key("SystemName");
            const std::string* device = p.Key("DeviceID");
            if (!system || !device) return kWbemENotFound;
            ref.vm = FindVm(*system);
            if (ref.vm < 0) return kWbemENotFound;
            const Vm& vm = vms_[static_cast<std::size_t>(ref.vm)];
            if (!IEquals(*device, "Microsoft:" + vm.id + "\\" + SuffixOf(ref.kind)) ||
                !ComponentExists(ref.kind, vm))
                return kWbemENotFound;
            return kSOk;
        }
        case Kind::EthernetPortSettings:
        case Kind::GuestNetworkConfig: {
            const std::string* id = key("InstanceID");
            std::string_view rest;
            if (!id || !StripMicrosoft(*id, rest)) return kWbemENotFound;
            if (ref.kind == Kind::GuestNetworkConfig) {
                if (rest.size() < 13 || !IEquals(rest.substr(0, 13), "GuestNetwork\\"))
                    return kWbemENotFound;
                rest.remove_prefix(13);
            }
            auto slash = rest.find('\\');
            if (slash == std::string_view::npos) return kWbemENotFound;
            ref.vm = FindVm(rest.substr(0, slash));
            if (ref.vm < 0) return kWbemENotFound;
            const Vm& vm = vms_[static_cast<std::size_t>(ref.vm)];
            for (std::size_t a = 0; a < vm.adapters.size(); ++a) {
                if (IEquals(vm.adapters[a].id, rest.substr(slash + 1)))
                    ref.sub = static_cast<int>(a);
            }
            if (ref.sub < 0) return kWbemENotFound;
            if (ref.kind == Kind::GuestNetworkConfig && !(vm.state == 2 && vm.integration))
                return kWbemENotFound;
            return kSOk;
        }
        case Kind::ReplicationSettings: {
            const std::string* id = key("InstanceID");
            std::string_view rest;
            if (!id || !StripMicrosoft(*id, rest)) return kWbemENotFound;
            ref.vm = FindVm(rest);
            if (ref.vm < 0 || vms_[static_cast<std::size_t>(ref.vm)].replMode == 0)
                return kWbemENotFound;
            return kSOk;
        }
        default:
            return kWbemENotFound;
    }
}

WmiObjectPtr Impl::Make(const Ref& ref) {
    const ClassEntry& cls = Entry(ref.kind);
    auto o = WmiObject::MakeInstance(cls.def);
    const std::int64_t now = NowMs();
    const Vm* vm = ref.vm >= 0 ? &vms_[static_cast<std::size_t>(ref.vm)] : nullptr;
    switch (ref.kind) {
        case Kind::ComputerSystem: {
            o->Set("CreationClassName", Text("Msvm_ComputerSystem"));
            o->Set("EnabledDefault", WmiValue::I4(2));
            if (!vm) {
                o->Set("Caption", Text("Hosting Computer System"));
                o->Set("Description", Text("Microsoft Hosting Computer System"));
                o->Set("ElementName", Text(computerName));
                o->Set("Name", Text(computerName));
                o->Set("EnabledState", WmiValue::I4(2));
                o->Set("RequestedState", WmiValue::I4(5));
                o->Set("HealthState", WmiValue::I4(5));
                o->Set("OperationalStatus", WmiValue::I4Array({2}));
                o->Set("StatusDescriptions", WmiValue::BstrArray({"OK"}));
                o->Set("NumberOfNumaNodes", WmiValue::I4(2));
                o->Set("InstallDate", Text(CimDateTime(1672531200000LL)));
                o->Set("OnTimeInMilliseconds", Text(std::to_string(now - hostBootMs_)));
                break;
            }
            int state = vm->transitional ? vm->transitional : vm->state;
            o->Set("Caption", Text("Virtual Machine"));
            o->Set("Description", Text("Microsoft Virtual Machine"));
            o->Set("ElementName", Text(vm->name));
            o->Set("Name", Text(vm->id));
            o->Set("InstallDate", Text(CimDateTime(vm->createdMs)));
            o->Set("EnabledState", WmiValue::I4(state));
            o->Set("RequestedState", WmiValue::I4(vm->transitional ? vm->state : 5));
            o->Set("HealthState", WmiValue::I4(vm->healthState));
            auto ops = vm->opStatus;
            auto descs = vm->statusDescriptions;
            if (vm->operationCode) {
                ops.push_back(vm->operationCode);
                descs.push_back(OperationText(vm->operationCode));
            }
            o->Set("OperationalStatus", WmiValue::I4Array(std::move(ops)));
            o->Set("StatusDescriptions", WmiValue::BstrArray(std::move(descs)));
            o->Set("TimeOfLastStateChange", Text(CimDateTime(vm->changedMs)));
            o->Set("TimeOfLastConfigurationChange", Text(CimDateTime(vm->changedMs)));
            o->Set("OnTimeInMilliseconds",
                   Text(std::to_string(Realized(*vm) ? now - vm->bootMs : 0)));
            if (Realized(*vm))
                o->Set("ProcessID",
                       WmiValue::I4(static_cast<std::int32_t>(1000 + HashText(vm->id) % 60000)));
            o->Set("NumberOfNumaNodes", WmiValue::I4(1));
            o->Set("ReplicationState", WmiValue::I4(vm->replState));
            o->Set("ReplicationHealth", WmiValue::I4(vm->replHealth));
            o->Set("ReplicationMode", WmiValue::I4(vm->replMode));
            o->Set("EnhancedSessionModeState",
                   WmiValue::I4(vm->integration && vm->state == 2 ? 2 : 3));
            break;
        }
        case Kind::SettingData: {
            const Snapshot* snap =
                ref.sub >= 0 ? &vm->snapshots[static_cast<std::size_t>(ref.sub)] : nullptr;
            o->Set("InstanceID", Text("Microsoft:" + (snap ? snap->id : vm->id)));
            o->Set("Caption", Text("Virtual Machine Settings"));
            o->Set("Description", Text(snap ? "Checkpoint settings for the virtual machine."
                                            : "Active settings for the virtual machine."));
            o->Set("ElementName", Text(snap ? snap->name : vm->name));
            o->Set("VirtualSystemIdentifier", Text(vm->id));
            o->Set("VirtualSystemType", Text(snap ? "Microsoft:Hyper-V:Snapshot:Realized"
                                                  : "Microsoft:Hyper-V:System:Realized"));
            o->Set("Notes", WmiValue::BstrArray(snap ? snap->notes : vm->notes));
            o->Set("CreationTime", Text(CimDateTime(snap ? snap->createdMs : vm->createdMs)));
            o->Set("Version", Text(vm->version));
            o->Set("VirtualSystemSubType",
                   Text(vm->generation == 2 ? "Microsoft:Hyper-V:SubType:2"
                                            : "Microsoft:Hyper-V:SubType:1"));
            if (snap && !snap->parentId.empty())
                o->Set("Parent", Text("\\\\" + computerName +
                                      "\\root\\virtualization\\v2:Msvm_VirtualSystemSettingData."
                                      "InstanceID=\"Microsoft:" +
                                      snap->parentId + "\""));
            o->Set("ConfigurationID", Text(vm->id));
            o->Set("ConfigurationDataRoot", Text("D:\\Hyper-V"));
            o->Set("SnapshotDataRoot", Text("D:\\Hyper-V"));
            o->Set("AutomaticStartupAction", WmiValue::I4(3));
            o->Set("AutomaticShutdownAction", WmiValue::I4(3));
            o->Set("AutomaticRecoveryAction", WmiValue::I4(3));
            o->Set("IsSaved", WmiValue::Bool(snap ? snap->stateAtCreation == 2 : vm->state == 6));
            o->Set("SecureBootEnabled", WmiValue::Bool(vm->generation == 2));
            o->Set("UserSnapshotType", WmiValue::I4(2));
            o->Set("IsAutomaticSnapshot", WmiValue::Bool(false));
            o->Set("VirtualNumaEnabled", WmiValue::Bool(true));
            o->Set("LowMmioGapSize", Text("134217728"));
            break;
        }
        case Kind::ManagementService:
        case Kind::SnapshotService: {
            bool mgmt = ref.kind == Kind::ManagementService;
            o->Set("Caption", Text(mgmt ? "Hyper-V Virtual System Management Service"
                                        : "Hyper-V Virtual System Snapshot Service"));
            o->Set("ElementName", Text(cls.def->Name()));
            o->Set("Name", Text(mgmt ? "vmms" : "vssnapsvc"));
            o->Set("CreationClassName", Text(cls.def->Name()));
            o->Set("SystemCreationClassName", Text("Msvm_ComputerSystem"));
            o->Set("SystemName", Text(computerName));
            o->Set("EnabledState", WmiValue::I4(2));
            o->Set("HealthState", WmiValue::I4(5));
            o->Set("OperationalStatus", WmiValue::I4Array({2}));
            o->Set("StatusDescriptions", WmiValue::BstrArray({"OK"}));
            o->Set("Started", WmiValue::Bool(true));
            o->Set("StartMode", Text("Automatic"));
            break;
        }
        case Kind::ConcreteJob: {
            const Job* job = nullptr;
            for (const auto& j : jobs_)
                if (j.id == ref.key) job = &j;
            if (!job) return nullptr;
            auto total =
                std::chrono::duration_cast<std::chrono::milliseconds>(job->end - job->start);
            auto done =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - job->start);
            int percent =
                job->settled ? 100
                : total.count() <= 0
                    ? 99
                    : static_cast<int>(std::min<long long>(99, done.count() * 100 / total.count()));
            bool ok = job->endState == 7;
            o->Set("InstanceID", Text(job->id));
            o->Set("Caption", Text(job->caption));
            o->Set("Description", Text(job->caption));
            o->Set("ElementName", Text(job->caption));
            o->Set("Name", Text(job->caption));
            o->Set("JobState", WmiValue::I4(job->settled ? job->endState : 4));
            o->Set("JobStatus", Text(!job->settled ? "Job is running"
                                     : ok          ? "Job completed successfully"
                                                   : "Job failed"));
            o->Set("PercentComplete", WmiValue::I4(percent));
            o->Set("ErrorCode", WmiValue::I4(job->settled ? job->errorCode : 0));
            if (job->settled && !ok) {
                o->Set("ErrorDescription", Text(job->errorDescription));
                o->Set("ErrorSummaryDescription", Text(job->errorDescription));
            }
            o->Set("StartTime", Text(CimDateTime(job->startMs)));
            o->Set("TimeSubmitted", Text(CimDateTime(job->startMs)));
            long long elapsed = job->settled ? total.count() : done.count();
            char interval[40];
            std::snprintf(interval, sizeof interval, "%08lld%02lld%02lld%02lld.%06lld:000",
                          elapsed / 86400000, elapsed / 3600000 % 24, elapsed / 60000 % 60,
                          elapsed / 1000 % 60, elapsed % 1000 * 1000);
            o->Set("ElapsedTime", Text(interval));
            o->Set("JobType", WmiValue::I4(job->jobType));
            o->Set("Cancellable", WmiValue::Bool(false));
            o->Set("DeleteOnCompletion", WmiValue::Bool(true));
            o->Set("Status", Text(ok || !job->settled ? "OK" : "Error"));
            o->Set("HealthState", WmiValue::I4(ok || !job->settled ? 5 : 20));
            o->Set("OperationalStatus", WmiValue::I4Array({ok || !job->settled ? 2 : 6}));
            break;
        }
        case Kind::ShutdownComponent:
        case Kind::HeartbeatComponent:
        case Kind::KvpComponent:
        case Kind::VideoHead: {
            const char* caption = ref.kind == Kind::ShutdownComponent    ? "Shutdown"
                                  : ref.kind == Kind::HeartbeatComponent ? "Heartbeat"
                                  : ref.kind == Kind::KvpComponent       ? "Key-Value Pair Exchange"
                                                                         : "Video Head";
            o->Set("Caption", Text(caption));
            o->Set("ElementName", Text(caption));
            o->Set("Name", Text(caption));
            o->Set("CreationClassName", Text(cls.def->Name()));
            o->Set("DeviceID", Text("Microsoft:" + vm->id + "\\" + SuffixOf(ref.kind)));
            o->Set("SystemCreationClassName", Text("Msvm_ComputerSystem"));
            o->Set("SystemName", Text(vm->id));
            o->Set("EnabledState", WmiValue::I4(2));
            o->Set("HealthState", WmiValue::I4(5));
            bool lost = ref.kind == Kind::HeartbeatComponent && vm->state == 9;
            o->Set("OperationalStatus", WmiValue::I4Array({lost ? 13 : 2}));
            o->Set("StatusDescriptions", WmiValue::BstrArray({lost ? "Lost Communication" : "OK"}));
            if (ref.kind == Kind::VideoHead) {
                o->Set("CurrentHorizontalResolution", WmiValue::I4(1024));
                o->Set("CurrentVerticalResolution", WmiValue::I4(768));
                o->Set("CurrentBitsPerPixel", WmiValue::I4(32));
            } else if (ref.kind == Kind::KvpComponent) {
                static const WmiClassDefPtr itemDef = std::make_shared<WmiClassDef>(
                    "Msvm_KvpExchangeDataItem", std::vector<std::string>{"CIM_ManagedElement"},
                    std::vector<WmiPropertyDef>{{"Caption", CIM_STRING},
                                                {"Data", CIM_STRING},
                                                {"Description", CIM_STRING},
                                                {"ElementName", CIM_STRING},
                                                {"Name", CIM_STRING},
                                                {"Source", CIM_UINT16}});
                std::vector<std::string> items;
                std::string ipv4 = vm->adapters.empty() ? "" : vm->adapters.front().ips.front();
                const std::pair<const char*, std::string> data[] = {
                    {"FullyQualifiedDomainName", vm->name + ".lab.local"},
                    {"OSName", vm->guestOs},
                    {"OSVersion", "10.0.20348"},
                    {"NetworkAddressIPv4", ipv4},
                    {"IntegrationServicesVersion", "10.0.20348.1"}};
                for (const auto& [key, value] : data) {
                    auto item = WmiObject::MakeInstance(itemDef);
                    item->Set("Name", Text(key));
                    item->Set("Data", Text(value));
                    item->Set("Source", WmiValue::I4(2));
                    items.push_back(RenderCimXml(*item));
                }
                o->Set("GuestIntrinsicExchangeItems", WmiValue::BstrArray(std::move(items)));
                o->Set("GuestExchangeItems", WmiValue::BstrArray({}));
            }
            break;
        }
        case Kind::EthernetPortSettings: {
            const Adapter& ad = vm->adapters[static_cast<std::size_t>(ref.sub)];
            o->Set("InstanceID", Text("Microsoft:" + vm->id + "\\" + ad.id));
            o->Set("Caption", Text("Ethernet Port"));
            o->Set("Description", Text("Microsoft Virtual Ethernet Port Settings"));
            o->Set("ElementName", Text(ad.name));
            o->Set("ResourceType", WmiValue::I4(10));
            o->Set("ResourceSubType", Text("Microsoft:Hyper-V:Synthetic Ethernet Port"));
            o->Set("Address", Text(ad.mac));
            o->Set("StaticMacAddress", WmiValue::Bool(ad.staticMac));
            o->Set("Connection", WmiValue::BstrArray({ad.switchName}));
            o->Set("VirtualSystemIdentifiers", WmiValue::BstrArray({"{" + ad.id + "}"}));
            break;
        }
        case Kind::GuestNetworkConfig: {
            const Adapter& ad = vm->adapters[static_cast<std::size_t>(ref.sub)];
            o->Set("InstanceID", Text("Microsoft:GuestNetwork\\" + vm->id + "\\" + ad.id));
            o->Set("ElementName", Text(ad.name));
            o->Set("DHCPEnabled", WmiValue::Bool(ad.dhcp));
            o->Set("DefaultGateways", WmiValue::BstrArray(ad.gateways));
            o->Set("DNSServers", WmiValue::BstrArray(ad.dns));
            o->Set("IPAddresses", WmiValue::BstrArray(ad.ips));
            o->Set("Subnets", WmiValue::BstrArray(ad.subnets));
            o->Set("ProtocolIFType", WmiValue::I4(4098));
            o->Set("IPAddressOrigins", WmiValue::I4Array({ad.dhcp ? 4 : 2, 3}));
            break;
        }
        case Kind::ReplicationSettings: {
            o->Set("InstanceID", Text("Microsoft:" + vm->id));
            o->Set("ElementName", Text(vm->name));
            o->Set("PrimaryHostSystem", TextOrNull(vm->primaryHost));
            o->Set("RecoveryHostSystem", TextOrNull(vm->recoveryHost));
            o->Set("RecoveryServerPortNumber", WmiValue::I4(80));
            o->Set("AuthenticationType", WmiValue::I4(1));
            o->Set("ReplicationInterval", WmiValue::I4(300));
            o->Set("CompressionEnabled", WmiValue::Bool(true));
            o->Set("VirtualSystemIdentifier", Text(vm->id));
            break;
        }
        default:
            return nullptr;
    }
    return o;
}

void Impl::Instances(Kind kind, const WqlCondition* where, std::vector<WmiObjectPtr>& out) {
    auto forVms = [&](auto&& each) {
        // A query naming one VM by id needs no walk over all of them.
        const std::string* name =
            kind == Kind::ComputerSystem ? WqlRequiredEquality(where, "Name") : nullptr;
        if (name) {
            int v = FindVm(*name);
            if (v >= 0) each(v);
            return;
        }
        for (std::size_t i = 0; i < vms_.size(); ++i) each(static_cast<int>(i));
    };
    switch (kind) {
        case Kind::ComputerSystem: {
            const std::string* name = WqlRequiredEquality(where, "Name");
            if (!name || IEquals(*name, computerName)) out.push_back(Make(Ref{kind}));
            forVms([&](int v) { out.push_back(Make(Ref{kind, v})); });
            break;
        }
        case Kind::SettingData:
            forVms([&](int v) {
                out.push_back(Make(Ref{kind, v}));
                for (std::size_t s = 0; s < vms_[static_cast<std::size_t>(v)].snapshots.size(); ++s)
                    out.push_back(Make(Ref{kind, v, static_cast<int>(s)}));
            });
            break;
        case Kind::ManagementService:
        case Kind::SnapshotService:
            out.push_back(Make(Ref{kind}));
            break;
        case Kind::ConcreteJob:
            for (const auto& j : jobs_) {
                Ref r{kind};
                r.key = j.id;
                if (auto o = Make(r)) out.push_back(std::move(o));
            }
            break;
        case Kind::ShutdownComponent:
        case Kind::HeartbeatComponent:
        case Kind::KvpComponent:
        case Kind::VideoHead:
            forVms([&](int v) {
                if (ComponentExists(kind, vms_[static_cast<std::size_t>(v)]))
                    out.push_back(Make(Ref{kind, v}));
            });
            break;
        case Kind::EthernetPortSettings:
        case Kind::GuestNetworkConfig:
            forVms([&](int v) {
                const Vm& vm = vms_[static_cast<std::size_t>(v)];
                if (kind == Kind::GuestNetworkConfig && !(vm.state == 2 && vm.integration)) return;
                for (std::size_t a = 0; a < vm.adapters.size(); ++a)
                    out.push_back(Make(Ref{kind, v, static_cast<int>(a)}));
            });
            break;
        case Kind::ReplicationSettings:
            forVms([&](int v) {
                if (vms_[static_cast<std::size_t>(v)].replMode != 0)
                    out.push_back(Make(Ref{kind, v}));
            });
            break;
        default:
            break;
    }
}

HResult Impl::Associators(const WqlQuery& q, Ns ns, std::vector<WmiObjectPtr>& out) {
    WmiObjectPath p;
    if (Failed(ParseObjectPath(q.objectPath, p)) || p.IsClassPath()) return kWbemEInvalidObjectPath;
    if (!p.server.empty() && p.server != "." && !IEquals(p.server, computerName))
        return kWbemEInvalidObjectPath;
    const ClassEntry* cls = FindClass(ns, p.className);
    if (!cls) return kWbemENotFound;
    Ref src{cls->kind};
    if (Failed(Resolve(p, ns, src))) return kWbemENotFound;
    if (ns == kCim) return kSOk;  // no associations are modelled there

    struct Edge {
        const char* assoc;
        const char* role;
        const char* resultRole;
        Ref target;
    };
    std::vector<Edge> edges;
    const Vm* vm = src.vm >= 0 ? &vms_[static_cast<std::size_t>(src.vm)] : nullptr;
    switch (src.kind) {
        case Kind::ComputerSystem:
            if (!vm) break;
            edges.push_back({"Msvm_SettingsDefineState", "ManagedElement", "SettingData",
                             Ref{Kind::SettingData, src.vm}});
            for (std::size_t s = 0; s < vm->snapshots.size(); ++s)
                edges.push_back({"Msvm_SnapshotOfVirtualSystem", "Antecedent", "Dependent",
                                 Ref{Kind::SettingData, src.vm, static_cast<int>(s)}});
            if (!vm->current.empty())
                edges.push_back({"Msvm_MostCurrentSnapshotInBranch", "Antecedent", "Dependent",
                                 Ref{Kind::SettingData, src.vm, FindSnapshot(*vm, vm->current)}});
            for (Kind k : {Kind::ShutdownComponent, Kind::HeartbeatComponent, Kind::KvpComponent,
                           Kind::VideoHead})
                if (ComponentExists(k, *vm))
                    edges.push_back(
                        {"Msvm_SystemDevice", "GroupComponent", "PartComponent", Ref{k, src.vm}});
            if (vm->replMode != 0)
                edges.push_back({"Msvm_ElementSettingData", "ManagedElement", "SettingData",
                                 Ref{Kind::ReplicationSettings, src.vm}});
            break;
        case Kind::SettingData:
            if (src.sub < 0) {
                edges.push_back({"Msvm_SettingsDefineState", "SettingData", "ManagedElement",
                                 Ref{Kind::ComputerSystem, src.vm}});
                for (std::size_t a = 0; a < vm->adapters.size(); ++a)
                    edges.push_back({"Msvm_VirtualSystemSettingDataComponent", "GroupComponent",
                                     "PartComponent",
                                     Ref{Kind::EthernetPortSettings, src.vm, static_cast<int>(a)}});
            } else {
                edges.push_back({"Msvm_SnapshotOfVirtualSystem", "Dependent", "Antecedent",
                                 Ref{Kind::ComputerSystem, src.vm}});
                if (IEquals(vm->snapshots[static_cast<std::size_t>(src.sub)].id, vm->current))
                    edges.push_back({"Msvm_MostCurrentSnapshotInBranch", "Dependent", "Antecedent",
                                     Ref{Kind::ComputerSystem, src.vm}});
            }
            break;
        case Kind::EthernetPortSettings:
            edges.push_back({"Msvm_VirtualSystemSettingDataComponent", "PartComponent",
                             "GroupComponent", Ref{Kind::SettingData, src.vm}});
            if (vm->state == 2 && vm->integration)
                edges.push_back({"Msvm_SettingDataComponent", "GroupComponent", "PartComponent",
                                 Ref{Kind::GuestNetworkConfig, src.vm, src.sub}});
            break;
        case Kind::GuestNetworkConfig:
            edges.push_back({"Msvm_SettingDataComponent", "PartComponent", "GroupComponent",
                             Ref{Kind::EthernetPortSettings, src.vm, src.sub}});
            break;
        case Kind::ShutdownComponent:
        case Kind::HeartbeatComponent:
        case Kind::KvpComponent:
        case Kind::VideoHead:
            edges.push_back({"Msvm_SystemDevice", "PartComponent", "GroupComponent",
                             Ref{Kind::ComputerSystem, src.vm}});
            break;
        case Kind::ReplicationSettings:
            edges.push_back({"Msvm_ElementSettingData", "SettingData", "ManagedElement",
                             Ref{Kind::ComputerSystem, src.vm}});
            break;
        default:
            break;
    }
    std::vector<std::string> seen;
    for (const auto& e : edges) {
        if (!q.assocClass.empty() && !SameAssociation(q.assocClass, e.assoc)) continue;
        if (!q.role.empty() && !IEquals(q.role, e.role)) continue;
        if (!q.resultRole.empty() && !IEquals(q.resultRole, e.resultRole)) continue;
        const ClassEntry& target = Entry(e.target.kind);
        if (!q.resultClass.empty() && !target.def->IsA(q.resultClass)) continue;
        if (q.classDefsOnly) {
            bool dup = false;
            for (const auto& o : out) dup = dup || o->ClassName() == target.def->Name();
            if (!dup) out.push_back(target.classObject->Clone());
            continue;
        }
        WmiObjectPtr obj = Make(e.target);
        if (!obj) continue;
        std::string path = obj->Path();
        bool dup = false;
        for (const auto& s : seen) dup = dup || s == path;
        if (dup) continue;
        seen.push_back(std::move(path));
        out.push_back(std::move(obj));
    }
    return kSOk;
}

WmiObjectPtr Impl::MakeSummary(const Vm& vm, const Snapshot* snap, const std::vector<int>& codes) {
    const ClassEntry& cls = Entry(Kind::SummaryInformation);
    auto o = WmiObject::MakeInstance(cls.def);
    const std::int64_t now = NowMs();
    const int state = vm.transitional ? vm.transitional : vm.state;
    const bool running = vm.state == 2 && !vm.transitional;
    const bool guest = running && vm.integration;
    const std::uint64_t key = HashText(vm.id, seed_);
    for (int code : codes) {
        if (snap && code >= 100) continue;  // VM-only information is not given for checkpoints
        auto it = summaryIndex_.find(code);
        int index = it == summaryIndex_.end() ? -1 : it->second;
        WmiValue v = WmiValue::Null();
        switch (code) {
            case 0:
                v = Text(snap ? snap->id : vm.id);
                break;
            case 1:
                v = Text(snap ? snap->name : vm.name);
                break;
            case 2:
                v = Text(CimDateTime(snap ? snap->createdMs : vm.createdMs));
                break;
            case 3: {
                std::string joined;
                for (const auto& n : snap ? snap->notes : vm.notes) {
                    if (!joined.empty()) joined += '\n';
                    joined += n;
                }
                v = Text(joined);
                break;
            }
            case 4:
                v = WmiValue::I4(vm.processors);
                break;
            case 5:
            case 6:
            case 7: {
                int w = code == 5 ? 80 : code == 6 ? 160 : 320;
                int h = code == 5 ? 60 : code == 6 ? 120 : 240;
                int shown = snap ? snap->stateAtCreation : state;
                if (snap || Realized(vm) || vm.state == 6) {
                    o->Set("ThumbnailImage", WmiValue::UI1Array(RenderSimThumbnail(
                                                 snap ? snap->name : vm.name, shown, w, h)));
                    o->Set("ThumbnailImageWidth", WmiValue::I4(w));
                    o->Set("ThumbnailImageHeight", WmiValue::I4(h));
                }
                continue;
            }
            case 9: {
                std::vector<std::string> names;
                for (const auto& a : vm.adapters) names.push_back(a.switchName);
                v = WmiValue::BstrArray(std::move(names));
                break;
            }
            case 10:
                v = Text(vm.version);
                break;
            case 11:
                v = WmiValue::Bool(false);
                break;
            case 100:
                v = WmiValue::I4(state);
                break;
            case 101:
                v = WmiValue::I4(running ? Wave(key, now, 1, 95) : 0);
                break;
            case 102: {
                std::vector<std::int32_t> history;
                if (running)
                    for (int s = 0; s < 100; ++s)
                        history.push_back(Wave(key, now - s * 1000, 1, 95));
                v = WmiValue::I4Array(std::move(history));
                break;
            }
            case 103: {
                int mb = Realized(vm) ? vm.memoryMb * Wave(key >> 3, now, 55, 100) / 100 : 0;
                v = Text(std::to_string(mb));
                break;
            }
            case 104:
                if (Realized(vm))
                    v = WmiValue::I4(guest ? 2 : vm.state == 9 && vm.integration ? 13 : 12);
                break;
            case 105:
                v = Text(std::to_string(Realized(vm) ? now - vm.bootMs : 0));
                break;
            case 106:
                if (guest) v = Text(vm.guestOs);
                break;
            case 107: {
                std::vector<WmiObjectPtr> snaps;
                int v2 = FindVm(vm.id);
                for (std::size_t s = 0; s < vm.snapshots.size(); ++s)
                    snaps.push_back(Make(Ref{Kind::SettingData, v2, static_cast<int>(s)}));
                v = WmiValue::ObjectArray(std::move(snaps));
                break;
            }
            case 108: {
                std::vector<WmiObjectPtr> tasks;
                for (const auto& j : jobs_) {
                    if (j.settled || j.vmId != vm.id) continue;
                    Ref r{Kind::ConcreteJob};
                    r.key = j.id;
                    tasks.push_back(Make(r));
                }
                v = WmiValue::ObjectArray(std::move(tasks));
                break;
            }
            case 109:
                v = WmiValue::I4(vm.healthState);
                break;
            case 110: {
                auto ops = vm.opStatus;
                if (vm.operationCode) ops.push_back(vm.operationCode);
                v = WmiValue::I4Array(std::move(ops));
                break;
            }
            case 111: {
                auto descs = vm.statusDescriptions;
                if (vm.operationCode) descs.push_back(OperationText(vm.operationCode));
                v = WmiValue::BstrArray(std::move(descs));
                break;
            }
            case 112:
                v = WmiValue::I4(guest ? Wave(key >> 5, now, 5, 60) : 2147483647);
                break;
            case 113:
                v = WmiValue::I4(guest ? Wave(key >> 7, now, 10, 40) : 2147483647);
                break;
            case 114:
                v = WmiValue::I4(vm.replMode);
                break;
            case 115:
                v = WmiValue::I4(vm.replState);
                break;
            case 116:
                v = WmiValue::I4(vm.replHealth);
                break;
            case 117:
                if (guest) v = WmiValue::I4(2);
                break;
            case 123:
                if (guest) v = WmiValue::I4(vm.isVersionState);
                break;
            default:
                continue;
        }
        o->Set(index, std::move(v));
    }
    return o;
}

}  // namespace hbr::simhost
