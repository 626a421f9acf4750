#include "utils/fs/AtomicFile.h"

#include <windows.h>

#include <cstdio>

#include "utils/Handles.h"
#include "utils/string/String.h"

namespace Utils {
namespace FileSystem {

const char kTemporaryMarker[] = ".~ov";

namespace {

const char kReplacementSuffix[] = ".~ovnew";
const char kBackupSuffix[] = ".~ovold";

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// What another process wrote (a decoder's output) may still sit in the
// system's cache: it reaches the disk before the name points at it.
bool FlushToDisk(const std::string& path) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.Get());
}

} // namespace

std::string PartialName(const std::string& path, const std::string& source) {
    // FNV-1a: short and stable, so the command lines that name the file stay short.
    unsigned long hash = 2166136261UL;
    for (unsigned char c : source) hash = ((hash ^ c) * 16777619UL) & 0xFFFFFFFFUL;
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08lx", hash);
    return path + kTemporaryMarker + digits;
}

std::string UnguessableName(const std::string& path) {
    CryptProvider provider;
    unsigned long value = 0;
    if (!CryptAcquireContextA(provider.Receive(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !CryptGenRandom(provider.Get(), sizeof value, reinterpret_cast<BYTE*>(&value))) {
        LARGE_INTEGER now = {};
        QueryPerformanceCounter(&now);
        value = static_cast<unsigned long>(now.QuadPart) ^ (GetCurrentProcessId() << 16) ^ GetTickCount();
    }
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08lx", value & 0xFFFFFFFFUL);
    return path + kTemporaryMarker + digits;
}

std::string ReplacementName(const std::string& path) { return path + kReplacementSuffix; }

std::string BackupName(const std::string& path) { return path + kBackupSuffix; }

bool IsTemporaryName(const std::string& name) { return name.find(kTemporaryMarker) != std::string::npos; }

bool ReplaceFileAtomically(const std::string& source, const std::string& target, bool sourceFlushed) {
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!sourceFlushed && !FlushToDisk(source)) return false;
    if (MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
    return ReplaceByRenames(source, target);
}

bool ReplaceByRenames(const std::string& source, const std::string& target) {
    const std::string backup = BackupName(target);
    const bool hadTarget = Exists(target);
    if (hadTarget) {
        // A backup beside an existing target is a stale one.
        DeleteFileA(backup.c_str());
        if (!MoveFileA(target.c_str(), backup.c_str())) return false;
    }
    if (!MoveFileA(source.c_str(), target.c_str())) {
        const DWORD error = GetLastError();
        if (hadTarget) MoveFileA(backup.c_str(), target.c_str());
        SetLastError(error);
        return false;
    }
    if (hadTarget) DeleteFileA(backup.c_str());
    return true;
}

namespace {

std::string FolderPrefix(const std::string& folder) { return folder.empty() ? std::string() : folder + "\\"; }

// Deletes a temporary file, or puts a backup back under its name when that
// name is free (`restored` then receives it). False when the file stays.
bool RemoveTemporary(const std::string& base, const std::string& name, std::string& restored) {
    const std::string path = base + name;
    if (!EndsWith(name, kBackupSuffix)) return DeleteFileA(path.c_str()) != FALSE;
    // The old file of a replacement that stopped between its renames.
    const std::string original = path.substr(0, path.size() - (sizeof kBackupSuffix - 1));
    if (Exists(original)) return DeleteFileA(path.c_str()) != FALSE;
    if (!MoveFileA(path.c_str(), original.c_str())) return false;
    restored = name.substr(0, name.size() - (sizeof kBackupSuffix - 1));
    return true;
}

// Calls visit(name) for every file of the listing `pattern`.
template <typename Visit>
void ForEachFile(const std::string& pattern, Visit visit) {
    WIN32_FIND_DATAA data;
    FindHandle find(FindFirstFileA(pattern.c_str(), &data));
    if (!find) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) visit(std::string(data.cFileName));
    } while (FindNextFileA(find.Get(), &data));
}


} // namespace

std::vector<std::string> RemoveTemporaries(const std::string& folder, const std::string& namePrefix) {
    std::vector<std::string> handled;
    const std::string base = FolderPrefix(folder);
    // Only the marked names are listed: a folder of thousands of files costs
    // little more than an empty one.
    ForEachFile(base + namePrefix + "*" + kTemporaryMarker + "*", [&](const std::string& name) {
        std::string restored;
        if (IsTemporaryName(name) && name.compare(0, namePrefix.size(), namePrefix) == 0 &&
            RemoveTemporary(base, name, restored)) {
            handled.push_back(name);
        }
    });
    return handled;
}

void ListFilesRemovingTemporaries(const std::string& folder, std::set<std::string>& present,
                                  std::vector<std::string>& handled, const std::set<std::string>* keep,
                                  std::vector<std::string>* kept) {
    const std::string base = FolderPrefix(folder);
    ForEachFile(base + "*", [&](const std::string& name) {
        std::string restored;
        if (!IsTemporaryName(name)) {
            present.insert(String::Lowered(name));
        } else if (keep && keep->count(String::Lowered(name)) != 0) {
            if (kept) kept->push_back(name);
        } else if (RemoveTemporary(base, name, restored)) {
            handled.push_back(name);
            if (!restored.empty()) present.insert(String::Lowered(restored));
        }
    });
}

} // namespace FileSystem
} // namespace Utils
