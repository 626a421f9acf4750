#include "engine/EngineLog.h"

#include "utils/log/Logger.h"

namespace EngineLog {

void Text(const char* function, const std::string& label, const std::string& value) {
    Log(AppLogger(), 1, "S", function, "s", label.c_str(), "S", value.c_str(), nullptr);
}

void Int(const char* function, const std::string& label, int value) {
    Log(AppLogger(), 1, "S", function, "s", label.c_str(), "I", value, nullptr);
}

void Line(const char* function, const std::string& text) {
    Log(AppLogger(), 1, "S", function, "S", text.c_str(), nullptr);
}

void Failure(const char* function, const std::string& step, const Utils::Result& result) {
    Line(function, step + " failed: " + Utils::DescribeFailure(result));
}

bool Enabled() {
    CVLogger* logger = AppLogger();
    return logger != nullptr && logger->Writes(1);
}

} // namespace EngineLog
