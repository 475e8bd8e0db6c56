#include "console/rdp_target.h"

#include <cctype>
#include <cstdlib>
#include <limits>
#include <mutex>

namespace hbr::rconsole {
namespace {

std::mutex g_lookupMutex;
RdpTargetLookup g_lookup;

RdpTargetLookup CurrentLookup() {
    std::lock_guard lock(g_lookupMutex);
    return g_lookup;
}

void Apply(const RdpTarget& t, ConsoleTarget& out) {
    if (!t.host.empty()) out.host = t.host;
    out.domain = t.domain;
    out.user = t.account;
    out.password = t.password;
}

}  // namespace

void SetRdpTargetLookup(RdpTargetLookup lookup) {
    std::lock_guard lock(g_lookupMutex);
    g_lookup = std::move(lookup);
}

int64_t LeadingDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr int64_t kLimit = int64_t{1} << 40;  // far beyond 32 bits, far below overflow
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = std::min(kLimit, value * 10 + (text[i] - '0'));
    return negative ? -value : value;
}

uint16_t VmConsolePort() {
    const char* text = std::getenv("HBR_VM_CONSOLE_PORT");
    if (!text || !*text) return kVmConsolePort;
    const int64_t port = LeadingDecimal(text);
    return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : kVmConsolePort;
}

ConsoleTarget ResolveConsoleTarget(std::string_view pcb) {
    ConsoleTarget out;
    const RdpTargetLookup lookup = CurrentLookup();
    if (lookup.byVm) {
        if (auto t = lookup.byVm(pcb)) {
            Apply(*t, out);
            out.kind = ConsoleTarget::Kind::Vm;
            out.vmId = std::string(pcb);
            out.port = t->port ? t->port : VmConsolePort();
            if (!pcb.empty()) out.preconnectionBlob = std::string(pcb);
            return out;
        }
    }
    const int64_t id = LeadingDecimal(pcb);
    if (id != 0 && id >= std::numeric_limits<int32_t>::min() &&
        id <= std::numeric_limits<int32_t>::max() && lookup.byServer) {
        if (auto t = lookup.byServer(static_cast<int32_t>(id))) {
            Apply(*t, out);
            out.kind = ConsoleTarget::Kind::Server;
            out.serverId = static_cast<int32_t>(id);
            out.port = t->port ? t->port : kHostRdpPort;
            return out;
        }
    }
    return out;
}

}  // namespace hbr::rconsole
