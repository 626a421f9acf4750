// A stand-in for another running copy of the program: with the argument
// "visible" it shows a top-level window, otherwise it has none. It ends by
// itself after a minute so a failed test never leaves it behind.
#include <windows.h>

#include <cstring>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    if (std::strstr(commandLine, "visible")) {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = "OrvantaRunningCopy";
        RegisterClassA(&windowClass);
        HWND window = CreateWindowA("OrvantaRunningCopy", "running copy", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                    nullptr, nullptr, instance, nullptr);
        ShowWindow(window, SW_SHOWNORMAL);
        SetTimer(window, 1, 60000, nullptr);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_TIMER) break;
            DispatchMessageA(&message);
        }
        return 0;
    }
    Sleep(60000);
    return 0;
}
