#include "utils/fs/FileSystem.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "utils/Handles.h"
#include "utils/string/String.h"

namespace Utils {
namespace FileSystem {

namespace {

// The shell's delete operation takes a list of sources ended by two zero bytes.

bool HasDrive(const std::string& path) { return path.size() >= 2 && path[1] == ':'; }

} // namespace

std::string GetFullPath(const std::string& path, const std::string& baseDir) {
    std::string text;
    if (HasDrive(path)) {
        text = path;
    } else {
        // A current directory that does not fit is treated as unknown.
        const std::string base = baseDir.empty() ? GetCurrentFolder(kPathBuffer) : baseDir;
        text = base + "\\" + path;
    }

    String::ReplaceAll(text, "/", "\\");
    for (;;) {
        std::string before = text;
        String::ReplaceAll(text, "\\\\", "\\");
        if (text == before) break;
    }

    std::vector<std::string> parts;
    String::Split(parts, text, "\\");
    if (parts.empty()) parts.push_back(text);

    // Rebuilt from the last component to the first, so a ".." knows how many
    // components before it to drop. Consecutive ".." each drop one more.
    // A drive ("x:") is never dropped: ".." above the root is discarded, as
    // the system does. Without a drive, surplus ".." stay at the front.
    std::string result;
    int pendingUp = 0;
    for (size_t i = parts.size(); i-- > 0;) {
        const std::string& part = parts[i];
        if (part.empty()) continue;
        if (part == ".." && i > 0) {
            ++pendingUp;
            continue;
        }
        bool isDrive = (i == 0 && HasDrive(part) && part.size() == 2);
        if (pendingUp > 0 && !isDrive && part != "..") {
            --pendingUp;
            continue;
        }
        if (isDrive) pendingUp = 0;
        result.insert(0, part + "\\");
    }
    while (pendingUp-- > 0) result.insert(0, "..\\");

    while (!result.empty() && result.back() == '\\') result.pop_back();
    return String::ToLower(result);
}

void ListDirectory(std::vector<std::string>& out, const std::string& directory, bool recursive,
                   bool includeFolders, bool clearFirst) {
    if (clearFirst) out.clear();
    std::string absolute = GetFullPath(directory, "");
    std::string pattern = absolute + "\\*.*";

    WIN32_FIND_DATAA data;
    FindHandle find(FindFirstFileA(pattern.c_str(), &data));
    if (!find) return;
    do {
        if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
        std::string entry = GetFullPath(data.cFileName, absolute);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (includeFolders) out.push_back(entry);
            // A junction or link to a folder is not followed: listing and
            // deleting stay inside the tree.
            if (recursive && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                ListDirectory(out, entry, recursive, includeFolders, false);
        } else {
            out.push_back(entry);
        }
    } while (FindNextFileA(find.Get(), &data));
}

unsigned long long FolderSize(const std::string& directory) {
    if (directory.empty()) return 0;  // would list the current drive's root
    // The sizes come with the listing itself: no file is opened.
    unsigned long long total = 0;
    WIN32_FIND_DATAA data;
    FindHandle find(FindFirstFileA((directory + "\\*").c_str(), &data));
    if (!find) return 0;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                total += FolderSize(directory + "\\" + data.cFileName);
        } else {
            total += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    } while (FindNextFileA(find.Get(), &data));
    return total;
}

bool IsDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsReparsePoint(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool FileSizeOf(const std::string& path, unsigned long long& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (name.empty()) return folder;
    return folder + "\\" + name;
}

bool IsPathInside(const std::string& path, const std::string& folder) {
    if (path.empty() || folder.empty()) return false;
    const std::string full = GetFullPath(path, "");
    const std::string root = GetFullPath(folder, "");
    return !root.empty() && full.size() > root.size() + 1 && full.compare(0, root.size(), root) == 0 &&
           full[root.size()] == '\\';
}

void GetModulePath(std::string& out, bool nameOnly, bool stripExtension, bool folderOnly) {
    out = GetOwnPath(kPathBuffer);
    if (out.empty()) return;
    if (nameOnly) {
        size_t slash = out.rfind('\\');
        if (slash != std::string::npos) out.erase(0, slash + 1);
    }
    if (stripExtension && out.size() >= 4) out.erase(out.size() - 4);
    if (folderOnly) {
        size_t slash = out.rfind('\\');
        out.erase(slash == std::string::npos ? 0 : slash + 1);
    }
}

std::string GetOwnName(NameForm form) {
    std::string name;
    GetModulePath(name, true, form == NameForm::WithoutExtension, false);
    return name;
}

std::string GetOwnFolder() {
    std::string folder;
    GetModulePath(folder, false, false, true);
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder;
}

// The three queries share one contract: the length of the text when it fit,
// 0 or at least the buffer size otherwise.
template <typename Query>
std::string QueryPath(size_t buffer, Query query) {
    std::vector<char> text(buffer, '\0');
    const DWORD length = query(static_cast<DWORD>(buffer), text.data());
    return length > 0 && length < buffer ? std::string(text.data(), length) : std::string();
}

std::string GetOwnPath(size_t buffer) {
    return QueryPath(buffer, [](DWORD size, char* text) { return GetModuleFileNameA(nullptr, text, size); });
}

std::string GetTempFolder(size_t buffer) { return QueryPath(buffer, GetTempPathA); }

std::string GetCurrentFolder(size_t buffer) { return QueryPath(buffer, GetCurrentDirectoryA); }

void EnsureFolder(const std::string& folder) {
    if (folder.size() > kPathBuffer || !IsDirectory(folder)) CreateDirectoryA(folder.c_str(), nullptr);
}

void CreateFoldersOf(const std::string& path) {
    std::string slashed = path;
    String::ReplaceAll(slashed, "\\", "/");
    std::vector<std::string> parts;
    String::Split(parts, slashed, "/");
    std::string prefix;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        prefix += parts[i] + "\\";
        EnsureFolder(prefix);
    }
}

bool IsPlainFolderName(const std::string& name) {
    if (name.empty() || name.size() > 100) return false;
    for (unsigned char c : name) {
        if (c < 32 || std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) return false;
    }
    if (name == "." || name == "..") return false;
    if (name.front() == ' ' || name.back() == ' ' || name.back() == '.') return false;
    return true;
}

} // namespace FileSystem
} // namespace Utils
