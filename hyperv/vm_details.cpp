// The general, networking and replication views of one VM, read from the host on request.
#include "hyperv/wmi_properties.h"
#include "hyperv/workspace_ops.h"
#include "store/json.h"
#include "store/password.h"

namespace hbr {
namespace {

void RequireGuid(const std::string& id) {
    if (!IsGuidText(id)) throw CHypervisorException(kEInvalidArg, kStepBadId);
}

void Put32(std::string& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put16(std::string& b, std::uint16_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>(v >> 8));
}

void AppendThumbnail(std::string& out, const WmiObject& summary) {
    WmiValue v;
    const std::vector<std::uint8_t>* bytes = nullptr;
    if (Succeeded(summary.Get("ThumbnailImage", v))) bytes = v.AsUI1Array();
    long lower = 0, upper = -1;
    if (!bytes || Failed(v.GetArrayBounds(lower, upper)) || lower == upper) {
        out += "\"thumbnailImage\":null,";
        return;
    }
    out += "\"thumbnailImage\":\"data:image/bmp;base64," + Base64Encode(BuildThumbnailBmp(*bytes)) +
           "\",";
}

void AppendBoolean(std::string& out, const WmiObject& o, const char* name, const char* key) {
    WmiValue v;
    if (Succeeded(o.Get(name, v)) && v.Type() == VT_BOOL)
        out += std::string("\"") + key + "\":" + (v.AsBool() ? "true" : "false") + ",";
    else
        out += std::string("\"") + key + "\": null,";
}

WmiObjectPtr First(const WmiEnumeratorPtr& e) {
    WmiObjectPtr o;
    const HResult hr = e->Next(kWbemInfinite, o);
    if (Failed(hr)) throw CHypervisorException(hr, kStepRead);
    return hr == kSOk ? o : nullptr;
}

}  // namespace

std::string BuildThumbnailBmp(const std::vector<std::uint8_t>& pixels) {
    std::string b = "BM";
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 66);
    Put32(b, 40);
    Put32(b, 160);
    Put32(b, 120);
    Put16(b, 1);
    Put16(b, 16);
    Put32(b, 3);
    for (int i = 0; i < 5; ++i) Put32(b, 0);
    Put32(b, 0xF800);
    Put32(b, 0x07E0);
    Put32(b, 0x001F);
    // Bottom-up rows: the pixels in reverse order, each pixel's bytes kept in array order.
    for (long i = static_cast<long>(pixels.size()) - 1; i - 1 >= 4; i -= 2) {
        b.push_back(static_cast<char>(pixels[static_cast<std::size_t>(i - 1)]));
        b.push_back(static_cast<char>(pixels[static_cast<std::size_t>(i)]));
    }
    return b;
}

void GetVmGeneralJson(WmiWorkspace& ws, const std::string& vmId, std::string& out) {
    RequireGuid(vmId);
    if (!ws.VirtualizationServices())
        throw CHypervisorException(kRpcEConnectionTerminated, WmiWorkspace::kStepQueryNotConnected);
    const HostPaths paths = GetHostPaths(ws);
    WmiObjectPtr in =
        ws.GetMethodParameters("Msvm_VirtualSystemManagementService", "GetSummaryInformation");
    HResult hr = in->Put("SettingData",
                         WmiValue::BstrArray({SettingsPath(paths.hostSystemName, vmId)}));
    // 121 is IntegrationServicesVersionState (123 would be MemorySpansPhysicalNumaNodes).
    if (Succeeded(hr))
        hr = in->Put("RequestedInformation",
                     WmiValue::I4Array({0, 1, 2, 3, 6, 100, 104, 106, 121}));
    if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryPut);
    WmiServicesPtr services = ws.VirtualizationServices();
    if (!services) throw CHypervisorException(kRpcEConnectionTerminated, kStepSummaryExec);
    WmiObjectPtr result;
    hr = services->ExecMethod(paths.managementServicePath, "GetSummaryInformation", in, result);
    if (Failed(hr) || !result)
        throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepSummaryExec);
    WmiValue rv, list;
    hr = result->Get("ReturnValue", rv);
    if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryReturn);
    long lower = 0, upper = -1;
    bool opened = false;
    if (Succeeded(result->Get("SummaryInformation", list)) &&
        Succeeded(list.GetArrayBounds(lower, upper)) && lower <= upper) {
        // One VM was asked for: its first summary object is the view (more would not make
        // one JSON object).
        WmiValue element;
        hr = list.GetElement(lower, element);
        if (Failed(hr)) throw CHypervisorException(hr, kStepSummaryElement);
        if (WmiObjectPtr s = element.AsObject()) {
            out += "{";
            opened = true;
            WriteStringProperty(out, *s, "Name", "id");
            WriteStringProperty(out, *s, "ElementName", "name");
            WriteDateProperty(out, *s, "CreationTime", "created");
            WriteStringProperty(out, *s, "Notes", "notes");
            WriteStringProperty(out, *s, "GuestOperatingSystem", "guestOS");
            WriteNumberProperty(out, *s, "Heartbeat", "heartbeat");
            WriteNumberProperty(out, *s, "IntegrationServicesVersionState", "integrationSvc");
            AppendThumbnail(out, *s);
        }
    }
    if (!opened) out += "{";
    auto e = ws.QueryVirtualization("ASSOCIATORS OF {" + VmPath(paths.hostSystemName, vmId) +
                                    "} WHERE resultClass = Msvm_VirtualSystemSettingData");
    if (WmiObjectPtr settings = First(e)) {
        WmiValue version, subType;
        std::string text;
        if (Succeeded(settings->Get("Version", version)) && version.AsBstr())
            text = *version.AsBstr();
        if (Succeeded(settings->Get("VirtualSystemSubType", subType)) && subType.AsBstr()) {
            if (subType.AsBstr()->find(":2") != std::string::npos)
                text += " Generation 2";
            else if (subType.AsBstr()->find(":1") != std::string::npos)
                text += " Generation 1";
        }
        if (!text.empty())
            out += "\"version\":\"" + JsonEscape(text) + "\",";
        else
            out += "\"version\": null,";
    }
    CloseJson(out, '}');
}

void GetVmNetworkingJson(WmiWorkspace& ws, const std::string& vmId, std::string& out) {
    RequireGuid(vmId);
    const HostPaths paths = GetHostPaths(ws);
    out += "[";
    auto e = ws.QueryVirtualization("ASSOCIATORS OF {" + SettingsPath(paths.hostSystemName, vmId) +
                                    "} WHERE resultClass = Msvm_SyntheticEthernetPortSettingData");
    while (WmiObjectPtr a = First(e)) {
        out += "{";
        WriteStringProperty(out, *a, "ElementName", "name");
        WriteStringProperty(out, *a, "Address", "address");
        WriteArrayProperty(out, *a, "Connection", "connection");
        AppendBoolean(out, *a, "StaticMacAddress", "staticMacAddress");
        WmiValue path;
        if (Succeeded(a->Get("__Path", path)) && path.AsBstr() && !path.AsBstr()->empty()) {
            auto g = ws.QueryVirtualization(
                "ASSOCIATORS OF {" + *path.AsBstr() +
                "} WHERE resultClass = Msvm_GuestNetworkAdapterConfiguration");
            if (WmiObjectPtr c = First(g)) {
                AppendBoolean(out, *c, "DHCPEnabled", "dHCPEnabled");
                WriteArrayProperty(out, *c, "DefaultGateways", "defaultGateways");
                WriteArrayProperty(out, *c, "DNSServers", "dNSServers");
                WriteArrayProperty(out, *c, "IPAddresses", "iPAddresses");
                WriteNumberProperty(out, *c, "ProtocolIFType", "protocolIFType");
                WriteArrayProperty(out, *c, "Subnets", "subnets");
            }
        }
        StripTrailingCommas(out);
        out += "},";
    }
    CloseJson(out, ']');
}

void GetVmReplicationJson(WmiWorkspace& ws, const std::string& vmId, std::string& out) {
    RequireGuid(vmId);
    const HostPaths paths = GetHostPaths(ws);
    out += "{";
    auto e = ws.QueryVirtualization(
        "select ReplicationMode, ReplicationState, ReplicationHealth from Msvm_ComputerSystem "
        "where Name=\"" +
        vmId + "\"");
    if (WmiObjectPtr vm = First(e)) {
        WriteNumberProperty(out, *vm, "ReplicationMode", "mode");
        WriteNumberProperty(out, *vm, "ReplicationState", "state");
        WriteNumberProperty(out, *vm, "ReplicationHealth", "health");
    }
    auto r = ws.QueryVirtualization("ASSOCIATORS OF {" + VmPath(paths.hostSystemName, vmId) +
                                    "} WHERE resultClass = Msvm_ReplicationSettingData");
    if (WmiObjectPtr s = First(r)) {
        WriteStringProperty(out, *s, "PrimaryHostSystem", "primaryServer");
        WriteStringProperty(out, *s, "RecoveryHostSystem", "replicaServer");
    }
    CloseJson(out, '}');
}

}  // namespace hbr
