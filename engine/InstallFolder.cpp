#include "engine/InstallFolder.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>

#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"

namespace {

const size_t kMaxPath = 260;

// An item list from the shell, freed with the shell's allocator.
class ItemList {
public:
    ItemList() = default;
    ~ItemList() {
        if (!m_list) return;
        Utils::ComPtr<IMalloc> allocator;
        if (SUCCEEDED(SHGetMalloc(allocator.Receive())) && allocator) allocator->Free(m_list);
    }
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;
    LPITEMIDLIST* Receive() { return &m_list; }
    LPCITEMIDLIST Get() const { return m_list; }

private:
    LPITEMIDLIST m_list = nullptr;
};

// The shell's path of a special folder without one trailing "\"; false when
// the shell cannot give it.
bool ShellFolder(int csidl, std::string& path) {
    path.clear();
    ItemList list;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, list.Receive())) || !list.Get()) return false;
    char buffer[kMaxPath] = {0};
    if (!SHGetPathFromIDListA(list.Get(), buffer)) return false;
    buffer[kMaxPath - 1] = 0;
    path = buffer;
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return true;
}

bool IsExistingFolder(const std::string& path) {
    return path.size() <= kMaxPath && Utils::FileSystem::IsDirectory(path);
}

void EnsureFolder(const std::string& path) {
    if (!IsExistingFolder(path)) CreateDirectoryA(path.c_str(), nullptr);
}

} // namespace

void GetInstallFolder(const std::string& name, std::string& folder, bool perUserOnVista) {
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    bool isVista = version.dwMajorVersion == 6 && version.dwMinorVersion == 0;
    int csidl = (perUserOnVista && isVista) ? CSIDL_LOCAL_APPDATA : CSIDL_PROGRAM_FILES;

    std::string base;
    if (!ShellFolder(csidl, base) || base.empty()) base = "c:\\Program Files";
    EnsureFolder(base);

    folder = base + "\\" + name;
    EnsureFolder(folder);
    SetCurrentDirectoryA(folder.c_str());
}

void GetSpecialFolder(int csidl, std::string& path) {
    path.clear();
    if (!ShellFolder(csidl, path)) {
        path.clear();
        if (csidl == CSIDL_PROGRAM_FILES) path = "C:\\Program Files";
    }
}

void CreateShortcut(int csidl, std::string target, std::string name, std::string iconPath, std::string subfolder,
                    std::string arguments) {
    if (name.empty() || target.empty()) return;

    std::string folder;
    GetSpecialFolder(csidl, folder);
    // Without its folder the link would land relative to the drive's root.
    if (folder.empty()) {
        std::printf("CreateShortcut: no folder for CSIDL %d\n", csidl);
        return;
    }
    if (!subfolder.empty()) {
        folder += "\\" + subfolder;
        EnsureFolder(folder);
    }
    std::string linkPath = folder + "\\" + name + ".lnk";

    // The link is saved under a wide path of at most 260 characters with its
    // terminator; a longer path is refused rather than cut to another name.
    WCHAR widePath[kMaxPath];
    int wideLength = MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, widePath, kMaxPath);
    if (wideLength <= 0) {
        std::printf("CreateShortcut: link path too long: %s\n", linkPath.c_str());
        return;
    }

    Utils::ComPtr<IShellLinkA> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.ReceiveVoid())) ||
        !link)
        return;
    link->SetPath(target.c_str());
    if (!iconPath.empty()) link->SetIconLocation(iconPath.c_str(), 0);
    if (!arguments.empty()) link->SetArguments(arguments.c_str());

    Utils::ComPtr<IPersistFile> file;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid())) && file) file->Save(widePath, TRUE);
}
