#pragma once
// vpatch.exe's command line and file handling (kept in the library so tests can
// drive it in-process as well as through the program):
//   vpatch apply [--size <bytes>] <old> <patch> <new>
// Arguments are split as lzma.exe splits them (blanks, tabs, double quotes).
#include <cstdint>
#include <string>

#include "patcher/PatchApply.h"

namespace Patch {

// Applies `patchPath` to `oldPath`. The result is written to "<newPath>.patching"
// and renamed to `newPath` only after its SHA-256 checked out, so a failure
// never leaves a partial file under the new name (an older file there stays).
// `newPath` may name the old file itself. expectedSize (kAnySize: none): a
// patch that makes a file of another size is refused before anything is
// written (kExitWrongSize). Returns an ExitCode and, on failure, a one-line
// reason in `message`.
int ApplyFile(const std::string& oldPath, const std::string& patchPath, const std::string& newPath,
              std::string& message, uint64_t expectedSize = kAnySize);

// The whole program: parses `commandLine` (as GetCommandLineA gives it) and runs it.
int RunPatchCommand(const std::string& commandLine, std::string& message);

}  // namespace Patch
