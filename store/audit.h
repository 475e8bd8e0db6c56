#pragma once
// The audit trail: one row per guarded action, and the audit view's filtered, sorted page.
#include <SQLiteCpp/Database.h>

#include <optional>
#include <string>
#include <string_view>

#include "web/session.h"

namespace hbr {

// Inserts one row with the session's user id, name and client address. Never fails towards
// the caller: a failed insert is ignored and the guarded action goes on.
void WriteAudit(SQLite::Database& db, const Session& session, int claim, int result,
                std::optional<std::string_view> resource = std::nullopt,
                std::optional<std::string_view> description = std::nullopt);

// Appends {data:[...],"total":N} for the request's "start", "limit", "sort" and "filter" texts.
// Only the seven page columns may be sorted or filtered on, the direction is ASC or DESC, limit
// and start are decimal numbers, and filter values are bound as parameters: anything else is
// refused with "error: ..." in `out` before a statement is made. Everybody but the built-in
// administrator (`administrator`) sees only rows of user ids above 1.
void QueryAudit(SQLite::Database& db, std::string& out, std::string_view start,
                std::string_view limit, std::string_view sort, std::string_view filter,
                bool administrator);

}  // namespace hbr
