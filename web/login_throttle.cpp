#include "web/login_throttle.h"

#include <algorithm>
#include <cctype>

namespace hbr {
namespace {

// Entries per table before expired ones are dropped at once; beyond twice this the oldest
// keys go, so that a flood of invented names cannot exhaust memory.
constexpr size_t kMaxEntries = 50000;

// Names match case-insensitively (ASCII, as the users table's NOCASE collation does).
std::string Fold(std::string_view name) {
    std::string s(name);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string PairKey(std::string_view address, std::string_view name) {
    std::string key(address);
    key += '\n';
    key += Fold(name);
    return key;
}

template <typename Map>
void Bound(Map& map) {
    while (map.size() > 2 * kMaxEntries) map.erase(map.begin());
}

}  // namespace

void LoginThrottle::Block::Start(int64_t now, const LoginLimits& limits) {
    const int64_t length = nextMs == 0 ? limits.firstBlockMs : nextMs;
    until = now + length;
    nextMs = std::min(length * 2, limits.maxBlockMs);
}

LoginThrottle::LoginThrottle(const LoginLimits& limits) : limits_(limits) {}

bool LoginThrottle::MayCheck(std::string_view address, std::string_view name, int64_t now) {
    std::lock_guard guard(lock_);
    if (const auto a = addresses_.find(std::string(address));
        a != addresses_.end() && a->second.block.Active(now))
        return false;
    if (const auto p = pairs_.find(PairKey(address, name));
        p != pairs_.end() && p->second.block.Active(now))
        return false;
    int64_t& last =
        accounts_.try_emplace(Fold(name), now - limits_.accountIntervalMs).first->second;
    if (now - last < limits_.accountIntervalMs) return false;
    last = now;
    if (accounts_.size() > kMaxEntries) Prune(now);
    Bound(accounts_);
    return true;
}

std::optional<std::string> LoginThrottle::RecordFailure(std::string_view address,
                                                        std::string_view name, int64_t now) {
    std::lock_guard guard(lock_);
    std::optional<std::string> started;
    const int64_t since = now - limits_.windowMs;

    PairState& pair = pairs_[PairKey(address, name)];
    // A whole window without failures after the last interval forgets the count and the
    // doubling; until then the first failure after an interval starts the next, longer one.
    if (pair.block.Quiet(now, limits_)) pair = PairState{};
    auto& f = pair.failures;
    f.erase(f.begin(), std::find_if(f.begin(), f.end(), [&](int64_t t) { return t > since; }));
    f.push_back(now);
    if (f.size() > static_cast<size_t>(limits_.pairFailures)) f.erase(f.begin());
    pair.block.lastFailure = now;
    if ((pair.block.nextMs != 0 || f.size() >= static_cast<size_t>(limits_.pairFailures)) &&
        !pair.block.Active(now)) {
        pair.block.Start(now, limits_);
        started = "throttled: " + std::to_string(limits_.pairFailures) +
                  " failed logins of this name from this address";
    }

    AddressState& a = addresses_[std::string(address)];
    if (a.block.Quiet(now, limits_)) a = AddressState{};
    std::erase_if(a.names, [&](const auto& item) { return item.second <= since; });
    a.names[Fold(name)] = now;
    while (a.names.size() > static_cast<size_t>(limits_.addressNames)) {
        a.names.erase(
            std::min_element(a.names.begin(), a.names.end(),
                             [](const auto& x, const auto& y) { return x.second < y.second; }));
    }
    a.block.lastFailure = now;
    if ((a.block.nextMs != 0 || a.names.size() >= static_cast<size_t>(limits_.addressNames)) &&
        !a.block.Active(now)) {
        a.block.Start(now, limits_);
        started = "throttled: failed logins of " + std::to_string(limits_.addressNames) +
                  " names from this address";
    }
    if (pairs_.size() > kMaxEntries || addresses_.size() > kMaxEntries) Prune(now);
    Bound(pairs_);
    Bound(addresses_);
    return started;
}

void LoginThrottle::RecordSuccess(std::string_view address, std::string_view name) {
    std::lock_guard guard(lock_);
    pairs_.erase(PairKey(address, name));
    // The account's interval guards against guessing; after a right password the next login
    // (another tab, another browser) need not wait.
    accounts_.erase(Fold(name));
}

size_t LoginThrottle::EntryCount() const {
    std::lock_guard guard(lock_);
    return pairs_.size() + addresses_.size() + accounts_.size();
}

void LoginThrottle::Prune(int64_t now) {
    // At most once a second: a full pass over a large table on every attempt would be the
    // attacker's lever.
    if (now - lastPrune_ < 1000) return;
    lastPrune_ = now;
    // An entry whose failures have left the window and whose block has ended is forgotten,
    // and with it the doubling.
    std::erase_if(pairs_, [&](const auto& item) { return item.second.block.Quiet(now, limits_); });
    std::erase_if(addresses_,
                  [&](const auto& item) { return item.second.block.Quiet(now, limits_); });
    std::erase_if(accounts_,
                  [&](const auto& item) { return now - item.second >= limits_.accountIntervalMs; });
}

LoginThrottle& Throttle() {
    static LoginThrottle throttle(CurrentLoginLimits());
    return throttle;
}

}  // namespace hbr
