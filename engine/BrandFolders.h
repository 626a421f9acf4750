#pragma once
// The folders an installation makes for its brand, and the record that they
// are ours. A brand's folders are the install folder <Program Files>\<brand>,
// the data folder (<local application data>\<brand> on Windows Vista, else
// the install folder) and the Start-menu folder <programs>\<brand>. The
// program installs into, and removes, only such a folder that it made for
// this brand: a folder of another program that happens to carry the brand's
// name ("Common Files", "Microsoft") is never taken over or deleted, and a
// junction or other link in a brand folder's place is never followed.
//
// The record is machine-wide, as the install folder is (the same brand
// installed for a second user finds it): HKLM\Software\Orvanta\BrandFolders,
// one string value per folder, named by the folder's canonical path with "/"
// for "\", holding the brand. It is written before the folder is created, so
// a run killed right after the creation can go on.
#include <string>
#include <vector>

#include "utils/Result.h"

namespace BrandFolders {

// Below HKLM\Software.
extern const char kRecordKeyPath[];

struct Paths {
    std::string install;
    std::string data;       // the install folder except on Windows Vista
    std::string startMenu;  // "" when the shell cannot name the programs folder
};
// The brand's folders on this system; nothing is created.
Paths For(const std::string& brand);

// Ours for this brand: recorded for it; or, for an installation made before
// folders were recorded, one of the brand's folders while the machine's
// uninstall entry of the brand starts <install folder>\<brand>.exe. Reads
// only (no key is created). Whether the folder is a link is not looked at.
bool IsOurs(const std::string& folder, const std::string& brand);

// Each of the brand's folders is missing or ours and none is a link.
// FolderNotOurs (detail: the folder) otherwise: the brand must then not be
// installed or used.
Utils::Result MayInstall(const std::string& brand);

// Records the folder as the brand's, to be done before it is created.
// AccessDenied (detail: the folder) when the record could not be written: the
// folder must then not be made.
Utils::Result Record(const std::string& folder, const std::string& brand);
// Drops the folder's record (once it is gone).
void Forget(const std::string& folder);

} // namespace BrandFolders
