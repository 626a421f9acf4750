#pragma once
// What an installation leaves in the registry besides the client's files: the
// uninstall entry (UninstallEntry.cpp), the per-file records (FileRecords.cpp),
// the REG values, the referrer and the update records (Registration.cpp).
// The installed copy of the installer is SelfCopy's; stopping another running
// copy is RunningCopy's.
#include <windows.h>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"

namespace Utils { class IniFile; }

namespace Registration {

// The system's list of installed programs, below HKLM\Software; an
// installation's entry is its subkey <brand>.
extern const char kUninstallKeyPath[];
// kUninstallKeyPath + "\\" + brand.
std::string UninstallKeyPath(const std::string& brand);
// The entry's values that describe the installation rather than a release,
// each written only when missing, so an entry written before (by another
// user's installation of the brand, or by an earlier installer) keeps them:
//   DisplayName      brand
//   UninstallString  "<installDir>\<brand>.exe" /uninstall
//   DisplayIcon      <installDir>\<brand>.exe (it carries the program's icon)
//   InstallLocation  installDir
//   Publisher, URLInfoAbout  the build's settings
//   NoModify, NoRepair       1: the list offers removal only
// Creates the entry.
void WriteUninstallEntry(const std::string& brand, const std::string& installDir);
// WriteUninstallEntry's values other than DisplayName and UninstallString
// (those two belong to the self-copy), for an entry an earlier installer wrote.
void CompleteUninstallEntry(const std::string& brand, const std::string& installDir);
// Whether the entry exists; creates nothing.
bool HasUninstallEntry(const std::string& brand);

// What the entry says about the installed release, in an existing entry only:
// "DisplayVersion" unless the text is empty or not a short line (at most 64
// characters, no control characters), and "EstimatedSize" in KiB unless
// sizeKiB is kSizeUnknown. Both replace what is there; an unchanged version is
// not written again.
const DWORD kSizeUnknown = 0xFFFFFFFF;
void WriteReleaseValues(const std::string& brand, const std::string& displayVersion, DWORD sizeKiB);
// The entry's "EstimatedSize"; kSizeUnknown when it has none.
DWORD RecordedSize(const std::string& brand);
// KiB (rounded up) of the files below installDir and, when it is another
// folder, below dataDir. Walks every file: not for a run that changed nothing.
DWORD InstalledSizeKiB(const std::string& installDir, const std::string& dataDir);

// Per-file records in <brand>\Installed of the product key.
DWORD InstalledVersion(const Utils::RegistryKey& productKey, const std::string& brand, const std::string& key);
std::string InstalledChecksum(const Utils::RegistryKey& productKey, const std::string& brand,
                              const std::string& key);
void WriteFileRecord(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key,
                     int version, const std::string& checksum);
// Drops both values of the file's record: the file counts as not installed.
void EraseFileRecord(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key);

// WriteFileRecord and EraseFileRecord through one opening of the brand's
// Installed key, held from the first record on: a pass commits its files one
// after another, and opening the key path around every value cost more than
// moving the file. Where the key cannot be held, the functions above.
class FileRecordWriter {
public:
    void Write(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key, int version,
               const std::string& checksum);
    void Erase(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key);

private:
    Utils::RegistryKey::Held* For(Utils::RegistryKey& productKey, const std::string& brand);

    const Utils::RegistryKey* m_product = nullptr;
    std::string m_brand;
    Utils::RegistryKey::Held m_held;
};

// Every per-file record of the brand, read with one opening of
// HKCU\Software\<product>\<brand>\Installed (a manifest lists thousands of
// files; one open per value would dominate an update check). Same results as
// InstalledVersion / InstalledChecksum: 0 and "" when absent or of another type.
// Names match regardless of ASCII letter case; a look-up allocates nothing.
class InstalledRecords {
public:
    InstalledRecords(const std::string& productId, const std::string& brand);
    DWORD Version(const std::string& key) const;
    std::string Checksum(const std::string& key) const;
    size_t Size() const { return m_nValues; }  // number values and string values read

private:
    struct Record {
        bool hasVersion = false;
        DWORD version = 0;
        bool hasChecksum = false;
        std::string checksum;
    };
    // By the name of the number value; the string value <name>CheckSum is
    // filed under <name> too.
    std::unordered_map<std::string, Record, Utils::String::CaseBlindHash, Utils::String::CaseBlindEqual> m_records;
    size_t m_nValues = 0;
};

// The manifest's REG section applied below <brand>, in key order; unusable
// entries are skipped (and logged).
void ApplyRegSection(Utils::RegistryKey& productKey, const std::string& brand, Utils::IniFile& manifest);

// "ReferrerUrl" in <brand>: hex-decoded when the text is all hex digits; a
// text that cannot be decoded (odd count of digits) is stored as it is.
void WriteReferrer(Utils::RegistryKey& productKey, const std::string& brand, const std::string& referrer);

// The update records of HKCU\Software\<product>, named through
// Dialog().AppendAnswerSuffix.
void ReadUpdateRecord(const std::string& productId, std::string& lastLang, std::string& lastDate);
void WriteUpdateRecord(const std::string& productId, const std::string& lang, const std::string& date);

} // namespace Registration
