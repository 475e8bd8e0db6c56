#include "hyperv/provider_factory.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#include "hyperv/providers/local/local_machine.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/providers/wsman/wsman_provider.h"
#include "hyperv/providers/wsman/wsman_target.h"

namespace hbr {
namespace {

// A "sim://" text that names no valid simulated host: it is no remote host name either, so it
// is never sent over the network; every connection fails.
class MalformedSimLocator : public WmiLocator {
  public:
    explicit MalformedSimLocator(std::string_view hostText) : hostText_(hostText) {}
    HResult ConnectServer(std::string_view, std::string_view, std::string_view,
                          WmiServicesPtr& services) override {
        services.reset();
        return kRpcServerUnavailable;
    }
    HostShutdownResult ShutdownHost(bool, std::string_view, std::string_view) override {
        return {EHOSTUNREACH, true};
    }
    std::string ConsoleAddress() const override { return hostText_; }

  private:
    std::string hostText_;
};

std::atomic<bool> g_localDemo{false};

}  // namespace

void SetLocalMachineDemo(bool on) {
    g_localDemo = on;
}

bool LocalMachineDemo() {
    return g_localDemo;
}

bool CheckHostText(std::string_view hostText, std::string& error) {
    error.clear();
    if (hostText.empty()) return true;
    if (hostText.size() >= 6 && IEquals(hostText.substr(0, 6), "sim://")) {
        std::string name;
        SimHostOptions options;
        if (ParseSimUrl(hostText, name, options)) return true;
        error = "not a valid simulated host (sim://NAME?vms=N&seed=S)";
        return false;
    }
    WsmanTarget target;
    return ParseWsmanHost(hostText, target, error);
}

WmiLocatorPtr CreateWmiLocator(std::string_view hostText) {
    if (hostText.empty()) {
        if (g_localDemo) {
            if (auto demo = CreateSimLocator("sim://demo")) return demo;
        }
        return CreateLocalMachineLocator();
    }
    if (hostText.size() >= 6 && IEquals(hostText.substr(0, 6), "sim://")) {
        if (auto sim = CreateSimLocator(hostText)) return sim;
        return std::make_shared<MalformedSimLocator>(hostText);
    }
    return CreateWsmanLocator(hostText);
}

}  // namespace hbr
