// Stands in libwbclient for tests: a winbind that knows a few SIDs of one domain. Loaded through
// HBR_WBCLIENT_LIBRARY. With FAKE_WBCLIENT_DOWN set every lookup answers that winbind is not
// running; fake_wbclient_lookups() counts the lookups made.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <wbclient.h>
}

namespace {

struct Known {
    const char* sid;
    const char* domain;
    const char* name;
    wbcSidType type;
};

constexpr Known kKnown[] = {
    {"S-1-5-21-10-20-30-1105", "CORP", "alice", WBC_SID_NAME_USER},
    {"S-1-5-21-10-20-30-513", "CORP", "Domain Users", WBC_SID_NAME_DOM_GRP},
    {"S-1-5-21-10-20-30-1300", "CORP", "Hyper-V Operators", WBC_SID_NAME_DOM_GRP},
    {"S-1-5-32-544", "BUILTIN", "Administrators", WBC_SID_NAME_ALIAS},
    {"S-1-1-0", "", "Everyone", WBC_SID_NAME_WKN_GRP},
    {"S-1-5-21-10-20-30-2001", "CORP", "HV1$", WBC_SID_NAME_COMPUTER},
};

int lookups = 0;

std::string Text(const wbcDomainSid* sid) {
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid->id_auth[i];
    std::string text = "S-" + std::to_string(sid->sid_rev_num) + "-" + std::to_string(authority);
    for (int i = 0; i < sid->num_auths && i < WBC_MAXSUBAUTHS; ++i)
        text += "-" + std::to_string(sid->sub_auths[i]);
    return text;
}

}  // namespace

extern "C" {

int fake_wbclient_lookups() { return lookups; }

wbcErr wbcStringToSid(const char* text, wbcDomainSid* sid) {
    unsigned long long authority = 0;
    int used = 0;
    if (std::sscanf(text, "S-1-%llu%n", &authority, &used) != 1) return WBC_ERR_INVALID_SID;
    *sid = wbcDomainSid{};
    sid->sid_rev_num = 1;
    for (int i = 5; i >= 0; --i, authority >>= 8) sid->id_auth[i] = static_cast<uint8_t>(authority & 0xff);
    const char* p = text + used;
    while (*p == '-' && sid->num_auths < WBC_MAXSUBAUTHS) {
        char* end = nullptr;
        sid->sub_auths[sid->num_auths++] = static_cast<uint32_t>(std::strtoul(p + 1, &end, 10));
        p = end;
    }
    return *p ? WBC_ERR_INVALID_SID : WBC_ERR_SUCCESS;
}

wbcErr wbcLookupSid(const wbcDomainSid* sid, char** domain, char** name, wbcSidType* type) {
    ++lookups;
    if (std::getenv("FAKE_WBCLIENT_DOWN")) return WBC_ERR_WINBIND_NOT_AVAILABLE;
    const std::string text = Text(sid);
    for (const Known& k : kKnown) {
        if (text != k.sid) continue;
        *domain = strdup(k.domain);
        *name = strdup(k.name);
        *type = k.type;
        return WBC_ERR_SUCCESS;
    }
    return WBC_ERR_DOMAIN_NOT_FOUND;
}

void wbcFreeMemory(void* p) { std::free(p); }

}  // extern "C"
