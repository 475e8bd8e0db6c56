#pragma once
// Waiting for what another thread or process brings about.
#include <chrono>
#include <functional>

namespace hbr {

// Asks `done` every 10 ms until it holds: false when `guard` passes first.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds guard = std::chrono::seconds(30));

}  // namespace hbr
