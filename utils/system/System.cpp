#include "utils/system/System.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/string/String.h"

namespace Utils {
namespace System {

namespace {

std::string BaseNameLower(const char* exeFile) {
    std::string name(exeFile);
    size_t slash = name.rfind('\\');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    return String::ToLower(name);
}

const char* VersionName(const OSVERSIONINFOA& info) {
    DWORD major = info.dwMajorVersion, minor = info.dwMinorVersion;
    if (major == 6 && minor == 0) return "Windows Vista";
    if (major == 5 && minor == 2) return "Windows Server 2003";
    if (major == 5 && minor == 1) return "Windows XP";
    if (major == 5 && minor == 0) return "Windows 2000";
    if (major == 4 && minor == 0) {
        if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return "Windows NT 4.0";
        if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return "Windows 95";
        return "???";
    }
    if (major == 4 && minor == 10) return "Windows 98";
    if (major == 4 && minor == 90) return "Windows Me";
    if (major == 3 && minor == 51) return "Windows NT 3.51";
    return "???";
}

} // namespace

bool FindProcesses(std::vector<DWORD>& out, const std::string& exeName) {
    // The snapshot reports failure as INVALID_HANDLE_VALUE, as CreateFile does.
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    std::string wanted = exeName;
    String::ToLower(wanted);

    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!Process32First(snapshot.Get(), &entry)) return true;
    do {
        entry.szExeFile[sizeof(entry.szExeFile) - 1] = 0;
        if (wanted.empty() || BaseNameLower(entry.szExeFile) == wanted) out.push_back(entry.th32ProcessID);
        entry.dwSize = sizeof(entry);
    } while (Process32Next(snapshot.Get(), &entry));
    return true;
}

std::string ProcessExecutable(DWORD processId) {
    DWORD what = TH32CS_SNAPMODULE;
#if defined(_WIN64)
    what |= TH32CS_SNAPMODULE32;  // a 32-bit process lists its modules in this half
#endif
    FileHandle snapshot(CreateToolhelp32Snapshot(what, processId));
    if (!snapshot) return std::string();
    MODULEENTRY32 module;
    std::memset(&module, 0, sizeof(module));
    module.dwSize = sizeof(module);
    // The first module of a process is its executable.
    if (!Module32First(snapshot.Get(), &module) || module.th32ProcessID != processId) return std::string();
    module.szExePath[sizeof(module.szExePath) - 1] = 0;
    return module.szExePath;
}

namespace {

bool ReadVersion(OSVERSIONINFOA& info) {
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExA(&info) != FALSE;
#pragma GCC diagnostic pop
}

} // namespace

std::string GetOSVersionNumbers() {
    OSVERSIONINFOA info;
    if (!ReadVersion(info)) return std::string();
    // Windows 9x keeps its version in the build number's high word.
    const unsigned long build = info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? LOWORD(info.dwBuildNumber)
                                                                               : info.dwBuildNumber;
    return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
           std::to_string(build);
}

std::string GetOSVersionText(bool withDetails) {
    OSVERSIONINFOA info;
    if (!ReadVersion(info)) return "???";
    std::string text = VersionName(info);
    if (withDetails && text != "???") {
        info.szCSDVersion[sizeof(info.szCSDVersion) - 1] = 0;
        char details[200];
        std::snprintf(details, sizeof(details), " SP='%s' Build=%d", info.szCSDVersion,
                      static_cast<int>(info.dwBuildNumber));
        text += details;
    }
    return text;
}

} // namespace System
} // namespace Utils

namespace Utils {
namespace System {

namespace {

struct WindowSearch {
    DWORD processId;
    bool visible;
    HWND found;
};

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM parameter) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window)) {
        search->visible = true;
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

std::vector<DWORD> ProcessesRunningFrom(const std::vector<DWORD>& found, const std::vector<std::string>& folders,
                                        std::vector<DWORD>* others) {
    const DWORD ownId = GetCurrentProcessId();
    std::vector<DWORD> inside;
    for (DWORD id : found) {
        bool ours = id == ownId;
        const std::string executable = ours ? std::string() : ProcessExecutable(id);
        for (size_t i = 0; !ours && i < folders.size(); ++i) ours = FileSystem::IsPathInside(executable, folders[i]);
        if (ours) {
            inside.push_back(id);
        } else if (others) {
            others->push_back(id);
        }
    }
    return inside;
}

DWORD ChooseOtherProcess(const std::vector<DWORD>& ids, DWORD ownId) {
    if (ids.size() < 2) return 0;
    for (DWORD id : ids) {
        if (id != ownId) return id;
    }
    return 0;  // the own process found under both names
}

bool HasVisibleWindow(DWORD processId) {
    WindowSearch search = {processId, false, nullptr};
    EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
    return search.visible;
}

bool BringToFront(DWORD processId) {
    WindowSearch search = {processId, false, nullptr};
    EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found) return false;
    if (IsIconic(search.found)) ShowWindow(search.found, SW_RESTORE);
    SetForegroundWindow(search.found);
    return true;
}

std::vector<DWORD> ProcessesOf(const std::string& exePath) {
    std::vector<DWORD> found;
    FindProcesses(found, exePath.substr(exePath.rfind('\\') + 1));
    std::vector<DWORD> same;
    const std::string wanted = FileSystem::GetFullPath(exePath, "");
    for (DWORD id : found) {
        if (id != GetCurrentProcessId() && FileSystem::GetFullPath(ProcessExecutable(id), "") == wanted) {
            same.push_back(id);
        }
    }
    return same;
}

Result StopProcess(DWORD processId, UINT exitCode, DWORD waitMs) {
    KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process || !TerminateProcess(process.Get(), exitCode)) {
        const DWORD error = GetLastError();
        return Result::Failure(ReasonForSystemError(error), error, "pid " + std::to_string(processId));
    }
    if (WaitForSingleObject(process.Get(), waitMs) != WAIT_OBJECT_0) {
        return Result::Failure(Reason::AccessDenied, WAIT_TIMEOUT, "pid " + std::to_string(processId));
    }
    return Result::Success();
}

} // namespace System
} // namespace Utils
