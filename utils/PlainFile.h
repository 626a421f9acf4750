#pragma once
// Files written in folders that other processes of the user may write to: the
// temporary folder, and on Windows Vista the per-user data folder, while the
// installer runs with an administrator's rights. A name planted there before
// the installer opens it (a hard link to a system file, a junction, a
// symbolic link) would redirect the write. So a new file is created only
// where no file is (CREATE_NEW, without following a reparse point), and every
// handle is checked to be a plain file with one link before anything is
// written through it (UnguessableName, utils/fs/AtomicFile.h, gives such a
// file a name no one can plant in advance).
#include <windows.h>

#include <string>

#include "utils/Handles.h"

namespace Utils {

// Whether the open file is a plain file: not a folder, no reparse point, one link.
bool IsPlainFile(HANDLE file);

// Creates `path` for `access` only when no file or link of that name exists
// (CREATE_NEW, not following a reparse point, no sharing), then checks it
// with IsPlainFile. An invalid handle when any of that fails (GetLastError
// tells why: ERROR_FILE_EXISTS, or ERROR_ACCESS_DENIED for a file that is not
// plain).
FileHandle CreateNewPlainFile(const std::string& path, DWORD access, DWORD flags = FILE_ATTRIBUTE_NORMAL);

// Opens the existing file `path` for `access` without following a reparse
// point, and only when it is a plain file (IsPlainFile): a file an earlier
// run left, such as a cut download to continue. Invalid handle otherwise
// (ERROR_ACCESS_DENIED for a file that is not plain).
FileHandle OpenPlainFile(const std::string& path, DWORD access, DWORD flags = FILE_ATTRIBUTE_NORMAL);

// A fresh file at `path`: whatever name is there (a file, a hard link or a
// symbolic link, never what it points to) is removed first, then
// CreateNewPlainFile. A name planted again in between makes it fail, never
// write elsewhere.
FileHandle ReplaceWithNewPlainFile(const std::string& path, DWORD access, DWORD flags = FILE_ATTRIBUTE_NORMAL);

} // namespace Utils
