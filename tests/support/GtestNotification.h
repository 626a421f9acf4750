#pragma once
// GoogleTest's Notification (a start signal for its thread helpers) is written
// with std::mutex and std::condition_variable, which the toolchain's win32
// thread model does not have. This one, on a Win32 event, takes its place; the
// build includes this header ahead of every GoogleTest source and test.
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(m_event); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(m_event); }
    void WaitForNotification() { WaitForSingleObject(m_event, INFINITE); }

private:
    HANDLE m_event;
};

} // namespace internal
} // namespace testing
