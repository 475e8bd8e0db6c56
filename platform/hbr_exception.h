#pragma once
// The program's own exception: an error code and a message. Made from a text and a code, the
// message is the text, a blank, the system's text for the code and " (code)"; with code 0 it
// is the text alone.
#include <exception>
#include <string>

namespace hbr {

class CHbrException : public std::exception {
public:
    CHbrException(std::string text, int code = 0);
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    int Code() const noexcept { return code_; }

private:
    int code_;
    std::string message_;
};

// The system's message for an errno value, trimmed, at most 1024 characters.
std::string SystemErrorText(int code);

}  // namespace hbr
