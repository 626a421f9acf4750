#pragma once
// Junctions for tests: a folder `link` that stands for the folder `target`.
// On Windows a mount-point reparse point; Wine 8 refuses those (and makes no
// symbolic links either), but shows a Unix symbolic link to a folder as a
// folder with the reparse-point attribute, and follows it as a junction: it is
// made with the system's ln, started through Wine's Z: drive.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TestProcess.h"
#include "utils/Handles.h"

namespace TestSupport {

namespace JunctionDetail {

inline std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length - 1) : 0);
    return wide;
}

inline bool MountPoint(const std::string& link, const std::string& target) {
    if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
    Utils::FileHandle folder(CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const std::wstring substitute = Wide("\\??\\" + target);
    const WORD bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    // Tag, data length, reserved, then the substitute name and an empty print name.
    std::vector<BYTE> buffer(8 + 8 + bytes + 2 * sizeof(wchar_t), 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const WORD dataLength = static_cast<WORD>(buffer.size() - 8);
    const WORD header[4] = {0, bytes, static_cast<WORD>(bytes + sizeof(wchar_t)), 0};
    std::memcpy(&buffer[0], &tag, 4);
    std::memcpy(&buffer[4], &dataLength, 2);
    std::memcpy(&buffer[8], header, sizeof(header));
    std::memcpy(&buffer[16], substitute.data(), bytes);
    DWORD returned = 0;
    if (folder && DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr))
        return true;
    folder.Reset();
    RemoveDirectoryA(link.c_str());
    return false;
}

inline std::string UnixPath(const std::string& path) {
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    ToUnix toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    char* unix = toUnix(Wide(path).c_str());
    if (!unix) return std::string();
    std::string result = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

inline bool IsLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Runs a Unix program through Wine. Wine may hand back no process to wait
// for, or one that ends before the Unix program has: callers wait for its effect.
inline bool RunUnix(const std::string& command) {
    Process process = Process::StartCommand(command);
    process.ExitCode(30000);
    return process.Started();
}

// Waits (generous bound) until the path is, or is no longer, a link.
inline bool WaitForLink(const std::string& path, bool present) {
    for (int waited = 0; waited < 30000; waited += 20) {
        if (IsLink(path) == present) return true;
        Sleep(20);
    }
    return false;
}

inline bool UnixSymbolicLink(const std::string& link, const std::string& target) {
    const std::string from = UnixPath(target);
    const std::string to = UnixPath(link);
    if (from.empty() || to.empty()) return false;
    return RunUnix("Z:\\bin\\ln -s \"" + from + "\" \"" + to + "\"") && WaitForLink(link, true);
}

} // namespace JunctionDetail

// Makes `link` (which must not exist) a junction to the existing folder
// `target`; true when the link exists as a reparse point afterwards.
inline bool MakeJunction(const std::string& link, const std::string& target) {
    if (!JunctionDetail::MountPoint(link, target)) JunctionDetail::UnixSymbolicLink(link, target);
    const DWORD attributes = GetFileAttributesA(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes a link MakeJunction made, never what it points to (Wine cannot
// remove its Unix link through the system's calls: the system's rm does).
inline void RemoveJunction(const std::string& link) {
    if (!JunctionDetail::IsLink(link) || RemoveDirectoryA(link.c_str())) return;
    const std::string path = JunctionDetail::UnixPath(link);
    if (path.empty() || !JunctionDetail::RunUnix("Z:\\bin\\rm -f \"" + path + "\"")) return;
    JunctionDetail::WaitForLink(link, false);
}

} // namespace TestSupport
