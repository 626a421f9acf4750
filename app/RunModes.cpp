#include "app/RunModes.h"

#include <cstdlib>
#include <cstring>

#include "uninstall/Uninstall.h"
#include "utils/fs/FileSystem.h"
#include "utils/system/System.h"

namespace {
const char kUninstall[] = "/uninstall";
const char kUninstall2[] = "/uninstall2";
const size_t kPathBuffer = Utils::FileSystem::kLongPathBuffer;
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
    std::string path = tempFolder + kUpdateCopyPrefix + name;
    if (path.size() >= kPathBuffer) return std::string();
    return path;
}

std::string UpdateCopyCommandLine(const std::string& copyPath, DWORD pid) {
    return "\"" + copyPath + "\" /uninstall2 " + std::to_string(pid);
}

void RelaunchForUninstall() {
    const std::string self = Utils::FileSystem::GetOwnPath(kPathBuffer);
    const std::string temp = Utils::FileSystem::GetTempFolder(kPathBuffer);
    std::string copy;
    if (!self.empty() && !temp.empty()) copy = UpdateCopyPath(temp, self);
    if (copy.empty()) ExitProcess(0);

    DeleteFileA(copy.c_str());
    CopyFileA(self.c_str(), copy.c_str(), FALSE);

    Utils::System::ProcessStart start;
    start.application = copy;
    start.commandLine = UpdateCopyCommandLine(copy, GetCurrentProcessId());
    start.workDir = temp;
    start.inheritHandles = true;
    const bool started = Utils::System::StartProcess(start);
    Sleep(1000);
    MoveFileExA(copy.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    ExitProcess(started ? 1 : 0);
}
