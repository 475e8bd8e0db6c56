#include "store/audit.h"

#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

#include "store/claims.h"
#include "store/json.h"

namespace hbr {
namespace {

constexpr std::array<std::string_view, 7> kPageColumns = {
    "date", "username", "claim", "resource", "userip", "result", "description"};

bool IsPageColumn(std::string_view name) {
    return std::find(kPageColumns.begin(), kPageColumns.end(), name) != kPageColumns.end();
}

// Decimal digits only; long enough for any real page, short enough not to overflow SQLite.
bool IsDecimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string MapOperator(const std::string& op) {
    if (op == "eq") return "=";
    if (op == "lt") return "<=";
    if (op == "gt") return ">=";
    return op;
}

bool IsComparison(std::string_view op) {
    return op == "=" || op == "<" || op == ">" || op == "<=" || op == ">=" || op == "<>" ||
           op == "!=";
}

struct Conditions {
    std::string text;
    std::vector<std::string> values;  // bound to ?1, ?2, ... in order
};

// Builds the WHERE part from the filter; false with the reason in `error`.
bool BuildConditions(std::string_view filter, bool administrator, Conditions& c,
                     std::string& error) {
    if (!administrator) c.text = " WHERE userId > 1";
    JsonDocument doc;
    if (!ParseJson(filter, doc) || !doc.Root().IsArray()) return true;
    bool first = true;
    for (auto e = doc.Root().ElementsBegin(); e != doc.Root().ElementsEnd(); ++e) {
        const JsonValue& element = **e;
        const std::string property = element["property"].AsText();
        const std::string value = element["value"].AsText();
        const std::string op = MapOperator(element["operator"].AsText());
        if (!IsPageColumn(property)) {
            error = "error: unknown filter property";
            return false;
        }
        c.text += first && administrator ? " WHERE" : " AND";
        first = false;
        if (property != "date") {
            c.text += " " + property + " like ?";
            c.values.push_back(value + "%");
        } else if (op == "=") {
            c.text += " date BETWEEN datetime(?) AND datetime(?)";
            c.values.push_back(value);
            c.values.push_back(value + " 23:59:59");
        } else if (IsComparison(op)) {
            c.text += " date " + op + " date(?)";
            c.values.push_back(value);
        } else {
            error = "error: invalid filter operator";
            return false;
        }
    }
    return true;
}

// Only the first sort element is used: SQLite rejects a second ORDER BY clause anyway.
bool BuildOrder(std::string_view sort, std::string& order, std::string& error) {
    JsonDocument doc;
    if (!ParseJson(sort, doc) || !doc.Root().IsArray() || doc.Root().Size() == 0) return true;
    const JsonValue& element = doc.Root().At(0);
    const std::string property = element["property"].AsText();
    const std::string direction = element["direction"].AsText();
    if (!IsPageColumn(property)) {
        error = "error: unknown sort property";
        return false;
    }
    std::string dir;
    if (EqualsIgnoreCase(direction, "ASC"))
        dir = "ASC";
    else if (EqualsIgnoreCase(direction, "DESC"))
        dir = "DESC";
    else if (!direction.empty()) {
        error = "error: invalid sort direction";
        return false;
    }
    order = " ORDER BY " + property + " COLLATE NOCASE " + dir;
    return true;
}

std::string Text(const SQLite::Column& column) {
    return column.isNull() ? std::string() : column.getString();
}

void BindAll(SQLite::Statement& statement, const Conditions& c) {
    int index = 1;
    for (const std::string& value : c.values) statement.bind(index++, value);
}

}  // namespace

void WriteAudit(SQLite::Database& db, const Session& session, int claim, int result,
                std::optional<std::string_view> resource,
                std::optional<std::string_view> description) {
    if (!TryWriteAudit(db, session, claim, result, resource, description))
        throw AuditTrailUnwritable();
}

bool TryWriteAudit(SQLite::Database& db, const Session& session, int claim, int result,
                   std::optional<std::string_view> resource,
                   std::optional<std::string_view> description) {
    try {
        SQLite::Statement statement(
            db,
            "INSERT INTO audit (userId,username,claim,resource,userip,result,description) "
            "VALUES(?,?,?,?,?,?,?);");
        statement.bind(1, session.userId);
        statement.bind(2, session.userName);
        statement.bind(3, claim);
        if (resource)
            statement.bind(4, std::string(*resource));
        else
            statement.bind(4);
        statement.bind(5, session.clientAddress);
        statement.bind(6, result);
        if (description)
            statement.bind(7, std::string(*description));
        else
            statement.bind(7);
        return statement.exec() == 1;
    } catch (const std::exception&) {
        return false;
    }
}

void QueryAudit(SQLite::Database& db, std::string& out, std::string_view start,
                std::string_view limit, std::string_view sort, std::string_view filter,
                bool administrator) {
    std::string error;
    Conditions conditions;
    std::string order;
    if (!BuildConditions(filter, administrator, conditions, error) ||
        !BuildOrder(sort, order, error)) {
        out = error;
        return;
    }
    if (!IsDecimal(limit)) {
        out = "error: invalid limit";
        return;
    }
    if (!IsDecimal(start)) {
        out = "error: invalid start";
        return;
    }

    std::string query = "SELECT date,username,claim,resource,userip,result,description FROM audit";
    query += conditions.text;
    query += order;
    query += " LIMIT " + std::string(limit) + " OFFSET " + std::string(start);

    try {
        SQLite::Statement statement(db, query);
        BindAll(statement, conditions);
        out += "{data:[";
        while (statement.executeStep()) {
            std::string row;
            AppendJsonString(row, "date", Text(statement.getColumn(0)));
            AppendJsonString(row, "username", Text(statement.getColumn(1)));
            const int claim = statement.getColumn(2).getInt();
            AppendJsonInt(row, "claim", claim);
            AppendJsonString(row, "sclaim", ClaimDisplayText(claim));
            AppendJsonString(row, "resource", Text(statement.getColumn(3)));
            AppendJsonString(row, "userip", Text(statement.getColumn(4)));
            AppendJsonInt(row, "result", statement.getColumn(5).getInt());
            AppendJsonString(row, "description", Text(statement.getColumn(6)));
            StripTrailingCommas(row);
            out += "{" + row + "},";
        }
        StripTrailingCommas(out);
        out += "],";

        SQLite::Statement count(db, "SELECT count(*) FROM audit" + conditions.text);
        BindAll(count, conditions);
        count.executeStep();
        out += "\"total\":" + std::to_string(count.getColumn(0).getInt64()) + "}";
    } catch (const std::exception& e) {
        out = "error: ";
        out += e.what();
    }
}

}  // namespace hbr
