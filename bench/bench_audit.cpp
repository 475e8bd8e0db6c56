// Audit page timings over a million rows, and the store's share of a form login.
#include <SQLiteCpp/SQLiteCpp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "store/audit.h"
#include "store/database.h"
#include "store/password.h"
#include "store/users.h"
#include "web/session.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Fill(SQLite::Database& db, int rows) {
    static const char* names[] = {"administrator", "alice",   "bob",   "carol",  "dave",
                                  "erin",          "frank",   "grace", "heidi",  "ivan",
                                  "judy",          "mallory", "niaj",  "olivia", "peggy",
                                  "rupert",        "sybil",   "trent", "victor", "walter"};
    std::mt19937 rng(7);
    SQLite::Transaction tx(db);
    SQLite::Statement insert(db,
                             "INSERT INTO audit (date,userId,username,claim,resource,userip,result,"
                             "description) VALUES(?,?,?,?,?,?,?,?)");
    // A year of rows, in time order as a live instance writes them.
    const time_t begin = 1704067200;  // 2024-01-01
    for (int i = 0; i < rows; ++i) {
        const time_t when = begin + static_cast<time_t>(static_cast<int64_t>(i) * 31536000 / rows);
        tm t{};
        gmtime_r(&when, &t);
        char date[32];
        std::snprintf(date, sizeof date, "%d-%.2d-%.2d %.2d:%.2d:%.2d", t.tm_year + 1900,
                      t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        const int user = static_cast<int>(rng() % 20);
        insert.bind(1, date);
        insert.bind(2, user + 1);
        insert.bind(3, names[user]);
        insert.bind(4, static_cast<int>(rng() % 41));
        insert.bind(5, "vm-" + std::to_string(rng() % 500));
        insert.bind(6, "10.0.0." + std::to_string(rng() % 250));
        insert.bind(7, static_cast<int>(rng() % 2));
        insert.bind(8);
        insert.exec();
        insert.reset();
    }
    tx.commit();
}

void Time(SQLite::Database& db, const char* label, const char* sort, const char* filter,
          bool admin) {
    std::vector<double> times;
    std::string out;
    for (int i = 0; i < 21; ++i) {
        out.clear();
        const auto start = Clock::now();
        hbr::QueryAudit(db, out, "0", "50", sort, filter, admin);
        times.push_back(Ms(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    const auto total = out.rfind("\"total\":");
    std::printf("%-44s median %7.2f ms  p90 %7.2f ms  (%s)\n", label, times[times.size() / 2],
                times[times.size() * 9 / 10],
                total == std::string::npos ? out.substr(0, 60).c_str() : out.c_str() + total);
}

}  // namespace

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    char folder[] = "/tmp/hbrbench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string path = std::string(folder) + "/hbr.db";
    {
        auto db = hbr::OpenOrCreateAt(path);
        const auto start = Clock::now();
        Fill(*db, rows);
        std::printf("filled %d audit rows in %.0f ms\n", rows, Ms(Clock::now() - start));
    }
    auto db = hbr::OpenOrCreateAt(path);  // as a restarted instance sees the file

    const char* byDate = R"([{"property":"date","direction":"DESC"}])";
    Time(*db, "username prefix 'adm', date sort, admin", byDate,
         R"([{"property":"username","value":"adm","operator":"eq"}])", true);
    Time(*db, "username prefix 'adm', date sort, other", byDate,
         R"([{"property":"username","value":"adm","operator":"eq"}])", false);
    Time(*db, "username prefix 'a', date sort, admin", byDate,
         R"([{"property":"username","value":"a"}])", true);
    Time(*db, "date day 2024-06-15, date sort, admin", byDate,
         R"([{"property":"date","value":"2024-06-15","operator":"eq"}])", true);
    Time(*db, "date day 2024-06-15, date sort, other", byDate,
         R"([{"property":"date","value":"2024-06-15","operator":"eq"}])", false);
    Time(*db, "no filter, date sort, admin", byDate, "", true);

    // The store's part of a form login: the user lookup and the digest check.
    hbr::Session session;
    const auto start = Clock::now();
    int logins = 0;
    while (Clock::now() - start < std::chrono::seconds(1)) {
        session = hbr::Session();
        if (hbr::FindLoginUser(*db, "administrator", session) &&
            hbr::VerifyPassword("bravo", session.pwd))
            ++logins;
    }
    std::printf("FindLoginUser + VerifyPassword: %d per second\n", logins);

    db.reset();
    std::remove(path.c_str());
    rmdir(folder);
    return 0;
}
