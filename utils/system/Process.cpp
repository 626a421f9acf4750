#include "utils/system/System.h"

#include <shellapi.h>

#include <vector>

#include "utils/Handles.h"
#include "utils/string/String.h"

namespace Utils {
namespace System {

namespace {

// The new process's handles; null handles when it could not be started.
struct StartedProcess {
    KernelHandle process;
    KernelHandle thread;
};

STARTUPINFOA StartupFor(const ProcessStart& start) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = start.visible ? SW_SHOWNORMAL : SW_HIDE;
    return startup;
}

StartedProcess Start(const ProcessStart& start) {
    STARTUPINFOA startup = StartupFor(start);
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

PlayerRights ChoosePlayerRights(const RightsFacts& facts) {
    // Not elevated, or elevated with no limited token beside it (UAC off, the
    // built-in Administrator): these are the player's own rights.
    if (!facts.elevated || !facts.splitToken) return PlayerRights::Own;
    if (facts.shellTokenUsable) return PlayerRights::ShellToken;
    if (facts.linkedTokenUsable) return PlayerRights::LinkedToken;
    return PlayerRights::Refused;
}

namespace {

using CreateProcessWithTokenWFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID, LPCWSTR,
                                                      LPSTARTUPINFOW, LPPROCESS_INFORMATION);

// Where the system knows no elevation (before Windows Vista) both stay false.
void ReadElevation(HANDLE token, bool& elevated, bool& splitToken) {
    TOKEN_ELEVATION elevation = {};
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
               elevation.TokenIsElevated != 0;
    splitToken = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) &&
                 type == TokenElevationTypeFull;
}

KernelHandle PrimaryTokenOf(HANDLE token) {
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(token, TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_ADJUST_DEFAULT |
                              TOKEN_ADJUST_SESSIONID,
                          nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
        return KernelHandle();
    }
    return KernelHandle(primary);
}

// The desktop shell's token as a primary token, when it runs without elevation.
KernelHandle UnelevatedShellToken() {
    DWORD shellId = 0;
    HWND shell = GetShellWindow();
    if (shell == nullptr || GetWindowThreadProcessId(shell, &shellId) == 0 || shellId == 0) return KernelHandle();
    KernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shellId));
    HANDLE token = nullptr;
    if (!process || !OpenProcessToken(process.Get(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return KernelHandle();
    KernelHandle shellToken(token);
    bool elevated = false, split = false;
    ReadElevation(shellToken.Get(), elevated, split);
    return elevated ? KernelHandle() : PrimaryTokenOf(shellToken.Get());
}

// The limited token linked to this elevated one, as a primary token: the
// system hands it out at identification level, which only some systems let
// a process without the TCB privilege turn into a primary token.
KernelHandle LinkedPrimaryToken(HANDLE ownToken) {
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!GetTokenInformation(ownToken, TokenLinkedToken, &linked, sizeof linked, &size)) return KernelHandle();
    KernelHandle limited(linked.LinkedToken);
    return PrimaryTokenOf(limited.Get());
}

// CreateProcessWithTokenW has no ANSI form and exists from Windows Server 2003/Vista on.
bool StartWithShellToken(HANDLE token, const ProcessStart& start) {
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    auto createWithToken = advapi == nullptr ? nullptr
                                             : reinterpret_cast<CreateProcessWithTokenWFunction>(reinterpret_cast<void*>(
                                                   GetProcAddress(advapi, "CreateProcessWithTokenW")));
    if (createWithToken == nullptr) return false;
    const std::wstring application = Utils::String::ToWide(start.application);
    std::wstring commandLine = Utils::String::ToWide(start.commandLine);
    const std::wstring workDir = Utils::String::ToWide(start.workDir);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = start.visible ? SW_SHOWNORMAL : SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!createWithToken(token, 0, application.empty() ? nullptr : application.c_str(),
                         commandLine.empty() ? nullptr : &commandLine[0], NORMAL_PRIORITY_CLASS, nullptr,
                         workDir.empty() ? nullptr : workDir.c_str(), &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

bool StartWithToken(HANDLE token, const ProcessStart& start) {
    STARTUPINFOA startup = StartupFor(start);
    std::vector<char> commandLine(start.commandLine.begin(), start.commandLine.end());
    commandLine.push_back('\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessAsUserA(token, start.application.empty() ? nullptr : start.application.c_str(),
                              commandLine.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                              start.workDir.empty() ? nullptr : start.workDir.c_str(), &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

} // namespace

bool StartAsPlayer(const ProcessStart& start, PlayerRights* used) {
    PlayerRights ignored;
    PlayerRights& choice = used != nullptr ? *used : ignored;
    HANDLE token = nullptr;
    // No process token at all (Windows 9x): there are no other rights to have.
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        choice = PlayerRights::Own;
        return StartProcess(start);
    }
    KernelHandle ownToken(token);
    RightsFacts facts;
    ReadElevation(ownToken.Get(), facts.elevated, facts.splitToken);
    KernelHandle shellToken, linkedToken;
    if (facts.elevated && facts.splitToken) {
        shellToken = UnelevatedShellToken();
        facts.shellTokenUsable = shellToken.IsValid();
        if (!facts.shellTokenUsable) {
            linkedToken = LinkedPrimaryToken(ownToken.Get());
            facts.linkedTokenUsable = linkedToken.IsValid();
        }
    }
    choice = ChoosePlayerRights(facts);
    switch (choice) {
    case PlayerRights::Own:
        return StartProcess(start);
    case PlayerRights::ShellToken:
        return StartWithShellToken(shellToken.Get(), start);
    case PlayerRights::LinkedToken:
        return StartWithToken(linkedToken.Get(), start);
    case PlayerRights::Refused:
        break;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

void ShellOpen(const std::string& target) {
    ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace System
} // namespace Utils
