#include "hyperv/wmi/wql.h"

#include <cctype>
#include <charconv>

namespace hbr {

namespace {

struct Token {
    enum class Kind { End, Name, String, Integer, Symbol, Braced } kind = Kind::End;
    std::string text;
    std::int64_t integer = 0;
};

class Lexer {
  public:
    explicit Lexer(std::string_view text) : s_(text) {}

    // False on malformed input (unterminated text or path, stray characters).
    bool Next(Token& t) {
        t = Token{};
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        if (pos_ >= s_.size()) return true;
        char c = s_[pos_];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            std::size_t start = pos_;
            while (pos_ < s_.size() &&
                   (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
                ++pos_;
            t.kind = Token::Kind::Name;
            t.text.assign(s_.substr(start, pos_ - start));
            return true;
        }
        if (c == '\'' || c == '"') {
            ++pos_;
            t.kind = Token::Kind::String;
            while (pos_ < s_.size() && s_[pos_] != c) {
                if (s_[pos_] == '\\' && pos_ + 1 < s_.size()) ++pos_;
                t.text += s_[pos_++];
            }
            if (pos_ >= s_.size()) return false;
            ++pos_;
            return true;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '-' && pos_ + 1 < s_.size() &&
             std::isdigit(static_cast<unsigned char>(s_[pos_ + 1])))) {
            std::size_t start = pos_++;
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
            t.kind = Token::Kind::Integer;
            t.text.assign(s_.substr(start, pos_ - start));
            auto [p, ec] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), t.integer);
            return ec == std::errc() && p == t.text.data() + t.text.size();
        }
        if (c == '{') {
            // An object path: up to the closing brace outside quoted key values.
            ++pos_;
            bool quoted = false;
            std::size_t start = pos_;
            while (pos_ < s_.size()) {
                char d = s_[pos_];
                if (quoted && d == '\\' && pos_ + 1 < s_.size()) {
                    pos_ += 2;
                    continue;
                }
                if (d == '"') quoted = !quoted;
                if (!quoted && d == '}') break;
                ++pos_;
            }
            if (pos_ >= s_.size()) return false;
            t.kind = Token::Kind::Braced;
            t.text.assign(s_.substr(start, pos_ - start));
            ++pos_;
            return true;
        }
        static constexpr std::string_view kTwo[] = {"<>", "!=", "<=", ">="};
        for (auto two : kTwo) {
            if (s_.substr(pos_, 2) == two) {
                pos_ += 2;
                t.kind = Token::Kind::Symbol;
                t.text = two == "!=" ? "<>" : std::string(two);
                return true;
            }
        }
        if (c == '=' || c == '<' || c == '>' || c == '(' || c == ')' || c == ',' || c == '*') {
            ++pos_;
            t.kind = Token::Kind::Symbol;
            t.text = std::string(1, c);
            return true;
        }
        return false;
    }

  private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

class Parser {
  public:
    explicit Parser(std::string_view text) : lexer_(text) {}

    HResult Parse(WqlQuery& q) {
        if (!Advance()) return kWbemEInvalidQuery;
        if (IsWord("SELECT")) return ParseSelect(q);
        if (IsWord("ASSOCIATORS")) return ParseAssociators(q);
        return kWbemEInvalidQuery;
    }

  private:
    bool Advance() {
        ok_ = lexer_.Next(tok_) && ok_;
        return ok_;
    }
    bool IsWord(std::string_view w) const {
        return tok_.kind == Token::Kind::Name && IEquals(tok_.text, w);
    }
    bool IsSymbol(std::string_view s) const {
        return tok_.kind == Token::Kind::Symbol && tok_.text == s;
    }
    bool AtEnd() const { return tok_.kind == Token::Kind::End; }

    HResult ParseSelect(WqlQuery& q) {
        q.kind = WqlQuery::Kind::Select;
        if (!Advance()) return kWbemEInvalidQuery;
        if (IsSymbol("*")) {
            q.selectAll = true;
            if (!Advance()) return kWbemEInvalidQuery;
        } else {
            while (true) {
                if (tok_.kind != Token::Kind::Name || IsWord("FROM")) return kWbemEInvalidQuery;
                q.columns.push_back(tok_.text);
                if (!Advance()) return kWbemEInvalidQuery;
                if (!IsSymbol(",")) break;
                if (!Advance()) return kWbemEInvalidQuery;
            }
        }
        if (!IsWord("FROM") || !Advance()) return kWbemEInvalidQuery;
        if (tok_.kind != Token::Kind::Name) return kWbemEInvalidQuery;
        q.className = tok_.text;
        if (!Advance()) return kWbemEInvalidQuery;
        if (IsWord("WHERE")) {
            if (!Advance()) return kWbemEInvalidQuery;
            q.where = ParseOr(0);
            if (!q.where || !ok_) return kWbemEInvalidQuery;
        }
        return AtEnd() && ok_ ? kSOk : kWbemEInvalidQuery;
    }

    HResult ParseAssociators(WqlQuery& q) {
        q.kind = WqlQuery::Kind::Associators;
        if (!Advance() || !IsWord("OF") || !Advance()) return kWbemEInvalidQuery;
        if (tok_.kind != Token::Kind::Braced) return kWbemEInvalidQuery;
        q.objectPath = tok_.text;
        if (!Advance()) return kWbemEInvalidQuery;
        if (AtEnd()) return kSOk;
        if (!IsWord("WHERE") || !Advance()) return kWbemEInvalidQuery;
        bool any = false;
        while (!AtEnd()) {
            if (tok_.kind != Token::Kind::Name) return kWbemEInvalidQuery;
            if (IsWord("ClassDefsOnly")) {
                q.classDefsOnly = true;
            } else {
                std::string* slot = nullptr;
                if (IsWord("AssocClass"))
                    slot = &q.assocClass;
                else if (IsWord("ResultClass"))
                    slot = &q.resultClass;
                else if (IsWord("Role"))
                    slot = &q.role;
                else if (IsWord("ResultRole"))
                    slot = &q.resultRole;
                else
                    return kWbemEInvalidQuery;
                if (!Advance() || !IsSymbol("=") || !Advance()) return kWbemEInvalidQuery;
                if (tok_.kind != Token::Kind::Name && tok_.kind != Token::Kind::String)
                    return kWbemEInvalidQuery;
                if (!slot->empty()) return kWbemEInvalidQuery;  // named twice
                *slot = tok_.text;
                if (slot->empty()) return kWbemEInvalidQuery;
            }
            any = true;
            if (!Advance()) return kWbemEInvalidQuery;
        }
        return any ? kSOk : kWbemEInvalidQuery;
    }

    static constexpr int kMaxDepth = 64;

    std::unique_ptr<WqlCondition> ParseOr(int depth) {
        auto left = ParseAnd(depth);
        while (left && IsWord("OR")) {
            if (!Advance()) return nullptr;
            auto right = ParseAnd(depth);
            if (!right) return nullptr;
            auto node = std::make_unique<WqlCondition>();
            node->kind = WqlCondition::Kind::Or;
            node->left = std::move(left);
            node->right = std::move(right);
            left = std::move(node);
        }
        return left;
    }

    std::unique_ptr<WqlCondition> ParseAnd(int depth) {
        auto left = ParseUnary(depth);
        while (left && IsWord("AND")) {
            if (!Advance()) return nullptr;
            auto right = ParseUnary(depth);
            if (!right) return nullptr;
            auto node = std::make_unique<WqlCondition>();
            node->kind = WqlCondition::Kind::And;
            node->left = std::move(left);
            node->right = std::move(right);
            left = std::move(node);
        }
        return left;
    }

    std::unique_ptr<WqlCondition> ParseUnary(int depth) {
        if (depth > kMaxDepth) return nullptr;
        if (IsWord("NOT")) {
            if (!Advance()) return nullptr;
            auto inner = ParseUnary(depth + 1);
            if (!inner) return nullptr;
            auto node = std::make_unique<WqlCondition>();
            node->kind = WqlCondition::Kind::Not;
            node->left = std::move(inner);
            return node;
        }
        if (IsSymbol("(")) {
            if (!Advance()) return nullptr;
            auto inner = ParseOr(depth + 1);
            if (!inner || !IsSymbol(")") || !Advance()) return nullptr;
            return inner;
        }
        return ParseComparison();
    }

    bool ReadLiteral(WqlLiteral& lit) {
        if (tok_.kind == Token::Kind::String) {
            lit.kind = WqlLiteral::Kind::String;
            lit.text = tok_.text;
        } else if (tok_.kind == Token::Kind::Integer) {
            lit.kind = WqlLiteral::Kind::Integer;
            lit.integer = tok_.integer;
            lit.text = tok_.text;
        } else if (IsWord("TRUE") || IsWord("FALSE")) {
            lit.kind = WqlLiteral::Kind::Boolean;
            lit.boolean = IsWord("TRUE");
        } else if (IsWord("NULL")) {
            lit.kind = WqlLiteral::Kind::Null;
        } else {
            return false;
        }
        return Advance();
    }

    static bool IsReserved(const std::string& w) {
        for (auto r : {"AND", "OR", "NOT", "NULL", "TRUE", "FALSE", "IS", "LIKE", "WHERE"})
            if (IEquals(w, r)) return true;
        return false;
    }

    std::unique_ptr<WqlCondition> ParseComparison() {
        auto node = std::make_unique<WqlCondition>();
        bool reversed = false;
        if (tok_.kind == Token::Kind::Name && !IsReserved(tok_.text)) {
            node->property = tok_.text;
            if (!Advance()) return nullptr;
        } else {
            // literal op property
            if (!ReadLiteral(node->literal)) return nullptr;
            reversed = true;
        }
        if (!reversed && IsWord("IS")) {
            if (!Advance()) return nullptr;
            bool negate = false;
            if (IsWord("NOT")) {
                negate = true;
                if (!Advance()) return nullptr;
            }
            if (!IsWord("NULL") || !Advance()) return nullptr;
            node->kind = negate ? WqlCondition::Kind::IsNotNull : WqlCondition::Kind::IsNull;
            return node;
        }
        if (!reversed && IsWord("LIKE")) {
            if (!Advance() || tok_.kind != Token::Kind::String) return nullptr;
            node->op = "LIKE";
            if (!ReadLiteral(node->literal)) return nullptr;
            return node;
        }
        if (tok_.kind != Token::Kind::Symbol) return nullptr;
        std::string op = tok_.text;
        if (op != "=" && op != "<>" && op != "<" && op != ">" && op != "<=" && op != ">=")
            return nullptr;
        if (!Advance()) return nullptr;
        if (reversed) {
            if (tok_.kind != Token::Kind::Name || IsReserved(tok_.text)) return nullptr;
            node->property = tok_.text;
            if (!Advance()) return nullptr;
            // 5 < X is X > 5
            if (op == "<")
                op = ">";
            else if (op == ">")
                op = "<";
            else if (op == "<=")
                op = ">=";
            else if (op == ">=")
                op = "<=";
        } else {
            if (!ReadLiteral(node->literal)) return nullptr;
        }
        node->op = op;
        return node;
    }

    Lexer lexer_;
    Token tok_;
    bool ok_ = true;
};

bool ParseInt(std::string_view text, std::int64_t& out) {
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

template <typename T>
bool Compare(const T& a, const T& b, const std::string& op) {
    if (op == "=") return a == b;
    if (op == "<>") return !(a == b);
    if (op == "<") return a < b;
    if (op == ">") return b < a;
    if (op == "<=") return !(b < a);
    if (op == ">=") return !(a < b);
    return false;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// LIKE with % (any run), _ (one character) and [set]; letter case ignored.
bool LikeMatch(std::string_view text, std::string_view pattern) {
    std::size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '%') {
            starP = p++;
            starT = t;
            continue;
        }
        if (p < pattern.size()) {
            bool match = false;
            std::size_t next = p + 1;
            if (pattern[p] == '_') {
                match = true;
            } else if (pattern[p] == '[') {
                auto close = pattern.find(']', p + 1);
                if (close != std::string_view::npos) {
                    auto set = pattern.substr(p + 1, close - p - 1);
                    bool negate = !set.empty() && set[0] == '^';
                    if (negate) set.remove_prefix(1);
                    bool in = false;
                    for (std::size_t i = 0; i < set.size(); ++i) {
                        if (i + 2 < set.size() && set[i + 1] == '-') {
                            if (lower(text[t]) >= lower(set[i]) &&
                                lower(text[t]) <= lower(set[i + 2]))
                                in = true;
                            i += 2;
                        } else if (lower(set[i]) == lower(text[t])) {
                            in = true;
                        }
                    }
                    match = in != negate;
                    next = close + 1;
                } else {
                    match = text[t] == '[';
                }
            } else {
                match = lower(pattern[p]) == lower(text[t]);
            }
            if (match) {
                ++t;
                p = next;
                continue;
            }
        }
        if (starP == std::string_view::npos) return false;
        p = starP + 1;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == '%') ++p;
    return p == pattern.size();
}

bool IsUnsignedCim(CimType t) {
    return t == CIM_UINT8 || t == CIM_UINT16 || t == CIM_UINT32;
}

bool MatchCompare(const WqlCondition& c, const WmiObject& object) {
    WmiValue v;
    CimType type = CIM_STRING;
    if (Failed(object.Get(c.property, v, &type))) return false;
    const WqlLiteral& lit = c.literal;
    if (lit.kind == WqlLiteral::Kind::Null) {
        if (c.op == "=") return v.IsEmptyOrNull();
        if (c.op == "<>") return !v.IsEmptyOrNull();
        return false;
    }
    if (v.IsEmptyOrNull() || v.IsArray()) return false;
    if (c.op == "LIKE") {
        auto s = v.AsBstr();
        return s && LikeMatch(*s, lit.text);
    }
    if (v.Type() == VT_BOOL) {
        bool b = false;
        if (lit.kind == WqlLiteral::Kind::Boolean)
            b = lit.boolean;
        else if (lit.kind == WqlLiteral::Kind::Integer)
            b = lit.integer != 0;
        else if (IEquals(lit.text, "true") || lit.text == "1")
            b = true;
        else if (IEquals(lit.text, "false") || lit.text == "0")
            b = false;
        else
            return false;
        if (c.op != "=" && c.op != "<>") return false;
        return (v.AsBool() == b) == (c.op == "=");
    }
    if (auto s = v.AsBstr()) {
        if (lit.kind == WqlLiteral::Kind::Integer) {
            std::int64_t n = 0;
            return ParseInt(*s, n) && Compare(n, lit.integer, c.op);
        }
        if (lit.kind != WqlLiteral::Kind::String) return false;
        return Compare(Lower(*s), Lower(lit.text), c.op);
    }
    // Integers of 32 bits or fewer.
    std::int64_t n =
        IsUnsignedCim(type) || v.Type() == VT_UI4 || v.Type() == VT_UINT || v.Type() == VT_UI1
            ? static_cast<std::int64_t>(static_cast<std::uint32_t>(v.AsInt32()))
            : v.AsInt32();
    std::int64_t other = 0;
    if (lit.kind == WqlLiteral::Kind::Integer)
        other = lit.integer;
    else if (lit.kind == WqlLiteral::Kind::Boolean)
        other = lit.boolean ? 1 : 0;
    else if (!ParseInt(lit.text, other))
        return false;
    return Compare(n, other, c.op);
}

}  // namespace

HResult ParseWql(std::string_view text, WqlQuery& out) {
    out = WqlQuery{};
    if (text.size() > 64 * 1024) return kWbemEInvalidQuery;
    Parser parser(text);
    HResult hr = parser.Parse(out);
    if (Failed(hr)) out = WqlQuery{};
    return hr;
}

void WqlConditionProperties(const WqlCondition& c, std::vector<std::string>& names) {
    if (!c.property.empty()) names.push_back(c.property);
    if (c.left) WqlConditionProperties(*c.left, names);
    if (c.right) WqlConditionProperties(*c.right, names);
}

bool WqlMatches(const WqlCondition& c, const WmiObject& object) {
    switch (c.kind) {
        case WqlCondition::Kind::And:
            return WqlMatches(*c.left, object) && WqlMatches(*c.right, object);
        case WqlCondition::Kind::Or:
            return WqlMatches(*c.left, object) || WqlMatches(*c.right, object);
        case WqlCondition::Kind::Not:
            return !WqlMatches(*c.left, object);
        case WqlCondition::Kind::IsNull:
        case WqlCondition::Kind::IsNotNull: {
            WmiValue v;
            bool isNull = Failed(object.Get(c.property, v)) || v.IsEmptyOrNull();
            return isNull == (c.kind == WqlCondition::Kind::IsNull);
        }
        case WqlCondition::Kind::Compare:
            return MatchCompare(c, object);
    }
    return false;
}

const std::string* WqlRequiredEquality(const WqlCondition* c, std::string_view property) {
    if (!c) return nullptr;
    if (c->kind == WqlCondition::Kind::Compare && c->op == "=" &&
        c->literal.kind == WqlLiteral::Kind::String && IEquals(c->property, property))
        return &c->literal.text;
    if (c->kind == WqlCondition::Kind::And) {
        if (auto l = WqlRequiredEquality(c->left.get(), property)) return l;
        return WqlRequiredEquality(c->right.get(), property);
    }
    return nullptr;
}

}  // namespace hbr
