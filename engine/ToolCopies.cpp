#include "engine/ToolCopies.h"

#include <sddl.h>

#include "engine/Digest.h"
#include "engine/EngineLog.h"
#include "utils/PlainFile.h"
#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"
#include "utils/string/String.h"

namespace {

const char* const kFunction = "ToolCopies";
// A tool larger than this is not copied (they are a few hundred KiB).
const DWORD kLargestTool = 256u * 1024 * 1024;
// Full control for the system and the administrators, inherited by what is
// made inside; no other entry, none inherited from the parent.
const char* const kAdministratorsOnly = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

Utils::Result Failed(Utils::Reason reason, DWORD error, const std::string& what) {
    return Utils::Result::Failure(reason, error, what);
}

bool ReadAll(HANDLE file, std::vector<char>& bytes) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > kLargestTool) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    return bytes.empty() ||
           (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size());
}

bool WriteAll(HANDLE file, const std::vector<char>& bytes) {
    DWORD written = 0;
    return bytes.empty() ||
           (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

// Folders of runs that were killed before they removed theirs. One that a
// running installer holds cannot be opened for deleting and stays.
void RemoveLeftFolders(const std::string& parent) {
    WIN32_FIND_DATAA found;
    Utils::FindHandle find(FindFirstFileA((parent + "\\tools.~ov*").c_str(), &found));
    if (!find) return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Utils::FileSystem::DeleteDirectoryTree(parent + "\\" + found.cFileName);
        }
    } while (FindNextFileA(find.Get(), &found));
}

} // namespace

bool IsStartedTool(const std::string& relative, const std::string& postInstallTool) {
    const std::string name = Utils::String::Lowered(relative);
    return name == "lzma.exe" || name == "oggdec.exe" || name == "vpatch.exe" || name == "cabarc.exe" ||
           (!postInstallTool.empty() && name == Utils::String::Lowered(postInstallTool));
}

void ToolCopies::Begin(DigestLookup lookup) {
    Utils::AutoLock lock(*this);
    End();
    m_lookup = std::move(lookup);
}

void ToolCopies::End() {
    Utils::AutoLock lock(*this);
    for (Copy& copy : m_copies) {
        copy.held.Reset();
        DeleteFileA(copy.path.c_str());
    }
    m_copies.clear();
    for (auto folder = m_subfolders.rbegin(); folder != m_subfolders.rend(); ++folder) {
        RemoveDirectoryA(folder->c_str());
    }
    m_subfolders.clear();
    m_folderHandle.Reset();
    if (!m_folder.empty()) RemoveDirectoryA(m_folder.c_str());
    m_folder.clear();
    m_lookup = nullptr;
}

// "<Windows>\Temp\tools.~ov<8 hex>": a new folder (CreateDirectory fails on
// any name already there, a planted one too) that only administrators may
// change, in a parent where other users may make files but not rename or
// remove another's.
Utils::Result ToolCopies::MakeFolder() {
    if (!m_folder.empty()) return Utils::Result::Success();
    char windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return Failed(Utils::Reason::ToolFailed, GetLastError(), "no Windows folder");
    const std::string parent = std::string(windows) + "\\Temp";
    CreateDirectoryA(parent.c_str(), nullptr);
    RemoveLeftFolders(parent);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kAdministratorsOnly, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return Failed(Utils::Reason::ToolFailed, GetLastError(), "no security descriptor");
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const std::string folder = Utils::FileSystem::UnguessableName(parent + "\\tools");
    const BOOL made = CreateDirectoryA(folder.c_str(), &attributes);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!made) return Failed(Utils::Reason::ToolFailed, error, "folder not made: " + folder);
    // Open as made (no reparse point followed), shared for reading and
    // writing but not deleting: the folder cannot be renamed away and
    // replaced while a tool starts from it.
    m_folderHandle.Reset(CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!m_folderHandle || !GetFileInformationByHandle(m_folderHandle.Get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        m_folderHandle.Reset();
        RemoveDirectoryA(folder.c_str());
        return Failed(Utils::Reason::ToolFailed, GetLastError(), "folder not held: " + folder);
    }
    m_folder = folder;
    return Utils::Result::Success();
}

Utils::Result ToolCopies::MakeSubfolders(const std::string& relative) {
    for (size_t at = relative.find('\\'); at != std::string::npos; at = relative.find('\\', at + 1)) {
        const std::string folder = m_folder + "\\" + relative.substr(0, at);
        if (CreateDirectoryA(folder.c_str(), nullptr)) {
            m_subfolders.push_back(folder);
        } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return Failed(Utils::Reason::ToolFailed, GetLastError(), "folder not made: " + folder);
        }
    }
    return Utils::Result::Success();
}

Utils::Result ToolCopies::Program(const std::string& dataFolder, const std::string& relative, std::string& program) {
    Utils::AutoLock lock(*this);
    const std::string key = Utils::String::Lowered(relative);
    for (const Copy& copy : m_copies) {
        if (copy.relative == key) {
            program = copy.path;
            return Utils::Result::Success();
        }
    }
    const std::string source = Utils::FileSystem::JoinPath(dataFolder, relative);
    std::vector<char> bytes;
    {
        // One read, no other process writing meanwhile, no link followed.
        Utils::FileHandle file = Utils::OpenPlainFile(source, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
        if (!file) return Failed(Utils::Reason::ToolFailed, GetLastError(), "not readable: " + source);
        if (!ReadAll(file.Get(), bytes)) return Failed(Utils::Reason::ToolFailed, GetLastError(), "not read: " + source);
    }
    if (m_lookup) {
        std::string expected;
        if (!m_lookup(relative, expected)) {
            return Failed(Utils::Reason::ToolFailed, 0, "not part of the release: " + relative);
        }
        if (Digest::Sha256OfBytes(bytes.data(), bytes.size()) != expected) {
            return Failed(Utils::Reason::DigestMismatch, 0, "changed since it was installed: " + source);
        }
    }
    Utils::Result result = MakeFolder();
    if (result) result = MakeSubfolders(relative);
    if (!result) return result;

    Copy copy;
    copy.relative = key;
    copy.path = m_folder + "\\" + relative;
    {
        Utils::FileHandle out = Utils::CreateNewPlainFile(copy.path, GENERIC_WRITE);
        if (!out || !WriteAll(out.Get(), bytes)) {
            const DWORD error = GetLastError();
            out.Reset();
            DeleteFileA(copy.path.c_str());
            return Failed(Utils::ReasonForSystemError(error, Utils::Reason::ToolFailed), error, "not copied: " + copy.path);
        }
    }
    // Readable (a process starts from it), not writable or deletable by anyone until End.
    copy.held.Reset(CreateFileA(copy.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!copy.held || !Utils::IsPlainFile(copy.held.Get())) {
        const DWORD error = GetLastError();
        copy.held.Reset();
        DeleteFileA(copy.path.c_str());
        return Failed(Utils::Reason::ToolFailed, error, "not held: " + copy.path);
    }
    EngineLog::Text(kFunction, "started from a copy: ", copy.path);
    program = copy.path;
    m_copies.push_back(std::move(copy));
    return Utils::Result::Success();
}
