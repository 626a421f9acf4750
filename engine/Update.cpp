// One pass of the install/update procedure.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/ops/DialogOps.h"
#include "engine/Digest.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/InstallFolder.h"
#include "engine/Manifest.h"
#include "engine/Registration.h"
#include "funnel/FunnelReport.h"
#include "orvanta_config.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/ini/IniFile.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"

namespace {

const char* const kFunction = "DownloadManager::Update()";
const size_t kPathBuffer = 512;

std::string TempFolder() {
    char buffer[kPathBuffer] = {};
    DWORD length = GetTempPathA(sizeof(buffer), buffer);
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

std::string CurrentFolder(size_t limit) {
    char buffer[kPathBuffer] = {};
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(limit), buffer);
    return length > 0 && length < limit ? std::string(buffer, length) : std::string();
}

std::string OwnPath() {
    char buffer[kPathBuffer] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

// Runs a hidden process and waits for it without a time limit (the tools of
// the procedure are trusted to end). False when it could not be started.
bool RunHiddenAndWait(const char* application, char* commandLine, const char* workDir, DWORD& exitCode) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    char desktop[1] = {0};
    if (application) startup.lpDesktop = desktop;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, workDir,
                        &startup, &info)) {
        return false;
    }
    Utils::KernelHandle process(info.hProcess);
    Utils::KernelHandle thread(info.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode);
    return true;
}

} // namespace

void DownloadManager::RunCabinetTool(const std::string& cabinet, const std::string& tempDir) {
    char commandLine[256];
    int length = std::snprintf(commandLine, sizeof(commandLine), "cabarc.exe -r -p -o X %s %s\\", cabinet.c_str(),
                               tempDir.c_str());
    if (length < 0 || static_cast<size_t>(length) >= sizeof(commandLine)) {
        EngineLog::Text(kFunction, "cabinet command line too long: ", cabinet);
        return;
    }
    DWORD exitCode = 0;
    if (!RunHiddenAndWait(nullptr, commandLine, nullptr, exitCode)) {
        EngineLog::Int(kFunction, "cabarc.exe not started, error=", static_cast<int>(GetLastError()));
    } else {
        EngineLog::Int(kFunction, "cabarc.exe exit code=", static_cast<int>(exitCode));
    }
}

bool DownloadManager::Update(bool isUpdate) {
    const std::string tempDir = TempFolder();
    std::string stem;
    Utils::FileSystem::GetModulePath(stem, true, true, false);
    std::string ownFolder;
    Utils::FileSystem::GetModulePath(ownFolder, false, false, true);

    std::string manifestPath;
    std::string request;
    std::string currentLang;
    if (!isUpdate) {
        const std::string cabinet = Manifest::CabinetName(m_szIniFileName);
        if (Utils::FileSystem::IsFile(cabinet)) {
            Dialog().SetItemText(IDC_STATUS_TEXT, " Preparing installation files");
            RunCabinetTool(cabinet, tempDir);
            SetCurrentDirectoryA(tempDir.c_str());
        }
        manifestPath = m_szIniFileName;
    } else {
        std::string lastLang;
        std::string lastDate;
        Registration::ReadUpdateRecord(m_szProductId, lastLang, lastDate);
        bool keyFolderExists = Utils::RegistryKey(1, m_szProductId).KeyExists(stem);
        std::string query = Manifest::ProfileQuery(m_szIniFileName);
        currentLang = Manifest::LanguageOf(query);
        if (currentLang != lastLang || !keyFolderExists) lastDate.clear();
        EngineLog::Text(kFunction, "thisFileName=", stem);
        EngineLog::Int(kFunction, "IsKeyFolderExist", keyFolderExists ? 1 : 0);
        request = Manifest::ManifestRequest(query, lastDate, m_szRequestBrand);
        manifestPath = tempDir + m_szIniFileName;
        EngineLog::Text(kFunction, "LastUpdateDate=", lastDate);
        EngineLog::Text(kFunction, "LastUpdateLang=", lastLang);
        EngineLog::Text(kFunction, "CurrentLang=", currentLang);
    }

    std::string statusText = "Installation data";
    if (ownFolder.find("\\" + stem + "\\") != std::string::npos) statusText = " Checking for updates";

    if (m_szWorkDir.empty()) m_szWorkDir = CurrentFolder(500);

    if (isUpdate && !GetFile(true, false, manifestPath, request, statusText, m_szResourcesUrl)) return false;

    Utils::IniFile manifest(manifestPath, 1);
    const bool bIsNoUpdateAvilable = manifest.GetInt("NO_UPDATE_AVILABLE", "VALUE") == 1;
    std::string manifestText;
    manifest.ToString(manifestText);
    EngineLog::Int(kFunction, "bIsNoUpdateAvilable=", bIsNoUpdateAvilable ? 1 : 0);
    EngineLog::Text(kFunction, "iniFile:", manifestText);

    if (isUpdate) {
        DeleteFileA(manifestPath.c_str());
        DeleteFileA(m_szIniFileName.c_str());
    }

    m_szBrandName = manifest.GetString("GENERAL", "BRAND_NAME");
    m_szExeName = manifest.GetString("GENERAL", "EXE_NAME");
    m_szExeWorkPath = manifest.GetString("GENERAL", "EXE_WORK_PATH");
    m_szDownloadUrl = manifest.GetString("GENERAL", "DOWNLOAD_URL");
    if (m_szDownloadUrl.empty()) m_szDownloadUrl = m_szResourcesUrl;
    // The brand names a folder, a file and a registry key: anything that is
    // not a plain name counts as no brand at all.
    if (!m_szBrandName.empty() && !Manifest::IsPlainFolderName(m_szBrandName)) {
        EngineLog::Text(kFunction, "BRAND_NAME refused: ", m_szBrandName);
        m_szBrandName.clear();
    }

    if (bIsNoUpdateAvilable) {
        GetInstallFolder(m_szBrandName, m_szDataDir, true);
        return true;
    }

    if (m_szBrandName.empty()) {
        EngineLog::Line(kFunction, "Error: m_szBrandName.size()<=0");
        return false;
    }
    if (!m_szExeWorkPath.empty() && !Manifest::IsSafeRelativePath(m_szExeWorkPath)) {
        EngineLog::Text(kFunction, "Error: EXE_WORK_PATH refused: ", m_szExeWorkPath);
        m_szExeWorkPath.clear();
        return false;
    }

    if (!m_pProductKey) m_pProductKey.reset(new Utils::RegistryKey(1, m_szProductId));
    const std::string startFolder = CurrentFolder(kPathBuffer);
    const std::string ownPath = OwnPath();
    GetInstallFolder(m_szBrandName, m_szInstallDir, false);
    GetInstallFolder(m_szBrandName, m_szDataDir, true);

    const std::string installedExeName = m_szBrandName + ".exe";
    Registration::StopOtherRunningCopy(installedExeName);

    bool firstInstall = false;
    std::string titleSuffix;
    const std::string installedCopy = m_szInstallDir + "\\" + installedExeName;
    if (EqualsIgnoringCase(ownPath, installedCopy)) {
        if (!isUpdate) return true;
        titleSuffix = " Update";
    } else {
        Registration::CopyResult copied = Registration::CopyInBlocks(ownPath, installedCopy);
        if (copied != Registration::COPY_DONE) {
            EngineLog::Int(kFunction, "self-copy failed, result=", static_cast<int>(copied));
            // A partial copy would be started by the shortcuts and the uninstall entry.
            if (copied != Registration::COPY_TARGET_UNWRITABLE) DeleteFileA(installedCopy.c_str());
            Dialog().FailAndExit("Please download again with \"Save\"");
            return false;
        }
        Registration::WriteUninstallEntry(m_szBrandName, m_szInstallDir);
        FunnelReport(50);
        firstInstall = true;
        titleSuffix = isUpdate ? " Update" : " Installation";
    }
    Dialog().SetTitle(m_szBrandName + titleSuffix);

    if (!FetchFiles(isUpdate, manifest)) return false;

    if (m_szResourcesUrl == ORVANTA_TEST_HOST && isUpdate) {
        GetFile(true, false, "update.ini", Manifest::ResourceUpdateRequest(request), "", m_szResourcesUrl);
    }

    if (startFolder != m_szInstallDir) CreateShortcutsOnce(manifest);

    Registration::ApplyRegSection(*m_pProductKey, m_szBrandName, manifest);
    Registration::WriteReferrer(*m_pProductKey, m_szBrandName, m_szReferrer);

    if (firstInstall) RunPostInstallTool(manifest);

    Registration::WriteUpdateRecord(m_szProductId, currentLang, manifest.GetString("PRODUCT_REG", "LastUpdateDate"));
    return true;
}

bool DownloadManager::FetchFiles(bool isUpdate, Utils::IniFile& manifest) {
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

    std::vector<Manifest::FileEntry> toFetch;
    {
        const Registration::InstalledRecords installed(m_szProductId, m_szBrandName);
        for (const Manifest::FileEntry& entry : entries) {
            if (static_cast<int>(installed.Version(entry.key)) < entry.version ||
                installed.Checksum(entry.key) != entry.checksum) {
                toFetch.push_back(entry);
            }
        }
    }

    if (!toFetch.empty()) {
        std::string skin = manifest.GetString("GENERAL", "SKIN_URL");
        if (!skin.empty()) Dialog().ShowWebPage(skin);
    }
    Dialog().ShowProgressBar(IDC_OVERALL_PROGRESS, static_cast<int>(toFetch.size()) + 1);
    Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, 1);

    std::string digest = manifest.GetString("GENERAL", "FILE_DIGEST");
    const bool verifySha256 = lstrcmpiA(digest.c_str(), "SHA256") == 0;

    for (size_t i = 0; i < toFetch.size(); ++i) {
        const Manifest::FileEntry& entry = toFetch[i];
        if (!GetFile(isUpdate, true, entry.key, entry.spec, entry.key, m_szDownloadUrl)) {
            EngineLog::Line(kFunction, "!GetFile()");
            return false;
        }
        if (verifySha256) {
            const std::string path = LocalPathFor(entry.key);
            std::string actual = Digest::Sha256OfFile(path);
            std::string expected = entry.checksum;
            Utils::String::ToLower(expected);
            if (actual.empty() || actual != expected) {
                EngineLog::Text(kFunction, "SHA-256 mismatch, file removed: ", path);
                EngineLog::Text(kFunction, "expected=", expected);
                EngineLog::Text(kFunction, "actual=", actual);
                DeleteFileA(path.c_str());
                EngineLog::Line(kFunction, "!GetFile()");
                return false;
            }
        }
        Registration::WriteFileRecord(*m_pProductKey, m_szBrandName, entry.key, entry.version, entry.checksum);
        Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, static_cast<int>(i) + 2);
    }
    return true;
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

void DownloadManager::RunPostInstallTool(Utils::IniFile& manifest) {
    const std::string tool = manifest.GetString("GENERAL", "EXE_UPDATERES");
    if (tool.empty()) return;
    const std::string installedExeName = m_szBrandName + ".exe";
    char application[300];
    char commandLine[300];
    int appLength = std::snprintf(application, sizeof(application), "%s\\%s", m_szExeWorkPath.c_str(), tool.c_str());
    int cmdLength = std::snprintf(commandLine, sizeof(commandLine), "%s %s ..\\%s", application,
                                  installedExeName.c_str(), installedExeName.c_str());
    if (!Manifest::IsSafeRelativePath(tool)) {
        // The tool must be one of the installed files, not any program on the machine.
        EngineLog::Text(kFunction, "EXE_UPDATERES refused: ", tool);
    } else if (appLength < 0 || cmdLength < 0 || static_cast<size_t>(appLength) >= sizeof(application) ||
               static_cast<size_t>(cmdLength) >= sizeof(commandLine)) {
        EngineLog::Text(kFunction, "post-install command line too long: ", tool);
    } else {
        const std::string workDir = m_szInstallDir + "\\" + m_szExeWorkPath;
        DWORD exitCode = 0;
        if (!RunHiddenAndWait(application, commandLine, workDir.c_str(), exitCode)) {
            EngineLog::Int(kFunction, "post-install tool not started, error=", static_cast<int>(GetLastError()));
        }
    }
    FunnelReport(60);
}
