#include "service/instance_services.h"

#include <mutex>

namespace hbr {
namespace {

struct Callbacks {
    std::mutex mutex;
    std::function<void()> start;
    std::function<void()> stop;
};

Callbacks& Installed() {
    // Never destroyed: a request thread may still run while the process exits.
    static Callbacks* callbacks = new Callbacks;
    return *callbacks;
}

std::function<void()> Take(bool start) {
    Callbacks& c = Installed();
    std::lock_guard lock(c.mutex);
    return start ? c.start : c.stop;
}

}  // namespace

void InstallInstanceServices(std::function<void()> start, std::function<void()> stop) {
    Callbacks& c = Installed();
    std::lock_guard lock(c.mutex);
    c.start = std::move(start);
    c.stop = std::move(stop);
}

void StartInstanceServices() {
    // Called outside the mutex so a callback may itself install or run the other one.
    if (auto f = Take(true)) f();
}

void StopInstanceServices() {
    if (auto f = Take(false)) f();
}

}  // namespace hbr
