#pragma once
// The audit trail: one row per guarded action, and the audit view's filtered, sorted page.
#include <SQLiteCpp/Database.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "web/session.h"

namespace hbr {

// The reply to an action refused because its audit row could not be written.
inline constexpr std::string_view kAuditUnwritableText = "error: the audit trail cannot be written";

// Raised by WriteAudit: the guarded action must not happen.
class AuditTrailUnwritable : public std::runtime_error {
  public:
    AuditTrailUnwritable() : std::runtime_error(std::string(kAuditUnwritableText)) {}
};

// Inserts one row with the session's user id, name and client address. The trail fails
// closed: when the row cannot be written this raises AuditTrailUnwritable, and the action it
// guards (a login, a checked action) is refused instead of happening unrecorded.
void WriteAudit(SQLite::Database& db, const Session& session, int claim, int result,
                std::optional<std::string_view> resource = std::nullopt,
                std::optional<std::string_view> description = std::nullopt);
// The same row where nothing is to be refused (a failed login, a logout): false when it could
// not be written.
bool TryWriteAudit(SQLite::Database& db, const Session& session, int claim, int result,
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
