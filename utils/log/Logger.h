#pragma once
// Diagnostic records: CVLogger writes time-stamped records to up to twenty
// channels (standard output and/or an hourly file in the current directory).
#include <windows.h>
#include <ctime>
#include <string>

#include "utils/Lockable.h"
#include "utils/thread/Thread.h"

class CVLogger : public Utils::Lockable {
public:
    static const int CHANNEL_COUNT = 20;
    static const DWORD FLAG_ECHO = 1;  // print each record to standard output
    static const DWORD FLAG_FILE = 4;  // append each record to the channel's hourly file

    // Every channel starts without file and with flags 0: nothing is written.
    // The first logger of the process creates the hourly rotation timer.
    CVLogger();
    virtual ~CVLogger();

    // 1 -> 0, 2 -> 1, ... 0x80000 -> 19. Anything else throws a Utils::Exception
    // pointer ("Error in CVLogger::LOG_CHANNEL_2_INDEX", "channel not in range").
    static int LOG_CHANNEL_2_INDEX(DWORD bit);

    void SetChannelFile(DWORD bit, const std::string& name);
    // Returns the channel's index.
    int SetChannelFlags(DWORD bit, DWORD flags);

    // Used by Log: appends one finished record to every target of the mask.
    void WriteRecord(DWORD channelMask, const std::string& items);
    // Whether a record for the mask would be written anywhere: callers skip
    // building large record texts that nobody reads.
    bool Writes(DWORD channelMask) const;

private:
    struct Channel {
        DWORD bit;
        std::string fileName;
        DWORD flags;
    };
    Channel m_channels[CHANNEL_COUNT];
};

// Writes one record to every channel of the mask. After the mask come pairs of
// a type code and a value, ended by a null code:
//   "S"/"s" text, "I"/"i" 32-bit int, "D"/"d" double, "N" (no value);
// upper case adds a line feed. Unknown codes are skipped and take no value.
// A null logger writes nothing.
void Log(CVLogger* logger, DWORD channelMask, ...);

// One error record, without any configured logger, to the file
// <filePrefix><executable name without extension>_Mmm_DD_HH.log_ (and echoed).
void CreateUtilsErrorLogRecord(const char* filePrefix, ...);

// The application logger (null until the dialog creates it).
CVLogger* AppLogger();
void SetAppLogger(CVLogger* logger);

// The clock of records, file names, rotation and the hourly timer.
// Tests install another one; null restores the system clock.
struct LogTime {
    long long seconds;            // since 1970-01-01 UTC
    unsigned short milliseconds;
};
typedef LogTime (*LogClockFunction)();
void SetLogClock(LogClockFunction clock);
LogTime LogNow();

// Helpers shared by the logger and the rotation (local time of the given instant).
// "Mmm_DD_HH", e.g. "Mar_05_14".
std::string LogHourStamp(const LogTime& now);
// "TIME: Www Mmm DD HH:MM:SS.mmm YYYY\n"
std::string LogTimeLine(const LogTime& now);

// The process-wide timer that renames the past hour's ".log_" files to ".log"
// about two minutes after each full hour.
class TestTickerTimeout : public Utils::Ticker {
public:
    TestTickerTimeout();
    virtual ~TestTickerTimeout();

    void OnTickerTimeout() override;
    void OnTick(DWORD tickNumber) override;
    void OnTickerError(const std::string& text) override;

    // Arms the timer to fire two minutes past the next full hour.
    void ResetTimeout();
    // Milliseconds from the given instant to two minutes past the next hour
    // (at the seconds of the present minute).
    static DWORD IntervalUntilRotation(long long secondsSince1970);

    // Renames every "*.log_" file of the current directory that does not carry
    // the current hour's stamp to "*.log".
    static void RotateLogFiles();

    // The shared instance (created by the first CVLogger); may be null.
    static TestTickerTimeout* Instance();
};
