// Orvanta: installs, updates and removes the game client.
#include "app/InstallerDialog.h"
#include "app/RunModes.h"
#include "app/Window.h"
#include "utils/Handles.h"

#include <commctrl.h>
#include <cstdio>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    // The main thread is a single-threaded apartment: the skinned pictures and
    // the hosted browser need it.
    Utils::ComApartment com(COINIT_APARTMENTTHREADED);
    WindowModule::Init(instance);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    DWORD pid = 0;
    const RunMode mode = ParseCommandLine(commandLine, pid);
    if (mode == RunMode::RelaunchUninstall) RelaunchForUninstall();

    INT_PTR result;
    {
        InstallerDialog dialog;
        if (mode == RunMode::Uninstall || mode == RunMode::UninstallAfterWait) {
            dialog.SetUninstallMode();
            if (mode == RunMode::UninstallAfterWait) {
                // The installed copy must be gone before its folder is removed.
                Utils::KernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
                if (!process) {
                    char text[96];
                    std::snprintf(text, sizeof text, "Failed to open process [%u] %d", static_cast<unsigned>(pid),
                                  static_cast<int>(GetLastError()));
                    MessageBoxA(nullptr, text, "Uninstaller", MB_ICONINFORMATION);
                    return 0;
                }
                WaitForSingleObject(process.Get(), INFINITE);
            }
        }
        result = dialog.Run(GetActiveWindow());
    }
    WindowModule::Term();
    return static_cast<int>(result);
}
