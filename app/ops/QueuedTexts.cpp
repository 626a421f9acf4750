#include "app/ops/QueuedTexts.h"

#include "app/ops/Texts.h"

void QueuedTexts::Attach(HWND window, UINT message) {
    m_window = window;
    m_message = message;
}

void QueuedTexts::Set(int slot, const std::string& text) {
    if (!m_window) return;
    if (GetWindowThreadProcessId(m_window, nullptr) == GetCurrentThreadId()) {
        {
            // A text still waiting for this control is older than this one.
            Utils::AutoLock guard(m_lock);
            m_waiting.erase(slot);
        }
        SetNow(slot, text);
        return;
    }
    bool post;
    {
        Utils::AutoLock guard(m_lock);
        post = m_waiting.empty();
        m_waiting[slot] = text;
    }
    // One message takes every text that is waiting when it is handled.
    if (post) PostMessageA(m_window, m_message, 0, 0);
}

void QueuedTexts::Apply() {
    std::map<int, std::string> texts;
    {
        Utils::AutoLock guard(m_lock);
        texts.swap(m_waiting);
    }
    for (const auto& text : texts) SetNow(text.first, text.second);
}

void QueuedTexts::SetNow(int slot, const std::string& text) const {
    if (slot == kTitleSlot) {
        SetWindowTextW(m_window, Texts::Wide(text).c_str());
        return;
    }
    HWND item = GetDlgItem(m_window, slot);
    if (!item) return;
    // The text first: a control that shows is never seen with an older text.
    SetWindowTextW(item, Texts::Wide(text).c_str());
    ShowWindow(item, text.empty() ? SW_HIDE : SW_SHOW);
}
