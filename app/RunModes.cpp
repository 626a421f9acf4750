#include "app/RunModes.h"

#include <cstdlib>
#include <cstring>

namespace {
const char kUninstall[] = "/uninstall";
const char kUninstall2[] = "/uninstall2";
const size_t kPathBuffer = 512;
} // namespace

RunMode ParseCommandLine(const char* commandLine, DWORD& pid) {
    pid = 0;
    const char* text = commandLine ? commandLine : "";
    if (std::strcmp(text, kUninstall) == 0) return RunMode::RelaunchUninstall;
    const size_t prefix = sizeof kUninstall2 - 1;
    if (std::strncmp(text, kUninstall2, prefix) != 0) return RunMode::Install;
    if (std::strlen(text) == prefix) return RunMode::Uninstall;
    const char* number = text + prefix + 1;
    pid = static_cast<DWORD>(std::strtoul(number, nullptr, 10));
    if (*number < '0' || *number > '9') pid = 0;
    return RunMode::UninstallAfterWait;
}

std::string UpdateCopyPath(const std::string& tempFolder, const std::string& ownPath) {
    const std::string name = ownPath.substr(ownPath.rfind('\\') + 1);
    std::string path = tempFolder + "update" + name;
    if (path.size() >= kPathBuffer) return std::string();
    return path;
}

std::string UpdateCopyCommandLine(const std::string& copyPath, DWORD pid) {
    return "\"" + copyPath + "\" /uninstall2 " + std::to_string(pid);
}

void RelaunchForUninstall() {
    char self[kPathBuffer] = {};
    char temp[kPathBuffer] = {};
    const DWORD selfLength = GetModuleFileNameA(nullptr, self, sizeof self);
    const DWORD tempLength = GetTempPathA(sizeof temp, temp);
    std::string copy;
    if (selfLength > 0 && selfLength < sizeof self && tempLength > 0 && tempLength < sizeof temp)
        copy = UpdateCopyPath(temp, self);
    if (copy.empty()) ExitProcess(0);

    DeleteFileA(copy.c_str());
    CopyFileA(self, copy.c_str(), FALSE);

    std::string commandLine = UpdateCopyCommandLine(copy, GetCurrentProcessId());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessA(copy.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                       NORMAL_PRIORITY_CLASS, nullptr, temp, &startup, &process);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    Sleep(1000);
    MoveFileExA(copy.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    ExitProcess(started ? 1 : 0);
}
