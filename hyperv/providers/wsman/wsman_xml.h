#pragma once
// The XML of WS-Management messages, read safely and matched by namespace URI (hosts choose
// their own prefixes). Parsing never touches the network, never expands entities and refuses a
// document type declaration, so a hostile host cannot make the reader fetch, inflate or loop.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hbr::wsman {

inline constexpr std::string_view kNsSoap = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr std::string_view kNsAddressing =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing";
inline constexpr std::string_view kNsEnumeration =
    "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
inline constexpr std::string_view kNsTransfer = "http://schemas.xmlsoap.org/ws/2004/09/transfer";
inline constexpr std::string_view kNsWsman = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
inline constexpr std::string_view kNsWsmanFault =
    "http://schemas.microsoft.com/wbem/wsman/1/wsmanfault";
inline constexpr std::string_view kNsIdentity =
    "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd";
inline constexpr std::string_view kNsXsi = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr std::string_view kNsCimCommon = "http://schemas.dmtf.org/wbem/wscim/1/common";
inline constexpr std::string_view kWmiResourceBase =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/";
inline constexpr std::string_view kWqlDialect = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
inline constexpr std::string_view kAnonymous =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";

struct XmlAttribute {
    std::string ns;  // namespace URI, empty for an unqualified attribute
    std::string name;
    std::string value;
};

// One element: its namespace URI and local name, attributes, the text directly inside it and
// its child elements in document order.
struct XmlElement {
    std::string ns;
    std::string name;
    std::vector<XmlAttribute> attributes;
    std::string text;
    std::vector<XmlElement> children;

    bool Is(std::string_view nsUri, std::string_view localName) const {
        return ns == nsUri && name == localName;
    }
    // The first child with this namespace and name, or nullptr.
    const XmlElement* Child(std::string_view nsUri, std::string_view localName) const;
    // The first element below (depth first, itself excluded) with this name in any namespace.
    const XmlElement* FindAnyNs(std::string_view localName) const;
    const XmlElement* Find(std::string_view nsUri, std::string_view localName) const;
    const std::string* Attribute(std::string_view nsUri, std::string_view localName) const;
    // Text with white space trimmed at both ends.
    std::string TrimmedText() const;
    // xsi:nil="true" (or "1").
    bool IsNil() const;
};

enum class XmlReadError { None, Malformed, DocumentType, TooLarge, Empty };

// Reads a whole document (up to `maxBytes`). On failure `error` says why, in a few words.
XmlReadError ReadXml(std::string_view bytes, XmlElement& root, std::string* error = nullptr,
                     std::size_t maxBytes = 16u << 20);

}  // namespace hbr::wsman
