#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "cli/process_state.h"
#include "store/event_log.h"
#include "store/json.h"
#include "support/temp_dir.h"

namespace hbr {
namespace {

struct EventLogTest : ::testing::Test {
    TempDir dir;
    InstanceConfig saved = Config();
    std::string oldState;
    bool hadState = false;
    void SetUp() override {
        if (const char* s = std::getenv("HBR_STATE_DIR")) {
            hadState = true;
            oldState = s;
        }
        setenv("HBR_STATE_DIR", dir.Path().c_str(), 1);
    }
    void TearDown() override {
        if (hadState)
            setenv("HBR_STATE_DIR", oldState.c_str(), 1);
        else
            unsetenv("HBR_STATE_DIR");
        Config() = saved;
    }
    void Report(const std::string& instance, const std::string& message, int type) {
        Config().name = instance;
        ReportInstanceEvent(message, type);
    }
    std::vector<std::string> Messages(const std::string& instance, int64_t floor = 0) {
        Config().name = instance;
        std::string out;
        ReadInstanceEvents(out, floor);
        JsonDocument doc;
        EXPECT_TRUE(ParseJson(out, doc)) << out;
        std::vector<std::string> messages;
        for (auto e = doc.Root().ElementsBegin(); e != doc.Root().ElementsEnd(); ++e)
            messages.push_back((**e)["message"].AsText());
        return messages;
    }
};

TEST_F(EventLogTest, EachInstanceSeesItsOwnEntriesNewestFirst) {
    Report("alpha", "Instance started:\nhttp://+:8117/", kEventSuccess);
    Report("beta", "Failed to open db file:\nx\n", kEventError);
    Report("alpha", "second", kEventError);
    EXPECT_EQ(Messages("ALPHA"),
              (std::vector<std::string>{"second", "Instance started:\nhttp://+:8117/"}));
    EXPECT_EQ(Messages("beta"), std::vector<std::string>{"Failed to open db file:\nx\n"});
    EXPECT_EQ(Messages("gamma"), std::vector<std::string>{});
    EXPECT_EQ(Messages("").size(), 3u);  // an unnamed instance reads every entry
}

TEST_F(EventLogTest, RecordShape) {
    Report("alpha", "say \"hi\"\nnow", kEventError);
    std::string out;
    ReadInstanceEvents(out, 0);
    const std::string head = R"([{"id":1,"date":")";
    const std::string tail = R"(","eventId":1,"eventType":1,"message":"say \"hi\"\nnow"}])";
    ASSERT_EQ(out.size(), head.size() + 19 + tail.size()) << out;
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_EQ(out.substr(head.size() + 19), tail);
    const std::string date = out.substr(head.size(), 19);
    for (size_t i = 0; i < date.size(); ++i) {
        const char expected = i == 4 || i == 7     ? '-'
                              : i == 10            ? ' '
                              : i == 13 || i == 16 ? ':'
                                                   : '9';
        if (expected == '9')
            EXPECT_TRUE(date[i] >= '0' && date[i] <= '9') << date;
        else
            EXPECT_EQ(date[i], expected) << date;
    }
}

TEST_F(EventLogTest, FloorReturnsOnlyNewerEntries) {
    int64_t floor = -1;
    EXPECT_EQ(NewestEventRecordNumber(floor), 0);
    EXPECT_EQ(floor, -1);  // an empty log leaves it as it was
    Report("alpha", "old", kEventSuccess);
    Report("beta", "other", kEventSuccess);
    ASSERT_EQ(NewestEventRecordNumber(floor), 0);
    EXPECT_EQ(floor, 2);
    Report("alpha", "new", kEventError);
    EXPECT_EQ(Messages("alpha", floor), std::vector<std::string>{"new"});
    EXPECT_EQ(Messages("alpha", 0), (std::vector<std::string>{"new", "old"}));
}

TEST_F(EventLogTest, ForeignAndIncompleteEntriesAreLeftOut) {
    Report("alpha", "mine", kEventSuccess);
    {
        SQLite::Database db(EventLogPath(), SQLite::OPEN_READWRITE);
        db.exec(
            "INSERT INTO events (timeGenerated, source, eventType, eventId, string1, string2, "
            "string3) VALUES (0, 'Hbr', 0, 1, 'Hbr', 'alpha', NULL),"
            "(0, 'hbr', 0, 1, 'Hbr', 'alpha', 'lower-case source'),"
            "(0, 'Other', 0, 1, 'Hbr', 'alpha', 'other source')");
    }
    EXPECT_EQ(Messages("alpha"), std::vector<std::string>{"mine"});
    int64_t newest = 0;
    ASSERT_EQ(NewestEventRecordNumber(newest), 0);
    EXPECT_EQ(newest, 4);  // of any source
}

TEST_F(EventLogTest, UnreadableLogGivesNoText) {
    const std::string file = dir.Path() + "/plain";
    std::ofstream(file) << "x";
    setenv("HBR_STATE_DIR", file.c_str(), 1);  // a file where the folder should be
    ReportInstanceEvent("lost", kEventError);  // nothing raised
    std::string out = "keep";
    ReadInstanceEvents(out, 0);
    EXPECT_EQ(out, "keep");
    int64_t newest = 5;
    EXPECT_NE(NewestEventRecordNumber(newest), 0);
    EXPECT_EQ(newest, 5);
}

TEST_F(EventLogTest, StateFolderIsCreatedByTheWriter) {
    setenv("HBR_STATE_DIR", (dir.Path() + "/new").c_str(), 1);
    Report("alpha", "first", kEventSuccess);
    EXPECT_EQ(Messages("alpha"), std::vector<std::string>{"first"});
}

}  // namespace
}  // namespace hbr
