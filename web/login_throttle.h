#pragma once
// Slows down password guessing. Failed logins are counted per (client address, account name)
// and per client address; past the limits (web/login_limits.h) that pair, or that address for
// every name, is refused without a password check for an interval that doubles each time it
// starts again. Each account name also takes at most one checked password per interval from
// all addresses together, so guesses spread over many addresses gain nothing, while nobody can
// lock an account out from another address.
#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/login_limits.h"

namespace hbr {

class LoginThrottle {
  public:
    explicit LoginThrottle(const LoginLimits& limits);

    // Before a password is checked: false when the attempt is to be answered as a failed
    // login without checking. A true answer counts as the account's checked attempt.
    bool MayCheck(std::string_view address, std::string_view name, int64_t now);
    // After a checked password failed. When this failure starts a throttled interval of the
    // pair or of the address, the text for its one audit row.
    std::optional<std::string> RecordFailure(std::string_view address, std::string_view name,
                                             int64_t now);
    // After a successful login: the pair's failures are forgotten.
    void RecordSuccess(std::string_view address, std::string_view name);

    // Entries kept, for tests of the memory bound.
    size_t EntryCount() const;

  private:
    struct Block {
        int64_t until = 0;
        int64_t nextMs = 0;  // the length of the next interval; 0: none has started yet
        int64_t lastFailure = 0;
        bool Active(int64_t now) const { return now < until; }
        // No failure for a whole window since the last failure and the end of the interval.
        bool Quiet(int64_t now, const LoginLimits& limits) const {
            return !Active(now) && now - std::max(lastFailure, until) > limits.windowMs;
        }
        void Start(int64_t now, const LoginLimits& limits);
    };
    struct PairState {
        std::vector<int64_t> failures;  // times within the window, oldest first
        Block block;
    };
    struct AddressState {
        std::map<std::string, int64_t> names;  // name -> its last failure
        Block block;
    };

    void Prune(int64_t now);

    const LoginLimits limits_;
    mutable std::mutex lock_;
    std::map<std::string, PairState> pairs_;  // address + '\n' + name
    std::map<std::string, AddressState> addresses_;
    std::map<std::string, int64_t> accounts_;  // name -> its last checked attempt
    int64_t lastPrune_ = 0;
};

// The process's throttle, with CurrentLoginLimits().
LoginThrottle& Throttle();

}  // namespace hbr
