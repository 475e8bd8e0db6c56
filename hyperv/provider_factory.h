#pragma once
// Which provider answers for a server's host text. The only place that knows every provider;
// the providers know nothing of each other.
#include <string_view>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// Empty → the local machine (the simulated host "demo" in demo mode); "sim://NAME[?vms=N&seed=S
// &rdp=ADDR]" → the simulated host NAME (a malformed one answers every connect with
// kRpcServerUnavailable); anything else → a remote host over WS-Management.
WmiLocatorPtr CreateWmiLocator(std::string_view hostText);

// Whether a server's host text names a host a provider can reach: false with the reason in
// `error` (a malformed simulated host, or a remote host text with bad options or characters).
bool CheckHostText(std::string_view hostText, std::string& error);

// With demo mode on, the local machine is the simulated host "demo" (the -demo option).
void SetLocalMachineDemo(bool on);
bool LocalMachineDemo();

}  // namespace hbr
