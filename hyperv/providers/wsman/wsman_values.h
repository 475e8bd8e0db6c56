#pragma once
// Values between their WS-Management wire form and the typed WMI values the hypervisor layer
// reads: date-times (xs:dateTime) and the 25-character DMTF form, intervals (xs:duration) and
// the DMTF interval form, endpoint references and WMI object path text, and whole instances
// typed through the class catalogue.
#include <string>
#include <string_view>

#include "hyperv/providers/wsman/wsman_messages.h"
#include "hyperv/wmi/class_catalogue.h"
#include "hyperv/wmi/wmi_provider.h"

namespace hbr::wsman {

// "2013-04-15T16:28:39.5Z" → "20130415162839.500000+000"; "...-07:00" → "...-420". False for
// text that is not an xs:dateTime.
bool DmtfFromXsDateTime(std::string_view xs, std::string& dmtf);
// The reverse; "+000" becomes "Z". False for a DMTF text with wildcards or of another form.
bool XsDateTimeFromDmtf(std::string_view dmtf, std::string& xs);
// "P1DT2H3M4.5S" → "00000001020304.500000:000". False for years or months, which have no
// fixed length, and for other text.
bool DmtfIntervalFromXsDuration(std::string_view xs, std::string& dmtf);
bool XsDurationFromDmtfInterval(std::string_view dmtf, std::string& xs);
// A DMTF interval ("...:000") rather than a date-time.
bool IsDmtfInterval(std::string_view dmtf);

// "\\SERVER\root\ns:Class.Key=\"v\",Num=5": keys in the order sent; string keys quoted
// (the catalogue says which keys are not strings). False for a reference that is not to a WMI
// resource.
bool PathFromEpr(const Epr& epr, std::string_view server, std::string& path);
// The reverse, for a path with keys or a singleton; `defaultNamespace` when the path has none.
HResult EprFromPath(std::string_view path, std::string_view defaultNamespace, Epr& epr);

// How a services object types instances it receives.
struct InstanceContext {
    std::string server;     // the host's computer name, for __SERVER and paths
    std::string nameSpace;  // the connection's namespace, for classes the catalogue lacks
};

// A received instance as a WMI object: the class's definition from the catalogue (limited to
// `columns` when not empty, as for "SELECT a, b"), values typed by it. `className` names the
// class when the instance does not (an XmlFragment). Values that do not convert are left null;
// properties the class does not declare are dropped. A class the catalogue lacks gets every
// property as text.
WmiObjectPtr ObjectFromInstance(const Instance& instance, std::string_view className,
                                const std::vector<std::string>& columns,
                                const InstanceContext& context);

// Method output (METHOD_OUTPUT) typed by the method's out-parameters.
WmiObjectPtr OutputFromInstance(const Instance& output, const WmiClassDefPtr& outSignature,
                                const std::vector<CimProperty>& outTypes,
                                const InstanceContext& context);

// In-parameters to send: every parameter with a value, typed by `inTypes`. Embedded instances
// given as CIM-XML text go as the DSP0230 element form, or as the text itself when `cimXmlText`.
// Fails (kWbemEInvalidParameter, kWbemETypeMismatch) for a value that cannot be sent.
HResult ParametersFromObject(const WmiObject& in, const std::vector<CimProperty>& inTypes,
                             bool cimXmlText, std::string_view defaultNamespace,
                             std::vector<Property>& out);

}  // namespace hbr::wsman
