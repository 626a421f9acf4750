// The logger: channel configuration, the exact record layout on disk (CR LF),
// hourly file names, echo to standard output, error records, and records from
// several threads that never interleave.
#include <gtest/gtest.h>

#include <windows.h>
#include <string>
#include <vector>

#include "log_test_support.h"
#include "utils/Exception.h"
#include "utils/Handles.h"
#include "utils/log/Logger.h"

namespace {

using logtest::Exists;
using logtest::ReadText;

const std::string kTimeLine = "TIME: Mon Jul 30 10:05:03.042 2007\r\n";
const std::string kSeparator = "\r\n-----------------------------------\r\n";

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = new logtest::ScratchFolder("log_scratch");
        logtest::SetLocalNow(2007, 7, 30, 10, 5, 3, 42);
    }
    void TearDown() override {
        SetLogClock(nullptr);
        delete m_folder;
    }
    int FileCount() {
        int count = 0;
        WIN32_FIND_DATAA data;
        Utils::FindHandle find(FindFirstFileA("*", &data));
        if (!find) return 0;
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
        } while (FindNextFileA(find.Get(), &data));
        return count;
    }
    logtest::ScratchFolder* m_folder = nullptr;
};

TEST_F(LoggerTest, UnconfiguredLoggerWritesAndPrintsNothing) {
    CVLogger logger;
    logtest::StdoutCapture capture("..\\capture_unconfigured.txt");
    Log(&logger, 0xFFFFF, "S", "quiet please", nullptr);
    std::string printed = capture.Finish();
    EXPECT_EQ(std::string::npos, printed.find("quiet please"));
    EXPECT_EQ(std::string::npos, printed.find("TIME:"));
    EXPECT_EQ(0, FileCount());
    Log(nullptr, 1, "S", "nobody", nullptr);  // a null logger is accepted
    EXPECT_EQ(0, FileCount());
}

TEST_F(LoggerTest, OnlySingleChannelBitsMapToIndexes) {
    struct {
        DWORD bit;
        int index;
    } valid[] = {{1, 0}, {2, 1}, {0x400, 10}, {0x40000, 18}, {0x80000, 19}};
    for (const auto& row : valid) EXPECT_EQ(row.index, CVLogger::LOG_CHANNEL_2_INDEX(row.bit)) << row.bit;

    CVLogger logger;
    EXPECT_EQ(19, logger.SetChannelFlags(0x80000, 4));
    const std::string expectedMessage = "channel not in range\nThreadId=" + std::to_string(GetCurrentThreadId());
    DWORD invalid[] = {0, 3, 0x100000, 0x80000000u, 0xFFFFFFFFu, 0x80001};
    for (DWORD bit : invalid) {
        for (int call = 0; call < 3; ++call) {
            Utils::Exception* caught = nullptr;
            try {
                if (call == 0) CVLogger::LOG_CHANNEL_2_INDEX(bit);
                if (call == 1) logger.SetChannelFlags(bit, 5);
                if (call == 2) logger.SetChannelFile(bit, "X");
            } catch (Utils::Exception* e) {
                caught = e;
            }
            ASSERT_NE(nullptr, caught) << "bit " << bit << " call " << call;
            EXPECT_EQ("Error in CVLogger::LOG_CHANNEL_2_INDEX", caught->Place());
            EXPECT_EQ(expectedMessage, caught->Message());
            delete caught;
        }
    }
}

TEST_F(LoggerTest, RecordLayoutOnDisk) {
    CVLogger logger;
    logger.SetChannelFile(1, "OV");
    logger.SetChannelFlags(1, 4);
    Log(&logger, 1, "S", "DownloadManager::Update()", "s", "bIsNoUpdateAvilable=", "I", 1, nullptr);
    EXPECT_EQ(kTimeLine + "DownloadManager::Update()\r\nbIsNoUpdateAvilable=1\r\n" + kSeparator,
              ReadText("OV_Jul_30_10.log_"));

    // No items: the TIME line directly followed by the separator. Appended.
    Log(&logger, 1, nullptr);
    std::string text = ReadText("OV_Jul_30_10.log_");
    ASSERT_GT(text.size(), kTimeLine.size() + kSeparator.size());
    EXPECT_EQ(kTimeLine + kSeparator, text.substr(text.size() - kTimeLine.size() - kSeparator.size()));
    EXPECT_EQ(1, FileCount());
}

TEST_F(LoggerTest, EveryTypeCodeAndUnknownCodesTakeNoValue) {
    CVLogger logger;
    logger.SetChannelFile(2, "types");
    logger.SetChannelFlags(2, 4);
    Log(&logger, 2, "s", "a", "i", -7, "I", 12, "d", 1.5, "D", -0.25, "N", "X", "S", "after", "", "s", "end",
        "Xtra", "i", 2147483647, nullptr);
    EXPECT_EQ(kTimeLine + "a-712\r\n   1.5000000000-0.2500000000\r\n\r\nafter\r\nend2147483647" + kSeparator,
              ReadText("types_Jul_30_10.log_"));
}

TEST_F(LoggerTest, MaskSelectsChannelsAndSharedFilesGetTheRecordTwice) {
    CVLogger logger;
    logger.SetChannelFile(2, "shared");
    logger.SetChannelFlags(2, 4);
    logger.SetChannelFile(8, "shared");
    logger.SetChannelFlags(8, 4);
    logger.SetChannelFile(4, "other");   // configured but not in the mask
    logger.SetChannelFlags(4, 4);
    logger.SetChannelFile(16, "noflag"); // in the mask but no file flag
    logger.SetChannelFlags(16, 1 | 2);
    logger.SetChannelFlags(32, 4);       // file flag but no file name
    // Writes answers as the record below goes: a file or an echo, not a bare flag.
    EXPECT_TRUE(logger.Writes(2) && logger.Writes(4) && logger.Writes(16) && logger.Writes(2 | 32));
    EXPECT_FALSE(logger.Writes(32) || logger.Writes(64));
    logtest::StdoutCapture capture("..\\capture_mask.txt");
    Log(&logger, 2 | 8 | 16 | 32, "S", "twice", nullptr);
    std::string printed = capture.Finish();
    std::string record = kTimeLine + "twice\r\n" + kSeparator;
    EXPECT_EQ(record + record, ReadText("shared_Jul_30_10.log_"));
    EXPECT_FALSE(Exists("other_Jul_30_10.log_"));
    EXPECT_EQ(1, FileCount());
    // Echoed once, even though only one channel of the mask echoes.
    EXPECT_NE(std::string::npos, printed.find("TIME: Mon Jul 30 10:05:03.042 2007"));
    EXPECT_EQ(printed.find("twice"), printed.rfind("twice"));
}

TEST_F(LoggerTest, EchoOnlyWritesNoFileAndEchoPlusFileDoesBoth) {
    CVLogger logger;
    logger.SetChannelFile(1, "OV");
    logger.SetChannelFlags(1, 1);
    logtest::StdoutCapture capture("..\\capture_echo.txt");
    Log(&logger, 1, "S", "echo only", nullptr);
    logger.SetChannelFlags(1, 5);
    Log(&logger, 1, "S", "echo and file", nullptr);
    std::string printed = capture.Finish();
    EXPECT_NE(std::string::npos, printed.find("echo only"));
    EXPECT_NE(std::string::npos, printed.find("echo and file"));
    std::string text = ReadText("OV_Jul_30_10.log_");
    EXPECT_EQ(std::string::npos, text.find("echo only"));
    EXPECT_NE(std::string::npos, text.find("echo and file"));
}

TEST_F(LoggerTest, RecordsGoToTheFileOfTheirHour) {
    CVLogger logger;
    logger.SetChannelFile(1, "OV");
    logger.SetChannelFlags(1, 4);
    logtest::SetLocalNow(2008, 3, 5, 14, 59, 59, 999);
    Log(&logger, 1, "S", "before", nullptr);
    logtest::SetLocalNow(2008, 3, 5, 15, 0, 0, 0);
    Log(&logger, 1, "S", "after", nullptr);
    logtest::SetLocalNow(2008, 12, 25, 0, 30, 0, 7);
    Log(&logger, 1, "S", "midnight", nullptr);
    EXPECT_EQ("TIME: Wed Mar 05 14:59:59.999 2008\r\nbefore\r\n" + kSeparator, ReadText("OV_Mar_05_14.log_"));
    EXPECT_EQ("TIME: Wed Mar 05 15:00:00.000 2008\r\nafter\r\n" + kSeparator, ReadText("OV_Mar_05_15.log_"));
    EXPECT_EQ("TIME: Thu Dec 25 00:30:00.007 2008\r\nmidnight\r\n" + kSeparator, ReadText("OV_Dec_25_00.log_"));
}

TEST_F(LoggerTest, ErrorRecordGoesToTheExecutablesFile) {
    logtest::StdoutCapture capture("..\\capture_error.txt");
    CreateUtilsErrorLogRecord("Utils_", "S", "first line", "i", 5, nullptr);
    std::string printed = capture.Finish();
    std::string expected = kTimeLine + "CreateUtilsErrorLogRecordfirst line\r\n5" + kSeparator;
    EXPECT_EQ(expected, ReadText("Utils_test_log_Jul_30_10.log_"));
    EXPECT_NE(std::string::npos, printed.find("CreateUtilsErrorLogRecordfirst line"));
}

TEST_F(LoggerTest, AppLoggerIsPublished) {
    EXPECT_EQ(nullptr, AppLogger());
    CVLogger logger;
    SetAppLogger(&logger);
    EXPECT_EQ(&logger, AppLogger());
    SetAppLogger(nullptr);
    EXPECT_EQ(nullptr, AppLogger());
}

struct WorkerArgs {
    CVLogger* logger;
    int worker;
};

DWORD WINAPI WriteManyRecords(void* argument) {
    WorkerArgs* args = static_cast<WorkerArgs*>(argument);
    for (int i = 0; i < 100; ++i)
        Log(args->logger, 1, "s", "worker=", "i", args->worker, "s", " record=", "I", i, nullptr);
    return 0;
}

TEST_F(LoggerTest, RecordsOfManyThreadsNeverInterleave) {
    CVLogger logger;
    logger.SetChannelFile(1, "busy");
    logger.SetChannelFlags(1, 4);
    WorkerArgs args[4];
    Utils::KernelHandle threads[4];
    for (int w = 0; w < 4; ++w) {
        args[w] = WorkerArgs{&logger, w};
        threads[w].Reset(CreateThread(nullptr, 0, WriteManyRecords, &args[w], 0, nullptr));
        ASSERT_TRUE(threads[w]);
    }
    for (auto& thread : threads) WaitForSingleObject(thread.Get(), 60000);

    std::string text = ReadText("busy_Jul_30_10.log_");
    std::vector<int> next(4, 0);
    size_t at = 0;
    int records = 0;
    while (at < text.size()) {
        ASSERT_EQ(0u, text.compare(at, kTimeLine.size(), kTimeLine)) << "at " << at;
        at += kTimeLine.size();
        size_t end = text.find(kSeparator, at);
        ASSERT_NE(std::string::npos, end);
        std::string body = text.substr(at, end - at);
        int worker = -1, record = -1;
        ASSERT_EQ(2, std::sscanf(body.c_str(), "worker=%d record=%d", &worker, &record)) << body;
        ASSERT_GE(worker, 0);
        ASSERT_LT(worker, 4);
        EXPECT_EQ(next[worker], record);  // each worker's records in its own order
        next[worker] = record + 1;
        EXPECT_EQ("worker=" + std::to_string(worker) + " record=" + std::to_string(record) + "\r\n", body);
        at = end + kSeparator.size();
        ++records;
    }
    EXPECT_EQ(400, records);
}

} // namespace
