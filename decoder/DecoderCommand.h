#pragma once
// The decoder program's command line and file handling, kept in the library so
// tests can drive it in-process as well as through lzma.exe.
//   lzma d <in> <out>
// Arguments are split with Utils::String::SplitArguments: blanks or tabs
// separate, a double-quoted part may hold blanks ("C:\My Files\a.lzma").
// Backslashes are taken literally.
#include <string>
#include <vector>

namespace Lzma {

enum ExitCode {
    kExitOk = 0,
    kExitBadData = 1,    // corrupt, truncated or not an LZMA file
    kExitUsage = 2,      // wrong command line
    kExitFileError = 3,  // input cannot be read, output cannot be written
    kExitNoMemory = 4,
};

// Decodes `inPath` into `outPath`. Writes "<outPath>.decoding" first and renames
// it over `outPath` only after the whole stream checked out, so a failure never
// leaves a partial file under the output name (an older file there stays).
// Returns an ExitCode and, on failure, a one-line reason in `message`.
int DecodeFile(const std::string& inPath, const std::string& outPath, std::string& message);

// The whole program: parses `commandLine` (as GetCommandLineA gives it) and runs it.
int RunDecoderCommand(const std::string& commandLine, std::string& message);

}  // namespace Lzma
