#pragma once
// Copying the running installer over another file in one step: into the
// install folder under the brand's name, and over the copy that handed over
// to a newer one. Readers of the target (shortcuts, the uninstall entry, a
// start) never meet a partial copy, and a failed copy leaves the earlier one.
#include <windows.h>

#include <string>

#include "utils/Result.h"

namespace SelfCopy {

// Byte-for-byte copy in blocks of 512 bytes. A write that fails or writes
// nothing ends the copy: DiskFull, AccessDenied or WriteFailed with the
// system's code; an unreadable source: SelfCopyFailed.
Utils::Result CopyInBlocks(HANDLE source, HANDLE target);
// The same by path; the target is created or truncated, then flushed.
Utils::Result CopyInBlocks(const std::string& sourcePath, const std::string& targetPath);

// Copies source beside target (under its replacement name), then moves it
// over target in one step. On failure no temporary file is left and target is
// as it was.
Utils::Result CopyOver(const std::string& source, const std::string& target);

} // namespace SelfCopy
