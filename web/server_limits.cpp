#include "web/server_limits.h"

#include <cstdlib>
#include <string>

#include "platform/limit_text.h"

namespace hbr {

void ApplyLimitsText(std::string_view text, ServerLimits& limits) {
    ForEachLimit(text, [&](std::string_view name, std::int64_t v) {
        const auto count = static_cast<size_t>(v);
        if (name == "connectionsPerClient")
            limits.connectionsPerClient = count;
        else if (name == "replyStallMs")
            limits.replyStallMs = v;
        else if (name == "consoleConnectMs")
            limits.consoleConnectMs = v;
        else if (name == "consoleSessionsPerUser")
            limits.consoleSessionsPerUser = count;
        else if (name == "consoleSessionsTotal")
            limits.consoleSessionsTotal = count;
        else if (name == "workerIdleMs")
            limits.workerIdleMs = v;
        else if (name == "workerIdleKeep")
            limits.workerIdleKeep = count;
        else if (name == "certificateCheckMs")
            limits.certificateCheckMs = v;
        else if (name == "acceptBackoffMs")
            limits.acceptBackoffMs = v;
    });
}

const ServerLimits& Limits() {
    static const ServerLimits limits = [] {
        ServerLimits l;
        if (const char* text = std::getenv("HBR_LIMITS")) ApplyLimitsText(text, l);
        return l;
    }();
    return limits;
}

}  // namespace hbr
