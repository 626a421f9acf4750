#include "e2e/E2eSupport.h"

#include "tools/player/Player.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/System.h"

#include <shlobj.h>
#include <cstdio>
#include <sstream>

namespace E2e {

namespace {

std::string ShellPath(int csidl) {
    char buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return std::string();
    std::string path = buffer;
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

const char kUninstallKey[] = "Microsoft\\Windows\\CurrentVersion\\Uninstall";

void DeleteDownloadValues(const char* keyPath) {
    Utils::RegKey key;
    const std::string path = std::string("Software\\") + keyPath;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS) return;
    for (const std::string& name : DownloadValues()) RegDeleteValueA(key.Get(), name.c_str());
}

std::vector<std::string> ValuesWith(const char* keyPath, const std::string& part) {
    std::vector<std::string> names;
    Utils::RegKey key;
    const std::string path = std::string("Software\\") + keyPath;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD length = sizeof name;
        if (RegEnumValueA(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (std::string(name).find(part) != std::string::npos) names.push_back(name);
    }
    return names;
}

} // namespace

std::string StatePath(const std::string& name) {
    char full[MAX_PATH] = {};
    GetFullPathNameA(("e2e-state\\" + name).c_str(), sizeof full, full, nullptr);
    std::string path = full;
    if (name.empty() && !path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

int ServerPort(int release) {
    return std::atoi(ReadFileText(StatePath("server" + std::to_string(release) + ".port")).c_str());
}

std::string ProgramFilesDir() { return ShellPath(CSIDL_PROGRAM_FILES); }
std::string InstallDir() { return ProgramFilesDir() + "\\" + kBrand; }
std::string StartMenuDir() { return ShellPath(CSIDL_PROGRAMS) + "\\" + kBrand; }
std::string DesktopLink() { return ShellPath(CSIDL_DESKTOPDIRECTORY) + "\\" + kBrand + ".lnk"; }

std::string TempDir() {
    char buffer[MAX_PATH] = {};
    GetTempPathA(sizeof buffer, buffer);
    std::string path = buffer;
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    Utils::FindHandle find(FindFirstFileA((folder + "\\" + pattern).c_str(), &found));
    if (!find) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(find.Get(), &found));
    return names;
}

bool UninstallEntryExists() { return Utils::RegistryKey(0, kUninstallKey).KeyExists(kBrand); }

std::string UninstallValue(const std::string& name) {
    return Utils::RegistryKey(0, kUninstallKey).GetString(name, kBrand, "");
}

bool BrandSubkeyExists() { return Utils::RegistryKey(1, kProductWord).KeyExists(kBrand); }

long long RememberedAnswer(const std::string& marker) {
    Utils::RegistryKey key(1, kProductWord);
    const std::string name = std::string("ReqData") + kAnswerSuffix + marker;
    const DWORD missing = 0xDEADBEEF;
    const DWORD value = key.GetDword(name, "", missing);
    return value == missing ? -1 : static_cast<long long>(value);
}

std::vector<std::string> DownloadValues() {
    std::vector<std::string> names;
    for (const char* suffix : {kAnswerSuffix, kTypedAnswerSuffix})
        for (const char* key : {kProductWord, "Corvantis"})
            for (const std::string& name : ValuesWith(key, suffix)) names.push_back(name);
    return names;
}

void CleanInstallation() {
    for (const char* exe : {"Copperine.exe", "updateCopperine.exe", "OrvantaSetup.exe", "_OrvantaSetup.exe"})
        TestSupport::EndProcessesNamed(exe);
    WaitNoProcess("Copperine.exe", kShortWait);
    // A client that has only just ended may still hold its files for a moment
    // on a busy machine: try again until the folders are really gone.
    const std::string folders[] = {InstallDir(), StartMenuDir(), ShellPath(CSIDL_LOCAL_APPDATA) + "\\" + kBrand};
    Player::WaitUntil(kShortWait, [&] {
        bool left = false;
        for (const std::string& folder : folders) {
            if (!Utils::FileSystem::IsDirectory(folder)) continue;
            Utils::FileSystem::DeleteDirectoryTree(folder);
            left = left || Utils::FileSystem::IsDirectory(folder);
        }
        if (left) TestSupport::EndProcessesNamed("Copperine.exe");
        return !left;
    });
    DeleteFileA(DesktopLink().c_str());
    DeleteFileA((TempDir() + "\\update" + kBrand + ".exe").c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string("Software\\") + kUninstallKey + "\\" + kBrand).c_str());
    RegDeleteTreeA(HKEY_CURRENT_USER, (std::string("Software\\") + kProductWord + "\\" + kBrand).c_str());
    DeleteDownloadValues(kProductWord);
    DeleteDownloadValues("Corvantis");
}

Process Start(const std::string& exe, const std::string& args) {
    return Process::Start(exe, args, {exe.substr(0, exe.rfind('\\'))});
}

bool WaitNoProcess(const std::string& exeName, DWORD timeoutMs) {
    return Player::WaitUntil(timeoutMs, [&] {
        std::vector<DWORD> pids;
        Utils::System::FindProcesses(pids, exeName);
        return pids.empty();
    });
}

AccessLog::AccessLog(int release) : m_path(StatePath("access" + std::to_string(release) + ".log")) { Mark(); }

void AccessLog::Mark() { m_mark = ReadFileText(m_path).size(); }

std::vector<std::string> AccessLog::NewLines() const {
    const std::string text = ReadFileText(m_path);
    std::vector<std::string> lines;
    if (text.size() <= m_mark) return lines;
    std::istringstream in(text.substr(m_mark));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

int AccessLog::Count(const std::string& text) const {
    int count = 0;
    for (const std::string& line : NewLines())
        if (line.find(text) != std::string::npos) ++count;
    return count;
}

bool AccessLog::WaitFor(const std::string& text, DWORD timeoutMs) const {
    return Player::WaitUntil(timeoutMs, [&] { return Count(text) > 0; });
}

std::string ReportTarget(int status) {
    return std::string("/") + kReportPrefix + std::to_string(status) + kReportSuffix + " HTTP/1.1\"";
}

void Screenshot(HWND window, const std::string& name) {
    if (window) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(300);  // the installer paints on its own thread
    if (!Player::SaveScreenshot(window, "screens\\" + name + ".bmp"))
        std::printf("screenshot %s could not be saved\n", name.c_str());
}

} // namespace E2e
