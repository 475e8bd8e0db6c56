// The classes the simulated host knows, with the property types the Hyper-V and Win32 providers
// declare (so values arrive with the kinds WMI gives them).
#include "hyperv/providers/sim/sim_host_internal.h"

namespace hbr::simhost {

namespace {

constexpr CimType Arr(CimType t) {
    return static_cast<CimType>(t | CIM_FLAG_ARRAY);
}

WmiPropertyDef P(const char* name, CimType type, bool key = false) {
    return {name, type, key};
}

WmiClassDefPtr Params(std::vector<WmiPropertyDef> props) {
    return std::make_shared<WmiClassDef>("__PARAMETERS", std::vector<std::string>{},
                                         std::move(props));
}

std::vector<WmiPropertyDef> ManagedElement() {
    return {P("Caption", CIM_STRING), P("Description", CIM_STRING), P("ElementName", CIM_STRING),
            P("InstanceID", CIM_STRING)};
}

std::vector<WmiPropertyDef> EnabledLogicalElement() {
    auto v = ManagedElement();
    for (auto p :
         {P("InstallDate", CIM_DATETIME), P("Name", CIM_STRING),
          P("OperationalStatus", Arr(CIM_UINT16)), P("StatusDescriptions", Arr(CIM_STRING)),
          P("Status", CIM_STRING), P("HealthState", CIM_UINT16), P("EnabledState", CIM_UINT16),
          P("OtherEnabledState", CIM_STRING), P("RequestedState", CIM_UINT16),
          P("EnabledDefault", CIM_UINT16), P("TimeOfLastStateChange", CIM_DATETIME)})
        v.push_back(p);
    return v;
}

std::vector<WmiPropertyDef> ServiceProps() {
    auto v = EnabledLogicalElement();
    for (auto& p : v)
        if (p.name == "Name") p.key = true;
    for (auto p :
         {P("CreationClassName", CIM_STRING, true), P("SystemCreationClassName", CIM_STRING, true),
          P("SystemName", CIM_STRING, true), P("PrimaryOwnerName", CIM_STRING),
          P("StartMode", CIM_STRING), P("Started", CIM_BOOLEAN)})
        v.push_back(p);
    return v;
}

std::vector<WmiPropertyDef> DeviceProps() {
    auto v = EnabledLogicalElement();
    for (auto p :
         {P("CreationClassName", CIM_STRING, true), P("DeviceID", CIM_STRING, true),
          P("SystemCreationClassName", CIM_STRING, true), P("SystemName", CIM_STRING, true)})
        v.push_back(p);
    return v;
}

std::vector<WmiPropertyDef> KeyedSettings() {
    auto v = ManagedElement();
    v[3].key = true;  // InstanceID
    return v;
}

std::vector<WmiPropertyDef> Append(std::vector<WmiPropertyDef> v,
                                   std::initializer_list<WmiPropertyDef> more) {
    for (const auto& p : more) v.push_back(p);
    return v;
}

const std::vector<std::string> kLogicalDerivation = {
    "CIM_EnabledLogicalElement", "CIM_LogicalElement", "CIM_ManagedSystemElement",
    "CIM_ManagedElement"};

}  // namespace

void Impl::BuildSchema() {
    const std::string virtNs = "root\\virtualization\\v2";
    const std::string cimNs = "root\\cimv2";
    auto add = [&](Kind kind, Ns ns, std::string className, std::vector<std::string> derivation,
                   std::vector<WmiPropertyDef> props, std::vector<WmiMethodDef> methods = {}) {
        auto def = std::make_shared<WmiClassDef>(std::move(className), std::move(derivation),
                                                 std::move(props), computerName,
                                                 ns == kVirt ? virtNs : cimNs);
        for (auto& m : methods) def->AddMethod(std::move(m));
        classes_.push_back({kind, ns, def, WmiObject::MakeClass(def)});
    };
    auto jobOut = [] { return Params({P("ReturnValue", CIM_UINT32), P("Job", CIM_REFERENCE)}); };

    // ---- root\virtualization\v2 ----
    {
        auto props = EnabledLogicalElement();
        for (auto& p : props)
            if (p.name == "Name") p.key = true;
        props = Append(
            std::move(props),
            {P("CreationClassName", CIM_STRING, true), P("NameFormat", CIM_STRING),
             P("PrimaryOwnerName", CIM_STRING), P("PrimaryOwnerContact", CIM_STRING),
             P("Roles", Arr(CIM_STRING)), P("OnTimeInMilliseconds", CIM_UINT64),
             P("ProcessID", CIM_UINT32), P("TimeOfLastConfigurationChange", CIM_DATETIME),
             P("NumberOfNumaNodes", CIM_UINT16), P("ReplicationState", CIM_UINT16),
             P("ReplicationHealth", CIM_UINT16), P("ReplicationMode", CIM_UINT16),
             P("LastReplicationTime", CIM_DATETIME), P("EnhancedSessionModeState", CIM_UINT16),
             P("AvailableRequestedStates", Arr(CIM_UINT16))});
        auto d = kLogicalDerivation;
        d.insert(d.begin(), {"CIM_ComputerSystem", "CIM_System"});
        add(Kind::ComputerSystem, kVirt, "Msvm_ComputerSystem", d, props,
            {{"RequestStateChange",
              Params({P("RequestedState", CIM_UINT16), P("TimeoutPeriod", CIM_DATETIME)}),
              jobOut()}});
    }
    add(Kind::SettingData, kVirt, "Msvm_VirtualSystemSettingData",
        {"CIM_VirtualSystemSettingData", "CIM_SettingData", "CIM_ManagedElement"},
        Append(KeyedSettings(), {P("VirtualSystemIdentifier", CIM_STRING),
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
    add(Kind::ManagementService, kVirt, "Msvm_VirtualSystemManagementService",
        {"CIM_VirtualSystemManagementService", "CIM_Service", "CIM_EnabledLogicalElement",
         "CIM_LogicalElement", "CIM_ManagedSystemElement", "CIM_ManagedElement"},
        ServiceProps(),
        {{"GetSummaryInformation",
          Params(
              {P("SettingData", Arr(CIM_REFERENCE)), P("RequestedInformation", Arr(CIM_UINT32))}),
          Params({P("ReturnValue", CIM_UINT32), P("SummaryInformation", Arr(CIM_OBJECT))})},
         {"ModifySystemSettings", Params({P("SystemSettings", CIM_STRING)}), jobOut()},
         {"GetVirtualSystemThumbnailImage",
          Params({P("TargetSystem", CIM_REFERENCE), P("WidthPixels", CIM_UINT16),
                  P("HeightPixels", CIM_UINT16)}),
          Params({P("ReturnValue", CIM_UINT32), P("ImageData", Arr(CIM_UINT8))})}});
    add(Kind::SnapshotService, kVirt, "Msvm_VirtualSystemSnapshotService",
        {"CIM_VirtualSystemSnapshotService", "CIM_Service", "CIM_EnabledLogicalElement",
         "CIM_LogicalElement", "CIM_ManagedSystemElement", "CIM_ManagedElement"},
        ServiceProps(),
        {{"CreateSnapshot",
          Params({P("AffectedSystem", CIM_REFERENCE), P("SnapshotSettings", CIM_STRING),
                  P("SnapshotType", CIM_UINT16)}),
          Params({P("ReturnValue", CIM_UINT32), P("Job", CIM_REFERENCE),
                  P("ResultingSnapshot", CIM_REFERENCE)})},
         {"ApplySnapshot", Params({P("Snapshot", CIM_REFERENCE)}), jobOut()},
         {"DestroySnapshot", Params({P("AffectedSnapshot", CIM_REFERENCE)}), jobOut()},
         {"DestroySnapshotTree", Params({P("SnapshotSettingData", CIM_REFERENCE)}), jobOut()}});
    add(Kind::ConcreteJob, kVirt, "Msvm_ConcreteJob",
        {"CIM_ConcreteJob", "CIM_Job", "CIM_LogicalElement", "CIM_ManagedSystemElement",
         "CIM_ManagedElement"},
        Append(KeyedSettings(),
               {P("Name", CIM_STRING), P("JobState", CIM_UINT16), P("JobStatus", CIM_STRING),
                P("PercentComplete", CIM_UINT16), P("ErrorCode", CIM_UINT16),
                P("ErrorDescription", CIM_STRING), P("ErrorSummaryDescription", CIM_STRING),
                P("StartTime", CIM_DATETIME), P("TimeSubmitted", CIM_DATETIME),
                P("ElapsedTime", CIM_DATETIME), P("JobType", CIM_UINT16),
                P("Cancellable", CIM_BOOLEAN), P("DeleteOnCompletion", CIM_BOOLEAN),
                P("Priority", CIM_UINT32), P("Status", CIM_STRING), P("HealthState", CIM_UINT16),
                P("OperationalStatus", Arr(CIM_UINT16))}));
    add(Kind::SummaryInformation, kVirt, "Msvm_SummaryInformation",
        {"Msvm_SummaryInformationBase", "CIM_View"},
        {P("InstanceID", CIM_STRING),
         P("AllocatedGPU", CIM_STRING),
         P("Shielded", CIM_BOOLEAN),
         P("AsynchronousTasks", Arr(CIM_OBJECT)),
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
         P("Snapshots", Arr(CIM_OBJECT)),
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
    {
        const WmiClassDef& s = *classes_.back().def;
        const std::pair<int, const char*> codes[] = {{0, "Name"},
                                                     {1, "ElementName"},
                                                     {2, "CreationTime"},
                                                     {3, "Notes"},
                                                     {4, "NumberOfProcessors"},
                                                     {8, "AllocatedGPU"},
                                                     {9, "VirtualSwitchNames"},
                                                     {10, "Version"},
                                                     {11, "Shielded"},
                                                     {100, "EnabledState"},
                                                     {101, "ProcessorLoad"},
                                                     {102, "ProcessorLoadHistory"},
                                                     {103, "MemoryUsage"},
                                                     {104, "Heartbeat"},
                                                     {105, "UpTime"},
                                                     {106, "GuestOperatingSystem"},
                                                     {107, "Snapshots"},
                                                     {108, "AsynchronousTasks"},
                                                     {109, "HealthState"},
                                                     {110, "OperationalStatus"},
                                                     {111, "StatusDescriptions"},
                                                     {112, "MemoryAvailable"},
                                                     {113, "AvailableMemoryBuffer"},
                                                     {114, "ReplicationMode"},
                                                     {115, "ReplicationState"},
                                                     {116, "ReplicationHealth"},
                                                     {117, "ApplicationHealth"},
                                                     {123, "IntegrationServicesVersionState"}};
        for (const auto& [code, prop] : codes) summaryIndex_[code] = s.Find(prop);
    }
    const std::vector<std::string> deviceDerivation = {
        "CIM_LogicalDevice", "CIM_EnabledLogicalElement", "CIM_LogicalElement",
        "CIM_ManagedSystemElement", "CIM_ManagedElement"};
    add(Kind::ShutdownComponent, kVirt, "Msvm_ShutdownComponent", deviceDerivation, DeviceProps(),
        {{"InitiateShutdown", Params({P("Force", CIM_BOOLEAN), P("Reason", CIM_STRING)}),
          jobOut()}});
    add(Kind::HeartbeatComponent, kVirt, "Msvm_HeartbeatComponent", deviceDerivation,
        DeviceProps());
    add(Kind::KvpComponent, kVirt, "Msvm_KvpExchangeComponent", deviceDerivation,
        Append(DeviceProps(), {P("GuestIntrinsicExchangeItems", Arr(CIM_STRING)),
                               P("GuestExchangeItems", Arr(CIM_STRING))}));
    add(Kind::VideoHead, kVirt, "Msvm_VideoHead", deviceDerivation,
        Append(DeviceProps(),
               {P("CurrentHorizontalResolution", CIM_UINT32),
                P("CurrentVerticalResolution", CIM_UINT32), P("CurrentBitsPerPixel", CIM_UINT32)}));
    add(Kind::EthernetPortSettings, kVirt, "Msvm_SyntheticEthernetPortSettingData",
        {"Msvm_EthernetPortSettingData", "CIM_ResourceAllocationSettingData", "CIM_SettingData",
         "CIM_ManagedElement"},
        Append(KeyedSettings(),
               {P("ResourceType", CIM_UINT16), P("ResourceSubType", CIM_STRING),
                P("Address", CIM_STRING), P("StaticMacAddress", CIM_BOOLEAN),
                P("Connection", Arr(CIM_STRING)), P("VirtualSystemIdentifiers", Arr(CIM_STRING)),
                P("Parent", CIM_STRING)}));
    add(Kind::GuestNetworkConfig, kVirt, "Msvm_GuestNetworkAdapterConfiguration",
        {"CIM_IPConfigurationSettingData", "CIM_SettingData", "CIM_ManagedElement"},
        Append(KeyedSettings(),
               {P("DHCPEnabled", CIM_BOOLEAN), P("DefaultGateways", Arr(CIM_STRING)),
                P("DNSServers", Arr(CIM_STRING)), P("IPAddresses", Arr(CIM_STRING)),
                P("Subnets", Arr(CIM_STRING)), P("ProtocolIFType", CIM_UINT16),
                P("IPAddressOrigins", Arr(CIM_UINT16))}));
    add(Kind::ReplicationSettings, kVirt, "Msvm_ReplicationSettingData",
        {"CIM_SettingData", "CIM_ManagedElement"},
        Append(KeyedSettings(),
               {P("PrimaryHostSystem", CIM_STRING), P("RecoveryHostSystem", CIM_STRING),
                P("RecoveryServerPortNumber", CIM_UINT16), P("AuthenticationType", CIM_UINT16),
                P("ReplicationInterval", CIM_UINT16), P("CompressionEnabled", CIM_BOOLEAN),
                P("VirtualSystemIdentifier", CIM_STRING)}));

    // ---- ROOT\CIMV2 ----
    add(Kind::OperatingSystem, kCim, "Win32_OperatingSystem",
        {"CIM_OperatingSystem", "CIM_LogicalElement", "CIM_ManagedSystemElement"},
        {P("BootDevice", CIM_STRING),
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
         P("Name", CIM_STRING, true),
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
        {{"Win32Shutdown", Params({P("Flags", CIM_SINT32), P("Reserved", CIM_SINT32)}),
          Params({P("ReturnValue", CIM_UINT32)})},
         {"Reboot", Params({}), Params({P("ReturnValue", CIM_UINT32)})},
         {"Shutdown", Params({}), Params({P("ReturnValue", CIM_UINT32)})}});
    add(Kind::Processor, kCim, "Win32_Processor",
        {"CIM_Processor", "CIM_LogicalDevice", "CIM_LogicalElement", "CIM_ManagedSystemElement"},
        {P("DeviceID", CIM_STRING, true), P("Name", CIM_STRING), P("Manufacturer", CIM_STRING),
         P("NumberOfCores", CIM_UINT32), P("NumberOfLogicalProcessors", CIM_UINT32),
         P("MaxClockSpeed", CIM_UINT32), P("CurrentClockSpeed", CIM_UINT32),
         P("LoadPercentage", CIM_UINT16), P("SocketDesignation", CIM_STRING),
         P("Status", CIM_STRING), P("VirtualizationFirmwareEnabled", CIM_BOOLEAN)});
    add(Kind::Win32ComputerSystem, kCim, "Win32_ComputerSystem",
        {"CIM_UnitaryComputerSystem", "CIM_ComputerSystem", "CIM_System", "CIM_LogicalElement",
         "CIM_ManagedSystemElement"},
        {P("Name", CIM_STRING, true), P("Manufacturer", CIM_STRING), P("Model", CIM_STRING),
         P("NumberOfProcessors", CIM_UINT32), P("NumberOfLogicalProcessors", CIM_UINT32),
         P("TotalPhysicalMemory", CIM_UINT64), P("DNSHostName", CIM_STRING),
         P("Domain", CIM_STRING), P("PartOfDomain", CIM_BOOLEAN), P("SystemType", CIM_STRING),
         P("Status", CIM_STRING), P("UserName", CIM_STRING)});
    add(Kind::LogicalDisk, kCim, "Win32_LogicalDisk",
        {"CIM_LogicalDisk", "CIM_StorageExtent", "CIM_LogicalDevice", "CIM_LogicalElement",
         "CIM_ManagedSystemElement"},
        {P("DeviceID", CIM_STRING, true), P("Name", CIM_STRING), P("VolumeName", CIM_STRING),
         P("Status", CIM_STRING), P("Size", CIM_UINT64), P("FreeSpace", CIM_UINT64),
         P("DriveType", CIM_UINT32), P("FileSystem", CIM_STRING), P("MediaType", CIM_UINT32),
         P("VolumeSerialNumber", CIM_STRING)});
    add(Kind::NetworkAdapter, kCim, "Win32_NetworkAdapter",
        {"CIM_NetworkAdapter", "CIM_LogicalDevice", "CIM_LogicalElement",
         "CIM_ManagedSystemElement"},
        {P("DeviceID", CIM_STRING, true), P("Name", CIM_STRING), P("MACAddress", CIM_STRING),
         P("Status", CIM_STRING), P("PhysicalAdapter", CIM_BOOLEAN),
         P("NetConnectionID", CIM_STRING), P("NetConnectionStatus", CIM_UINT16),
         P("Speed", CIM_UINT64), P("AdapterType", CIM_STRING), P("NetEnabled", CIM_BOOLEAN)});
    const std::vector<std::string> perf = {"Win32_PerfFormattedData", "Win32_Perf"};
    add(Kind::PerfProcessor, kCim, "Win32_PerfFormattedData_PerfOS_Processor", perf,
        {P("Name", CIM_STRING, true), P("PercentProcessorTime", CIM_UINT64),
         P("PercentIdleTime", CIM_UINT64), P("PercentUserTime", CIM_UINT64),
         P("PercentPrivilegedTime", CIM_UINT64), P("InterruptsPersec", CIM_UINT32)});
    add(Kind::PerfDisk, kCim, "Win32_PerfFormattedData_PerfDisk_PhysicalDisk", perf,
        {P("Name", CIM_STRING, true), P("PercentDiskTime", CIM_UINT64),
         P("PercentIdleTime", CIM_UINT64), P("DiskBytesPersec", CIM_UINT64),
         P("CurrentDiskQueueLength", CIM_UINT32)});
    add(Kind::PerfNetwork, kCim, "Win32_PerfFormattedData_Tcpip_NetworkInterface", perf,
        {P("Name", CIM_STRING, true), P("BytesTotalPersec", CIM_UINT64),
         P("BytesReceivedPersec", CIM_UINT64), P("BytesSentPersec", CIM_UINT64),
         P("CurrentBandwidth", CIM_UINT64)});
}

const ClassEntry* Impl::FindClass(Ns ns, std::string_view className) const {
    for (const auto& c : classes_)
        if (c.ns == ns && IEquals(c.def->Name(), className)) return &c;
    return nullptr;
}

const ClassEntry& Impl::Entry(Kind kind) const {
    for (const auto& c : classes_)
        if (c.kind == kind) return c;
    return classes_.front();  // every kind is registered by BuildSchema
}

}  // namespace hbr::simhost
