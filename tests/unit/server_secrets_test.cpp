// Sealing host passwords: the round trip, and that a wrong key or a changed byte opens nothing.
#include "store/server_secrets.h"

#include <gtest/gtest.h>

namespace hbr {
namespace {

TEST(ServerSecrets, SealedValuesOpenOnlyWithTheirKeyAndUnchanged) {
    const std::string key(32, 'k');
    const std::string sealed = SealWithKey(key, "p\xc3\xa4ss word");
    ASSERT_EQ(sealed.rfind(kSealedPrefix, 0), 0u);
    EXPECT_EQ(sealed.find("word"), std::string::npos);
    EXPECT_NE(SealWithKey(key, "p\xc3\xa4ss word"), sealed);  // a fresh nonce each time
    EXPECT_EQ(OpenWithKey(key, sealed), "p\xc3\xa4ss word");
    EXPECT_EQ(OpenWithKey(key, SealWithKey(key, "")), "");
    EXPECT_FALSE(OpenWithKey(std::string(32, 'j'), sealed));
    EXPECT_FALSE(OpenWithKey(key.substr(1), sealed));
    std::string changed = sealed;
    changed[kSealedPrefix.size() + 20] = changed[kSealedPrefix.size() + 20] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(OpenWithKey(key, changed));
    EXPECT_FALSE(OpenWithKey(key, std::string(kSealedPrefix) + "AAAA"));
    EXPECT_FALSE(OpenWithKey(key, std::string(kSealedPrefix) + "@@@"));
    EXPECT_TRUE(SealWithKey("short", "x").empty());
}

}  // namespace
}  // namespace hbr
