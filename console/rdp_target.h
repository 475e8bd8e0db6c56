#pragma once
// Where a console session connects. The hypervisor layer installs the lookups that map the
// connect message's id to a managed host; until it does (and in tests that install their
// own), ids name nothing and the session connects to "localhost".
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace hbr::rconsole {

// A managed host's RDP target: host name and credentials as byte strings.
struct RdpTarget {
    std::string host;
    std::string domain;
    std::string account;
    std::string password;
    uint16_t port = 0;  // 0: the console's rule (2179 for a VM, 3389 for a host)
};

struct RdpTargetLookup {
    // The host whose cached VM list holds the VM id.
    std::function<std::optional<RdpTarget>(std::string_view vmId)> byVm;
    // The managed server with this numeric id.
    std::function<std::optional<RdpTarget>(int32_t serverId)> byServer;
};

// Installed once by the hypervisor layer (or a test); safe against concurrent lookups.
void SetRdpTargetLookup(RdpTargetLookup lookup);

inline constexpr uint16_t kVmConsolePort = 2179;
inline constexpr uint16_t kHostRdpPort = 3389;
// The VM console port: kVmConsolePort, unless HBR_VM_CONSOLE_PORT names another (tests run their
// own endpoint on a free port).
uint16_t VmConsolePort();

// What the connect message's id resolves to, before it goes into the library's settings.
struct ConsoleTarget {
    // What the id names: the rights a console needs follow from it.
    enum class Kind { None, Vm, Server };
    Kind kind = Kind::None;
    std::string vmId;      // Kind::Vm: the VM id as the host knows it
    int32_t serverId = 0;  // Kind::Server
    std::string host = "localhost";
    std::string domain;
    std::string user;
    std::string password;
    uint16_t port = 0;                             // 0: the library's default
    std::optional<std::string> preconnectionBlob;  // set: send the pre-connection PDU
};

// A VM id first; otherwise the id read as a decimal integer (C rules) naming a server;
// otherwise nothing (Kind::None: no console is opened).
ConsoleTarget ResolveConsoleTarget(std::string_view pcb);

// strtol-style reading: optional white space and sign, then digits; 0 when there are none.
// Values beyond 32 bits saturate, so they name no server.
int64_t LeadingDecimal(std::string_view text);

}  // namespace hbr::rconsole
