// Worker threads: whatever escapes a worker becomes one error record in the
// "Utils_<exe>" file of the current directory and the process goes on.
#include <gtest/gtest.h>

#include <windows.h>
#include <comdef.h>
#include <oleauto.h>
#include <cstdio>
#include <string>

#include "support/TestFiles.h"
#include "utils/Exception.h"
#include "utils/Handles.h"
#include "utils/log/Logger.h"
#include "utils/thread/Thread.h"

namespace {

const char* const kBanner = "*********************************************";

LogTime FixedClock() {
    LogTime now;
    now.seconds = 1185790000;  // a fixed hour, so the record file name cannot change mid-test
    now.milliseconds = 42;
    return now;
}

std::string RecordFile() {
    return "Utils_test_thread_" + LogHourStamp(FixedClock()) + ".log_";
}

// Waits (generously) until the record file holds `count` separators.
std::string WaitForRecords(int count) {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text = TestSupport::ReadText(RecordFile());
        int found = 0;
        for (size_t at = text.find("-----------------------------------"); at != std::string::npos;
             at = text.find("-----------------------------------", at + 1)) {
            ++found;
        }
        if (found >= count) return text;
        Sleep(20);
    }
    return text;
}

// The lines of the record between its TIME line and the separator, CR LF as on disk.
std::string RecordBody(const std::string& inner) {
    return std::string("CreateUtilsErrorLogRecord") + kBanner + "\r\n" +
           "******* CATCH IN MainThraedFunc !!!   *******\r\n" + inner +
           "******* StackTrace **************************\r\n" + kBanner + "\r\n" +
           "\r\n-----------------------------------\r\n";
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogClock(&FixedClock);
        DeleteFileA(RecordFile().c_str());
    }
    void TearDown() override {
        DeleteFileA(RecordFile().c_str());
        SetLogClock(nullptr);
    }
};

DWORD ThrowText(void*) {
    throw "disk is full";
}

TEST_F(WorkerTest, ThrownTextBecomesOneRecordWithTheText) {
    Utils::StartThread(&ThrowText, nullptr);
    std::string text = WaitForRecords(1);
    ASSERT_NE(text.find("TIME: "), std::string::npos) << text;
    EXPECT_NE(text.find(RecordBody("******* 'disk is full'*******\r\n")), std::string::npos) << text;
}

struct Deletions {
    volatile LONG count = 0;
    volatile LONG recordWrittenBefore = 0;
};
Deletions g_deletions;

class TrackedException : public Utils::Exception {
public:
    TrackedException() : Utils::Exception("Worker", "widget broke", 0) {}
    ~TrackedException() override {
        InterlockedIncrement(&g_deletions.count);
        if (TestSupport::ReadText(RecordFile()).find("widget broke") != std::string::npos)
            InterlockedExchange(&g_deletions.recordWrittenBefore, 1);
    }
};

DWORD ThrowUtilsException(void* threadId) {
    *static_cast<DWORD*>(threadId) = GetCurrentThreadId();
    throw static_cast<Utils::Exception*>(new TrackedException());
}

TEST_F(WorkerTest, UtilsExceptionIsRecordedThenDeletedExactlyOnce) {
    g_deletions.count = 0;
    g_deletions.recordWrittenBefore = 0;
    volatile DWORD threadId = 0;
    Utils::StartThread(&ThrowUtilsException, const_cast<DWORD*>(&threadId));
    std::string text = WaitForRecords(1);
    for (int i = 0; i < 500 && g_deletions.count == 0; ++i) Sleep(10);
    Sleep(100);  // a second deletion would come right after the first
    EXPECT_EQ(1, g_deletions.count);
    EXPECT_EQ(1, g_deletions.recordWrittenBefore);
    std::string expected = "******* Utils::Exception: 'widget broke\r\nThreadId=" + std::to_string(threadId) +
                           "'*******\r\n";
    EXPECT_NE(text.find(RecordBody(expected)), std::string::npos) << text;
}

DWORD ThrowComErrorWithDescription(void*) {
    Utils::ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Receive()))) throw "CreateErrorInfo failed";
    create->SetDescription(const_cast<LPOLESTR>(L"codec missing"));
    Utils::ComPtr<IErrorInfo> info;
    create->QueryInterface(IID_IErrorInfo, info.ReceiveVoid());
    throw _com_error(E_FAIL, info.Get(), true);
}

DWORD ThrowComErrorWithoutInfo(void*) {
    throw _com_error(E_OUTOFMEMORY);
}

TEST_F(WorkerTest, ComErrorsAreRecordedWithTheirDescription) {
    Utils::StartThread(&ThrowComErrorWithDescription, nullptr);
    std::string text = WaitForRecords(1);
    EXPECT_NE(text.find(RecordBody("******* _com_error = 'codec missing'*******\r\n")), std::string::npos) << text;

    Utils::StartThread(&ThrowComErrorWithoutInfo, nullptr);
    text = WaitForRecords(2);
    EXPECT_NE(text.find(RecordBody("******* _com_error = ''*******\r\n")), std::string::npos) << text;
}

DWORD ThrowNumber(void*) {
    throw 42;
}

TEST_F(WorkerTest, OtherExceptionsAreRecordedWithoutMessageLine) {
    Utils::StartThread(&ThrowNumber, nullptr);
    std::string text = WaitForRecords(1);
    EXPECT_NE(text.find(RecordBody("")), std::string::npos) << text;
}

DWORD WriteThroughNull(void* reached) {
    InterlockedExchange(static_cast<volatile LONG*>(reached), 1);
    volatile int* target = nullptr;
    *target = 7;
    InterlockedExchange(static_cast<volatile LONG*>(reached), 2);  // never runs
    return 0;
}

volatile int g_zero = 0;
DWORD DivideByZero(void*) {
    volatile int value = 10 / g_zero;
    (void)value;
    return 0;
}

DWORD JumpToNull(void*) {
    typedef void (*Function)();
    volatile Function target = nullptr;
    target();
    return 0;
}

TEST_F(WorkerTest, ProcessorFaultsInWorkersAreRecordedAndTheProcessGoesOn) {
    volatile LONG reached = 0;
    Utils::StartThread(&WriteThroughNull, const_cast<LONG*>(&reached));
    std::string text = WaitForRecords(1);
    EXPECT_EQ(1, reached);
    EXPECT_NE(text.find(RecordBody("")), std::string::npos) << text;

    // The recovery works again, on other threads, for other kinds of fault.
    Utils::StartThread(&DivideByZero, nullptr);
    Utils::StartThread(&JumpToNull, nullptr);
    text = WaitForRecords(3);
    size_t first = text.find(RecordBody(""));
    size_t second = text.find(RecordBody(""), first + 1);
    size_t third = second == std::string::npos ? second : text.find(RecordBody(""), second + 1);
    EXPECT_NE(third, std::string::npos) << text;
}

struct ProbeResult {
    volatile LONG done = 0;
    volatile LONG bad = 0;
};

// A fault that the system's own code handles never reaches the recovery.
DWORD ProbeBadPointer(void* result) {
    ProbeResult* probe = static_cast<ProbeResult*>(result);
    probe->bad = IsBadReadPtr(nullptr, 16) ? 1 : 0;
    InterlockedExchange(&probe->done, 1);
    return 0;
}

TEST_F(WorkerTest, FaultsHandledInsideTheSystemAreLeftAlone) {
    ProbeResult probe;
    Utils::StartThread(&ProbeBadPointer, &probe);
    for (int i = 0; i < 1000 && probe.done == 0; ++i) Sleep(10);
    EXPECT_EQ(1, probe.done);
    EXPECT_EQ(1, probe.bad);
    Sleep(100);
    EXPECT_FALSE(TestSupport::Exists(RecordFile()));
}

struct ApartmentResult {
    volatile LONG done = 0;
    HRESULT second = S_OK;
    void* argument = nullptr;
};

// Runs in the multithreaded apartment: asking for a single-threaded one fails.
DWORD CheckApartment(void* argument) {
    ApartmentResult* result = static_cast<ApartmentResult*>(argument);
    result->argument = argument;
    result->second = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(result->second)) CoUninitialize();
    InterlockedExchange(&result->done, 1);
    return 0;
}

TEST_F(WorkerTest, WorkersRunInTheMultithreadedApartmentWithTheirArgument) {
    ApartmentResult result;
    Utils::StartThread(&CheckApartment, &result);
    for (int i = 0; i < 1000 && result.done == 0; ++i) Sleep(10);
    ASSERT_EQ(1, result.done);
    EXPECT_EQ(&result, result.argument);
    EXPECT_EQ(RPC_E_CHANGED_MODE, result.second);
    Sleep(50);
    EXPECT_FALSE(TestSupport::Exists(RecordFile()));
}

} // namespace
