#include "EngineTestUtil.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"

namespace EngineTest {

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ExeFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\'));
}

std::string CurrentFolder() {
    char path[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, path);
    return path;
}

std::string FreshFolder(const std::string& name) {
    std::string folder = ExeFolder() + "\\" + name;
    Utils::FileSystem::DeleteDirectoryTree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::vector<std::string> TemporariesBelow(const std::string& folder) {
    std::vector<std::string> files;
    std::vector<std::string> found;
    Utils::FileSystem::ListDirectory(files, folder, true, false, false);
    for (const std::string& file : files) {
        if (Utils::FileSystem::IsTemporaryName(file.substr(file.rfind('\\') + 1))) found.push_back(file);
    }
    return found;
}

std::string ResetStandinLog(const std::string& name) {
    std::string path = ExeFolder() + "\\" + name;
    DeleteFileA(path.c_str());
    SetEnvironmentVariableA("ORV_STANDIN_LOG", path.c_str());
    return path;
}

std::vector<StandinStart> ReadStandinLog(const std::string& path) {
    std::vector<StandinStart> starts;
    std::istringstream lines(ReadText(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        StandinStart start;
        size_t first = line.find('\t');
        size_t last = line.rfind('\t');
        size_t beforeLast = line.rfind('\t', last - 1);
        start.name = line.substr(0, first);
        start.commandLine = line.substr(first + 1, beforeLast - first - 1);
        start.folder = line.substr(beforeLast + 1, last - beforeLast - 1);
        start.program = line.substr(last + 1);
        starts.push_back(start);
    }
    return starts;
}

Child::~Child() {
    if (m_process) {
        if (Running()) {
            TerminateProcess(m_process, 99);
            WaitForSingleObject(m_process, 5000);
        }
        CloseHandle(m_process);
    }
}

bool Child::Start(const std::string& application, const std::string& arguments, const std::string& workDir,
                  bool hidden) {
    std::string commandLine = "\"" + application + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = hidden ? SW_HIDE : SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &startup, &info)) {
        std::printf("Child::Start: %s not started, error %lu\n", application.c_str(), GetLastError());
        return false;
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_id = info.dwProcessId;
    return true;
}

int Child::Wait(DWORD timeoutMs) {
    if (!m_process) return kTimedOut;
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(m_process, 99);
        WaitForSingleObject(m_process, 5000);
        return kTimedOut;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return static_cast<int>(code);
}

bool Child::Running() const {
    return m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

} // namespace EngineTest
