#pragma once
// A Win32 event object owned for its lifetime: the program's own signal
// between threads (with Lockable for mutual exclusion).
#include <windows.h>

#include "utils/Handles.h"

namespace Utils {

class Event {
public:
    // A manual-reset event stays signalled until Reset; an auto-reset event
    // releases one waiter and resets itself.
    explicit Event(bool manualReset, bool signalled = false)
        : m_handle(CreateEventA(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr)) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool IsValid() const { return m_handle.IsValid(); }
    void Set() { SetEvent(m_handle.Get()); }
    void Reset() { ResetEvent(m_handle.Get()); }
    // True when the event is (or becomes) signalled within timeoutMs; false on
    // timeout and when the event could not be created.
    bool Wait(DWORD timeoutMs) const { return WaitForSingleObject(m_handle.Get(), timeoutMs) == WAIT_OBJECT_0; }
    HANDLE Handle() const { return m_handle.Get(); }

private:
    KernelHandle m_handle;
};

} // namespace Utils
