#pragma once
// Small helpers shared by the engine tests: the stand-ins' start records and
// the files a cut replacement leaves; files, folders and child processes come
// from the shared test support.
#include <windows.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "support/TestProcess.h"

namespace EngineTest {

using TestSupport::CurrentFolder;
using TestSupport::ExeFolder;  // without trailing "\"
using TestSupport::Exists;
using TestSupport::FreshFolder;
using TestSupport::Process;
using TestSupport::ReadText;  // "" when missing
using TestSupport::Window;
using TestSupport::WriteText;

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
    bool elevated = false;  // the token it ran with
};
// Points ORV_STANDIN_LOG at a fresh file in the exe folder; returns its path.
std::string ResetStandinLog(const std::string& name);
std::vector<StandinStart> ReadStandinLog(const std::string& path);

} // namespace EngineTest
