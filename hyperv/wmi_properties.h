#pragma once
// WMI property values as JSON members: each writer reads one property and appends one member
// with a trailing comma; the caller strips the commas before it closes the object.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// An empty key means the property name.
HResult WriteStringProperty(std::string& out, const WmiObject& object, std::string_view name,
                            std::string_view key = {});
HResult WriteArrayProperty(std::string& out, const WmiObject& object, std::string_view name,
                           std::string_view key = {});
HResult WriteNumberProperty(std::string& out, const WmiObject& object, std::string_view name,
                            std::string_view key = {});
HResult WriteDateProperty(std::string& out, const WmiObject& object, std::string_view name,
                          std::string_view key = {});
HResult WriteHostStringProperty(std::string& out, const WmiObject& object, std::string_view name,
                                std::string_view key = {});
// Reads a number into `value` (left unchanged for empty, null and 2147483647).
HResult ReadIntegerProperty(const WmiObject& object, std::string_view name, std::int32_t& value);

// "Microsoft:GUID" or a path ending in it and a quotation mark → the bare GUID.
void StripInstancePrefix(std::string& text);

// A CIM datetime ("yyyymmddHHMMSS.mmmmmm+UUU") as 100-ns units since 1601 in local time;
// nullopt when the text is not one.
std::optional<std::int64_t> CimDateTimeToLocalFileTime(std::string_view text);
// Local file time → "M/D/YYYY" and "h:mm:ss AM" (the en-US short date and time formats).
bool FormatLocalFileTime(std::int64_t fileTime, std::string& date, std::string& time);

// Whole seconds as "D.HH:MM:SS".
std::string FormatTimeSpan(std::uint64_t seconds);

// Strips commas at both ends.
void StripOuterCommas(std::string& text);

}  // namespace hbr
