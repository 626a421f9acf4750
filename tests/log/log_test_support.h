#pragma once
// A settable clock and file helpers for the logger tests.
#include <windows.h>
#include <io.h>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "utils/Handles.h"
#include "utils/log/Logger.h"

#include "support/StdoutCapture.h"

namespace logtest {

using TestSupport::ReadText;
using TestSupport::WriteText;
using TestSupport::StdoutCapture;

inline LogTime& ClockValue() {
    static LogTime value{0, 0};
    return value;
}
inline LogTime TestClock() {
    return ClockValue();
}
// Sets the logger's clock to a local date and time.
inline void SetLocalNow(int year, int month, int day, int hour, int minute, int second, int ms) {
    struct tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    ClockValue().seconds = static_cast<long long>(_mktime64(&local));
    ClockValue().milliseconds = static_cast<unsigned short>(ms);
    SetLogClock(&TestClock);
}

inline bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh, empty working folder made current for one test.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name) {
        char buffer[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, buffer);
        m_previous = buffer;
        m_path = m_previous + "\\" + name;
        Empty();
        CreateDirectoryA(m_path.c_str(), nullptr);
        SetCurrentDirectoryA(m_path.c_str());
    }
    ~ScratchFolder() {
        SetCurrentDirectoryA(m_previous.c_str());
        Empty();
        RemoveDirectoryA(m_path.c_str());
    }

private:
    void Empty() {
        WIN32_FIND_DATAA data;
        Utils::FindHandle find(FindFirstFileA((m_path + "\\*").c_str(), &data));
        if (!find) return;
        do {
            std::string entry = m_path + "\\" + data.cFileName;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(entry.c_str());
            else
                DeleteFileA(entry.c_str());
        } while (FindNextFileA(find.Get(), &data));
    }
    std::string m_previous;
    std::string m_path;
};

} // namespace logtest
