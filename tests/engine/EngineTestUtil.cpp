#include "EngineTestUtil.h"

#include <sstream>

#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"

namespace EngineTest {

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
        const size_t rights = line.rfind('\t');
        start.elevated = line.substr(rights + 1) == "elevated";
        line.resize(rights);
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

} // namespace EngineTest
