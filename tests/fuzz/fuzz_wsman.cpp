// WS-Management replies as a host sends them: any bytes read as XML or fail with a reason; a
// fault always maps to a failure code; every instance read (enumeration pages, Get and Invoke
// replies) goes back out through the request writer and reads back the same; date-times,
// intervals and endpoint references convert to their WMI text and back to the same text; and an
// instance typed through the class catalogue renders as CIM-XML that the CIM-XML reader accepts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/providers/wsman/wsman_messages.h"
#include "hyperv/providers/wsman/wsman_values.h"
#include "hyperv/providers/wsman/wsman_xml.h"
#include "hyperv/wmi/wmi_cimxml.h"

namespace {

using namespace hbr::wsman;

constexpr std::string_view kResource =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/Msvm_Fuzz";

bool SameEpr(const Epr& a, const Epr& b) {
    return a.resourceUri == b.resourceUri && a.selectors == b.selectors;
}

bool SameInstance(const Instance& a, const Instance& b, bool compareClass);

bool SameProperties(const Instance& a, const Instance& b) {
    if (a.properties.size() != b.properties.size()) return false;
    for (std::size_t i = 0; i < a.properties.size(); ++i) {
        const Property& p = a.properties[i];
        const Property& q = b.properties[i];
        if (p.name != q.name || p.nil != q.nil || p.values.size() != q.values.size())
            return false;
        for (std::size_t v = 0; v < p.values.size(); ++v) {
            const WireValue& x = p.values[v];
            const WireValue& y = q.values[v];
            if (x.kind != y.kind) return false;
            switch (x.kind) {
                case WireValue::Kind::Text:
                case WireValue::Kind::Datetime:
                case WireValue::Kind::Interval:
                    if (x.text != y.text) return false;
                    break;
                case WireValue::Kind::Reference:
                    if (!SameEpr(x.reference, y.reference)) return false;
                    break;
                case WireValue::Kind::Instance:
                    if (!x.instance || !y.instance || !SameInstance(*x.instance, *y.instance, true))
                        return false;
                    break;
            }
        }
    }
    return true;
}

bool SameInstance(const Instance& a, const Instance& b, bool compareClass) {
    if (compareClass && (a.className != b.className || a.resourceUri != b.resourceUri))
        return false;
    return SameProperties(a, b);
}

// How deeply instances are embedded in one another; the writer carries eight levels.
int Depth(const Instance& instance) {
    int deepest = 0;
    for (const auto& p : instance.properties)
        for (const auto& v : p.values)
            if (v.kind == WireValue::Kind::Instance && v.instance)
                deepest = std::max(deepest, 1 + Depth(*v.instance));
    return deepest;
}

// An embedded instance is written in the namespace of its class; one read without a namespace
// (its first property unqualified) has none to write it in, and is never sent back.
bool Writable(const Instance& instance) {
    for (const auto& p : instance.properties)
        for (const auto& v : p.values)
            if (v.kind == WireValue::Kind::Instance && v.instance &&
                (v.instance->resourceUri.empty() || !Writable(*v.instance)))
                return false;
    return true;
}

// The instance's properties as the parameters of an Invoke, read back as the host would.
void CheckRoundTrip(const Instance& instance) {
    if (Depth(instance) >= 8 || !Writable(instance)) return;
    RequestHeader header;
    header.to = "https://host:5986/wsman";
    header.resourceUri = std::string(kResource);
    header.messageId = "uuid:00000000-0000-4000-8000-000000000000";
    const std::string request = BuildInvoke(header, "Fuzz", instance.properties);
    XmlElement root;
    std::string error;
    if (ReadXml(request, root, &error) != XmlReadError::None) std::abort();
    const XmlElement* body = root.Child(kNsSoap, "Body");
    if (!body || body->children.empty()) std::abort();
    const Instance back = ReadInstance(body->children.front());
    if (!SameInstance(instance, back, false)) std::abort();
}

// Two paths of one object: WMI namespaces are named without regard to case (the resource URI a
// path becomes carries its namespace in lower case), class and keys exactly. The namespace is
// checked to be WMI names only, so the first ':' ends it.
bool SamePath(std::string_view a, std::string_view b) {
    const auto ca = a.find(':'), cb = b.find(':');
    return ca != std::string_view::npos && ca == cb &&
           hbr::IEquals(a.substr(0, ca), b.substr(0, cb)) && a.substr(ca) == b.substr(cb);
}

// Text a host sent converts to WMI's text form and back without changing meaning.
void CheckValue(const WireValue& v) {
    std::string dmtf, xs, again;
    switch (v.kind) {
        case WireValue::Kind::Datetime:
            if (DmtfFromXsDateTime(v.text, dmtf)) {
                if (!XsDateTimeFromDmtf(dmtf, xs) || !DmtfFromXsDateTime(xs, again) ||
                    again != dmtf)
                    std::abort();
            }
            break;
        case WireValue::Kind::Interval:
            if (DmtfIntervalFromXsDuration(v.text, dmtf)) {
                if (!IsDmtfInterval(dmtf) || !XsDurationFromDmtfInterval(dmtf, xs) ||
                    !DmtfIntervalFromXsDuration(xs, again) || again != dmtf)
                    std::abort();
            }
            break;
        case WireValue::Kind::Reference: {
            std::string path;
            if (PathFromEpr(v.reference, "HOST", path)) {
                Epr epr;
                std::string path2;
                if (hbr::Failed(EprFromPath(path, "root\\virtualization\\v2", epr)) ||
                    !PathFromEpr(epr, "HOST", path2) || !SamePath(path, path2))
                    std::abort();
            }
            break;
        }
        case WireValue::Kind::Instance:
            if (v.instance)
                for (const auto& p : v.instance->properties)
                    for (const auto& w : p.values) CheckValue(w);
            break;
        case WireValue::Kind::Text:
            break;
    }
}

void CheckInstance(const Instance& instance, std::string_view className) {
    for (const auto& p : instance.properties)
        for (const auto& v : p.values) CheckValue(v);
    CheckRoundTrip(instance);
    const InstanceContext context{"HOST", "root\\virtualization\\v2"};
    const hbr::WmiObjectPtr object = ObjectFromInstance(instance, className, {}, context);
    if (!object) std::abort();
    hbr::CimXmlInstance parsed;
    if (hbr::Failed(hbr::ParseCimXml(hbr::RenderCimXml(*object), parsed))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    XmlElement root;
    std::string error;
    const XmlReadError read = ReadXml(text, root, &error);
    if (read != XmlReadError::None) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (root.name.empty()) std::abort();

    const XmlElement* body = nullptr;
    Fault fault;
    switch (ReadEnvelope(root, body, fault)) {
        case ReplyKind::NotEnvelope:
            // An instance element alone, as an embedded one or a Get body would carry it.
            CheckInstance(ReadInstance(root), "Msvm_ComputerSystem");
            return 0;
        case ReplyKind::Fault:
            // Whatever the fault holds, the call fails.
            if (fault.hr >= 0) std::abort();
            return 0;
        case ReplyKind::Ok:
            break;
    }
    if (!body) std::abort();
    EnumerationPage page;
    if (ReadEnumerationPage(*body, page, &error)) {
        if (page.endOfSequence && !page.context.empty()) std::abort();
        for (const auto& item : page.items) CheckInstance(item, "Msvm_ComputerSystem");
    }
    Instance single;
    if (ReadSingleInstance(*body, single, &error)) CheckInstance(single, "Win32_OperatingSystem");
    std::string vendor, version;
    ReadIdentify(*body, vendor, version);
    return 0;
}
