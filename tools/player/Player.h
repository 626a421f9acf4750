#pragma once
// A player at the keyboard, in code: finds the installer's windows of another
// process by class and control ids and acts on them the way a person would
// (click a flag, type a number, press Esc, answer a message box), and takes
// screenshots of what is on the screen. Used by the scenario tests and, as
// orvanta_player.exe, by the demo script.
//
// Windows are found across processes (all run on the same Wine desktop). A pid
// of 0 means "any process". Every wait polls with a generous time-out and
// returns false when it runs out; nothing here blocks on the other process's
// message loop (actions are posted, never sent), so a modal message box in the
// installer cannot hang the player.
#include <windows.h>

#include <string>
#include <vector>

#include "app/skin/SkinButton.h"
#include "resources/DialogLayout.h"
#include "resources/resource.h"

namespace Player {

// What the installer dialog is known by (its own definitions, under the
// names the scenarios use).
const int kStatusId = IDC_STATUS_TEXT;
const int kNumberEditId = IDC_NUMBER_EDIT;
const int kNextId = IDC_NEXT;
const int kFileProgressId = IDC_FILE_PROGRESS;
const int kOverallProgressId = IDC_OVERALL_PROGRESS;
const int kBackgroundId = IDC_BACKGROUND;
const int kFirstChoiceId = IDC_FIRST_CHOICE;
const LONG_PTR kBannerUserData = DialogLayout::kBannerUserData;
const char* const kChoiceClass = SkinButton::ClassName();
// Static control that holds a message box's text (the system's).
const int kMessageBoxTextId = 0xFFFF;

// A window's text as UTF-8.
std::string WindowText(HWND window);
std::string ClassOf(HWND window);
DWORD ProcessOf(HWND window);

// The installer dialog: a top-level "#32770" window with the status control
// 1004, owned by process pid (0: any). Titles are not checked, so a brand
// title set by the engine is found too. visibleOnly skips hidden dialogs.
HWND FindInstallerDialog(DWORD pid, bool visibleOnly = true);
HWND WaitForInstallerDialog(DWORD pid, DWORD timeoutMs);
// Until no installer dialog of pid exists (the process ended or hid it).
bool WaitForNoInstallerDialog(DWORD pid, DWORD timeoutMs);
// WaitForInputIdle on the process (it must have a message loop by then).
bool WaitForIdle(DWORD pid, DWORD timeoutMs);

// A choice button of the current question page.
struct ChoiceButton {
    int option = -1;  // 0-based option index (the button's user data)
    int id = 0;       // control id (3000 + option)
    HWND window = nullptr;
    RECT rect = {};   // in the dialog's client coordinates
    bool visible = false;
};
// Ordered by option index. The banner (user data 0xFFFF) is never listed.
std::vector<ChoiceButton> ListChoiceButtons(HWND dialog, bool visibleOnly = true);
// Waits until at least one visible choice button exists.
bool WaitForChoiceButtons(HWND dialog, DWORD timeoutMs, std::vector<ChoiceButton>& out);

// Option index of a language code ("EN" -> 0, "PT" -> 17), -1 when unknown.
int LanguageOption(const std::string& code);
// Code of an option index, "??" outside 0..17.
std::string LanguageCodeOf(int option);

// A left click with the mouse at a point of the screen (real input).
bool ClickAt(POINT screenPoint);
// Clicks the visible choice button with that option index with the mouse;
// false when there is none (a hidden button cannot be clicked by a player
// either) or something covers it.
bool ClickChoice(HWND dialog, int option);
bool ClickLanguage(HWND dialog, const std::string& code);
// Types the text into edit 1000 (character by character) and presses Next.
bool TypeNumberAndNext(HWND dialog, const std::string& text);
// Esc: either the Cancel command the dialog manager makes of the key
// (asKey false) or the key itself, posted to the focused control's thread.
bool PressEscape(HWND dialog, bool asKey);

bool IsControlVisible(HWND dialog, int id);
std::string ControlText(HWND dialog, int id);
// Range and position of a progress bar (answered by the bar's thread).
bool ProgressOf(HWND dialog, int id, int& position, int& upper);

// A message box of process pid (0: any): "#32770" with the static 0xFFFF.
struct MessageBoxInfo {
    HWND window = nullptr;
    HWND owner = nullptr;
    DWORD pid = 0;
    std::string caption;
    std::string text;
    std::vector<int> buttons;  // ids of the visible buttons (IDOK, IDYES, ...)
    std::vector<std::string> buttonTexts;  // their words, in the same order
    HICON icon = nullptr;      // the icon shown, null when none (a handle of the box's process)
    bool rightToLeft = false;  // the text reads from right to left
};
bool FindMessageBox(DWORD pid, MessageBoxInfo& out);
bool WaitForMessageBox(DWORD pid, DWORD timeoutMs, MessageBoxInfo& out);
// Presses a message box button by id (Yes 6, No 7, OK 1).
bool PressButton(const MessageBoxInfo& box, int id);

// Waits for the process to end; exitCode receives its exit code.
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD& exitCode);
bool WaitForExit(DWORD pid, DWORD timeoutMs, DWORD& exitCode);

// Saves what the screen shows inside the window's rectangle (window null: the
// whole screen) as a 24-bit BMP. Folders of the path are created.
bool SaveScreenshot(HWND window, const std::string& path);

// Polls predicate every 50 ms until it holds or the time is up.
template <typename Predicate>
bool WaitUntil(DWORD timeoutMs, Predicate predicate) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (predicate()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(50);
    }
}

} // namespace Player
