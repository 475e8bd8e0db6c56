#pragma once
// The machine's accounts and groups as the instance verbs look them up. When HBR_PASSWD or
// HBR_GROUP name a file in the passwd(5) or group(5) format, that file is the whole database
// (tests stand it in, as HBR_USERADD stands in useradd, so that what is installed on the machine
// never changes a result); otherwise the system's own lookups answer.
#include <sys/types.h>

#include <optional>
#include <string>

namespace hbr {

struct AccountEntry {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

std::optional<AccountEntry> FindAccount(const std::string& name);
std::optional<gid_t> FindGroup(const std::string& name);

}  // namespace hbr
