#pragma once
#include <windows.h>

namespace Utils {

// Base of every object that carries its own lock: one re-entrant critical
// section. A thread may take it again while holding it.
class Lockable {
public:
    Lockable() { InitializeCriticalSection(&m_section); }
    virtual ~Lockable() { DeleteCriticalSection(&m_section); }
    Lockable(const Lockable&) = delete;
    Lockable& operator=(const Lockable&) = delete;

    void Lock() const { EnterCriticalSection(&m_section); }
    void Unlock() const { LeaveCriticalSection(&m_section); }

private:
    mutable CRITICAL_SECTION m_section;
};

// Holds a Lockable's section for its scope, released on every exit path.
class AutoLock {
public:
    explicit AutoLock(const Lockable& lockable) : m_lockable(lockable) { m_lockable.Lock(); }
    ~AutoLock() { m_lockable.Unlock(); }
    AutoLock(const AutoLock&) = delete;
    AutoLock& operator=(const AutoLock&) = delete;

private:
    const Lockable& m_lockable;
};

} // namespace Utils
