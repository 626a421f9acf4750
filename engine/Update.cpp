// One pass of the install/update procedure.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/ops/DialogOps.h"
#include "engine/Digest.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/InstallFolder.h"
#include "engine/Manifest.h"
#include "engine/Registration.h"
#include "engine/SignedRelease.h"
#include "funnel/FunnelReport.h"
#include "orvanta_config.h"
#include "utils/fs/FileSystem.h"
#include "utils/ini/IniFile.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"
#include "utils/system/System.h"

namespace {

const char* const kFunction = "DownloadManager::Update()";
// The system's paths are read into buffers of this size.
const size_t kPathBuffer = Utils::FileSystem::kLongPathBuffer;
// The work folder is the current folder when it has at most 499 characters.
const size_t kWorkDirBuffer = 500;
// Buffers of the outside tools' command lines.
const size_t kCabinetCommandBuffer = 256;
const size_t kPostInstallCommandBuffer = 300;

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

// printf into a buffer of `size` bytes; false when the text does not fit.
template <typename... Args>
bool FormatInto(std::string& out, size_t size, const char* format, Args... args) {
    std::vector<char> buffer(size);
    const int length = std::snprintf(buffer.data(), size, format, args...);
    if (length < 0 || static_cast<size_t>(length) >= size) return false;
    out.assign(buffer.data(), static_cast<size_t>(length));
    return true;
}

// The FILE entries whose installed version is older or whose recorded
// checksum differs, in ascending order of their order numbers.
std::vector<Manifest::FileEntry> OutdatedFiles(Utils::IniFile& manifest, const std::string& productId,
                                               const std::string& brand) {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    manifest.GetSection("FILE", keys, values);
    std::vector<Manifest::FileEntry> entries;
    for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
        Manifest::FileEntry entry;
        if (Manifest::ParseFileEntry(keys[i], values[i], entry)) {
            entries.push_back(entry);
        } else {
            EngineLog::Text(kFunction, "FILE entry ignored: ", keys[i] + "=" + values[i]);
        }
    }
    Manifest::SortByOrder(entries);

    std::vector<Manifest::FileEntry> outdated;
    const Registration::InstalledRecords installed(productId, brand);
    for (const Manifest::FileEntry& entry : entries) {
        if (static_cast<int>(installed.Version(entry.key)) < entry.version ||
            installed.Checksum(entry.key) != entry.checksum) {
            outdated.push_back(entry);
        }
    }
    return outdated;
}

} // namespace

// What one pass knows besides the object's fields.
struct DownloadManager::Pass {
    explicit Pass(bool update) : isUpdate(update) {}
    const bool isUpdate;
    std::string tempDir;       // the system's temporary folder, with its "\"
    std::string stem;          // own file name without its last four characters
    std::string manifestPath;  // online: in the temporary folder; offline: relative
    std::string request;       // the manifest request (online pass)
    std::string currentLang;   // the profile's language (online pass)
    std::string askedDate;     // the LastUpdateDate the request carries (online pass)
    std::string startFolder;   // the current folder before the folders were resolved
    std::string ownPath;       // the running executable
    bool firstInstall = false; // this pass copied the installer into the install folder
};

bool DownloadManager::Update(bool isUpdate) {
    Pass pass(isUpdate);
    pass.tempDir = Utils::FileSystem::GetTempFolder(kPathBuffer);
    Utils::FileSystem::GetModulePath(pass.stem, true, true, false);
    if (isUpdate) {
        PrepareOnlinePass(pass);
    } else {
        PrepareOfflinePass(pass);
    }
    if (m_szWorkDir.empty()) m_szWorkDir = Utils::FileSystem::GetCurrentFolder(kWorkDirBuffer);
    if (isUpdate && !FetchManifest(pass)) return false;

    const std::unique_ptr<Utils::IniFile> loaded = LoadManifest(pass);
    if (!loaded) return false;
    Utils::IniFile& manifest = *loaded;
    const bool bIsNoUpdateAvilable = ReadManifest(pass, manifest);
    if (bIsNoUpdateAvilable) {
        GetInstallFolder(m_szBrandName, m_szDataDir, true);
        return true;
    }
    if (!HasUsableNames()) return false;

    ResolveFolders(pass);
    Registration::StopOtherRunningCopy(m_szBrandName + ".exe");
    switch (InstallOwnCopy(pass)) {
    case SELF_COPY_FAILED:
        return false;
    case SELF_COPY_RUNNING:
        if (!isUpdate) return true;
        break;
    case SELF_COPY_MADE:
        Registration::WriteUninstallEntry(m_szBrandName, m_szInstallDir);
        FunnelReport(FUNNEL_INSTALLER_COPIED);
        pass.firstInstall = true;
        break;
    }
    Dialog().SetTitle(m_szBrandName + (isUpdate ? " Update" : " Installation"));

    if (!FetchFiles(isUpdate, manifest)) return false;
    FetchResourceUpdate(pass);
    if (pass.startFolder != m_szInstallDir) CreateShortcutsOnce(manifest);
    Registration::ApplyRegSection(*m_pProductKey, m_szBrandName, manifest);
    Registration::WriteReferrer(*m_pProductKey, m_szBrandName, m_szReferrer);
    if (pass.firstInstall) RunPostInstallTool(manifest);
    RecordRelease(pass, manifest);
    Registration::WriteUpdateRecord(m_szProductId, pass.currentLang,
                                    manifest.GetString("PRODUCT_REG", "LastUpdateDate"));
    return true;
}

// A cabinet beside the installer is unpacked into the temporary folder, which
// becomes the current folder: the manifest path of this pass is relative.
void DownloadManager::PrepareOfflinePass(Pass& pass) {
    const std::string cabinet = Manifest::CabinetName(m_szIniFileName);
    if (Utils::FileSystem::IsFile(cabinet)) {
        Dialog().SetItemText(IDC_STATUS_TEXT, " Preparing installation files");
        RunCabinetTool(cabinet, pass.tempDir);
        SetCurrentDirectoryA(pass.tempDir.c_str());
    }
    pass.manifestPath = m_szIniFileName;
}

// The manifest request carries the profile and the date of the last update
// (empty when the language changed or this brand is new to the user).
void DownloadManager::PrepareOnlinePass(Pass& pass) {
    std::string lastLang;
    std::string lastDate;
    Registration::ReadUpdateRecord(m_szProductId, lastLang, lastDate);
    bool keyFolderExists = Utils::RegistryKey(Utils::kUserHive, m_szProductId).KeyExists(pass.stem);
    std::string query = Manifest::ProfileQuery(m_szIniFileName);
    pass.currentLang = Manifest::LanguageOf(query);
    if (pass.currentLang != lastLang || !keyFolderExists) lastDate.clear();
    EngineLog::Text(kFunction, "thisFileName=", pass.stem);
    EngineLog::Int(kFunction, "IsKeyFolderExist", keyFolderExists ? 1 : 0);
    pass.askedDate = lastDate;
    pass.request = Manifest::ManifestRequest(query, lastDate, m_szRequestBrand);
    pass.manifestPath = pass.tempDir + m_szIniFileName;
    EngineLog::Text(kFunction, "LastUpdateDate=", lastDate);
    EngineLog::Text(kFunction, "LastUpdateLang=", lastLang);
    EngineLog::Text(kFunction, "CurrentLang=", pass.currentLang);
}

// An installed copy runs from a folder named after itself: its status says so.
bool DownloadManager::FetchManifest(const Pass& pass) {
    std::string ownFolder;
    Utils::FileSystem::GetModulePath(ownFolder, false, false, true);
    std::string statusText = "Installation data";
    if (ownFolder.find("\\" + pass.stem + "\\") != std::string::npos) statusText = " Checking for updates";
    return GetFile(true, false, pass.manifestPath, pass.request, statusText, m_szResourcesUrl);
}

// Without release keys the manifest is read as it is. With keys it counts only
// when one of them signed it (checked on its bytes as received, before the INI
// reader sees them) and it follows the signed-release rules; otherwise it
// counts as not obtained. From the check until the reader has read it the file
// is held against writers, and the reader follows no includes: what it reads
// is what was signed.
std::unique_ptr<Utils::IniFile> DownloadManager::LoadManifest(const Pass& pass) {
    if (m_releaseKeys.empty()) return std::unique_ptr<Utils::IniFile>(new Utils::IniFile(pass.manifestPath, 1));
    if (!Utils::FileSystem::IsFile(pass.manifestPath)) {
        EngineLog::Text(kFunction, "no manifest: ", pass.manifestPath);
        return nullptr;
    }
    std::unique_ptr<Utils::IniFile> manifest;
    std::string reason;
    SignedRelease::HeldFile held;
    if (held.Open(pass.manifestPath, reason) &&
        (reason = SignedRelease::CheckSignature(held.Bytes(), m_releaseKeys)).empty()) {
        manifest.reset(new Utils::IniFile(pass.manifestPath, 0));
        std::string lastLang, recorded;
        Registration::ReadUpdateRecord(m_szProductId, lastLang, recorded);
        reason = SignedRelease::CheckSignedRelease(held.Bytes(), *manifest, recorded,
                                                   pass.isUpdate ? pass.askedDate : recorded);
    }
    held.Release();
    if (reason.empty()) return manifest;
    EngineLog::Text(kFunction, "manifest refused: ", reason);
    if (pass.isUpdate) DeleteFileA(pass.manifestPath.c_str());
    return nullptr;
}

// Loads the GENERAL fields; true when the manifest says no update is
// available. The online pass's manifest files are removed once read.
bool DownloadManager::ReadManifest(const Pass& pass, Utils::IniFile& manifest) {
    const bool bIsNoUpdateAvilable = manifest.GetInt("NO_UPDATE_AVILABLE", "VALUE") == 1;
    EngineLog::Int(kFunction, "bIsNoUpdateAvilable=", bIsNoUpdateAvilable ? 1 : 0);
    // A manifest of thousands of files renders to a large text: only for a log that keeps it.
    if (EngineLog::Enabled()) {
        std::string manifestText;
        manifest.ToString(manifestText);
        EngineLog::Text(kFunction, "iniFile:", manifestText);
    }

    if (pass.isUpdate) {
        DeleteFileA(pass.manifestPath.c_str());
        DeleteFileA(m_szIniFileName.c_str());
    }

    m_szBrandName = manifest.GetString("GENERAL", "BRAND_NAME");
    m_szExeName = manifest.GetString("GENERAL", "EXE_NAME");
    m_szExeWorkPath = manifest.GetString("GENERAL", "EXE_WORK_PATH");
    m_szDownloadUrl = manifest.GetString("GENERAL", "DOWNLOAD_URL");
    if (m_szDownloadUrl.empty()) m_szDownloadUrl = m_szResourcesUrl;
    // The brand names a folder, a file and a registry key: anything that is
    // not a plain name counts as no brand at all.
    if (!m_szBrandName.empty() && !Utils::FileSystem::IsPlainFolderName(m_szBrandName)) {
        EngineLog::Text(kFunction, "BRAND_NAME refused: ", m_szBrandName);
        m_szBrandName.clear();
    }
    return bIsNoUpdateAvilable;
}

// A brand to install under, and a client folder that stays inside it.
bool DownloadManager::HasUsableNames() {
    if (m_szBrandName.empty()) {
        EngineLog::Line(kFunction, "Error: m_szBrandName.size()<=0");
        return false;
    }
    if (!m_szExeWorkPath.empty() && !Manifest::IsSafeRelativePath(m_szExeWorkPath)) {
        EngineLog::Text(kFunction, "Error: EXE_WORK_PATH refused: ", m_szExeWorkPath);
        m_szExeWorkPath.clear();
        return false;
    }
    return true;
}

// The data folder is resolved last: it stays the current folder, below which
// the package files land.
void DownloadManager::ResolveFolders(Pass& pass) {
    if (!m_pProductKey) m_pProductKey.reset(new Utils::RegistryKey(Utils::kUserHive, m_szProductId));
    pass.startFolder = Utils::FileSystem::GetCurrentFolder(kPathBuffer);
    pass.ownPath = Utils::FileSystem::GetOwnPath(kPathBuffer);
    GetInstallFolder(m_szBrandName, m_szInstallDir, false);
    GetInstallFolder(m_szBrandName, m_szDataDir, true);
}

DownloadManager::SelfCopy DownloadManager::InstallOwnCopy(const Pass& pass) {
    const std::string installedCopy = m_szInstallDir + "\\" + m_szBrandName + ".exe";
    if (EqualsIgnoringCase(pass.ownPath, installedCopy)) return SELF_COPY_RUNNING;
    Registration::CopyResult copied = Registration::CopyInBlocks(pass.ownPath, installedCopy);
    if (copied == Registration::COPY_DONE) return SELF_COPY_MADE;
    EngineLog::Int(kFunction, "self-copy failed, result=", static_cast<int>(copied));
    // A partial copy would be started by the shortcuts and the uninstall entry.
    if (copied != Registration::COPY_TARGET_UNWRITABLE) DeleteFileA(installedCopy.c_str());
    Dialog().FailAndExit("Please download again with \"Save\"");
    return SELF_COPY_FAILED;
}

void DownloadManager::RunCabinetTool(const std::string& cabinet, const std::string& tempDir) {
    Utils::System::ProcessStart start;
    if (!FormatInto(start.commandLine, kCabinetCommandBuffer, "cabarc.exe -r -p -o X %s %s\\", cabinet.c_str(),
                    tempDir.c_str())) {
        EngineLog::Text(kFunction, "cabinet command line too long: ", cabinet);
        return;
    }
    start.visible = false;
    DWORD exitCode = 0;
    if (!Utils::System::RunProcess(start, exitCode)) {
        EngineLog::Int(kFunction, "cabarc.exe not started, error=", static_cast<int>(GetLastError()));
    } else {
        EngineLog::Int(kFunction, "cabarc.exe exit code=", static_cast<int>(exitCode));
    }
}

bool DownloadManager::FetchFiles(bool isUpdate, Utils::IniFile& manifest) {
    const std::vector<Manifest::FileEntry> toFetch = OutdatedFiles(manifest, m_szProductId, m_szBrandName);
    if (!toFetch.empty()) {
        std::string skin = manifest.GetString("GENERAL", "SKIN_URL");
        if (!skin.empty()) Dialog().ShowWebPage(skin);
    }
    Dialog().ShowProgressBar(IDC_OVERALL_PROGRESS, static_cast<int>(toFetch.size()) + 1);
    Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, 1);

    std::string digest = manifest.GetString("GENERAL", "FILE_DIGEST");
    const bool verifySha256 = lstrcmpiA(digest.c_str(), "SHA256") == 0;

    for (size_t i = 0; i < toFetch.size(); ++i) {
        if (!FetchPackageFile(isUpdate, toFetch[i], verifySha256, manifest)) {
            EngineLog::Line(kFunction, "!GetFile()");
            return false;
        }
        CommitPackageFile(toFetch[i]);
        Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, static_cast<int>(i) + 2);
    }
    return true;
}

// Puts the file in place (download or copy, then unpacking) and checks its
// digest when the manifest declares one; a file that fails the check is removed.
// A signed release's file is checked before it is unpacked and before it
// replaces anything: one that fails leaves the installed file as it was.
bool DownloadManager::FetchPackageFile(bool isUpdate, const Manifest::FileEntry& entry, bool verifySha256,
                                       Utils::IniFile& manifest) {
    if (!m_releaseKeys.empty()) {
        FileDigests digests;
        digests.package = manifest.GetString(SignedRelease::kPackageDigestSection, entry.key);
        digests.installed = entry.checksum;
        Utils::String::ToLower(digests.package);
        Utils::String::ToLower(digests.installed);
        return GetFile(isUpdate, true, entry.key, entry.spec, entry.key, m_szDownloadUrl, &digests);
    }
    if (!GetFile(isUpdate, true, entry.key, entry.spec, entry.key, m_szDownloadUrl)) return false;
    if (!verifySha256) return true;
    const std::string path = LocalPathFor(entry.key);
    std::string actual = Digest::Sha256OfFile(path);
    std::string expected = entry.checksum;
    Utils::String::ToLower(expected);
    if (!actual.empty() && actual == expected) return true;
    EngineLog::Text(kFunction, "SHA-256 mismatch, file removed: ", path);
    EngineLog::Text(kFunction, "expected=", expected);
    EngineLog::Text(kFunction, "actual=", actual);
    DeleteFileA(path.c_str());
    return false;
}

// The file counts as installed from here on: its version and checksum are recorded.
void DownloadManager::CommitPackageFile(const Manifest::FileEntry& entry) {
    Registration::WriteFileRecord(*m_pProductKey, m_szBrandName, entry.key, entry.version, entry.checksum);
    m_bFilesChanged = true;
}

// The test download server also hands out a resource update; its result does
// not count.
void DownloadManager::FetchResourceUpdate(const Pass& pass) {
    if (m_szResourcesUrl == ORVANTA_TEST_HOST && pass.isUpdate) {
        GetFile(true, false, "update.ini", Manifest::ResourceUpdateRequest(pass.request), "", m_szResourcesUrl);
    }
}

void DownloadManager::CreateShortcutsOnce(Utils::IniFile& manifest) {
    std::string icon = manifest.GetString("GENERAL", "UNINSTALL_ICON");
    if (!icon.empty()) {
        if (Manifest::IsSafeRelativePath(icon)) {
            icon = m_szDataDir + "\\" + icon;
        } else {
            EngineLog::Text(kFunction, "UNINSTALL_ICON refused: ", icon);
            icon.clear();
        }
    }
    if (m_pProductKey->GetDword("IsOVNotFirst", m_szBrandName, 0) != 0) return;
    m_pProductKey->SetDword("IsOVNotFirst", 1, true, m_szBrandName);
    const std::string target = m_szInstallDir + "\\" + m_szBrandName + ".exe";
    CreateShortcut(CSIDL_PROGRAMS, target, m_szBrandName, "", m_szBrandName, "");
    CreateShortcut(CSIDL_DESKTOP, target, m_szBrandName, "", "", "");
    CreateShortcut(CSIDL_PROGRAMS, target, "Uninstall", icon, m_szBrandName, "/uninstall");
}

// The folders are measured only when this pass changed what is on disk (a
// file, or the installer's own copy) or the entry has no size yet (written by
// an earlier installer, which also left out the values completed here): an
// update check that fetches nothing does not walk the client's files. The
// entry itself is made by the self-copy alone.
void DownloadManager::RecordRelease(const Pass& pass, Utils::IniFile& manifest) {
    if (!Registration::HasUninstallEntry(m_szBrandName)) return;
    const bool sizeMissing = Registration::RecordedSize(m_szBrandName) == Registration::kSizeUnknown;
    DWORD sizeKiB = Registration::kSizeUnknown;
    if (pass.firstInstall || m_bFilesChanged || sizeMissing) {
        sizeKiB = Registration::InstalledSizeKiB(m_szInstallDir, m_szDataDir);
        m_bFilesChanged = false;
        EngineLog::Int(kFunction, "EstimatedSize=", static_cast<int>(sizeKiB));
    }
    if (sizeMissing) Registration::CompleteUninstallEntry(m_szBrandName, m_szInstallDir);
    Registration::WriteReleaseValues(m_szBrandName, manifest.GetString("GENERAL", "DISPLAY_VERSION"), sizeKiB);
}

// The tool is one of the installed files, started hidden from the client's
// folder with the installed executable's name twice; the procedure waits for it.
void DownloadManager::RunPostInstallTool(Utils::IniFile& manifest) {
    const std::string tool = manifest.GetString("GENERAL", "EXE_UPDATERES");
    if (tool.empty()) return;
    const std::string installedExeName = m_szBrandName + ".exe";
    Utils::System::ProcessStart start;
    const bool fits =
        FormatInto(start.application, kPostInstallCommandBuffer, "%s\\%s", m_szExeWorkPath.c_str(), tool.c_str()) &&
        FormatInto(start.commandLine, kPostInstallCommandBuffer, "%s %s ..\\%s", start.application.c_str(),
                   installedExeName.c_str(), installedExeName.c_str());
    if (!Manifest::IsSafeRelativePath(tool)) {
        // Not any program on the machine.
        EngineLog::Text(kFunction, "EXE_UPDATERES refused: ", tool);
    } else if (!fits) {
        EngineLog::Text(kFunction, "post-install command line too long: ", tool);
    } else {
        start.workDir = m_szInstallDir + "\\" + m_szExeWorkPath;
        start.visible = false;
        start.emptyDesktop = true;
        DWORD exitCode = 0;
        if (!Utils::System::RunProcess(start, exitCode)) {
            EngineLog::Int(kFunction, "post-install tool not started, error=", static_cast<int>(GetLastError()));
        }
    }
    FunnelReport(FUNNEL_POST_INSTALL_DONE);
}
