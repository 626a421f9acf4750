#include "tools/player/Player.h"

#include "app/profile/Profile.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"

#include <commctrl.h>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Player {

namespace {

struct Search {
    DWORD pid;
    bool visibleOnly;
    bool wantMessageBox;
    std::vector<HWND> found;
};

bool IsDialogClass(HWND window) { return ClassOf(window) == "#32770"; }

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    Search& search = *reinterpret_cast<Search*>(param);
    if (search.pid != 0 && ProcessOf(window) != search.pid) return TRUE;
    if (search.visibleOnly && !IsWindowVisible(window)) return TRUE;
    if (!IsDialogClass(window)) return TRUE;
    const bool isBox = GetDlgItem(window, kMessageBoxTextId) != nullptr;
    const bool isInstaller = GetDlgItem(window, kStatusId) != nullptr;
    if (search.wantMessageBox ? isBox : (isInstaller && !isBox)) search.found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindTopLevel(DWORD pid, bool visibleOnly, bool messageBoxes) {
    Search search = {pid, visibleOnly, messageBoxes, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectChildren, reinterpret_cast<LPARAM>(&children));
    return children;
}

} // namespace

std::string WindowText(HWND window) {
    // WM_GETTEXT is answered by the window's thread: a time-out keeps a hung
    // installer from hanging the player. Read wide: the installer shows its
    // texts in every language.
    wchar_t buffer[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, sizeof buffer / sizeof buffer[0], reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &copied))
        return std::string();
    buffer[sizeof buffer / sizeof buffer[0] - 1] = L'\0';
    char text[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, buffer, -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

std::string ClassOf(HWND window) {
    char name[128] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

HWND FindInstallerDialog(DWORD pid, bool visibleOnly) {
    const std::vector<HWND> found = FindTopLevel(pid, visibleOnly, false);
    return found.empty() ? nullptr : found.front();
}

HWND WaitForInstallerDialog(DWORD pid, DWORD timeoutMs) {
    HWND dialog = nullptr;
    WaitUntil(timeoutMs, [&] { return (dialog = FindInstallerDialog(pid)) != nullptr; });
    return dialog;
}

bool WaitForNoInstallerDialog(DWORD pid, DWORD timeoutMs) {
    return WaitUntil(timeoutMs, [&] { return FindInstallerDialog(pid) == nullptr; });
}

bool WaitForIdle(DWORD pid, DWORD timeoutMs) {
    Utils::KernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) return false;
    return WaitForInputIdle(process.Get(), timeoutMs) == 0;
}

std::vector<ChoiceButton> ListChoiceButtons(HWND dialog, bool visibleOnly) {
    std::vector<ChoiceButton> buttons;
    for (HWND child : ChildrenOf(dialog)) {
        if (GetParent(child) != dialog || ClassOf(child) != kChoiceClass) continue;
        const LONG_PTR data = GetWindowLongPtrA(child, GWLP_USERDATA);
        if (data == kBannerUserData) continue;
        ChoiceButton button;
        button.window = child;
        button.option = static_cast<int>(data);
        button.id = GetDlgCtrlID(child);
        button.visible = IsWindowVisible(child) != FALSE;
        if (visibleOnly && !button.visible) continue;
        GetWindowRect(child, &button.rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&button.rect), 2);
        buttons.push_back(button);
    }
    std::sort(buttons.begin(), buttons.end(),
              [](const ChoiceButton& a, const ChoiceButton& b) { return a.option < b.option; });
    return buttons;
}

bool WaitForChoiceButtons(HWND dialog, DWORD timeoutMs, std::vector<ChoiceButton>& out) {
    return WaitUntil(timeoutMs, [&] {
        out = ListChoiceButtons(dialog, true);
        return !out.empty();
    });
}

int LanguageOption(const std::string& code) {
    for (int value = 1; value <= LANGUAGE_COUNT; ++value)
        if (_stricmp(code.c_str(), LanguageCode(value)) == 0) return value - 1;
    return -1;
}

std::string LanguageCodeOf(int option) { return LanguageCode(option + 1); }

bool ClickChoice(HWND dialog, int option) {
    // A page that has just appeared may still be settling on a busy machine:
    // look again for a while before deciding the flag cannot be reached.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (attempt > 0) Sleep(100);
        for (const ChoiceButton& button : ListChoiceButtons(dialog, true)) {
            if (button.option != option) continue;
            RECT onScreen;
            GetWindowRect(button.window, &onScreen);
            const POINT centre = {(onScreen.left + onScreen.right) / 2, (onScreen.top + onScreen.bottom) / 2};
            // Something else on top would get the click, as it would a player's.
            if (WindowFromPoint(centre) == button.window) return ClickAt(centre);
        }
    }
    return false;
}

bool ClickAt(POINT screenPoint) {
    // Real mouse input, as a player's hand makes it: the cursor moves there,
    // then the button goes down and up. The installer sees the move before the
    // press (one input queue), so the skinned button's hover and pushed
    // states behave as they do for a person.
    if (!SetCursorPos(screenPoint.x, screenPoint.y)) return false;
    INPUT inputs[3] = {};
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = static_cast<LONG>((screenPoint.x * 65535LL) / (width > 1 ? width - 1 : 1));
        input.mi.dy = static_cast<LONG>((screenPoint.y * 65535LL) / (height > 1 ? height - 1 : 1));
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    return SendInput(3, inputs, sizeof(INPUT)) == 3;
}

bool ClickLanguage(HWND dialog, const std::string& code) {
    const int option = LanguageOption(code);
    return option >= 0 && ClickChoice(dialog, option);
}

bool TypeNumberAndNext(HWND dialog, const std::string& text) {
    HWND edit = GetDlgItem(dialog, kNumberEditId);
    HWND next = GetDlgItem(dialog, kNextId);
    if (!edit || !next || !IsWindowVisible(edit)) return false;
    // Clear, then type as a keyboard would: one WM_CHAR per character.
    SendMessageTimeoutA(edit, EM_SETSEL, 0, -1, SMTO_ABORTIFHUNG, 5000, nullptr);
    SendMessageTimeoutA(edit, WM_CLEAR, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    for (unsigned char c : text) PostMessageA(edit, WM_CHAR, c, 1);
    // The characters are queued before the click, so they arrive first.
    return PostMessageA(next, BM_CLICK, 0, 0) != FALSE;
}

bool PressEscape(HWND dialog, bool asKey) {
    if (!asKey) return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0) != FALSE;
    // The dialog's message loop turns Esc pressed on any of its windows into
    // the Cancel command.
    const LPARAM down = 1 | (MapVirtualKeyA(VK_ESCAPE, 0) << 16);
    const LPARAM up = down | (1u << 30) | (1u << 31);
    return PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, down) && PostMessageA(dialog, WM_KEYUP, VK_ESCAPE, up);
}

bool IsControlVisible(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control && IsWindowVisible(control);
}

std::string ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control ? WindowText(control) : std::string();
}

bool ProgressOf(HWND dialog, int id, int& position, int& upper) {
    HWND bar = GetDlgItem(dialog, id);
    if (!bar) return false;
    DWORD_PTR pos = 0, high = 0;
    if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos)) return false;
    if (!SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 5000, &high)) return false;
    position = static_cast<int>(pos);
    upper = static_cast<int>(high);
    return true;
}

bool FindMessageBox(DWORD pid, MessageBoxInfo& out) {
    const std::vector<HWND> boxes = FindTopLevel(pid, true, true);
    if (boxes.empty()) return false;
    MessageBoxInfo info;
    info.window = boxes.front();
    info.owner = GetWindow(info.window, GW_OWNER);
    info.pid = ProcessOf(info.window);
    info.caption = WindowText(info.window);
    info.text = ControlText(info.window, kMessageBoxTextId);
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
        if (!IsControlVisible(info.window, id)) continue;
        info.buttons.push_back(id);
        info.buttonTexts.push_back(ControlText(info.window, id));
    }
    // The icon's static control: Windows numbers it 20, Wine 0x440.
    for (int id : {20, 0x440}) {
        HWND icon = GetDlgItem(info.window, id);
        DWORD_PTR shown = 0;
        if (icon && IsWindowVisible(icon) &&
            SendMessageTimeoutA(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &shown) && shown) {
            info.icon = reinterpret_cast<HICON>(shown);
        }
    }
    info.rightToLeft = (GetWindowLongPtrA(GetDlgItem(info.window, kMessageBoxTextId), GWL_EXSTYLE) & WS_EX_RTLREADING) != 0;
    out = info;
    return true;
}

bool WaitForMessageBox(DWORD pid, DWORD timeoutMs, MessageBoxInfo& out) {
    return WaitUntil(timeoutMs, [&] { return FindMessageBox(pid, out); });
}

bool PressButton(const MessageBoxInfo& box, int id) {
    HWND button = GetDlgItem(box.window, id);
    if (!button || !IsWindowVisible(button)) return false;
    return PostMessageA(button, BM_CLICK, 0, 0) != FALSE;
}

bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD& exitCode) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process, &exitCode) != FALSE;
}

bool WaitForExit(DWORD pid, DWORD timeoutMs, DWORD& exitCode) {
    Utils::KernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
    return process && WaitForExit(process.Get(), timeoutMs, exitCode);
}

bool SaveScreenshot(HWND window, const std::string& path) {
    RECT area;
    if (window) {
        if (!GetWindowRect(window, &area)) return false;
    } else {
        area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return false;

    HDC screen = GetDC(nullptr);
    if (!screen) return false;
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
    }
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    if (ok) {
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + imageSize;
        info.bmiHeader.biSizeImage = imageSize;
        Utils::FileSystem::CreateFoldersOf(path);
        Utils::FileHandle out(
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ok = out && WriteFile(out.Get(), &file, sizeof file, &written, nullptr) &&
             WriteFile(out.Get(), &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
             WriteFile(out.Get(), bits, imageSize, &written, nullptr) && written == imageSize;
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

} // namespace Player
