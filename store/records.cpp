#include "store/records.h"

#include <SQLiteCpp/Exception.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "store/password.h"

namespace hbr {
namespace {

struct TableColumns {
    std::string_view table;
    std::initializer_list<std::string_view> columns;
};

// The columns a posted record may write, per table of the schema.
const std::array<TableColumns, 5>& WritableColumns() {
    static const std::array<TableColumns, 5> tables = {{
        {"servers", {"name", "host", "user", "password", "b_disabled", "comment"}},
        {"users",
         {"roleId", "name", "pwd", "first_name", "last_name", "comment", "lastLogon", "b_disabled",
          "j_vms", "j_data"}},
        {"roles", {"name", "j_claims", "j_vms", "j_servers", "b_disabled", "comment"}},
        {"settings", {"name", "value", "b_bvalue", "j_jvalue"}},
        {"audit",
         {"date", "userId", "username", "claim", "resource", "userip", "result", "description"}},
    }};
    return tables;
}

const TableColumns* FindTable(std::string_view table) {
    for (const TableColumns& t : WritableColumns())
        if (t.table == table) return &t;
    return nullptr;
}

bool HasColumn(const TableColumns& t, std::string_view column) {
    return std::find(t.columns.begin(), t.columns.end(), column) != t.columns.end();
}

// The column a non-null member writes.
std::string ColumnOf(std::string_view member, const JsonValue& value) {
    if (value.IsBoolean()) return "b_" + std::string(member);
    if (value.IsObject() || value.IsArray()) return "j_" + std::string(member);
    return std::string(member);
}

// A member name as it may be shown in a reply: printable identifier characters only.
std::string Printable(std::string_view name) {
    std::string s;
    for (char c : name.substr(0, 64)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        s += plain ? c : '?';
    }
    return s;
}

// Refuses anything that is not an object of writable members of a known table. In an UPDATE a
// null member is written under its plain name; in an INSERT it is left out, so any of its
// forms is accepted.
bool CheckMembers(std::string_view table, const JsonValue& record, bool update, std::string& out) {
    const TableColumns* t = FindTable(table);
    if (!t) {
        out = "error: unknown table";
        return false;
    }
    if (!record.IsObject()) {
        out = "error: the record is not a JSON object";
        return false;
    }
    std::vector<std::string> written;
    for (const JsonMember* m = record.MembersBegin(); m != record.MembersEnd(); ++m) {
        if (m->key == "id") continue;
        // A prefixed column is reached only through its plain member name with a value of its
        // kind: "j_claims" posted as a string would skip the claim rules, which read "claims".
        if (!m->value->IsNull() && (m->key.starts_with("b_") || m->key.starts_with("j_"))) {
            out = "error: no such column for member: " + Printable(m->key);
            return false;
        }
        // Two members on one column: the rules read the first, the statement might keep the
        // last.
        const std::string column =
            m->value->IsNull() ? std::string(m->key) : ColumnOf(m->key, *m->value);
        const std::string plain =
            column.starts_with("b_") || column.starts_with("j_") ? column.substr(2) : column;
        if (std::find(written.begin(), written.end(), plain) != written.end()) {
            out = "error: member given twice: " + Printable(m->key);
            return false;
        }
        written.push_back(plain);
        bool ok;
        if (m->value->IsNull() && !update) {
            const std::string key(m->key);
            ok = HasColumn(*t, key) || HasColumn(*t, "b_" + key) || HasColumn(*t, "j_" + key);
        } else {
            ok = HasColumn(*t, ColumnOf(m->key, *m->value));
        }
        if (!ok) {
            out = "error: no such column for member: " + Printable(m->key);
            return false;
        }
    }
    return true;
}

// A host's password is stored sealed (store/server_secrets.h), never as posted.
bool SealsValue(std::string_view table, std::string_view member, const JsonValue& value) {
    return table == "servers" && member == "password" && value.IsString();
}

// The column list with the password opened: the rows' readers want the password itself.
std::string OpenedColumns(std::string_view columns) {
    if (columns.empty()) return "*";
    std::string out;
    while (true) {
        const auto comma = columns.find(',');
        const std::string_view column = columns.substr(0, comma);
        out += column == "password" ? "hbr_unseal(password) AS password" : std::string(column);
        if (comma == std::string_view::npos) break;
        out += ',';
        columns.remove_prefix(comma + 1);
    }
    return out;
}

void StripCommas(std::string& s) {
    const auto first = s.find_first_not_of(',');
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(0, first);
    while (!s.empty() && s.back() == ',') s.pop_back();
}

void ReplaceWithError(std::string& out, const std::exception& e) {
    out = "error: ";
    out += e.what();
}

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    out += JsonEscape(text);
    out += '"';
}

void AppendValueText(std::string& out, const JsonValue& value) {
    switch (value.Kind()) {
        case JsonKind::String:
            AppendQuoted(out, value.StringView());
            break;
        case JsonKind::Number:
            out += std::to_string(value.AsInt());
            break;
        case JsonKind::Boolean:
            out += value.IsTrue() ? "true" : "false";
            break;
        case JsonKind::Object:
            out += ObjectToJsonText(value);
            break;
        case JsonKind::Array:
            out += ArrayToJsonText(value);
            break;
        case JsonKind::Null:
            out += "null";
            break;
    }
}

// A j_ column holds only text that reads back: anything else is refused before it is stored.
const std::string& StorableJson(const std::string& text) {
    JsonDocument doc;
    if (!ParseJson(text, doc) || text.find('\0') != std::string::npos)
        throw SQLite::Exception("the record would store text that is not valid JSON");
    return text;
}

}  // namespace

std::string ObjectToJsonText(const JsonValue& object) {
    std::string text = "{";
    for (const JsonMember* m = object.MembersBegin(); m != object.MembersEnd(); ++m) {
        // Member names are escaped too: a posted name holding a quote must not be able to add
        // members (claims, VM ids) to the stored text.
        AppendQuoted(text, m->key);
        text += m->value->IsNull() ? ": " : ":";
        AppendValueText(text, *m->value);
        text += ",";
    }
    while (text.size() > 1 && text.back() == ',') text.pop_back();
    text += "}";
    return text;
}

std::string ArrayToJsonText(const JsonValue& array) {
    std::string text = "[";
    for (auto e = array.ElementsBegin(); e != array.ElementsEnd(); ++e) {
        AppendValueText(text, **e);
        text += ",";
    }
    while (text.size() > 1 && text.back() == ',') text.pop_back();
    text += "]";
    return text;
}

void BindRecordValues(SQLite::Statement& statement, const JsonValue& record) {
    int index = 1;
    for (const JsonMember* m = record.MembersBegin(); m != record.MembersEnd(); ++m) {
        const JsonValue& value = *m->value;
        if (m->key == "id" || value.IsNull()) continue;
        switch (value.Kind()) {
            case JsonKind::String:
                if (m->key == "pwd")
                    statement.bind(index, SaltedPasswordDigest(value.StringView()));
                else
                    statement.bind(index, std::string(value.StringView()));
                break;
            case JsonKind::Number:
                statement.bind(index, value.AsInt());
                break;
            case JsonKind::Boolean:
                statement.bind(index, value.IsTrue() ? 1 : 0);
                break;
            case JsonKind::Object: {
                const std::string text = StorableJson(ObjectToJsonText(value));
                if (text == "{}")
                    statement.bind(index);
                else
                    statement.bind(index, text);
                break;
            }
            case JsonKind::Array: {
                const std::string text = StorableJson(ArrayToJsonText(value));
                if (text == "[]")
                    statement.bind(index);
                else
                    statement.bind(index, text);
                break;
            }
            case JsonKind::Null:
                break;
        }
        ++index;
    }
    statement.exec();
}

bool InsertRecord(SQLite::Database& db, std::string_view table, const JsonValue& record,
                  std::string& out, int64_t& newId) {
    if (!CheckMembers(table, record, false, out)) return false;
    std::string columns;
    std::string values;
    for (const JsonMember* m = record.MembersBegin(); m != record.MembersEnd(); ++m) {
        if (m->key == "id" || m->value->IsNull()) continue;
        columns += ColumnOf(m->key, *m->value) + ",";
        values += SealsValue(table, m->key, *m->value) ? "hbr_seal(?)," : "?,";
    }
    StripCommas(columns);
    StripCommas(values);
    const std::string query =
        "INSERT INTO " + std::string(table) + " (" + columns + ") VALUES(" + values + ");";
    try {
        SQLite::Statement statement(db, query);
        BindRecordValues(statement, record);
        newId = db.getLastInsertRowid();
        return true;
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
        return false;
    }
}

bool UpdateRecord(SQLite::Database& db, std::string_view table, const JsonValue& record,
                  std::string& out) {
    if (!CheckMembers(table, record, true, out)) return false;
    const int32_t id = record["id"].AsInt();
    std::string assignments;
    for (const JsonMember* m = record.MembersBegin(); m != record.MembersEnd(); ++m) {
        if (m->key == "id") continue;
        if (m->value->IsNull())
            assignments += std::string(m->key) + "=NULL,";
        else
            assignments += ColumnOf(m->key, *m->value) +
                           (SealsValue(table, m->key, *m->value) ? "=hbr_seal(?)," : "=?,");
    }
    StripCommas(assignments);
    const std::string query = "UPDATE " + std::string(table) + " SET " + assignments +
                              " WHERE id=" + std::to_string(id) + ";";
    try {
        SQLite::Statement statement(db, query);
        BindRecordValues(statement, record);
        return true;
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
        return false;
    }
}

void DeleteRecord(SQLite::Database& db, std::string_view table, int32_t id, std::string& out) {
    if (!FindTable(table)) {
        out = "error: unknown table";
        return;
    }
    try {
        db.exec("DELETE from " + std::string(table) + " where id = " + std::to_string(id));
        out.clear();
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
    }
}

bool SelectServers(SQLite::Database& db, std::string_view columns, int32_t id, std::string& out) {
    std::string query = "SELECT " + OpenedColumns(columns) + " FROM servers";
    if (id != 0) query += " WHERE id=" + std::to_string(id);
    // Callers rely on id order; without this a covering name index would give name order.
    query += " ORDER BY id";
    try {
        SQLite::Statement statement(db, query);
        RowsToJson(statement, out, false);
        return true;
    } catch (const std::exception& e) {
        ReplaceWithError(out, e);
        return false;
    }
}

}  // namespace hbr
