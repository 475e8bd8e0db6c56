#include "web/login_limits.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/limit_text.h"

namespace hbr {

LoginLimits ParseLoginLimits(std::string_view text) {
    LoginLimits limits;
    ForEachLimit(text, [&](std::string_view name, std::int64_t number) {
        if (name == "idle_ms")
            limits.idleMs = number;
        else if (name == "pair_failures")
            limits.pairFailures = static_cast<int>(std::min<int64_t>(number, 1 << 20));
        else if (name == "address_names")
            limits.addressNames = static_cast<int>(std::min<int64_t>(number, 1 << 20));
        else if (name == "window_ms")
            limits.windowMs = number;
        else if (name == "first_block_ms")
            limits.firstBlockMs = number;
        else if (name == "max_block_ms")
            limits.maxBlockMs = number;
        else if (name == "account_interval_ms")
            limits.accountIntervalMs = number;
    });
    return limits;
}

const LoginLimits& CurrentLoginLimits() {
    static const LoginLimits limits = [] {
        const char* text = std::getenv("HBR_LOGIN_LIMITS");
        return ParseLoginLimits(text ? text : "");
    }();
    return limits;
}

}  // namespace hbr
