#pragma once
// Path normalisation, folder listing and deletion, file-kind tests and the
// program's own path. Paths are ANSI byte strings with "\" and a drive letter;
// network paths and paths over 260 bytes are not handled.
#include <string>
#include <vector>

namespace Utils {
namespace FileSystem {

// Absolute, normalised, lower-case form of `path`. A path without "X:" is
// joined to `baseDir` (or the current directory when `baseDir` is empty).
std::string GetFullPath(const std::string& path, const std::string& baseDir);

// Appends the lower-case full paths of the directory's entries to `out`
// (emptied first when `clearFirst`). Folders come before their contents.
void ListDirectory(std::vector<std::string>& out, const std::string& directory, bool recursive,
                   bool includeFolders, bool clearFirst);

// Deletes the folder with everything in it, silently. Folders in use stay.
// An empty path is refused (it would mean the current directory).
void DeleteDirectoryTree(const std::string& directory);

bool IsDirectory(const std::string& path);
bool IsFile(const std::string& path);

// The executable's full path, then optionally: keep only the name, drop the
// last four characters, keep the text up to and including the last "\".
void GetModulePath(std::string& out, bool nameOnly, bool stripExtension, bool folderOnly);

} // namespace FileSystem
} // namespace Utils
