#include "engine/Registration.h"

#include <cstring>
#include <vector>

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/EngineLog.h"
#include "engine/Manifest.h"
#include "orvanta_config.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/ini/IniFile.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"
#include "utils/system/System.h"

namespace Registration {

namespace {

const char* const kFunction = "DownloadManager::Update()";
// Longer texts are no version: the list shows a narrow column.
const size_t kDisplayVersionMax = 64;

struct WindowSearch {
    DWORD processId;
    bool visible;
};

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM parameter) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window)) {
        search->visible = true;
        return FALSE;
    }
    return TRUE;
}

// Whether the process's executable lies inside one of the folders.
bool RunsFrom(DWORD processId, const std::vector<std::string>& folders) {
    const std::string executable = Utils::System::ProcessExecutable(processId);
    for (const std::string& folder : folders) {
        if (Utils::FileSystem::IsPathInside(executable, folder)) return true;
    }
    return false;
}

std::string InstalledSubKey(const std::string& brand) {
    return brand + "\\Installed";
}

} // namespace

DWORD ChooseOtherCopy(const std::vector<DWORD>& ids, DWORD ownId) {
    if (ids.size() < 2) return 0;
    for (DWORD id : ids) {
        if (id != ownId) return id;
    }
    return 0;  // the own process found under both names
}

bool HasVisibleWindow(DWORD processId) {
    WindowSearch search = {processId, false};
    EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
    return search.visible;
}

void StopOtherRunningCopy(const std::string& installedExeName, const std::vector<std::string>& installationFolders) {
    std::vector<DWORD> found;
    Utils::System::FindProcesses(found, "Orvanta.exe");
    Utils::System::FindProcesses(found, installedExeName);
    const DWORD ownId = GetCurrentProcessId();
    std::vector<DWORD> ids;
    for (DWORD id : found) {
        if (id == ownId || RunsFrom(id, installationFolders)) {
            ids.push_back(id);
        } else {
            EngineLog::Int(kFunction, "not ours, left running: pid=", static_cast<int>(id));
        }
    }
    DWORD target = ChooseOtherCopy(ids, ownId);
    if (target == 0) return;
    if (HasVisibleWindow(target)) {
        Dialog().FailAndExit("Can't update while program is open");
        return;
    }
    Utils::KernelHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, target));
    if (!process || !TerminateProcess(process.Get(), 0xFFFFFFFF)) {
        EngineLog::Int(kFunction, "could not stop running copy, pid=", static_cast<int>(target));
        return;
    }
    // The copy's executable stays locked until the process is really gone.
    WaitForSingleObject(process.Get(), 5000);
}

CopyResult CopyInBlocks(HANDLE source, HANDLE target) {
    char block[512];
    while (true) {
        DWORD got = 0;
        if (!ReadFile(source, block, sizeof(block), &got, nullptr)) return COPY_SOURCE_UNREADABLE;
        if (got == 0) return COPY_DONE;
        DWORD done = 0;
        while (done < got) {
            DWORD written = 0;
            if (!WriteFile(target, block + done, got - done, &written, nullptr) || written == 0) {
                return COPY_WRITE_STALLED;
            }
            done += written;
        }
    }
}

CopyResult CopyInBlocks(const std::string& sourcePath, const std::string& targetPath) {
    Utils::FileHandle source(CreateFileA(sourcePath.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    Utils::FileHandle target(CreateFileA(targetPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) return COPY_TARGET_UNWRITABLE;
    if (!source) return COPY_SOURCE_UNREADABLE;
    CopyResult result = CopyInBlocks(source.Get(), target.Get());
    if (result == COPY_DONE && !FlushFileBuffers(target.Get())) result = COPY_WRITE_STALLED;
    return result;
}

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

DWORD InstalledVersion(const Utils::RegistryKey& productKey, const std::string& brand, const std::string& key) {
    return productKey.GetDword(key, InstalledSubKey(brand), 0);
}

std::string InstalledChecksum(const Utils::RegistryKey& productKey, const std::string& brand,
                              const std::string& key) {
    return productKey.GetString(key + "CheckSum", InstalledSubKey(brand), "");
}

namespace {

const char kChecksumSuffix[] = "checksum";  // lower case; value names ignore ASCII case
const size_t kChecksumSuffixLength = sizeof(kChecksumSuffix) - 1;

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithChecksum(const char* name, size_t length) {
    if (length < kChecksumSuffixLength) return false;
    const char* tail = name + length - kChecksumSuffixLength;
    for (size_t i = 0; i < kChecksumSuffixLength; ++i) {
        if (LowerAscii(tail[i]) != kChecksumSuffix[i]) return false;
    }
    return true;
}

} // namespace

size_t InstalledRecords::NameHash::operator()(const std::string& name) const {
    size_t hash = 14695981039346656037ull & static_cast<size_t>(-1);  // FNV-1a
    for (char c : name) hash = (hash ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
    return hash;
}

bool InstalledRecords::NameEqual::operator()(const std::string& a, const std::string& b) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

InstalledRecords::InstalledRecords(const std::string& productId, const std::string& brand) {
    const std::string path = "Software\\" + productId + "\\" + InstalledSubKey(brand);
    Utils::RegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return;
    DWORD values = 0;
    DWORD maxName = 0;
    DWORD maxData = 0;
    if (RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    // A number value and its CheckSum string make one record.
    m_records.reserve(values / 2 + 1);
    std::vector<char> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    std::string base;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG result = RegEnumValueA(key.Get(), index, name.data(), &nameLength, nullptr, &type, data.data(),
                                    &dataLength);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        if (type == REG_DWORD && dataLength == sizeof(DWORD)) {
            base.assign(name.data(), nameLength);
            Record& record = m_records[base];
            record.hasVersion = true;
            memcpy(&record.version, data.data(), sizeof(record.version));
            ++m_nValues;
        } else if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) &&
                   dataLength <= Utils::RegistryKey::MaxStringBytes) {
            ++m_nValues;
            // Only <key>CheckSum strings are ever asked for.
            if (!EndsWithChecksum(name.data(), nameLength)) continue;
            base.assign(name.data(), nameLength - kChecksumSuffixLength);
            const char* text = reinterpret_cast<const char*>(data.data());
            Record& record = m_records[base];
            record.hasChecksum = true;
            record.checksum.assign(text, strnlen(text, dataLength));
        }
    }
}

DWORD InstalledRecords::Version(const std::string& key) const {
    auto found = m_records.find(key);
    return found == m_records.end() || !found->second.hasVersion ? 0 : found->second.version;
}

std::string InstalledRecords::Checksum(const std::string& key) const {
    auto found = m_records.find(key);
    return found == m_records.end() || !found->second.hasChecksum ? std::string() : found->second.checksum;
}

void WriteFileRecord(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key,
                     int version, const std::string& checksum) {
    productKey.SetDwordAndString(key, static_cast<DWORD>(version), key + "CheckSum", checksum, InstalledSubKey(brand));
}

void EraseFileRecord(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key) {
    productKey.Delete(key, InstalledSubKey(brand));
    productKey.Delete(key + "CheckSum", InstalledSubKey(brand));
}

void ApplyRegSection(Utils::RegistryKey& productKey, const std::string& brand, Utils::IniFile& manifest) {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    manifest.GetSection("REG", keys, values);
    for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
        Manifest::RegEntry entry;
        if (!Manifest::ParseRegEntry(keys[i], values[i], entry)) {
            EngineLog::Text(kFunction, "REG entry ignored: ", keys[i] + "=" + values[i]);
            continue;
        }
        std::string subKey = entry.subKey.empty() ? brand : brand + "\\" + entry.subKey;
        if (entry.isNumber) {
            productKey.SetDword(entry.name, static_cast<DWORD>(Manifest::LeadingInt(entry.data)), entry.overwrite,
                                subKey);
        } else {
            productKey.SetString(entry.name, entry.data, entry.overwrite, subKey);
        }
    }
}

void WriteReferrer(Utils::RegistryKey& productKey, const std::string& brand, const std::string& referrer) {
    productKey.SetString("ReferrerUrl", ReferrerForRegistry(referrer), true, brand);
}

void ReadUpdateRecord(const std::string& productId, std::string& lastLang, std::string& lastDate) {
    Utils::RegistryKey key(Utils::kUserHive, productId);
    lastLang = key.GetString(Dialog().AppendAnswerSuffix("LastUpdateLang"), "", "");
    lastDate = key.GetString(Dialog().AppendAnswerSuffix("LastUpdateDate"), "", "");
}

void WriteUpdateRecord(const std::string& productId, const std::string& lang, const std::string& date) {
    Utils::RegistryKey key(Utils::kUserHive, productId);
    key.SetString(Dialog().AppendAnswerSuffix("LastUpdateLang"), lang, true, "");
    key.SetString(Dialog().AppendAnswerSuffix("LastUpdateDate"), date, true, "");
}

} // namespace Registration
