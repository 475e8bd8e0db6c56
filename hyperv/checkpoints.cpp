// Checkpoints of a VM: the tree, and the snapshot service's methods followed to their end.
#include "hyperv/wmi_properties.h"
#include "hyperv/workspace_ops.h"
#include "store/json.h"

namespace hbr {
namespace {

void RequireGuid(const std::string& id) {
    if (!IsGuidText(id)) throw CHypervisorException(kEInvalidArg, kStepBadId);
}

std::string TextOf(const WmiObject& o, const char* name) {
    WmiValue v;
    if (Failed(o.Get(name, v)) || !v.AsBstr()) return {};
    return *v.AsBstr();
}

std::string CurrentCheckpointId(WmiWorkspace& ws, const std::string& vmId) {
    const HostPaths paths = GetHostPaths(ws);
    auto e = ws.QueryVirtualization(
        "ASSOCIATORS OF {" + VmPath(paths.hostSystemName, vmId) +
        "} WHERE ResultClass=Msvm_VirtualSystemSettingData "
        "AssocClass=Msvm_MostCurrentSnapshotInBranch");
    std::string current;
    for (WmiObjectPtr o; e->Next(kWbemInfinite, o) == kSOk && o;) {
        WmiValue v;
        if (Succeeded(o->Get("InstanceID", v)) && v.AsBstr()) current = *v.AsBstr();
        StripInstancePrefix(current);
    }
    return current;
}

void Put(WmiObject& in, const char* name, const WmiValue& value) {
    const HResult hr = in.Put(name, value);
    if (Failed(hr)) throw CHypervisorException(hr, kStepPut);
}

void RunSnapshotMethod(WmiWorkspace& ws, const char* method, const char* parameter,
                       const std::string& cpId) {
    RequireGuid(cpId);
    WmiObjectPtr in = ws.GetMethodParameters("Msvm_VirtualSystemSnapshotService", method);
    Put(*in, parameter, WmiValue::Bstr(SettingsPath(GetHostPaths(ws).hostSystemName, cpId)));
    WaitForJobCompletion(ws, ws.ExecuteOnSingleton("Msvm_VirtualSystemSnapshotService", method, in),
                         method);
}

}  // namespace

void GetCheckpointTreeJson(WmiWorkspace& ws, const std::string& vmId, std::string& out) {
    RequireGuid(vmId);
    const std::string current = CurrentCheckpointId(ws, vmId);
    const HostPaths paths = GetHostPaths(ws);
    auto e = ws.QueryVirtualization("ASSOCIATORS OF {" + VmPath(paths.hostSystemName, vmId) +
                                    "} WHERE ResultClass=Msvm_VirtualSystemSettingData "
                                    "AssocClass=Msvm_SnapshotOfVirtualSystem");
    out += "[";
    WmiObjectPtr o;
    while (true) {
        const HResult hr = e->Next(kWbemInfinite, o);
        if (Failed(hr)) throw CHypervisorException(hr, kStepRead);
        if (hr != kSOk || !o) break;
        out += "{";
        std::string id = TextOf(*o, "InstanceID");
        std::string parent = TextOf(*o, "Parent");
        StripInstancePrefix(id);
        out += "\"id\":\"" + JsonEscape(id) + "\",";
        if (!parent.empty()) {
            StripInstancePrefix(parent);
            out += "\"parent\":\"" + JsonEscape(parent) + "\",";
        } else {
            out += "\"parent\": null,";
        }
        WriteStringProperty(out, *o, "ElementName", "name");
        WriteDateProperty(out, *o, "CreationTime", "creationTime");
        StripTrailingCommas(out);
        out += "},";
        if (id == current) {
            out += "{\"name\":\"Now\",\"parent\":\"" + JsonEscape(current) + "\"},";
        }
    }
    CloseJson(out, ']');
}

void CreateCheckpoint(WmiWorkspace& ws, const std::string& vmId) {
    RequireGuid(vmId);
    MarkVmBusy(ws, vmId);
    WmiObjectPtr in = ws.GetMethodParameters("Msvm_VirtualSystemSnapshotService", "CreateSnapshot");
    Put(*in, "AffectedSystem", WmiValue::Bstr(VmPath(GetHostPaths(ws).hostSystemName, vmId)));
    Put(*in, "SnapshotSettings", WmiValue::Bstr(""));
    Put(*in, "SnapshotType", WmiValue::I4(2));
    WaitForJobCompletion(
        ws, ws.ExecuteOnSingleton("Msvm_VirtualSystemSnapshotService", "CreateSnapshot", in),
        "CreateSnapshot");
}

void ApplyCheckpoint(WmiWorkspace& ws, const std::string& vmId, const std::string& cpId) {
    RequireGuid(vmId);
    RequireGuid(cpId);
    MarkVmBusy(ws, vmId);
    std::int32_t state = 0;
    auto e = ws.QueryVirtualization("Select EnabledState from Msvm_ComputerSystem where Name=\"" +
                                    vmId + "\"");
    WmiObjectPtr vm;
    if (e->Next(kWbemInfinite, vm) == kSOk && vm) ReadIntegerProperty(*vm, "EnabledState", state);
    const bool wasRunning = state == 2;
    if (wasRunning) {
        try {
            ChangeVmState(ws, vmId, 6);
        } catch (const CHypervisorException&) {
            // The apply is attempted all the same.
        }
    }
    RunSnapshotMethod(ws, "ApplySnapshot", "Snapshot", cpId);
    if (wasRunning) {
        try {
            ChangeVmState(ws, vmId, 2);
        } catch (const CHypervisorException&) {
        }
    }
}

void RevertVm(WmiWorkspace& ws, const std::string& vmId) {
    RequireGuid(vmId);
    MarkVmBusy(ws, vmId);
    const std::string current = CurrentCheckpointId(ws, vmId);
    if (current.empty()) throw CHypervisorException("VM does not have checkpoints", kEFail);
    ApplyCheckpoint(ws, vmId, current);
}

void DeleteCheckpoint(WmiWorkspace& ws, const std::string& cpId) {
    RunSnapshotMethod(ws, "DestroySnapshot", "AffectedSnapshot", cpId);
}

void DeleteCheckpointTree(WmiWorkspace& ws, const std::string& cpId) {
    RunSnapshotMethod(ws, "DestroySnapshotTree", "SnapshotSettingData", cpId);
}

void RenameCheckpoint(WmiWorkspace& ws, const std::string& cpId, const std::string& name) {
    // An id that is not a GUID names no checkpoint, as an unknown one does.
    if (!IsGuidText(cpId)) throw CHypervisorException(kEFail, kStepCheckpointNone);
    auto e = ws.QueryVirtualization(
        "Select * from Msvm_VirtualSystemSettingData where InstanceID=\"Microsoft:" + cpId + "\"");
    WmiObjectPtr settings;
    if (e->Next(kWbemInfinite, settings) != kSOk || !settings)
        throw CHypervisorException(kEFail, kStepCheckpointNone);
    settings->Put("ElementName", WmiValue::Bstr(name));
    WmiObjectPtr in =
        ws.GetMethodParameters("Msvm_VirtualSystemManagementService", "ModifySystemSettings");
    std::string text;
    const HResult hr = settings->GetObjectText(text);
    if (Failed(hr)) throw CHypervisorException(hr, kStepRenderText);
    Put(*in, "SystemSettings", WmiValue::Bstr(text));
    WaitForJobCompletion(
        ws,
        ws.ExecuteOnSingleton("Msvm_VirtualSystemManagementService", "ModifySystemSettings", in),
        "ModifySystemSettings");
}

}  // namespace hbr
