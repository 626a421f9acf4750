#pragma once
// A named lock shared by every process of the machine: a mutex in the global
// namespace ("Global\<name>"), so copies running in other sessions (other
// users, remote desktops) see it too. Systems without that namespace (before
// Windows 2000, or without terminal services) have one session only: the name
// is then used as it is.
//
// The lock belongs to the thread that acquired it and is given back on
// destruction (by that thread) or when the process ends, however it ends: a
// copy that is killed leaves an abandoned mutex, which the next one takes.
#include <windows.h>

#include <string>

#include "utils/Handles.h"

namespace Utils {
namespace System {

class MachineLock {
public:
    enum Result {
        ACQUIRED,     // held by this thread now
        BUSY,         // another holder kept it for the whole wait
        UNAVAILABLE,  // the system could not make the mutex
    };

    MachineLock() = default;
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // name: no "\" (it would name a folder of the object namespace). Waits at
    // most timeoutMs (0: a single look). Blocks the calling thread.
    Result Acquire(const std::string& name, DWORD timeoutMs);
    bool Held() const { return m_held; }

private:
    KernelHandle m_handle;
    bool m_held = false;
};

} // namespace System
} // namespace Utils
