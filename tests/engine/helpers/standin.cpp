// Stand-in for the outside programs the engine starts (decoders, cabinet tool,
// post-install tool, game client). What it does depends on its own file name:
//   lzma    "d <in> <out>"           out = in without its "PACKED:" prefix
//   oggdec  "-o <out> <in>"          the same
//   cabarc  "-r -p -o X <cab> <dir>" copies every file of the folder named on
//                                    the cabinet's first line into <dir>
//   other                            only records its start
// Every start is appended to the file named by ORV_STANDIN_LOG as
// "<name>\t<command line>\t<current folder>\t<own full path>\t<elevated|limited>". The exit code is taken from the
// variable ORV_STANDIN_EXIT_<name> (0 when unset); decoding errors give 2.
// ORV_STANDIN_DECODE_MS makes the decoders take that long, half their output
// written; ORV_STANDIN_RUN_MS keeps any other program running that long (a
// game that is open).
#include "tests/support/TestFiles.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string OwnName() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name = path;
    name = name.substr(name.find_last_of("\\/") + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return TestSupport::Lower(name);
}

std::string Env(const std::string& name) {
    char value[1024] = {};
    DWORD length = GetEnvironmentVariableA(name.c_str(), value, sizeof(value));
    return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

bool Elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

void Record(const std::string& name) {
    std::string log = Env("ORV_STANDIN_LOG");
    if (log.empty()) return;
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = name + "\t" + GetCommandLineA() + "\t" + TestSupport::CurrentFolder() + "\t" + self + "\t" +
                       (Elevated() ? "elevated" : "limited") + "\r\n";
    HANDLE file = CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

int Decode(const std::string& in, const std::string& out) {
    std::string data;
    if (!TestSupport::TryReadText(in, data)) return 2;
    const std::string prefix = "PACKED:";
    if (data.compare(0, prefix.size(), prefix) != 0) return 2;
    data.erase(0, prefix.size());
    // A slow decoder writes half its output, then the rest after a pause.
    const int pauseMs = std::atoi(Env("ORV_STANDIN_DECODE_MS").c_str());
    if (pauseMs <= 0) return TestSupport::WriteText(out, data) ? 0 : 2;
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(data.data(), static_cast<std::streamsize>(data.size() / 2)).flush();
    Sleep(static_cast<DWORD>(pauseMs));
    file.write(data.data() + data.size() / 2, static_cast<std::streamsize>(data.size() - data.size() / 2));
    return file.flush() ? 0 : 2;
}

int Unpack(const std::string& cabinet, std::string target) {
    std::string listing;
    if (!TestSupport::TryReadText(cabinet, listing)) return 2;
    std::string folder = listing.substr(0, listing.find_first_of("\r\n"));
    while (!target.empty() && target.back() == '\\') target.pop_back();
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 2;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string from = folder + "\\" + found.cFileName;
        std::string to = target + "\\" + found.cFileName;
        CopyFileA(from.c_str(), to.c_str(), FALSE);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string name = OwnName();
    Record(name);
    int result = 0;
    if (name == "lzma") {
        result = argc == 4 && std::string(argv[1]) == "d" ? Decode(argv[2], argv[3]) : 2;
    } else if (name == "oggdec") {
        result = argc == 4 && std::string(argv[1]) == "-o" ? Decode(argv[3], argv[2]) : 2;
    } else if (name == "cabarc") {
        result = argc == 7 ? Unpack(argv[5], argv[6]) : 2;
    } else {
        Sleep(static_cast<DWORD>(std::atoi(Env("ORV_STANDIN_RUN_MS").c_str())));
    }
    std::string chosen = Env("ORV_STANDIN_EXIT_" + name);
    if (!chosen.empty()) result = std::atoi(chosen.c_str());
    return result;
}
