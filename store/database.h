#pragma once
// The instance's one SQLite connection and the bootstrap that gives a new file its schema and
// first rows. Every store operation takes the connection by reference, so tests can hand in a
// connection of their own.
#include <SQLiteCpp/Database.h>

#include <memory>
#include <string>

namespace hbr {

// The process-wide connection. Throws CHbrException while it has not been opened.
SQLite::Database& Db();
bool DbIsOpen();

// Opens the configured database (building the default path into Config().dbPath first when
// none is set), switching foreign keys on and bootstrapping a file that has no schema yet.
// A second call while open does nothing. Raises CHbrException "Failed to open db file:\n%s\n".
void OpenOrCreate();

// Closes the process-wide connection (stop sequence and tests).
void CloseDatabase();

// The work of OpenOrCreate on an explicit path, without touching the process-wide connection.
std::unique_ptr<SQLite::Database> OpenOrCreateAt(const std::string& path);

// $XDG_DATA_HOME (else $HOME/.local/share) + "/VmHarbor/<instance>/hbr.db". Creates the folders
// on the way and prints "Data directory: %s\n".
std::string DefaultDatabasePath(const std::string& instanceName);

// The schema and the seed server, executed as one text on a file without schema.
const std::string& BootstrapScript();

// "{"name":true,...}" over the whole claim table, the built-in role's claims.
std::string AdministratorClaimObject();

// The password a new database gives the built-in administrator.
inline constexpr const char* kDefaultPassword = "bravo";

}  // namespace hbr
