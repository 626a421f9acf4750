// One pass of the install/update procedure.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/ops/DialogOps.h"
#include "engine/BrandFolders.h"
#include "engine/Digest.h"
#include "engine/ToolCopies.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/InstallFolder.h"
#include "engine/InstallLock.h"
#include "engine/Manifest.h"
#include "engine/OverallProgress.h"
#include "engine/Registration.h"
#include "engine/RunningCopy.h"
#include "engine/SelfCopy.h"
#include "engine/SignedRelease.h"
#include "engine/Steps.h"
#include "funnel/FunnelReport.h"
#include "orvanta_config.h"
#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/FetchAhead.h"
#include "utils/ini/IniFile.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"
#include "utils/system/MachineLock.h"
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
// A manifest larger than this is refused unread.
const unsigned long long kMaxManifestBytes = 8ull * 1024 * 1024;

// printf into a buffer of `size` bytes; false when the text does not fit.
template <typename... Args>
bool FormatInto(std::string& out, size_t size, const char* format, Args... args) {
    std::vector<char> buffer(size);
    const int length = std::snprintf(buffer.data(), size, format, args...);
    if (length < 0 || static_cast<size_t>(length) >= size) return false;
    out.assign(buffer.data(), static_cast<size_t>(length));
    return true;
}

// The folder part of a relative path ("" for a file of the current folder),
// and the name part.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

// The folders of a relative file path that do not exist yet, deepest first.
std::vector<std::string> MissingFoldersOf(const std::string& path) {
    std::vector<std::string> missing;
    for (std::string folder = FolderOf(path); !folder.empty() && !Utils::FileSystem::IsDirectory(folder);
         folder = FolderOf(folder)) {
        missing.push_back(folder);
    }
    return missing;
}

// After the fetch of file `failed` failed: the folders that only the fetches
// of later files made (newFolders as MissingFoldersOf gave them before any
// fetch) are removed when empty. A serial pass never made them.
void RemoveFoldersMadeAfter(size_t failed, const std::vector<std::vector<std::string>>& newFolders) {
    std::set<std::string> kept;
    for (size_t i = 0; i <= failed && i < newFolders.size(); ++i) {
        for (const std::string& folder : newFolders[i]) kept.insert(Utils::String::Lowered(folder));
    }
    std::vector<std::string> made;
    for (size_t i = failed + 1; i < newFolders.size(); ++i) {
        for (const std::string& folder : newFolders[i]) {
            if (kept.insert(Utils::String::Lowered(folder)).second) made.push_back(folder);
        }
    }
    // Deepest first: a folder's subfolders go before it.
    std::sort(made.begin(), made.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& folder : made) RemoveDirectoryA(folder.c_str());
}

// Whether the manifest asks for FILE_DIGEST=SHA256.
bool DeclaresFileDigests(Utils::IniFile& manifest) {
    return Utils::String::EqualsIgnoringCase(manifest.GetString("GENERAL", "FILE_DIGEST"), "SHA256");
}

std::string LoweredDigest(std::string digest) { return Utils::String::ToLower(digest); }

// [PATCH_SIZE] <FILE key>=<bytes of the file the patch makes>: vpatch refuses
// a patch that would make another size before it writes anything. False when
// the manifest lists none (or not as plain decimal digits).
bool ListedPatchSize(Utils::IniFile& manifest, const std::string& key, unsigned long long& size) {
    const std::string text = manifest.GetString(Manifest::kPatchSizeSection, key);
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    size = std::stoull(text);
    return true;
}

long long SizeOf(const std::string& path) {
    unsigned long long size = 0;
    return Utils::FileSystem::FileSizeOf(path, size) ? static_cast<long long>(size) : 0;
}

} // namespace

// What one pass carries through its steps besides the object's fields.
struct DownloadManager::Pass {
    Pass(PassKind passKind, std::atomic<const char*>& published) : kind(passKind), currentStep(published) {}
    const PassKind kind;
    bool Online() const { return kind == PassKind::Online; }
    // Each named step starts with a log record (a log of a run cut short ends
    // with the step it was in), and a failure names it.
    void Step(const char* name) {
        step = name;
        currentStep.store(name);
        EngineLog::Text(kFunction, Steps::kRecordPrefix, name);
    }
    const char* step = Steps::kPrepare;
    std::atomic<const char*>& currentStep;  // the object's, for other threads
    std::string tempDir;       // the system's temporary folder, with its "\"
    std::string stem;          // own file name without its last four characters
    std::string manifestPath;  // online: in the temporary folder; offline: relative
    std::string request;       // the manifest request (online pass)
    std::string currentLang;   // the profile's language (online pass)
    std::string askedDate;     // the LastUpdateDate the request carries (online pass)
    bool recordRead = false;   // the update record below is read (once a pass)
    std::string lastLang;      // the update record: language and date of the last successful run
    std::string lastDate;
    std::string startFolder;   // the current folder before the folders were resolved
    std::string ownPath;       // the running executable
    std::unique_ptr<Utils::IniFile> manifest;
    // The digest policy: a signed release's files are checked against its
    // digests on the way; an unsigned one's against FILE_DIGEST=SHA256 checksums.
    bool signedRelease = false;
    bool fileDigests = false;
    bool firstInstall = false;       // this pass copied the installer into the install folder
    bool runsInstalledCopy = false;  // this process is that copy

    void ReadUpdateRecordOnce(const std::string& productId) {
        if (recordRead) return;
        Registration::ReadUpdateRecord(productId, lastLang, lastDate);
        recordRead = true;
    }
};

Utils::Result DownloadManager::Update(PassKind kind) {
    Pass pass(kind, m_currentStep);
    m_currentStep.store(Steps::kPrepare);
    Utils::Result result = RunPass(pass);
    m_tools.End();
    if (pass.Online()) m_szAskedDate = pass.askedDate;
    if (!result) {
        EngineLog::Failure(kFunction, pass.step, result);
        m_szFailedStep = pass.step;
    }
    return result;
}

Utils::Result DownloadManager::RunPass(Pass& pass) {
    m_tools.Begin(nullptr);
    pass.tempDir = Utils::FileSystem::GetTempFolder(kPathBuffer);
    pass.stem = Utils::FileSystem::GetOwnName(Utils::FileSystem::NameForm::WithoutExtension);
    if (pass.Online()) {
        PrepareOnlinePass(pass);
    } else {
        PrepareOfflinePass(pass);
    }
    if (m_szWorkDir.empty()) m_szWorkDir = Utils::FileSystem::GetCurrentFolder(kWorkDirBuffer);
    pass.Step(Steps::kFetchManifest);
    Utils::Result result = pass.Online() ? FetchManifest(pass) : Utils::Result::Success();
    if (result) result = CheckManifestSize(pass);
    if (!result) return result;

    pass.Step(Steps::kReadManifest);
    if (!(result = LoadManifest(pass))) return result;
    BeginToolCopies(pass);
    const bool bIsNoUpdateAvilable = TakeGeneralFields(*pass.manifest);
    RemoveManifestFiles(pass);
    if (bIsNoUpdateAvilable && m_szBrandName.empty()) {
        // Nothing to do and no folder named: there is no data folder to resolve.
        EngineLog::Line(kFunction, "no update and no brand");
        return Utils::Result::Success();
    }
    // The server's names are checked, and the brand's run and folders made
    // ours, before anything is written or started: also on a no-update answer.
    if (!(result = CheckNames()) || !(result = HoldInstallLock(m_szBrandName)) ||
        !(result = BrandFolders::MayInstall(m_szBrandName))) {
        return result;
    }
    if (bIsNoUpdateAvilable) {
        if (!(result = BrandFolders::Record(InstallFolderPath(m_szBrandName, true), m_szBrandName))) return result;
        GetInstallFolder(m_szBrandName, m_szDataDir, true);
        return Utils::Result::Success();
    }
    return Install(pass);
}

// The rest of a pass that has a release to install or update.
Utils::Result DownloadManager::Install(Pass& pass) {
    pass.Step(Steps::kResolveFolders);
    Utils::Result result = ResolveFolders(pass);
    if (!result) return result;
    pass.Step(Steps::kStopOtherRunningCopy);
    if (!(result = RunningCopy::StopOther(m_szBrandName + ".exe", {m_szInstallDir, m_szDataDir}))) return result;
    pass.Step(Steps::kInstallOwnCopy);
    if (!(result = InstallOwnCopy(pass))) return result;
    if (pass.runsInstalledCopy && !pass.Online()) return Utils::Result::Success();
    if (pass.firstInstall) {
        pass.Step(Steps::kWriteUninstallEntry);
        Registration::WriteUninstallEntry(m_szBrandName, m_szInstallDir);
        // A run the player tried again goes on: its copy was reported.
        if (!m_bRetrying) FunnelReport(FUNNEL_INSTALLER_COPIED);
    }
    Dialog().SetTitle(
        Texts::Text(pass.Online() ? TextId::TitleUpdate : TextId::TitleInstallation, {{"brand", m_szBrandName}}));

    pass.Step(Steps::kFetchFiles);
    if (!(result = FetchFiles(pass))) return result;
    FetchResourceUpdate(pass);
    if (pass.startFolder != m_szInstallDir) CreateShortcutsOnce(pass);
    pass.Step(Steps::kApplyRegSection);
    Registration::ApplyRegSection(*m_pProductKey, m_szBrandName, *pass.manifest);
    Registration::WriteReferrer(*m_pProductKey, m_szBrandName, m_szReferrer);
    if (pass.firstInstall) RunPostInstallTool(*pass.manifest);
    RecordRelease(pass);
    pass.Step(Steps::kWriteUpdateRecord);
    Registration::WriteUpdateRecord(m_szProductId, pass.currentLang,
                                    pass.manifest->GetString("PRODUCT_REG", "LastUpdateDate"));
    return Utils::Result::Success();
}

// A cabinet beside the installer is unpacked into the temporary folder, which
// becomes the current folder: the manifest path of this pass is relative.
void DownloadManager::PrepareOfflinePass(Pass& pass) {
    const std::string cabinet = Manifest::CabinetName(m_szIniFileName);
    if (Utils::FileSystem::IsFile(cabinet)) {
        Dialog().SetItemText(IDC_STATUS_TEXT, " " + Texts::Text(TextId::PreparingFiles));
        // A cabinet that cannot be unpacked leaves no manifest: the pass ends there.
        const Utils::Result unpacked = RunCabinetTool(cabinet, pass.tempDir);
        if (!unpacked) EngineLog::Failure(kFunction, "RunCabinetTool", unpacked);
        SetCurrentDirectoryA(pass.tempDir.c_str());
    }
    pass.manifestPath = m_szIniFileName;
}

// The manifest request carries the profile and the date of the last update
// (empty when the language changed or this brand is new to the user).
void DownloadManager::PrepareOnlinePass(Pass& pass) {
    pass.ReadUpdateRecordOnce(m_szProductId);
    std::string lastDate = pass.lastDate;
    bool keyFolderExists = Utils::RegistryKey(Utils::kUserHive, m_szProductId).KeyExists(pass.stem);
    std::string query = Manifest::ProfileQuery(m_szIniFileName);
    pass.currentLang = Manifest::LanguageOf(query);
    if (pass.currentLang != pass.lastLang || !keyFolderExists) lastDate.clear();
    EngineLog::Text(kFunction, "thisFileName=", pass.stem);
    EngineLog::Int(kFunction, "IsKeyFolderExist", keyFolderExists ? 1 : 0);
    pass.askedDate = lastDate;
    pass.request = Manifest::ManifestRequest(query, lastDate, m_szRequestBrand);
    pass.manifestPath = pass.tempDir + m_szIniFileName;
    EngineLog::Text(kFunction, "LastUpdateDate=", lastDate);
    EngineLog::Text(kFunction, "LastUpdateLang=", pass.lastLang);
    EngineLog::Text(kFunction, "CurrentLang=", pass.currentLang);
}

// An installed copy runs from a folder named after itself: its status says so.
Utils::Result DownloadManager::FetchManifest(Pass& pass) {
    // What a manifest download cut short by an earlier run left.
    const std::string tempFolder = pass.tempDir.substr(0, pass.tempDir.find_last_not_of('\\') + 1);
    if (!tempFolder.empty()) {
        for (const std::string& name : Utils::FileSystem::RemoveTemporaries(tempFolder, m_szIniFileName)) {
            EngineLog::Text(kFunction, "leftover removed: ", name);
        }
    }
    const std::string ownFolder = Utils::FileSystem::GetOwnFolder();
    std::string statusText = Texts::Text(TextId::InstallationData);
    if ((ownFolder + "\\").find("\\" + pass.stem + "\\") != std::string::npos) {
        statusText = " " + Texts::Text(TextId::CheckingUpdates);
    }
    // The temporary folder is the user's: the download lands under a name no
    // other program can know before it exists.
    FetchMode mode;
    mode.privateName = true;
    FetchedFile file;
    const Utils::Result fetched = FetchToTemporary(Source::Server, Unpack::No, pass.manifestPath, pass.request,
                                                   statusText, m_szResourcesUrl, nullptr, file, &mode);
    return fetched ? PutInPlace(file) : fetched;
}

// A manifest over the limit is refused (and removed) before it is parsed.
Utils::Result DownloadManager::CheckManifestSize(const Pass& pass) {
    unsigned long long size = 0;
    if (!Utils::FileSystem::FileSizeOf(pass.manifestPath, size) || size <= kMaxManifestBytes) {
        return Utils::Result::Success();
    }
    if (pass.Online()) DeleteFileA(pass.manifestPath.c_str());
    return Utils::Result::Failure(Utils::Reason::ManifestTooLarge, 0, "manifest refused, bytes: " + std::to_string(size));
}

void DownloadManager::BeginToolCopies(const Pass& pass) {
    if (!pass.signedRelease && !pass.fileDigests) {
        m_tools.Begin(nullptr);
        return;
    }
    Utils::IniFile* manifest = pass.manifest.get();
    m_tools.Begin([manifest](const std::string& relative, std::string& digest) {
        std::string key = relative;
        Utils::String::ReplaceAll(key, "\\", "__");
        key = Utils::String::Lowered(key);
        std::vector<std::string> keys, values;
        manifest->GetSection("FILE", keys, values);
        for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
            Manifest::FileEntry entry;
            if (Utils::String::Lowered(keys[i]) == key && Manifest::ParseFileEntry(keys[i], values[i], entry)) {
                digest = LoweredDigest(entry.checksum);
                return true;
            }
        }
        return false;
    });
}

std::string DownloadManager::PostInstallToolPath(Utils::IniFile& manifest) const {
    const std::string tool = manifest.GetString("GENERAL", "EXE_UPDATERES");
    return tool.empty() ? std::string() : Utils::FileSystem::JoinPath(m_szExeWorkPath, tool);
}

// Without release keys the manifest is read as it is. With keys it counts only
// when one of them signed it and it follows the signed-release rules;
// otherwise it counts as not obtained. The file is read once, held against
// writers, and the bytes checked are the bytes parsed (no includes): a name
// in the user's temporary folder that points elsewhere by the time of a
// second open never feeds an unsigned manifest to the installer.
Utils::Result DownloadManager::LoadManifest(Pass& pass) {
    if (m_releaseKeys.empty()) {
        // Includes may name only a file beside the manifest.
        pass.manifest.reset(new Utils::IniFile(pass.manifestPath, 1, Utils::IniFile::IncludeNames::PlainFileName));
        pass.fileDigests = DeclaresFileDigests(*pass.manifest);
        return Utils::Result::Success();
    }
    if (!Utils::FileSystem::IsFile(pass.manifestPath)) {
        return Utils::Result::Failure(Utils::Reason::ManifestMissing, 0, "no manifest: " + pass.manifestPath);
    }
    Utils::Result result;
    std::string unreadable;
    SignedRelease::HeldFile held;
    if (!held.Open(pass.manifestPath, unreadable)) {
        result = Utils::Result::Failure(Utils::Reason::ManifestMissing, 0, unreadable);
    } else {
        pass.ReadUpdateRecordOnce(m_szProductId);
        result = SignedRelease::ReadSignedManifest(held.Bytes(), m_releaseKeys, pass.lastDate,
                                                   pass.Online() ? pass.askedDate : pass.lastDate, pass.manifest);
    }
    held.Release();
    if (result) {
        pass.signedRelease = true;
        pass.fileDigests = true;  // a signed release declares them
        return result;
    }
    pass.manifest.reset();
    result.detail = "manifest refused: " + result.detail;
    if (pass.Online()) DeleteFileA(pass.manifestPath.c_str());
    return result;
}

bool DownloadManager::TakeGeneralFields(Utils::IniFile& manifest) {
    const bool bIsNoUpdateAvilable = manifest.GetInt("NO_UPDATE_AVILABLE", "VALUE") == 1;
    EngineLog::Int(kFunction, "bIsNoUpdateAvilable=", bIsNoUpdateAvilable ? 1 : 0);
    // A manifest of thousands of files renders to a large text: only for a log that keeps it.
    if (EngineLog::Enabled()) {
        std::string manifestText;
        manifest.ToString(manifestText);
        EngineLog::Text(kFunction, "iniFile:", manifestText);
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

void DownloadManager::RemoveManifestFiles(const Pass& pass) {
    if (!pass.Online()) return;
    DeleteFileA(pass.manifestPath.c_str());
    DeleteFileA(m_szIniFileName.c_str());
}

Utils::Result DownloadManager::CheckNames() const {
    if (m_szBrandName.empty()) return Utils::Result::Failure(Utils::Reason::ManifestNoBrand, 0, "BRAND_NAME");
    if (!m_szExeWorkPath.empty() && !Manifest::IsSafeRelativePath(m_szExeWorkPath)) {
        return Utils::Result::Failure(Utils::Reason::ManifestUnsafeName, 0, "EXE_WORK_PATH " + m_szExeWorkPath);
    }
    return Utils::Result::Success();
}

// The data folder is resolved last: it stays the current folder, below which
// the package files land. Each folder is recorded as the brand's before it
// is made; without the record it is not made and the pass stops.
Utils::Result DownloadManager::ResolveFolders(Pass& pass) {
    if (!m_pProductKey) m_pProductKey.reset(new Utils::RegistryKey(Utils::kUserHive, m_szProductId));
    pass.startFolder = Utils::FileSystem::GetCurrentFolder(kPathBuffer);
    pass.ownPath = Utils::FileSystem::GetOwnPath(kPathBuffer);
    Utils::Result result = BrandFolders::Record(InstallFolderPath(m_szBrandName, false), m_szBrandName);
    if (result) result = BrandFolders::Record(InstallFolderPath(m_szBrandName, true), m_szBrandName);
    if (!result) return result;
    GetInstallFolder(m_szBrandName, m_szInstallDir, false);
    GetInstallFolder(m_szBrandName, m_szDataDir, true);
    return result;
}

Utils::Result DownloadManager::HoldInstallLock(const std::string& brand) {
    const std::string name = InstallLock::NameFor(m_szProductId, brand);
    for (const std::string& held : m_heldLockNames) {
        if (held == name) return Utils::Result::Success();
    }
    std::unique_ptr<Utils::System::MachineLock> lock(new Utils::System::MachineLock());
    Utils::System::MachineLock::Result result = lock->Acquire(name, 0);
    if (result == Utils::System::MachineLock::BUSY) {
        m_bWaitedForAnotherRun = true;
        Dialog().SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::WaitingForInstallation, {{"brand", brand}}));
        result = lock->Acquire(name, m_dwInstallLockWaitMs);
    }
    if (result == Utils::System::MachineLock::BUSY) {
        EngineLog::Text(kFunction, "another run holds ", name);
        return Utils::Result::Failure(Utils::Reason::AnotherInstallation, WAIT_TIMEOUT, brand);
    }
    if (result == Utils::System::MachineLock::UNAVAILABLE) {
        EngineLog::Text(kFunction, "no lock could be made, going on without: ", name);
        return Utils::Result::Success();
    }
    m_heldLockNames.push_back(name);
    m_heldLocks.push_back(std::move(lock));
    return Utils::Result::Success();
}

// The copy is written beside the installed copy and moved over it whole: the
// shortcuts and the uninstall entry never start a partial copy, and a failed
// copy leaves the earlier one in place.
Utils::Result DownloadManager::InstallOwnCopy(Pass& pass) {
    const std::string installedName = m_szBrandName + ".exe";
    const std::string installedCopy = m_szInstallDir + "\\" + installedName;
    for (const std::string& name : Utils::FileSystem::RemoveTemporaries(m_szInstallDir, installedName)) {
        EngineLog::Text(kFunction, "leftover removed: ", name);
    }
    if (Utils::String::EqualsIgnoringCase(pass.ownPath, installedCopy)) {
        pass.runsInstalledCopy = true;
        return Utils::Result::Success();
    }
    Utils::Result copied = SelfCopy::CopyOver(pass.ownPath, installedCopy);
    if (!copied) {
        // Whatever the system said, the player is asked for a whole new copy.
        copied.error = copied.error != 0 ? copied.error : ERROR_WRITE_FAULT;
        copied.detail = std::string(Utils::ReasonName(copied.reason)) + " " + copied.detail;
        copied.reason = Utils::Reason::SelfCopyFailed;
        return copied;
    }
    pass.firstInstall = true;
    return copied;
}

// No manifest is read yet: the only brand known is the profile's, and the
// cabinet tool is the one its data folder holds (where a release puts it),
// never a program beside the installer or found by the program search.
Utils::Result DownloadManager::RunCabinetTool(const std::string& cabinet, const std::string& tempDir) {
    Utils::System::ProcessStart start;
    if (!FormatInto(start.commandLine, kCabinetCommandBuffer, "cabarc.exe -r -p -o X %s %s\\", cabinet.c_str(),
                    tempDir.c_str())) {
        return Utils::Result::Failure(Utils::Reason::ToolFailed, 0, "cabinet command line too long: " + cabinet);
    }
    const std::string dataFolder = InstallFolderPath(m_szRequestBrand, true);
    if (m_szRequestBrand.empty() || !Utils::FileSystem::IsFile(dataFolder + "\\cabarc.exe")) {
        return Utils::Result::Failure(Utils::Reason::ToolFailed, ERROR_FILE_NOT_FOUND, dataFolder + "\\cabarc.exe");
    }
    Utils::Result copied = m_tools.Program(dataFolder, "cabarc.exe", start.application);
    if (!copied) return copied;
    start.visible = false;
    DWORD exitCode = 0;
    if (!Utils::System::RunProcess(start, exitCode)) {
        return Utils::Result::Failure(Utils::Reason::ToolFailed, GetLastError(), "cabarc.exe not started");
    }
    EngineLog::Int(kFunction, "cabarc.exe exit code=", static_cast<int>(exitCode));
    return Utils::Result::Success();
}

std::vector<Manifest::FileEntry> DownloadManager::ListPackageFiles(Utils::IniFile& manifest) const {
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
    return entries;
}

// All names in it are lower case.
struct DownloadManager::FolderScan {
    std::vector<std::string> paths;                          // per entry: its local path
    std::vector<std::vector<std::string>> partials;          // per entry: "folder\name" of partials worth keeping
    std::map<std::string, std::set<std::string>> present;    // folder: names of the files there
    std::set<std::string> kept;                              // "folder\name" of partial downloads kept
    std::vector<size_t> current;                             // entries installed, recorded and present
};

// Names that would leave the data folder are not looked at; fetching refuses
// them. A partial download of a remote name this manifest still lists for the
// file (whole or patch) stays, to be continued.
DownloadManager::FolderScan DownloadManager::ScanFolders(const Pass& pass,
                                                         const std::vector<Manifest::FileEntry>& entries) {
    FolderScan scan;
    scan.partials.resize(entries.size());
    std::map<std::string, std::set<std::string>> resumable;  // folder: names
    for (size_t i = 0; i < entries.size(); ++i) {
        scan.paths.push_back(LocalPathFor(entries[i].key));
        if (!Manifest::IsSafeRelativePath(scan.paths.back())) continue;
        const std::string folder = Utils::String::Lowered(FolderOf(scan.paths.back()));
        std::vector<std::string> sources;
        if (MayResume(pass, entries[i])) sources.push_back(entries[i].spec);
        Manifest::PatchEntry patch;
        if (Manifest::ParsePatchEntry(pass.manifest->GetString("PATCH", entries[i].key), patch)) {
            sources.push_back(patch.spec);
        }
        for (const std::string& source : sources) {
            const std::string name =
                Utils::String::Lowered(Utils::FileSystem::PartialName(NameOf(scan.paths.back()), source));
            resumable[folder].insert(name);
            scan.partials[i].push_back(folder + "\\" + name);
        }
    }
    for (const std::string& path : scan.paths) {
        if (!Manifest::IsSafeRelativePath(path)) continue;
        const std::string folder = Utils::String::Lowered(FolderOf(path));
        if (scan.present.count(folder) != 0) continue;
        std::vector<std::string> handled, keptNames;
        Utils::FileSystem::ListFilesRemovingTemporaries(folder.empty() ? "." : folder, scan.present[folder], handled,
                                                        &resumable[folder], &keptNames);
        for (const std::string& name : handled) {
            EngineLog::Text(kFunction, "leftover removed: ", folder.empty() ? name : folder + "\\" + name);
        }
        for (const std::string& name : keptNames) {
            EngineLog::Text(kFunction, "partial download kept: ", folder.empty() ? name : folder + "\\" + name);
            scan.kept.insert(folder + "\\" + Utils::String::Lowered(name));
        }
    }
    return scan;
}

std::vector<Manifest::FileEntry> DownloadManager::ChooseOutdated(const std::vector<Manifest::FileEntry>& entries,
                                                                 FolderScan& scan, const std::string& postInstallTool) {
    std::vector<Manifest::FileEntry> outdated;
    m_recordsAtStart.reset(new Registration::InstalledRecords(m_szProductId, m_szBrandName));
    m_recordsChanged.clear();
    m_recordWriter.reset(new Registration::FileRecordWriter());
    const Registration::InstalledRecords& installed = *m_recordsAtStart;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Manifest::FileEntry& entry = entries[i];
        const DWORD version = installed.Version(entry.key);
        const std::string checksum = installed.Checksum(entry.key);
        if (static_cast<int>(version) < entry.version || checksum != entry.checksum) {
            outdated.push_back(entry);
            continue;
        }
        // A recorded file that is gone (deleted, or lost by an interrupted
        // replacement) is fetched again.
        if ((version == 0 && checksum.empty()) || !Manifest::IsSafeRelativePath(scan.paths[i])) continue;
        const std::string folder = Utils::String::Lowered(FolderOf(scan.paths[i]));
        if (scan.present[folder].count(Utils::String::Lowered(NameOf(scan.paths[i]))) == 0) {
            EngineLog::Text(kFunction, "missing, fetched again: ", scan.paths[i]);
            outdated.push_back(entry);
            continue;
        }
        // A program the installer starts is started only with the release's
        // bytes: one changed since it was installed is fetched again.
        if (m_tools.ChecksDigests() && IsStartedTool(scan.paths[i], postInstallTool) &&
            Digest::Sha256OfFile(scan.paths[i]) != LoweredDigest(entry.checksum)) {
            EngineLog::Text(kFunction, "changed, fetched again: ", scan.paths[i]);
            outdated.push_back(entry);
            continue;
        }
        scan.current.push_back(i);
    }
    return outdated;
}

// Nothing to fetch for these files: a partial download of them is of no use.
void DownloadManager::RemoveUnneededPartials(const FolderScan& scan) {
    for (size_t i : scan.current) {
        for (const std::string& partial : scan.partials[i]) {
            if (scan.kept.count(partial) == 0) continue;
            const std::string path = partial[0] == '\\' ? partial.substr(1) : partial;
            if (DeleteFileA(path.c_str())) EngineLog::Text(kFunction, "leftover removed: ", path);
        }
    }
}

Utils::Result DownloadManager::FetchFiles(Pass& pass) {
    const std::vector<Manifest::FileEntry> entries = ListPackageFiles(*pass.manifest);
    FolderScan scan = ScanFolders(pass, entries);
    const std::vector<Manifest::FileEntry> toFetch = ChooseOutdated(entries, scan, PostInstallToolPath(*pass.manifest));
    RemoveUnneededPartials(scan);
    if (!toFetch.empty()) {
        std::string skin = pass.manifest->GetString("GENERAL", "SKIN_URL");
        if (!skin.empty()) {
            Dialog().ShowWebPage(skin);
        } else {
            Dialog().ShowBanner();
        }
    }
    OverallProgress overall(toFetch.size());
    m_pOverall = &overall;
    Utils::Result result;
    if (pass.Online()) {
        result = DownloadFiles(pass, toFetch);
    } else {
        for (size_t i = 0; i < toFetch.size() && result; ++i) {
            overall.Begin(i);
            FetchedFile file;
            result = FetchPackageFile(pass, toFetch[i], file);
            if (result) overall.Length(i, SizeOf(file.ready));
            if (result) result = CommitPackageFile(toFetch[i], file);
            if (result) overall.Committed(i);
        }
    }
    m_pOverall = nullptr;
    if (result) overall.Finish();
    return result;
}

// The workers fetch every body into its temporary name; this thread takes
// them back in manifest order and does all the rest one file at a time, as a
// download on this thread would: the log record and the status line, the
// checks, the unpacking, the move and the record. A file that fails ends the
// pass there; what was fetched after it is discarded, and so are the folders
// only its fetching made, so the pass leaves what a serial one leaves. A file
// with a patch, and one whose earlier cut download can be continued, is
// fetched on this thread when its turn comes (FetchPackageFile).
Utils::Result DownloadManager::DownloadFiles(Pass& pass, const std::vector<Manifest::FileEntry>& toFetch) {
    std::vector<FetchPlan> plans;
    std::vector<bool> ahead;  // per file: fetched by the workers
    std::vector<Utils::HTTP::FetchRequest> requests;
    std::vector<std::vector<std::string>> newFolders;  // per file: the folders its fetch ahead may make
    std::set<std::string> partials;                    // lower case
    std::vector<size_t> fileOfRequest;                 // per request: its file
    for (const Manifest::FileEntry& entry : toFetch) {
        plans.push_back(PlanFetch(entry));
        FetchPlan& plan = plans.back();
        ahead.push_back(false);
        newFolders.push_back({});
        if (!plan.allowed) break;  // fetched up to here, refused when its turn comes
        if (!pass.manifest->GetString("PATCH", entry.key).empty() ||
            (MayResume(pass, entry) && Utils::FileSystem::IsFile(plan.partial))) {
            partials.insert(Utils::String::Lowered(plan.partial));
            continue;
        }
        // Two entries of one file (names differing in case, or the self-name
        // rule) would share a temporary file while both are fetched.
        for (int copy = 2; !partials.insert(Utils::String::Lowered(plan.partial)).second; ++copy) {
            plan.partial = Utils::FileSystem::PartialName(plan.target, plan.remoteName + "#" + std::to_string(copy));
        }
        Utils::HTTP::FetchRequest request;
        request.server = m_szDownloadUrl;
        request.remoteName = plan.remoteName;
        request.tempPath = plan.partial;
        // A file that is moved into place as it arrives is flushed by the
        // worker that wrote it, not on this thread, which every file waits for.
        request.flush = !plan.compressed;
        // A package host serves files, not sessions.
        request.cookies = false;
        requests.push_back(request);
        fileOfRequest.push_back(plans.size() - 1);
        newFolders.back() = MissingFoldersOf(plan.partial);
        ahead.back() = true;
    }

    PassFileProgress fileBar(m_pOverall, fileOfRequest);
    std::unique_ptr<Utils::HTTP::FetchAhead> fetch;
    for (size_t i = 0; i < plans.size(); ++i) {
        const FetchPlan& plan = plans[i];
        if (m_pOverall) m_pOverall->Begin(i);
        Utils::Result result = Allowed(plan);
        FetchedFile file;
        if (result && !ahead[i]) {
            result = FetchPackageFile(pass, toFetch[i], file);
        } else if (result) {
            AnnounceDownload(plan, m_szDownloadUrl);
            // Started once the first file is announced: with one download at
            // a time, every request follows its file's status line.
            if (!fetch) fetch.reset(new Utils::HTTP::FetchAhead(requests, m_nFetchAhead, fileBar));
            Utils::HTTP::FetchResult fetched;
            FetchMode mode;  // a download from the first byte: nothing was continued
            if (!fetch->Next(fetched)) fetched.outcome = Utils::Result::Failure(Utils::Reason::Cancelled);
            if (m_pOverall) m_pOverall->Length(i, fetched.length);
            result = Downloaded(plan, fetched, MayResume(pass, toFetch[i]));
            if (result) result = FinishPackageFile(pass, toFetch[i], plan, file, mode);
            file.flushed = result && requests[fetched.index].flush && !file.decoded;
        }
        if (result) result = CommitPackageFile(toFetch[i], file);
        if (!result) {
            if (fetch) fetch->Stop();
            RemoveFoldersMadeAfter(i, newFolders);
            return result;
        }
        if (m_pOverall) m_pOverall->Committed(i);
    }
    return Utils::Result::Success();
}

// Fetches the file into a temporary file beside its place (a patch applied to
// the installed file, or the whole file: download or copy, then unpacking) and
// checks its digest when the manifest declares one. The installed file and its
// record are not touched; on failure nothing is left but a cut download that
// the next run may continue. A signed release's file is checked before it is
// unpacked too.
Utils::Result DownloadManager::FetchPackageFile(const Pass& pass, const Manifest::FileEntry& entry,
                                                FetchedFile& out) {
    if (pass.Online() && FetchByPatch(pass, entry, out)) return Utils::Result::Success();
    FetchMode mode;
    mode.resume = pass.Online() && MayResume(pass, entry);
    if (mode.resume) {
        mode.resumedPackageDigest =
            LoweredDigest(pass.manifest->GetString(SignedRelease::kPackageDigestSection, entry.key));
    }
    const FetchMode again = mode;
    const Utils::Result result = FetchWholeFile(pass, entry, out, mode);
    if (result || !mode.resumedAndRejected) return result;
    // The server's file behind that name is not the one the earlier bytes came from.
    EngineLog::Text(kFunction, "continued download rejected, fetched whole: ", entry.key);
    mode = again;
    return FetchWholeFile(pass, entry, out, mode);
}

Utils::Result DownloadManager::FetchWholeFile(const Pass& pass, const Manifest::FileEntry& entry, FetchedFile& out,
                                              FetchMode& mode) {
    FileDigests digests;
    const Source source = pass.Online() ? Source::Server : Source::WorkFolder;
    const Utils::Result result = FetchToTemporary(source, Unpack::Yes, entry.key, entry.spec, entry.key,
                                                  m_szDownloadUrl, SignedDigests(pass, entry, digests), out, &mode);
    return result ? CheckDeclaredDigest(pass, entry, out, mode) : result;
}

Utils::Result DownloadManager::FinishPackageFile(const Pass& pass, const Manifest::FileEntry& entry,
                                                 const FetchPlan& plan, FetchedFile& out, FetchMode& mode) {
    FileDigests digests;
    const Utils::Result result = FinishFetch(plan, SignedDigests(pass, entry, digests), out, mode);
    return result ? CheckDeclaredDigest(pass, entry, out, mode) : result;
}

const DownloadManager::FileDigests* DownloadManager::SignedDigests(const Pass& pass, const Manifest::FileEntry& entry,
                                                                   FileDigests& storage) const {
    if (!pass.signedRelease) return nullptr;
    storage.package = LoweredDigest(pass.manifest->GetString(SignedRelease::kPackageDigestSection, entry.key));
    storage.installed = LoweredDigest(entry.checksum);
    return &storage;
}

Utils::Result DownloadManager::CheckDeclaredDigest(const Pass& pass, const Manifest::FileEntry& entry,
                                                   FetchedFile& file, FetchMode& mode) {
    if (pass.signedRelease || !pass.fileDigests) return Utils::Result::Success();
    const std::string actual = Digest::Sha256OfFile(file.ready);
    const std::string expected = LoweredDigest(entry.checksum);
    if (!actual.empty() && actual == expected) return Utils::Result::Success();
    EngineLog::Text(kFunction, "SHA-256 mismatch, not installed: ", file.target);
    EngineLog::Text(kFunction, "expected=", expected);
    EngineLog::Text(kFunction, "actual=", actual);
    DeleteFileA(file.ready.c_str());
    file.ready.clear();
    mode.resumedAndRejected = mode.resumed;
    return Utils::Result::Failure(Utils::Reason::DigestMismatch, 0, file.target);
}

// A continued download is only as good as the check of the whole: without a
// declared digest the file is fetched whole.
bool DownloadManager::MayResume(const Pass& pass, const Manifest::FileEntry& entry) const {
    return pass.fileDigests || pass.signedRelease ||
           !pass.manifest->GetString(SignedRelease::kPackageDigestSection, entry.key).empty();
}

// Every way this can fail ends in a log line "patch not used (<why>)" and the
// whole file; a patch that worked in "patch applied:".
bool DownloadManager::FetchByPatch(const Pass& pass, const Manifest::FileEntry& entry, FetchedFile& out) {
    const std::string line = pass.manifest->GetString("PATCH", entry.key);
    if (line.empty()) return false;
    const std::string local = LocalPathFor(entry.key);
    const bool checkDigests = pass.fileDigests || pass.signedRelease;
    Manifest::PatchEntry patch;
    unsigned long long size = 0;
    std::string why;
    if (!Manifest::ParsePatchEntry(line, patch)) {
        why = "entry not understood";
    } else if (!ListedPatchSize(*pass.manifest, entry.key, size)) {
        why = "no size listed";
    } else if (Registration::InstalledChecksum(*m_pProductKey, m_szBrandName, entry.key) != patch.base) {
        why = "installed version is another";
    } else if (!Manifest::IsSafeRelativePath(local) || !Utils::FileSystem::IsFile(local)) {
        why = "no installed file";
    } else if (checkDigests && Digest::Sha256OfFile(local) != LoweredDigest(patch.base)) {
        why = "installed file changed";
    } else if (!Utils::FileSystem::IsFile(m_szDataDir + "\\vpatch.exe")) {
        why = "no vpatch.exe";
    }
    std::string patchTool;
    if (why.empty()) {
        const Utils::Result tool = m_tools.Program(m_szDataDir, "vpatch.exe", patchTool);
        if (!tool) why = Utils::DescribeFailure(tool);
    }
    FetchedFile fetched;
    if (why.empty()) {
        FetchMode mode;
        mode.resume = true;  // the patch's name carries its digest, checked below
        mode.quiet = true;
        mode.status = TextId::DownloadingPatch;
        FileDigests digests;
        digests.installed = patch.digest;
        if (!FetchToTemporary(Source::Server, Unpack::No, entry.key, patch.spec, entry.key, m_szDownloadUrl, &digests,
                              fetched, &mode)) {
            why = "patch download failed";
        }
    }
    if (why.empty()) {
        std::string display = entry.key;
        Utils::String::ReplaceAll(display, "__", "\\");
        if (display.size() > 3) {
            Dialog().SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::ApplyingPatch, {{"file", display}}));
        }
        const std::string result = Utils::FileSystem::ReplacementName(fetched.target);
        DWORD exitCode = 0;
        const bool ran = ApplyPatch(fetched.target, fetched.ready, result, FolderOf(patchTool), size, exitCode);
        DeleteFileA(fetched.ready.c_str());
        if (!ran || exitCode != 0) {
            why = "vpatch exit code " + std::to_string(static_cast<long>(exitCode));
        } else if (checkDigests && Digest::Sha256OfFile(result) != LoweredDigest(entry.checksum)) {
            why = "result SHA-256 mismatch";
        } else {
            out.target = fetched.target;
            out.ready = result;
            out.decoded = Manifest::IsPackedForm(entry);
            EngineLog::Text(kFunction, "patch applied: ", out.target);
            return true;
        }
        DeleteFileA(result.c_str());
    }
    EngineLog::Text(kFunction, "patch not used (" + why + "): ", local);
    return false;
}

// Moves the fetched file into place and records it. The old record is
// dropped before the move and put back if the move fails: a run cut short
// in between leaves the file unrecorded, so it is fetched again, never a
// record that names other content than the file holds.
// The old record is the one read when the pass began (one wineserver call
// per value read costs more than the move itself), unless this pass has
// written that name since.
Utils::Result DownloadManager::CommitPackageFile(const Manifest::FileEntry& entry, FetchedFile& file) {
    EngineLog::Text(kFunction, "commit: ", file.target);
    DWORD oldVersion;
    std::string oldChecksum;
    if (m_recordsAtStart && m_recordsChanged.insert(Utils::String::Lowered(entry.key)).second) {
        oldVersion = m_recordsAtStart->Version(entry.key);
        oldChecksum = m_recordsAtStart->Checksum(entry.key);
    } else {
        oldVersion = Registration::InstalledVersion(*m_pProductKey, m_szBrandName, entry.key);
        oldChecksum = Registration::InstalledChecksum(*m_pProductKey, m_szBrandName, entry.key);
    }
    const bool recorded = oldVersion != 0 || !oldChecksum.empty();
    if (!m_recordWriter) m_recordWriter.reset(new Registration::FileRecordWriter());
    Registration::FileRecordWriter& records = *m_recordWriter;
    if (recorded) records.Erase(*m_pProductKey, m_szBrandName, entry.key);
    const Utils::Result placed = PutInPlace(file);
    if (!placed) {
        if (recorded) records.Write(*m_pProductKey, m_szBrandName, entry.key, static_cast<int>(oldVersion), oldChecksum);
        return placed;
    }
    records.Write(*m_pProductKey, m_szBrandName, entry.key, entry.version, entry.checksum);
    m_bFilesChanged = true;
    return placed;
}

// The test download server also hands out a resource update; its result does
// not count.
void DownloadManager::FetchResourceUpdate(const Pass& pass) {
    if (m_szResourcesUrl == ORVANTA_TEST_HOST && pass.Online()) {
        GetFile(Source::Server, Unpack::No, "update.ini", Manifest::ResourceUpdateRequest(pass.request), "",
                m_szResourcesUrl);
    }
}

void DownloadManager::CreateShortcutsOnce(Pass& pass) {
    std::string icon = pass.manifest->GetString("GENERAL", "UNINSTALL_ICON");
    if (!icon.empty()) {
        if (Manifest::IsSafeRelativePath(icon)) {
            icon = m_szDataDir + "\\" + icon;
        } else {
            EngineLog::Text(kFunction, "UNINSTALL_ICON refused: ", icon);
            icon.clear();
        }
    }
    if (m_pProductKey->GetDword("IsOVNotFirst", m_szBrandName, 0) != 0) return;
    const std::string startMenu = BrandFolders::For(m_szBrandName).startMenu;
    if (!startMenu.empty()) {
        const Utils::Result recorded = BrandFolders::Record(startMenu, m_szBrandName);
        if (!recorded) {
            EngineLog::Failure(kFunction, Steps::kCreateShortcuts, recorded);
            return;
        }
    }
    pass.Step(Steps::kCreateShortcuts);
    const std::string target = m_szInstallDir + "\\" + m_szBrandName + ".exe";
    CreateShortcut(CSIDL_PROGRAMS, target, m_szBrandName, "", m_szBrandName, "");
    CreateShortcut(CSIDL_DESKTOP, target, m_szBrandName, "", "", "");
    CreateShortcut(CSIDL_PROGRAMS, target, "Uninstall", icon, m_szBrandName, "/uninstall");
    // Marked once all three are there: a run cut short before makes them again.
    m_pProductKey->SetDword("IsOVNotFirst", 1, true, m_szBrandName);
}

// The folders are measured only when this pass changed what is on disk (a
// file, or the installer's own copy) or the entry has no size yet (written by
// an earlier installer, which also left out the values completed here): an
// update check that fetches nothing does not walk the client's files. The
// entry itself is made by the self-copy alone.
void DownloadManager::RecordRelease(const Pass& pass) {
    if (!Registration::HasUninstallEntry(m_szBrandName)) return;
    const bool sizeMissing = Registration::RecordedSize(m_szBrandName) == Registration::kSizeUnknown;
    DWORD sizeKiB = Registration::kSizeUnknown;
    if (pass.firstInstall || m_bFilesChanged || sizeMissing) {
        sizeKiB = Registration::InstalledSizeKiB(m_szInstallDir, m_szDataDir);
        m_bFilesChanged = false;
        EngineLog::Int(kFunction, "EstimatedSize=", static_cast<int>(sizeKiB));
    }
    if (sizeMissing) Registration::CompleteUninstallEntry(m_szBrandName, m_szInstallDir);
    Registration::WriteReleaseValues(m_szBrandName, pass.manifest->GetString("GENERAL", "DISPLAY_VERSION"), sizeKiB);
}

// The tool is one of the installed files, started hidden from the client's
// folder with the installed executable's name twice; the procedure waits for it.
// It lies in the data folder (on Windows Vista not the install folder): it is
// started there, by its full path, and its command line names it as written.
void DownloadManager::RunPostInstallTool(Utils::IniFile& manifest) {
    const std::string tool = manifest.GetString("GENERAL", "EXE_UPDATERES");
    if (tool.empty()) return;
    const std::string installedExeName = m_szBrandName + ".exe";
    Utils::System::ProcessStart start;
    // Relative to the data folder; an empty EXE_WORK_PATH is the data folder itself.
    const std::string toolPath = Utils::FileSystem::JoinPath(m_szExeWorkPath, tool);
    const bool fits = toolPath.size() < kPostInstallCommandBuffer &&
                      FormatInto(start.commandLine, kPostInstallCommandBuffer, "%s %s ..\\%s", toolPath.c_str(),
                                 installedExeName.c_str(), installedExeName.c_str());
    if (!Manifest::IsSafeRelativePath(tool)) {
        // Not any program on the machine.
        EngineLog::Text(kFunction, "EXE_UPDATERES refused: ", tool);
    } else if (!fits) {
        EngineLog::Text(kFunction, "post-install command line too long: ", tool);
    } else {
        start.workDir = Utils::FileSystem::JoinPath(m_szDataDir, m_szExeWorkPath);
        start.visible = false;
        start.emptyDesktop = true;
        DWORD exitCode = 0;
        const Utils::Result copied = m_tools.Program(m_szDataDir, toolPath, start.application);
        if (!copied) {
            EngineLog::Failure(kFunction, "RunPostInstallTool", copied);
        } else if (!Utils::System::RunProcess(start, exitCode)) {
            EngineLog::Failure(kFunction, "RunPostInstallTool",
                               Utils::Result::Failure(Utils::Reason::ToolFailed, GetLastError(), start.application));
        }
    }
    FunnelReport(FUNNEL_POST_INSTALL_DONE);
}
