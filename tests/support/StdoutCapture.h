#pragma once
// Capturing what the process prints to standard output (the traces of the
// utilities), for tests of several groups.
#include <windows.h>
#include <io.h>
#include <cstdio>
#include <string>

#include "support/TestFiles.h"

namespace TestSupport {

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
        std::string text = ReadText(m_file);
        DeleteFileA(m_file.c_str());
        return text;
    }
    ~StdoutCapture() { Finish(); }

private:
    std::string m_file;
    int m_saved = -1;
};

} // namespace TestSupport
