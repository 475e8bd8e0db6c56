#include "support/wsman_test_soap.h"

#include "hyperv/wmi/xml_text.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <random>

#include "hyperv/wmi/wmi_cimxml.h"
#include "hyperv/wmi/wmi_path.h"
#include "hyperv/wmi/wql.h"

namespace hbr::wsmantest {

namespace {

constexpr const char* kSoapNs = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* kAddrNs = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr const char* kEnumNs = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
constexpr const char* kWsmanNs = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
constexpr const char* kIdentityNs =
    "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd";
constexpr const char* kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* kCimNs = "http://schemas.dmtf.org/wbem/wscim/1/common";
constexpr const char* kAnonymous =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
constexpr const char* kWqlDialect = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
constexpr const char* kFaultDetailBase = "http://schemas.dmtf.org/wbem/wsman/1/wsman/faultDetail/";

constexpr const char* kActGet = "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get";
constexpr const char* kActEnumerate = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate";
constexpr const char* kActPull = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull";
constexpr const char* kActRelease = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Release";
constexpr const char* kActWsmanFault = "http://schemas.dmtf.org/wbem/wsman/1/wsman/fault";
constexpr const char* kActEnumFault = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/fault";
constexpr const char* kActAddrFault = "http://schemas.xmlsoap.org/ws/2004/08/addressing/fault";

// WS-Management error codes of Windows (winerror.h, ERROR_WSMAN_*).
constexpr std::uint32_t kWsmanCannotProcessFilter = 2150858778;
constexpr std::uint32_t kWsmanInvalidEnumerationContext = 2150858779;
constexpr std::uint32_t kWsmanMaxEnvelopeSize = 2150858823;
constexpr std::uint32_t kWsmanMaxEnvelopeSizeExceeded = 2150858824;
constexpr std::uint32_t kWsmanSchemaValidation = 2150858817;
constexpr std::uint32_t kWsmanInsufficientSelectors = 2150858842;
constexpr std::uint32_t kWsmanUnexpectedSelectors = 2150858843;
constexpr std::uint32_t kWsmanQuotaLimit = 2150859173;
constexpr std::size_t kMinEnvelopeSize = 8192;

std::string Trim(std::string_view s) {
    const char* ws = " \t\r\n";
    auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(ws);
    return std::string(s.substr(b, e - b + 1));
}

std::string NewUuid() {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::uint64_t a = rng(), b = rng();
    char buf[48];
    std::snprintf(buf, sizeof buf, "uuid:%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(0x4000 | (a & 0x0FFF)),
                  static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return buf;
}

// "root\virtualization\v2" → "root/virtualization/v2".
std::string SlashNamespace(std::string_view ns) {
    std::string out(ns);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

std::string ClassUri(std::string_view ns, std::string_view className) {
    return std::string(kWmiResourceBase) + SlashNamespace(ns) + "/" + std::string(className);
}

// Splits a WMI resource URI into namespace (with backslashes) and class ("*" for a query).
bool SplitResourceUri(std::string_view uri, std::string& ns, std::string& className) {
    std::string_view base = kWmiResourceBase;
    if (uri.size() <= base.size() || !IEquals(uri.substr(0, base.size()), base)) return false;
    uri.remove_prefix(base.size());
    auto slash = uri.rfind('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 >= uri.size()) return false;
    ns.assign(uri.substr(0, slash));
    std::replace(ns.begin(), ns.end(), '/', '\\');
    className.assign(uri.substr(slash + 1));
    return true;
}

bool Is(const xmlNode* n, const char* ns, const char* local) {
    return n && n->type == XML_ELEMENT_NODE && n->ns && n->ns->href &&
           std::string_view(reinterpret_cast<const char*>(n->ns->href)) == ns &&
           std::string_view(reinterpret_cast<const char*>(n->name)) == local;
}

std::string_view LocalName(const xmlNode* n) {
    return reinterpret_cast<const char*>(n->name);
}

std::string_view NsHref(const xmlNode* n) {
    return n->ns && n->ns->href ? reinterpret_cast<const char*>(n->ns->href) : "";
}

xmlNode* FirstElement(xmlNode* parent) {
    for (xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return c;
    return nullptr;
}

std::vector<xmlNode*> Elements(xmlNode* parent) {
    std::vector<xmlNode*> out;
    for (xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) out.push_back(c);
    return out;
}

xmlNode* Child(xmlNode* parent, const char* ns, const char* local) {
    for (xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
        if (Is(c, ns, local)) return c;
    return nullptr;
}

std::string Content(const xmlNode* n) {
    if (!n) return {};
    xmlChar* t = xmlNodeGetContent(n);
    std::string out = t ? reinterpret_cast<const char*>(t) : "";
    xmlFree(t);
    return out;
}

std::string Attr(const xmlNode* n, const char* name, const char* ns = nullptr) {
    xmlChar* v =
        ns ? xmlGetNsProp(n, BAD_CAST name, BAD_CAST ns) : xmlGetNoNsProp(n, BAD_CAST name);
    std::string out = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return out;
}

bool IsNil(const xmlNode* n) {
    std::string v = Trim(Attr(n, "nil", kXsiNs));
    return v == "true" || v == "1";
}

// ---- faults ------------------------------------------------------------------------------

struct FaultSpec {
    std::string action = kActWsmanFault;
    std::string code = "s:Sender";
    std::string subcode;  // prefixed: w: wsman, a: addressing, n: enumeration
    std::string reason;
    std::string faultDetail;  // the part after .../faultDetail/
    std::uint32_t wsmanCode = 0;
    bool wmiError = false;  // add an MSFT_WmiError with error_Code = wmiCode
    std::uint32_t wmiCode = 0;
    int cimStatus = 1;
    std::string wmiMessage;
};

std::string Envelope(std::string_view action, std::string_view relatesTo, std::string_view body) {
    std::string out;
    out.reserve(body.size() + 900);
    out += "<s:Envelope xml:lang=\"en-US\" xmlns:s=\"";
    out += kSoapNs;
    out += "\" xmlns:a=\"";
    out += kAddrNs;
    out += "\" xmlns:n=\"";
    out += kEnumNs;
    out += "\" xmlns:w=\"";
    out += kWsmanNs;
    out += "\"><s:Header><a:Action>";
    out += XmlText(action);
    out += "</a:Action><a:MessageID>";
    out += NewUuid();
    out += "</a:MessageID><a:To>";
    out += kAnonymous;
    out += "</a:To>";
    if (!relatesTo.empty()) {
        out += "<a:RelatesTo>";
        out += XmlText(relatesTo);
        out += "</a:RelatesTo>";
    }
    out += "</s:Header><s:Body>";
    out += body;
    out += "</s:Body></s:Envelope>";
    return out;
}

std::string FaultBody(const FaultSpec& f) {
    std::string b = "<s:Fault><s:Code><s:Value>" + f.code + "</s:Value>";
    if (!f.subcode.empty()) b += "<s:Subcode><s:Value>" + f.subcode + "</s:Value></s:Subcode>";
    b += "</s:Code><s:Reason><s:Text xml:lang=\"en-US\">" + XmlText(f.reason) +
         "</s:Text></s:Reason><s:Detail>";
    if (!f.faultDetail.empty())
        b += "<w:FaultDetail>" + std::string(kFaultDetailBase) + f.faultDetail + "</w:FaultDetail>";
    if (f.wsmanCode != 0) {
        b += "<f:WSManFault xmlns:f=\"http://schemas.microsoft.com/wbem/wsman/1/wsmanfault\" "
             "Code=\"" +
             std::to_string(f.wsmanCode) + "\" Machine=\"127.0.0.1\"><f:Message>" +
             XmlText(f.reason) + "</f:Message></f:WSManFault>";
    }
    if (f.wmiError) {
        const std::string msg = XmlText(f.wmiMessage.empty() ? f.reason : f.wmiMessage);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", f.wmiCode);
        b += "<p:MSFT_WmiError b:IsCIM_Error=\"true\" "
             "xmlns:b=\"http://schemas.dmtf.org/wbem/wsman/1/cimbinding.xsd\" "
             "xmlns:cim=\"http://schemas.dmtf.org/wbem/wscim/1/common\" "
             "xmlns:p=\"http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/MSFT_WmiError\" "
             "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
             "xsi:type=\"p:MSFT_WmiError_Type\">"
             "<p:CIMStatusCode xsi:type=\"cim:cimUnsignedInt\">" +
             std::to_string(f.cimStatus) +
             "</p:CIMStatusCode>"
             "<p:CIMStatusCodeDescription xsi:nil=\"true\" xsi:type=\"cim:cimString\"/>"
             "<p:ErrorSource xsi:nil=\"true\" xsi:type=\"cim:cimString\"/>"
             "<p:ErrorSourceFormat xsi:type=\"cim:cimUnsignedShort\">0</p:ErrorSourceFormat>"
             "<p:ErrorType xsi:type=\"cim:cimUnsignedShort\">0</p:ErrorType>"
             "<p:Message xsi:type=\"cim:cimString\">" +
             msg + "</p:Message><p:MessageID xsi:type=\"cim:cimString\">HRESULT " + hex +
             "</p:MessageID>"
             "<p:OtherErrorSourceFormat xsi:nil=\"true\" xsi:type=\"cim:cimString\"/>"
             "<p:OtherErrorType xsi:nil=\"true\" xsi:type=\"cim:cimString\"/>"
             "<p:OwningEntity xsi:nil=\"true\" xsi:type=\"cim:cimString\"/>"
             "<p:PerceivedSeverity xsi:type=\"cim:cimUnsignedShort\">0</p:PerceivedSeverity>"
             "<p:ProbableCause xsi:type=\"cim:cimUnsignedShort\">0</p:ProbableCause>"
             "<p:ProbableCauseDescription xsi:nil=\"true\" xsi:type=\"cim:cimString\"/>"
             "<p:error_Category xsi:type=\"cim:cimUnsignedInt\">30</p:error_Category>"
             "<p:error_Code xsi:type=\"cim:cimUnsignedInt\">" +
             std::to_string(f.wmiCode) +
             "</p:error_Code><p:error_Type xsi:type=\"cim:cimString\">HRESULT</p:error_Type>"
             "<p:error_WindowsErrorMessage xsi:type=\"cim:cimString\">" +
             msg + "</p:error_WindowsErrorMessage></p:MSFT_WmiError>";
    }
    b += "</s:Detail></s:Fault>";
    return b;
}

SoapReply MakeFault(const FaultSpec& f, std::string_view relatesTo, std::string action) {
    return {500, std::move(action), Envelope(f.action, relatesTo, FaultBody(f))};
}

enum class Op { Enumerate, Get, Invoke };

std::string WmiText(HResult hr) {
    switch (static_cast<std::uint32_t>(hr)) {
        case 0x8004100E:
            return "Invalid namespace ";
        case 0x80041010:
            return "Invalid class ";
        case 0x80041002:
            return "Not found ";
        case 0x80041017:
            return "Invalid query ";
        case 0x80041008:
            return "Invalid parameter ";
        case 0x80041005:
            return "Type mismatch ";
        case 0x8004102E:
            return "Invalid method ";
        case 0x8004103A:
            return "Invalid object path ";
        case 0x8004101E:
            return "Illegal operation ";
        case 0x80070005:
        case 0x80041003:
            return "Access denied ";
        default:
            break;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "The WMI service or the WMI provider returned an error: 0x%08x",
                  static_cast<std::uint32_t>(hr));
    return buf;
}

// A failure of the WMI provider as Windows' WMI plug-in reports it: the subcode by the kind of
// failure, the WMI code in MSFT_WmiError/error_Code.
FaultSpec WmiFault(HResult hr, Op op) {
    FaultSpec f;
    f.wmiError = true;
    f.wmiCode = static_cast<std::uint32_t>(hr);
    f.wmiMessage = WmiText(hr);
    const std::uint32_t u = f.wmiCode;
    if ((u == 0x80041010 || u == 0x80041017) && op == Op::Enumerate) {
        f.action = kActEnumFault;
        f.subcode = "n:CannotProcessFilter";
        f.reason =
            "The data source could not process the filter. The filter might be missing or it "
            "might be invalid. Change the filter and try the request again.  ";
        f.wsmanCode = kWsmanCannotProcessFilter;
        f.cimStatus = u == 0x80041010 ? 5 : 15;
    } else if (u == 0x8004100E || u == 0x80041010 || u == 0x80041002 || u == 0x8004103A) {
        f.action = kActAddrFault;
        f.subcode = "a:DestinationUnreachable";
        f.faultDetail = "ResourceNotFound";
        f.reason =
            "The WS-Management service cannot process the request. The service cannot find the "
            "resource identified by the resource URI and selectors. ";
        f.cimStatus = u == 0x8004100E ? 3 : u == 0x80041010 ? 5 : 6;
    } else if (u == 0x80070005 || u == 0x80041003) {
        f.subcode = "w:AccessDenied";
        f.reason = "Access is denied. ";
        f.cimStatus = 2;
    } else if (u == 0x80041008 || u == 0x80041005) {
        f.subcode = "w:InvalidParameter";
        f.reason =
            "The WS-Management service cannot process the request because a parameter "
            "is invalid. ";
        f.cimStatus = 4;
    } else if (u == 0x8004102E || u == 0x8004101E) {
        f.action = kActAddrFault;
        f.subcode = "a:ActionNotSupported";
        f.reason =
            "The WS-Management service cannot process the request. The method is not "
            "supported by the resource. ";
        f.cimStatus = 16;
    } else {
        f.code = "s:Receiver";
        f.subcode = "w:InternalError";
        f.reason =
            "The WS-Management service cannot process the request. The WMI service or "
            "the WMI provider returned an unknown error. ";
    }
    return f;
}

FaultSpec Simple(std::string action, std::string subcode, std::string reason,
                 std::uint32_t wsmanCode = 0, std::string detail = {}) {
    FaultSpec f;
    f.action = std::move(action);
    f.subcode = std::move(subcode);
    f.reason = std::move(reason);
    f.wsmanCode = wsmanCode;
    f.faultDetail = std::move(detail);
    return f;
}

// A reply larger than the MaxEnvelopeSize the request allows.
FaultSpec EnvelopeExceededFault() {
    return Simple(kActWsmanFault, "w:EncodingLimit",
                  "The response that the WS-Management service computed exceeds the maximum "
                  "envelope size that is allowed. ",
                  kWsmanMaxEnvelopeSizeExceeded, "MaxEnvelopeSize");
}

// A resource URI that names no namespace and class this service knows.
FaultSpec InvalidResourceUriFault() {
    return Simple(kActAddrFault, "a:DestinationUnreachable",
                  "The WS-Management service cannot process the request because the resource "
                  "URI is invalid. ",
                  0, "InvalidResourceURI");
}

// An enumeration context that is unknown, expired or another user's.
FaultSpec InvalidContextFault() {
    return Simple(kActEnumFault, "n:InvalidEnumerationContext",
                  "The WS-Management service cannot process the request because the "
                  "enumeration context is not valid or has expired. ",
                  kWsmanInvalidEnumerationContext);
}

// ---- values ------------------------------------------------------------------------------

bool Digits(std::string_view s, std::size_t pos, std::size_t n) {
    if (pos + n > s.size()) return false;
    for (std::size_t i = pos; i < pos + n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int Num(std::string_view s, std::size_t pos, std::size_t n) {
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) v = v * 10 + (s[i] - '0');
    return v;
}

std::string TrimFraction(std::string_view micro) {
    std::string f(micro);
    while (!f.empty() && f.back() == '0') f.pop_back();
    return f.empty() ? std::string() : "." + f;
}

// An integer property value of any small integer kind as text, by the property's CIM type.
std::string IntegerText(const WmiValue& v, CimType base) {
    std::int32_t i = v.AsInt32();
    switch (base) {
        case CIM_UINT8:
            return std::to_string(static_cast<std::uint8_t>(i));
        case CIM_UINT16:
            return std::to_string(static_cast<std::uint16_t>(i));
        case CIM_UINT32:
            return std::to_string(static_cast<std::uint32_t>(i));
        case CIM_SINT8:
            return std::to_string(static_cast<std::int8_t>(i));
        case CIM_SINT16:
            return std::to_string(static_cast<std::int16_t>(i));
        default:
            break;
    }
    if (v.Type() == VT_UI4 || v.Type() == VT_UINT)
        return std::to_string(static_cast<std::uint32_t>(i));
    return std::to_string(i);
}

class Renderer {
  public:
    explicit Renderer(std::string defaultNs) : defaultNs_(std::move(defaultNs)) {}

    // <p:Class xmlns:p=... xsi:type="p:Class_Type">properties</p:Class>
    std::string Instance(const WmiObject& obj) {
        std::string ns =
            obj.Definition().NameSpace().empty() ? defaultNs_ : obj.Definition().NameSpace();
        const std::string& cls = obj.ClassName();
        std::string out = "<p:" + cls + " xmlns:p=\"" + XmlText(ClassUri(ns, cls)) +
                          "\" xmlns:xsi=\"" + kXsiNs + "\" xmlns:cim=\"" + kCimNs +
                          "\" xsi:type=\"p:" + cls + "_Type\">";
        Properties(out, obj, "p", true);
        out += "</p:" + cls + ">";
        return out;
    }

    // The properties of a column-list result, unqualified, as Windows gives them.
    std::string Fragment(const WmiObject& obj) {
        std::string out = "<w:XmlFragment xmlns:xsi=\"" + std::string(kXsiNs) + "\" xmlns:cim=\"" +
                          kCimNs + "\">";
        Properties(out, obj, "", true);
        out += "</w:XmlFragment>";
        return out;
    }

    // <p:Method_OUTPUT xmlns:p=classUri>...</p:Method_OUTPUT>
    std::string Output(const WmiObject& out, std::string_view classUri, std::string_view method) {
        std::string s = "<p:" + std::string(method) + "_OUTPUT xmlns:p=\"" + XmlText(classUri) +
                        "\" xmlns:xsi=\"" + kXsiNs + "\" xmlns:cim=\"" + kCimNs + "\">";
        Properties(s, out, "p", false);
        s += "</p:" + std::string(method) + "_OUTPUT>";
        return s;
    }

    // The endpoint reference of an object path text: address, resource URI, one selector per
    // key (the raw key value). Empty when the text is not a path with keys.
    std::string EprContent(std::string_view pathText) {
        WmiObjectPath p;
        if (Failed(ParseObjectPath(pathText, p)) || p.className.empty()) return {};
        std::string ns = p.nameSpace.empty() ? defaultNs_ : p.nameSpace;
        std::string out = "<a:Address>" + std::string(kAnonymous) +
                          "</a:Address><a:ReferenceParameters><w:ResourceURI>" +
                          XmlText(ClassUri(ns, p.className)) + "</w:ResourceURI><w:SelectorSet>";
        for (const auto& [k, v] : p.keys)
            out += "<w:Selector Name=\"" + XmlText(k) + "\">" + XmlText(v) + "</w:Selector>";
        out += "</w:SelectorSet></a:ReferenceParameters>";
        return out;
    }

  private:
    void Properties(std::string& out, const WmiObject& obj, const std::string& prefix, bool sort) {
        const auto& props = obj.Definition().Properties();
        std::vector<std::size_t> order(props.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        if (sort) {
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                const auto& x = props[a].name;
                const auto& y = props[b].name;
                return std::lexicographical_compare(
                    x.begin(), x.end(), y.begin(), y.end(), [](char c, char d) {
                        return std::tolower(static_cast<unsigned char>(c)) <
                               std::tolower(static_cast<unsigned char>(d));
                    });
            });
        }
        for (std::size_t i : order) {
            const WmiValue* v = obj.Peek(static_cast<int>(i));
            Property(out, prefix, props[i].name, v ? *v : WmiValue(), props[i].type);
        }
    }

    void Open(std::string& out, const std::string& prefix, const std::string& name,
              std::string_view attrs = {}) {
        out += '<';
        if (!prefix.empty()) out += prefix + ":";
        out += name;
        out += attrs;
        out += '>';
    }
    void Close(std::string& out, const std::string& prefix, const std::string& name) {
        out += "</";
        if (!prefix.empty()) out += prefix + ":";
        out += name;
        out += '>';
    }
    void Nil(std::string& out, const std::string& prefix, const std::string& name) {
        out += '<';
        if (!prefix.empty()) out += prefix + ":";
        out += name + " xsi:nil=\"true\"/>";
    }

    void Property(std::string& out, const std::string& prefix, const std::string& name,
                  const WmiValue& v, CimType type) {
        const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
        if (v.IsEmptyOrNull()) {
            Nil(out, prefix, name);
            return;
        }
        if (v.IsArray()) {
            // Repeated elements; an empty array gives none.
            if (auto a = v.AsBstrArray())
                for (const auto& s : *a) Text(out, prefix, name, s, base);
            else if (auto b = v.AsI4Array())
                for (auto i : *b)
                    Open(out, prefix, name), out += IntegerText(WmiValue::I4(i), base),
                        Close(out, prefix, name);
            else if (auto c = v.AsUI1Array())
                for (auto i : *c)
                    Open(out, prefix, name), out += std::to_string(i), Close(out, prefix, name);
            else if (auto d = v.AsObjectArray())
                for (const auto& o : *d) Embedded(out, prefix, name, o);
            return;
        }
        switch (v.Type()) {
            case VT_BOOL:
                Open(out, prefix, name);
                out += v.AsBool() ? "true" : "false";
                Close(out, prefix, name);
                return;
            case VT_BSTR:
                Text(out, prefix, name, *v.AsBstr(), base);
                return;
            case VT_UNKNOWN:
                Embedded(out, prefix, name, v.AsObject());
                return;
            default:
                Open(out, prefix, name);
                out += IntegerText(v, base);
                Close(out, prefix, name);
        }
    }

    void Text(std::string& out, const std::string& prefix, const std::string& name,
              const std::string& s, CimType base) {
        if (base == CIM_DATETIME) {
            std::string xs;
            bool interval = false;
            if (DmtfToXs(s, xs, interval)) {
                Open(out, prefix, name);
                out += interval ? "<cim:Interval>" : "<cim:Datetime>";
                out += xs;
                out += interval ? "</cim:Interval>" : "</cim:Datetime>";
                Close(out, prefix, name);
                return;
            }
        } else if (base == CIM_REFERENCE) {
            std::string epr = EprContent(s);
            if (!epr.empty()) {
                Open(out, prefix, name,
                     " xmlns:a=\"" + std::string(kAddrNs) + "\" xmlns:w=\"" + kWsmanNs + "\"");
                out += epr;
                Close(out, prefix, name);
                return;
            }
        }
        Open(out, prefix, name);
        out += XmlText(s);
        Close(out, prefix, name);
    }

    // The element form of an embedded instance: the property element typed with the embedded
    // class's _Type, its properties in that class's namespace.
    void Embedded(std::string& out, const std::string& prefix, const std::string& name,
                  const WmiObjectPtr& o) {
        if (!o) {
            Nil(out, prefix, name);
            return;
        }
        std::string ns =
            o->Definition().NameSpace().empty() ? defaultNs_ : o->Definition().NameSpace();
        std::string q = "q" + std::to_string(++depth_);
        const std::string& cls = o->ClassName();
        Open(out, prefix, name,
             " xmlns:" + q + "=\"" + XmlText(ClassUri(ns, cls)) + "\" xsi:type=\"" + q + ":" + cls +
                 "_Type\"");
        Properties(out, *o, q, true);
        Close(out, prefix, name);
        --depth_;
    }

    std::string defaultNs_;
    int depth_ = 0;
};

// ---- reading parameters ------------------------------------------------------------------

// The object path named by an endpoint reference (or a path given as text).
bool EprToPath(xmlNode* epr, const std::string& defaultNs, std::string& path);

bool ParseInteger(std::string_view t, std::int64_t& v) {
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    return ec == std::errc() && p == t.data() + t.size() && !t.empty();
}

}  // namespace

// ---- date-times --------------------------------------------------------------------------

bool DmtfToXs(std::string_view d, std::string& xs, bool& interval) {
    if (d.size() != 25 || d[14] != '.' || !Digits(d, 0, 14) || !Digits(d, 15, 6)) return false;
    char buf[80];
    if (d[21] == ':') {
        interval = true;
        std::snprintf(buf, sizeof buf, "P%dDT%dH%dM%d%sS", Num(d, 0, 8), Num(d, 8, 2),
                      Num(d, 10, 2), Num(d, 12, 2), TrimFraction(d.substr(15, 6)).c_str());
        xs = buf;
        return true;
    }
    if ((d[21] != '+' && d[21] != '-') || !Digits(d, 22, 3)) return false;
    interval = false;
    int offset = Num(d, 22, 3);
    std::snprintf(buf, sizeof buf, "%.4s-%.2s-%.2sT%.2s:%.2s:%.2s%s", d.data(), d.data() + 4,
                  d.data() + 6, d.data() + 8, d.data() + 10, d.data() + 12,
                  TrimFraction(d.substr(15, 6)).c_str());
    xs = buf;
    if (offset == 0) {
        xs += 'Z';
    } else {
        std::snprintf(buf, sizeof buf, "%c%02d:%02d", d[21], offset / 60, offset % 60);
        xs += buf;
    }
    return true;
}

bool XsToDmtf(std::string_view xs, std::string& dmtf) {
    char buf[40];
    if (!xs.empty() && xs[0] == 'P') {
        // PnDTnHnMn[.f]S, every part optional.
        long days = 0, hours = 0, minutes = 0, seconds = 0;
        std::string frac = "000000";
        std::size_t i = 1;
        bool time = false;
        while (i < xs.size()) {
            if (xs[i] == 'T') {
                time = true;
                ++i;
                continue;
            }
            std::size_t start = i;
            while (i < xs.size() && xs[i] >= '0' && xs[i] <= '9') ++i;
            if (i == start || i >= xs.size()) return false;
            long n = std::stol(std::string(xs.substr(start, i - start)));
            char unit = xs[i];
            if (unit == '.') {
                std::size_t fs = ++i;
                while (i < xs.size() && xs[i] >= '0' && xs[i] <= '9') ++i;
                if (i >= xs.size() || xs[i] != 'S') return false;
                std::string f(xs.substr(fs, std::min<std::size_t>(i - fs, 6)));
                frac = f + std::string(6 - f.size(), '0');
                unit = 'S';
            }
            if (unit == 'D' && !time)
                days = n;
            else if (unit == 'H' && time)
                hours = n;
            else if (unit == 'M' && time)
                minutes = n;
            else if (unit == 'S' && time)
                seconds = n;
            else
                return false;
            ++i;
        }
        long total = ((days * 24 + hours) * 60 + minutes) * 60 + seconds;
        std::snprintf(buf, sizeof buf, "%08ld%02ld%02ld%02ld.%s:000", total / 86400,
                      total / 3600 % 24, total / 60 % 60, total % 60, frac.c_str());
        dmtf = buf;
        return true;
    }
    // yyyy-mm-ddThh:mm:ss[.f][Z|±hh:mm]
    if (xs.size() < 19 || !Digits(xs, 0, 4) || xs[4] != '-' || !Digits(xs, 5, 2) || xs[7] != '-' ||
        !Digits(xs, 8, 2) || xs[10] != 'T' || !Digits(xs, 11, 2) || xs[13] != ':' ||
        !Digits(xs, 14, 2) || xs[16] != ':' || !Digits(xs, 17, 2))
        return false;
    std::size_t i = 19;
    std::string frac = "000000";
    if (i < xs.size() && xs[i] == '.') {
        std::size_t fs = ++i;
        while (i < xs.size() && xs[i] >= '0' && xs[i] <= '9') ++i;
        if (i == fs) return false;
        std::string f(xs.substr(fs, std::min<std::size_t>(i - fs, 6)));
        frac = f + std::string(6 - f.size(), '0');
    }
    char sign = '+';
    int offset = 0;
    if (i < xs.size()) {
        if (xs[i] == 'Z' && i + 1 == xs.size()) {
        } else if ((xs[i] == '+' || xs[i] == '-') && i + 6 == xs.size() && Digits(xs, i + 1, 2) &&
                   xs[i + 3] == ':' && Digits(xs, i + 4, 2)) {
            sign = xs[i];
            offset = Num(xs, i + 1, 2) * 60 + Num(xs, i + 4, 2);
        } else {
            return false;
        }
    }
    std::snprintf(buf, sizeof buf, "%.4s%.2s%.2s%.2s%.2s%.2s.%s%c%03d", xs.data(), xs.data() + 5,
                  xs.data() + 8, xs.data() + 11, xs.data() + 14, xs.data() + 17, frac.c_str(), sign,
                  offset);
    dmtf = buf;
    return true;
}

// ---- the request -------------------------------------------------------------------------

class SoapService::Request {
  public:
    ~Request() {
        if (doc) xmlFreeDoc(doc);
    }

    // False when the text is not a SOAP 1.2 envelope this server can read.
    bool Parse(std::string_view text) {
        if (text.size() > 16 * 1024 * 1024) return false;
        doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "request.xml", nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!doc || doc->intSubset) return false;  // no document type declarations
        xmlNode* env = xmlDocGetRootElement(doc);
        if (!Is(env, kSoapNs, "Envelope")) return false;
        header = Child(env, kSoapNs, "Header");
        body = Child(env, kSoapNs, "Body");
        if (!body) return false;
        action = Trim(Content(Child(header, kAddrNs, "Action")));
        messageId = Trim(Content(Child(header, kAddrNs, "MessageID")));
        resourceUri = Trim(Content(Child(header, kWsmanNs, "ResourceURI")));
        if (xmlNode* m = Child(header, kWsmanNs, "MaxEnvelopeSize")) {
            std::int64_t v = 0;
            if (!ParseInteger(Trim(Content(m)), v) || v <= 0) v = 0;
            maxEnvelope = static_cast<std::size_t>(v);
            hasMaxEnvelope = true;
        }
        if (xmlNode* set = Child(header, kWsmanNs, "SelectorSet")) {
            for (xmlNode* s : Elements(set)) {
                if (!Is(s, kWsmanNs, "Selector")) continue;
                xmlNode* inner = FirstElement(s);
                std::string value;
                if (inner && Is(inner, kAddrNs, "EndpointReference")) {
                    EprToPath(inner, {}, value);
                } else {
                    value = Trim(Content(s));
                }
                selectors.emplace_back(Attr(s, "Name"), value);
            }
        }
        return true;
    }

    xmlDoc* doc = nullptr;
    xmlNode* header = nullptr;
    xmlNode* body = nullptr;
    std::string action;
    std::string messageId;
    std::string resourceUri;
    std::size_t maxEnvelope = 0;
    bool hasMaxEnvelope = false;
    std::vector<std::pair<std::string, std::string>> selectors;
};

namespace {

bool EprToPath(xmlNode* epr, const std::string& defaultNs, std::string& path) {
    xmlNode* params = Child(epr, kAddrNs, "ReferenceParameters");
    if (!params) return false;
    std::string ns, cls;
    if (!SplitResourceUri(Trim(Content(Child(params, kWsmanNs, "ResourceURI"))), ns, cls))
        return false;
    std::vector<std::pair<std::string, std::string>> keys;
    for (xmlNode* s : Elements(Child(params, kWsmanNs, "SelectorSet"))) {
        if (!Is(s, kWsmanNs, "Selector")) continue;
        std::string name = Attr(s, "Name");
        if (IEquals(name, "__cimnamespace")) {
            ns = Trim(Content(s));
            std::replace(ns.begin(), ns.end(), '/', '\\');
            continue;
        }
        keys.emplace_back(name, Content(s));
    }
    if (ns.empty()) ns = defaultNs;
    path = ns + ":" + cls;
    char sep = '.';
    for (const auto& [k, v] : keys) {
        path += sep;
        sep = ',';
        path += k + "=" + QuotePathValue(v);
    }
    return true;
}

// Builds "ns:Class.Key=\"v\",..." from selectors, checking them against the class's keys.
// Empty `fault` when the selectors name exactly the keys.
std::string PathFromSelectors(const std::string& ns, const WmiClassDef& def,
                              std::vector<std::pair<std::string, std::string>> selectors,
                              FaultSpec& fault, bool& faulted) {
    faulted = false;
    std::string path = ns + ":" + def.Name();
    std::vector<std::string> keys;
    for (const auto& p : def.Properties())
        if (p.key) keys.push_back(p.name);
    for (const auto& [name, value] : selectors) {
        if (IEquals(name, "__cimnamespace")) continue;
        int idx = def.Find(name);
        if (idx < 0 || !def.Properties()[static_cast<std::size_t>(idx)].key) {
            fault = Simple(kActWsmanFault, "w:InvalidSelectors",
                           "The WS-Management service cannot process the request because the "
                           "request contained invalid selectors for the resource. ",
                           kWsmanUnexpectedSelectors, "UnexpectedSelectors");
            faulted = true;
            return {};
        }
    }
    char sep = '.';
    for (const auto& key : keys) {
        auto it = std::find_if(selectors.begin(), selectors.end(),
                               [&](const auto& s) { return IEquals(s.first, key); });
        if (it == selectors.end()) {
            fault = Simple(kActWsmanFault, "w:InvalidSelectors",
                           "The WS-Management service cannot process the request because the "
                           "request contained invalid selectors for the resource. ",
                           kWsmanInsufficientSelectors, "InsufficientSelectors");
            faulted = true;
            return {};
        }
        const auto type = def.Properties()[static_cast<std::size_t>(def.Find(key))].type;
        path += sep;
        sep = ',';
        path += key + "=";
        std::int64_t n = 0;
        bool numeric = type != CIM_STRING && type != CIM_DATETIME && type != CIM_REFERENCE &&
                       type != CIM_CHAR16 && type != CIM_BOOLEAN;
        if (numeric && ParseInteger(it->second, n))
            path += it->second;
        else
            path += QuotePathValue(it->second);
    }
    return path;
}

// The class named by an element-form embedded instance: its xsi:type "<prefix>:Class_Type" or
// the resource URI of its namespace. Sets the element whose children are the properties.
bool EmbeddedClass(xmlNode* element, std::string& ns, std::string& cls, xmlNode*& propsParent) {
    propsParent = element;
    std::string type = Trim(Attr(element, "type", kXsiNs));
    auto kids = Elements(element);
    if (type.empty() && kids.size() == 1) {
        // <p:Prop><q:Class xmlns:q=".../Class">...</q:Class></p:Prop>
        xmlNode* inner = kids[0];
        std::string innerNs, innerCls;
        if (SplitResourceUri(NsHref(inner), innerNs, innerCls) &&
            IEquals(innerCls, LocalName(inner))) {
            propsParent = inner;
            element = inner;
            type = Trim(Attr(inner, "type", kXsiNs));
            if (type.empty()) {
                ns = innerNs;
                cls = innerCls;
                return true;
            }
        }
    }
    if (!type.empty()) {
        std::string prefix, local = type;
        if (auto colon = type.find(':'); colon != std::string::npos) {
            prefix = type.substr(0, colon);
            local = type.substr(colon + 1);
        }
        if (local.size() > 5 && local.compare(local.size() - 5, 5, "_Type") == 0)
            local.resize(local.size() - 5);
        cls = local;
        xmlNs* x =
            xmlSearchNs(element->doc, element, prefix.empty() ? nullptr : BAD_CAST prefix.c_str());
        std::string uriCls;
        if (x && x->href) SplitResourceUri(reinterpret_cast<const char*>(x->href), ns, uriCls);
        return !cls.empty();
    }
    // Properties only: the class from their namespace.
    for (xmlNode* k : Elements(propsParent))
        if (SplitResourceUri(NsHref(k), ns, cls)) return true;
    return false;
}

}  // namespace

// ---- the service -------------------------------------------------------------------------

namespace {

// Reads one value of CIM type `base` from an element; false when it does not convert.
class ParamReader {
  public:
    ParamReader(WmiLocatorPtr locator, std::string ns)
        : locator_(std::move(locator)), ns_(std::move(ns)) {}

    bool Scalar(xmlNode* e, CimType base, WmiValue& out) {
        if (IsNil(e)) {
            out = WmiValue::Null();
            return true;
        }
        if (base == CIM_OBJECT) {
            WmiObjectPtr o;
            if (!Embedded(e, o)) return false;
            out = WmiValue::Object(o);
            return true;
        }
        if (base == CIM_REFERENCE) {
            std::string path;
            if (FirstElement(e)) {
                if (!EprToPath(e, ns_, path)) return false;
            } else {
                path = Trim(Content(e));
            }
            out = WmiValue::Bstr(path);
            return true;
        }
        if (base == CIM_DATETIME) {
            xmlNode* inner = FirstElement(e);
            std::string text = Trim(Content(inner ? inner : e)), dmtf;
            std::string xs;
            bool interval = false;
            if (DmtfToXs(text, xs, interval)) {
                // Already in the DMTF form: taken as it is.
            } else if (inner || text.find('T') != std::string::npos ||
                       (!text.empty() && text[0] == 'P')) {
                if (!XsToDmtf(text, dmtf)) return false;
                text = dmtf;
            }
            out = WmiValue::Bstr(text);
            return true;
        }
        if (base == CIM_STRING || base == CIM_CHAR16) {
            if (FirstElement(e)) {
                // An embedded instance in element form where the method takes it as text.
                WmiObjectPtr o;
                if (!Embedded(e, o)) return false;
                out = WmiValue::Bstr(RenderCimXml(*o));
            } else {
                out = WmiValue::Bstr(Content(e));
            }
            return true;
        }
        std::string t = Trim(Content(e));
        if (base == CIM_BOOLEAN) {
            if (t == "true" || t == "1")
                out = WmiValue::Bool(true);
            else if (t == "false" || t == "0")
                out = WmiValue::Bool(false);
            else
                return false;
            return true;
        }
        if (base == CIM_SINT64 || base == CIM_UINT64) {
            std::int64_t n = 0;
            std::uint64_t u = 0;
            auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), u);
            bool okU = ec == std::errc() && p == t.data() + t.size() && !t.empty();
            if (!(base == CIM_UINT64 ? okU : ParseInteger(t, n))) return false;
            out = WmiValue::Bstr(t);
            return true;
        }
        std::int64_t n = 0;
        if (!ParseInteger(t, n)) return false;
        const std::int64_t lo = base == CIM_SINT8    ? -128
                                : base == CIM_SINT16 ? -32768
                                : base == CIM_SINT32 ? INT32_MIN
                                                     : 0;
        const std::int64_t hi = base == CIM_SINT8    ? 127
                                : base == CIM_UINT8  ? 255
                                : base == CIM_SINT16 ? 32767
                                : base == CIM_UINT16 ? 65535
                                : base == CIM_SINT32 ? INT32_MAX
                                                     : UINT32_MAX;
        if (n < lo || n > hi) return false;
        out = base == CIM_UINT8 ? WmiValue::UI1(static_cast<std::uint8_t>(n))
                                : WmiValue::I4(static_cast<std::int32_t>(n));
        return true;
    }

    bool Array(const std::vector<xmlNode*>& elements, CimType base, WmiValue& out) {
        std::vector<WmiValue> items;
        for (xmlNode* e : elements) {
            WmiValue v;
            if (!Scalar(e, base, v)) return false;
            if (v.IsEmptyOrNull()) {
                if (elements.size() == 1) {
                    out = WmiValue::Null();
                    return true;
                }
                return false;
            }
            items.push_back(std::move(v));
        }
        if (base == CIM_UINT8) {
            std::vector<std::uint8_t> a;
            for (auto& v : items) a.push_back(static_cast<std::uint8_t>(v.AsInt32()));
            out = WmiValue::UI1Array(std::move(a));
        } else if (base == CIM_OBJECT) {
            std::vector<WmiObjectPtr> a;
            for (auto& v : items) a.push_back(v.AsObject());
            out = WmiValue::ObjectArray(std::move(a));
        } else if (base == CIM_BOOLEAN || base == CIM_SINT8 || base == CIM_SINT16 ||
                   base == CIM_UINT16 || base == CIM_SINT32 || base == CIM_UINT32) {
            std::vector<std::int32_t> a;
            for (auto& v : items) a.push_back(v.AsInt32());
            out = WmiValue::I4Array(std::move(a));
        } else {
            std::vector<std::string> a;
            for (auto& v : items) a.push_back(*v.AsBstr());
            out = WmiValue::BstrArray(std::move(a));
        }
        return true;
    }

    bool Embedded(xmlNode* e, WmiObjectPtr& out) {
        if (++depth_ > 8) return false;
        std::string ns, cls;
        xmlNode* propsParent = nullptr;
        bool ok = EmbeddedClass(e, ns, cls, propsParent) &&
                  Fill(ns.empty() ? ns_ : ns, cls, propsParent, out);
        --depth_;
        return ok;
    }

  private:
    bool Fill(const std::string& ns, const std::string& cls, xmlNode* propsParent,
              WmiObjectPtr& out) {
        WmiServicesPtr services;
        WmiObjectPtr classObject;
        if (Failed(locator_->ConnectServer(ns, {}, {}, services)) ||
            Failed(services->GetObject(cls, classObject)) ||
            Failed(classObject->SpawnInstance(out)))
            return false;
        const WmiClassDef& def = out->Definition();
        std::map<int, std::vector<xmlNode*>> byProperty;
        for (xmlNode* k : Elements(propsParent)) {
            int idx = def.Find(LocalName(k));
            if (idx < 0) return false;
            byProperty[idx].push_back(k);
        }
        for (const auto& [idx, elements] : byProperty) {
            const CimType type = def.Properties()[static_cast<std::size_t>(idx)].type;
            const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
            WmiValue v;
            bool ok = (type & CIM_FLAG_ARRAY)
                          ? Array(elements, base, v)
                          : elements.size() == 1 && Scalar(elements[0], base, v);
            if (!ok) return false;
            out->Set(idx, std::move(v));
        }
        return true;
    }

    WmiLocatorPtr locator_;
    std::string ns_;
    int depth_ = 0;
};

}  // namespace

SoapService::SoapService(WmiLocatorPtr locator, SoapLimits limits)
    : locator_(std::move(locator)), limits_(limits) {}

std::size_t SoapService::OpenEnumerations() {
    std::lock_guard lock(mu_);
    PurgeExpiredLocked();
    return enumerations_.size();
}

void SoapService::PurgeExpiredLocked() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = enumerations_.begin(); it != enumerations_.end();) {
        if (now - it->second.lastUse >= limits_.enumerationExpiry)
            it = enumerations_.erase(it);
        else
            ++it;
    }
}

int SoapService::OperationsLocked(const std::string& user) const {
    int n = 0;
    if (auto it = inFlight_.find(user); it != inFlight_.end()) n += it->second;
    for (const auto& [id, e] : enumerations_)
        if (e.user == user) ++n;
    return n;
}

SoapReply SoapService::Handle(std::string_view text, const std::string& user) {
    Request rq;
    if (!rq.Parse(text)) {
        FaultSpec f = Simple(kActWsmanFault, "w:SchemaValidationError",
                             "The SOAP XML in the message does not match the corresponding XML "
                             "schema definition. Change the XML and retry. ",
                             kWsmanSchemaValidation);
        return MakeFault(f, {}, "");
    }
    const bool isIdentify = rq.action.empty() && Is(FirstElement(rq.body), kIdentityNs, "Identify");
    if (isIdentify) return Identify(rq);
    // New operations count against the user's quota while they run; Pull and Release work on
    // a context that already counts, and must stay possible at the limit.
    const bool counted = rq.action != kActPull && rq.action != kActRelease;
    if (counted) {
        std::lock_guard lock(mu_);
        PurgeExpiredLocked();
        if (OperationsLocked(user) >= limits_.maxOperationsPerUser) {
            FaultSpec f;
            f.subcode = "w:QuotaLimit";
            f.reason =
                "The WS-Management service cannot process the request. This user is "
                "allowed a maximum number of " +
                std::to_string(limits_.maxOperationsPerUser) +
                " concurrent operations, which has been exceeded. Close existing "
                "operations for this user, or raise the quota for this user. ";
            f.wmiError = true;
            f.wmiCode = kWsmanQuotaLimit;
            f.cimStatus = 27;
            return MakeFault(f, rq.messageId, rq.action);
        }
        ++inFlight_[user];
    }
    SoapReply reply = Dispatch(rq, user);
    if (counted) {
        std::lock_guard lock(mu_);
        if (--inFlight_[user] <= 0) inFlight_.erase(user);
    }
    return reply;
}

SoapReply SoapService::Dispatch(Request& rq, const std::string& user) {
    if (rq.hasMaxEnvelope && rq.maxEnvelope < kMinEnvelopeSize) {
        return MakeFault(Simple(kActWsmanFault, "w:EncodingLimit",
                                "The WS-Management service cannot process the request because "
                                "the MaxEnvelopeSize in the request is too small. ",
                                kWsmanMaxEnvelopeSize, "MinimumEnvelopeLimit"),
                         rq.messageId, rq.action);
    }
    if (rq.action == kActEnumerate) return Enumerate(rq, user);
    if (rq.action == kActPull) return Pull(rq, user);
    if (rq.action == kActRelease) return Release(rq, user);
    if (rq.action == kActGet) return Get(rq);
    if (!rq.resourceUri.empty() && rq.action.size() > rq.resourceUri.size() + 1 &&
        IEquals(std::string_view(rq.action).substr(0, rq.resourceUri.size()), rq.resourceUri) &&
        rq.action[rq.resourceUri.size()] == '/')
        return Invoke(rq);
    return MakeFault(Simple(kActAddrFault, "a:ActionNotSupported",
                            "The WS-Management service cannot process the request because the "
                            "action is not supported. "),
                     rq.messageId, rq.action);
}

SoapReply SoapService::Identify(Request& rq) {
    std::string body =
        "<s:Envelope xml:lang=\"en-US\" xmlns:s=\"" + std::string(kSoapNs) +
        "\"><s:Header/><s:Body><wsmid:IdentifyResponse xmlns:wsmid=\"" + kIdentityNs +
        "\"><wsmid:ProtocolVersion>" + kWsmanNs +
        "</wsmid:ProtocolVersion><wsmid:ProductVendor>Microsoft Corporation</"
        "wsmid:ProductVendor><wsmid:ProductVersion>OS: 10.0.20348 SP: 0.0 Stack: "
        "3.0</wsmid:ProductVersion><wsmid:SecurityProfiles><wsmid:SecurityProfileName>"
        "http://schemas.dmtf.org/wbem/wsman/1/wsman/secprofile/https/basic</"
        "wsmid:SecurityProfileName></wsmid:SecurityProfiles></wsmid:IdentifyResponse></s:Body></"
        "s:Envelope>";
    (void)rq;
    return {200, "Identify", std::move(body)};
}

namespace {

std::size_t EffectiveLimit(std::size_t server, bool has, std::size_t requested) {
    return has && requested < server ? requested : server;
}

}  // namespace

std::size_t SoapService::TakeItems(Enumeration& e, std::size_t maxElements, std::size_t room,
                                   std::string& items) {
    std::size_t taken = 0;
    Renderer r(e.nameSpace);
    while (e.next < e.objects.size() && taken < maxElements) {
        const WmiObject& o = *e.objects[e.next];
        std::string item = e.fragments ? r.Fragment(o) : r.Instance(o);
        if (e.withEpr && !e.fragments) {
            std::string epr = r.EprContent(o.Path());
            item = "<w:Item>" + item + "<a:EndpointReference>" + epr +
                   "</a:EndpointReference></w:Item>";
        }
        if (items.size() + item.size() > room) break;
        items += item;
        ++e.next;
        ++taken;
    }
    return taken;
}

SoapReply SoapService::Enumerate(Request& rq, const std::string& user) {
    xmlNode* en = Child(rq.body, kEnumNs, "Enumerate");
    if (!en) {
        return MakeFault(
            Simple(kActWsmanFault, "w:SchemaValidationError",
                   "The Enumerate request has no n:Enumerate body. ", kWsmanSchemaValidation),
            rq.messageId, rq.action);
    }
    std::string ns, cls;
    if (!SplitResourceUri(rq.resourceUri, ns, cls)) {
        return MakeFault(InvalidResourceUriFault(), rq.messageId, rq.action);
    }
    std::string wql;
    if (xmlNode* filter = Child(en, kWsmanNs, "Filter")) {
        if (Trim(Attr(filter, "Dialect")) != kWqlDialect) {
            return MakeFault(Simple(kActEnumFault, "n:FilterDialectRequestedUnavailable",
                                    "The requested filtering dialect is not supported. "),
                             rq.messageId, rq.action);
        }
        wql = Trim(Content(filter));
    } else if (cls != "*") {
        wql = "select * from " + cls;
    } else {
        return MakeFault(
            Simple(kActEnumFault, "n:CannotProcessFilter",
                   "An enumeration of '*' needs a WQL filter. ", kWsmanCannotProcessFilter),
            rq.messageId, rq.action);
    }
    const bool optimize = Child(en, kWsmanNs, "OptimizeEnumeration") != nullptr;
    std::size_t maxElements = 1;
    if (xmlNode* m = Child(en, kWsmanNs, "MaxElements")) {
        std::int64_t v = 0;
        if (ParseInteger(Trim(Content(m)), v) && v > 0) maxElements = static_cast<std::size_t>(v);
    }
    const bool withEpr =
        Trim(Content(Child(en, kWsmanNs, "EnumerationMode"))) == "EnumerateObjectAndEPR";

    WmiServicesPtr services;
    if (HResult hr = locator_->ConnectServer(ns, {}, {}, services); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Enumerate), rq.messageId, rq.action);
    WmiEnumeratorPtr it;
    if (HResult hr = services->ExecQuery(wql, it); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Enumerate), rq.messageId, rq.action);
    Enumeration e;
    e.user = user;
    e.nameSpace = ns;
    e.withEpr = withEpr;
    {
        WqlQuery q;
        e.fragments =
            Succeeded(ParseWql(wql, q)) && q.kind == WqlQuery::Kind::Select && !q.selectAll;
    }
    for (;;) {
        WmiObjectPtr o;
        HResult hr = it->Next(kWbemInfinite, o);
        if (hr == kSFalse || (hr == kSOk && !o)) break;
        if (hr != kSOk) return MakeFault(WmiFault(hr, Op::Enumerate), rq.messageId, rq.action);
        e.objects.push_back(std::move(o));
    }
    e.lastUse = std::chrono::steady_clock::now();

    const std::size_t limit =
        EffectiveLimit(limits_.maxEnvelopeSize, rq.hasMaxEnvelope, rq.maxEnvelope);
    std::string items;
    if (optimize) {
        const std::size_t overhead = Envelope(kActEnumerate, rq.messageId, "").size() + 400;
        const std::size_t room = limit > overhead ? limit - overhead : 0;
        if (TakeItems(e, maxElements, room, items) == 0 && e.next < e.objects.size())
            return MakeFault(EnvelopeExceededFault(), rq.messageId, rq.action);
    }
    std::string body = "<n:EnumerateResponse>";
    const bool done = optimize && e.next >= e.objects.size();
    if (done) {
        body += "<n:EnumerationContext></n:EnumerationContext>";
    } else {
        std::string id = NewUuid();
        body += "<n:EnumerationContext>" + id + "</n:EnumerationContext>";
        std::lock_guard lock(mu_);
        enumerations_.emplace(id, std::move(e));
    }
    if (optimize) {
        body += "<w:Items>" + items + "</w:Items>";
        if (done) body += "<w:EndOfSequence/>";
    }
    body += "</n:EnumerateResponse>";
    return {200, rq.action,
            Envelope("http://schemas.xmlsoap.org/ws/2004/09/enumeration/EnumerateResponse",
                     rq.messageId, body)};
}

SoapReply SoapService::Pull(Request& rq, const std::string& user) {
    xmlNode* pull = Child(rq.body, kEnumNs, "Pull");
    std::string id = Trim(Content(Child(pull, kEnumNs, "EnumerationContext")));
    std::size_t maxElements = 1;
    if (xmlNode* m = Child(pull, kEnumNs, "MaxElements")) {
        std::int64_t v = 0;
        if (ParseInteger(Trim(Content(m)), v) && v > 0) maxElements = static_cast<std::size_t>(v);
    }
    const std::size_t limit =
        EffectiveLimit(limits_.maxEnvelopeSize, rq.hasMaxEnvelope, rq.maxEnvelope);
    std::lock_guard lock(mu_);
    PurgeExpiredLocked();
    auto found = enumerations_.find(id);
    if (found == enumerations_.end() || found->second.user != user) {
        return MakeFault(InvalidContextFault(), rq.messageId, rq.action);
    }
    Enumeration& e = found->second;
    e.lastUse = std::chrono::steady_clock::now();
    const std::size_t overhead = Envelope(kActPull, rq.messageId, "").size() + 400 + id.size();
    const std::size_t room = limit > overhead ? limit - overhead : 0;
    std::string items;
    if (TakeItems(e, maxElements, room, items) == 0 && e.next < e.objects.size()) {
        return MakeFault(EnvelopeExceededFault(), rq.messageId, rq.action);
    }
    std::string body = "<n:PullResponse>";
    const bool done = e.next >= e.objects.size();
    if (!done) body += "<n:EnumerationContext>" + id + "</n:EnumerationContext>";
    body += "<n:Items>" + items + "</n:Items>";
    if (done) {
        body += "<n:EndOfSequence/>";
        enumerations_.erase(found);
    }
    body += "</n:PullResponse>";
    return {200, rq.action,
            Envelope("http://schemas.xmlsoap.org/ws/2004/09/enumeration/PullResponse", rq.messageId,
                     body)};
}

SoapReply SoapService::Release(Request& rq, const std::string& user) {
    std::string id =
        Trim(Content(Child(Child(rq.body, kEnumNs, "Release"), kEnumNs, "EnumerationContext")));
    std::lock_guard lock(mu_);
    PurgeExpiredLocked();
    auto found = enumerations_.find(id);
    if (found == enumerations_.end() || found->second.user != user) {
        return MakeFault(InvalidContextFault(), rq.messageId, rq.action);
    }
    enumerations_.erase(found);
    return {200, rq.action,
            Envelope("http://schemas.xmlsoap.org/ws/2004/09/enumeration/ReleaseResponse",
                     rq.messageId, "")};
}

namespace {

SoapReply LimitReply(SoapReply reply, std::size_t limit, const std::string& relatesTo,
                     const std::string& action) {
    if (reply.body.size() <= limit) return reply;
    return MakeFault(EnvelopeExceededFault(), relatesTo, action);
}

}  // namespace

SoapReply SoapService::Get(Request& rq) {
    std::string ns, cls;
    if (!SplitResourceUri(rq.resourceUri, ns, cls) || cls == "*") {
        return MakeFault(InvalidResourceUriFault(), rq.messageId, rq.action);
    }
    WmiServicesPtr services;
    if (HResult hr = locator_->ConnectServer(ns, {}, {}, services); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Get), rq.messageId, rq.action);
    WmiObjectPtr classObject;
    if (HResult hr = services->GetObject(cls, classObject); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Get), rq.messageId, rq.action);
    FaultSpec fault;
    bool faulted = false;
    std::string path =
        PathFromSelectors(ns, classObject->Definition(), rq.selectors, fault, faulted);
    if (faulted) return MakeFault(fault, rq.messageId, rq.action);
    WmiObjectPtr obj;
    if (HResult hr = services->GetObject(path, obj); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Get), rq.messageId, rq.action);
    Renderer r(ns);
    SoapReply reply{200, rq.action,
                    Envelope("http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse",
                             rq.messageId, r.Instance(*obj))};
    return LimitReply(std::move(reply),
                      EffectiveLimit(limits_.maxEnvelopeSize, rq.hasMaxEnvelope, rq.maxEnvelope),
                      rq.messageId, rq.action);
}

SoapReply SoapService::Invoke(Request& rq) {
    std::string ns, cls;
    if (!SplitResourceUri(rq.resourceUri, ns, cls) || cls == "*") {
        return MakeFault(InvalidResourceUriFault(), rq.messageId, rq.action);
    }
    const std::string method = rq.action.substr(rq.resourceUri.size() + 1);
    WmiServicesPtr services;
    if (HResult hr = locator_->ConnectServer(ns, {}, {}, services); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Invoke), rq.messageId, rq.action);
    WmiObjectPtr classObject;
    if (HResult hr = services->GetObject(cls, classObject); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Invoke), rq.messageId, rq.action);
    const WmiMethodDef* m = classObject->Definition().FindMethod(method);
    if (!m) return MakeFault(WmiFault(kWbemEInvalidMethod, Op::Invoke), rq.messageId, rq.action);

    // The parameters, read by the method's signature.
    WmiObjectPtr in = m->in ? WmiObject::MakeInstance(m->in) : nullptr;
    xmlNode* input = FirstElement(rq.body);
    if (input && LocalName(input) != m->name + "_INPUT") {
        return MakeFault(Simple(kActWsmanFault, "w:SchemaValidationError",
                                "The body of the Invoke request is not the method's _INPUT "
                                "element. ",
                                kWsmanSchemaValidation),
                         rq.messageId, rq.action);
    }
    if (input && in) {
        ParamReader reader(locator_, ns);
        std::map<int, std::vector<xmlNode*>> byParam;
        for (xmlNode* p : Elements(input)) {
            int idx = in->Definition().Find(LocalName(p));
            if (idx < 0)
                return MakeFault(WmiFault(kWbemEInvalidParameter, Op::Invoke), rq.messageId,
                                 rq.action);
            byParam[idx].push_back(p);
        }
        for (const auto& [idx, elements] : byParam) {
            const CimType type = in->Definition().Properties()[static_cast<std::size_t>(idx)].type;
            const auto base = static_cast<CimType>(type & ~CIM_FLAG_ARRAY);
            WmiValue v;
            bool ok = (type & CIM_FLAG_ARRAY)
                          ? reader.Array(elements, base, v)
                          : elements.size() == 1 && reader.Scalar(elements[0], base, v);
            if (!ok)
                return MakeFault(WmiFault(kWbemEInvalidParameter, Op::Invoke), rq.messageId,
                                 rq.action);
            in->Set(idx, std::move(v));
        }
    }
    std::string path = cls;
    if (!rq.selectors.empty()) {
        FaultSpec fault;
        bool faulted = false;
        path = PathFromSelectors(ns, classObject->Definition(), rq.selectors, fault, faulted);
        if (faulted) return MakeFault(fault, rq.messageId, rq.action);
    }
    WmiObjectPtr out;
    if (HResult hr = services->ExecMethod(path, m->name, in, out); Failed(hr))
        return MakeFault(WmiFault(hr, Op::Invoke), rq.messageId, rq.action);
    Renderer r(ns);
    std::string body =
        out ? r.Output(*out, rq.resourceUri, m->name)
            : "<p:" + m->name + "_OUTPUT xmlns:p=\"" + XmlText(rq.resourceUri) + "\"/>";
    SoapReply reply{200, rq.action, Envelope(rq.action + "Response", rq.messageId, body)};
    return LimitReply(std::move(reply),
                      EffectiveLimit(limits_.maxEnvelopeSize, rq.hasMaxEnvelope, rq.maxEnvelope),
                      rq.messageId, rq.action);
}

}  // namespace hbr::wsmantest
