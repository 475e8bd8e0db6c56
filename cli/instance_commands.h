#pragma once
// The instance verbs: add, update, start, stop, restart, delete, view and reset an instance,
// each one a systemd service whose unit holds everything known about it.
#include <map>
#include <string>

namespace hbr {

class ArgumentList;

struct InstanceRecord {
    std::string name;
    std::string serviceName;
    std::string state;
    std::string user;
    std::string commandLine;
    std::string url;
    std::string auth;
    std::string admin;
    std::string dbPath;
    std::string cert;  // value after "-cert"; empty: none (an https instance makes its own)
    std::string key;   // value after "-key"
};

using InstanceList = std::map<std::string, InstanceRecord>;

// Fills url, auth, admin and dbPath (with their defaults) from a stored command line.
InstanceRecord ParseStoredCommandLine(const std::string& commandLine);

// The stored arguments (after the executable) for an instance.
std::string InstanceArguments(const std::string& name, const std::string& url,
                              const std::string& admin, const std::string& dbPath,
                              bool negotiate = false, const std::string& cert = {},
                              const std::string& key = {});

// Reads the instances from the unit folder; false (after " OpenSCManager failed: %d\n") when
// the folder cannot be read.
bool LoadInstances(InstanceList& list);

// Hbr, then Hbr1, Hbr2 ... : the first service name no listed instance uses.
std::string NextServiceName(const InstanceList& list);

// The default database path of an instance; false when the account has no home folder
// (`path` then has an empty profile folder).
bool DefaultInstanceDbPath(const InstanceRecord& instance, std::string& path);

// Dispatches the instance verbs; the process exit code.
int RunInstanceCommand(const ArgumentList& args, const InstanceList& list);

void PrintHelp();
void ViewInstances(const InstanceList& list);

}  // namespace hbr
