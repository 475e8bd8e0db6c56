#include "cli/process_state.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace hbr {
namespace {

TEST(WebRoot, AppFolderBesideAnExecutableNamedHbr) {
    EXPECT_EQ(DefaultWebRoot("/opt/x/hbr"), "/opt/x/app");
    EXPECT_EQ(DefaultWebRoot("hbr"), "app");
}

TEST(WebRoot, OtherExecutableNamesGetTheirOwnPath) {
    EXPECT_EQ(DefaultWebRoot("/opt/x/hbr2"), "/opt/x/hbr2");
    EXPECT_EQ(DefaultWebRoot("/opt/x/xhbr"), "/opt/x/xhbr");
    EXPECT_EQ(DefaultWebRoot("/opt/hbr/tool"), "/opt/hbr/tool");
}

TEST(InstallationId, CreatedOnceAndReadBack) {
    TempDir dir;
    const std::string first = ReadOrCreateInstallationId(dir.Path());
    ASSERT_EQ(first.size(), 36u);
    for (char c : first) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    EXPECT_EQ(first[8], '-');
    EXPECT_EQ(ReadOrCreateInstallationId(dir.Path()), first);
}

TEST(InstallationId, StoredValueIsTrimmedAndKept) {
    TempDir dir;
    std::ofstream(dir.Path() + "/appid") << "  my-id \n";
    EXPECT_EQ(ReadOrCreateInstallationId(dir.Path()), "my-id");
}

TEST(InstallationId, OverlongOrEmptyValueIsReplaced) {
    TempDir dir;
    std::ofstream(dir.Path() + "/appid") << std::string(97, 'a') << "\n";
    const std::string id = ReadOrCreateInstallationId(dir.Path());
    EXPECT_EQ(id.size(), 36u);
    std::ofstream(dir.Path() + "/appid") << "   \n";
    const std::string id2 = ReadOrCreateInstallationId(dir.Path());
    EXPECT_EQ(id2.size(), 36u);
    EXPECT_NE(id, id2);
}

}  // namespace
}  // namespace hbr
