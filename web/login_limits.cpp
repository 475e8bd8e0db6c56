#include "web/login_limits.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string>

namespace hbr {

LoginLimits ParseLoginLimits(std::string_view text) {
    LoginLimits limits;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const auto eq = item.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = item.substr(0, eq);
        const std::string_view value = item.substr(eq + 1);
        int64_t number = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        // Zero would switch a limit off; a protection that can be disabled by a typo is none.
        if (ec != std::errc() || end != value.data() + value.size() || number < 1) continue;
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
    }
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
