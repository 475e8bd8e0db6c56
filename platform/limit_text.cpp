#include "platform/limit_text.h"

#include <charconv>

namespace hbr {

void ForEachLimit(std::string_view text,
                  const std::function<void(std::string_view name, std::int64_t value)>& take) {
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const auto eq = item.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view value = item.substr(eq + 1);
        std::int64_t number = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || end != value.data() + value.size() || number < 1) continue;
        take(item.substr(0, eq), number);
    }
}

}  // namespace hbr
