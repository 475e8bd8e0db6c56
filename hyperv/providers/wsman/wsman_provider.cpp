#include "hyperv/providers/wsman/wsman_provider.h"

#include <cerrno>
#include <memory>
#include <string>

namespace hbr {
namespace {

// Until the WS-Management client is in, a remote host cannot be reached: every connection
// fails as an unreachable server does, and so does a shutdown.
class UnreachableLocator : public WmiLocator {
  public:
    explicit UnreachableLocator(std::string_view hostText) : hostText_(hostText) {}
    HResult ConnectServer(std::string_view, std::string_view, std::string_view,
                          WmiServicesPtr& services) override {
        services.reset();
        return kRpcServerUnavailable;
    }
    // With credentials the connection to the host is what fails; without, the shutdown call.
    HostShutdownResult ShutdownHost(bool, std::string_view user, std::string_view) override {
        return {EHOSTUNREACH, !user.empty()};
    }
    // A remote host's consoles are reached at the host itself.
    std::string ConsoleAddress() const override { return hostText_; }

  private:
    std::string hostText_;
};

}  // namespace

WmiLocatorPtr CreateWsmanLocator(std::string_view hostText) {
    return std::make_shared<UnreachableLocator>(hostText);
}

}  // namespace hbr
