// Deleting a folder with everything in it, where other programs of the user
// may change the folder while an elevated process deletes it. A path is read
// anew by the system at every use: a subfolder swapped for a link between
// the listing and the deletion would lead the deletion elsewhere. So the tree
// is deleted through handles: the top folder is opened once, each entry is
// opened relative to its parent's open handle, never following a link (a
// link is deleted as the link), listed through its own handle and deleted by
// marking that handle. An open folder is not shared for deleting, so it
// cannot be renamed away meanwhile.
#include "utils/fs/FileSystem.h"

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "utils/Handles.h"
#include "utils/string/String.h"

namespace Utils {
namespace FileSystem {

namespace {

#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#endif

// The native calls, from ntdll (every Windows NT has them; Windows 9x none).
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryDirectoryFileFunction = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                      FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

struct NativeCalls {
    NtCreateFileFunction create = nullptr;
    NtQueryDirectoryFileFunction list = nullptr;
    NtSetInformationFileFunction set = nullptr;

    NativeCalls() {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        if (ntdll == nullptr) return;
        create = reinterpret_cast<NtCreateFileFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
        list = reinterpret_cast<NtQueryDirectoryFileFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryDirectoryFile")));
        set = reinterpret_cast<NtSetInformationFileFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
    }
    bool Usable() const { return create != nullptr && list != nullptr && set != nullptr; }
};

const NativeCalls& Native() {
    static const NativeCalls calls;
    return calls;
}

// The layouts of the information classes used (FileDirectoryInformation,
// FileBasicInformation, FileDispositionInformation).
const FILE_INFORMATION_CLASS kDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(1);
const FILE_INFORMATION_CLASS kIdFullDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(38);
const FILE_INFORMATION_CLASS kBasicInformation = static_cast<FILE_INFORMATION_CLASS>(4);
const FILE_INFORMATION_CLASS kDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);

struct DirectoryEntry {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile, allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;  // bytes
    WCHAR fileName[1];
};

// The same with the file's id (Windows XP on).
struct IdDirectoryEntry {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile, allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;  // bytes
    ULONG eaSize;
    LARGE_INTEGER fileId;
    WCHAR fileName[1];
};

struct BasicInformation {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;  // 0: unchanged
    ULONG fileAttributes;
};

struct DispositionInformation {
    BOOLEAN deleteFile;
};

// Deep enough for any tree the installer makes; deeper ones are left.
const int kDeepestLevel = 64;

const ACCESS_MASK kEntryAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// Others may read and write, not delete or rename, while it is open here.
const ULONG kEntrySharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The entry `name` of the open folder `parent` itself, never what a link there leads to.
FileHandle OpenRelative(HANDLE parent, std::wstring name) {
    UNICODE_STRING objectName;
    objectName.Buffer = &name[0];
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE entry = nullptr;
    const NTSTATUS result =
        Native().create(&entry, kEntryAccess, &attributes, &status, nullptr, 0, kEntrySharing, FILE_OPEN,
                        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return FileHandle(NT_SUCCESS(result) ? entry : INVALID_HANDLE_VALUE);
}

struct Listed {
    std::wstring name;
    bool link;         // a reparse point when listed
    ULONGLONG fileId;  // 0: not known
};

template <typename Entry>
Listed ListedOf(const Entry& entry, ULONGLONG fileId) {
    return {std::wstring(entry.fileName, entry.fileNameLength / sizeof(WCHAR)),
            (entry.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, fileId};
}

// The entries of the open folder, without "." and "..", with their file ids
// where the system gives them.
std::vector<Listed> ListEntries(HANDLE folder) {
    std::vector<Listed> names;
    std::vector<ULONGLONG> buffer(8192);  // 64 KiB, aligned for the entries
    FILE_INFORMATION_CLASS kind = kIdFullDirectoryInformation;
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK status = {};
        NTSTATUS result = Native().list(folder, nullptr, nullptr, nullptr, &status, buffer.data(),
                                        static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), kind, FALSE, nullptr,
                                        restart);
        if (!NT_SUCCESS(result) && restart && kind == kIdFullDirectoryInformation) {
            kind = kDirectoryInformation;  // a system without file ids in listings
            result = Native().list(folder, nullptr, nullptr, nullptr, &status, buffer.data(),
                                   static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), kind, FALSE, nullptr, TRUE);
        }
        if (!NT_SUCCESS(result)) break;
        const char* at = reinterpret_cast<const char*>(buffer.data());
        for (;;) {
            ULONG next = 0;
            Listed listed;
            if (kind == kIdFullDirectoryInformation) {
                const IdDirectoryEntry& entry = *reinterpret_cast<const IdDirectoryEntry*>(at);
                listed = ListedOf(entry, static_cast<ULONGLONG>(entry.fileId.QuadPart));
                next = entry.nextEntryOffset;
            } else {
                const DirectoryEntry& entry = *reinterpret_cast<const DirectoryEntry*>(at);
                listed = ListedOf(entry, 0);
                next = entry.nextEntryOffset;
            }
            if (listed.name != L"." && listed.name != L"..") names.push_back(listed);
            if (next == 0) break;
            at += next;
        }
    }
    return names;
}

BY_HANDLE_FILE_INFORMATION InformationOf(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(entry, &info)) info.dwFileAttributes = INVALID_FILE_ATTRIBUTES;
    return info;
}

// Marks the open entry for deletion (gone when its last handle closes); a
// read-only one is made writable first, as the deletion requires.
void MarkDeleted(HANDLE entry, DWORD attributes) {
    IO_STATUS_BLOCK status = {};
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        BasicInformation basic = {};
        basic.fileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) basic.fileAttributes &= ~FILE_ATTRIBUTE_NORMAL;
        Native().set(entry, &status, &basic, sizeof basic, kBasicInformation);
    }
    DispositionInformation disposition = {TRUE};
    Native().set(entry, &status, &disposition, sizeof disposition, kDispositionInformation);
}

using Observer = std::function<void(const std::string& path)>;

// Everything in the open entry (a real folder, not a link), then the entry.
// An entry that opened as another file than the one listed (swapped since,
// or a link the system followed: Wine follows its links even when told not
// to) stays. `path` only names the entry for the observer; nothing opens it.
void DeleteOpenEntry(HANDLE entry, const Listed& listed, const std::string& path, int level,
                     const Observer& beforeEntry) {
    const BY_HANDLE_FILE_INFORMATION info = InformationOf(entry);
    const DWORD attributes = info.dwFileAttributes;
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const ULONGLONG openedId = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if ((listed.link && !link) || (listed.fileId != 0 && openedId != 0 && listed.fileId != openedId)) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !link) {
        if (level >= kDeepestLevel) return;
        for (const Listed& inside : ListEntries(entry)) {
            const std::string childPath = path + "\\" + Utils::String::FromWide(inside.name);
            if (beforeEntry) beforeEntry(childPath);
            FileHandle child = OpenRelative(entry, inside.name);
            if (child) DeleteOpenEntry(child.Get(), inside, childPath, level + 1, beforeEntry);
        }
    }
    MarkDeleted(entry, attributes);
}

// Where the native calls are missing (Windows 9x: no links, no other
// users' programs), the same walk by paths.
void DeleteByPaths(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::vector<std::string> entries;
        ListDirectory(entries, path, false, true, true);
        for (const std::string& entry : entries) DeleteByPaths(entry);
    }
    RemoveDirectoryA(path.c_str());
}

} // namespace

void DeleteDirectoryTree(const std::string& directory, const std::function<void(const std::string& path)>& beforeEntry) {
    // An empty path would name the current folder.
    if (directory.empty()) return;
    if (!Native().Usable()) {
        DeleteByPaths(directory);
        return;
    }
    // The top is opened as it is (a link in its place goes as the link); from
    // here on no path is read again (its listing only tells a link from a
    // folder that a link's target replaced).
    FileHandle top(CreateFileA(directory.c_str(), kEntryAccess, kEntrySharing, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (top) DeleteOpenEntry(top.Get(), Listed{std::wstring(), IsReparsePoint(directory), 0}, directory, 0, beforeEntry);
}

} // namespace FileSystem
} // namespace Utils
