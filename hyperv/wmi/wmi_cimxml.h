#pragma once
// CIM-XML (DTD 2.0) text of WMI objects: what IWbemObjectTextSrc::GetText renders and what the
// Hyper-V methods taking an embedded instance (ModifySystemSettings, ...) read back.
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// <INSTANCE CLASSNAME="..."> with every property (and __PATH, __NAMESPACE, __SERVER, __CLASS);
// <CLASS NAME="..."> for class objects. Text is escaped; what XML 1.0 cannot carry (control
// bytes, malformed UTF-8) becomes U+FFFD.
std::string RenderCimXml(const WmiObject& object);

// The same text into `out`; false when any text of `object` (names, strings, string arrays,
// embedded objects) had to be altered on the way.
bool RenderCimXml(const WmiObject& object, std::string& out);

struct CimXmlProperty {
    std::string name;
    std::string type;  // the TYPE attribute, "string" when absent
    bool isArray = false;
    bool isNull = true;
    std::vector<std::string> values;  // one for a scalar, the elements for an array
};

struct CimXmlInstance {
    std::string className;
    std::vector<CimXmlProperty> properties;
};

// Reads one INSTANCE element. Malformed text, a document type declaration, unknown entities or
// more than 4 MiB give kWbemEInvalidParameter.
HResult ParseCimXml(std::string_view text, CimXmlInstance& out);

// Puts the parsed values into `target` (same class or a superclass of the text's class),
// converting by the target's CIM types; system properties are skipped. A property the class
// does not have or a value that does not convert fails, and then `target` is left unchanged.
HResult ApplyCimXml(const CimXmlInstance& instance, WmiObject& target);

}  // namespace hbr
