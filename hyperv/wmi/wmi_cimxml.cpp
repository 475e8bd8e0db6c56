#include "hyperv/wmi/wmi_cimxml.h"

#include "hyperv/wmi/xml_text.h"
#include "platform/utf8.h"

#include <cctype>
#include <charconv>
#include <memory>

namespace hbr {

namespace {

// CIM-XML being written, and whether every text so far went in unaltered.
struct CimXmlWriter {
    std::string out;
    bool exact = true;

    void Text(std::string_view text) { exact = AppendXmlText(out, text) && exact; }
};

void RenderObject(CimXmlWriter& w, const WmiObject& object);

std::string ScalarText(const WmiValue& v, CimType base, bool& exact) {
    if (auto s = v.AsBstr()) return *s;
    if (v.Type() == VT_BOOL) return v.AsBool() ? "TRUE" : "FALSE";
    if (v.Type() == VT_UNKNOWN) {
        auto o = v.AsObject();
        if (!o) return {};
        CimXmlWriter inner;
        RenderObject(inner, *o);
        exact = inner.exact && exact;
        return std::move(inner.out);
    }
    std::int32_t i = v.AsInt32();
    if (base == CIM_UINT32 || base == CIM_UINT16 || base == CIM_UINT8 || v.Type() == VT_UI4 ||
        v.Type() == VT_UINT || v.Type() == VT_UI1)
        return std::to_string(static_cast<std::uint32_t>(i));
    return std::to_string(i);
}

void RenderProperty(CimXmlWriter& w, std::string_view name, CimType type, const WmiValue& v,
                    std::string_view origin = {}) {
    std::string& out = w.out;
    const bool isArray = (type & CIM_FLAG_ARRAY) != 0;
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    const bool embedded = base == CIM_OBJECT;
    std::string_view typeName = embedded || base == CIM_REFERENCE ? "string" : CimTypeName(base);
    out += isArray ? "<PROPERTY.ARRAY NAME=\"" : "<PROPERTY NAME=\"";
    w.Text(name);
    out += '"';
    if (!origin.empty()) {
        out += " CLASSORIGIN=\"";
        w.Text(origin);
        out += '"';
    }
    out += " TYPE=\"";
    out += typeName;
    out += '"';
    if (embedded) out += " EmbeddedObject=\"object\"";
    out += '>';
    if (!v.IsEmptyOrNull()) {
        if (isArray) {
            out += "<VALUE.ARRAY>";
            long lower = 0, upper = -1;
            v.GetArrayBounds(lower, upper);
            for (long i = lower; i <= upper; ++i) {
                WmiValue element;
                if (Failed(v.GetElement(i, element))) continue;
                out += "<VALUE>";
                w.Text(ScalarText(element, base, w.exact));
                out += "</VALUE>";
            }
            out += "</VALUE.ARRAY>";
        } else {
            out += "<VALUE>";
            w.Text(ScalarText(v, base, w.exact));
            out += "</VALUE>";
        }
    }
    out += isArray ? "</PROPERTY.ARRAY>" : "</PROPERTY>";
}

// ---- a small XML reader, enough for CIM-XML ----------------------------------------------

struct XmlNode {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::unique_ptr<XmlNode>> children;
    std::string text;

    const std::string* Attribute(std::string_view attr) const {
        for (const auto& [k, v] : attributes)
            if (IEquals(k, attr)) return &v;
        return nullptr;
    }
};

class XmlReader {
  public:
    explicit XmlReader(std::string_view text) : s_(text) {}

    bool ReadDocument(std::unique_ptr<XmlNode>& root) {
        SkipMisc();
        if (!ReadElement(root, 0)) return false;
        SkipMisc();
        return pos_ == s_.size();
    }

  private:
    static constexpr int kMaxDepth = 16;

    bool AtEnd() const { return pos_ >= s_.size(); }
    bool StartsWith(std::string_view p) const { return s_.substr(pos_, p.size()) == p; }
    void SkipSpace() {
        while (!AtEnd() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }

    // White space, the XML declaration and comments; a document type declaration is refused.
    void SkipMisc() {
        while (true) {
            SkipSpace();
            if (StartsWith("<?")) {
                auto end = s_.find("?>", pos_);
                pos_ = end == std::string_view::npos ? s_.size() : end + 2;
            } else if (StartsWith("<!--")) {
                auto end = s_.find("-->", pos_ + 4);
                pos_ = end == std::string_view::npos ? s_.size() : end + 3;
            } else {
                return;
            }
        }
    }

    bool ReadName(std::string& name) {
        std::size_t start = pos_;
        while (!AtEnd()) {
            char c = s_[pos_];
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-' ||
                c == ':')
                ++pos_;
            else
                break;
        }
        if (pos_ == start) return false;
        name.assign(s_.substr(start, pos_ - start));
        return true;
    }

    // Decodes text up to `stop`, resolving the five predefined entities and character
    // references; anything else is malformed.
    bool ReadText(char stop, std::string& out) {
        while (!AtEnd() && s_[pos_] != stop) {
            char c = s_[pos_];
            if (c == '<' && stop != '<') return false;
            if (c != '&') {
                out += c;
                ++pos_;
                continue;
            }
            auto semi = s_.find(';', pos_);
            if (semi == std::string_view::npos || semi - pos_ > 12) return false;
            std::string_view entity = s_.substr(pos_ + 1, semi - pos_ - 1);
            pos_ = semi + 1;
            if (entity == "amp")
                out += '&';
            else if (entity == "lt")
                out += '<';
            else if (entity == "gt")
                out += '>';
            else if (entity == "quot")
                out += '"';
            else if (entity == "apos")
                out += '\'';
            else if (entity.size() > 1 && entity[0] == '#') {
                std::uint32_t cp = 0;
                const char* b = entity.data() + 1;
                const char* e = entity.data() + entity.size();
                int base = 10;
                if (*b == 'x' || *b == 'X') {
                    ++b;
                    base = 16;
                }
                auto [p, ec] = std::from_chars(b, e, cp, base);
                if (ec != std::errc() || p != e || b == e) return false;
                // XML has no character zero.
                if (cp == 0 || !AppendUtf8(out, cp)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    bool ReadElement(std::unique_ptr<XmlNode>& node, int depth) {
        if (depth > kMaxDepth || AtEnd() || s_[pos_] != '<') return false;
        ++pos_;
        node = std::make_unique<XmlNode>();
        if (!ReadName(node->name)) return false;
        while (true) {
            SkipSpace();
            if (AtEnd()) return false;
            if (s_[pos_] == '/') {
                if (!StartsWith("/>")) return false;
                pos_ += 2;
                return true;
            }
            if (s_[pos_] == '>') {
                ++pos_;
                break;
            }
            std::string attr;
            if (!ReadName(attr)) return false;
            SkipSpace();
            if (AtEnd() || s_[pos_] != '=') return false;
            ++pos_;
            SkipSpace();
            if (AtEnd() || (s_[pos_] != '"' && s_[pos_] != '\'')) return false;
            char quote = s_[pos_++];
            std::string value;
            if (!ReadText(quote, value) || AtEnd()) return false;
            ++pos_;
            node->attributes.emplace_back(std::move(attr), std::move(value));
        }
        // Content: text and child elements until the matching end tag.
        while (true) {
            if (AtEnd()) return false;
            if (StartsWith("</")) {
                pos_ += 2;
                std::string endName;
                if (!ReadName(endName) || endName != node->name) return false;
                SkipSpace();
                if (AtEnd() || s_[pos_] != '>') return false;
                ++pos_;
                return true;
            }
            if (StartsWith("<!--")) {
                auto end = s_.find("-->", pos_ + 4);
                if (end == std::string_view::npos) return false;
                pos_ = end + 3;
                continue;
            }
            if (StartsWith("<!") || StartsWith("<?")) return false;
            if (s_[pos_] == '<') {
                std::unique_ptr<XmlNode> child;
                if (!ReadElement(child, depth + 1)) return false;
                node->children.push_back(std::move(child));
                continue;
            }
            if (!ReadText('<', node->text)) return false;
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

bool ParseBoolText(std::string_view t, bool& out) {
    if (IEquals(t, "true") || t == "1")
        out = true;
    else if (IEquals(t, "false") || t == "0")
        out = false;
    else
        return false;
    return true;
}

// One CIM-XML value as a value for a property of CIM type `base`.
HResult ValueFromText(const std::string& text, CimType base, WmiValue& out) {
    switch (base) {
        case CIM_BOOLEAN: {
            bool b = false;
            if (!ParseBoolText(text, b)) return kWbemETypeMismatch;
            out = WmiValue::Bool(b);
            return kSOk;
        }
        case CIM_SINT8:
        case CIM_UINT8:
        case CIM_SINT16:
        case CIM_UINT16:
        case CIM_SINT32:
        case CIM_UINT32:
        case CIM_SINT64:
        case CIM_UINT64:
            return CoerceToCimType(WmiValue::Bstr(text), base, out);
        case CIM_OBJECT:
            return kWbemETypeMismatch;  // embedded objects are not read back
        default:
            out = WmiValue::Bstr(text);
            return kSOk;
    }
}

void RenderObject(CimXmlWriter& w, const WmiObject& object) {
    const WmiClassDef& def = object.Definition();
    std::string& out = w.out;
    out.reserve(256 + def.Properties().size() * 64);
    if (object.IsClass()) {
        out += "<CLASS NAME=\"";
        w.Text(def.Name());
        out += '"';
        if (!def.Derivation().empty()) {
            out += " SUPERCLASS=\"";
            w.Text(def.Derivation().front());
            out += '"';
        }
        out += '>';
    } else {
        out += "<INSTANCE CLASSNAME=\"";
        w.Text(def.Name());
        out += "\">";
    }
    for (const char* sys : {"__PATH", "__NAMESPACE", "__SERVER", "__CLASS"}) {
        WmiValue v;
        object.Get(sys, v);
        RenderProperty(w, sys, CIM_STRING, v, "___SYSTEM");
    }
    const auto& props = def.Properties();
    for (std::size_t i = 0; i < props.size(); ++i) {
        const WmiValue* v = object.Peek(static_cast<int>(i));
        RenderProperty(w, props[i].name, props[i].type, v ? *v : WmiValue::Null());
    }
    out += object.IsClass() ? "</CLASS>" : "</INSTANCE>";
}

}  // namespace

std::string RenderCimXml(const WmiObject& object) {
    CimXmlWriter w;
    RenderObject(w, object);
    return std::move(w.out);
}

bool RenderCimXml(const WmiObject& object, std::string& out) {
    CimXmlWriter w;
    RenderObject(w, object);
    out = std::move(w.out);
    return w.exact;
}

HResult ParseCimXml(std::string_view text, CimXmlInstance& out) {
    out = CimXmlInstance{};
    if (text.size() > 4 * 1024 * 1024) return kWbemEInvalidParameter;
    XmlReader reader(text);
    std::unique_ptr<XmlNode> root;
    if (!reader.ReadDocument(root) || !root || root->name != "INSTANCE")
        return kWbemEInvalidParameter;
    const std::string* cls = root->Attribute("CLASSNAME");
    if (!cls || cls->empty()) return kWbemEInvalidParameter;
    out.className = *cls;
    for (const auto& child : root->children) {
        if (child->name == "QUALIFIER") continue;
        const bool scalar = child->name == "PROPERTY";
        const bool array = child->name == "PROPERTY.ARRAY";
        const bool reference = child->name == "PROPERTY.REFERENCE";
        if (!scalar && !array && !reference) return kWbemEInvalidParameter;
        CimXmlProperty p;
        const std::string* name = child->Attribute("NAME");
        if (!name || name->empty()) return kWbemEInvalidParameter;
        p.name = *name;
        const std::string* type = child->Attribute("TYPE");
        p.type = type ? *type : "string";
        p.isArray = array;
        for (const auto& v : child->children) {
            if (v->name == "QUALIFIER") continue;
            if (scalar && v->name == "VALUE") {
                if (!p.isNull) return kWbemEInvalidParameter;
                p.isNull = false;
                p.values.push_back(v->text);
            } else if (array && v->name == "VALUE.ARRAY") {
                if (!p.isNull) return kWbemEInvalidParameter;
                p.isNull = false;
                for (const auto& e : v->children) {
                    if (e->name != "VALUE") return kWbemEInvalidParameter;
                    p.values.push_back(e->text);
                }
            } else if (reference && v->name == "VALUE.REFERENCE") {
                continue;  // references are not read back; the property stays null
            } else {
                return kWbemEInvalidParameter;
            }
        }
        out.properties.push_back(std::move(p));
    }
    return kSOk;
}

HResult ApplyCimXml(const CimXmlInstance& instance, WmiObject& target) {
    if (!target.Definition().IsA(instance.className) &&
        !IEquals(instance.className, target.ClassName()))
        return kWbemEInvalidParameter;
    std::vector<std::pair<int, WmiValue>> updates;
    for (const auto& p : instance.properties) {
        if (p.name.size() > 2 && p.name[0] == '_' && p.name[1] == '_') continue;
        int index = target.Definition().Find(p.name);
        if (index < 0) return kWbemENotFound;
        CimType type = target.Definition().Properties()[static_cast<std::size_t>(index)].type;
        const bool isArray = (type & CIM_FLAG_ARRAY) != 0;
        const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
        if (isArray != p.isArray) return kWbemETypeMismatch;
        WmiValue value = WmiValue::Null();
        if (!p.isNull) {
            if (!isArray) {
                if (HResult hr = ValueFromText(p.values.front(), base, value); Failed(hr))
                    return hr;
            } else {
                std::vector<WmiValue> items;
                for (const auto& t : p.values) {
                    WmiValue item;
                    if (HResult hr = ValueFromText(t, base, item); Failed(hr)) return hr;
                    items.push_back(std::move(item));
                }
                if (base == CIM_BOOLEAN || base == CIM_OBJECT) return kWbemETypeMismatch;
                if (base == CIM_STRING || base == CIM_DATETIME || base == CIM_REFERENCE ||
                    base == CIM_CHAR16 || base == CIM_SINT64 || base == CIM_UINT64 ||
                    base == CIM_REAL32 || base == CIM_REAL64) {
                    std::vector<std::string> texts;
                    for (auto& it : items) texts.push_back(*it.AsBstr());
                    value = WmiValue::BstrArray(std::move(texts));
                } else if (base == CIM_UINT8) {
                    std::vector<std::uint8_t> bytes;
                    for (auto& it : items) bytes.push_back(static_cast<std::uint8_t>(it.AsInt32()));
                    value = WmiValue::UI1Array(std::move(bytes));
                } else {
                    std::vector<std::int32_t> ints;
                    for (auto& it : items) ints.push_back(it.AsInt32());
                    value = WmiValue::I4Array(std::move(ints));
                }
            }
        }
        updates.emplace_back(index, std::move(value));
    }
    for (auto& [index, value] : updates) target.Set(index, std::move(value));
    return kSOk;
}

}  // namespace hbr
