#pragma once
// WQL as the hypervisor layer sends it. Understood:
//   SELECT * | prop [, prop]* FROM Class [WHERE condition]
//     condition: comparisons joined by AND / OR, NOT, parentheses;
//     comparison: prop (= | <> | != | < | > | <= | >=) literal, prop LIKE 'pattern',
//                 prop IS [NOT] NULL, literal op prop;
//     literal: 'text' or "text" (backslash escapes \\ \" \'), integers, TRUE, FALSE, NULL.
//   ASSOCIATORS OF {object path} [WHERE (AssocClass | ResultClass | Role | ResultRole) = name
//     ... | ClassDefsOnly]
// Keywords, class and property names ignore letter case; white space is free between tokens.
// Anything else is kWbemEInvalidQuery.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

struct WqlLiteral {
    enum class Kind { String, Integer, Boolean, Null } kind = Kind::Null;
    std::string text;
    std::int64_t integer = 0;
    bool boolean = false;
};

struct WqlCondition {
    enum class Kind { Compare, And, Or, Not, IsNull, IsNotNull } kind = Kind::Compare;
    std::string property;
    std::string op;  // "=", "<>", "<", ">", "<=", ">=", "LIKE"
    WqlLiteral literal;
    std::unique_ptr<WqlCondition> left;
    std::unique_ptr<WqlCondition> right;
};

struct WqlQuery {
    enum class Kind { Select, Associators } kind = Kind::Select;
    // SELECT
    bool selectAll = false;
    std::vector<std::string> columns;
    std::string className;
    std::unique_ptr<WqlCondition> where;
    // ASSOCIATORS OF
    std::string objectPath;
    std::string assocClass;
    std::string resultClass;
    std::string role;
    std::string resultRole;
    bool classDefsOnly = false;
};

HResult ParseWql(std::string_view text, WqlQuery& out);

// Every property a condition names (to check them against the class).
void WqlConditionProperties(const WqlCondition& condition, std::vector<std::string>& names);

// Whether an object satisfies a condition. Text compares ignore letter case; numbers compare
// as numbers (also 64-bit values delivered as text); booleans accept TRUE/FALSE, 'true'/'false'
// and 1/0. A null or missing property satisfies only IS NULL.
bool WqlMatches(const WqlCondition& condition, const WmiObject& object);

// When a condition requires `property` = some text (at top level or inside ANDs), that text.
const std::string* WqlRequiredEquality(const WqlCondition* condition, std::string_view property);

}  // namespace hbr
