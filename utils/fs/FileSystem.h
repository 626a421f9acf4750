#pragma once
// Path normalisation, folder listing, creation and deletion, file-kind tests,
// the places the system names (own path, temporary and current folder, the
// shell's special folders) and the rule for a plain folder name. Paths are
// ANSI byte strings with "\" and a drive letter; network paths and paths over
// 260 bytes are not handled.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace Utils {
namespace FileSystem {

// Buffer sizes for the system's path queries. A path that does not fit its
// buffer is reported as unknown (""), never cut to the name of another file.
const size_t kPathBuffer = 260;      // MAX_PATH
const size_t kLongPathBuffer = 512;

// Absolute, normalised, lower-case form of `path`. A path without "X:" is
// joined to `baseDir` (or the current directory when `baseDir` is empty).
std::string GetFullPath(const std::string& path, const std::string& baseDir);

// Appends the lower-case full paths of the directory's entries to `out`
// (emptied first when `clearFirst`). Folders come before their contents.
void ListDirectory(std::vector<std::string>& out, const std::string& directory, bool recursive,
                   bool includeFolders, bool clearFirst);

// Sum of the sizes of the files below `directory`, in bytes; 0 when it cannot
// be listed. Junctions and links to folders are not followed, as in listing.
unsigned long long FolderSize(const std::string& directory);

// Deletes the folder with everything in it, silently. Folders in use stay.
// An empty path is refused (it would mean the current directory). A junction
// or other link, at the top or anywhere below, is removed as a link and never
// followed: what it points to is not touched (where the link itself cannot
// be removed, it stays, with the folders that hold it). The path is read
// once: every entry below is opened relative to its open parent
// (DeleteTree.cpp), so a folder renamed or swapped for a link meanwhile
// cannot lead the deletion elsewhere. `beforeEntry`, when given, is called
// with each entry's path before it is opened (tests change the tree there).
void DeleteDirectoryTree(const std::string& directory,
                         const std::function<void(const std::string& path)>& beforeEntry = nullptr);

bool IsDirectory(const std::string& path);
bool IsFile(const std::string& path);
// The path exists and is a junction, symbolic link or other reparse point.
bool IsReparsePoint(const std::string& path);
// The file's size; false when it cannot be read (missing, a folder).
bool FileSizeOf(const std::string& path, unsigned long long& size);
// folder + "\" + name; when either is empty, the other alone.
std::string JoinPath(const std::string& folder, const std::string& name);
// Whether `path` lies inside `folder` (below it, not the folder itself),
// compared in their canonical GetFullPath forms.
bool IsPathInside(const std::string& path, const std::string& folder);

// The executable's full path, then optionally: keep only the name, drop the
// last four characters, keep the text up to and including the last "\".
void GetModulePath(std::string& out, bool nameOnly, bool stripExtension, bool folderOnly);
// The same, said at the call: the executable's file name ("Orvanta.exe", or
// without its last four characters "Orvanta"), and its folder without a
// trailing "\".
enum class NameForm { WithExtension, WithoutExtension };
std::string GetOwnName(NameForm form = NameForm::WithExtension);
std::string GetOwnFolder();

// The running executable's full path, the temporary folder (with its trailing
// "\") and the current folder, each read into a buffer of `buffer` bytes;
// "" when the system cannot give it or it does not fit.
std::string GetOwnPath(size_t buffer = kPathBuffer);
std::string GetTempFolder(size_t buffer = kPathBuffer);
std::string GetCurrentFolder(size_t buffer = kPathBuffer);

// Creates the folder unless it exists; a path over 260 bytes never counts as
// existing. Failures are left to whoever uses the folder.
void EnsureFolder(const std::string& folder);
// Creates every folder on the way to the file `path` ("\" or "/" separated),
// one level at a time, with EnsureFolder.
void CreateFoldersOf(const std::string& path);

// A name usable as one folder and file name (a brand): not empty, at most 100
// characters, none of \ / : * ? " < > | or control characters, not "." or
// "..", not starting with a blank and not ending with a blank or "." (the
// system drops those, so the name would stand for another folder).
bool IsPlainFolderName(const std::string& name);

// The shell's path of a special folder (CSIDL_*) without one trailing "\";
// false (and "") when the shell cannot give it.
bool ShellFolder(int csidl, std::string& path);
// ShellFolder, except that CSIDL_PROGRAM_FILES falls back to "C:\Program Files".
void GetSpecialFolder(int csidl, std::string& path);

} // namespace FileSystem
} // namespace Utils
