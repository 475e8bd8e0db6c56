// The classes the simulated host serves, taken from the class catalogue (so values arrive with
// the kinds WMI gives them), and the summary codes it answers.
#include "hyperv/providers/sim/sim_host_internal.h"
#include "hyperv/wmi/class_catalogue.h"

namespace hbr::simhost {

void Impl::BuildSchema() {
    const std::pair<Kind, const char*> classes[] = {
        {Kind::ComputerSystem, "Msvm_ComputerSystem"},
        {Kind::SettingData, "Msvm_VirtualSystemSettingData"},
        {Kind::ManagementService, "Msvm_VirtualSystemManagementService"},
        {Kind::SnapshotService, "Msvm_VirtualSystemSnapshotService"},
        {Kind::ConcreteJob, "Msvm_ConcreteJob"},
        {Kind::SummaryInformation, "Msvm_SummaryInformation"},
        {Kind::ShutdownComponent, "Msvm_ShutdownComponent"},
        {Kind::HeartbeatComponent, "Msvm_HeartbeatComponent"},
        {Kind::KvpComponent, "Msvm_KvpExchangeComponent"},
        {Kind::VideoHead, "Msvm_VideoHead"},
        {Kind::EthernetPortSettings, "Msvm_SyntheticEthernetPortSettingData"},
        {Kind::GuestNetworkConfig, "Msvm_GuestNetworkAdapterConfiguration"},
        {Kind::ReplicationSettings, "Msvm_ReplicationSettingData"},
        {Kind::OperatingSystem, "Win32_OperatingSystem"},
        {Kind::Processor, "Win32_Processor"},
        {Kind::Win32ComputerSystem, "Win32_ComputerSystem"},
        {Kind::LogicalDisk, "Win32_LogicalDisk"},
        {Kind::NetworkAdapter, "Win32_NetworkAdapter"},
        {Kind::PerfProcessor, "Win32_PerfFormattedData_PerfOS_Processor"},
        {Kind::PerfDisk, "Win32_PerfFormattedData_PerfDisk_PhysicalDisk"},
        {Kind::PerfNetwork, "Win32_PerfFormattedData_Tcpip_NetworkInterface"}};
    for (const auto& [kind, name] : classes) {
        const CimClass* cls = hbr::FindClass(name);
        if (!cls) continue;  // every name above is in the catalogue
        const Ns ns = IEquals(cls->NameSpace(), "root\\cimv2") ? kCim : kVirt;
        WmiClassDefPtr def = cls->MakeDefinition(computerName);
        classes_.push_back({kind, ns, def, WmiObject::MakeClass(def)});
    }
    // GetSummaryInformation's RequestedInformation codes and the properties they fill.
    const WmiClassDef& s = *Entry(Kind::SummaryInformation).def;
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
