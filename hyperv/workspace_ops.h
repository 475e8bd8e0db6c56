#pragma once
// The operations of one managed host above its connections: the VM inventory, VM views, state
// changes with job tracking, checkpoints, and host figures. Each throws CHypervisorException.
#include <cstdint>
#include <string>
#include <string_view>

#include "hyperv/wmi_workspace.h"

namespace hbr {

// Step numbers of this layer (the connection layer uses 1-14).
enum OpStep : int {
    kStepMgmtQuery = 20,
    kStepMgmtNone = 21,
    kStepMgmtRead = 22,
    kStepMgmtClass = 23,
    kStepSummaryMethod = 24,
    kStepSummarySpawn = 25,
    kStepSummaryPut = 26,
    kStepSummaryExec = 27,
    kStepSummaryReturn = 28,
    kStepSummaryElement = 29,
    kStepSummaryName = 30,
    kStepConnect = 31,
    kStepRead = 32,
    kStepPut = 33,
    kStepJobGet = 34,
    kStepJobState = 35,
    kStepCheckpointNone = 36,
    kStepRenderText = 37,
    kStepBadId = 38,
    kStepCimConnect = 39,
};

// A GUID text of the form 8-4-4-4-12 hexadecimal digits, all letters of one case. Nothing
// else ever reaches a WQL text or an object path.
bool IsGuidText(std::string_view id);

// The two names found by the first VM list, read under the cache lock.
struct HostPaths {
    std::string managementServicePath;
    std::string hostSystemName;
};
HostPaths GetHostPaths(WmiWorkspace& ws);
std::string VmPath(const std::string& hostSystemName, const std::string& vmId);
std::string SettingsPath(const std::string& hostSystemName, const std::string& id);

// ---- inventory ----
void ReloadVmList(WmiWorkspace& ws);
void MarkVmBusy(WmiWorkspace& ws, const std::string& vmId);
bool GetCachedVm(WmiWorkspace& ws, const std::string& vmId, std::string& out);
// The cached JSON object of one summary object.
std::string BuildVmObject(const WmiObject& summary, const std::string& hostSystemName);

// ---- views ----
void GetVmGeneralJson(WmiWorkspace& ws, const std::string& vmId, std::string& out);
void GetVmNetworkingJson(WmiWorkspace& ws, const std::string& vmId, std::string& out);
void GetVmReplicationJson(WmiWorkspace& ws, const std::string& vmId, std::string& out);
// The 160 × 120 16-bit image as a BMP file; empty when the array holds nothing to draw.
std::string BuildThumbnailBmp(const std::vector<std::uint8_t>& pixels);

// ---- state changes ----
std::string ReturnValueText(std::uint32_t code);
HResult ReturnValueHresult(std::uint32_t code);
void ChangeVmState(WmiWorkspace& ws, const std::string& vmId, int code);
void WaitForJobCompletion(WmiWorkspace& ws, const WmiObjectPtr& outParams);

// ---- checkpoints ----
void GetCheckpointTreeJson(WmiWorkspace& ws, const std::string& vmId, std::string& out);
void CreateCheckpoint(WmiWorkspace& ws, const std::string& vmId);
void ApplyCheckpoint(WmiWorkspace& ws, const std::string& vmId, const std::string& cpId);
void RevertVm(WmiWorkspace& ws, const std::string& vmId);
void DeleteCheckpoint(WmiWorkspace& ws, const std::string& cpId);
void DeleteCheckpointTree(WmiWorkspace& ws, const std::string& cpId);
void RenameCheckpoint(WmiWorkspace& ws, const std::string& cpId, const std::string& name);
// The VM a checkpoint belongs to (its settings' VirtualSystemIdentifier); empty when the host
// has no checkpoint of that id.
std::string CheckpointVmId(WmiWorkspace& ws, const std::string& cpId);

// ---- host ----
void RefreshHostLive(WmiWorkspace& ws);
void GetHostInfoJson(WmiWorkspace& ws, std::string& out);

// Installs ReloadVmList and RefreshHostLive as the poller's refreshers (once per process).
void InstallPollRefreshers();

}  // namespace hbr
