#include "platform/winbind_groups.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

// wbclient.h neither includes the fixed-width types nor declares its functions as C.
extern "C" {
#include <wbclient.h>
}

namespace hbr {

namespace {

bool IsSid(std::string_view text) {
    if (text.substr(0, 4) != "S-1-") return false;
    text.remove_prefix(4);
    size_t parts = 0;
    while (true) {
        const size_t dash = text.find('-');
        const std::string_view part = text.substr(0, dash);
        if (part.empty() || part.size() > 10) return false;
        uint64_t value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        // The first part is the 48-bit identifier authority, the rest 32-bit sub-authorities.
        if (parts > 0 && value > UINT32_MAX) return false;
        ++parts;
        if (dash == std::string_view::npos) break;
        text.remove_prefix(dash + 1);
    }
    return parts >= 1 && parts <= 16;
}

// The three libwbclient calls used, resolved once.
struct Wbclient {
    wbcErr (*stringToSid)(const char*, wbcDomainSid*) = nullptr;
    wbcErr (*lookupSid)(const wbcDomainSid*, char**, char**, wbcSidType*) = nullptr;
    void (*freeMemory)(void*) = nullptr;

    bool Usable() const { return stringToSid && lookupSid && freeMemory; }
};

const Wbclient& Library() {
    static Wbclient lib;
    static std::once_flag once;
    std::call_once(once, [] {
        const char* named = std::getenv("HBR_WBCLIENT_LIBRARY");
        // Kept open for the life of the process: winbind's client keeps its socket in it.
        void* handle = dlopen(named && *named ? named : "libwbclient.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        lib.stringToSid = reinterpret_cast<decltype(lib.stringToSid)>(dlsym(handle, "wbcStringToSid"));
        lib.lookupSid = reinterpret_cast<decltype(lib.lookupSid)>(dlsym(handle, "wbcLookupSid"));
        lib.freeMemory = reinterpret_cast<decltype(lib.freeMemory)>(dlsym(handle, "wbcFreeMemory"));
    });
    return lib;
}

}  // namespace

std::vector<std::string> ParseSidList(std::string_view value) {
    while (!value.empty() && value.back() == '\0') value.remove_suffix(1);
    std::vector<std::string> sids;
    while (!value.empty() && sids.size() < kMaxTokenSids) {
        const size_t comma = value.find(',');
        const std::string_view item = value.substr(0, comma);
        if (IsSid(item)) sids.emplace_back(item);
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return sids;
}

std::vector<std::string> GroupsOfSids(const std::vector<std::string>& sids) {
    std::vector<std::string> groups;
    if (sids.empty()) return groups;  // no domain login: winbind is not even opened
    const Wbclient& wb = Library();
    if (!wb.Usable()) return groups;
    for (const std::string& text : sids) {
        wbcDomainSid sid{};
        if (!WBC_ERROR_IS_OK(wb.stringToSid(text.c_str(), &sid))) continue;
        char* domain = nullptr;
        char* name = nullptr;
        wbcSidType type = WBC_SID_NAME_UNKNOWN;
        const wbcErr err = wb.lookupSid(&sid, &domain, &name, &type);
        if (WBC_ERROR_IS_OK(err) && name && *name &&
            (type == WBC_SID_NAME_DOM_GRP || type == WBC_SID_NAME_ALIAS ||
             type == WBC_SID_NAME_WKN_GRP)) {
            groups.push_back(domain && *domain ? std::string(domain) + "\\" + name : std::string(name));
        }
        if (domain) wb.freeMemory(domain);
        if (name) wb.freeMemory(name);
        // winbind down: the rest would fail the same way, each after its own timeout.
        if (err == WBC_ERR_WINBIND_NOT_AVAILABLE) break;
    }
    return groups;
}

}  // namespace hbr
