#include "hyperv/wmi/class_catalogue.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <memory>

namespace hbr {

namespace {

constexpr CimType Arr(CimType t) {
    return static_cast<CimType>(t | CIM_FLAG_ARRAY);
}

CimProperty P(const char* name, CimType type, bool key = false) {
    return {name, type, key, {}};
}
CimProperty Key(const char* name, CimType type = CIM_STRING) {
    return {name, type, true, {}};
}
// A reference to an instance of `cls`.
CimProperty Ref(const char* name, const char* cls) {
    return {name, CIM_REFERENCE, false, cls};
}
// A string or object (array) holding an instance of `cls`.
CimProperty Embedded(const char* name, CimType type, const char* cls) {
    return {name, type, false, cls};
}

std::vector<CimProperty> Join(std::vector<CimProperty> v, std::initializer_list<CimProperty> more) {
    v.insert(v.end(), more.begin(), more.end());
    return v;
}

// Sets the key flag of the named properties.
std::vector<CimProperty> Keyed(std::vector<CimProperty> v,
                               std::initializer_list<const char*> names) {
    for (auto& p : v)
        for (const char* n : names)
            if (p.name == n) p.key = true;
    return v;
}

std::vector<CimProperty> ManagedElement() {
    return {P("Caption", CIM_STRING), P("Description", CIM_STRING), P("ElementName", CIM_STRING),
            P("InstanceID", CIM_STRING)};
}

std::vector<CimProperty> EnabledLogicalElement() {
    return Join(
        ManagedElement(),
        {P("InstallDate", CIM_DATETIME), P("Name", CIM_STRING),
         P("OperationalStatus", Arr(CIM_UINT16)), P("StatusDescriptions", Arr(CIM_STRING)),
         P("Status", CIM_STRING), P("HealthState", CIM_UINT16), P("EnabledState", CIM_UINT16),
         P("OtherEnabledState", CIM_STRING), P("RequestedState", CIM_UINT16),
         P("EnabledDefault", CIM_UINT16), P("TimeOfLastStateChange", CIM_DATETIME)});
}

std::vector<CimProperty> Service() {
    return Join(
        Keyed(EnabledLogicalElement(), {"Name"}),
        {Key("CreationClassName"), Key("SystemCreationClassName"), Key("SystemName"),
         P("PrimaryOwnerName", CIM_STRING), P("StartMode", CIM_STRING), P("Started", CIM_BOOLEAN)});
}

std::vector<CimProperty> Device() {
    return Join(EnabledLogicalElement(), {Key("CreationClassName"), Key("DeviceID"),
                                          Key("SystemCreationClassName"), Key("SystemName")});
}

std::vector<CimProperty> SettingData() {
    return Keyed(ManagedElement(), {"InstanceID"});
}

CimProperty ReturnValue() {
    return P("ReturnValue", CIM_UINT32);
}

// A method that answers ReturnValue and, when it runs on, a job.
CimMethod JobMethod(const char* name, std::vector<CimProperty> in) {
    return {name, std::move(in), {ReturnValue(), Ref("Job", "CIM_ConcreteJob")}};
}

const std::vector<std::string> kLogical = {"CIM_EnabledLogicalElement", "CIM_LogicalElement",
                                           "CIM_ManagedSystemElement", "CIM_ManagedElement"};
const std::vector<std::string> kService = {"CIM_Service", "CIM_EnabledLogicalElement",
                                           "CIM_LogicalElement", "CIM_ManagedSystemElement",
                                           "CIM_ManagedElement"};
const std::vector<std::string> kDevice = {"CIM_LogicalDevice", "CIM_EnabledLogicalElement",
                                          "CIM_LogicalElement", "CIM_ManagedSystemElement",
                                          "CIM_ManagedElement"};

std::vector<std::string> Above(std::initializer_list<const char*> own,
                               const std::vector<std::string>& rest) {
    std::vector<std::string> v(own.begin(), own.end());
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

std::vector<CimClass> BuildCatalogue() {
    const std::string virt = "root\\virtualization\\v2";
    const std::string cim = "root\\cimv2";
    std::vector<CimClass> c;

    // ---- root\virtualization\v2 ----
    c.emplace_back(
        "Msvm_ComputerSystem", virt, Above({"CIM_ComputerSystem", "CIM_System"}, kLogical),
        Join(Keyed(EnabledLogicalElement(), {"Name"}),
             {Key("CreationClassName"), P("NameFormat", CIM_STRING),
              P("PrimaryOwnerName", CIM_STRING), P("PrimaryOwnerContact", CIM_STRING),
              P("Roles", Arr(CIM_STRING)), P("OnTimeInMilliseconds", CIM_UINT64),
              P("ProcessID", CIM_UINT32), P("TimeOfLastConfigurationChange", CIM_DATETIME),
              P("NumberOfNumaNodes", CIM_UINT16), P("ReplicationState", CIM_UINT16),
              P("ReplicationHealth", CIM_UINT16), P("ReplicationMode", CIM_UINT16),
              P("LastReplicationTime", CIM_DATETIME), P("EnhancedSessionModeState", CIM_UINT16),
              P("AvailableRequestedStates", Arr(CIM_UINT16))}),
        std::vector<CimMethod>{
            JobMethod("RequestStateChange",
                      {P("RequestedState", CIM_UINT16), P("TimeoutPeriod", CIM_DATETIME)})});
    c.emplace_back("Msvm_VirtualSystemSettingData", virt,
                   std::vector<std::string>{"CIM_VirtualSystemSettingData", "CIM_SettingData",
                                            "CIM_ManagedElement"},
                   Join(SettingData(), {P("VirtualSystemIdentifier", CIM_STRING),
                                        P("VirtualSystemType", CIM_STRING),
                                        P("Notes", Arr(CIM_STRING)),
                                        P("CreationTime", CIM_DATETIME),
                                        P("Version", CIM_STRING),
                                        P("VirtualSystemSubType", CIM_STRING),
                                        P("Parent", CIM_STRING),
                                        P("ConfigurationID", CIM_STRING),
                                        P("ConfigurationDataRoot", CIM_STRING),
                                        P("SnapshotDataRoot", CIM_STRING),
                                        P("AutomaticStartupAction", CIM_UINT16),
                                        P("AutomaticShutdownAction", CIM_UINT16),
                                        P("AutomaticRecoveryAction", CIM_UINT16),
                                        P("IsSaved", CIM_BOOLEAN),
                                        P("SecureBootEnabled", CIM_BOOLEAN),
                                        P("BIOSGUID", CIM_STRING),
                                        P("BIOSSerialNumber", CIM_STRING),
                                        P("UserSnapshotType", CIM_UINT16),
                                        P("IsAutomaticSnapshot", CIM_BOOLEAN),
                                        P("VirtualNumaEnabled", CIM_BOOLEAN),
                                        P("LowMmioGapSize", CIM_UINT64)}));
    c.emplace_back(
        "Msvm_VirtualSystemManagementService", virt,
        Above({"CIM_VirtualSystemManagementService"}, kService), Service(),
        std::vector<CimMethod>{
            {"GetSummaryInformation",
             {{"SettingData", Arr(CIM_REFERENCE), false, "CIM_VirtualSystemSettingData"},
              P("RequestedInformation", Arr(CIM_UINT32))},
             {ReturnValue(),
              Embedded("SummaryInformation", Arr(CIM_OBJECT), "Msvm_SummaryInformation")}},
            JobMethod("ModifySystemSettings",
                      {Embedded("SystemSettings", CIM_STRING, "CIM_VirtualSystemSettingData")}),
            {"GetVirtualSystemThumbnailImage",
             {Ref("TargetSystem", "CIM_VirtualSystemSettingData"), P("WidthPixels", CIM_UINT16),
              P("HeightPixels", CIM_UINT16)},
             {ReturnValue(), P("ImageData", Arr(CIM_UINT8))}}});
    c.emplace_back(
        "Msvm_VirtualSystemSnapshotService", virt,
        Above({"CIM_VirtualSystemSnapshotService"}, kService), Service(),
        std::vector<CimMethod>{
            {"CreateSnapshot",
             {Ref("AffectedSystem", "CIM_ComputerSystem"),
              Embedded("SnapshotSettings", CIM_STRING, "CIM_SettingData"),
              P("SnapshotType", CIM_UINT16)},
             {ReturnValue(), Ref("Job", "CIM_ConcreteJob"),
              Ref("ResultingSnapshot", "CIM_VirtualSystemSettingData")}},
            JobMethod("ApplySnapshot", {Ref("Snapshot", "CIM_VirtualSystemSettingData")}),
            JobMethod("DestroySnapshot", {Ref("AffectedSnapshot", "CIM_VirtualSystemSettingData")}),
            JobMethod("DestroySnapshotTree",
                      {Ref("SnapshotSettingData", "CIM_VirtualSystemSettingData")})});
    c.emplace_back(
        "Msvm_ConcreteJob", virt,
        std::vector<std::string>{"CIM_ConcreteJob", "CIM_Job", "CIM_LogicalElement",
                                 "CIM_ManagedSystemElement", "CIM_ManagedElement"},
        Join(SettingData(),
             {P("Name", CIM_STRING), P("JobState", CIM_UINT16), P("JobStatus", CIM_STRING),
              P("PercentComplete", CIM_UINT16), P("ErrorCode", CIM_UINT16),
              P("ErrorDescription", CIM_STRING), P("ErrorSummaryDescription", CIM_STRING),
              P("StartTime", CIM_DATETIME), P("TimeSubmitted", CIM_DATETIME),
              P("ElapsedTime", CIM_DATETIME), P("JobType", CIM_UINT16),
              P("Cancellable", CIM_BOOLEAN), P("DeleteOnCompletion", CIM_BOOLEAN),
              P("Priority", CIM_UINT32), P("Status", CIM_STRING), P("HealthState", CIM_UINT16),
              P("OperationalStatus", Arr(CIM_UINT16))}));
    c.emplace_back("Msvm_SummaryInformation", virt,
                   std::vector<std::string>{"Msvm_SummaryInformationBase", "CIM_View"},
                   std::vector<CimProperty>{
                       P("InstanceID", CIM_STRING),
                       P("AllocatedGPU", CIM_STRING),
                       P("Shielded", CIM_BOOLEAN),
                       Embedded("AsynchronousTasks", Arr(CIM_OBJECT), "Msvm_ConcreteJob"),
                       P("CreationTime", CIM_DATETIME),
                       P("ElementName", CIM_STRING),
                       P("EnabledState", CIM_UINT16),
                       P("OtherEnabledState", CIM_STRING),
                       P("GuestOperatingSystem", CIM_STRING),
                       P("HealthState", CIM_UINT16),
                       P("Heartbeat", CIM_UINT16),
                       P("MemoryUsage", CIM_UINT64),
                       P("MemoryAvailable", CIM_SINT32),
                       P("AvailableMemoryBuffer", CIM_SINT32),
                       P("SwapFilesInUse", CIM_BOOLEAN),
                       P("Name", CIM_STRING),
                       P("Notes", CIM_STRING),
                       P("Version", CIM_STRING),
                       P("NumberOfProcessors", CIM_UINT16),
                       P("OperationalStatus", Arr(CIM_UINT16)),
                       P("ProcessorLoad", CIM_UINT16),
                       P("ProcessorLoadHistory", Arr(CIM_UINT16)),
                       Embedded("Snapshots", Arr(CIM_OBJECT), "Msvm_VirtualSystemSettingData"),
                       P("StatusDescriptions", Arr(CIM_STRING)),
                       P("ThumbnailImage", Arr(CIM_UINT8)),
                       P("ThumbnailImageHeight", CIM_UINT16),
                       P("ThumbnailImageWidth", CIM_UINT16),
                       P("UpTime", CIM_UINT64),
                       P("ReplicationState", CIM_UINT16),
                       P("ReplicationHealth", CIM_UINT16),
                       P("ReplicationMode", CIM_UINT16),
                       P("ApplicationHealth", CIM_UINT16),
                       P("IntegrationServicesVersionState", CIM_UINT16),
                       P("MemorySpansPhysicalNumaNodes", CIM_BOOLEAN),
                       P("EnhancedSessionModeState", CIM_UINT16),
                       P("VirtualSwitchNames", Arr(CIM_STRING)),
                       P("VirtualSystemSubType", CIM_STRING),
                       P("HostComputerSystemName", CIM_STRING)});
    // Requests the guest to shut down; it answers at once and runs no job.
    c.emplace_back("Msvm_ShutdownComponent", virt, kDevice, Device(),
                   std::vector<CimMethod>{{"InitiateShutdown",
                                           {P("Force", CIM_BOOLEAN), P("Reason", CIM_STRING)},
                                           {ReturnValue()}}});
    c.emplace_back("Msvm_HeartbeatComponent", virt, kDevice, Device());
    c.emplace_back(
        "Msvm_KvpExchangeComponent", virt, kDevice,
        Join(Device(),
             {Embedded("GuestIntrinsicExchangeItems", Arr(CIM_STRING), "Msvm_KvpExchangeDataItem"),
              Embedded("GuestExchangeItems", Arr(CIM_STRING), "Msvm_KvpExchangeDataItem")}));
    c.emplace_back("Msvm_VideoHead", virt, kDevice,
                   Join(Device(), {P("CurrentHorizontalResolution", CIM_UINT32),
                                   P("CurrentVerticalResolution", CIM_UINT32),
                                   P("CurrentBitsPerPixel", CIM_UINT32)}));
    c.emplace_back("Msvm_SyntheticEthernetPortSettingData", virt,
                   std::vector<std::string>{"Msvm_EthernetPortSettingData",
                                            "CIM_ResourceAllocationSettingData", "CIM_SettingData",
                                            "CIM_ManagedElement"},
                   Join(SettingData(),
                        {P("ResourceType", CIM_UINT16), P("ResourceSubType", CIM_STRING),
                         P("Address", CIM_STRING), P("StaticMacAddress", CIM_BOOLEAN),
                         P("Connection", Arr(CIM_STRING)),
                         P("VirtualSystemIdentifiers", Arr(CIM_STRING)), P("Parent", CIM_STRING)}));
    c.emplace_back(
        "Msvm_GuestNetworkAdapterConfiguration", virt,
        std::vector<std::string>{"CIM_IPConfigurationSettingData", "CIM_SettingData",
                                 "CIM_ManagedElement"},
        Join(SettingData(), {P("DHCPEnabled", CIM_BOOLEAN), P("DefaultGateways", Arr(CIM_STRING)),
                             P("DNSServers", Arr(CIM_STRING)), P("IPAddresses", Arr(CIM_STRING)),
                             P("Subnets", Arr(CIM_STRING)), P("ProtocolIFType", CIM_UINT16),
                             P("IPAddressOrigins", Arr(CIM_UINT16))}));
    c.emplace_back(
        "Msvm_ReplicationSettingData", virt,
        std::vector<std::string>{"CIM_SettingData", "CIM_ManagedElement"},
        Join(SettingData(),
             {P("PrimaryHostSystem", CIM_STRING), P("RecoveryHostSystem", CIM_STRING),
              P("RecoveryServerPortNumber", CIM_UINT16), P("AuthenticationType", CIM_UINT16),
              P("ReplicationInterval", CIM_UINT16), P("CompressionEnabled", CIM_BOOLEAN),
              P("VirtualSystemIdentifier", CIM_STRING)}));

    // ---- root\cimv2 ----
    c.emplace_back(
        "Win32_OperatingSystem", cim,
        std::vector<std::string>{"CIM_OperatingSystem", "CIM_LogicalElement",
                                 "CIM_ManagedSystemElement"},
        std::vector<CimProperty>{P("BootDevice", CIM_STRING),
                                 P("BuildNumber", CIM_STRING),
                                 P("BuildType", CIM_STRING),
                                 P("Caption", CIM_STRING),
                                 P("CodeSet", CIM_STRING),
                                 P("CountryCode", CIM_STRING),
                                 P("CSName", CIM_STRING),
                                 P("CurrentTimeZone", CIM_SINT16),
                                 P("FreePhysicalMemory", CIM_UINT64),
                                 P("FreeVirtualMemory", CIM_UINT64),
                                 P("InstallDate", CIM_DATETIME),
                                 P("LastBootUpTime", CIM_DATETIME),
                                 P("LocalDateTime", CIM_DATETIME),
                                 P("Locale", CIM_STRING),
                                 P("Manufacturer", CIM_STRING),
                                 Key("Name"),
                                 P("NumberOfProcesses", CIM_UINT32),
                                 P("NumberOfUsers", CIM_UINT32),
                                 P("OperatingSystemSKU", CIM_UINT32),
                                 P("OSArchitecture", CIM_STRING),
                                 P("OSType", CIM_UINT16),
                                 P("ProductType", CIM_UINT32),
                                 P("SerialNumber", CIM_STRING),
                                 P("Status", CIM_STRING),
                                 P("SystemDirectory", CIM_STRING),
                                 P("TotalVirtualMemorySize", CIM_UINT64),
                                 P("TotalVisibleMemorySize", CIM_UINT64),
                                 P("Version", CIM_STRING),
                                 P("WindowsDirectory", CIM_STRING)},
        std::vector<CimMethod>{
            {"Win32Shutdown", {P("Flags", CIM_SINT32), P("Reserved", CIM_SINT32)}, {ReturnValue()}},
            {"Reboot", {}, {ReturnValue()}},
            {"Shutdown", {}, {ReturnValue()}}});
    c.emplace_back("Win32_Processor", cim,
                   std::vector<std::string>{"CIM_Processor", "CIM_LogicalDevice",
                                            "CIM_LogicalElement", "CIM_ManagedSystemElement"},
                   std::vector<CimProperty>{
                       Key("DeviceID"), P("Name", CIM_STRING), P("Manufacturer", CIM_STRING),
                       P("NumberOfCores", CIM_UINT32), P("NumberOfLogicalProcessors", CIM_UINT32),
                       P("MaxClockSpeed", CIM_UINT32), P("CurrentClockSpeed", CIM_UINT32),
                       P("LoadPercentage", CIM_UINT16), P("SocketDesignation", CIM_STRING),
                       P("Status", CIM_STRING), P("VirtualizationFirmwareEnabled", CIM_BOOLEAN)});
    c.emplace_back(
        "Win32_ComputerSystem", cim,
        std::vector<std::string>{"CIM_UnitaryComputerSystem", "CIM_ComputerSystem", "CIM_System",
                                 "CIM_LogicalElement", "CIM_ManagedSystemElement"},
        std::vector<CimProperty>{
            Key("Name"), P("Manufacturer", CIM_STRING), P("Model", CIM_STRING),
            P("NumberOfProcessors", CIM_UINT32), P("NumberOfLogicalProcessors", CIM_UINT32),
            P("TotalPhysicalMemory", CIM_UINT64), P("DNSHostName", CIM_STRING),
            P("Domain", CIM_STRING), P("PartOfDomain", CIM_BOOLEAN), P("SystemType", CIM_STRING),
            P("Status", CIM_STRING), P("UserName", CIM_STRING)});
    c.emplace_back(
        "Win32_LogicalDisk", cim,
        std::vector<std::string>{"CIM_LogicalDisk", "CIM_StorageExtent", "CIM_LogicalDevice",
                                 "CIM_LogicalElement", "CIM_ManagedSystemElement"},
        std::vector<CimProperty>{Key("DeviceID"), P("Name", CIM_STRING),
                                 P("VolumeName", CIM_STRING), P("Status", CIM_STRING),
                                 P("Size", CIM_UINT64), P("FreeSpace", CIM_UINT64),
                                 P("DriveType", CIM_UINT32), P("FileSystem", CIM_STRING),
                                 P("MediaType", CIM_UINT32), P("VolumeSerialNumber", CIM_STRING)});
    c.emplace_back(
        "Win32_NetworkAdapter", cim,
        std::vector<std::string>{"CIM_NetworkAdapter", "CIM_LogicalDevice", "CIM_LogicalElement",
                                 "CIM_ManagedSystemElement"},
        std::vector<CimProperty>{
            Key("DeviceID"), P("Name", CIM_STRING), P("MACAddress", CIM_STRING),
            P("Status", CIM_STRING), P("PhysicalAdapter", CIM_BOOLEAN),
            P("NetConnectionID", CIM_STRING), P("NetConnectionStatus", CIM_UINT16),
            P("Speed", CIM_UINT64), P("AdapterType", CIM_STRING), P("NetEnabled", CIM_BOOLEAN)});
    const std::vector<std::string> perf = {"Win32_PerfFormattedData", "Win32_Perf"};
    c.emplace_back("Win32_PerfFormattedData_PerfOS_Processor", cim, perf,
                   std::vector<CimProperty>{
                       Key("Name"), P("PercentProcessorTime", CIM_UINT64),
                       P("PercentIdleTime", CIM_UINT64), P("PercentUserTime", CIM_UINT64),
                       P("PercentPrivilegedTime", CIM_UINT64), P("InterruptsPersec", CIM_UINT32)});
    c.emplace_back(
        "Win32_PerfFormattedData_PerfDisk_PhysicalDisk", cim, perf,
        std::vector<CimProperty>{Key("Name"), P("PercentDiskTime", CIM_UINT64),
                                 P("PercentIdleTime", CIM_UINT64), P("DiskBytesPersec", CIM_UINT64),
                                 P("CurrentDiskQueueLength", CIM_UINT32)});
    c.emplace_back("Win32_PerfFormattedData_Tcpip_NetworkInterface", cim, perf,
                   std::vector<CimProperty>{Key("Name"), P("BytesTotalPersec", CIM_UINT64),
                                            P("BytesReceivedPersec", CIM_UINT64),
                                            P("BytesSentPersec", CIM_UINT64),
                                            P("CurrentBandwidth", CIM_UINT64)});
    return c;
}

WmiPropertyDef ToDef(const CimProperty& p) {
    return {p.name, p.type, p.key};
}

WmiClassDefPtr Parameters(const std::vector<CimProperty>& params) {
    std::vector<WmiPropertyDef> defs;
    for (const auto& p : params) defs.push_back({p.name, p.type, false});
    return std::make_shared<WmiClassDef>("__PARAMETERS", std::vector<std::string>{},
                                         std::move(defs));
}

bool IsSmallInteger(CimType base) {
    return base == CIM_SINT8 || base == CIM_UINT8 || base == CIM_SINT16 || base == CIM_UINT16 ||
           base == CIM_SINT32 || base == CIM_UINT32;
}

}  // namespace

bool CimProperty::IsEmbeddedInstance() const {
    const CimType base = BaseType();
    return !className.empty() && (base == CIM_STRING || base == CIM_OBJECT);
}

const CimProperty* CimMethod::FindIn(std::string_view n) const {
    for (const auto& p : in)
        if (IEquals(p.name, n)) return &p;
    return nullptr;
}

const CimProperty* CimMethod::FindOut(std::string_view n) const {
    for (const auto& p : out)
        if (IEquals(p.name, n)) return &p;
    return nullptr;
}

CimClass::CimClass(std::string name, std::string nameSpace, std::vector<std::string> derivation,
                   std::vector<CimProperty> properties, std::vector<CimMethod> methods)
    : name_(std::move(name)),
      nameSpace_(std::move(nameSpace)),
      derivation_(std::move(derivation)),
      properties_(std::move(properties)),
      methods_(std::move(methods)) {}

const CimProperty* CimClass::FindProperty(std::string_view n) const {
    for (const auto& p : properties_)
        if (IEquals(p.name, n)) return &p;
    return nullptr;
}

const CimMethod* CimClass::FindMethod(std::string_view n) const {
    for (const auto& m : methods_)
        if (IEquals(m.name, n)) return &m;
    return nullptr;
}

std::vector<std::string> CimClass::KeyProperties() const {
    std::vector<std::string> keys;
    for (const auto& p : properties_)
        if (p.key) keys.push_back(p.name);
    return keys;
}

bool CimClass::IsA(std::string_view n) const {
    if (IEquals(name_, n)) return true;
    return std::any_of(derivation_.begin(), derivation_.end(),
                       [&](const std::string& d) { return IEquals(d, n); });
}

WmiClassDefPtr CimClass::MakeDefinition(std::string server, std::string nameSpace) const {
    std::vector<WmiPropertyDef> defs;
    defs.reserve(properties_.size());
    for (const auto& p : properties_) defs.push_back(ToDef(p));
    auto def = std::make_shared<WmiClassDef>(name_, derivation_, std::move(defs), std::move(server),
                                             nameSpace.empty() ? nameSpace_ : std::move(nameSpace));
    for (const auto& m : methods_) def->AddMethod({m.name, Parameters(m.in), Parameters(m.out)});
    return def;
}

WmiClassDefPtr CimClass::MakeDefinition(std::string server, std::string nameSpace,
                                        const std::vector<std::string>& names) const {
    return MakeDefinition(std::move(server), std::move(nameSpace))->Project(names);
}

const std::vector<CimClass>& CatalogueClasses() {
    static const std::vector<CimClass> classes = BuildCatalogue();
    return classes;
}

const CimClass* FindClass(std::string_view name) {
    for (const auto& c : CatalogueClasses())
        if (IEquals(c.Name(), name)) return &c;
    return nullptr;
}

std::uint16_t VariantKindOf(CimType type) {
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    std::uint16_t vt = VT_BSTR;
    if (base == CIM_UINT8)
        vt = VT_UI1;
    else if (IsSmallInteger(base))
        vt = VT_I4;
    else if (base == CIM_BOOLEAN)
        vt = VT_BOOL;
    else if (base == CIM_OBJECT)
        vt = VT_UNKNOWN;
    return (type & CIM_FLAG_ARRAY) ? static_cast<std::uint16_t>(vt | VT_ARRAY) : vt;
}

HResult ValueFromText(CimType type, std::string_view text, WmiValue& out) {
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    if (base == CIM_OBJECT) return kWbemETypeMismatch;
    if (base == CIM_BOOLEAN) {
        if (text == "true" || text == "1") {
            out = WmiValue::Bool(true);
        } else if (text == "false" || text == "0") {
            out = WmiValue::Bool(false);
        } else {
            return kWbemETypeMismatch;
        }
        return kSOk;
    }
    // Integers (range-checked) and every textual type go through the ordinary coercion.
    return CoerceToCimType(WmiValue::Bstr(std::string(text)), base, out);
}

HResult ValueFromTexts(CimType type, const std::vector<std::string>& texts, WmiValue& out) {
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    // Boolean arrays have no VARIANT kind here, and no property of the catalogue is one.
    if (base == CIM_OBJECT || base == CIM_BOOLEAN) return kWbemETypeMismatch;
    return CoerceToCimType(WmiValue::BstrArray(texts), static_cast<CimType>(base | CIM_FLAG_ARRAY),
                           out);
}

}  // namespace hbr
