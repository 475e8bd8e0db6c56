#pragma once
// The text that lowers or tunes limits from an instance's environment ("name=value,..."):
// HBR_LIMITS, HBR_LOGIN_LIMITS and HBR_WSMAN_LIMITS share one reading of it.
#include <cstdint>
#include <functional>
#include <string_view>

namespace hbr {

// Calls `take` for every item whose value is a whole number of at least 1, in order. Other items
// (no '=', not a number, zero or below) are skipped: zero would switch a protection off, and a
// protection that a typo can disable is none.
void ForEachLimit(std::string_view text,
                  const std::function<void(std::string_view name, std::int64_t value)>& take);

}  // namespace hbr
