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

namespace logtest {

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

inline std::string ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
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

// Captures what the process writes to standard output while it lives.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& file) : m_file(file) {
        std::fflush(stdout);
        m_saved = _dup(1);
        std::FILE* target = std::fopen(file.c_str(), "wb");
        _dup2(_fileno(target), 1);
        std::fclose(target);
    }
    std::string Finish() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            _dup2(m_saved, 1);
            _close(m_saved);
            m_saved = -1;
        }
        std::string text = ReadBinary(m_file);
        DeleteFileA(m_file.c_str());
        return text;
    }
    ~StdoutCapture() { Finish(); }

private:
    std::string m_file;
    int m_saved = -1;
};

} // namespace logtest
