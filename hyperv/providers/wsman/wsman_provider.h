#pragma once
// Remote Hyper-V hosts over WS-Management.
#include <string_view>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// The provider of a remote host text ("NAME" or an https:// URL with its options).
WmiLocatorPtr CreateWsmanLocator(std::string_view hostText);

}  // namespace hbr
