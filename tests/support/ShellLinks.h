#pragma once
// Reading a shortcut (.lnk) back through the shell's own link object. The
// caller has COM initialised.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "utils/Handles.h"

namespace TestSupport {

struct LinkInfo {
    bool loaded = false;  // false: no such file, or not a shortcut the shell can read
    std::string path, arguments, icon;
    int iconIndex = -1;
};

inline LinkInfo ReadLink(const std::string& linkPath) {
    LinkInfo info;
    Utils::ComPtr<IShellLinkA> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.ReceiveVoid())))
        return info;
    Utils::ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid()))) return info;
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH);
    if (FAILED(file->Load(wide, STGM_READ))) return info;
    char buffer[MAX_PATH * 2] = {0};
    link->GetPath(buffer, sizeof(buffer), nullptr, SLGP_RAWPATH);
    info.path = buffer;
    buffer[0] = 0;
    link->GetArguments(buffer, sizeof(buffer));
    info.arguments = buffer;
    buffer[0] = 0;
    link->GetIconLocation(buffer, sizeof(buffer), &info.iconIndex);
    info.icon = buffer;
    info.loaded = true;
    return info;
}

} // namespace TestSupport
