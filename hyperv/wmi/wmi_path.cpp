#include "hyperv/wmi/wmi_path.h"

#include <cctype>

namespace hbr {

const std::string* WmiObjectPath::Key(std::string_view name) const {
    for (const auto& [k, v] : keys) {
        if (IEquals(k, name)) return &v;
    }
    return nullptr;
}

std::string QuotePathValue(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

namespace {

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

HResult ParseObjectPath(std::string_view text, WmiObjectPath& out) {
    out = WmiObjectPath{};
    std::size_t pos = 0;
    auto skipSpace = [&] {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    };
    skipSpace();
    if (text.size() - pos >= 2 && IsSeparator(text[pos]) && IsSeparator(text[pos + 1])) {
        pos += 2;
        std::size_t serverEnd = pos;
        while (serverEnd < text.size() && !IsSeparator(text[serverEnd]) && text[serverEnd] != ':')
            ++serverEnd;
        if (serverEnd == pos || serverEnd >= text.size()) return kWbemEInvalidObjectPath;
        out.server.assign(text.substr(pos, serverEnd - pos));
        pos = serverEnd;
        if (text[pos] == ':') return kWbemEInvalidObjectPath;
        ++pos;
        std::size_t colon = text.find(':', pos);
        if (colon == std::string_view::npos || colon == pos) return kWbemEInvalidObjectPath;
        out.nameSpace = NamespaceOfPath(text.substr(pos, colon - pos));
        pos = colon + 1;
    } else {
        // "root\ns:Class..." without a server.
        std::size_t stop = pos;
        while (stop < text.size() && text[stop] != '.' && text[stop] != '=' && text[stop] != ':')
            ++stop;
        if (stop < text.size() && text[stop] == ':') {
            out.nameSpace = NamespaceOfPath(text.substr(pos, stop - pos));
            pos = stop + 1;
        }
    }
    std::size_t classStart = pos;
    while (pos < text.size() && IsNameChar(text[pos])) ++pos;
    if (pos == classStart) return kWbemEInvalidObjectPath;
    out.className.assign(text.substr(classStart, pos - classStart));

    auto readValue = [&](std::string& value) -> bool {
        skipSpace();
        if (pos >= text.size()) return false;
        if (text[pos] == '"') {
            ++pos;
            while (pos < text.size() && text[pos] != '"') {
                if (text[pos] == '\\') {
                    ++pos;
                    if (pos >= text.size()) return false;
                }
                value += text[pos++];
            }
            if (pos >= text.size()) return false;
            ++pos;
            return true;
        }
        std::size_t start = pos;
        while (pos < text.size() && text[pos] != ',' &&
               !std::isspace(static_cast<unsigned char>(text[pos])))
            ++pos;
        if (pos == start) return false;
        value.assign(text.substr(start, pos - start));
        return true;
    };

    skipSpace();
    if (pos == text.size()) return kSOk;
    if (text[pos] == '=') {
        ++pos;
        skipSpace();
        if (pos < text.size() && text[pos] == '@') {
            ++pos;
            out.singleton = true;
        } else {
            std::string value;
            if (!readValue(value)) return kWbemEInvalidObjectPath;
            out.keys.emplace_back(std::string(), std::move(value));
        }
    } else if (text[pos] == '.') {
        ++pos;
        while (true) {
            skipSpace();
            std::size_t nameStart = pos;
            while (pos < text.size() && IsNameChar(text[pos])) ++pos;
            if (pos == nameStart) return kWbemEInvalidObjectPath;
            std::string name(text.substr(nameStart, pos - nameStart));
            skipSpace();
            if (pos >= text.size() || text[pos] != '=') return kWbemEInvalidObjectPath;
            ++pos;
            std::string value;
            if (!readValue(value)) return kWbemEInvalidObjectPath;
            out.keys.emplace_back(std::move(name), std::move(value));
            skipSpace();
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continue;
            }
            break;
        }
    } else {
        return kWbemEInvalidObjectPath;
    }
    skipSpace();
    return pos == text.size() ? kSOk : kWbemEInvalidObjectPath;
}

}  // namespace hbr
