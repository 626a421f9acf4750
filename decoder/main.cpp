// lzma.exe: unpacks one ".lzma" file. Exit code 0 on success; otherwise a
// reason on stderr and no output file (see Lzma::ExitCode).
#include "decoder/DecoderCommand.h"

#include <windows.h>

#include <cstdio>

int main() {
    std::string message;
    int code = Lzma::RunDecoderCommand(GetCommandLineA(), message);
    if (code != Lzma::kExitOk) std::fprintf(stderr, "lzma: %s\n", message.c_str());
    return code;
}
