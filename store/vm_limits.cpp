#include "store/vm_limits.h"

#include <algorithm>
#include <cctype>

namespace hbr {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The end (one past the closing bracket) of the array that begins at `start`, skipping
// brackets inside strings; npos when it does not close.
size_t ArrayEnd(std::string_view text, size_t start) {
    int depth = 0;
    bool inString = false;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return i + 1;
        }
    }
    return std::string_view::npos;
}

// Number of members named `key`.
size_t CountMembers(const JsonValue& object, std::string_view key) {
    size_t n = 0;
    for (const JsonMember* m = object.MembersBegin(); m != object.MembersEnd(); ++m)
        if (m->key == key) ++n;
    return n;
}

}  // namespace

bool IsVmGuid(std::string_view id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    }
    return true;
}

bool SameVmId(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

bool VmLimit::Allows(std::string_view vmId) const {
    if (!limited) return true;
    if (vmId.empty()) return false;
    return std::any_of(ids.begin(), ids.end(),
                       [&](const std::string& id) { return SameVmId(id, vmId); });
}

VmLimit ReadVmLimit(std::string_view text) {
    VmLimit limit;
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i == text.size()) return limit;  // not limited
    limit.limited = true;
    std::vector<std::string> ids;
    while (i < text.size()) {
        const size_t end = text[i] == '[' ? ArrayEnd(text, i) : std::string_view::npos;
        JsonDocument doc;
        if (end == std::string_view::npos || !ParseJson(text.substr(i, end - i), doc) ||
            !doc.Root().IsArray())
            return limit;  // unreadable: no VM at all
        const JsonValue& list = doc.Root();
        for (auto e = list.ElementsBegin(); e != list.ElementsEnd(); ++e) {
            const JsonValue& vm = **e;
            if (!vm.IsObject() || CountMembers(vm, "id") != 1 || !vm["id"].IsString()) continue;
            const std::string_view id = vm["id"].StringView();
            if (!id.empty()) ids.emplace_back(id);
        }
        i = end;
        while (i < text.size() && IsSpace(text[i])) ++i;
    }
    limit.ids = std::move(ids);
    return limit;
}

bool IsValidVmList(const JsonValue& vms) {
    if (vms.IsNull()) return true;
    if (!vms.IsArray()) return false;
    for (auto e = vms.ElementsBegin(); e != vms.ElementsEnd(); ++e) {
        const JsonValue& vm = **e;
        if (!vm.IsObject() || CountMembers(vm, "id") != 1 || CountMembers(vm, "name") > 1 ||
            vm.Size() != CountMembers(vm, "id") + CountMembers(vm, "name"))
            return false;
        if (!vm["id"].IsString() || !IsVmGuid(vm["id"].StringView())) return false;
        const JsonValue& name = vm["name"];
        if (!name.IsNull() && !name.IsString()) return false;
    }
    return true;
}

}  // namespace hbr
