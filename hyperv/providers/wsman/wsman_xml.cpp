#include "hyperv/providers/wsman/wsman_xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cctype>
#include <mutex>

namespace hbr::wsman {

namespace {

std::string ToString(const xmlChar* text) {
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string{};
}

// A document type declaration is where entities (billion laughs, external files) are declared;
// WS-Management never sends one, so its mere start stops the parse.
void RefuseDocumentType(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
    *static_cast<bool*>(ctxt->_private) = true;
    xmlStopParser(ctxt);
}

void Convert(const xmlNode* node, XmlElement& out) {
    out.name = ToString(node->name);
    out.ns = node->ns ? ToString(node->ns->href) : std::string{};
    for (const xmlAttr* a = node->properties; a; a = a->next) {
        XmlAttribute attr;
        attr.name = ToString(a->name);
        attr.ns = a->ns ? ToString(a->ns->href) : std::string{};
        xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
        attr.value = ToString(value);
        xmlFree(value);
        out.attributes.push_back(std::move(attr));
    }
    for (const xmlNode* c = node->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            out.children.emplace_back();
            Convert(c, out.children.back());
        } else if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
            out.text += ToString(c->content);
        }
    }
}

const XmlElement* FindIn(const XmlElement& e, std::string_view nsUri, std::string_view name,
                         bool anyNs) {
    for (const auto& c : e.children) {
        if (c.name == name && (anyNs || c.ns == nsUri)) return &c;
        if (const XmlElement* f = FindIn(c, nsUri, name, anyNs)) return f;
    }
    return nullptr;
}

}  // namespace

const XmlElement* XmlElement::Child(std::string_view nsUri, std::string_view localName) const {
    for (const auto& c : children)
        if (c.Is(nsUri, localName)) return &c;
    return nullptr;
}

const XmlElement* XmlElement::FindAnyNs(std::string_view localName) const {
    return FindIn(*this, {}, localName, true);
}

const XmlElement* XmlElement::Find(std::string_view nsUri, std::string_view localName) const {
    return FindIn(*this, nsUri, localName, false);
}

const std::string* XmlElement::Attribute(std::string_view nsUri, std::string_view localName) const {
    for (const auto& a : attributes)
        if (a.ns == nsUri && a.name == localName) return &a.value;
    return nullptr;
}

std::string XmlElement::TrimmedText() const {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(b, e - b);
}

bool XmlElement::IsNil() const {
    const std::string* nil = Attribute(kNsXsi, "nil");
    return nil && (*nil == "true" || *nil == "1");
}

XmlReadError ReadXml(std::string_view bytes, XmlElement& root, std::string* error,
                     std::size_t maxBytes) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    auto fail = [&](XmlReadError code, const char* why) {
        if (error) *error = why;
        return code;
    };
    root = XmlElement{};
    if (bytes.size() > maxBytes) return fail(XmlReadError::TooLarge, "the reply is too large");
    if (bytes.empty()) return fail(XmlReadError::Empty, "the reply is empty");
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX))
        return fail(XmlReadError::TooLarge, "the reply is too large");

    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt) return fail(XmlReadError::Malformed, "out of memory");
    bool sawDocumentType = false;
    ctxt->_private = &sawDocumentType;
    ctxt->sax->internalSubset = RefuseDocumentType;
    ctxt->sax->externalSubset = RefuseDocumentType;
    // No XML_PARSE_NOENT (entities stay unexpanded), no XML_PARSE_DTDLOAD, no XML_PARSE_HUGE
    // (libxml2's own depth and text limits stay on); NONET forbids any fetch.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                      nullptr, options);
    // An unbound prefix is only a namespace error to libxml2; names could not be matched.
    const bool wellFormed = ctxt->wellFormed != 0 && ctxt->nsWellFormed != 0;
    xmlFreeParserCtxt(ctxt);
    if (sawDocumentType) {
        if (doc) xmlFreeDoc(doc);
        return fail(XmlReadError::DocumentType, "the reply holds a document type declaration");
    }
    if (!doc || !wellFormed || doc->intSubset || doc->extSubset) {
        if (doc) xmlFreeDoc(doc);
        return fail(XmlReadError::Malformed, "the reply is not well-formed XML");
    }
    const xmlNode* top = xmlDocGetRootElement(doc);
    if (!top) {
        xmlFreeDoc(doc);
        return fail(XmlReadError::Malformed, "the reply has no root element");
    }
    Convert(top, root);
    xmlFreeDoc(doc);
    return XmlReadError::None;
}

}  // namespace hbr::wsman
