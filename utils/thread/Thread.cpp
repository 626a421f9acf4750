#include "utils/thread/Thread.h"

#include <comdef.h>
#include <oleauto.h>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "utils/Exception.h"
#include "utils/log/Logger.h"

namespace Utils {

namespace {

struct StartRecord {
    ThreadFunction function;
    void* argument;
};

// Processor faults cannot be caught by C++ handlers with GCC (no __try/__except).
// Each worker thread registers a recovery point; the process-wide unhandled
// exception filter sends a faulting worker thread to a landing function that
// jumps back to that point, where the fault is recorded like any other escape.
// Only faults that no frame handler took reach the filter, so code that probes
// memory under its own handler keeps working.
struct RecoveryPoint {
    void* jump[5];            // __builtin_setjmp buffer
    uintptr_t landingStack;   // stack pointer for the landing function
    volatile DWORD faultCode; // non-zero once a fault has been redirected
};

DWORD g_recoveryTls = TLS_OUT_OF_INDEXES;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
volatile LONG g_filterState = 0;  // 0 none, 1 installing, 2 installed

__attribute__((noreturn, noinline)) void LandAfterFault() {
    RecoveryPoint* point = static_cast<RecoveryPoint*>(TlsGetValue(g_recoveryTls));
    __builtin_longjmp(point->jump, 1);
}

LONG WINAPI WorkerFaultFilter(EXCEPTION_POINTERS* info) {
    RecoveryPoint* point = g_recoveryTls == TLS_OUT_OF_INDEXES
                               ? nullptr
                               : static_cast<RecoveryPoint*>(TlsGetValue(g_recoveryTls));
    // A fault while a fault is being recorded is not retried: that would loop.
    if (point == nullptr || point->faultCode != 0 || info->ExceptionRecord == nullptr ||
        (info->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0) {
        return g_previousFilter ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
    }
    point->faultCode = info->ExceptionRecord->ExceptionCode ? info->ExceptionRecord->ExceptionCode : 1;
    CONTEXT* context = info->ContextRecord;
#if defined(_WIN64)
    context->Rsp = point->landingStack;
    context->Rip = reinterpret_cast<DWORD64>(&LandAfterFault);
#else
    context->Esp = static_cast<DWORD>(point->landingStack);
    context->Eip = reinterpret_cast<DWORD>(&LandAfterFault);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallFaultFilter() {
    if (g_filterState == 2) return;
    if (InterlockedCompareExchange(&g_filterState, 1, 0) == 0) {
        g_recoveryTls = TlsAlloc();
        if (g_recoveryTls != TLS_OUT_OF_INDEXES) g_previousFilter = SetUnhandledExceptionFilter(WorkerFaultFilter);
        InterlockedExchange(&g_filterState, 2);
    } else {
        while (g_filterState != 2) Sleep(0);
    }
}

const char* const kBanner = "*********************************************";

void WriteCatchRecord(const char* openMark, const std::string* text) {
    if (openMark != nullptr) {
        CreateUtilsErrorLogRecord("Utils_", "S", kBanner, "S", "******* CATCH IN MainThraedFunc !!!   *******",
                                  "s", openMark, "s", text->c_str(), "S", "'*******",
                                  "S", "******* StackTrace **************************", "s", "", "S", kBanner,
                                  nullptr);
    } else {
        CreateUtilsErrorLogRecord("Utils_", "S", kBanner, "S", "******* CATCH IN MainThraedFunc !!!   *******",
                                  "S", "******* StackTrace **************************", "s", "", "S", kBanner,
                                  nullptr);
    }
}

// The error-information description of a COM error in the ANSI code page;
// empty when the error carries none.
std::string ComErrorDescription(const _com_error& error) {
    ComPtr<IErrorInfo> info;
    *info.Receive() = error.ErrorInfo();  // already AddRef'd
    std::string out;
    if (!info) return out;
    Bstr description;
    if (SUCCEEDED(info->GetDescription(description.Receive())) && description) {
        int wideLength = static_cast<int>(SysStringLen(description.Get()));
        int size = WideCharToMultiByte(CP_ACP, 0, description.Get(), wideLength, nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            out.resize(size);
            WideCharToMultiByte(CP_ACP, 0, description.Get(), wideLength, &out[0], size, nullptr, nullptr);
        }
    }
    return out;
}

// Runs the function; a C++ exception escaping it is recorded here.
void CallRecordingExceptions(const StartRecord& record) {
    try {
        record.function(record.argument);
    } catch (const char* text) {
        std::string message = text ? text : "";
        WriteCatchRecord("******* '", &message);
    } catch (Utils::Exception* exception) {
        std::string message = exception ? exception->Message() : std::string();
        WriteCatchRecord("******* Utils::Exception: '", &message);
        delete exception;  // after its record is written
    } catch (const _com_error& error) {
        std::string message = ComErrorDescription(error);
        WriteCatchRecord("******* _com_error = '", &message);
    } catch (...) {
        WriteCatchRecord(nullptr, nullptr);
    }
}

// Returns false when the function ended with a processor fault.
__attribute__((noinline)) bool RunWithRecoveryPoint(const StartRecord& record, RecoveryPoint& point) {
    volatile char anchor = 0;
    // The landing function runs below this frame, over the abandoned frames of
    // the faulting call, and jumps straight back here.
    uintptr_t stack = (reinterpret_cast<uintptr_t>(&anchor) - 1024) & ~static_cast<uintptr_t>(15);
    point.landingStack = stack - sizeof(void*);  // as if just called: the return-address slot
    point.faultCode = 0;
    if (__builtin_setjmp(point.jump)) {
        TlsSetValue(g_recoveryTls, nullptr);
        return false;
    }
    if (g_recoveryTls != TLS_OUT_OF_INDEXES) TlsSetValue(g_recoveryTls, &point);
    CallRecordingExceptions(record);
    if (g_recoveryTls != TLS_OUT_OF_INDEXES) TlsSetValue(g_recoveryTls, nullptr);
    (void)anchor;
    return true;
}

} // namespace

unsigned long long UnixTimeMilliseconds() {
    FILETIME fileTime;
    GetSystemTimeAsFileTime(&fileTime);
    ULARGE_INTEGER hundredNs;
    hundredNs.LowPart = fileTime.dwLowDateTime;
    hundredNs.HighPart = fileTime.dwHighDateTime;
    return hundredNs.QuadPart / 10000ULL - 11644473600000ULL;  // 100 ns units since 1601
}

bool StartThread(ThreadFunction function, void* argument) {
    InstallFaultFilter();
    StartRecord* record = new StartRecord{function, argument};
    DWORD id = 0;
    KernelHandle thread(CreateThread(nullptr, 0, MainThraedFunc, record, 0, &id));
    if (!thread) delete record;  // never started: nobody else would free it
    return thread.IsValid();
}

DWORD WINAPI MainThraedFunc(void* startRecord) {
    std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(startRecord));
    if (!record) return 0xFFFFFFFF;
    ComApartment apartment(COINIT_MULTITHREADED);
    RecoveryPoint point;
    if (!RunWithRecoveryPoint(*record, point)) {
        try {
            WriteCatchRecord(nullptr, nullptr);
        } catch (...) {
        }
    }
    return 0xFFFFFFFF;
}

// ---------------------------------------------------------------------------
// Ticker

namespace {
// The ticker whose callback the current thread is running (so Stop() called
// from inside a callback does not wait for itself).
thread_local const Ticker* t_callbackOwner = nullptr;

const DWORD kEndWaitMs = 3000;
const DWORD kStartedWaitMs = 1000;
const DWORD kCallbackDrainMs = 3000;
} // namespace

struct Ticker::CallbackRecord {
    Ticker* ticker;
    CallbackKind kind;
};

Ticker::Ticker()
    : m_startSeconds(0), m_startMillis(0), m_startTick(0), m_tickCount(0), m_timeout(NO_TIMEOUT),
      m_interval(0), m_bIsActive(false), m_callbacksInFlight(0), m_bStopped(0) {
    for (auto& event : m_events) event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    StartThread(&Ticker::TimerThreadFuncHelper, this);
}

Ticker::~Ticker() {
    Stop();
}

void Ticker::Stop() {
    if (InterlockedExchange(&m_bStopped, 1) != 0) return;
    {
        AutoLock lock(*this);
        m_bIsActive = false;
    }
    SetEvent(m_events[EV_END_REQUEST].Get());
    WaitForSingleObject(m_events[EV_ENDED].Get(), kEndWaitMs);
    // Callbacks already running still use this object: give them time to end.
    LONG self = (t_callbackOwner == this) ? 1 : 0;
    for (DWORD waited = 0; m_callbacksInFlight > self && waited < kCallbackDrainMs; waited += 5) Sleep(5);
}

void Ticker::OnTickerTimeout() {
    std::printf("Utils::Ticker::OnTickerTimeout()\n");
}

void Ticker::OnTick(DWORD) {
    std::printf("Utils::Ticker::OnTick()\n");
}

void Ticker::OnTickerError(const std::string&) {}

void Ticker::StartTimer(DWORD timeoutMs, DWORD intervalMs) {
    AutoLock lock(*this);
    m_timeout = timeoutMs;
    m_interval = intervalMs;
    m_tickCount = 0;
    m_bIsActive = true;
    const unsigned long long ms = UnixTimeMilliseconds();
    m_startSeconds = static_cast<long long>(ms / 1000);
    m_startMillis = static_cast<unsigned short>(ms % 1000);
    m_startTick = ::GetTickCount();
    SetEvent(m_events[EV_RESTART].Get());
}

DWORD Ticker::GetTimeout() const { return Locked(m_timeout); }
DWORD Ticker::GetInterval() const { return Locked(m_interval); }
DWORD Ticker::GetTicks() const { return Locked(m_tickCount); }
bool Ticker::IsActive() const { return Locked(m_bIsActive); }

// Elapsed time is measured on the monotonic tick counter, so a change of the
// wall clock neither fires the timeout early nor floods ticks to catch up.
DWORD Ticker::ElapsedSinceStart() const {
    return ::GetTickCount() - m_startTick;
}

DWORD Ticker::TimerThreadFuncHelper(void* ticker) {
    static_cast<Ticker*>(ticker)->RunTimerLoop();
    return 0;
}

void Ticker::RunTimerLoop() {
    std::printf("Start TimerThreadFuncHelper()\n");
    DWORD waitTime = INFINITE;
    HANDLE watched[4] = {m_events[EV_END_REQUEST].Get(), m_events[EV_ENDED].Get(), m_events[EV_RESTART].Get(),
                         m_events[EV_IDLE].Get()};
    for (;;) {
        try {
            DWORD result = WaitForMultipleObjects(4, watched, FALSE, waitTime);
            switch (result) {
            case WAIT_OBJECT_0 + EV_END_REQUEST:
                SetEvent(m_events[EV_ENDED].Get());
                return;  // `this` may be gone from here on
            case WAIT_OBJECT_0 + EV_ENDED:
                SetEvent(m_events[EV_ENDED].Get());
                OnTickerError("WAIT_OBJECT_0 +  EVENT_HANDLE_END_DELETE");
                return;
            case WAIT_OBJECT_0 + EV_RESTART: {
                AutoLock lock(*this);
                ResetEvent(m_events[EV_RESTART].Get());
                ++m_tickCount;
                StartCallback(CALL_TICK);
                waitTime = m_interval;
                break;
            }
            case WAIT_OBJECT_0 + EV_IDLE: {
                AutoLock lock(*this);
                ResetEvent(m_events[EV_IDLE].Get());
                waitTime = INFINITE;
                break;
            }
            case WAIT_TIMEOUT: {
                AutoLock lock(*this);
                // Re-armed while this wake-up waited for the lock: the restart
                // event starts the new numbering; a tick here would come first.
                if (WaitForSingleObject(m_events[EV_RESTART].Get(), 0) == WAIT_OBJECT_0) break;
                if (!m_bIsActive) {
                    waitTime = INFINITE;
                    break;
                }
                DWORD elapsed = ElapsedSinceStart();
                if (m_timeout != NO_TIMEOUT && elapsed >= m_timeout) {
                    StartCallback(CALL_TIMEOUT);
                    m_bIsActive = false;
                    waitTime = INFINITE;
                } else {
                    ++m_tickCount;
                    StartCallback(CALL_TICK);
                    long long next = static_cast<long long>(m_interval) * m_tickCount - elapsed;
                    waitTime = next < 0 ? 1 : static_cast<DWORD>(next);
                }
                break;
            }
            default: {
                std::printf("Ticker Error\n");
                char text[128];
                std::snprintf(text, sizeof text,
                              "Ticker error - default value of WaitForMultipleObjects. Retcode equals %lu",
                              static_cast<unsigned long>(result));
                OnTickerError(text);
                // A failing wait would fail again at once; do not spin on it.
                Sleep(100);
                break;
            }
            }
        } catch (...) {
            OnTickerError("Ticker catch");
            std::printf("Ticker catch...\n");
        }
    }
}

void Ticker::StartCallback(CallbackKind kind) {
    ResetEvent(m_events[EV_STARTED].Get());
    InterlockedIncrement(&m_callbacksInFlight);
    StartThread(&Ticker::CallbackThread, new CallbackRecord{this, kind});
    WaitForSingleObject(m_events[EV_STARTED].Get(), kStartedWaitMs);
}

DWORD Ticker::CallbackThread(void* argument) {
    std::unique_ptr<CallbackRecord> record(static_cast<CallbackRecord*>(argument));
    Ticker* ticker = record->ticker;
    struct InFlight {
        Ticker* ticker;
        ~InFlight() {
            t_callbackOwner = nullptr;
            InterlockedDecrement(&ticker->m_callbacksInFlight);
        }
    } inFlight{ticker};
    t_callbackOwner = ticker;
    SetEvent(ticker->m_events[EV_STARTED].Get());

    bool bRun;
    DWORD tickNumber;
    {
        // Taken after the started event: the ticker thread holds the lock until then.
        AutoLock lock(*ticker);
        // The timeout's decision was made by the ticker thread, which also
        // clears the active flag right after starting it; only a stop cancels it.
        bRun = ticker->m_bStopped == 0 && (record->kind == CALL_TIMEOUT || ticker->m_bIsActive);
        tickNumber = ticker->m_tickCount;
    }
    if (!bRun) return static_cast<DWORD>(-1);
    if (record->kind == CALL_TICK)
        ticker->OnTick(tickNumber);
    else
        ticker->OnTickerTimeout();
    return 0;
}

} // namespace Utils
