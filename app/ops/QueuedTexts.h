#pragma once
// Window texts set from any thread without waiting for the window's thread.
// A text set on another thread is kept (the latest one of each control) and
// the window is posted a message, whose handler calls Apply on the window's
// own thread; a text set on that thread itself is set at once. SetWindowText
// across threads would wait until the window's thread gets round to it.
#include <windows.h>

#include <map>
#include <string>

#include "utils/Lockable.h"

class QueuedTexts {
public:
    // The slot of the window's own title (controls are named by their ids).
    static const int kTitleSlot = -1;

    // window: the dialog; message: posted to it when texts wait to be applied.
    void Attach(HWND window, UINT message);
    // A control's text (UTF-8): shown when not empty, hidden when empty. The
    // title slot sets the window's title.
    void Set(int slot, const std::string& text);
    // Sets the waiting texts; on the window's thread (the message's handler).
    void Apply();

private:
    void SetNow(int slot, const std::string& text) const;

    HWND m_window = nullptr;
    UINT m_message = 0;
    Utils::Lockable m_lock;
    std::map<int, std::string> m_waiting;  // guarded by m_lock
};
