// guiclient.exe: the sample game client. Shows its name and version in a small
// window, notes every start in started.log (current folder), and closes itself
// after N seconds when started with "--exit-after N" or when the environment
// variable ORVANTA_CLIENT_EXIT_AFTER holds N.
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/string/String.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#define TEXT_OF2(x) #x
#define TEXT_OF(x) TEXT_OF2(x)
#define SAMPLE_VERSION TEXT_OF(SAMPLE_VERSION_DOTS)

namespace {

const char kTitle[] = "Orvanta sample client";
const char kWindowClass[] = "OrvantaSampleClient";
const UINT_PTR kExitTimer = 1;
const int kNameId = 101, kVersionId = 102, kPathId = 103;

// The command line without the program name (which may be quoted).
std::string ArgumentsOf(const char* commandLine) {
    const char* p = commandLine;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

// Seconds 0..86400, or -1 when `text` is not such a number.
int ParseSeconds(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    int value = std::atoi(text.c_str());
    return value <= 86400 ? value : -1;
}

// -1: stay until closed by the user.
int ExitAfterSeconds(const std::string& arguments) {
    std::vector<std::string> words = Utils::String::SplitArguments(arguments);
    for (size_t i = 0; i + 1 < words.size(); ++i)
        if (words[i] == "--exit-after") return ParseSeconds(words[i + 1]);
    char value[16] = {};
    DWORD n = GetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", value, sizeof(value));
    if (n > 0 && n < sizeof(value)) return ParseSeconds(value);
    return -1;
}

// Paths are shown whatever their length: the buffer takes the longest path
// the system has.
const size_t kAnyPath = 32768;

// "a.b.c.d" from the VERSIONINFO resource, so the window shows what this very file carries.
std::string FileVersion(const std::string& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return SAMPLE_VERSION;
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || length < sizeof(*info))
        return SAMPLE_VERSION;
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

// Two clients started together both note their start: appends share the
// file (each line goes out in one write at the end of the file).
void NoteStart(const std::string& path, const std::string& arguments, const std::string& cwd) {
    Utils::FileHandle log(CreateFileA("started.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log) return;
    std::string line = "started " + path + " args=" + arguments + " cwd=" + cwd + "\r\n";
    DWORD written = 0;
    WriteFile(log.Get(), line.data(), DWORD(line.size()), &written, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam == kExitTimer) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void AddLabel(HWND parent, int id, const std::string& text, int y, HFONT font) {
    HWND label = CreateWindowExA(0, "STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 12, y, 420,
                                 20, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    const std::string path = Utils::FileSystem::GetOwnPath(kAnyPath);
    const std::string arguments = ArgumentsOf(GetCommandLineA());
    NoteStart(path, arguments, Utils::FileSystem::GetCurrentFolder(kAnyPath));

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassA(&windowClass)) return 1;

    HWND window = CreateWindowExA(0, kWindowClass, kTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 460, 130, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    AddLabel(window, kNameId, kTitle, 10, font);
    AddLabel(window, kVersionId, "Version " + FileVersion(path), 34, font);
    AddLabel(window, kPathId, path, 58, font);

    int seconds = ExitAfterSeconds(arguments);
    if (seconds >= 0) SetTimer(window, kExitTimer, UINT(seconds) * 1000u, nullptr);

    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
