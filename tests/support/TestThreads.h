#pragma once
// Threads, a mutex and a condition for test code. The toolchain's win32 thread
// model has no std::thread, std::mutex or std::condition_variable; tests run
// only under Wine, so these may use the system's slim locks and condition
// variables (the shipped programs must not: Windows XP lacks them).
#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "utils/Handles.h"

namespace TestSupport {

// Usable with std::lock_guard and std::unique_lock. Not re-entrant.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }
    SRWLOCK* Native() { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    void NotifyAll() { WakeAllConditionVariable(&m_condition); }
    // Waits until ready() holds, with the lock held around each check.
    template <typename Ready>
    void Wait(std::unique_lock<Mutex>& lock, Ready ready) {
        while (!ready()) SleepConditionVariableSRW(&m_condition, lock.mutex()->Native(), INFINITE, 0);
    }
    // As Wait, giving up after timeoutMs in all; returns ready().
    template <typename Ready>
    bool WaitFor(std::unique_lock<Mutex>& lock, DWORD timeoutMs, Ready ready) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (!ready()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            SleepConditionVariableSRW(&m_condition, lock.mutex()->Native(), static_cast<DWORD>(deadline - now), 0);
        }
        return true;
    }

private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

// Runs a callable on a new thread; Join() (or the destructor) waits for it.
class Thread {
public:
    Thread() = default;
    template <typename F, typename... Args>
    explicit Thread(F&& f, Args&&... args)
        : m_body(new std::function<void()>(std::bind(std::forward<F>(f), std::forward<Args>(args)...))),
          m_handle(CreateThread(nullptr, 0, &Thread::Run, m_body.get(), 0, nullptr)) {}
    ~Thread() { Join(); }
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&& other) noexcept {
        Join();
        m_body = std::move(other.m_body);
        m_handle = std::move(other.m_handle);
        return *this;
    }

    bool Joinable() const { return m_handle.IsValid(); }
    void Join() {
        if (m_handle) WaitForSingleObject(m_handle.Get(), INFINITE);
        m_handle.Reset();
    }

private:
    static DWORD WINAPI Run(void* body) {
        (*static_cast<std::function<void()>*>(body))();
        return 0;
    }

    std::unique_ptr<std::function<void()>> m_body;  // on the heap: stays put when the Thread moves
    Utils::KernelHandle m_handle;
};

} // namespace TestSupport
