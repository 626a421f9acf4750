#pragma once
// Real files for the INI tests, written in binary so CR LF stays as given.
#include <windows.h>
#include <cstdio>
#include <fstream>
#include <io.h>
#include <sstream>
#include <string>

#include "support/StdoutCapture.h"

namespace initest {

using TestSupport::ReadText;
using TestSupport::WriteText;
using TestSupport::StdoutCapture;


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
