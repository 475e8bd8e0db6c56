#include "web/server_limits.h"

#include <charconv>
#include <cstdlib>
#include <string>

namespace hbr {

void ApplyLimitsText(std::string_view text, ServerLimits& limits) {
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = item.substr(0, eq);
        const std::string_view value = item.substr(eq + 1);
        int64_t v = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
        if (ec != std::errc() || end != value.data() + value.size() || v <= 0) continue;
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
    }
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
