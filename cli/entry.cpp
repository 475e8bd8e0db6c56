#include "cli/entry.h"

#include <strings.h>

#include <cstdio>

#include "cli/process_state.h"
#include "hyperv/wmi_provider.h"
#include "service/console_run.h"

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
    c.ntlmMode = strcasecmp(args.OptionValue("-auth", "").c_str(), "NTLM") == 0;
    c.admin = args.OptionValue("-admin", c.admin);
    if (args.HasArgument("-webroot")) c.webRoot = args.OptionValue("-webroot", "");
    SetLocalMachineDemo(args.HasArgument("-demo"));
}

int ProgramMain(int argc, char** argv) {
    std::vector<std::string> items;
    for (int i = 1; i < argc; ++i) items.emplace_back(argv[i]);
    ArgumentList args(std::move(items));
    InitializeProcess();

    if (!args.ContainsArgument("-instance") && !args.ContainsArgument("run-")) {
        std::fputs("usage: hbr run-exe [-name NAME] [-url URL] [-dbpath PATH] [-webroot DIR]\n",
                   stdout);
        return 0;
    }
    FillInstanceConfig(args);
    if (args.HasArgument("run-exe")) return RunConsole();
    return -1;
}

}  // namespace hbr
