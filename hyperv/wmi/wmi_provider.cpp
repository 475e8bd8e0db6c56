#include "hyperv/wmi/wmi_provider.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "hyperv/wmi/wmi_cimxml.h"
#include "hyperv/wmi/wmi_path.h"

namespace hbr {

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool IContains(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (IEquals(haystack.substr(i, needle.size()), needle)) return true;
    }
    return false;
}

std::string_view CimTypeName(CimType type) {
    switch (static_cast<CimType>(type & ~CIM_FLAG_ARRAY)) {
        case CIM_SINT8:
            return "sint8";
        case CIM_UINT8:
            return "uint8";
        case CIM_SINT16:
            return "sint16";
        case CIM_UINT16:
            return "uint16";
        case CIM_SINT32:
            return "sint32";
        case CIM_UINT32:
            return "uint32";
        case CIM_SINT64:
            return "sint64";
        case CIM_UINT64:
            return "uint64";
        case CIM_REAL32:
            return "real32";
        case CIM_REAL64:
            return "real64";
        case CIM_BOOLEAN:
            return "boolean";
        case CIM_DATETIME:
            return "datetime";
        case CIM_REFERENCE:
            return "reference";
        case CIM_CHAR16:
            return "char16";
        case CIM_OBJECT:
            return "object";
        default:
            return "string";
    }
}

// ---- WmiValue ----------------------------------------------------------------------------

WmiValue WmiValue::Null() {
    return WmiValue(VT_NULL, std::monostate{});
}
WmiValue WmiValue::I4(std::int32_t v) {
    return WmiValue(VT_I4, v);
}
WmiValue WmiValue::Int(std::int32_t v) {
    return WmiValue(VT_INT, v);
}
WmiValue WmiValue::UI4(std::uint32_t v) {
    return WmiValue(VT_UI4, v);
}
WmiValue WmiValue::UInt(std::uint32_t v) {
    return WmiValue(VT_UINT, v);
}
WmiValue WmiValue::UI1(std::uint8_t v) {
    return WmiValue(VT_UI1, std::uint32_t{v});
}
WmiValue WmiValue::Bool(bool v) {
    return WmiValue(VT_BOOL, v);
}
WmiValue WmiValue::Bstr(std::string v) {
    return WmiValue(VT_BSTR, std::move(v));
}
WmiValue WmiValue::BstrArray(std::vector<std::string> v) {
    return WmiValue(VT_ARRAY | VT_BSTR, std::move(v));
}
WmiValue WmiValue::I4Array(std::vector<std::int32_t> v) {
    return WmiValue(VT_ARRAY | VT_I4, std::move(v));
}
WmiValue WmiValue::UI1Array(std::vector<std::uint8_t> v) {
    return WmiValue(VT_ARRAY | VT_UI1, std::move(v));
}
WmiValue WmiValue::Object(WmiObjectPtr v) {
    if (!v) return Null();
    return WmiValue(VT_UNKNOWN, std::move(v));
}
WmiValue WmiValue::ObjectArray(std::vector<WmiObjectPtr> v) {
    return WmiValue(VT_ARRAY | VT_UNKNOWN, std::move(v));
}

const std::string* WmiValue::AsBstr() const {
    return std::get_if<std::string>(&data_);
}
const std::vector<std::string>* WmiValue::AsBstrArray() const {
    return std::get_if<std::vector<std::string>>(&data_);
}
const std::vector<std::int32_t>* WmiValue::AsI4Array() const {
    return std::get_if<std::vector<std::int32_t>>(&data_);
}
const std::vector<std::uint8_t>* WmiValue::AsUI1Array() const {
    return std::get_if<std::vector<std::uint8_t>>(&data_);
}
const std::vector<WmiObjectPtr>* WmiValue::AsObjectArray() const {
    return std::get_if<std::vector<WmiObjectPtr>>(&data_);
}
WmiObjectPtr WmiValue::AsObject() const {
    if (auto p = std::get_if<WmiObjectPtr>(&data_)) return *p;
    return nullptr;
}
std::int32_t WmiValue::AsInt32() const {
    if (auto p = std::get_if<std::int32_t>(&data_)) return *p;
    if (auto p = std::get_if<std::uint32_t>(&data_)) return static_cast<std::int32_t>(*p);
    if (auto p = std::get_if<bool>(&data_)) return *p ? 1 : 0;
    return 0;
}
bool WmiValue::AsBool() const {
    if (auto p = std::get_if<bool>(&data_)) return *p;
    return false;
}

HResult WmiValue::GetArrayBounds(long& lower, long& upper) const {
    if (!IsArray()) return kEInvalidArg;
    std::size_t n = std::visit(
        [](const auto& v) -> std::size_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::vector<std::string>> ||
                          std::is_same_v<T, std::vector<std::int32_t>> ||
                          std::is_same_v<T, std::vector<std::uint8_t>> ||
                          std::is_same_v<T, std::vector<WmiObjectPtr>>)
                return v.size();
            else
                return 0;
        },
        data_);
    lower = 0;
    upper = static_cast<long>(n) - 1;
    return kSOk;
}

HResult WmiValue::GetElement(long index, WmiValue& element) const {
    long lower = 0, upper = -1;
    if (HResult hr = GetArrayBounds(lower, upper); Failed(hr)) return hr;
    if (index < lower || index > upper) return kDispEBadIndex;
    auto i = static_cast<std::size_t>(index);
    if (auto a = AsBstrArray())
        element = Bstr((*a)[i]);
    else if (auto b = AsI4Array())
        element = I4((*b)[i]);
    else if (auto c = AsUI1Array())
        element = UI1((*c)[i]);
    else if (auto d = AsObjectArray())
        element = Object((*d)[i]);
    else
        return kEInvalidArg;
    return kSOk;
}

bool WmiValue::operator==(const WmiValue& other) const {
    return vt_ == other.vt_ && data_ == other.data_;
}

// ---- coercion ----------------------------------------------------------------------------

namespace {

// Decimal text with optional surrounding blanks and a leading "+", as WMI's conversions take it.
template <typename Int>
bool ParseDecimal(std::string_view text, Int& out) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

bool ParseInt64(std::string_view text, std::int64_t& out) { return ParseDecimal(text, out); }
bool ParseUInt64(std::string_view text, std::uint64_t& out) { return ParseDecimal(text, out); }

// A scalar value as a 64-bit integer, the way WMI's variant conversion would read it.
bool ScalarInteger(const WmiValue& v, std::int64_t& out) {
    switch (v.Type()) {
        case VT_I4:
        case VT_INT:
            out = v.AsInt32();
            return true;
        case VT_UI4:
        case VT_UINT:
        case VT_UI1:
            out = static_cast<std::uint32_t>(v.AsInt32());
            return true;
        case VT_BSTR:
            return ParseInt64(*v.AsBstr(), out);
        default:
            return false;
    }
}

bool InRange(CimType base, std::int64_t v) {
    switch (base) {
        case CIM_SINT8:
            return v >= -128 && v <= 127;
        case CIM_UINT8:
            return v >= 0 && v <= 255;
        case CIM_SINT16:
            return v >= -32768 && v <= 32767;
        case CIM_UINT16:
            return v >= 0 && v <= 65535;
        case CIM_SINT32:
            return v >= std::numeric_limits<std::int32_t>::min() &&
                   v <= std::numeric_limits<std::int32_t>::max();
        // uint32 travels as VT_I4, so negative VT_I4 values are the upper half.
        case CIM_UINT32:
            return v >= std::numeric_limits<std::int32_t>::min() &&
                   v <= static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max());
        default:
            return false;
    }
}

bool IsSmallInteger(CimType base) {
    return base == CIM_SINT8 || base == CIM_UINT8 || base == CIM_SINT16 || base == CIM_UINT16 ||
           base == CIM_SINT32 || base == CIM_UINT32;
}

bool IsTextual(CimType base) {
    return base == CIM_STRING || base == CIM_DATETIME || base == CIM_REFERENCE ||
           base == CIM_CHAR16 || base == CIM_REAL32 || base == CIM_REAL64;
}

bool To64BitText(CimType base, const WmiValue& v, std::string& out) {
    if (v.Type() == VT_BSTR) {
        const std::string& s = *v.AsBstr();
        if (base == CIM_UINT64) {
            std::uint64_t u = 0;
            if (!ParseUInt64(s, u)) return false;
            out = std::to_string(u);
        } else {
            std::int64_t i = 0;
            if (!ParseInt64(s, i)) return false;
            out = std::to_string(i);
        }
        return true;
    }
    std::int64_t i = 0;
    if (!ScalarInteger(v, i)) return false;
    if (base == CIM_UINT64 && i < 0) return false;
    out = std::to_string(i);
    return true;
}

}  // namespace

HResult CoerceToCimType(const WmiValue& value, CimType type, WmiValue& out) {
    if (value.IsEmptyOrNull()) {
        out = WmiValue::Null();
        return kSOk;
    }
    const bool isArray = (type & CIM_FLAG_ARRAY) != 0;
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    if (isArray != value.IsArray()) return kWbemETypeMismatch;
    if (!isArray) {
        if (IsSmallInteger(base)) {
            std::int64_t i = 0;
            if (!ScalarInteger(value, i) || !InRange(base, i)) return kWbemETypeMismatch;
            out = base == CIM_UINT8 ? WmiValue::UI1(static_cast<std::uint8_t>(i))
                                    : WmiValue::I4(static_cast<std::int32_t>(i));
            return kSOk;
        }
        if (base == CIM_SINT64 || base == CIM_UINT64) {
            std::string text;
            if (!To64BitText(base, value, text)) return kWbemETypeMismatch;
            out = WmiValue::Bstr(std::move(text));
            return kSOk;
        }
        if (base == CIM_BOOLEAN) {
            if (value.Type() == VT_BOOL) {
                out = value;
                return kSOk;
            }
            std::int64_t i = 0;
            if (value.Type() != VT_BSTR && ScalarInteger(value, i)) {
                out = WmiValue::Bool(i != 0);
                return kSOk;
            }
            return kWbemETypeMismatch;
        }
        if (IsTextual(base)) {
            if (value.Type() != VT_BSTR) return kWbemETypeMismatch;
            out = value;
            return kSOk;
        }
        if (base == CIM_OBJECT) {
            if (value.Type() != VT_UNKNOWN) return kWbemETypeMismatch;
            out = value;
            return kSOk;
        }
        return kWbemETypeMismatch;
    }
    // Arrays.
    if (IsSmallInteger(base)) {
        std::vector<std::int64_t> items;
        if (auto a = value.AsI4Array()) {
            items.assign(a->begin(), a->end());
        } else if (auto b = value.AsUI1Array()) {
            items.assign(b->begin(), b->end());
        } else if (auto c = value.AsBstrArray()) {
            for (const auto& s : *c) {
                std::int64_t i = 0;
                if (!ParseInt64(s, i)) return kWbemETypeMismatch;
                items.push_back(i);
            }
        } else {
            return kWbemETypeMismatch;
        }
        for (auto i : items)
            if (!InRange(base, i)) return kWbemETypeMismatch;
        if (base == CIM_UINT8) {
            std::vector<std::uint8_t> bytes(items.begin(), items.end());
            out = WmiValue::UI1Array(std::move(bytes));
        } else {
            std::vector<std::int32_t> ints;
            ints.reserve(items.size());
            for (auto i : items) ints.push_back(static_cast<std::int32_t>(i));
            out = WmiValue::I4Array(std::move(ints));
        }
        return kSOk;
    }
    if (base == CIM_SINT64 || base == CIM_UINT64) {
        std::vector<std::string> texts;
        if (auto a = value.AsBstrArray()) {
            for (const auto& s : *a) {
                std::string t;
                if (!To64BitText(base, WmiValue::Bstr(s), t)) return kWbemETypeMismatch;
                texts.push_back(std::move(t));
            }
        } else if (auto b = value.AsI4Array()) {
            for (auto i : *b) {
                if (base == CIM_UINT64 && i < 0) return kWbemETypeMismatch;
                texts.push_back(std::to_string(i));
            }
        } else {
            return kWbemETypeMismatch;
        }
        out = WmiValue::BstrArray(std::move(texts));
        return kSOk;
    }
    if (IsTextual(base)) {
        if (value.Type() != (VT_ARRAY | VT_BSTR)) return kWbemETypeMismatch;
        out = value;
        return kSOk;
    }
    if (base == CIM_OBJECT) {
        if (value.Type() != (VT_ARRAY | VT_UNKNOWN)) return kWbemETypeMismatch;
        out = value;
        return kSOk;
    }
    return kWbemETypeMismatch;
}

// ---- WmiClassDef -------------------------------------------------------------------------

WmiClassDef::WmiClassDef(std::string name, std::vector<std::string> derivation,
                         std::vector<WmiPropertyDef> properties, std::string server,
                         std::string nameSpace)
    : name_(std::move(name)),
      derivation_(std::move(derivation)),
      properties_(std::move(properties)),
      server_(std::move(server)),
      nameSpace_(std::move(nameSpace)) {}

int WmiClassDef::Find(std::string_view name) const {
    for (std::size_t i = 0; i < properties_.size(); ++i) {
        if (IEquals(properties_[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

const WmiMethodDef* WmiClassDef::FindMethod(std::string_view name) const {
    for (const auto& m : methods_)
        if (IEquals(m.name, name)) return &m;
    return nullptr;
}

bool WmiClassDef::IsA(std::string_view className) const {
    if (IEquals(name_, className)) return true;
    for (const auto& d : derivation_)
        if (IEquals(d, className)) return true;
    return false;
}

WmiClassDefPtr WmiClassDef::Project(const std::vector<std::string>& names) const {
    std::vector<WmiPropertyDef> props;
    for (const auto& p : properties_) {
        bool wanted = std::any_of(names.begin(), names.end(),
                                  [&](const std::string& n) { return IEquals(n, p.name); });
        if (wanted) props.push_back(p);
    }
    auto def =
        std::make_shared<WmiClassDef>(name_, derivation_, std::move(props), server_, nameSpace_);
    def->methods_ = methods_;
    for (const auto& p : properties_) {
        if (p.key && def->Find(p.name) < 0) def->hasAllKeys_ = false;
    }
    return def;
}

// ---- WmiObject ---------------------------------------------------------------------------

WmiObject::WmiObject(WmiClassDefPtr def, bool isClass)
    : def_(std::move(def)),
      isClass_(isClass),
      values_(def_->Properties().size(), WmiValue::Null()) {}

WmiObjectPtr WmiObject::MakeClass(WmiClassDefPtr def) {
    return WmiObjectPtr(new WmiObject(std::move(def), true));
}

WmiObjectPtr WmiObject::MakeInstance(WmiClassDefPtr def) {
    return WmiObjectPtr(new WmiObject(std::move(def), false));
}

WmiObjectPtr WmiObject::Clone() const {
    return WmiObjectPtr(new WmiObject(*this));
}

void WmiObject::Set(int index, WmiValue value) {
    if (index >= 0 && static_cast<std::size_t>(index) < values_.size())
        values_[static_cast<std::size_t>(index)] = std::move(value);
}

void WmiObject::Set(std::string_view name, WmiValue value) {
    Set(def_->Find(name), std::move(value));
}

const WmiValue* WmiObject::Peek(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= values_.size()) return nullptr;
    return &values_[static_cast<std::size_t>(index)];
}

std::string WmiObject::Path(bool relative) const {
    std::string rel;
    if (isClass_) {
        rel = def_->Name();
    } else {
        if (!def_->HasAllKeys()) return {};
        std::vector<std::pair<std::string, const WmiValue*>> keys;
        for (std::size_t i = 0; i < def_->Properties().size(); ++i) {
            const auto& p = def_->Properties()[i];
            if (p.key) keys.emplace_back(p.name, &values_[i]);
        }
        if (keys.empty()) {
            // A class without keys has its one instance as a singleton; embedded objects (such
            // as summary information) have no path at all.
            return {};
        }
        std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
            std::string la(a.first), lb(b.first);
            for (auto& c : la) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            for (auto& c : lb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return la < lb;
        });
        rel = def_->Name();
        char sep = '.';
        for (const auto& [name, value] : keys) {
            rel += sep;
            sep = ',';
            rel += name;
            rel += '=';
            if (auto s = value->AsBstr()) {
                rel += QuotePathValue(*s);
            } else if (value->Type() == VT_I4 || value->Type() == VT_UI1) {
                rel += std::to_string(value->AsInt32());
            } else if (value->Type() == VT_BOOL) {
                rel += value->AsBool() ? "TRUE" : "FALSE";
            } else {
                return {};  // a key not set yet: no path
            }
        }
    }
    if (relative || def_->Server().empty()) return rel;
    return "\\\\" + def_->Server() + "\\" + def_->NameSpace() + ":" + rel;
}

HResult WmiObject::Get(std::string_view name, WmiValue& value, CimType* type) const {
    if (name.size() > 2 && name[0] == '_' && name[1] == '_') {
        CimType t = CIM_STRING;
        if (IEquals(name, "__CLASS")) {
            value = WmiValue::Bstr(def_->Name());
        } else if (IEquals(name, "__PATH") || IEquals(name, "__RELPATH")) {
            std::string p = Path(IEquals(name, "__RELPATH"));
            value = p.empty() ? WmiValue::Null() : WmiValue::Bstr(std::move(p));
        } else if (IEquals(name, "__SERVER")) {
            value = def_->Server().empty() ? WmiValue::Null() : WmiValue::Bstr(def_->Server());
        } else if (IEquals(name, "__NAMESPACE")) {
            value =
                def_->NameSpace().empty() ? WmiValue::Null() : WmiValue::Bstr(def_->NameSpace());
        } else if (IEquals(name, "__GENUS")) {
            value = WmiValue::I4(isClass_ ? 1 : 2);
            t = CIM_SINT32;
        } else if (IEquals(name, "__SUPERCLASS")) {
            value = def_->Derivation().empty() ? WmiValue::Null()
                                               : WmiValue::Bstr(def_->Derivation().front());
        } else if (IEquals(name, "__DYNASTY")) {
            value = WmiValue::Bstr(def_->Derivation().empty() ? def_->Name()
                                                              : def_->Derivation().back());
        } else if (IEquals(name, "__DERIVATION")) {
            value = WmiValue::BstrArray(def_->Derivation());
            t = static_cast<CimType>(CIM_STRING | CIM_FLAG_ARRAY);
        } else if (IEquals(name, "__PROPERTY_COUNT")) {
            value = WmiValue::I4(static_cast<std::int32_t>(def_->Properties().size()));
            t = CIM_SINT32;
        } else {
            return kWbemENotFound;
        }
        if (type) *type = t;
        return kSOk;
    }
    int index = def_->Find(name);
    if (index < 0) return kWbemENotFound;
    value = values_[static_cast<std::size_t>(index)];
    if (type) *type = def_->Properties()[static_cast<std::size_t>(index)].type;
    return kSOk;
}

HResult WmiObject::Put(std::string_view name, const WmiValue& value) {
    if (name.size() > 2 && name[0] == '_' && name[1] == '_') return kWbemEReadOnly;
    int index = def_->Find(name);
    if (index < 0) return kWbemENotFound;
    WmiValue coerced;
    HResult hr =
        CoerceToCimType(value, def_->Properties()[static_cast<std::size_t>(index)].type, coerced);
    if (Failed(hr)) return hr;
    values_[static_cast<std::size_t>(index)] = std::move(coerced);
    return kSOk;
}

HResult WmiObject::GetMethod(std::string_view name, WmiObjectPtr& inSignature,
                             WmiObjectPtr* outSignature) const {
    inSignature.reset();
    if (!isClass_) return kWbemEIllegalOperation;
    const WmiMethodDef* m = def_->FindMethod(name);
    if (!m) return kWbemENotFound;
    if (m->in) inSignature = MakeClass(m->in);
    if (outSignature) *outSignature = m->out ? MakeClass(m->out) : nullptr;
    return kSOk;
}

HResult WmiObject::SpawnInstance(WmiObjectPtr& instance) const {
    instance.reset();
    if (!isClass_) return kWbemEIllegalOperation;
    instance = MakeInstance(def_);
    instance->values_ = values_;  // class defaults
    return kSOk;
}

HResult WmiObject::GetObjectText(std::string& text) const {
    // The text goes to a host as a method argument: a value it would carry altered is refused
    // rather than changed behind the caller's back.
    if (RenderCimXml(*this, text)) return kSOk;
    text.clear();
    return kWbemEInvalidParameter;
}

std::vector<std::string> WmiObject::GetNames() const {
    std::vector<std::string> names;
    names.reserve(def_->Properties().size());
    for (const auto& p : def_->Properties()) names.push_back(p.name);
    return names;
}

// ---- enumerator, locators ----------------------------------------------------------------

HResult WmiListEnumerator::Next(std::chrono::milliseconds, WmiObjectPtr& object) {
    if (next_ >= objects_.size()) {
        object.reset();
        return kSFalse;
    }
    object = objects_[next_++];
    return kSOk;
}

std::string NamespaceOfPath(std::string_view path) {
    std::string p(path);
    for (auto& c : p)
        if (c == '/') c = '\\';
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        // "\\server\root\...": namespaces begin with the segment "root", while the server part
        // may be anything (a sim:// text holds slashes), so take the last "root" segment.
        std::size_t found = std::string::npos;
        for (std::size_t i = 2; i + 5 <= p.size(); ++i) {
            if (p[i] == '\\' && IEquals(std::string_view(p).substr(i + 1, 4), "root") &&
                (i + 5 == p.size() || p[i + 5] == '\\'))
                found = i + 1;
        }
        if (found == std::string::npos) {
            std::size_t slash = p.find('\\', 2);
            p = slash == std::string::npos ? std::string() : p.substr(slash + 1);
        } else {
            p = p.substr(found);
        }
    }
    while (!p.empty() && p.front() == '\\') p.erase(p.begin());
    while (!p.empty() && p.back() == '\\') p.pop_back();
    return p;
}

}  // namespace hbr
