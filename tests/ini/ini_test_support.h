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

using TestSupport::CurrentFolder;
using TestSupport::Lower;
using TestSupport::ReadText;
using TestSupport::StdoutCapture;
using TestSupport::WriteText;

inline int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

} // namespace initest
