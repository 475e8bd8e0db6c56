#include "hyperv/providers/wsman/wsman_messages.h"

#include "hyperv/wmi/xml_text.h"

#include <openssl/rand.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace hbr::wsman {

namespace {

constexpr std::string_view kEnvelopeOpen =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
    " xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\""
    " xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:cim=\"http://schemas.dmtf.org/wbem/wscim/1/common\">";

std::string Header(const RequestHeader& h, std::string_view action) {
    std::string out(kEnvelopeOpen);
    out += "<s:Header><a:To>" + XmlText(h.to) + "</a:To>";
    out +=
        "<w:ResourceURI s:mustUnderstand=\"true\">" + XmlText(h.resourceUri) + "</w:ResourceURI>";
    out += "<a:ReplyTo><a:Address s:mustUnderstand=\"true\">";
    out += kAnonymous;
    out += "</a:Address></a:ReplyTo>";
    out += "<a:Action s:mustUnderstand=\"true\">" + XmlText(action) + "</a:Action>";
    out += "<w:MaxEnvelopeSize s:mustUnderstand=\"true\">" + std::to_string(h.maxEnvelopeSize) +
           "</w:MaxEnvelopeSize>";
    out += "<a:MessageID>" + XmlText(h.messageId.empty() ? NewMessageId() : h.messageId) +
           "</a:MessageID>";
    out += "<w:Locale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>";
    if (!h.selectors.empty()) {
        out += "<w:SelectorSet>";
        for (const auto& [name, value] : h.selectors)
            out += "<w:Selector Name=\"" + XmlText(name) + "\">" + XmlText(value) +
                   "</w:Selector>";
        out += "</w:SelectorSet>";
    }
    out += "<w:OperationTimeout>PT" + std::to_string(h.operationTimeout.count()) +
           ".000S</w:OperationTimeout></s:Header>";
    return out;
}

std::string ClassOfType(std::string_view xsiType) {
    if (const auto colon = xsiType.find(':'); colon != std::string_view::npos)
        xsiType.remove_prefix(colon + 1);
    if (xsiType.size() > 5 && xsiType.substr(xsiType.size() - 5) == "_Type")
        xsiType.remove_suffix(5);
    return std::string(xsiType);
}

std::string LastSegment(std::string_view uri) {
    const auto slash = uri.rfind('/');
    return std::string(slash == std::string_view::npos ? uri : uri.substr(slash + 1));
}

bool ParseCode(std::string_view text, std::uint32_t& out) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    if (text.empty()) return false;
    long long v = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

Instance ReadProperties(const XmlElement& element, const std::string& propertyNs);

WireValue ReadValue(const XmlElement& e) {
    WireValue v;
    if (const XmlElement* dt = e.Child(kNsCimCommon, "Datetime")) {
        v.kind = WireValue::Kind::Datetime;
        v.text = dt->TrimmedText();
    } else if (const XmlElement* iv = e.Child(kNsCimCommon, "Interval")) {
        v.kind = WireValue::Kind::Interval;
        v.text = iv->TrimmedText();
    } else if (const XmlElement* d = e.Child(kNsCimCommon, "Date")) {
        v.kind = WireValue::Kind::Datetime;
        v.text = d->TrimmedText();
    } else if (e.Child(kNsAddressing, "ReferenceParameters") || e.Child(kNsAddressing, "Address")) {
        v.kind = WireValue::Kind::Reference;
        if (const XmlElement* rp = e.Child(kNsAddressing, "ReferenceParameters")) {
            if (const XmlElement* uri = rp->Child(kNsWsman, "ResourceURI"))
                v.reference.resourceUri = uri->TrimmedText();
            if (const XmlElement* set = rp->Child(kNsWsman, "SelectorSet"))
                for (const auto& sel : set->children) {
                    if (!sel.Is(kNsWsman, "Selector")) continue;
                    const std::string* name = sel.Attribute({}, "Name");
                    v.reference.selectors.emplace_back(name ? *name : std::string{},
                                                       sel.TrimmedText());
                }
        }
    } else if (!e.children.empty()) {
        v.kind = WireValue::Kind::Instance;
        // An embedded instance: its properties are in its own class's namespace.
        v.instance = std::make_shared<Instance>(ReadProperties(e, e.children.front().ns));
        v.instance->className.clear();
        if (const std::string* type = e.Attribute(kNsXsi, "type"))
            v.instance->className = ClassOfType(*type);
        v.instance->resourceUri = e.children.front().ns;
        if (v.instance->className.empty())
            v.instance->className = LastSegment(v.instance->resourceUri);
    } else {
        v.text = e.text;
    }
    return v;
}

void FindFaults(const XmlElement& e, int depth, const XmlElement*& deepest, int& deepestDepth) {
    for (const auto& c : e.children) {
        if (c.Is(kNsWsmanFault, "WSManFault") && depth > deepestDepth) {
            deepest = &c;
            deepestDepth = depth;
        }
        FindFaults(c, depth + 1, deepest, deepestDepth);
    }
}

}  // namespace

const Property* Instance::Find(std::string_view name) const {
    for (const auto& p : properties) {
        if (p.name.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(p.name[i])) ==
                   std::tolower(static_cast<unsigned char>(name[i]));
        if (same) return &p;
    }
    return nullptr;
}

std::string NewMessageId() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        static std::atomic<unsigned long long> counter{0};
        const unsigned long long n = ++counter;
        for (int i = 0; i < 16; ++i) b[i] = static_cast<unsigned char>(n >> ((i % 8) * 8));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[64];
    std::snprintf(text, sizeof text,
                  "uuid:%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string BuildIdentify() {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
           " xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
           "<s:Header/><s:Body><wsmid:Identify/></s:Body></s:Envelope>";
}

std::string BuildEnumerateWql(const RequestHeader& header, std::string_view wql,
                              unsigned maxElements) {
    std::string out = Header(header, "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate");
    out += "<s:Body><n:Enumerate><w:OptimizeEnumeration/><w:MaxElements>" +
           std::to_string(maxElements) + "</w:MaxElements><w:Filter Dialect=\"";
    out += kWqlDialect;
    out += "\">" + XmlText(wql) + "</w:Filter></n:Enumerate></s:Body></s:Envelope>";
    return out;
}

std::string BuildPull(const RequestHeader& header, std::string_view context, unsigned maxElements) {
    std::string out = Header(header, "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull");
    out += "<s:Body><n:Pull><n:EnumerationContext>" + XmlText(context) +
           "</n:EnumerationContext><n:MaxElements>" + std::to_string(maxElements) +
           "</n:MaxElements></n:Pull></s:Body></s:Envelope>";
    return out;
}

std::string BuildRelease(const RequestHeader& header, std::string_view context) {
    std::string out = Header(header, "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Release");
    out += "<s:Body><n:Release><n:EnumerationContext>" + XmlText(context) +
           "</n:EnumerationContext></n:Release></s:Body></s:Envelope>";
    return out;
}

std::string BuildGet(const RequestHeader& header) {
    return Header(header, "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get") +
           "<s:Body/></s:Envelope>";
}

std::string RenderProperty(const Property& property, std::string_view prefix, int depth) {
    const std::string tag = std::string(prefix) + ":" + property.name;
    if (property.nil || property.values.empty()) return "<" + tag + " xsi:nil=\"true\"/>";
    std::string out;
    for (const auto& v : property.values) {
        switch (v.kind) {
            case WireValue::Kind::Text:
                out += "<" + tag + ">" + XmlText(v.text) + "</" + tag + ">";
                break;
            case WireValue::Kind::Datetime:
                out += "<" + tag + "><cim:Datetime>" + XmlText(v.text) + "</cim:Datetime></" +
                       tag + ">";
                break;
            case WireValue::Kind::Interval:
                out += "<" + tag + "><cim:Interval>" + XmlText(v.text) + "</cim:Interval></" +
                       tag + ">";
                break;
            case WireValue::Kind::Reference: {
                out += "<" + tag + "><a:Address>";
                out += kAnonymous;
                out += "</a:Address><a:ReferenceParameters><w:ResourceURI>" +
                       XmlText(v.reference.resourceUri) + "</w:ResourceURI><w:SelectorSet>";
                for (const auto& [name, value] : v.reference.selectors)
                    out += "<w:Selector Name=\"" + XmlText(name) + "\">" + XmlText(value) +
                           "</w:Selector>";
                out += "</w:SelectorSet></a:ReferenceParameters></" + tag + ">";
                break;
            }
            case WireValue::Kind::Instance: {
                if (!v.instance || depth >= 8) {
                    out += "<" + tag + " xsi:nil=\"true\"/>";
                    break;
                }
                const std::string q = "e" + std::to_string(depth);
                out += "<" + tag + " xmlns:" + q + "=\"" + XmlText(v.instance->resourceUri) + "\"";
                // An instance whose class is unknown goes without a type, as it came: "_Type"
                // would be read back as a class of that name.
                if (!v.instance->className.empty())
                    out += " xsi:type=\"" + q + ":" + XmlText(v.instance->className) + "_Type\"";
                out += ">";
                for (const auto& p : v.instance->properties) out += RenderProperty(p, q, depth + 1);
                out += "</" + tag + ">";
                break;
            }
        }
    }
    return out;
}

std::string BuildInvoke(const RequestHeader& header, std::string_view method,
                        const std::vector<Property>& parameters) {
    std::string out = Header(header, header.resourceUri + "/" + std::string(method));
    out += "<s:Body><p:" + std::string(method) + "_INPUT xmlns:p=\"" +
           XmlText(header.resourceUri) + "\">";
    for (const auto& p : parameters) out += RenderProperty(p, "p");
    out += "</p:" + std::string(method) + "_INPUT></s:Body></s:Envelope>";
    return out;
}

std::string WmiResourceUri(std::string_view nameSpace, std::string_view className) {
    std::string out(kWmiResourceBase);
    for (char c : nameSpace)
        out += c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out += '/';
    out += className;
    return out;
}

bool SplitWmiResourceUri(std::string_view uri, std::string& nameSpace, std::string& className) {
    if (uri.substr(0, kWmiResourceBase.size()) != kWmiResourceBase) return false;
    uri.remove_prefix(kWmiResourceBase.size());
    const auto slash = uri.rfind('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == uri.size()) return false;
    nameSpace.clear();
    for (char c : uri.substr(0, slash)) nameSpace += c == '/' ? '\\' : c;
    className = std::string(uri.substr(slash + 1));
    return true;
}

Fault MapFault(const XmlElement& fault) {
    Fault f;
    if (const XmlElement* code = fault.Child(kNsSoap, "Code")) {
        if (const XmlElement* v = code->Child(kNsSoap, "Value")) f.code = v->TrimmedText();
        if (const XmlElement* sub = code->Child(kNsSoap, "Subcode"))
            if (const XmlElement* v = sub->Child(kNsSoap, "Value")) {
                f.subcode = v->TrimmedText();
                if (const auto colon = f.subcode.find(':'); colon != std::string::npos)
                    f.subcode.erase(0, colon + 1);
            }
    }
    if (const XmlElement* reason = fault.Child(kNsSoap, "Reason"))
        if (const XmlElement* t = reason->Child(kNsSoap, "Text")) f.reason = t->TrimmedText();

    std::uint32_t wmi = 0;
    const XmlElement* detail = fault.Child(kNsSoap, "Detail");
    if (detail) {
        if (const XmlElement* err = detail->FindAnyNs("MSFT_WmiError")) {
            if (const XmlElement* c = err->FindAnyNs("error_Code"); c && !c->IsNil())
                ParseCode(c->text, wmi);
            if (const XmlElement* m = err->FindAnyNs("Message"); m && !m->IsNil())
                f.message = m->TrimmedText();
        }
        if (wmi == 0)
            if (const XmlElement* ext = detail->FindAnyNs("__ExtendedStatus"))
                if (const XmlElement* c = ext->FindAnyNs("StatusCode"); c && !c->IsNil())
                    ParseCode(c->text, wmi);
        const XmlElement* deepest = nullptr;
        int depth = -1;
        FindFaults(*detail, 0, deepest, depth);
        if (deepest) {
            if (const std::string* code = deepest->Attribute({}, "Code"))
                ParseCode(*code, f.wsmanCode);
            if (f.message.empty())
                if (const XmlElement* m = deepest->Child(kNsWsmanFault, "Message"))
                    f.message = m->TrimmedText();
        }
    }
    // Older hosts give a WMI failure only as text inside the provider's message
    // ("... returned an unknown error: HRESULT 0x8004100e"); that form is not translated.
    if (wmi == 0)
        if (const auto at = f.message.find("HRESULT 0x"); at != std::string::npos) {
            std::uint32_t code = 0;
            if (ParseCode(std::string_view(f.message).substr(at + 8, 10), code) &&
                (code & 0xFFFF0000u) == 0x80040000u)
                wmi = code;
        }
    f.wmiCode = wmi;
    if (wmi & 0x80000000u) {
        f.hr = static_cast<std::int32_t>(wmi);
    } else if (f.wsmanCode & 0x80000000u) {
        f.hr = static_cast<std::int32_t>(f.wsmanCode);
    } else if (f.subcode == "AccessDenied") {
        f.hr = static_cast<std::int32_t>(0x80070005u);  // E_ACCESSDENIED
    } else if (f.subcode == "TimedOut") {
        f.hr = static_cast<std::int32_t>(0x80338029u);  // the host's operation time-out
    } else if (f.subcode == "DestinationUnreachable") {
        f.hr = static_cast<std::int32_t>(0x80041002u);  // WBEM_E_NOT_FOUND
    } else if (f.subcode == "InvalidSelectors") {
        f.hr = static_cast<std::int32_t>(0x8004103Au);  // WBEM_E_INVALID_OBJECT_PATH
    } else {
        f.hr = static_cast<std::int32_t>(0x80004005u);  // E_FAIL
    }
    return f;
}

ReplyKind ReadEnvelope(const XmlElement& envelope, const XmlElement*& body, Fault& fault) {
    body = nullptr;
    if (!envelope.Is(kNsSoap, "Envelope")) return ReplyKind::NotEnvelope;
    body = envelope.Child(kNsSoap, "Body");
    if (!body) return ReplyKind::NotEnvelope;
    if (const XmlElement* f = body->Child(kNsSoap, "Fault")) {
        fault = MapFault(*f);
        return ReplyKind::Fault;
    }
    return ReplyKind::Ok;
}

namespace {

Instance ReadProperties(const XmlElement& element, const std::string& propertyNs) {
    Instance inst;
    inst.className = element.name;
    inst.resourceUri = element.ns;
    for (const auto& c : element.children) {
        // Properties are in the class's namespace (none inside an XmlFragment); anything else,
        // such as the cim:Location a Get reply may add, is not a property.
        if (c.ns != propertyNs) continue;
        Property* target = nullptr;
        for (auto& p : inst.properties)
            if (p.name == c.name) target = &p;
        if (!target) {
            inst.properties.push_back(Property{c.name, false, {}});
            target = &inst.properties.back();
        }
        if (c.IsNil()) {
            if (target->values.empty()) target->nil = true;
            continue;
        }
        target->nil = false;
        target->values.push_back(ReadValue(c));
    }
    return inst;
}

}  // namespace

Instance ReadInstance(const XmlElement& element) {
    if (element.Is(kNsWsman, "XmlFragment")) {
        Instance inst = ReadProperties(element, {});
        inst.className.clear();
        inst.resourceUri.clear();
        return inst;
    }
    return ReadProperties(element, element.ns);
}

bool ReadEnumerationPage(const XmlElement& body, EnumerationPage& page, std::string* error) {
    page = EnumerationPage{};
    const XmlElement* r = body.Child(kNsEnumeration, "EnumerateResponse");
    if (!r) r = body.Child(kNsEnumeration, "PullResponse");
    if (!r) {
        if (error) *error = "the reply is neither an EnumerateResponse nor a PullResponse";
        return false;
    }
    if (const XmlElement* ctx = r->Child(kNsEnumeration, "EnumerationContext"))
        page.context = ctx->TrimmedText();
    page.endOfSequence =
        r->Child(kNsWsman, "EndOfSequence") || r->Child(kNsEnumeration, "EndOfSequence");
    const XmlElement* items = r->Child(kNsWsman, "Items");
    if (!items) items = r->Child(kNsEnumeration, "Items");
    if (items)
        for (const auto& item : items->children) {
            if (item.Is(kNsWsman, "Item")) {
                // EnumerateObjectAndEPR form: the object beside its endpoint reference.
                for (const auto& c : item.children)
                    if (!c.Is(kNsAddressing, "EndpointReference")) {
                        page.items.push_back(ReadInstance(c));
                        break;
                    }
            } else {
                page.items.push_back(ReadInstance(item));
            }
        }
    if (page.endOfSequence) page.context.clear();
    return true;
}

bool ReadSingleInstance(const XmlElement& body, Instance& instance, std::string* error) {
    if (body.children.empty()) {
        if (error) *error = "the reply's body is empty";
        return false;
    }
    instance = ReadInstance(body.children.front());
    return true;
}

bool ReadIdentify(const XmlElement& body, std::string& vendor, std::string& version) {
    const XmlElement* r = body.Child(kNsIdentity, "IdentifyResponse");
    if (!r) return false;
    vendor.clear();
    version.clear();
    if (const XmlElement* v = r->Child(kNsIdentity, "ProductVendor")) vendor = v->TrimmedText();
    if (const XmlElement* v = r->Child(kNsIdentity, "ProductVersion")) version = v->TrimmedText();
    return true;
}

}  // namespace hbr::wsman
