// State changes of a VM and the following of the host's jobs to their end.
#include <thread>

#include "hyperv/workspace_ops.h"

namespace hbr {

std::string ReturnValueText(std::uint32_t code) {
    switch (code) {
        case 0: return "NoError";
        case 4096: return "JobStarted";
        case 32768: return "Failed.";
        case 32769: return "AccessDenied";
        case 32770: return "NotSupported";
        case 32771: return "UnknownStatus";
        case 32772: return "VM Operation Timeout";
        case 32773: return "InvalidParameter";
        case 32774: return "SystemIsInUse";
        case 32775: return "Invalid VM State";
        case 32776: return "IncorrectDataType";
        case 32777: return "SystemIsNotAvailable";
        case 32778: return "OutOfMemory";
        default: return "E_FAIL";
    }
}

HResult ReturnValueHresult(std::uint32_t code) {
    switch (code) {
        case 0:
        case 4096: return 0;
        case 32769: return kEAccessDenied;
        case 32770: return kENotImpl;
        case 32773: return kEInvalidArg;
        case 32778: return kEOutOfMemory;
        default: return kEFail;
    }
}

namespace {

bool IsSnapshotOrSettingsMethod(std::string_view method) {
    for (const char* m :
         {"CreateSnapshot", "ApplySnapshot", "DestroySnapshot", "ModifySystemSettings"})
        if (IEquals(method, m)) return true;
    return false;
}

}  // namespace

std::string MethodReturnText(std::string_view method, std::uint32_t code) {
    if (code < 1 || code > 6 || !IsSnapshotOrSettingsMethod(method)) return ReturnValueText(code);
    switch (code) {
        case 1: return "Not Supported";
        case 2: return "Failed";
        case 3: return "Timeout";
        case 4: return "Invalid Parameter";
        case 5: return "Invalid State";
        default: return IEquals(method, "ModifySystemSettings") ? "Incompatible Parameters"
                                                           : "Invalid Type";
    }
}

HResult MethodReturnHresult(std::string_view method, std::uint32_t code) {
    if (code < 1 || code > 6 || !IsSnapshotOrSettingsMethod(method))
        return ReturnValueHresult(code);
    if (code == 1) return kENotImpl;
    if (code == 4) return kEInvalidArg;
    return kEFail;
}

bool JobStillRunning(int jobState) {
    switch (jobState) {
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 11:
            return true;
        default:
            return false;
    }
}

bool JobSucceeded(int jobState) {
    return jobState == 7 || jobState == 32768;
}

namespace {

std::int32_t ReadI4(const WmiObject& o, const char* name, int step) {
    WmiValue v;
    const HResult hr = o.Get(name, v);
    if (Failed(hr)) throw CHypervisorException(hr, step);
    if (v.Type() != VT_I4) throw CHypervisorException("Invalid type of the property");
    return v.AsInt32();
}

void Put(WmiObject& in, const char* name, const WmiValue& value) {
    const HResult hr = in.Put(name, value);
    if (Failed(hr)) throw CHypervisorException(hr, kStepPut);
}

WmiObjectPtr Exec(WmiWorkspace& ws, const std::string& path, const char* method,
                  const WmiObjectPtr& in) {
    WmiServicesPtr services = ws.VirtualizationServices();
    if (!services)
        throw CHypervisorException(kRpcEConnectionTerminated, WmiWorkspace::kStepQueryNotConnected);
    WmiObjectPtr out;
    const HResult hr = services->ExecMethod(path, method, in, out);
    if (Failed(hr)) throw CHypervisorException(hr, WmiWorkspace::kStepExecMethod);
    return out;
}

WmiObjectPtr FindShutdownComponent(WmiWorkspace& ws, const std::string& vmId) {
    const HostPaths paths = GetHostPaths(ws);
    auto e = ws.QueryVirtualization("associators of {" + VmPath(paths.hostSystemName, vmId) +
                                    "} where AssocClass=Msvm_SystemDevice "
                                    "ResultClass=Msvm_ShutdownComponent");
    WmiObjectPtr o;
    const HResult hr = e->Next(kWbemInfinite, o);
    if (Failed(hr)) throw CHypervisorException(hr, kStepRead);
    if (hr != kSOk || !o) throw CHypervisorException("VM Shutdown Component not found");
    return o;
}

void RequestVmState(WmiWorkspace& ws, const std::string& vmId, int code) {
    WmiObjectPtr in = ws.GetMethodParameters("Msvm_ComputerSystem", "RequestStateChange");
    Put(*in, "RequestedState", WmiValue::I4(code));
    const HostPaths paths = GetHostPaths(ws);
    WaitForJobCompletion(ws,
                         Exec(ws, VmPath(paths.hostSystemName, vmId), "RequestStateChange", in));
}

void ShutdownGuest(WmiWorkspace& ws, const std::string& vmId) {
    WmiObjectPtr in = ws.GetMethodParameters("Msvm_ShutdownComponent", "InitiateShutdown");
    Put(*in, "Force", WmiValue::Bool(true));
    Put(*in, "Reason", WmiValue::Bstr("Shutdown"));
    WmiObjectPtr component = FindShutdownComponent(ws, vmId);
    const WmiValue path = WmiWorkspace::GetTypedProperty(*component, "__PATH", VT_BSTR);
    WmiObjectPtr out = Exec(ws, *path.AsBstr(), "InitiateShutdown", in);
    try {
        WaitForJobCompletion(ws, out);
    } catch (const CHypervisorException& e) {
        throw CHypervisorException(
            "The current state of VM does not support shut down. Or "
            "Integration services is not installed.",
            e.hr);
    }
}

}  // namespace

void WaitForJobCompletion(WmiWorkspace& ws, const WmiObjectPtr& outParams,
                          std::string_view method) {
    if (!outParams) throw CHypervisorException("WaitForJobCompletion failed", kEInvalidArg);
    const auto rv = static_cast<std::uint32_t>(ReadI4(*outParams, "ReturnValue", kStepRead));
    if (rv == 0) return;
    if (rv != 4096)
        throw CHypervisorException(MethodReturnText(method, rv), MethodReturnHresult(method, rv));
    const WmiValue jobPath = WmiWorkspace::GetTypedProperty(*outParams, "Job", VT_BSTR);
    WmiObjectPtr job;
    std::int32_t state = 0;
    while (true) {
        WmiServicesPtr services = ws.VirtualizationServices();
        const HResult hr =
            services ? services->GetObject(*jobPath.AsBstr(), job) : kRpcEConnectionTerminated;
        if (Failed(hr) || !job) throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepJobGet);
        state = ReadI4(*job, "JobState", kStepJobState);
        if (!JobStillRunning(state)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (JobSucceeded(state)) return;
    const WmiValue error = WmiWorkspace::GetTypedProperty(*job, "ErrorCode", VT_I4);
    if (error.AsInt32() == 0) return;
    WmiValue description;
    std::string text;
    if (Succeeded(job->Get("ErrorDescription", description)) && description.AsBstr())
        text = *description.AsBstr();
    throw CHypervisorException(text,
                               ReturnValueHresult(static_cast<std::uint32_t>(error.AsInt32())));
}

void ChangeVmState(WmiWorkspace& ws, const std::string& vmId, int code) {
    if (!IsGuidText(vmId)) throw CHypervisorException(kEInvalidArg, kStepBadId);
    MarkVmBusy(ws, vmId);
    if (code == 4)
        ShutdownGuest(ws, vmId);
    else
        RequestVmState(ws, vmId, code);
}

}  // namespace hbr
