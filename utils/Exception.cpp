#include "utils/Exception.h"

#include <windows.h>
#include <cstdio>

namespace Utils {

Exception::Exception(const std::string& place, const std::string& text, int code)
    : m_message(text), m_place(place), m_code(code) {
    char line[64];
    std::snprintf(line, sizeof line, "\n%s=%d", "ThreadId", static_cast<int>(GetCurrentThreadId()));
    m_message += line;
}

Exception::~Exception() = default;

} // namespace Utils
