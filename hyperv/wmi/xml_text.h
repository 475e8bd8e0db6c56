#pragma once
// Text written into XML documents, the same way in element content and in attribute values.
#include <string>
#include <string_view>

namespace hbr {

// Appends UTF-8 `text` escaped for XML 1.0: '&', '<', '>', '"' and '\'' as entities; tab, line
// feed and carriage return as character references, so that neither a reader's line-end
// handling nor attribute-value normalisation changes them. What XML 1.0 cannot carry at all
// (the other C0 control characters, U+FFFE, U+FFFF, surrogates, bytes that are not UTF-8)
// becomes U+FFFD: a document with it would not be well-formed, and even a character reference
// to it (&#1;) is refused by every conforming reader. True when nothing had to be replaced.
bool AppendXmlText(std::string& out, std::string_view text);
std::string XmlText(std::string_view text);

// True when XML 1.0 carries `text` as it is (XmlText replaces nothing): for callers that
// refuse such text rather than send an altered one.
bool XmlCarries(std::string_view text);

}  // namespace hbr
