#pragma once
// A settable clock for the logger tests, and the file helpers they use.
#include <windows.h>
#include <io.h>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "utils/log/Logger.h"

#include "support/StdoutCapture.h"

namespace logtest {

using TestSupport::Exists;
using TestSupport::ReadText;
using TestSupport::ScratchFolder;  // a fresh folder made current while it lives
using TestSupport::StdoutCapture;
using TestSupport::WriteText;

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

} // namespace logtest
