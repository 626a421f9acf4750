#pragma once
#include <string>

namespace Utils {

// The library's one exception type. Raised only when a caller breaks an
// interface rule. Created with new and thrown as a pointer: whoever catches it
// owns it and deletes it.
class Exception {
public:
    // The message is the text followed by "\nThreadId=<id of the creating thread>".
    Exception(const std::string& place, const std::string& text, int code);
    virtual ~Exception();

    const std::string& Message() const { return m_message; }
    const std::string& Place() const { return m_place; }
    int Code() const { return m_code; }

private:
    std::string m_message;
    std::string m_place;
    int m_code;
};

} // namespace Utils
