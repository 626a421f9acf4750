#include "engine/BrandFolders.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "engine/InstallFolder.h"
#include "engine/Registration.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"

namespace BrandFolders {

const char kRecordKeyPath[] = "Orvanta\\BrandFolders";

namespace {

// A registry value name, not a key path: no "\".
std::string RecordName(const std::string& folder) {
    std::string name = Utils::FileSystem::GetFullPath(folder, "");
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::string RecordedBrand(const std::string& folder) {
    // Opened below Software itself, so that reading creates no key.
    Utils::RegistryKey software(Utils::kMachineHive, "");
    if (!software.KeyExists(kRecordKeyPath)) return std::string();
    return software.GetString(RecordName(folder), kRecordKeyPath, "");
}

// An installation of a version that kept no record: its uninstall entry
// starts the installed copy in the brand's install folder.
bool LegacyInstallation(const std::string& folder, const std::string& brand) {
    const Paths paths = For(brand);
    const std::string full = Utils::FileSystem::GetFullPath(folder, "");
    bool isBrandFolder = false;
    for (const std::string* path : {&paths.install, &paths.data, &paths.startMenu}) {
        if (!path->empty() && Utils::FileSystem::GetFullPath(*path, "") == full) isBrandFolder = true;
    }
    if (!isBrandFolder) return false;
    Utils::RegistryKey entries(Utils::kMachineHive, Registration::kUninstallKeyPath);
    if (!entries.KeyExists(brand)) return false;
    std::string command = entries.GetString("UninstallString", brand, "");
    if (!command.empty() && command[0] == '"') command.erase(0, 1);
    const std::string installedCopy = Utils::String::Lowered(paths.install + "\\" + brand + ".exe");
    return Utils::String::Lowered(command).compare(0, installedCopy.size(), installedCopy) == 0;
}

} // namespace

Paths For(const std::string& brand) {
    Paths paths;
    paths.install = InstallFolderPath(brand, false);
    paths.data = InstallFolderPath(brand, true);
    std::string programs;
    Utils::FileSystem::GetSpecialFolder(CSIDL_PROGRAMS, programs);
    if (!programs.empty()) paths.startMenu = programs + "\\" + brand;
    return paths;
}

bool IsOurs(const std::string& folder, const std::string& brand) {
    if (folder.empty() || brand.empty()) return false;
    const std::string recorded = RecordedBrand(folder);
    if (!recorded.empty()) return Utils::String::EqualsIgnoringCase(recorded, brand);
    return LegacyInstallation(folder, brand);
}

Utils::Result MayInstall(const std::string& brand) {
    const Paths paths = For(brand);
    for (const std::string* folder : {&paths.install, &paths.data, &paths.startMenu}) {
        if (folder->empty()) continue;
        const DWORD attributes = GetFileAttributesA(folder->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // made (and recorded) when needed
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            return Utils::Result::Failure(Utils::Reason::FolderNotOurs, 0, "a link: " + *folder);
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || !IsOurs(*folder, brand)) {
            return Utils::Result::Failure(Utils::Reason::FolderNotOurs, 0, "not made for this brand: " + *folder);
        }
    }
    return Utils::Result::Success();
}

Utils::Result Record(const std::string& folder, const std::string& brand) {
    if (folder.empty() || brand.empty()) return Utils::Result::Failure(Utils::Reason::FolderNotOurs, 0, folder);
    Utils::RegistryKey records(Utils::kMachineHive, kRecordKeyPath);
    records.SetString(RecordName(folder), brand, true, "");
    if (records.GetString(RecordName(folder), "", "") == brand) return Utils::Result::Success();
    return Utils::Result::Failure(Utils::Reason::AccessDenied, 0, "brand folder not recorded: " + folder);
}

void Forget(const std::string& folder) {
    Utils::RegistryKey software(Utils::kMachineHive, "");
    if (!software.KeyExists(kRecordKeyPath)) return;
    Utils::RegistryKey(Utils::kMachineHive, kRecordKeyPath).Delete(RecordName(folder), "");
}

} // namespace BrandFolders
