#pragma once
#include <string>
#include <vector>

namespace hbr {

// The command-line arguments after the program name, unchanged. Lookups are case-sensitive.
class ArgumentList {
public:
    explicit ArgumentList(std::vector<std::string> args) : args_(std::move(args)) {}
    // The argument after the first one equal to `option`, or `def` when absent or last.
    std::string OptionValue(const std::string& option, const std::string& def) const;
    bool HasArgument(const std::string& text) const;
    bool ContainsArgument(const std::string& text) const;
    const std::vector<std::string>& Items() const { return args_; }

private:
    std::vector<std::string> args_;
};

// Fills the process configuration from the options (-name -url -dbpath -auth -admin -webroot).
void FillInstanceConfig(const ArgumentList& args);

int ProgramMain(int argc, char** argv);

}  // namespace hbr
