// The VM list of a host: one GetSummaryInformation call per poll cycle, turned into one cached
// JSON object per VM.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli/process_state.h"
#include "hyperv/wmi_properties.h"
#include "hyperv/workspace_ops.h"
#include "store/json.h"

namespace hbr {

bool IsGuidText(std::string_view id) {
    if (id.size() != 36) return false;
    bool upper = false, lower = false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
            continue;
        }
        if (c >= '0' && c <= '9') continue;
        if (c >= 'A' && c <= 'F')
            upper = true;
        else if (c >= 'a' && c <= 'f')
            lower = true;
        else
            return false;
    }
    return !(upper && lower);
}

HostPaths GetHostPaths(WmiWorkspace& ws) {
    std::lock_guard lock(Locks().cache);
    return {ws.managementServicePath, ws.hostSystemName};
}

std::string VmPath(const std::string& hostSystemName, const std::string& vmId) {
    return "\\\\" + hostSystemName +
           "\\root\\virtualization\\v2:Msvm_ComputerSystem.CreationClassName="
           "\"Msvm_ComputerSystem\",Name=\"" +
           vmId + "\"";
}

std::string SettingsPath(const std::string& hostSystemName, const std::string& id) {
    return "\\\\" + hostSystemName +
           "\\root\\virtualization\\v2:Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" + id +
           "\"";
}

namespace {

void AppendState(std::string& out, const WmiObject& summary) {
    WmiValue v;
    std::int32_t state = 0;
    if (Failed(summary.Get("EnabledState", v)) || v.IsEmptyOrNull() ||
        Failed(ReadIntegerProperty(summary, "EnabledState", state))) {
        out += "\"state\":null,";
        return;
    }
    out += "\"state\":\"" + std::to_string(state == 3 ? 99999 : state) + "\",";
}

void AppendMemory(std::string& out, const WmiObject& summary) {
    std::int32_t a = 0, p = 0;
    const HResult hrA = ReadIntegerProperty(summary, "MemoryUsage", a);
    if (Succeeded(hrA) && a != 0) {
        out += "\"memoryA\": " + std::to_string(a) + ",";
        const HResult hrP = ReadIntegerProperty(summary, "MemoryAvailable", p);
        if (Succeeded(hrP) && p != 0) {
            // 32-bit arithmetic as the console expects, without signed overflow.
            const auto product = static_cast<std::int32_t>(static_cast<std::uint32_t>(100 - p) *
                                                           static_cast<std::uint32_t>(a));
            out += "\"memoryD\": " + std::to_string(product / 100) + ",";
        } else {
            out += "\"memoryD\":null,";
        }
    } else {
        out += "\"memoryA\":null,\"memoryD\":null,";
    }
}

void AppendUptime(std::string& out, const WmiObject& summary) {
    WmiValue v;
    if (Failed(summary.Get("Uptime", v)) || v.IsEmptyOrNull()) {
        out += "\"uptime\":null,";
        return;
    }
    std::uint64_t ms = 0;
    if (const std::string* s = v.AsBstr()) {
        if (s->empty() || s->size() > 20) return void(out += "\"uptime\": null,");
        for (char c : *s) {
            if (c < '0' || c > '9') return void(out += "\"uptime\": null,");
            ms = ms * 10 + static_cast<std::uint64_t>(c - '0');
        }
    } else if (v.Type() == VT_UI4) {
        ms = static_cast<std::uint32_t>(v.AsInt32());
    } else {
        out += "\"uptime\": null,";
        return;
    }
    if (ms == 0) {
        out += "\"uptime\": null,";
        return;
    }
    out += "\"uptime\": \"" + FormatTimeSpan(ms / 1000) + "\",";
}

void AppendStatus(std::string& out, const WmiObject& summary) {
    WmiValue v;
    const std::vector<std::int32_t>* codes = nullptr;
    if (Succeeded(summary.Get("OperationalStatus", v))) codes = v.AsI4Array();
    if (!codes) {
        out += "\"status\": null,";
        return;
    }
    if (!codes->empty() && (*codes)[0] == 2) {
        out += "\"status\": null,";
        return;
    }
    WriteArrayProperty(out, summary, "StatusDescriptions", "status");
}

WmiObjectPtr FirstObject(const WmiEnumeratorPtr& e, int step) {
    WmiObjectPtr o;
    const HResult hr = e->Next(kWbemInfinite, o);
    if (Failed(hr)) throw CHypervisorException(hr, step);
    return hr == kSOk ? o : nullptr;
}

constexpr int kReconnectLimit = 3;

}  // namespace

std::string BuildVmObject(const WmiObject& summary, const std::string& hostSystemName) {
    std::string out = "{";
    WriteStringProperty(out, summary, "Name", "id");
    WriteStringProperty(out, summary, "ElementName", "name");
    AppendState(out, summary);
    WriteNumberProperty(out, summary, "ProcessorLoad", "cpuUsage");
    AppendMemory(out, summary);
    AppendUptime(out, summary);
    AppendStatus(out, summary);
    // Escaped: the name comes from the host's answer.
    out += "\"host\":\"" + JsonEscape(hostSystemName) + "\",";
    CloseJson(out, '}');
    return out;
}

void ReloadVmList(WmiWorkspace& ws) {
    if (!ws.VirtualizationServices()) {
        const HResult hr = ws.ConnectVirtualization();
        if (Failed(hr)) throw CHypervisorException(hr, kStepConnect);
    }
    HostPaths paths = GetHostPaths(ws);
    if (paths.managementServicePath.empty()) {
        auto e = ws.QueryVirtualization("select * from MSVM_VirtualSystemManagementService");
        WmiObjectPtr mgmt = FirstObject(e, kStepMgmtQuery);
        if (!mgmt) throw CHypervisorException(kWbemEInvalidClass, kStepMgmtNone);
        WmiValue path, name;
        HResult hr = mgmt->Get("__Path", path);
        if (Failed(hr)) throw CHypervisorException(hr, kStepMgmtRead);
        hr = mgmt->Get("SystemName", name);
        if (Failed(hr)) throw CHypervisorException(hr, kStepMgmtRead);
        paths.managementServicePath = path.AsBstr() ? *path.AsBstr() : std::string();
        paths.hostSystemName = name.AsBstr() ? *name.AsBstr() : std::string();
        std::lock_guard lock(Locks().cache);
        ws.managementServicePath = paths.managementServicePath;
        ws.hostSystemName = paths.hostSystemName;
    }
    WmiObjectPtr cls;
    for (int attempt = 0;; ++attempt) {
        WmiServicesPtr services = ws.VirtualizationServices();
        HResult hr = services ? services->GetObject("Msvm_VirtualSystemManagementService", cls)
                              : kRpcEConnectionTerminated;
        if (Succeeded(hr)) break;
        if (hr == kWbemEInvalidNamespace || attempt >= kReconnectLimit)
            throw CHypervisorException(hr, kStepMgmtClass);
        hr = ws.ConnectVirtualization();
        if (Failed(hr)) throw CHypervisorException(hr, kStepConnect);
    }
    WmiObjectPtr signature, in;
    HResult hr = cls->GetMethod("GetSummaryInformation", signature);
    if (Failed(hr) || !signature)
        throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepSummaryMethod);
    hr = signature->SpawnInstance(in);
    if (Failed(hr)) throw CHypervisorException(hr, kStepSummarySpawn);
    hr = in->Put("SettingData", WmiValue::Null());
    if (Succeeded(hr))
        hr = in->Put("RequestedInformation",
                     WmiValue::I4Array({0, 1, 100, 101, 103, 105, 110, 111, 112}));
    if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryPut);
    WmiServicesPtr services = ws.VirtualizationServices();
    if (!services) throw CHypervisorException(kRpcEConnectionTerminated, kStepSummaryExec);
    WmiObjectPtr outParams;
    hr = services->ExecMethod(paths.managementServicePath, "GetSummaryInformation", in, outParams);
    if (Failed(hr) || !outParams)
        throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepSummaryExec);
    WmiValue rv;
    hr = outParams->Get("ReturnValue", rv);
    if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryReturn);
    // The new list is built aside and published whole: a reader between two cycles sees the
    // old list or the new one, never a half-filled one that would answer a held VM as unknown.
    // A list equal to the one held (same ids, same texts) is no change: the live data reply
    // assembled from it stays valid, and so does its entity tag.
    decltype(ws.vmCache) fresh;
    auto publish = [&ws, &fresh] {
        std::lock_guard lock(Locks().cache);
        if (ws.vmCache.size() == fresh.size() &&
            std::equal(ws.vmCache.begin(), ws.vmCache.end(), fresh.begin()))
            return;
        ws.vmCache.swap(fresh);
        NoteCachedTextChange();
    };
    WmiValue list;
    long lower = 0, upper = -1;
    if (Failed(outParams->Get("SummaryInformation", list)) ||
        Failed(list.GetArrayBounds(lower, upper))) {
        publish();
        return;
    }
    for (long i = lower; i <= upper; ++i) {
        WmiValue element;
        hr = list.GetElement(i, element);
        if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryElement);
        WmiObjectPtr summary = element.AsObject();
        if (!summary) throw CHypervisorException(kWbemETypeMismatch, kStepSummaryElement);
        WmiValue name;
        hr = summary->Get("Name", name);
        if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryName);
        const std::string* key = name.AsBstr();
        // A VM without a usable id cannot be addressed; it is left out rather than cached.
        if (!key || !IsGuidText(*key)) continue;
        fresh[*key] = BuildVmObject(*summary, paths.hostSystemName);
    }
    publish();
}

void MarkVmBusy(WmiWorkspace& ws, const std::string& vmId) {
    std::lock_guard lock(Locks().cache);
    auto it = ws.vmCache.find(vmId);
    if (it == ws.vmCache.end()) return;
    std::string& text = it->second;
    const std::size_t first = text.find(",\"state\":");
    if (first == std::string::npos) return;
    const std::size_t second = text.find(',', first + 8);
    if (second == std::string::npos) return;
    const std::string member = text.substr(first, second - first);
    const std::string busy = ",\"state\":\"1\"";
    std::string result;
    std::size_t pos = 0;
    for (std::size_t at; (at = text.find(member, pos)) != std::string::npos;
         pos = at + member.size())
        result.append(text, pos, at - pos).append(busy);
    result.append(text, pos);
    if (result == text) return;  // busy already
    text = std::move(result);
    NoteCachedTextChange();
}

bool GetCachedVm(WmiWorkspace& ws, const std::string& vmId, std::string& out) {
    std::lock_guard lock(Locks().cache);
    auto it = ws.vmCache.find(vmId);
    if (it == ws.vmCache.end()) return false;
    out = it->second;
    return true;
}

void InstallPollRefreshers() {
    WmiWorkspace::SetPollRefreshers([](WmiWorkspace& ws) { RefreshHostLive(ws); },
                                    [](WmiWorkspace& ws) { ReloadVmList(ws); });
}

}  // namespace hbr
