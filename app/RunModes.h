#pragma once
// Run modes decided from the command line.
#include <windows.h>
#include <string>

enum class RunMode {
    Install,             // none, or anything else
    RelaunchUninstall,   // exactly "/uninstall"
    Uninstall,           // "/uninstall2" alone
    UninstallAfterWait,  // "/uninstall2 <pid>"
};

// Byte-wise, case-sensitive. pid receives the number that starts one character
// after "/uninstall2" (0 when it does not begin with digits).
RunMode ParseCommandLine(const char* commandLine, DWORD& pid);

// The file the "/uninstall" relaunch runs: <temp folder>update<own file name>
// (kUpdateCopyPrefix). Empty when the paths do not fit their 512-character
// buffers.
std::string UpdateCopyPath(const std::string& tempFolder, const std::string& ownPath);

// The update copy's command line. The path is quoted so the copy receives
// exactly "/uninstall2 <pid>" even when the temporary folder holds blanks.
std::string UpdateCopyCommandLine(const std::string& copyPath, DWORD pid);

// Copies the running executable to the update copy, starts it with
// "/uninstall2 <this pid>" and ends the process (1 when it started, else 0).
void RelaunchForUninstall();
