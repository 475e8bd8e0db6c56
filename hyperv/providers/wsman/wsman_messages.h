#pragma once
// WS-Management requests this client sends (Identify, Enumerate with a WQL filter, Pull,
// Release, Get, Invoke) and the replies it reads, as plain data. Instances are kept in their
// wire form (text, date-time, endpoint reference, embedded instance); turning them into typed
// WMI values is the provider's work, through the class catalogue.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hyperv/providers/wsman/wsman_xml.h"

namespace hbr::wsman {

// An endpoint reference to a WMI object: its resource URI and one selector per key.
struct Epr {
    std::string resourceUri;
    std::vector<std::pair<std::string, std::string>> selectors;
};

struct Instance;

struct WireValue {
    enum class Kind { Text, Datetime, Interval, Reference, Instance } kind = Kind::Text;
    std::string text;  // Text; xs:dateTime for Datetime; xs:duration for Interval
    Epr reference;
    std::shared_ptr<Instance> instance;
};

struct Property {
    std::string name;
    bool nil = false;
    std::vector<WireValue> values;  // one per occurrence of the element: arrays repeat it
};

struct Instance {
    std::string className;    // "Win32_Process"; empty for an XmlFragment item
    std::string resourceUri;  // the namespace URI of its elements; empty for an XmlFragment
    std::vector<Property> properties;

    const Property* Find(std::string_view name) const;  // ignoring letter case
};

// ---- requests ----

struct RequestHeader {
    std::string to;           // the service URL
    std::string resourceUri;  // .../wmi/root/cimv2/* or a class's URI
    std::vector<std::pair<std::string, std::string>> selectors;
    std::size_t maxEnvelopeSize = 512000;
    std::chrono::seconds operationTimeout{30};
    std::string messageId;  // "uuid:..."; made fresh when empty
};

std::string NewMessageId();

std::string BuildIdentify();
std::string BuildEnumerateWql(const RequestHeader& header, std::string_view wql,
                              unsigned maxElements);
std::string BuildPull(const RequestHeader& header, std::string_view context, unsigned maxElements);
std::string BuildRelease(const RequestHeader& header, std::string_view context);
std::string BuildGet(const RequestHeader& header);
// The body is `<p:METHOD_INPUT>` in the class's resource URI with the given parameters.
std::string BuildInvoke(const RequestHeader& header, std::string_view method,
                        const std::vector<Property>& parameters);

// The element form of an embedded instance (DSP0230): `<p:NAME xsi:type="q:CLASS_Type">` with
// the instance's properties in its own resource URI; exposed for tests.
std::string RenderProperty(const Property& property, std::string_view prefix, int depth = 0);

// The WMI resource URI of a class: kWmiResourceBase + namespace with '/' + "/" + class;
// "*" as class gives the namespace's URI for WQL enumeration.
std::string WmiResourceUri(std::string_view nameSpace, std::string_view className);
// The namespace ("root\\virtualization\\v2") and class of a WMI resource URI; false for
// another URI.
bool SplitWmiResourceUri(std::string_view uri, std::string& nameSpace, std::string& className);

// ---- replies ----

// A SOAP fault as read, and the HRESULT it stands for.
struct Fault {
    std::int32_t hr = 0;
    std::string code;     // s:Value, e.g. "s:Sender"
    std::string subcode;  // local part of the subcode, e.g. "CannotProcessFilter"
    std::string reason;
    std::string message;  // the innermost WSManFault message or MSFT_WmiError Message
    std::uint32_t wsmanCode = 0;
    std::uint32_t wmiCode = 0;
};

enum class ReplyKind { Ok, Fault, NotEnvelope };

// Reads the body of a reply; a fault is mapped into `fault`.
ReplyKind ReadEnvelope(const XmlElement& envelope, const XmlElement*& body, Fault& fault);

// The HRESULT of a fault: the WMI code in MSFT_WmiError/error_Code or
// __ExtendedStatus/StatusCode, else the innermost WSManFault Code, else one by the subcode.
Fault MapFault(const XmlElement& fault);

struct EnumerationPage {
    std::string context;  // empty when the host ended the enumeration
    bool endOfSequence = false;
    std::vector<Instance> items;
};

// EnumerateResponse or PullResponse bodies; false when the body is neither.
bool ReadEnumerationPage(const XmlElement& body, EnumerationPage& page, std::string* error);
// A Get reply (the instance is the body's one child) or an Invoke reply (METHOD_OUTPUT).
bool ReadSingleInstance(const XmlElement& body, Instance& instance, std::string* error);
// An instance element (also an XmlFragment).
Instance ReadInstance(const XmlElement& element);
// IdentifyResponse: product vendor and version; false when the body is not one.
bool ReadIdentify(const XmlElement& body, std::string& vendor, std::string& version);

}  // namespace hbr::wsman
