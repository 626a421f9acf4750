#pragma once
// Test helpers shared by several groups: reading a file whole, and capturing
// what the process prints to standard output (the traces of the utilities).
#include <windows.h>
#include <io.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace TestSupport {

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

} // namespace TestSupport
