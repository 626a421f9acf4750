#include "utils/system/MachineLock.h"

namespace Utils {
namespace System {

namespace {

// A mutex another user made may be closed to us; it is then looked at again
// after this long, until the wait is over.
const DWORD kClosedMutexPollMs = 250;

// Opens (or makes) the mutex; null with ERROR_ACCESS_DENIED when it exists
// but may not be waited on.
HANDLE OpenNamedMutex(const std::string& name) {
    const std::string global = "Global\\" + name;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, global.c_str());
    if (mutex) return mutex;
    if (GetLastError() == ERROR_ACCESS_DENIED) {
        // Waiting and giving back need no more than these rights.
        mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, global.c_str());
        if (!mutex) SetLastError(ERROR_ACCESS_DENIED);
        return mutex;
    }
    // No global namespace on this system: a single session, the plain name.
    return CreateMutexA(nullptr, FALSE, name.c_str());
}

} // namespace

MachineLock::~MachineLock() {
    if (m_held) ReleaseMutex(m_handle.Get());
}

MachineLock::Result MachineLock::Acquire(const std::string& name, DWORD timeoutMs) {
    if (m_held) return ACQUIRED;
    if (name.empty() || name.find('\\') != std::string::npos) return UNAVAILABLE;
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        KernelHandle mutex(OpenNamedMutex(name));
        if (mutex) {
            const DWORD waited = WaitForSingleObject(mutex.Get(), remaining);
            // Abandoned: its holder ended without giving it back; it is ours now.
            if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
                m_handle = std::move(mutex);
                m_held = true;
                return ACQUIRED;
            }
            return waited == WAIT_TIMEOUT ? BUSY : UNAVAILABLE;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED) return UNAVAILABLE;
        if (remaining == 0) return BUSY;
        Sleep(remaining < kClosedMutexPollMs ? remaining : kClosedMutexPollMs);
    }
}

} // namespace System
} // namespace Utils
