#include "web/session_table.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "cli/process_state.h"
#include "store/claims.h"
#include "store/password.h"
#include "store/users.h"
#include "web/login_limits.h"

namespace hbr {
namespace {

// Ordered by id; only ever touched with Locks().sessionTable held.
std::map<std::string, Session>& Table() {
    static std::map<std::string, Session> table;
    return table;
}

int64_t MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::atomic<int64_t (*)()> g_clock{&MonotonicMs};

bool IsIdle(const Session& session, int64_t now) {
    // Unsigned difference, so a clock that went backwards does not keep a session forever.
    return static_cast<uint64_t>(now - session.lastActivity) >
           static_cast<uint64_t>(SessionIdleLimitMs());
}

// Re-reads one session's rights the way its login read them. False when its user (or, for
// integrated authentication, every role of its groups) is gone or disabled.
bool Reread(SQLite::Database& db, Session& session) {
    bool found;
    if (Config().ntlmMode)
        found = ResolveWindowsUser(db, session.userName, session);
    else
        found = FindLoginUser(db, session.userName, session);
    if (!found) {
        session.claimSets.clear();
        session.assignedVms.clear();
        UpdateViewFlags(session);
    }
    return found;
}

}  // namespace

int64_t SessionClockMs() {
    return g_clock.load()();
}

void SetSessionClock(int64_t (*clock)()) {
    g_clock.store(clock ? clock : &MonotonicMs);
}

int64_t SessionIdleLimitMs() {
    return CurrentLoginLimits().idleMs;
}

bool FindSession(const std::string& id, Session& session) {
    if (id.empty()) return false;
    std::lock_guard lock(Locks().sessionTable);
    // Read under the lock: a time read before it could be older than the activity another
    // request just stored, and the unsigned difference would then end a session in use.
    const int64_t now = SessionClockMs();
    auto it = Table().find(id);
    if (it == Table().end()) return false;
    // Ended at the limit, whether or not anybody has logged in since.
    if (IsIdle(it->second, now)) {
        Table().erase(it);
        return false;
    }
    it->second.lastActivity = now;
    session = it->second;
    return true;
}

std::string CreateSession(const Session& session) {
    std::string id = NewSessionId();
    std::lock_guard lock(Locks().sessionTable);
    SweepSessions(SessionClockMs());
    Table().insert_or_assign(id, session);
    return id;
}

void RemoveSession(const std::string& id) {
    std::lock_guard lock(Locks().sessionTable);
    Table().erase(id);
}

void SweepSessions(int64_t now) {
    auto& table = Table();
    for (auto it = table.begin(); it != table.end();) {
        if (IsIdle(it->second, now))
            it = table.erase(it);
        else
            ++it;
    }
}

void RefreshSessions(SQLite::Database& db, int32_t userId) {
    std::lock_guard lock(Locks().sessionTable);
    auto& table = Table();
    for (auto it = table.begin(); it != table.end();) {
        Session& s = it->second;
        const bool selected = userId != 0 ? s.userId == userId : s.userId != 1;
        // Every session of the user is refreshed, not only its first: a user disabled while
        // logged in from two browsers must lose its rights in both.
        if (selected && !Reread(db, s)) {
            // A user that is gone is logged out: row ids of deleted users are handed out again,
            // and a later refresh by id would otherwise turn this session into the new user.
            it = table.erase(it);
            continue;
        }
        ++it;
    }
}

void EndUserSessions(int32_t userId, const std::string& keepId) {
    if (userId == 0) return;  // group-based sessions belong to no user row
    std::lock_guard lock(Locks().sessionTable);
    std::erase_if(Table(), [&](const auto& entry) {
        return entry.second.userId == userId && entry.first != keepId;
    });
}

size_t SessionCount() {
    std::lock_guard lock(Locks().sessionTable);
    return Table().size();
}

void ClearSessions() {
    std::lock_guard lock(Locks().sessionTable);
    Table().clear();
}

}  // namespace hbr
