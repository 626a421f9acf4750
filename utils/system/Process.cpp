#include "utils/system/System.h"

#include <shellapi.h>

#include <vector>

#include "utils/Handles.h"

namespace Utils {
namespace System {

namespace {

// The new process's handles; null handles when it could not be started.
struct StartedProcess {
    KernelHandle process;
    KernelHandle thread;
};

StartedProcess Start(const ProcessStart& start) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = start.visible ? SW_SHOWNORMAL : SW_HIDE;
    char desktop[1] = {0};
    if (start.emptyDesktop) startup.lpDesktop = desktop;
    // CreateProcessA may write into the command line it is given.
    std::vector<char> commandLine(start.commandLine.begin(), start.commandLine.end());
    commandLine.push_back('\0');
    PROCESS_INFORMATION info = {};
    StartedProcess started;
    if (CreateProcessA(start.application.empty() ? nullptr : start.application.c_str(), commandLine.data(), nullptr,
                       nullptr, start.inheritHandles ? TRUE : FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                       start.workDir.empty() ? nullptr : start.workDir.c_str(), &startup, &info)) {
        started.process.Reset(info.hProcess);
        started.thread.Reset(info.hThread);
    }
    return started;
}

} // namespace

bool StartProcess(const ProcessStart& start) { return Start(start).process.IsValid(); }

bool RunProcess(const ProcessStart& start, DWORD& exitCode) {
    exitCode = 0xFFFFFFFF;
    StartedProcess started = Start(start);
    if (!started.process) return false;
    WaitForSingleObject(started.process.Get(), INFINITE);
    if (!GetExitCodeProcess(started.process.Get(), &exitCode)) exitCode = 0xFFFFFFFF;
    return true;
}

void ShellOpen(const std::string& target) {
    ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace System
} // namespace Utils
