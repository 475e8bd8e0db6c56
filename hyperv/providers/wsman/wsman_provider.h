#pragma once
// Remote Hyper-V hosts over WS-Management (WinRM's HTTPS listener): connecting a namespace is an
// Identify and a test enumeration there, a WQL query an optimized Enumerate pulled to its end,
// an object by path a Get, a method an Invoke; values are typed through the class catalogue.
#include <string_view>

#include "hyperv/providers/wsman/wsman_transport.h"
#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// The provider of a remote host text ("NAME" or an https:// URL with its options). A text that
// does not parse gives a provider whose every connection fails with kRpcServerUnavailable
// without touching the network.
WmiLocatorPtr CreateWsmanLocator(std::string_view hostText);
// The same with other limits (tests shorten the time-outs).
WmiLocatorPtr CreateWsmanLocator(std::string_view hostText, const wsman::TransportLimits& limits);

}  // namespace hbr
