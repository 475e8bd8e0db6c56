#include "store/event_log.h"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>

#include "cli/process_state.h"
#include "store/json.h"

namespace hbr {
namespace {

// Several instances (processes) write the file at once; they wait for each other this long.
constexpr int kBusyTimeoutMs = 5000;

// The strings columns are NULL where an entry has fewer insertion strings.
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS events ("
    " recordNumber INTEGER PRIMARY KEY AUTOINCREMENT,"
    " timeGenerated INTEGER NOT NULL,"
    " source TEXT NOT NULL,"
    " eventType INTEGER NOT NULL,"
    " eventId INTEGER NOT NULL,"
    " user TEXT NULL,"
    " string1 TEXT NULL,"
    " string2 TEXT NULL,"
    " string3 TEXT NULL)";

std::optional<SQLite::Database> OpenLog(bool write) {
    const std::string dir = StateDir();
    if (write) ::mkdir(dir.c_str(), 0755);  // an existing folder is fine
    SQLite::Database db(EventLogPath(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db.setBusyTimeout(kBusyTimeoutMs);
    db.exec(kSchema);
    return db;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string LocalTimeText(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

void Syslog(std::string_view message, int eventType) {
    static const bool opened = [] {
        openlog(kEventSource, LOG_PID, LOG_DAEMON);
        return true;
    }();
    (void)opened;
    const std::string& instance = Config().name;
    syslog(eventType == kEventError ? LOG_ERR : LOG_INFO, "%s: %.*s", instance.c_str(),
           static_cast<int>(message.size()), message.data());
}

}  // namespace

std::string EventLogPath() {
    return StateDir() + "/events.db";
}

void CreateEventStore() {
    (void)OpenLog(true);
}

void ReportInstanceEvent(std::string_view message, int eventType) {
    Syslog(message, eventType);
    try {
        auto db = OpenLog(true);
        SQLite::Statement insert(*db,
                                 "INSERT INTO events (timeGenerated, source, eventType, eventId, "
                                 "user, string1, string2, string3) VALUES (?,?,?,?,?,?,?,?)");
        insert.bind(1, static_cast<int64_t>(std::time(nullptr)));
        insert.bind(2, kEventSource);
        insert.bind(3, eventType);
        insert.bind(4, 1);
        insert.bind(5, std::to_string(geteuid()));
        insert.bind(6, kEventSource);
        insert.bind(7, Config().name);
        insert.bind(8, std::string(message));
        insert.exec();
    } catch (const std::exception&) {
        // The writer never reports its own failures; the instance goes on.
    }
}

void ReadInstanceEvents(std::string& out, int64_t floor) {
    const std::string& instance = Config().name;
    std::string records = "[";
    try {
        auto db = OpenLog(false);
        // The source is compared exactly (same letters, same case) and entries at or below the
        // floor are older than everything wanted; both are left to SQLite.
        SQLite::Statement read(*db,
                               "SELECT recordNumber, timeGenerated, eventType, eventId, string1, "
                               "string2, string3 FROM events WHERE source = 'Hbr' AND "
                               "(?1 = 0 OR recordNumber > ?1) ORDER BY recordNumber DESC");
        read.bind(1, floor);
        while (read.executeStep()) {
            if (read.isColumnNull(4) || read.isColumnNull(5) || read.isColumnNull(6)) continue;
            const std::string name = read.getColumn(5).getString();
            if (!instance.empty() && !EqualsIgnoreCase(name, instance)) continue;
            records += "{";
            AppendJsonInt(records, "id", static_cast<int32_t>(read.getColumn(0).getInt64()));
            AppendJsonString(records, "date", LocalTimeText(read.getColumn(1).getInt64()));
            AppendJsonInt(records, "eventId", read.getColumn(3).getInt());
            AppendJsonInt(records, "eventType", read.getColumn(2).getInt());
            AppendJsonString(records, "message", read.getColumn(6).getString());
            StripTrailingCommas(records);
            records += "},";
        }
    } catch (const std::exception&) {
        // An unreadable log (or one that failed part-way) gives no text rather than a torn one.
        return;
    }
    StripTrailingCommas(records);
    records += "]";
    out += records;
}

int NewestEventRecordNumber(int64_t& out) {
    try {
        auto db = OpenLog(false);
        SQLite::Statement newest(*db, "SELECT max(recordNumber) FROM events");
        if (newest.executeStep() && !newest.isColumnNull(0)) out = newest.getColumn(0).getInt64();
        return 0;
    } catch (const SQLite::Exception& e) {
        return e.getErrorCode() > 0 ? e.getErrorCode() : EIO;
    } catch (const std::exception&) {
        return EIO;
    }
}

}  // namespace hbr
