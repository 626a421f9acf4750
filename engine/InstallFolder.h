#pragma once
// Install folder and shell links. Folder paths come back without a trailing
// "\". The shortcut function needs COM initialised on the calling thread (the
// update worker's thread is). The special folders themselves are the file
// system helpers' (Utils::FileSystem::GetSpecialFolder).
#include <windows.h>
#include <shlobj.h>  // CSIDL_* values callers pass

#include <string>

// folder = <program files or, for perUserOnVista on 6.0, local app data>\name;
// creates what is missing and makes it the current directory. Failures are
// ignored.
void GetInstallFolder(const std::string& name, std::string& folder, bool perUserOnVista);
// The folder GetInstallFolder gives for these arguments; creates nothing.
std::string InstallFolderPath(const std::string& name, bool perUserOnVista);

// Writes <special folder>[\subfolder]\name.lnk pointing at target. Empty name
// or target, or a special folder the shell cannot give, write nothing; an
// existing link is overwritten. Failures are silent (and logged).
void CreateShortcut(int csidl, std::string target, std::string name, std::string iconPath, std::string subfolder,
                    std::string arguments);
