#pragma once
// WMI object paths: "\\SERVER\root\ns:Class.Key=\"value\",Other=5", "Class=@", "Class".
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

struct WmiObjectPath {
    std::string server;     // empty when the path has no "\\server\ns:" part
    std::string nameSpace;  // with backslashes
    std::string className;
    bool singleton = false;  // "Class=@"
    // Key names and their unescaped values, in the order written. A bare "Class=value" gives
    // one key with an empty name.
    std::vector<std::pair<std::string, std::string>> keys;

    // The value of a key (name compared ignoring case), or nullptr.
    const std::string* Key(std::string_view name) const;
    bool IsClassPath() const { return !singleton && keys.empty(); }
};

// kWbemEInvalidObjectPath for text that is not a path.
HResult ParseObjectPath(std::string_view text, WmiObjectPath& out);

// A string key value as written in a path: quoted, with backslash and quotation mark escaped.
std::string QuotePathValue(std::string_view value);

}  // namespace hbr
