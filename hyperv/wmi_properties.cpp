#include "hyperv/wmi_properties.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "store/json.h"

namespace hbr {
namespace {

std::string KeyOf(std::string_view name, std::string_view key) {
    return std::string(key.empty() ? name : key);
}

void AppendNull(std::string& out, const std::string& key) {
    out += "\"" + key + "\": null,";
}

// 1601-01-01 to 1970-01-01 in 100-ns units.
constexpr std::int64_t kEpochDelta = 116444736000000000LL;

bool Digits(std::string_view s, int& value) {
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return !s.empty();
}

}  // namespace

HResult WriteStringProperty(std::string& out, const WmiObject& object, std::string_view name,
                            std::string_view key) {
    const std::string k = KeyOf(name, key);
    WmiValue v;
    const HResult hr = object.Get(name, v);
    const std::string* s = Succeeded(hr) ? v.AsBstr() : nullptr;
    if (s && !s->empty())
        out += "\"" + k + "\":\"" + JsonEscapeW(*s) + "\",";
    else
        AppendNull(out, k);
    return hr;
}

HResult WriteArrayProperty(std::string& out, const WmiObject& object, std::string_view name,
                           std::string_view key) {
    const std::string k = KeyOf(name, key);
    WmiValue v;
    const HResult hr = object.Get(name, v);
    const std::vector<std::string>* items = Succeeded(hr) ? v.AsBstrArray() : nullptr;
    if (!items) {
        AppendNull(out, k);
        return hr;
    }
    out += "\"" + k + "\":\"";
    for (const auto& item : *items) out += JsonEscapeW(item) + ";";
    while (!out.empty() && out.back() == ';') out.pop_back();
    out += "\",";
    return hr;
}

HResult WriteNumberProperty(std::string& out, const WmiObject& object, std::string_view name,
                            std::string_view key) {
    out += "\"" + KeyOf(name, key) + "\":";
    WmiValue v;
    const HResult hr = object.Get(name, v);
    if (Failed(hr) || v.IsEmptyOrNull()) {
        out += "null,";
        return hr;
    }
    switch (v.Type()) {
        case VT_I4:
        case VT_INT: {
            const std::int32_t n = v.AsInt32();
            out += n == std::numeric_limits<std::int32_t>::max() ? "null," : std::to_string(n) + ",";
            break;
        }
        case VT_BSTR: {
            // 64-bit integers arrive as text; only digits go out unquoted, so a host cannot
            // smuggle JSON into the reply.
            const std::string& s = *v.AsBstr();
            bool number = !s.empty();
            for (std::size_t i = 0; i < s.size(); ++i)
                if (!(s[i] >= '0' && s[i] <= '9') && !(i == 0 && s[i] == '-' && s.size() > 1))
                    number = false;
            out += number ? s + "," : std::string("null,");
            break;
        }
        case VT_UI4:
        case VT_UINT: {
            const auto n = static_cast<std::uint32_t>(v.AsInt32());
            out += n == 0 ? std::string("null,") : std::to_string(n) + ",";
            break;
        }
        default:
            out += "null,";
    }
    return hr;
}

std::optional<std::int64_t> CimDateTimeToLocalFileTime(std::string_view text) {
    if (text.size() != 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-'))
        return std::nullopt;
    int year, month, day, hour, minute, second, micro, offset;
    if (!Digits(text.substr(0, 4), year) || !Digits(text.substr(4, 2), month) ||
        !Digits(text.substr(6, 2), day) || !Digits(text.substr(8, 2), hour) ||
        !Digits(text.substr(10, 2), minute) || !Digits(text.substr(12, 2), second) ||
        !Digits(text.substr(15, 6), micro) || !Digits(text.substr(22, 3), offset))
        return std::nullopt;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    std::int64_t utc = static_cast<std::int64_t>(timegm(&tm));
    utc -= (text[21] == '-' ? -offset : offset) * 60LL;  // the text is local to its offset
    std::tm local{};
    const std::time_t t = static_cast<std::time_t>(utc);
    if (!localtime_r(&t, &local)) return std::nullopt;
    const std::int64_t localSecs = utc + local.tm_gmtoff;
    return localSecs * 10000000LL + micro * 10LL + kEpochDelta;
}

bool FormatLocalFileTime(std::int64_t fileTime, std::string& date, std::string& time) {
    if (fileTime < 0) return false;
    const std::time_t secs = static_cast<std::time_t>((fileTime - kEpochDelta) / 10000000LL -
                                                      ((fileTime - kEpochDelta) % 10000000LL < 0));
    std::tm tm{};
    if (!gmtime_r(&secs, &tm)) return false;  // already local: no second conversion
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d/%d/%d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    date = buf;
    const int h12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, tm.tm_min, tm.tm_sec,
                  tm.tm_hour < 12 ? "AM" : "PM");
    time = buf;
    return true;
}

HResult WriteDateProperty(std::string& out, const WmiObject& object, std::string_view name,
                          std::string_view key) {
    const std::string k = KeyOf(name, key);
    WmiValue v;
    const HResult hr = object.Get(name, v);
    const std::string* s = Succeeded(hr) ? v.AsBstr() : nullptr;
    std::string date, time;
    std::optional<std::int64_t> ft;
    if (s) ft = CimDateTimeToLocalFileTime(*s);
    if (ft && FormatLocalFileTime(*ft, date, time))
        out += "\"" + k + "\":\"" + JsonEscapeW(date) + " " + JsonEscapeW(time) + "\",";
    else
        AppendNull(out, k);
    return hr;
}

HResult WriteHostStringProperty(std::string& out, const WmiObject& object, std::string_view name,
                                std::string_view key) {
    WmiValue v;
    const HResult hr = object.Get(name, v);
    const std::string* s = Succeeded(hr) ? v.AsBstr() : nullptr;
    out += "\"" + KeyOf(name, key) + "\":\"" + (s ? JsonEscapeW(*s) : std::string()) + "\",";
    return hr;
}

HResult ReadIntegerProperty(const WmiObject& object, std::string_view name, std::int32_t& value) {
    WmiValue v;
    const HResult hr = object.Get(name, v);
    if (Failed(hr)) return hr;
    if (v.IsEmptyOrNull()) return kSOk;
    switch (v.Type()) {
        case VT_I4:
        case VT_INT:
            if (v.AsInt32() != std::numeric_limits<std::int32_t>::max()) value = v.AsInt32();
            return kSOk;
        case VT_BSTR: {
            // Not a number, or out of the 32-bit range: the read fails and the caller keeps its
            // preset, so a 64-bit counter never wraps into a wrong figure.
            const std::string& s = *v.AsBstr();
            std::size_t i = 0;
            bool negative = false;
            if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
            if (i == s.size()) return kEFail;
            std::int64_t n = 0;
            for (; i < s.size(); ++i) {
                if (s[i] < '0' || s[i] > '9') return kEFail;
                n = n * 10 + (s[i] - '0');
                if (n > 2147483648LL) return kEFail;
            }
            if (negative) n = -n;
            if (n > std::numeric_limits<std::int32_t>::max()) return kEFail;
            value = static_cast<std::int32_t>(n);
            return kSOk;
        }
        case VT_UI4:
        case VT_UINT:
            value = v.AsInt32();
            return kSOk;
        default:
            return kEFail;
    }
}

void StripInstancePrefix(std::string& text) {
    const std::size_t at = text.find("soft:");
    if (at != std::string::npos) text.erase(0, at + 5);
    while (!text.empty() && text.front() == '"') text.erase(text.begin());
    while (!text.empty() && text.back() == '"') text.pop_back();
}

std::string FormatTimeSpan(std::uint64_t seconds) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu.%02u:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 86400),
                  static_cast<unsigned>(seconds / 3600 % 24), static_cast<unsigned>(seconds / 60 % 60),
                  static_cast<unsigned>(seconds % 60));
    return buf;
}

void StripOuterCommas(std::string& text) {
    std::size_t b = 0;
    while (b < text.size() && text[b] == ',') ++b;
    std::size_t e = text.size();
    while (e > b && text[e - 1] == ',') --e;
    text = text.substr(b, e - b);
}

}  // namespace hbr
