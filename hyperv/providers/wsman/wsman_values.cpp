#include "hyperv/providers/wsman/wsman_values.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "hyperv/wmi/wmi_cimxml.h"
#include "hyperv/wmi/wmi_path.h"

namespace hbr::wsman {

namespace {

bool Digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

// Six digits of a fraction written with any number of digits.
std::string Micros(std::string_view fraction) {
    std::string out(fraction.substr(0, 6));
    while (out.size() < 6) out += '0';
    return out;
}

bool IsTextual(CimType base) {
    return base == CIM_STRING || base == CIM_DATETIME || base == CIM_REFERENCE ||
           base == CIM_CHAR16;
}

}  // namespace

bool DmtfFromXsDateTime(std::string_view xs, std::string& dmtf) {
    int year, month, day, hour, minute, second;
    if (xs.size() < 19 || !Digits(xs, 0, 4, year) || xs[4] != '-' || !Digits(xs, 5, 2, month) ||
        xs[7] != '-' || !Digits(xs, 8, 2, day) || xs[10] != 'T' || !Digits(xs, 11, 2, hour) ||
        xs[13] != ':' || !Digits(xs, 14, 2, minute) || xs[16] != ':' || !Digits(xs, 17, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 || second > 60)
        return false;
    std::size_t pos = 19;
    std::string_view fraction;
    if (pos < xs.size() && xs[pos] == '.') {
        const std::size_t start = ++pos;
        while (pos < xs.size() && std::isdigit(static_cast<unsigned char>(xs[pos]))) ++pos;
        if (pos == start) return false;
        fraction = xs.substr(start, pos - start);
    }
    char sign = '+';
    int offset = 0;
    if (pos < xs.size()) {
        if (xs[pos] == 'Z' && pos + 1 == xs.size()) {
        } else if ((xs[pos] == '+' || xs[pos] == '-') && xs.size() == pos + 6 &&
                   xs[pos + 3] == ':') {
            int oh, om;
            // XML Schema's zones end at 14:00 either way, as do the DMTF form's 840 minutes.
            if (!Digits(xs, pos + 1, 2, oh) || !Digits(xs, pos + 4, 2, om) || om > 59 ||
                oh * 60 + om > 14 * 60)
                return false;
            sign = xs[pos];
            offset = oh * 60 + om;
        } else {
            return false;
        }
    }
    char out[32];
    std::snprintf(out, sizeof out, "%04d%02d%02d%02d%02d%02d.%s%c%03d", year, month, day, hour,
                  minute, second, Micros(fraction).c_str(), sign, offset);
    dmtf = out;
    return true;
}

bool IsDmtfInterval(std::string_view dmtf) {
    return dmtf.size() == 25 && dmtf[21] == ':';
}

bool XsDateTimeFromDmtf(std::string_view dmtf, std::string& xs) {
    int year, month, day, hour, minute, second, micros, offset;
    if (dmtf.size() != 25 || !Digits(dmtf, 0, 4, year) || !Digits(dmtf, 4, 2, month) ||
        !Digits(dmtf, 6, 2, day) || !Digits(dmtf, 8, 2, hour) || !Digits(dmtf, 10, 2, minute) ||
        !Digits(dmtf, 12, 2, second) || dmtf[14] != '.' || !Digits(dmtf, 15, 6, micros) ||
        (dmtf[21] != '+' && dmtf[21] != '-') || !Digits(dmtf, 22, 3, offset))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || offset > 14 * 60) return false;
    char out[48];
    if (offset == 0)
        std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", year, month, day,
                      hour, minute, second, micros);
    else
        std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%06d%c%02d:%02d", year, month,
                      day, hour, minute, second, micros, dmtf[21], offset / 60, offset % 60);
    xs = out;
    return true;
}

bool DmtfIntervalFromXsDuration(std::string_view xs, std::string& dmtf) {
    if (xs.size() < 3 || xs[0] != 'P') return false;
    long long days = 0, hours = 0, minutes = 0, seconds = 0;
    std::string_view fraction;
    bool time = false, any = false, timePart = false;
    std::size_t pos = 1;
    while (pos < xs.size()) {
        if (xs[pos] == 'T') {
            if (time) return false;
            time = true;
            ++pos;
            continue;
        }
        const std::size_t start = pos;
        while (pos < xs.size() && std::isdigit(static_cast<unsigned char>(xs[pos]))) ++pos;
        if (pos == start || pos - start > 12 || pos >= xs.size()) return false;
        long long n = 0;
        std::from_chars(xs.data() + start, xs.data() + pos, n);
        std::string_view frac;
        if (xs[pos] == '.') {
            if (!time) return false;
            const std::size_t fs = ++pos;
            while (pos < xs.size() && std::isdigit(static_cast<unsigned char>(xs[pos]))) ++pos;
            if (pos == fs || pos >= xs.size() || xs[pos] != 'S') return false;
            frac = xs.substr(fs, pos - fs);
        }
        const char unit = xs[pos++];
        any = true;
        timePart = timePart || time;
        if (!time && unit == 'D')
            days = n;
        else if (!time && (unit == 'Y' || unit == 'M')) {
            if (n != 0) return false;  // no fixed length
        } else if (time && unit == 'H')
            hours = n;
        else if (time && unit == 'M')
            minutes = n;
        else if (time && unit == 'S') {
            seconds = n;
            fraction = frac;
        } else
            return false;
    }
    if (!any || (time && !timePart)) return false;  // "P", "PT", "P1DT"
    // Carry into days, as the DMTF form has fixed-width fields.
    minutes += seconds / 60;
    seconds %= 60;
    hours += minutes / 60;
    minutes %= 60;
    days += hours / 24;
    hours %= 24;
    if (days > 99999999) return false;
    char out[40];
    std::snprintf(out, sizeof out, "%08lld%02lld%02lld%02lld.%s:000", days, hours, minutes, seconds,
                  Micros(fraction).c_str());
    dmtf = out;
    return true;
}

bool XsDurationFromDmtfInterval(std::string_view dmtf, std::string& xs) {
    int hours, minutes, seconds, micros;
    int daysHigh, daysLow;
    if (!IsDmtfInterval(dmtf) || !Digits(dmtf, 0, 4, daysHigh) || !Digits(dmtf, 4, 4, daysLow) ||
        !Digits(dmtf, 8, 2, hours) || !Digits(dmtf, 10, 2, minutes) ||
        !Digits(dmtf, 12, 2, seconds) || dmtf[14] != '.' || !Digits(dmtf, 15, 6, micros) ||
        dmtf.substr(22) != "000")
        return false;
    char out[64];
    std::snprintf(out, sizeof out, "P%dDT%dH%dM%d.%06dS", daysHigh * 10000 + daysLow, hours,
                  minutes, seconds, micros);
    xs = out;
    return true;
}

namespace {

// A property or namespace part as WMI names them; anything else in a host's reference would be
// read back as other keys or another namespace.
bool IsWmiName(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

bool IsUnquotedKeyValue(std::string_view value) {
    if (IEquals(value, "true") || IEquals(value, "false")) return true;
    if (!value.empty() && value[0] == '-') value.remove_prefix(1);
    return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

}  // namespace

bool PathFromEpr(const Epr& epr, std::string_view server, std::string& path) {
    std::string nameSpace, className;
    if (!SplitWmiResourceUri(epr.resourceUri, nameSpace, className) || className == "*")
        return false;
    for (const auto& [name, value] : epr.selectors)
        if (IEquals(name, "__cimnamespace")) {
            nameSpace.clear();
            for (char c : value) nameSpace += c == '/' ? '\\' : c;
        } else if (!IsWmiName(name)) {
            return false;
        }
    // The namespace, from the resource URI or the selector, and the class alike: a ':' or '.'
    // in either would be read back as another class or keys.
    if (!IsWmiName(className)) return false;
    for (size_t at = 0; at <= nameSpace.size();) {
        const size_t end = std::min(nameSpace.find('\\', at), nameSpace.size());
        if (!IsWmiName(std::string_view(nameSpace).substr(at, end - at))) return false;
        at = end + 1;
    }
    const CimClass* cls = FindClass(className);
    path = "\\\\" + std::string(server) + "\\" + nameSpace + ":" + className;
    bool first = true;
    for (const auto& [name, value] : epr.selectors) {
        if (IEquals(name, "__cimnamespace")) continue;
        path += first ? "." : ",";
        first = false;
        const CimProperty* p = cls ? cls->FindProperty(name) : nullptr;
        // A number the host sent for a numeric key stays bare; anything else is quoted.
        const bool quoted = !p || IsTextual(p->BaseType()) || !IsUnquotedKeyValue(value);
        path += name + "=" + (quoted ? QuotePathValue(value) : value);
    }
    if (first) path += "=@";
    return true;
}

HResult EprFromPath(std::string_view path, std::string_view defaultNamespace, Epr& epr) {
    WmiObjectPath p;
    const HResult hr = ParseObjectPath(path, p);
    if (Failed(hr)) return hr;
    const std::string nameSpace = p.nameSpace.empty() ? std::string(defaultNamespace) : p.nameSpace;
    epr = Epr{};
    epr.resourceUri = WmiResourceUri(nameSpace, p.className);
    for (const auto& [name, value] : p.keys) {
        std::string key = name;
        if (key.empty()) {
            // "Class=value": the class's one key.
            const CimClass* cls = FindClass(p.className);
            const auto keys = cls ? cls->KeyProperties() : std::vector<std::string>{};
            if (keys.size() != 1) return kWbemEInvalidObjectPath;
            key = keys[0];
        }
        epr.selectors.emplace_back(key, value);
    }
    return kSOk;
}

namespace {

HResult ValueFromWire(const Property& p, CimType type, const CimProperty* declared,
                      const InstanceContext& context, WmiValue& out) {
    out = WmiValue::Null();
    if (p.nil || p.values.empty()) return kSOk;
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    const bool array = (type & CIM_FLAG_ARRAY) != 0;
    if (base == CIM_OBJECT) {
        std::vector<WmiObjectPtr> objects;
        for (const auto& v : p.values) {
            if (v.kind != WireValue::Kind::Instance || !v.instance) return kWbemETypeMismatch;
            objects.push_back(ObjectFromInstance(*v.instance, v.instance->className, {}, context));
        }
        out = array ? WmiValue::ObjectArray(std::move(objects)) : WmiValue::Object(objects.front());
        return kSOk;
    }
    std::vector<std::string> texts;
    for (const auto& v : p.values) {
        std::string text;
        switch (v.kind) {
            case WireValue::Kind::Text:
                text = IsTextual(base) ? v.text : Trim(v.text);
                break;
            case WireValue::Kind::Datetime:
                if (!DmtfFromXsDateTime(v.text, text)) text = v.text;
                break;
            case WireValue::Kind::Interval:
                if (!DmtfIntervalFromXsDuration(v.text, text)) text = v.text;
                break;
            case WireValue::Kind::Reference:
                if (!PathFromEpr(v.reference, context.server, text)) return kWbemETypeMismatch;
                break;
            case WireValue::Kind::Instance:
                // A string that holds an embedded instance: the text form WMI would give.
                if (!v.instance || !(declared && declared->IsEmbeddedInstance()))
                    return kWbemETypeMismatch;
                text = RenderCimXml(
                    *ObjectFromInstance(*v.instance, v.instance->className, {}, context));
                break;
        }
        texts.push_back(std::move(text));
    }
    if (array) return ValueFromTexts(type, texts, out);
    return ValueFromText(base, texts.front(), out);
}

WmiObjectPtr AdHocObject(const Instance& instance, const std::string& className,
                         const InstanceContext& context) {
    std::vector<WmiPropertyDef> defs;
    for (const auto& p : instance.properties) {
        CimType t = CIM_STRING;
        if (!p.values.empty() && p.values[0].kind == WireValue::Kind::Instance) t = CIM_OBJECT;
        if (p.values.size() > 1) t = static_cast<CimType>(t | CIM_FLAG_ARRAY);
        defs.push_back({p.name, t, false});
    }
    std::string nameSpace = context.nameSpace;
    std::string cls;
    if (!instance.resourceUri.empty()) SplitWmiResourceUri(instance.resourceUri, nameSpace, cls);
    auto def = std::make_shared<WmiClassDef>(className, std::vector<std::string>{}, std::move(defs),
                                             context.server, nameSpace);
    return WmiObject::MakeInstance(def);
}

}  // namespace

WmiObjectPtr ObjectFromInstance(const Instance& instance, std::string_view className,
                                const std::vector<std::string>& columns,
                                const InstanceContext& context) {
    const std::string name =
        instance.className.empty() ? std::string(className) : instance.className;
    const CimClass* cls = FindClass(name);
    WmiObjectPtr object;
    if (cls) {
        object = WmiObject::MakeInstance(columns.empty()
                                             ? cls->MakeDefinition(context.server)
                                             : cls->MakeDefinition(context.server, {}, columns));
    } else {
        object = AdHocObject(instance, name.empty() ? std::string("__Unknown") : name, context);
    }
    const WmiClassDef& def = object->Definition();
    for (const auto& p : instance.properties) {
        const int index = def.Find(p.name);
        if (index < 0) continue;
        const CimProperty* declared = cls ? cls->FindProperty(p.name) : nullptr;
        WmiValue value;
        if (Succeeded(ValueFromWire(p, def.Properties()[index].type, declared, context, value)))
            object->Set(index, std::move(value));
    }
    return object;
}

WmiObjectPtr OutputFromInstance(const Instance& output, const WmiClassDefPtr& outSignature,
                                const std::vector<CimProperty>& outTypes,
                                const InstanceContext& context) {
    WmiObjectPtr object = WmiObject::MakeInstance(outSignature);
    for (const auto& p : output.properties) {
        const int index = outSignature->Find(p.name);
        if (index < 0) continue;
        const CimProperty* declared = nullptr;
        for (const auto& t : outTypes)
            if (IEquals(t.name, p.name)) declared = &t;
        WmiValue value;
        if (Succeeded(
                ValueFromWire(p, outSignature->Properties()[index].type, declared, context, value)))
            object->Set(index, std::move(value));
    }
    return object;
}

namespace {

HResult InstanceFromObject(const WmiObject& object, bool cimXmlText, std::string_view defaultNs,
                           int depth, Instance& out);

HResult InstanceFromCimXml(const CimXmlInstance& cx, std::string_view defaultNs, Instance& out) {
    const CimClass* cls = FindClass(cx.className);
    out = Instance{};
    out.className = cx.className;
    out.resourceUri =
        WmiResourceUri(cls ? std::string_view(cls->NameSpace()) : defaultNs, cx.className);
    for (const auto& p : cx.properties) {
        if (p.name.rfind("__", 0) == 0) continue;
        Property prop{p.name, p.isNull, {}};
        if (!p.isNull)
            for (const auto& text : p.values) {
                WireValue v;
                v.text = text;
                if (p.type == "datetime") {
                    std::string xs;
                    if (IsDmtfInterval(text) ? XsDurationFromDmtfInterval(text, xs)
                                             : XsDateTimeFromDmtf(text, xs)) {
                        v.kind = IsDmtfInterval(text) ? WireValue::Kind::Interval
                                                      : WireValue::Kind::Datetime;
                        v.text = xs;
                    }
                } else if (p.type == "reference") {
                    v.kind = WireValue::Kind::Reference;
                    if (Failed(EprFromPath(text, defaultNs, v.reference)))
                        return kWbemEInvalidParameter;
                } else if (p.type == "boolean") {
                    v.text = (text == "TRUE" || text == "true" || text == "1") ? "true" : "false";
                }
                prop.values.push_back(std::move(v));
            }
        if (prop.values.empty() && !p.isArray) prop.nil = true;
        out.properties.push_back(std::move(prop));
    }
    return kSOk;
}

// The wire values of one WMI value of CIM type `type`.
HResult WireValues(const WmiValue& value, CimType type, bool embedded, bool cimXmlText,
                   std::string_view defaultNs, int depth, std::vector<WireValue>& out) {
    const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
    std::vector<WmiValue> items;
    if (value.IsArray()) {
        long lower = 0, upper = -1;
        value.GetArrayBounds(lower, upper);
        for (long i = lower; i <= upper; ++i) {
            WmiValue e;
            if (Failed(value.GetElement(i, e))) return kWbemETypeMismatch;
            items.push_back(std::move(e));
        }
    } else {
        items.push_back(value);
    }
    for (const auto& item : items) {
        WireValue w;
        if (item.Type() == VT_UNKNOWN) {
            const WmiObjectPtr o = item.AsObject();
            if (!o || depth > 8) return kWbemEInvalidParameter;
            w.kind = WireValue::Kind::Instance;
            w.instance = std::make_shared<Instance>();
            const HResult hr =
                InstanceFromObject(*o, cimXmlText, defaultNs, depth + 1, *w.instance);
            if (Failed(hr)) return hr;
            out.push_back(std::move(w));
            continue;
        }
        if (const std::string* text = item.AsBstr()) {
            if (base == CIM_REFERENCE) {
                w.kind = WireValue::Kind::Reference;
                const HResult hr = EprFromPath(*text, defaultNs, w.reference);
                if (Failed(hr)) return kWbemEInvalidParameter;
            } else if (base == CIM_DATETIME) {
                const bool interval = IsDmtfInterval(*text);
                w.kind = interval ? WireValue::Kind::Interval : WireValue::Kind::Datetime;
                if (!(interval ? XsDurationFromDmtfInterval(*text, w.text)
                               : XsDateTimeFromDmtf(*text, w.text)))
                    return kWbemEInvalidParameter;
            } else if (embedded && !cimXmlText && !text->empty()) {
                CimXmlInstance cx;
                if (Failed(ParseCimXml(*text, cx))) return kWbemEInvalidParameter;
                w.kind = WireValue::Kind::Instance;
                w.instance = std::make_shared<Instance>();
                const HResult hr = InstanceFromCimXml(cx, defaultNs, *w.instance);
                if (Failed(hr)) return hr;
            } else {
                w.text = *text;
            }
        } else if (item.Type() == VT_BOOL) {
            w.text = item.AsBool() ? "true" : "false";
        } else if (item.Type() == VT_I4 || item.Type() == VT_INT || item.Type() == VT_UI4 ||
                   item.Type() == VT_UINT || item.Type() == VT_UI1) {
            const std::int32_t n = item.AsInt32();
            if (base == CIM_BOOLEAN)
                w.text = n ? "true" : "false";
            else if (base == CIM_UINT8 || base == CIM_UINT16 || base == CIM_UINT32 ||
                     base == CIM_UINT64 || item.Type() == VT_UI4 || item.Type() == VT_UINT)
                w.text = std::to_string(static_cast<std::uint32_t>(n));
            else
                w.text = std::to_string(n);
        } else {
            return kWbemETypeMismatch;
        }
        out.push_back(std::move(w));
    }
    return kSOk;
}

HResult InstanceFromObject(const WmiObject& object, bool cimXmlText, std::string_view defaultNs,
                           int depth, Instance& out) {
    const WmiClassDef& def = object.Definition();
    const CimClass* cls = FindClass(def.Name());
    out = Instance{};
    out.className = def.Name();
    const std::string nameSpace = !def.NameSpace().empty()
                                      ? def.NameSpace()
                                      : (cls ? cls->NameSpace() : std::string(defaultNs));
    out.resourceUri = WmiResourceUri(nameSpace, def.Name());
    for (const auto& pd : def.Properties()) {
        WmiValue v;
        if (Failed(object.Get(pd.name, v)) || v.IsEmptyOrNull()) {
            out.properties.push_back(Property{pd.name, true, {}});
            continue;
        }
        const CimProperty* declared = cls ? cls->FindProperty(pd.name) : nullptr;
        Property p{pd.name, false, {}};
        const HResult hr = WireValues(v, pd.type, declared && declared->IsEmbeddedInstance(),
                                      cimXmlText, nameSpace, depth, p.values);
        if (Failed(hr)) return hr;
        out.properties.push_back(std::move(p));
    }
    return kSOk;
}

}  // namespace

HResult ParametersFromObject(const WmiObject& in, const std::vector<CimProperty>& inTypes,
                             bool cimXmlText, std::string_view defaultNamespace,
                             std::vector<Property>& out) {
    out.clear();
    for (const auto& t : inTypes) {
        WmiValue v;
        if (Failed(in.Get(t.name, v)) || v.IsEmptyOrNull()) continue;  // null: not sent
        Property p{t.name, false, {}};
        const HResult hr = WireValues(v, t.type, t.IsEmbeddedInstance(), cimXmlText,
                                      defaultNamespace, 0, p.values);
        if (Failed(hr)) return hr;
        if (p.values.empty()) continue;  // an empty array: nothing to send
        out.push_back(std::move(p));
    }
    return kSOk;
}

}  // namespace hbr::wsman
