// The installation's entry in the system's list of installed programs.
#include "engine/Registration.h"

#include "engine/EngineLog.h"
#include "orvanta_config.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"

namespace Registration {

namespace {

const char* const kFunction = "Registration::UninstallEntry";
// Longer texts are no version: the list shows a narrow column.
const size_t kDisplayVersionMax = 64;

} // namespace

const char kUninstallKeyPath[] = "Microsoft\\Windows\\CurrentVersion\\Uninstall";

std::string UninstallKeyPath(const std::string& brand) { return std::string(kUninstallKeyPath) + "\\" + brand; }

void WriteUninstallEntry(const std::string& brand, const std::string& installDir) {
    Utils::RegistryKey key(Utils::kMachineHive, UninstallKeyPath(brand));
    key.SetString("DisplayName", brand, false, "");
    // Quoted: unquoted, the system would try "C:\Program.exe" first.
    key.SetString("UninstallString", "\"" + installDir + "\\" + brand + ".exe\" /uninstall", false, "");
    CompleteUninstallEntry(brand, installDir);
}

void CompleteUninstallEntry(const std::string& brand, const std::string& installDir) {
    Utils::RegistryKey key(Utils::kMachineHive, UninstallKeyPath(brand));
    key.SetString("DisplayIcon", installDir + "\\" + brand + ".exe", false, "");
    key.SetString("InstallLocation", installDir, false, "");
    key.SetString("Publisher", ORVANTA_PUBLISHER, false, "");
    key.SetString("URLInfoAbout", ORVANTA_URL_INFO_ABOUT, false, "");
    key.SetDword("NoModify", 1, false, "");
    key.SetDword("NoRepair", 1, false, "");
}

bool HasUninstallEntry(const std::string& brand) {
    return Utils::RegistryKey(Utils::kMachineHive, kUninstallKeyPath).KeyExists(brand);
}

void WriteReleaseValues(const std::string& brand, const std::string& displayVersion, DWORD sizeKiB) {
    if (!HasUninstallEntry(brand)) return;
    Utils::RegistryKey key(Utils::kMachineHive, UninstallKeyPath(brand));
    if (sizeKiB != kSizeUnknown) key.SetDword("EstimatedSize", sizeKiB, true, "");
    if (displayVersion.empty()) return;
    bool shown = displayVersion.size() <= kDisplayVersionMax;
    for (unsigned char c : displayVersion) shown = shown && c >= 0x20 && c != 0x7f;
    if (!shown) {
        EngineLog::Text(kFunction, "DISPLAY_VERSION refused: ", displayVersion);
    } else if (key.GetString("DisplayVersion", "", "") != displayVersion) {
        key.SetString("DisplayVersion", displayVersion, true, "");
    }
}

DWORD RecordedSize(const std::string& brand) {
    if (!HasUninstallEntry(brand)) return kSizeUnknown;
    return Utils::RegistryKey(Utils::kMachineHive, UninstallKeyPath(brand)).GetDword("EstimatedSize", "", kSizeUnknown);
}

DWORD InstalledSizeKiB(const std::string& installDir, const std::string& dataDir) {
    unsigned long long bytes = Utils::FileSystem::FolderSize(installDir);
    if (Utils::FileSystem::GetFullPath(dataDir, "") != Utils::FileSystem::GetFullPath(installDir, "")) {
        bytes += Utils::FileSystem::FolderSize(dataDir);
    }
    const unsigned long long kib = (bytes + 1023) / 1024;
    return kib >= kSizeUnknown ? kSizeUnknown - 1 : static_cast<DWORD>(kib);
}

} // namespace Registration
