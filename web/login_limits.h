#pragma once
// Every limit of logins and sessions, in one place. The defaults are the product's; an
// instance started with HBR_LOGIN_LIMITS in its environment takes other values, for example
// "idle_ms=2000,first_block_ms=500" (milliseconds and counts, comma-separated; unknown names
// and unusable values are ignored).
#include <cstdint>
#include <string_view>

namespace hbr {

struct LoginLimits {
    // A session without a request for longer than this has ended.
    int64_t idleMs = 60000;
    // Failed logins of one name from one address within the window that start throttling it.
    int pairFailures = 5;
    // Different names failing from one address within the window that throttle the address.
    int addressNames = 20;
    int64_t windowMs = 15 * 60 * 1000;
    // The first throttled interval; each new one is twice the last, up to the maximum.
    int64_t firstBlockMs = 60 * 1000;
    int64_t maxBlockMs = 15 * 60 * 1000;
    // At most one checked password per account name in this interval, from all addresses.
    int64_t accountIntervalMs = 1000;
};

// The limits of this process: the defaults, changed by HBR_LOGIN_LIMITS when it is set.
const LoginLimits& CurrentLoginLimits();

// The defaults changed by the "name=value,..." text.
LoginLimits ParseLoginLimits(std::string_view text);

}  // namespace hbr
