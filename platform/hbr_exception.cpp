#include "platform/hbr_exception.h"

#include <cstring>

namespace hbr {

std::string SystemErrorText(int code) {
    char buf[1024];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string s(text ? text : "");
    if (s.size() > 1024) s.resize(1024);
    const auto first = s.find_first_not_of(" \t\r\n");
    const auto last = s.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

CHbrException::CHbrException(std::string text, int code) : code_(code), message_(std::move(text)) {
    if (code != 0) {
        message_ += ' ';
        message_ += SystemErrorText(code);
        message_ += " (" + std::to_string(code) + ")";
    }
}

}  // namespace hbr
