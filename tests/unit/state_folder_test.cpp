// The shared state folder as instances of other accounts than root meet it: root makes the
// event store, the instance's account must be able to file its start events there.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "cli/process_state.h"
#include "cli/service_control.h"
#include "platform/hbr_exception.h"
#include "store/event_log.h"
#include "support/temp_dir.h"

namespace hbr {
namespace {

// Runs `work` in a child process as `nobody` with `extraGroup` as its only supplementary group
// (none when 0), the way systemd starts a unit with User= and SupplementaryGroups=.
void RunAsNobody(gid_t extraGroup, const std::function<void()>& work) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int groups = extraGroup ? 1 : 0;
        if (setgroups(static_cast<size_t>(groups), &extraGroup) != 0 || setgid(gid) != 0 ||
            setuid(uid) != 0)
            _exit(3);
        work();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
}

size_t EventsOf(const std::string& instance) {
    const std::string saved = Config().name;
    Config().name = instance;
    std::string json;
    ReadInstanceEvents(json, 0);
    Config().name = saved;
    size_t count = 0;
    for (size_t at = json.find("\"message\""); at != std::string::npos;
         at = json.find("\"message\"", at + 1))
        ++count;
    return count;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class StateFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "switching accounts needs root";
        group_ = getgrnam("daemon");
        if (!group_ || !getpwnam("nobody"))
            GTEST_SKIP() << "no nobody or daemon group on this machine";
        gid_ = group_->gr_gid;
        // The temporary folder is private to root; the instance's account must reach the state
        // folder inside it.
        chmod(tmp_.Path().c_str(), 0755);
        dir_ = tmp_.Path() + "/state";
        setenv("HBR_STATE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override { unsetenv("HBR_STATE_DIR"); }

    void FileEventAs(gid_t extraGroup, const std::string& instance) {
        RunAsNobody(extraGroup, [&] {
            Config().name = instance;
            ReportInstanceEvent("Instance started:\nprobe", kEventSuccess);
        });
    }

    TempDir tmp_;
    std::string dir_;
    const group* group_ = nullptr;
    gid_t gid_ = 0;
};

TEST_F(StateFolder, AMemberOfTheSharedGroupFilesEventsInTheStoreRootMade) {
    CreateEventStore();
    // As root leaves it, the store is closed to other accounts: their start is never recorded.
    FileEventAs(gid_, "Before");
    EXPECT_EQ(EventsOf("Before"), 0u);

    ShareStateFolder("daemon", "CreateService:");
    struct stat st {};
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, gid_);
    EXPECT_EQ(st.st_mode & 07777, 03775u);
    ASSERT_EQ(stat(EventLogPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, gid_);
    EXPECT_EQ(st.st_mode & 0777, 0664u);

    FileEventAs(gid_, "Member");
    EXPECT_EQ(EventsOf("Member"), 1u);
    // Membership is what opens it, not the folder being open to everybody.
    FileEventAs(0, "Stranger");
    EXPECT_EQ(EventsOf("Stranger"), 0u);
}

TEST_F(StateFolder, SharingMakesAMissingStoreAndKeepsItsEntries) {
    ReportInstanceEvent("kept", kEventSuccess);  // as root, before sharing
    const size_t before = EventsOf(Config().name);
    ASSERT_EQ(before, 1u);
    ShareStateFolder("daemon", "CreateService:");
    ShareStateFolder("daemon", "CreateService:");  // again, as a second add-instance would
    EXPECT_EQ(EventsOf(Config().name), before);

    TempDir other;
    setenv("HBR_STATE_DIR", (other.Path() + "/fresh").c_str(), 1);
    ShareStateFolder("daemon", "CreateService:");
    struct stat st {};
    EXPECT_EQ(stat(EventLogPath().c_str(), &st), 0);
}

TEST_F(StateFolder, MembersCannotReplaceRootsInstallationId) {
    const std::string id = ReadOrCreateInstallationId(dir_);
    ASSERT_FALSE(id.empty());
    ShareStateFolder("daemon", "CreateService:");
    RunAsNobody(gid_, [&] {
        // The file is root's alone; a member gets an id for its run but must not store it.
        if (ReadOrCreateInstallationId(dir_).empty()) _exit(4);
    });
    EXPECT_EQ(FileText(dir_ + "/appid"), id + "\n");
    struct stat st {};
    ASSERT_EQ(stat((dir_ + "/appid").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 2u) << "only appid and events.db";
}

TEST(StateFolderGroup, AMissingGroupIsRefusedWithThePrefix) {
    try {
        ShareStateFolder("no-such-group-hbr", "CreateService:");
        FAIL() << "no exception";
    } catch (const CHbrException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "CreateService: The group no-such-group-hbr does not exist.");
    }
}

}  // namespace
}  // namespace hbr
