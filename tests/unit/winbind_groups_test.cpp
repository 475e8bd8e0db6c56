// Windows groups from the SIDs of a domain login: the attribute's text as gss-ntlmssp writes it,
// hostile forms of it, and the lookup through a stand-in winbind.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/winbind_groups.h"

namespace hbr {
namespace {

using Sids = std::vector<std::string>;

TEST(SidList, ReadsTheAttributeAsTheMechanismWritesIt) {
    // Comma-separated, the terminating NUL counted in the value's length.
    const std::string value("S-1-5-21-10-20-30-1105,S-1-5-21-10-20-30-513,S-1-5-32-544\0", 59);
    EXPECT_EQ(ParseSidList(value),
              (Sids{"S-1-5-21-10-20-30-1105", "S-1-5-21-10-20-30-513", "S-1-5-32-544"}));
    EXPECT_EQ(ParseSidList("S-1-1-0"), (Sids{"S-1-1-0"}));
    EXPECT_EQ(ParseSidList(""), Sids{});
    EXPECT_EQ(ParseSidList(std::string(3, '\0')), Sids{});
}

TEST(SidList, LeavesOutWhatIsNotASid) {
    EXPECT_EQ(ParseSidList("S-1-5-32-544,,x,S-2-5-1,S-1-,S-1-5--1,S-1-5-1a,s-1-5-1,S-1-1-0"),
              (Sids{"S-1-5-32-544", "S-1-1-0"}));
    // Sub-authorities are 32 bits; sixteen parts at most.
    EXPECT_EQ(ParseSidList("S-1-5-4294967296,S-1-5-4294967295"), (Sids{"S-1-5-4294967295"}));
    std::string fifteen = "S-1-5";
    for (int i = 0; i < 15; ++i) fifteen += "-1";
    EXPECT_EQ(ParseSidList(fifteen), Sids{fifteen});
    EXPECT_EQ(ParseSidList(fifteen + "-1"), Sids{});
    // A NUL inside the list ends nothing but its own item.
    EXPECT_EQ(ParseSidList(std::string("S-1-1-0\0,S-1-5-32-544", 21)), (Sids{"S-1-5-32-544"}));
}

TEST(SidList, StopsAtTheLongestTokenThereIs) {
    std::string value;
    for (size_t i = 0; i < kMaxTokenSids + 50; ++i) value += "S-1-5-21-10-20-30-" + std::to_string(i) + ",";
    const Sids sids = ParseSidList(value);
    ASSERT_EQ(sids.size(), kMaxTokenSids);
    EXPECT_EQ(sids.back(), "S-1-5-21-10-20-30-" + std::to_string(kMaxTokenSids - 1));
}

class WinbindGroups : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("HBR_WBCLIENT_LIBRARY", HBR_FAKE_WBCLIENT, 1); }
    void TearDown() override { unsetenv("FAKE_WBCLIENT_DOWN"); }
    // The stand-in counts its lookups; it is the library the code opened, so the count is shared.
    static int Lookups() {
        void* lib = dlopen(HBR_FAKE_WBCLIENT, RTLD_NOW | RTLD_NOLOAD);
        if (!lib) return -1;
        auto* count = reinterpret_cast<int (*)()>(dlsym(lib, "fake_wbclient_lookups"));
        const int n = count ? count() : -1;
        dlclose(lib);
        return n;
    }
};

TEST_F(WinbindGroups, NamesGroupsAndLeavesOutUsersComputersAndUnknownSids) {
    const Sids token{"S-1-5-21-10-20-30-1105", "S-1-5-21-10-20-30-513", "S-1-5-21-10-20-30-1300",
                     "S-1-5-32-544",           "S-1-1-0",               "S-1-5-21-10-20-30-2001",
                     "S-1-5-21-10-20-30-9999"};
    EXPECT_EQ(GroupsOfSids(token), (Sids{"CORP\\Domain Users", "CORP\\Hyper-V Operators",
                                         "BUILTIN\\Administrators", "Everyone"}));
}

TEST_F(WinbindGroups, WinbindDownAsksOnceAndGivesNothing) {
    ASSERT_EQ(GroupsOfSids({"S-1-1-0"}), Sids{"Everyone"});
    const int before = Lookups();
    setenv("FAKE_WBCLIENT_DOWN", "1", 1);
    EXPECT_EQ(GroupsOfSids({"S-1-5-32-544", "S-1-1-0", "S-1-5-21-10-20-30-513"}), Sids{});
    EXPECT_EQ(Lookups(), before + 1);
}

}  // namespace
}  // namespace hbr
