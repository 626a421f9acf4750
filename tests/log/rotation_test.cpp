// The hourly timer: when it fires, and how it renames the past hours' files.
#include <gtest/gtest.h>

#include <windows.h>
#include <string>

#include "log_test_support.h"
#include "utils/Handles.h"
#include "utils/log/Logger.h"

namespace {

using logtest::Exists;
using logtest::ReadText;

const long long kJuly30Midnight = 1185753600;  // 2007-07-30 00:00:00 UTC

LogTime UtcClock() {
    return logtest::ClockValue();
}

TEST(RotationTimer, FiresTwoMinutesPastTheNextHour) {
    struct {
        long long secondsOfDay;
        DWORD interval;
    } rows[] = {
        {10 * 3600 + 15 * 60 + 40, 2820000},  // 47 minutes
        {10 * 3600, 3720000},                 // 62 minutes
        {10 * 3600 + 59 * 60 + 59, 180000},   // 3 minutes
        {10 * 3600 + 2 * 60, 3600000},        // right at the rotation: the next one in an hour
    };
    TestTickerTimeout timer;
    for (const auto& row : rows) {
        logtest::ClockValue() = LogTime{kJuly30Midnight + row.secondsOfDay, 500};
        SetLogClock(&UtcClock);
        timer.ResetTimeout();
        EXPECT_EQ(row.interval, timer.GetInterval()) << row.secondsOfDay;
        EXPECT_EQ(1u, timer.GetTimeout());
        EXPECT_TRUE(timer.IsActive());
    }
    SetLogClock(nullptr);
}

TEST(RotationTimer, FirstLoggerCreatesTheSharedTimer) {
    CVLogger first;
    TestTickerTimeout* shared = TestTickerTimeout::Instance();
    ASSERT_NE(nullptr, shared);
    EXPECT_TRUE(shared->IsActive());
    CVLogger second;
    EXPECT_EQ(shared, TestTickerTimeout::Instance());
}

// The actual name of a file as the folder lists it (case included).
std::string ListedName(const std::string& name) {
    WIN32_FIND_DATAA data;
    Utils::FindHandle find(FindFirstFileA(name.c_str(), &data));
    return find ? std::string(data.cFileName) : std::string();
}

TEST(RotateLogFiles, RenamesPastHoursAndKeepsTheCurrentOne) {
    logtest::ScratchFolder folder("rotate_scratch");
    logtest::SetLocalNow(2007, 7, 30, 10, 2, 0, 0);
    logtest::WriteText("OV_Jul_30_09.log_", "nine");
    logtest::WriteText("ov_jul_30_10.log_", "ten");
    logtest::WriteText("Utils_setup_Jul_29_23.log_", "yesterday");
    logtest::WriteText("ov_jul_30_08.log_", "eight, again");
    logtest::WriteText("ov_jul_30_08.log", "eight");  // the rename would clash: left as it is
    logtest::WriteText("notes.txt", "not a log");
    CreateDirectoryA("folder.log_", nullptr);

    TestTickerTimeout::RotateLogFiles();

    EXPECT_EQ("ov_jul_30_09.log", ListedName("ov_jul_30_09.log"));
    EXPECT_EQ("nine", ReadText("ov_jul_30_09.log"));
    EXPECT_FALSE(Exists("OV_Jul_30_09.log_"));
    EXPECT_EQ("ten", ReadText("ov_jul_30_10.log_"));
    EXPECT_FALSE(Exists("ov_jul_30_10.log"));
    EXPECT_EQ("utils_setup_jul_29_23.log", ListedName("utils_setup_jul_29_23.log"));
    EXPECT_EQ("eight", ReadText("ov_jul_30_08.log"));
    EXPECT_EQ("eight, again", ReadText("ov_jul_30_08.log_"));
    EXPECT_EQ("not a log", ReadText("notes.txt"));
    EXPECT_TRUE(Exists("folder.log_"));
    RemoveDirectoryA("folder.log_");
    SetLogClock(nullptr);
}

TEST(RotateLogFiles, TimeoutRotatesWhatTheLoggerWroteAndRearms) {
    logtest::ScratchFolder folder("rotate_timeout_scratch");
    CVLogger logger;
    logger.SetChannelFile(1, "OV");
    logger.SetChannelFlags(1, 4);
    logtest::SetLocalNow(2007, 7, 30, 9, 58, 0, 0);
    Log(&logger, 1, "S", "old hour", nullptr);
    logtest::SetLocalNow(2007, 7, 30, 10, 2, 0, 0);
    Log(&logger, 1, "S", "new hour", nullptr);

    TestTickerTimeout timer;
    timer.OnTickerTimeout();
    EXPECT_NE(std::string::npos, ReadText("ov_jul_30_09.log").find("old hour"));
    EXPECT_FALSE(Exists("OV_Jul_30_09.log_"));
    // The current hour's file stays open for more records.
    Log(&logger, 1, "S", "still this hour", nullptr);
    std::string current = ReadText("OV_Jul_30_10.log_");
    EXPECT_NE(std::string::npos, current.find("new hour"));
    EXPECT_NE(std::string::npos, current.find("still this hour"));
    EXPECT_TRUE(timer.IsActive());
    EXPECT_EQ(1u, timer.GetTimeout());
    SetLogClock(nullptr);
}

} // namespace
