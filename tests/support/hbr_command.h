#pragma once
// Runs the real hbr for one command with both output streams kept apart, against a unit
// folder of its own and stand-ins for systemctl and useradd that record their calls.
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace hbr {

struct CommandResult {
    int status = -1;  // 0..255 as the process returned it; 255 is the program's -1
    std::string out;
    std::string err;
};

// Starts `exe` with `args` and the environment extended by `env`; waits for it to end.
CommandResult RunCommand(const std::string& exe, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env);

// A sandbox of the service manager: units/, the stand-in's unit states in sc/state/<unit>,
// its calls in sc/calls (one line each), useradd's and groupadd's calls in sc/useradd.calls and
// sc/groupadd.calls (the stand-ins make no account and no group), and the account and group
// files sc/passwd and sc/group.
//
// Markers the stand-in obeys: sc/fail-<verb> makes that verb exit 1; sc/stuck-<unit> makes a
// stop leave the unit active; a FIFO sc/gate makes "start" wait for one line from it.
class ServiceSandbox {
  public:
    ServiceSandbox();
    const std::string& Root() const { return dir_.Path(); }
    std::string Units() const { return Root() + "/units"; }
    std::string Sc() const { return Root() + "/sc"; }
    std::string State() const { return Root() + "/state"; }
    std::map<std::string, std::string> Env() const;
    CommandResult Run(const std::vector<std::string>& args) const;
    std::string Calls() const;
    std::string UseraddCalls() const;
    std::string GroupaddCalls() const;
    std::string UnitText(const std::string& serviceName) const;
    bool UnitExists(const std::string& serviceName) const;
    void SetState(const std::string& serviceName, const std::string& state) const;
    void Touch(const std::string& relative) const;
    // The account and group databases the commands see (HBR_PASSWD, HBR_GROUP) hold root alone
    // until these add to them.
    void AddAccount(const std::string& name, unsigned id) const;
    void AddGroup(const std::string& name, unsigned id) const;

  private:
    TempDir dir_;
};

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

}  // namespace hbr
