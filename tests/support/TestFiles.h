#pragma once
// Small file and process helpers for tests that work on real files and start
// real programs the way the installer does.
#include "utils/Handles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

namespace TestFiles {

inline std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void Write(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

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
// window) and returns its exit code; -1 when it cannot start. A program that
// does not end within two minutes is ended and reported.
inline int RunProgram(const std::string& commandLine) {
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    std::string buffer = commandLine;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &buffer[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si,
                        &pi))
        return -1;
    Utils::KernelHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.Get(), 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 99);
        WaitForSingleObject(process.Get(), 10000);
        ADD_FAILURE() << "did not end: " << commandLine;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return int(code);
}

}  // namespace TestFiles
