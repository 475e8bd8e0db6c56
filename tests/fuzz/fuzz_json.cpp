// The JSON reader: any bytes parse or fail cleanly, and a parsed document written back out reads
// back as the same document.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/json.h"

namespace {

void Write(const hbr::JsonValue& v, std::string& out) {
    switch (v.Kind()) {
        case hbr::JsonKind::Null:
            out += "null";
            return;
        case hbr::JsonKind::Boolean:
            out += v.IsTrue() ? "true" : "false";
            return;
        case hbr::JsonKind::Number: {
            char buf[40];
            // 15 digits: the reader is fast rather than correctly rounded, so 17-digit texts may
            // come back one unit in the last place off; 15 digits always read back the same.
            std::snprintf(buf, sizeof buf, "%.15g", v.AsNumber());
            out += buf;
            return;
        }
        case hbr::JsonKind::String:
            out += '"' + hbr::JsonEscape(v.StringView()) + '"';
            return;
        case hbr::JsonKind::Array:
            out += '[';
            for (auto e = v.ElementsBegin(); e != v.ElementsEnd(); ++e) {
                if (e != v.ElementsBegin()) out += ',';
                Write(**e, out);
            }
            out += ']';
            return;
        case hbr::JsonKind::Object:
            out += '{';
            for (auto m = v.MembersBegin(); m != v.MembersEnd(); ++m) {
                if (m != v.MembersBegin()) out += ',';
                out += '"' + hbr::JsonEscape(m->key) + "\":";
                Write(*m->value, out);
            }
            out += '}';
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hbr::JsonDocument doc;
    const bool ok = hbr::ParseJson(text, doc);
    if (ok != doc.Ok()) std::abort();
    if (!ok) {
        // A failed parse reads as empty and points inside the text.
        if (!doc.Root().IsNull() || doc.ErrorOffset() > size) std::abort();
        return 0;
    }
    // Only finite numbers can be written back as JSON.
    std::string first;
    Write(doc.Root(), first);
    if (first.find("inf") != std::string::npos || first.find("nan") != std::string::npos) return 0;
    hbr::JsonDocument again;
    if (!hbr::ParseJson(first, again)) std::abort();
    std::string second;
    Write(again.Root(), second);
    if (first != second) std::abort();
    return 0;
}
