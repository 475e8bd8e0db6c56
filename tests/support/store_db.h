#pragma once
// A freshly bootstrapped database file in a temporary folder, for the store's tests.
#include <SQLiteCpp/SQLiteCpp.h>

#include <memory>
#include <string>

#include "store/database.h"
#include "store/json.h"
#include "support/temp_dir.h"

namespace hbr::test {

struct TestDb {
    TempDir dir;
    std::string path = dir.Path() + "/hbr.db";
    std::unique_ptr<SQLite::Database> db = OpenOrCreateAt(path);

    int64_t Count(const std::string& sql) { return db->execAndGet(sql).getInt64(); }
    std::string Text(const std::string& sql) {
        SQLite::Statement s(*db, sql);
        if (!s.executeStep() || s.isColumnNull(0)) return "<null>";
        return s.getColumn(0).getString();
    }
};

// A JSON text parsed into a document that lives as long as this object.
struct Parsed {
    JsonDocument doc;
    explicit Parsed(std::string_view text) { ParseJson(text, doc); }
    const JsonValue& operator*() const { return doc.Root(); }
};

}  // namespace hbr::test
