#include "support/wait_for.h"

#include <thread>

namespace hbr {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds guard) {
    const auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace hbr
