#pragma once
// Small wrappers over Log() for the engine's records: a function name line,
// then a label and a value. Records go to the application logger (nothing
// while it does not exist).
#include <string>

#include "utils/Result.h"

namespace EngineLog {

void Text(const char* function, const std::string& label, const std::string& value);
void Int(const char* function, const std::string& label, int value);
void Line(const char* function, const std::string& text);
// The one record of a failure: "<step> failed: reason=<name> error=<code>
// (<system text>) <detail>".
void Failure(const char* function, const std::string& step, const Utils::Result& result);
// Whether the engine's records are written anywhere (the application logger
// exists and its channel writes to standard output or a file).
bool Enabled();

} // namespace EngineLog
