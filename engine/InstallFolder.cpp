#include "engine/InstallFolder.h"

#include <windows.h>
#include <shlobj.h>

#include "engine/EngineLog.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"

namespace {

const char* const kShortcutFunction = "CreateShortcut()";

// <program files>, or the local application-data folder for perUserOnVista
// on Windows Vista (6.0), without a trailing "\".
std::string InstallBase(bool perUserOnVista) {
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
    if (!Utils::FileSystem::ShellFolder(csidl, base) || base.empty()) base = "c:\\Program Files";
    return base;
}

} // namespace

std::string InstallFolderPath(const std::string& name, bool perUserOnVista) {
    return InstallBase(perUserOnVista) + "\\" + name;
}

void GetInstallFolder(const std::string& name, std::string& folder, bool perUserOnVista) {
    const std::string base = InstallBase(perUserOnVista);
    Utils::FileSystem::EnsureFolder(base);

    folder = base + "\\" + name;
    Utils::FileSystem::EnsureFolder(folder);
    SetCurrentDirectoryA(folder.c_str());
}

void CreateShortcut(int csidl, std::string target, std::string name, std::string iconPath, std::string subfolder,
                    std::string arguments) {
    if (name.empty() || target.empty()) return;

    std::string folder;
    Utils::FileSystem::GetSpecialFolder(csidl, folder);
    // Without its folder the link would land relative to the drive's root.
    if (folder.empty()) {
        EngineLog::Int(kShortcutFunction, "no folder for CSIDL ", csidl);
        return;
    }
    if (!subfolder.empty()) {
        folder += "\\" + subfolder;
        Utils::FileSystem::EnsureFolder(folder);
    }
    std::string linkPath = folder + "\\" + name + ".lnk";

    // The link is saved under a wide path of at most 260 characters with its
    // terminator; a longer path is refused rather than cut to another name.
    WCHAR widePath[Utils::FileSystem::kPathBuffer];
    int wideLength = MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, widePath, Utils::FileSystem::kPathBuffer);
    if (wideLength <= 0) {
        EngineLog::Text(kShortcutFunction, "link path too long: ", linkPath);
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
