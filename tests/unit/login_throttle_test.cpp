// The login throttle's arithmetic with a clock of the test's own: when pairs and addresses
// start and stop being refused, how the interval grows and when it is forgotten.
#include "web/login_throttle.h"

#include <gtest/gtest.h>

namespace hbr {
namespace {

LoginLimits Limits() {
    LoginLimits l;  // the defaults, with the account interval out of the way
    l.accountIntervalMs = 1;
    return l;
}

// `n` checked failures of the pair, one millisecond apart from `now` on; the last audit text.
std::optional<std::string> Fail(LoginThrottle& t, const std::string& address,
                                const std::string& name, int n, int64_t& now) {
    std::optional<std::string> started;
    for (int i = 0; i < n; ++i) {
        now += 2;
        EXPECT_TRUE(t.MayCheck(address, name, now)) << i;
        if (auto s = t.RecordFailure(address, name, now)) started = s;
    }
    return started;
}

TEST(LoginThrottle, TheIntervalDoublesUpToTheMaximumAndAQuietWindowResetsIt) {
    const LoginLimits l = Limits();
    LoginThrottle t(l);
    int64_t now = 1'000'000;
    EXPECT_FALSE(Fail(t, "a", "admin", 4, now));
    const auto started = Fail(t, "a", "admin", 1, now);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->rfind("throttled:", 0), 0u);
    int64_t length = l.firstBlockMs;
    for (int round = 0; round < 6; ++round) {
        EXPECT_FALSE(t.MayCheck("a", "ADMIN", now + length - 1)) << round;
        EXPECT_TRUE(t.MayCheck("b", "admin", now + length - 1)) << round;  // other address
        now += length;
        // The interval is over; the next failure, still within the window, starts a longer one.
        ASSERT_TRUE(t.MayCheck("a", "admin", now)) << round;
        EXPECT_TRUE(t.RecordFailure("a", "admin", now)) << round;
        length = std::min(length * 2, l.maxBlockMs);
    }
    EXPECT_EQ(length, l.maxBlockMs);
    // A whole window without failures forgets the count and the doubling.
    now += l.maxBlockMs + l.windowMs + 1;
    EXPECT_FALSE(Fail(t, "a", "admin", 4, now));
    ASSERT_TRUE(Fail(t, "a", "admin", 1, now));
    EXPECT_FALSE(t.MayCheck("a", "admin", now + l.firstBlockMs - 1));
    EXPECT_TRUE(t.MayCheck("a", "admin", now + l.firstBlockMs));
}

TEST(LoginThrottle, FailuresOutsideTheWindowDoNotCount) {
    const LoginLimits l = Limits();
    LoginThrottle t(l);
    int64_t now = 0;
    for (int i = 0; i < 10; ++i) {
        now += l.windowMs / 4 + 1;  // never five within one window
        ASSERT_TRUE(t.MayCheck("a", "admin", now));
        EXPECT_FALSE(t.RecordFailure("a", "admin", now)) << i;
    }
}

TEST(LoginThrottle, SuccessClearsThePairButNotTheAddress) {
    const LoginLimits l = Limits();
    LoginThrottle t(l);
    int64_t now = 0;
    Fail(t, "a", "admin", 4, now);
    t.RecordSuccess("a", "admin");
    EXPECT_FALSE(Fail(t, "a", "admin", 4, now));
    // Names failing from one address: the twentieth throttles the address for every name.
    for (int i = 0; i < l.addressNames - 2; ++i)
        EXPECT_FALSE(Fail(t, "a", "n" + std::to_string(i), 1, now));
    EXPECT_TRUE(Fail(t, "a", "last", 1, now));
    EXPECT_FALSE(t.MayCheck("a", "fresh", now + 1));
    EXPECT_TRUE(t.MayCheck("b", "fresh", now + 1));
}

TEST(LoginThrottle, OneCheckedAttemptPerAccountInterval) {
    LoginLimits l;
    l.accountIntervalMs = 1000;
    LoginThrottle t(l);
    EXPECT_TRUE(t.MayCheck("a", "admin", 5000));
    EXPECT_FALSE(t.MayCheck("b", "Admin", 5999));
    EXPECT_TRUE(t.MayCheck("c", "other", 5999));
    EXPECT_TRUE(t.MayCheck("b", "admin", 6000));
}

TEST(LoginThrottle, InventedNamesCannotGrowTheTablesWithoutBound) {
    LoginLimits l = Limits();
    l.addressNames = 1 << 20;
    LoginThrottle t(l);
    int64_t now = 0;
    for (int i = 0; i < 120000; ++i) {
        now += 2;
        const std::string name = "n" + std::to_string(i);
        if (t.MayCheck("10.0.0." + std::to_string(i % 250), name, now))
            t.RecordFailure("10.0.0." + std::to_string(i % 250), name, now);
    }
    EXPECT_LT(t.EntryCount(), 250000u);
}

TEST(LoginLimits, ParsedFromOneTextWithUnusableValuesIgnored) {
    const LoginLimits d;
    const LoginLimits l = ParseLoginLimits(
        "idle_ms=2000,pair_failures=3,bogus=1,window_ms=0,"
        "max_block_ms=x,account_interval_ms=-5,first_block_ms=7");
    EXPECT_EQ(l.idleMs, 2000);
    EXPECT_EQ(l.pairFailures, 3);
    EXPECT_EQ(l.windowMs, d.windowMs);
    EXPECT_EQ(l.maxBlockMs, d.maxBlockMs);
    EXPECT_EQ(l.accountIntervalMs, d.accountIntervalMs);
    EXPECT_EQ(l.firstBlockMs, 7);
    EXPECT_EQ(ParseLoginLimits("").idleMs, 60000);
}

}  // namespace
}  // namespace hbr
