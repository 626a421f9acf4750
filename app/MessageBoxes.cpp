#include "app/MessageBoxes.h"

namespace {

// What the buttons of the box about to open on this thread say.
struct ButtonWords {
    HHOOK hook = nullptr;
    bool done = false;
    std::wstring ok, cancel;
};

thread_local ButtonWords* t_words = nullptr;

// The box is complete once it is activated: its buttons get their words.
LRESULT CALLBACK RelabelButtons(int code, WPARAM wParam, LPARAM lParam) {
    ButtonWords* words = t_words;
    if (code == HCBT_ACTIVATE && words && !words->done) {
        HWND box = reinterpret_cast<HWND>(wParam);
        if (GetDlgItem(box, 0xFFFF)) {  // a message box's text control
            words->done = true;
            const struct {
                int id;
                std::wstring text;
            } buttons[] = {{IDOK, words->ok},
                           {IDCANCEL, words->cancel},
                           {IDRETRY, Texts::Wide(Texts::Text(TextId::ButtonRetry))},
                           {IDYES, Texts::Wide(Texts::Text(TextId::ButtonYes))},
                           {IDNO, Texts::Wide(Texts::Text(TextId::ButtonNo))}};
            for (const auto& button : buttons) {
                if (HWND control = GetDlgItem(box, button.id)) SetWindowTextW(control, button.text.c_str());
            }
        }
    }
    return CallNextHookEx(words ? words->hook : nullptr, code, wParam, lParam);
}

int ShowBox(HWND owner, const std::string& text, const std::string& caption, UINT type, const std::string& okWord,
            const std::string& cancelWord) {
    ButtonWords words;
    words.ok = Texts::Wide(okWord);
    words.cancel = Texts::Wide(cancelWord);
    words.hook = SetWindowsHookExW(WH_CBT, RelabelButtons, nullptr, GetCurrentThreadId());
    ButtonWords* outer = t_words;
    t_words = &words;
    if (Texts::IsRightToLeft()) type |= MB_RTLREADING | MB_RIGHT;
    const int answer = MessageBoxW(owner, Texts::Wide(text).c_str(), Texts::Wide(caption).c_str(), type);
    t_words = outer;
    if (words.hook) UnhookWindowsHookEx(words.hook);
    return answer;
}

} // namespace

int ShowTextBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
    return ShowBox(owner, text, caption, type ? type : MB_OK, Texts::Text(TextId::ButtonOk),
                   Texts::Text(TextId::ButtonCancel));
}

int ShowPlayerMessage(HWND owner, const PlayerMessage& message) {
    using Buttons = PlayerMessage::Buttons;
    const std::string playNow = Texts::Text(TextId::ButtonPlayNow);
    const std::string ok = message.buttons == Buttons::PlayNow ? playNow : Texts::Text(TextId::ButtonOk);
    const std::string cancel =
        message.buttons == Buttons::RetryPlayNow ? playNow : Texts::Text(TextId::ButtonCancel);
    return ShowBox(owner, message.FullText(), message.caption, message.BoxType(), ok, cancel);
}
