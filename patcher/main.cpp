// vpatch.exe: applies one patch made by the release tools' vpatch. Exit code 0
// on success; otherwise a reason on stderr and no output file (Patch::ExitCode).
#include "patcher/PatchCommand.h"
#include "patcher/PatchFormat.h"

#include <windows.h>

#include <cstdio>

int main() {
    std::string message;
    int code = Patch::RunPatchCommand(GetCommandLineA(), message);
    if (code != Patch::kExitOk) std::fprintf(stderr, "vpatch: %s\n", message.c_str());
    return code;
}
