#pragma once
// Folders and programs for tests that start real programs the way the
// installer does.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/TestFiles.h"
#include "utils/Handles.h"

namespace TestSupport {

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// An empty folder of this name below the working directory.
inline std::string FreshFolder(const std::string& name) {
    WIN32_FIND_DATAA found;
    Utils::FindHandle find(FindFirstFileA((name + "\\*").c_str(), &found));
    if (find) {
        do {
            std::string file = name + "\\" + found.cFileName;
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(file.c_str());
        } while (FindNextFileA(find.Get(), &found));
    }
    CreateDirectoryA(name.c_str(), nullptr);
    return name;
}

// Runs a command line the installer's way (no application name, hidden
// window) and returns its exit code; -1 when it cannot start. errorOutput,
// when given, receives what the program wrote to stdout and stderr. A program
// that does not end within two minutes is ended and reported.
inline int RunCommand(const std::string& commandLine, std::string* errorOutput = nullptr) {
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    Utils::FileHandle errFile;
    const char* errPath = "command_output.txt";
    if (errorOutput) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        errFile.Reset(CreateFileA(errPath, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdError = errFile.Get();
        si.hStdOutput = errFile.Get();
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    std::string buffer = commandLine;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &buffer[0], nullptr, nullptr, errorOutput ? TRUE : FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &si, &pi))
        return -1;
    Utils::KernelHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.Get(), 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 99);
        WaitForSingleObject(process.Get(), 10000);
        ADD_FAILURE() << "did not end: " << commandLine;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    if (errorOutput) {
        errFile.Reset();
        *errorOutput = ReadText(errPath);
    }
    return int(code);
}

} // namespace TestSupport
