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
// The snapshot methods and ModifySystemSettings answer the CIM codes 1 to 6 with meanings of
// their own ("Invalid Parameter", "Invalid State", ...); every other code and method reads as
// ReturnValueText / ReturnValueHresult.
std::string MethodReturnText(std::string_view method, std::uint32_t code);
HResult MethodReturnHresult(std::string_view method, std::uint32_t code);
// JobState as hosts report it: 2 new, 3 starting, 4 running, 5 suspended, 6 shutting down and
// 11 service mean the job is under way; 7 completed and 32768 completed with warnings mean it
// succeeded; any other value ended it otherwise (its ErrorCode decides).
bool JobStillRunning(int jobState);
bool JobSucceeded(int jobState);
void ChangeVmState(WmiWorkspace& ws, const std::string& vmId, int code);
// `method` names the method whose out-parameters these are (for its return-code texts).
void WaitForJobCompletion(WmiWorkspace& ws, const WmiObjectPtr& outParams,
                          std::string_view method = {});

// ---- checkpoints ----
void GetCheckpointTreeJson(WmiWorkspace& ws, const std::string& vmId, std::string& out);
void CreateCheckpoint(WmiWorkspace& ws, const std::string& vmId);
void ApplyCheckpoint(WmiWorkspace& ws, const std::string& vmId, const std::string& cpId);
void RevertVm(WmiWorkspace& ws, const std::string& vmId);
void DeleteCheckpoint(WmiWorkspace& ws, const std::string& cpId);
void DeleteCheckpointTree(WmiWorkspace& ws, const std::string& cpId);
void RenameCheckpoint(WmiWorkspace& ws, const std::string& cpId, const std::string& name);

// ---- host ----
void RefreshHostLive(WmiWorkspace& ws);
void GetHostInfoJson(WmiWorkspace& ws, std::string& out);

// Installs ReloadVmList and RefreshHostLive as the poller's refreshers (once per process).
void InstallPollRefreshers();

}  // namespace hbr
