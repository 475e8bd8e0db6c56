// WMI object paths: any text parses or fails with the invalid-path code, and a parsed path
// written back out (every key value quoted) reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hyperv/wmi/wmi_path.h"

namespace {

std::string Write(const hbr::WmiObjectPath& p) {
    std::string out;
    if (!p.server.empty()) out += "\\\\" + p.server + "\\";
    if (!p.nameSpace.empty()) out += p.nameSpace + ":";
    out += p.className;
    if (p.singleton) return out + "=@";
    for (size_t i = 0; i < p.keys.size(); ++i) {
        out += i == 0 ? (p.keys[i].first.empty() ? "" : ".") : ",";
        out += p.keys[i].first + "=" + hbr::QuotePathValue(p.keys[i].second);
    }
    return out;
}

bool Same(const hbr::WmiObjectPath& a, const hbr::WmiObjectPath& b) {
    return a.server == b.server && a.nameSpace == b.nameSpace && a.className == b.className &&
           a.singleton == b.singleton && a.keys == b.keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hbr::WmiObjectPath path;
    const hbr::HResult hr = hbr::ParseObjectPath(text, path);
    if (hbr::Failed(hr)) {
        if (hr != hbr::kWbemEInvalidObjectPath) std::abort();
        return 0;
    }
    for (const auto& [name, value] : path.keys)
        if (path.Key(name) == nullptr) std::abort();
    hbr::WmiObjectPath again;
    const std::string written = Write(path);
    if (hbr::Failed(hbr::ParseObjectPath(written, again)) || !Same(path, again)) std::abort();
    return 0;
}
