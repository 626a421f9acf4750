#pragma once
// Real files for the INI tests, written in binary so CR LF stays as given.
#include <windows.h>
#include <cstdio>
#include <fstream>
#include <io.h>
#include <sstream>
#include <string>

namespace initest {

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

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

inline int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

inline std::string CurrentDirectory() {
    char buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
    return std::string(buffer, length);
}

} // namespace initest
