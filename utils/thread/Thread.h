#pragma once
// Worker threads and the ticker every background activity of the program runs on.
#include <windows.h>
#include <string>

#include "utils/Handles.h"
#include "utils/Lockable.h"

namespace Utils {

// A worker's body. The result is ignored.
typedef DWORD (*ThreadFunction)(void* argument);

// Starts a detached thread that runs function(argument) through MainThraedFunc.
// Nobody joins the thread. When the thread cannot be created nothing is shown;
// the result (false) tells callers that wait for the thread not to.
bool StartThread(ThreadFunction function, void* argument);

// Wall-clock time: milliseconds since 1970-01-01 UTC.
unsigned long long UnixTimeMilliseconds();

// The body of every thread started by StartThread: COM in the multithreaded
// apartment, then the function. Whatever escapes the function (a thrown text,
// a Utils::Exception pointer, a _com_error, any other C++ exception, a
// processor fault such as an access violation) becomes one error record
// ("Utils_" file) and ends the thread; the process goes on.
// Frees the start record. Always returns 0xFFFFFFFF.
DWORD WINAPI MainThraedFunc(void* startRecord);

// A timer with a thread of its own. Once armed it calls OnTick(1) at once,
// OnTick(n) about (n - 1) intervals after arming, and OnTickerTimeout at the
// first wake-up after the timeout has passed; then it is idle until armed
// again. Every callback runs on a fresh worker thread, so callbacks may overlap.
//
// Subclasses that override the callbacks should call Stop() first thing in
// their destructor, so no callback reaches a half-destroyed object.
class Ticker : public Lockable {
public:
    Ticker();
    virtual ~Ticker();

    virtual void OnTickerTimeout();
    virtual void OnTick(DWORD tickNumber);
    virtual void OnTickerError(const std::string& text);

    // Arms (or re-arms) the timer. timeoutMs 0xFFFFFFFF: no timeout.
    // Restarts the tick numbering at 1 and the grid at the current time.
    void StartTimer(DWORD timeoutMs, DWORD intervalMs);

    // Ends the ticker thread and waits (bounded) for callbacks in flight.
    // Safe to call more than once; the destructor calls it.
    void Stop();

    // Snapshot of the armed state (under the lock).
    DWORD GetTimeout() const;
    DWORD GetInterval() const;
    DWORD GetTicks() const;
    bool IsActive() const;

    static const DWORD NO_TIMEOUT = 0xFFFFFFFF;

private:
    enum EventIndex { EV_END_REQUEST, EV_ENDED, EV_RESTART, EV_IDLE, EV_STARTED, EV_COUNT };
    enum CallbackKind { CALL_TICK, CALL_TIMEOUT };
    struct CallbackRecord;

    static DWORD TimerThreadFuncHelper(void* ticker);
    static DWORD CallbackThread(void* record);
    void RunTimerLoop();
    // Under the lock: starts one callback thread and waits up to 1,000 ms for it to begin.
    void StartCallback(CallbackKind kind);
    DWORD ElapsedSinceStart() const;
    // A field read under the lock.
    template <typename T>
    T Locked(const T& field) const {
        AutoLock lock(*this);
        return field;
    }

    // Fields guarded by the lock.
    long long m_startSeconds;       // wall-clock stamp taken when armed
    unsigned short m_startMillis;
    DWORD m_startTick;              // monotonic stamp used to measure elapsed time
    DWORD m_tickCount;
    DWORD m_timeout;
    DWORD m_interval;
    bool m_bIsActive;

    KernelHandle m_events[EV_COUNT];  // manual-reset, created non-signalled
    volatile LONG m_callbacksInFlight;
    volatile LONG m_bStopped;
};

} // namespace Utils
