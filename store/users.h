#pragma once
// Users and roles: the lookups that fill a session's rights at login and refresh, the JSON views
// of the users and roles tables, and the password operations. Reply-producing operations append
// to `out`, or replace it with "error: <message>" on a database failure.
#include <SQLiteCpp/Database.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "web/session.h"

namespace hbr {

// Fills the session from the enabled user (by the session's user id when it is not 0, else by
// name, ignoring letter case). Form logins (the instance is not in NTLM mode) never find names
// holding a backslash. The password is not compared. False on no row or a failure; the session
// then holds no claims.
bool FindLoginUser(SQLite::Database& db, std::string_view name, Session& session);

// Integrated authentication: the registered user of that account, or else the enabled roles
// named like the session's Windows groups. True when either applies.
bool ResolveWindowsUser(SQLite::Database& db, std::string_view account, Session& session);

// {"id":..,"name":..,"ntlm":..,claims:{...all 41 claims...}} of the session itself.
void CurrentUserJson(const Session& session, std::string& out);
// One user with its role's claims and the authentication flag; nothing for an unknown id.
void UserJson(SQLite::Database& db, int32_t id, std::string& out);
// Every user but the built-in one, with its role's name.
void ListUsers(SQLite::Database& db, std::string& out);
// Every role but the built-in one, with the number of users holding it.
void ListRoles(SQLite::Database& db, std::string& out);
// One role; nothing for an unknown id.
void RoleJson(SQLite::Database& db, int32_t id, std::string& out);
// The managed servers, never with their stored passwords.
void ListServers(SQLite::Database& db, std::string& out);

// Stores the digest of `password` for the session's user. The caller checks the old password.
void SetPassword(SQLite::Database& db, const Session& session, std::string_view password,
                 std::string& out);
// Gives user 1 the default password again. Raises database failures.
void ResetAdministratorPassword(SQLite::Database& db);
// Records the current local time as the user's last logon; failures are ignored.
void TouchLastLogon(SQLite::Database& db, const Session& session);
// True while user 1 still has the default password.
bool IsDefaultPasswordInUse(SQLite::Database& db);
// After a successful login with `password`: a fixed-key (or outdated) digest of the session's
// user is replaced by a salted one, in the row and in `session`. Failures leave the old digest.
void UpgradePasswordDigest(SQLite::Database& db, Session& session, std::string_view password);

}  // namespace hbr
