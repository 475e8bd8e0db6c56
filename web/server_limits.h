#pragma once
// The limits that keep one client, or one user, from starving everybody else. The defaults are
// the constants below; the environment variable HBR_LIMITS ("name=value,name=value") read at
// start lowers or raises them for one instance (tests use it to reach a limit in seconds).
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace hbr {

struct ServerLimits {
    // Open connections from one client address; more are closed as they arrive.
    size_t connectionsPerClient = 256;
    // A reply that makes no progress (no byte accepted by the client) this long ends its
    // connection.
    int64_t replyStallMs = 30000;
    // A console socket that has not sent its connect message this long is closed.
    int64_t consoleConnectMs = 30000;
    // Console sessions open at once, for one user and for the whole instance.
    size_t consoleSessionsPerUser = 8;
    size_t consoleSessionsTotal = 256;
    // An idle request worker above the idle pool's size ends after this long.
    int64_t workerIdleMs = 60000;
    size_t workerIdleKeep = 4;
    // How often the certificate files of an https instance are checked for renewal.
    int64_t certificateCheckMs = 60000;
    // How long the listener pauses after running out of descriptors.
    int64_t acceptBackoffMs = 100;
};

// The limits in force. Parsed from HBR_LIMITS on first use; unknown names and bad values are
// ignored (the default stays).
const ServerLimits& Limits();

// Applies "name=value,..." on top of `limits`; exposed for tests.
void ApplyLimitsText(std::string_view text, ServerLimits& limits);

}  // namespace hbr
