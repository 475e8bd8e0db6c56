#pragma once
// Rows of servers, users and roles written from posted JSON objects. A member's kind picks its
// column: strings and numbers map to the plain name, booleans to b_<name>, objects and arrays
// to j_<name>. Member names are placed into statement texts, so every one is checked against
// the table's columns first; `id` names the row and is never written.
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "store/json.h"

namespace hbr {

// Inserts the object as a new row of `table`. True with the new row id, or false with
// "error: <message>" in `out`.
bool InsertRecord(SQLite::Database& db, std::string_view table, const JsonValue& record,
                  std::string& out, int64_t& newId);
// Updates the row named by the object's `id` (0 when absent). An id without a row changes
// nothing and is not an error.
bool UpdateRecord(SQLite::Database& db, std::string_view table, const JsonValue& record,
                  std::string& out);
// Deletes row `id`: `out` is emptied on success, "error: <message>" on failure.
void DeleteRecord(SQLite::Database& db, std::string_view table, int32_t id, std::string& out);

// Binds the object's members (not `id`, not nulls) to parameters 1, 2, ... in member order and
// executes the statement, which must return no row. Raises database failures.
void BindRecordValues(SQLite::Statement& statement, const JsonValue& record);

// Stored JSON texts of posted values. Numbers become 32-bit integers.
std::string ObjectToJsonText(const JsonValue& object);
std::string ArrayToJsonText(const JsonValue& array);

// The servers rows (all, or row `id` when it is not 0) in id order as a JSON array in `out`.
// `columns` is chosen by the caller's code, never by a request; empty means "*".
bool SelectServers(SQLite::Database& db, std::string_view columns, int32_t id, std::string& out);

}  // namespace hbr
