#pragma once
// Process-wide start-up state shared by every run mode: the instance parameters, the four
// process-wide locks and the values computed once at start.
#include <mutex>
#include <string>

namespace hbr {

struct InstanceConfig {
    std::string name = "hbr";
    std::string url = "http://+:8117/";
    std::string dbPath;  // empty: the database layer derives the default and stores it here
    bool ntlmMode = false;  // integrated authentication: NTLM, or Negotiate below
    bool negotiate = false;  // -auth Negotiate: SPNEGO (Kerberos, then NTLM) beside NTLM
    std::string admin;  // DOMAIN\user, used in NTLM mode only
    std::string webRoot;
    // https only: PEM files of the certificate (with its chain) and its key; empty: made.
    std::string certFile;
    std::string keyFile;
};

// The one configuration of this process.
InstanceConfig& Config();

// Lock order: registry before cache; no lock is held during a hypervisor call.
struct ProcessLocks {
    std::mutex sessionTable;
    std::mutex cache;
    std::mutex registry;
    std::mutex sessionMap;
};
ProcessLocks& Locks();

const std::string& ProgramVersion();
const std::string& SessionCookieName();
const std::string& InstallationId();

// The folder holding the installation id and the event store.
std::string StateDir();

// Runs once at entry and again when the service starts; running it twice is harmless.
void InitializeProcess();

// The web root rule: "app" beside the executable when it is named exactly "hbr", otherwise the
// executable's own path (so that no file is found).
std::string DefaultWebRoot(const std::string& exePath);

// Reads the id from `dir`/appid, or makes and stores a new one; empty when neither works.
std::string ReadOrCreateInstallationId(const std::string& dir);

// The full path of the running executable.
std::string ExecutablePath();

}  // namespace hbr
