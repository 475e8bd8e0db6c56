#include "store/password.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace hbr {
namespace {

// Expected digests were computed outside the program with
// `printf ... | openssl dgst -sha1 -mac HMAC -macopt hexkey:<key> -binary | base64`.
constexpr const char* kBravoDigest = "/NAp/eIkwx/9yzAYsw5fmfncESc=";
constexpr const char* kEmptyDigest = "+33Vmo/aLmZY0b9yA7nNKYPdX+E=";

TEST(PasswordDigest, KnownVectors) {
    EXPECT_EQ(PasswordDigest("bravo"), kBravoDigest);
    EXPECT_EQ(PasswordDigest(""), kEmptyDigest);
    EXPECT_EQ(PasswordDigest("Bravo"), "FgB8+7qDKdpq9t5wYG7kjslVgko=");
}

TEST(PasswordDigest, AlwaysTwentyEightCharactersWithOnePad) {
    for (const std::string& password :
         {std::string(), std::string("a"), std::string("bravo"), std::string(1000, 'x')}) {
        const std::string digest = PasswordDigest(password);
        ASSERT_EQ(digest.size(), 28u) << password;
        EXPECT_EQ(digest.back(), '=');
        EXPECT_NE(digest[26], '=');
        EXPECT_EQ(PasswordDigest(password), digest) << "digest must be deterministic";
    }
}

TEST(PasswordDigest, HashesTheBytesAsGiven) {
    // "päss" in UTF-8 and in Latin-1 are different bytes and so different digests.
    EXPECT_EQ(PasswordDigest("p\xc3\xa4ss"), "gvLsf1n+LgVmvc+an6LdpCwm2rg=");
    EXPECT_EQ(PasswordDigest("p\xe4ss"), "LL5df7pcfh5J8Ofm3Jnjl6HkAt4=");
    // Nothing stops at a zero byte, and nothing is trimmed.
    EXPECT_NE(PasswordDigest(std::string_view("bravo\0x", 7)), kBravoDigest);
    EXPECT_NE(PasswordDigest("bravo "), kBravoDigest);
}

TEST(VerifyPassword, AcceptsOnlyTheExactDigest) {
    EXPECT_TRUE(VerifyPassword("bravo", kBravoDigest));
    EXPECT_TRUE(VerifyPassword("", kEmptyDigest));
    EXPECT_FALSE(VerifyPassword("Bravo", kBravoDigest));
    EXPECT_FALSE(VerifyPassword("bravo", kEmptyDigest));
    EXPECT_FALSE(VerifyPassword("", ""));
    EXPECT_FALSE(VerifyPassword("bravo", ""));
    EXPECT_FALSE(VerifyPassword("bravo", std::string(kBravoDigest) + "x"));
    EXPECT_FALSE(VerifyPassword("bravo", std::string(kBravoDigest).substr(0, 27)));
}

TEST(VerifyPassword, LetterCaseOfTheStoredDigestMatters) {
    std::string lower = kBravoDigest;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, kBravoDigest);
    EXPECT_FALSE(VerifyPassword("bravo", lower));
    // One changed letter anywhere, including the last position, is enough.
    for (size_t i = 0; i < 28; ++i) {
        std::string changed = kBravoDigest;
        changed[i] = changed[i] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(VerifyPassword("bravo", changed)) << i;
    }
}

TEST(Base64Encode, Rfc4648Vectors) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
}

TEST(Base64Encode, BinaryBytesAndTheLastAlphabetCharacters) {
    EXPECT_EQ(Base64Encode(std::string_view("\x00\xff\xfe", 3)), "AP/+");
    EXPECT_EQ(Base64Encode("\xfb\xff"), "+/8=");
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    const std::string encoded = Base64Encode(all);
    EXPECT_EQ(encoded.size(), 344u);
    EXPECT_EQ(encoded.substr(0, 8), "AAECAwQF");
    EXPECT_EQ(encoded.substr(336), "/P3+/w==");
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
}

bool IsLowerHex(const std::string& s) {
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

TEST(NewSessionId, ThirtyTwoLowerCaseHexDigits) {
    for (int i = 0; i < 100; ++i) {
        const std::string id = NewSessionId();
        ASSERT_EQ(id.size(), 32u);
        ASSERT_TRUE(IsLowerHex(id)) << id;
    }
}

TEST(NewSessionId, UniqueAcrossThreadsAndNoStuckDigit) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kPerThread; ++i) ids[t].push_back(NewSessionId());
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (const auto& list : ids) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
    // Every position takes several values; a seeded or partly fixed generator would not.
    for (size_t pos = 0; pos < 32; ++pos) {
        std::set<char> seen;
        for (const auto& id : all) seen.insert(id[pos]);
        EXPECT_GE(seen.size(), 8u) << pos;
    }
}

}  // namespace
}  // namespace hbr

namespace hbr {
namespace {

TEST(SaltedPasswordDigest, SelfDescribingSaltedAndVerifiedBesideTheOldForm) {
    const std::string a = SaltedPasswordDigest("bravo");
    const std::string b = SaltedPasswordDigest("bravo");
    EXPECT_EQ(a.rfind("$pbkdf2-sha256$" + std::to_string(kPasswordIterations) + "$", 0), 0u) << a;
    EXPECT_NE(a, b);  // salted
    EXPECT_TRUE(VerifyPassword("bravo", a));
    EXPECT_FALSE(VerifyPassword("Bravo", a));
    EXPECT_FALSE(VerifyPassword("bravo", a.substr(0, a.size() - 1)));
    EXPECT_FALSE(DigestNeedsUpgrade(a));
    // The old form still verifies and is marked for replacement.
    EXPECT_TRUE(VerifyPassword("bravo", kBravoDigest));
    EXPECT_TRUE(DigestNeedsUpgrade(kBravoDigest));
    EXPECT_TRUE(DigestNeedsUpgrade(""));
    // Stored rows are input: malformed or absurd parameters never verify.
    for (const std::string& bad :
         {std::string("$pbkdf2-sha256$$x$y"), std::string("$pbkdf2-sha256$0$x$y"),
          std::string("$pbkdf2-sha256$99999999$x$y"), std::string("$pbkdf2-sha256$1000$x$"),
          std::string("$pbkdf2-sha256$")})
        EXPECT_FALSE(VerifyPassword("", bad)) << bad;
}

}  // namespace
}  // namespace hbr
