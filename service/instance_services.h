#pragma once
// The hypervisor layer's part of an instance's start and stop: it installs a start callback
// (load the managed servers) and a stop callback (empty the server registry). The service host
// and the console run call them at their places without depending on that layer.
#include <functional>

namespace hbr {

// Installs both callbacks; an empty function leaves that step a no-op.
void InstallInstanceServices(std::function<void()> start, std::function<void()> stop);

// Runs the installed start callback, if any.
void StartInstanceServices();

// Runs the installed stop callback, if any. Safe to call when nothing was started.
void StopInstanceServices();

}  // namespace hbr
