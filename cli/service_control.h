#pragma once
// Instances as systemd services: the unit files in the unit folder, the calls of systemctl,
// the default service account and the lookup of an account's home folder. Failures raise
// CHbrException with the fixed prefixes administrators know.
#include <string>
#include <vector>

#include "service/service_host.h"

namespace hbr {

inline constexpr const char* kDefaultServiceAccount = "hbrservice";
// Every instance account belongs to this group; its members may write the shared event store.
inline constexpr const char* kStateGroup = "hbrservice";

// /etc/systemd/system, or HBR_SYSTEMD_DIR.
std::string UnitFolder();
// The path of `serviceName`.service in the unit folder.
std::string UnitPath(const std::string& serviceName);

// The configuration of one unit as written by this program (or read back from any unit).
struct UnitConfig {
    std::string description;  // the instance name
    std::string execStart;    // the stored command line, unescaped
    std::string user;
    bool bindCapability = false;
};

// Lets `group` write the state folder and its event store, so that instances running as
// system accounts can record their starts: the folder becomes setgid and sticky (members add
// files but cannot replace another account's, such as root's appid), the store group-writable.
// Raises CHbrException(prefix ...) when a step fails.
void ShareStateFolder(const std::string& group, const std::string& prefix);

// The unit text for a configuration. Raises CHbrException(prefix ...) when a value would break
// out of its line.
std::string UnitText(const UnitConfig& unit, const std::string& prefix);
// Reads Description=, ExecStart= (unescaped) and User= of a unit text.
UnitConfig ParseUnitText(const std::string& text);
// Reads the unit file of a service; false when it is not a readable regular file.
bool ReadUnitFile(const std::string& serviceName, UnitConfig& unit);
// systemd expands "%" specifiers and "$" variables and unescapes backslashes in ExecStart=.
std::string EscapeExecStart(const std::string& text);
std::string UnescapeExecStart(const std::string& text);

// The reason `value` cannot be stored in a unit, or empty when it can. `quoted` values sit
// inside quotation marks; the others must not hold blanks either.
std::string UnsafeValueReason(const std::string& what, const std::string& value, bool quoted);

// The stored command line of an executable: the path without quotation marks, quoted, a space,
// then the arguments.
std::string BinaryPath(const std::string& exePath, const std::string& arguments);

// "inactive"/"failed" -> "Stopped", "active" -> "Running", anything else -> "Pending..".
std::string StateText(const std::string& activeState);
// The ActiveState of a unit as systemctl shows it; empty when it cannot be read.
std::string ActiveState(const std::string& serviceName);

void CreateInstanceService(const ServiceBase& definition);
void ReconfigureInstanceService(const ServiceBase& definition);
void StartInstanceService(const std::string& serviceName);
void StopInstanceService(const std::string& serviceName);
void DeleteInstanceService(const std::string& serviceName);

// The system account exists (useradd, or HBR_USERADD, when it does not).
void CreateServiceAccount(const std::string& name, const std::string& password);
// Linux has no logon right; true when the account exists.
bool GrantLogonAsService(const std::string& account, const std::string& right);

// No reservation is needed on Linux; true when the unit must be allowed to bind a port below
// 1024. URLs naming localhost or 127.0.0.1 need nothing.
bool ReserveUrl(const std::string& url, const std::string& account);
// The port of a URL template ("http://+:8117/" -> 8117; 80/443 by scheme); 0 when unreadable.
int UrlPort(const std::string& url);

// 0 and the account's home folder (after the last "\" of the name), or an errno value.
int GetUserProfilePath(const std::string& account, std::string& path);

// Runs a program with arguments (no shell); its exit status, or -1 when it could not run.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace hbr
