#include "app/ops/QueuedBars.h"

#include <commctrl.h>

void QueuedBars::Attach(HWND window, UINT message, int firstId, int secondId) {
    m_window = window;
    m_message = message;
    m_bars[0].id = firstId;
    m_bars[1].id = secondId;
}

QueuedBars::Bar* QueuedBars::Find(int controlId) {
    for (Bar& bar : m_bars) {
        if (bar.id == controlId) return &bar;
    }
    return nullptr;
}

bool QueuedBars::OnWindowThread(HWND item) const {
    return GetWindowThreadProcessId(item, nullptr) == GetCurrentThreadId();
}

void QueuedBars::Show(int controlId, int range) {
    HWND item = m_window ? GetDlgItem(m_window, controlId) : nullptr;
    Bar* bar = Find(controlId);
    if (!item || !bar) return;
    const bool own = OnWindowThread(item);
    // From another thread the bar is shown by its own thread, without waiting.
    const int show = range != 0 ? SW_SHOW : SW_HIDE;
    if (own)
        ShowWindow(item, show);
    else
        ShowWindowAsync(item, show);
    RECT rc;
    GetClientRect(item, &rc);
    bar->widthPixels = rc.right - rc.left;
    bar->range = range;
    bar->lastPixel = -1;
    if (own) {
        PostMessageA(item, PBM_SETRANGE, 0, MAKELPARAM(0, range));
        return;
    }
    bar->rangeChanged = true;
    Request(*bar);
}

void QueuedBars::SetPosition(int controlId, int position) {
    HWND item = m_window ? GetDlgItem(m_window, controlId) : nullptr;
    Bar* bar = Find(controlId);
    if (!item || !bar) return;
    const int range = bar->range;
    const int width = bar->widthPixels;
    if (range > 0 && width > 0) {
        const int clamped = position < 0 ? 0 : (position > range ? range : position);
        const int pixel = static_cast<int>(static_cast<long long>(clamped) * width / range);
        if (bar->lastPixel.exchange(pixel) == pixel) return;
    }
    if (OnWindowThread(item)) {
        PostMessageA(item, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        return;
    }
    bar->latest = position;
    Request(*bar);
}

void QueuedBars::Request(Bar& bar) {
    bar.changed = true;
    if (!m_waiting.exchange(true)) PostMessageA(m_window, m_message, 0, 0);
}

void QueuedBars::Apply() {
    // Cleared first: whatever changes from now on posts a message again.
    m_waiting = false;
    for (Bar& bar : m_bars) {
        if (!bar.changed.exchange(false)) continue;
        HWND item = GetDlgItem(m_window, bar.id);
        // The range first: the position belongs to the latest range.
        if (bar.rangeChanged.exchange(false)) SendMessageA(item, PBM_SETRANGE, 0, MAKELPARAM(0, bar.range.load()));
        SendMessageA(item, PBM_SETPOS, static_cast<WPARAM>(bar.latest.load()), 0);
    }
}
