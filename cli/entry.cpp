#include "cli/entry.h"

#include <strings.h>

#include <cstdio>

#include "cli/instance_commands.h"
#include "cli/process_state.h"
#include "cli/service_control.h"
#include "console/rdp_target.h"
#include "hyperv/provider_factory.h"
#include "hyperv/server_registry.h"
#include "service/console_run.h"
#include "service/instance_services.h"
#include "service/service_host.h"

namespace hbr {

std::string ArgumentList::OptionValue(const std::string& option, const std::string& def) const {
    for (size_t i = 0; i < args_.size(); ++i) {
        if (args_[i] == option) return i + 1 < args_.size() ? args_[i + 1] : def;
    }
    return def;
}

bool ArgumentList::HasArgument(const std::string& text) const {
    for (const auto& a : args_)
        if (a == text) return true;
    return false;
}

bool ArgumentList::ContainsArgument(const std::string& text) const {
    for (const auto& a : args_)
        if (a.find(text) != std::string::npos) return true;
    return false;
}

void FillInstanceConfig(const ArgumentList& args) {
    InstanceConfig& c = Config();
    c.name = args.OptionValue("-name", c.name);
    c.url = args.OptionValue("-url", c.url);
    c.dbPath = args.OptionValue("-dbpath", c.dbPath);
    const std::string auth = args.OptionValue("-auth", "");
    c.negotiate = strcasecmp(auth.c_str(), "Negotiate") == 0;
    c.ntlmMode = c.negotiate || strcasecmp(auth.c_str(), "NTLM") == 0;
    c.admin = args.OptionValue("-admin", c.admin);
    c.certFile = args.OptionValue("-cert", c.certFile);
    c.keyFile = args.OptionValue("-key", c.keyFile);
    if (args.HasArgument("-webroot")) c.webRoot = args.OptionValue("-webroot", "");
    SetLocalMachineDemo(args.HasArgument("-demo"));
}

int ProgramMain(int argc, char** argv) {
    std::vector<std::string> items;
    for (int i = 1; i < argc; ++i) items.emplace_back(argv[i]);
    ArgumentList args(std::move(items));
    InitializeProcess();
    // The hypervisor layer's part of an instance's start and stop.
    InstallInstanceServices([] { LoadServers(); }, [] { ServerRegistry::Instance().ClearAll(); });
    // Console sessions reach the managed hosts through the registry.
    rconsole::SetRdpTargetLookup({
        [](std::string_view vmId) -> std::optional<rconsole::RdpTarget> {
            const auto ws = ServerRegistry::Instance().FindServerByVm(std::string(vmId));
            if (!ws) return std::nullopt;
            const auto t = ws->GetRdpTarget();
            return rconsole::RdpTarget{t.host, t.domain, t.accountName, t.password, 0};
        },
        [](int32_t id) -> std::optional<rconsole::RdpTarget> {
            const auto ws = ServerRegistry::Instance().FindServerById(id);
            if (!ws) return std::nullopt;
            const auto t = ws->GetRdpTarget();
            return rconsole::RdpTarget{t.host, t.domain, t.accountName, t.password, 0};
        },
    });

    if (args.ContainsArgument("-install")) {
        InstanceList list;
        if (!LoadInstances(list)) return -1;
        if (list.empty()) {
            char arguments[128];
            std::snprintf(arguments, sizeof arguments, "run-srv -name \"%s\" -url \"%s\"", "Hbr",
                          "http://+:8117/");
            try {
                CreateInstanceService(HbrService("Hbr", "Hbr", "", "", arguments));
                StartInstanceService("Hbr");
            } catch (const std::exception&) {
                // Installation goes on; view-instances shows what came of it.
            }
        }
        return 0;
    }
    if (args.ContainsArgument("-uninstall")) {
        InstanceList list;
        if (!LoadInstances(list)) return -1;
        for (const auto& [name, instance] : list) {
            try {
                DeleteInstanceService(instance.serviceName);
            } catch (const std::exception&) {
                // The next instance is removed all the same.
            }
        }
        return 0;
    }
    if (!args.ContainsArgument("-instance") && !args.ContainsArgument("run-")) {
        PrintHelp();
        return 0;
    }
    FillInstanceConfig(args);
    if (args.HasArgument("run-srv")) {
        HbrService service(Config().name);
        return RunAsService(service) ? 0 : -1;
    }
    if (args.HasArgument("run-exe")) return RunConsole();

    InstanceList list;
    if (!LoadInstances(list)) return -1;
    return RunInstanceCommand(args, list);
}

}  // namespace hbr
