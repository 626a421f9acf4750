#pragma once
// Small wrappers over Log() for the engine's records: a function name line,
// then a label and a value. Records go to the application logger (nothing
// while it does not exist).
#include <string>

namespace EngineLog {

void Text(const char* function, const std::string& label, const std::string& value);
void Int(const char* function, const std::string& label, int value);
void Line(const char* function, const std::string& text);
// Whether the engine's records are written anywhere (the application logger
// exists and its channel writes to standard output or a file).
bool Enabled();

} // namespace EngineLog
