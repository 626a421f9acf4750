// Stand-in for a running game client: stays alive until it is terminated.
// Started with "exit N" it ends at once with exit code N, after writing the
// show state it was started with into started.txt of its working folder.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        GetStartupInfoA(&startup);
        if (std::FILE* note = std::fopen("started.txt", "wb")) {
            std::fprintf(note, "%d", (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1);
            std::fclose(note);
        }
        return std::atoi(argv[2]);
    }
    for (;;) Sleep(1000);
}
