#pragma once
// The table of logged-in sessions, keyed by session id and guarded by the process-wide
// session-table lock. Requests copy their session out of the table and work on the copy, so a
// rights refresh reaches the next request of a session, not the running one.
#include <SQLiteCpp/Database.h>

#include <cstdint>
#include <string>

#include "web/session.h"

namespace hbr {

// A session without a request for longer than this has ended: its next request finds nothing
// and a sweep removes it (CurrentLoginLimits().idleMs, 60 s by default).
int64_t SessionIdleLimitMs();

// Milliseconds since system start (the monotonic clock).
int64_t SessionClockMs();
// Replaces the clock, for tests of the idle sweep; nullptr restores the monotonic clock.
void SetSessionClock(int64_t (*clock)());

// Looks the id up; when found and not idle past the limit, renews its last activity and copies
// it into `session`. A session idle past the limit is removed.
bool FindSession(const std::string& id, Session& session);
// Stores a copy of `session` under a new id, after sweeping idle sessions; returns the id.
std::string CreateSession(const Session& session);
void RemoveSession(const std::string& id);
// Removes every session idle past the limit. The caller holds the session-table lock.
void SweepSessions(int64_t now);
// Re-reads the rights of the sessions of user `userId`, or of every session but those of the
// built-in administrator when it is 0, after users, roles or passwords changed.
void RefreshSessions(SQLite::Database& db, int32_t userId);

// Ends every session of user `userId` except the one under `keepId` (empty: all of them), after
// that user's password changed.
void EndUserSessions(int32_t userId, const std::string& keepId);

// Number of sessions in the table, and emptying it (tests).
size_t SessionCount();
void ClearSessions();

}  // namespace hbr
