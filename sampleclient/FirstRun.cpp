// firstrun.exe: the sample client's post-install tool. The installer runs it
// once after a first installation, hidden, from the client's folder, as
//   Bin\firstrun.exe <brand>.exe ..\<brand>.exe
// It writes the client's default settings and a record of how it was started
// (firstrun.log), then ends with 0 so the installer can report the finished
// installation.
#include <windows.h>

#include <cstdio>
#include <string>

#include "utils/fs/FileSystem.h"

int main(int argc, char** argv) {
    const std::string folder = Utils::FileSystem::GetCurrentFolder();
    if (std::FILE* log = std::fopen("firstrun.log", "ab")) {
        std::fprintf(log, "first run in %s for", folder.c_str());
        for (int i = 1; i < argc; ++i) std::fprintf(log, " %s", argv[i]);
        std::fprintf(log, "\r\n");
        std::fclose(log);
    }
    if (GetFileAttributesA("settings.ini") == INVALID_FILE_ATTRIBUTES) {
        if (std::FILE* settings = std::fopen("settings.ini", "wb")) {
            std::fprintf(settings, "[sound]\r\nvolume=3\r\n");
            std::fclose(settings);
        }
    }
    return 0;
}
