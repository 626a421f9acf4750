// The skin tests run on a single-threaded apartment with the window module up,
// with the common controls loaded, as the program's main thread does.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <cstdio>

#include "app/Window.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    OleInitialize(nullptr);
    // Template 129 holds progress bars: their class must exist first.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    WindowModule::Init();
    // On a busy machine Wine's desktop may still be starting: window creation
    // fails until it is up. Wait for it (bounded) rather than fail every test.
    DWORD start = GetTickCount();
    HWND probe = nullptr;
    while (!(probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr)) &&
           GetTickCount() - start < 60000)
        Sleep(100);
    if (probe) DestroyWindow(probe);
    std::printf("[ info ] windows can be created after %lu ms (error %lu)\n",
                static_cast<unsigned long>(GetTickCount() - start), probe ? 0ul : GetLastError());
    int result = RUN_ALL_TESTS();
    WindowModule::Term();
    OleUninitialize();
    return result;
}
