#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace hbr {
namespace {

const char* StandIn(const char* variable) {
    const char* path = std::getenv(variable);
    return path && *path ? path : nullptr;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == ':')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

// Decimal ids only; anything else makes the line unusable.
bool ReadId(const std::string& text, unsigned long& out) {
    if (text.empty() || text.size() > 10) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<unsigned long>(c - '0');
    }
    return true;
}

// The fields of the first line of `path` whose first field is `name`, with at least `count`
// fields.
std::optional<std::vector<std::string>> FindLine(const char* path, const std::string& name,
                                                 size_t count) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto fields = Fields(line);
        if (fields.size() >= count && fields[0] == name) return fields;
    }
    return std::nullopt;
}

}  // namespace

std::optional<AccountEntry> FindAccount(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (const char* file = StandIn("HBR_PASSWD")) {
        const auto fields = FindLine(file, name, 7);
        unsigned long uid = 0, gid = 0;
        if (!fields || !ReadId((*fields)[2], uid) || !ReadId((*fields)[3], gid))
            return std::nullopt;
        return AccountEntry{static_cast<uid_t>(uid), static_cast<gid_t>(gid), (*fields)[5]};
    }
    const passwd* pw = getpwnam(name.c_str());
    if (!pw) return std::nullopt;
    return AccountEntry{pw->pw_uid, pw->pw_gid, pw->pw_dir ? pw->pw_dir : ""};
}

std::optional<gid_t> FindGroup(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (const char* file = StandIn("HBR_GROUP")) {
        const auto fields = FindLine(file, name, 3);
        unsigned long gid = 0;
        if (!fields || !ReadId((*fields)[2], gid)) return std::nullopt;
        return static_cast<gid_t>(gid);
    }
    const group* gr = getgrnam(name.c_str());
    if (!gr) return std::nullopt;
    return gr->gr_gid;
}

}  // namespace hbr
