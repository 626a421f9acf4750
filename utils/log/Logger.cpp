#include "utils/log/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "utils/Exception.h"
#include "utils/fs/FileSystem.h"
#include "utils/string/String.h"
#include "utils/thread/Thread.h"

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kSeparator = "\n-----------------------------------\n";

LogTime SystemClock() {
    const unsigned long long ms = Utils::UnixTimeMilliseconds();
    LogTime now;
    now.seconds = static_cast<long long>(ms / 1000);
    now.milliseconds = static_cast<unsigned short>(ms % 1000);
    return now;
}

std::atomic<LogClockFunction> g_clock{nullptr};
std::atomic<CVLogger*> g_appLogger{nullptr};
// Published once the shared rotation timer exists (for Instance()).
std::atomic<TestTickerTimeout*> g_rotationTimer{nullptr};

// The rotation timer shared by every logger, created by the first one (a
// thread-safe local static) and never destroyed: it runs until the process ends.
TestTickerTimeout& SharedRotationTimer() {
    static TestTickerTimeout* const timer = new TestTickerTimeout();
    return *timer;
}

typedef struct tm*(__cdecl* Localtime64Function)(const __time64_t*);

// The system's msvcrt.dll has _localtime64 from Windows XP on: asked for at
// run time, so that the 32-bit program also starts on Windows 2000.
Localtime64Function FindLocaltime64() {
    HMODULE crt = GetModuleHandleA("msvcrt.dll");  // imported by every program of ours
    return crt ? reinterpret_cast<Localtime64Function>(GetProcAddress(crt, "_localtime64")) : nullptr;
}

// Local calendar time of an instant; false when the CRT cannot convert it.
bool ToLocal(long long seconds, struct tm& out) {
    static const Localtime64Function localtime64 = FindLocaltime64();
    struct tm* local = nullptr;  // per-thread buffer in the CRT
    if (localtime64 != nullptr) {
        __time64_t value = static_cast<__time64_t>(seconds);
        local = localtime64(&value);
    }
#if !defined(_WIN64)
    else if (seconds >= 0 && seconds <= 0x7FFFFFFF) {
        // Without it the 32-bit conversion stands in: instants up to January 2038.
        __time32_t value = static_cast<__time32_t>(seconds);
        local = _localtime32(&value);
    }
#endif
    if (local == nullptr) return false;
    out = *local;
    return true;
}

void AppendFormatted(std::string& out, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length > 0) out.append(buffer, static_cast<size_t>(length) < sizeof buffer ? length : sizeof buffer - 1);
}

// Appends the (code, value) pairs up to the null code by the table of type codes.
void AppendItems(std::string& out, va_list args) {
    for (;;) {
        const char* code = va_arg(args, const char*);
        if (code == nullptr) break;
        switch (code[0]) {
        case 'S':
        case 's': {
            const char* text = va_arg(args, const char*);
            out += text ? text : "(null)";
            if (code[0] == 'S') out += '\n';
            break;
        }
        case 'I':
        case 'i':
            AppendFormatted(out, code[0] == 'I' ? "%d\n" : "%d", va_arg(args, int));
            break;
        case 'D':
            AppendFormatted(out, "%0.10f\n", va_arg(args, double));
            break;
        case 'd':
            AppendFormatted(out, "%15.10lf", va_arg(args, double));
            break;
        case 'N':
            out += '\n';
            break;
        default:
            break;  // unknown code: takes no value
        }
    }
}

} // namespace

void SetLogClock(LogClockFunction clock) {
    g_clock = clock;
}

LogTime LogNow() {
    LogClockFunction clock = g_clock;
    return clock ? clock() : SystemClock();
}

std::string LogHourStamp(const LogTime& now) {
    struct tm local;
    if (!ToLocal(now.seconds, local)) return "Jan_01_00";
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s_%02d_%02d", kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour);
    return stamp;
}

std::string LogTimeLine(const LogTime& now) {
    struct tm local;
    if (!ToLocal(now.seconds, local)) local = tm();
    // The standard 24-character time text "Www Mmm DD HH:MM:SS YYYY\n", English names.
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d\n", kDays[local.tm_wday % 7],
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_year + 1900);
    char line[96];
    std::snprintf(line, sizeof line, "TIME: %.19s.%03hu %s", text, now.milliseconds, text + 20);
    return line;
}

// ---------------------------------------------------------------------------

CVLogger::CVLogger() {
    for (int i = 0; i < CHANNEL_COUNT; ++i) {
        m_channels[i].bit = 1u << i;
        m_channels[i].flags = 0;
    }
    g_rotationTimer.store(&SharedRotationTimer());
}

CVLogger::~CVLogger() = default;

int CVLogger::LOG_CHANNEL_2_INDEX(DWORD bit) {
    for (int i = 0; i < CHANNEL_COUNT; ++i) {
        if (bit == (1u << i)) return i;
    }
    throw new Utils::Exception("Error in CVLogger::LOG_CHANNEL_2_INDEX", "channel not in range", 0);
}

void CVLogger::SetChannelFile(DWORD bit, const std::string& name) {
    int index = LOG_CHANNEL_2_INDEX(bit);
    Utils::AutoLock lock(*this);
    m_channels[index].fileName = name;
}

int CVLogger::SetChannelFlags(DWORD bit, DWORD flags) {
    int index = LOG_CHANNEL_2_INDEX(bit);
    Utils::AutoLock lock(*this);
    m_channels[index].flags = flags;
    return index;
}

bool CVLogger::Writes(DWORD channelMask) const {
    Utils::AutoLock lock(*this);
    for (const Channel& channel : m_channels) {
        if ((channelMask & channel.bit) == 0) continue;
        if (channel.flags & FLAG_ECHO) return true;
        if ((channel.flags & FLAG_FILE) && !channel.fileName.empty()) return true;
    }
    return false;
}

void CVLogger::WriteRecord(DWORD channelMask, const std::string& items) {
    // Held for the whole record, so records of one logger never interleave.
    Utils::AutoLock lock(*this);
    bool bEcho = false;
    std::vector<std::string> targets;
    for (const Channel& channel : m_channels) {
        if ((channelMask & channel.bit) == 0) continue;
        if (channel.flags & FLAG_ECHO) bEcho = true;
        if ((channel.flags & FLAG_FILE) && !channel.fileName.empty()) targets.push_back(channel.fileName);
    }
    if (!bEcho && targets.empty()) return;

    LogTime now = LogNow();
    std::string record = LogTimeLine(now);
    record += items;
    record += kSeparator;

    if (!targets.empty()) {
        std::string suffix = "_" + LogHourStamp(now) + ".log_";
        for (const std::string& target : targets) {
            FILE* file = std::fopen((target + suffix).c_str(), "a");  // text mode: CR LF on disk
            if (file == nullptr) continue;
            std::fwrite(record.data(), 1, record.size(), file);
            std::fclose(file);
        }
    }
    if (bEcho) {
        std::fwrite(record.data(), 1, record.size(), stdout);
        std::fflush(stdout);
    }
}

void Log(CVLogger* logger, DWORD channelMask, ...) {
    if (logger == nullptr) return;
    std::string items;
    va_list args;
    va_start(args, channelMask);
    AppendItems(items, args);
    va_end(args);
    logger->WriteRecord(channelMask, items);
}

void CreateUtilsErrorLogRecord(const char* filePrefix, ...) {
    std::string text = "CreateUtilsErrorLogRecord";
    va_list args;
    va_start(args, filePrefix);
    AppendItems(text, args);
    va_end(args);

    const std::string exeName = Utils::FileSystem::GetOwnName(Utils::FileSystem::NameForm::WithoutExtension);
    CVLogger logger;
    logger.SetChannelFile(1, std::string(filePrefix ? filePrefix : "") + exeName);
    logger.SetChannelFlags(1, CVLogger::FLAG_ECHO | CVLogger::FLAG_FILE);
    Log(&logger, 1, "s", text.c_str(), nullptr);
}

CVLogger* AppLogger() {
    return g_appLogger;
}

void SetAppLogger(CVLogger* logger) {
    g_appLogger = logger;
}

// ---------------------------------------------------------------------------

TestTickerTimeout::TestTickerTimeout() {
    ResetTimeout();
}

TestTickerTimeout::~TestTickerTimeout() {
    Stop();
}

TestTickerTimeout* TestTickerTimeout::Instance() {
    return g_rotationTimer;
}

DWORD TestTickerTimeout::IntervalUntilRotation(long long secondsSince1970) {
    long long minutes = ((secondsSince1970 % 3600) + 3600) % 3600 / 60;
    return static_cast<DWORD>((62 - minutes) * 60000);
}

void TestTickerTimeout::ResetTimeout() {
    DWORD interval = IntervalUntilRotation(LogNow().seconds);
    std::printf("Reset Log TickerTimeout to %d  Melee seconds.\n", static_cast<int>(interval));
    StartTimer(1, interval);
}

void TestTickerTimeout::OnTick(DWORD tickNumber) {
    std::printf("TestTickerTimeout::OnTick(%d)\n", static_cast<int>(tickNumber));
}

void TestTickerTimeout::OnTickerTimeout() {
    std::printf("TestTickerTimeout::OnTickerTimeout()\n");
    RotateLogFiles();
    ResetTimeout();
}

void TestTickerTimeout::OnTickerError(const std::string&) {}

void TestTickerTimeout::RotateLogFiles() {
    std::vector<std::string> paths;
    Utils::FileSystem::ListDirectory(paths, ".//", false, false, true);
    std::vector<std::string> names;
    for (const std::string& path : paths) {
        if (path.size() < 5 || path.compare(path.size() - 5, 5, ".log_") != 0) continue;
        size_t slash = path.rfind('\\');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        Utils::String::ToLower(name);
        std::printf("tmp raw file :%s\n", name.c_str());
        names.push_back(name);
    }
    std::string stamp = LogHourStamp(LogNow());
    Utils::String::ToLower(stamp);
    for (const std::string& name : names) {
        if (name.find(stamp) == std::string::npos) {
            MoveFileA(name.c_str(), name.substr(0, name.size() - 1).c_str());  // a failed rename is ignored
        } else {
            std::printf("Current log file: %s\n", name.c_str());
        }
    }
    std::printf("End rename \n");
}
