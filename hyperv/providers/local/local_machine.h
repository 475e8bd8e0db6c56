#pragma once
// The local machine as a provider: ROOT\CIMV2 answered from /proc and /sys, and no Hyper-V.
#include <string>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

WmiLocatorPtr CreateLocalMachineLocator();

// The command that shuts the machine down: HBR_SYSTEMCTL when set, else "systemctl".
std::string SystemctlCommand();

// "yyyymmddHHMMSS.mmmmmm+UUU" of a Unix time in milliseconds, in local time with its offset.
std::string LocalCimDateTime(long long unixMs);

}  // namespace hbr
