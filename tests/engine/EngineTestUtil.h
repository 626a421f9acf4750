#pragma once
// Small helpers shared by the engine tests: files, the stand-ins' start
// records, child processes with a guard, and the folders of the test exe.
#include <windows.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace EngineTest {

using TestSupport::ReadText;  // "" when missing
using TestSupport::WriteText;
bool Exists(const std::string& path);
std::string ExeFolder();                                  // without trailing "\"
std::string CurrentFolder();
// A fresh empty folder below the test exe's folder.
std::string FreshFolder(const std::string& name);
// Paths of the files below `folder` (at any depth) that carry the temporary
// mark of an interrupted or unfinished replacement.
std::vector<std::string> TemporariesBelow(const std::string& folder);

// One start of a stand-in program: its name, whole command line, current
// folder and its own file.
struct StandinStart {
    std::string name;
    std::string commandLine;
    std::string folder;
    std::string program;
};
// Points ORV_STANDIN_LOG at a fresh file in the exe folder; returns its path.
std::string ResetStandinLog(const std::string& name);
std::vector<StandinStart> ReadStandinLog(const std::string& path);

// A started child process that is terminated on destruction if still running.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool Start(const std::string& application, const std::string& arguments, const std::string& workDir,
               bool hidden = true);
    static const int kTimedOut = -99999;
    // Exit code, or kTimedOut when it did not end within timeoutMs (it is then killed).
    int Wait(DWORD timeoutMs);
    DWORD Id() const { return m_id; }
    bool Running() const;

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

} // namespace EngineTest
