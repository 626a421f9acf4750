// The update worker: both passes, then the client's start and the process's end.
#include <windows.h>

#include <new>
#include <string>

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/InstallFolder.h"
#include "engine/InstallLock.h"
#include "engine/Manifest.h"
#include "engine/Registration.h"
#include "engine/Steps.h"
#include "funnel/FailureReport.h"
#include "orvanta_config.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/SendHttp.h"
#include "utils/log/Logger.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/MachineLock.h"
#include "utils/system/System.h"
#include "utils/thread/Thread.h"

namespace {

const char* const kHelper = "DownloadManager::RunThreadFuncHelper()";
// Outstanding funnel reports get this long before the process ends.
const DWORD kPendingReportsWaitMs = 1500;

} // namespace

const char kOutOfMemoryText[] = "Not enough memory to go on with the installation. Please close other programs "
                                "and start it again.";

Utils::Result RunCatchingAllocationFailure(Utils::Result (*body)(void*), void* argument) {
    try {
        return body(argument);
    } catch (const std::bad_alloc&) {
        return Utils::Result::Failure(Utils::Reason::OutOfMemory, ERROR_NOT_ENOUGH_MEMORY);
    }
}

std::string DownloadManager::FatalMessage(const Utils::Result& failure) {
    switch (failure.reason) {
    case Utils::Reason::AnotherInstallation:
        return "Another installation of " + failure.detail + " is still running. Please try again when it has finished.";
    case Utils::Reason::ClientRunning:
        return "Can't update while program is open";
    case Utils::Reason::SelfCopyFailed:
        return "Please download again with \"Save\"";
    case Utils::Reason::OutOfMemory:
        return kOutOfMemoryText;
    default:
        return std::string();
    }
}

void DownloadManager::EndRun(const Utils::Result& result) {
    const std::string message = FatalMessage(result);
    if (!message.empty()) Dialog().FailAndExit(message);
    Utils::HTTP::WaitForPendingSends(kPendingReportsWaitMs);
    ExitProcess(0);
}

DownloadManager::DownloadManager()
    : m_dwInstallLockWaitMs(InstallLock::kInstallerWaitMs), m_nFetchAhead(ORVANTA_FETCH_AHEAD) {}
DownloadManager::~DownloadManager() = default;

void DownloadManager::Prepare(const std::string& resourcesUrl, const std::string& productId,
                              const std::string& brandId, const std::string& iniFileName) {
    Log(AppLogger(), 1, "S", "DownloadManager::StartUpdate()", "s", "resourcesUrl=", "S", resourcesUrl.c_str(), "s",
        "productId=", "S", productId.c_str(), "s", "brandId=", "S", brandId.c_str(), "s", "iniFileName=", "S",
        iniFileName.c_str(), nullptr);
    m_szResourcesUrl = resourcesUrl;
    m_szIniFileName = iniFileName.empty() ? std::string() : iniFileName.substr(1);
    m_szProductId = productId;
    m_szBrandId = brandId;
    m_szWorkDir.clear();
    m_szBrandName.clear();
    m_pProductKey.reset();
    m_szReferrer = StampReferrer();
    m_szRequestBrand = BrandNameFor(StampValue(SLOT_PRODUCT), StampValue(SLOT_BRAND_ID));
}

void DownloadManager::StartUpdate(std::string resourcesUrl, std::string productId, std::string brandId,
                                  std::string iniFileName) {
    Prepare(resourcesUrl, productId, brandId, iniFileName);
    Utils::StartThread(&DownloadManager::RunThreadFunc, this);
}

DWORD DownloadManager::RunThreadFunc(void* argument) {
    EndRun(RunCatchingAllocationFailure(
        [](void* manager) { return static_cast<DownloadManager*>(manager)->RunThreadFuncHelper(); }, argument));
}

std::string DownloadManager::ChooseLaunchCommand(bool onlineOk, std::string& workDir) {
    const std::string ownPath = Utils::FileSystem::GetOwnPath();
    size_t slash = ownPath.rfind('\\');
    const std::string ownFolder = slash == std::string::npos ? std::string() : ownPath.substr(0, slash + 1);
    const std::string ownName = slash == std::string::npos ? ownPath : ownPath.substr(slash + 1);
    const std::string pendingName = "_" + ownName;

    if (!onlineOk) {
        m_szBrandName = ownName.substr(0, ownName.find('.'));
        m_szExeName = "guiclient.exe";
        m_szExeWorkPath = "bin";
    }
    // The names choose a folder and a program to start: checked here as well,
    // whoever chose them (a no-update answer names no brand, say).
    if (!Utils::FileSystem::IsPlainFolderName(m_szBrandName) ||
        (!m_szExeWorkPath.empty() && !Manifest::IsSafeRelativePath(m_szExeWorkPath))) {
        EngineLog::Text(kHelper, "nothing started, unusable names: ", m_szBrandName + " / " + m_szExeWorkPath);
        return std::string();
    }
    // A run that installed has made the data folder; it is not made here, where
    // an empty folder of the fall-back name would later count as someone else's.
    const std::string dataDir = InstallFolderPath(m_szBrandName, true);
    if (Utils::FileSystem::IsDirectory(dataDir)) {
        GetInstallFolder(m_szBrandName, m_szDataDir, true);
    } else {
        m_szDataDir = dataDir;
    }
    // An empty EXE_WORK_PATH is the data folder itself.
    workDir = Utils::FileSystem::JoinPath(m_szDataDir, m_szExeWorkPath);

    const std::string pending = m_szDataDir + "\\" + pendingName;
    if (GetFileAttributesA(pending.c_str()) != INVALID_FILE_ATTRIBUTES) return pending;
    std::string command;
    const std::string client = workDir + "\\" + m_szBrandName + ".exe";
    if (!m_szExeName.empty() && GetFileAttributesA(client.c_str()) != INVALID_FILE_ATTRIBUTES) {
        command = client;
    } else if (!onlineOk) {
        command = ownFolder + "Bin\\" + m_szBrandName + ".exe";
    }
    // Started as the client, the installer would start itself again and again.
    if (!command.empty() && IsInstallerItself(command)) {
        EngineLog::Text(kHelper, "not started, the installer itself: ", command);
        return std::string();
    }
    return command;
}

bool DownloadManager::IsInstallerItself(const std::string& path) const {
    const std::string full = Utils::FileSystem::GetFullPath(path, "");
    const std::string installedCopy = InstallFolderPath(m_szBrandName, false) + "\\" + m_szBrandName + ".exe";
    return full == Utils::FileSystem::GetFullPath(Utils::FileSystem::GetOwnPath(), "") ||
           full == Utils::FileSystem::GetFullPath(installedCopy, "");
}

bool DownloadManager::StartClient(const std::string& command, const std::string& workDir) {
    if (command.empty()) return false;
    Utils::System::ProcessStart start;
    start.application = command;
    // The program's own path is the first argument it sees: unquoted, a path
    // under "Program Files" would reach it split into "C:\Program" and "Files\...".
    start.commandLine = "\"" + command + "\"";
    // The fall-back client may sit where no data folder exists yet: a start
    // in a missing working folder always fails, so use the program's own.
    start.workDir = workDir;
    if (!Utils::FileSystem::IsDirectory(start.workDir)) start.workDir = command.substr(0, command.rfind('\\'));
    return Utils::System::StartProcess(start);
}

void DownloadManager::ReportFailure(const Utils::Result& failure, const std::string& stage) const {
    FailureReport(failure, stage, m_szAskedDate);
}

Utils::Result DownloadManager::RunThreadFuncHelper() {
    // Before anything is written (the offline pass unpacks into the temporary
    // folder, the online pass writes the manifest there): the profile's brand
    // is the one known now; the pass takes the manifest's brand's lock too.
    Utils::Result result = HoldInstallLock(m_szRequestBrand);
    if (!result) {
        EngineLog::Failure(kHelper, Steps::kHoldInstallLock, result);
        ReportFailure(result, Steps::kHoldInstallLock);
        return result;
    }
    // The offline pass's own failures (no cabinet, say) leave the online pass
    // to do the work; the player must be told only of a fatal one.
    result = Update(PassKind::Offline);
    if (!result && !FatalMessage(result).empty()) {
        ReportFailure(result, m_szFailedStep);
        return result;
    }
    result = Update(PassKind::Online);
    if (!result) ReportFailure(result, m_szFailedStep);
    if (!result && !FatalMessage(result).empty()) return result;
    if (result) Dialog().SetItemText(IDC_STATUS_TEXT, "Finished update");

    std::string workDir;
    const std::string command = ChooseLaunchCommand(result.Ok(), workDir);
    if (!command.empty() && !StartClient(command, workDir)) {
        const Utils::Result notStarted = Utils::Result::Failure(Utils::Reason::ClientNotStarted, GetLastError(), command);
        EngineLog::Failure(kHelper, Steps::kStartClient, notStarted);
        // After a failed pass the start of a fall-back is a guess: the pass's report says what went wrong.
        if (result) ReportFailure(notStarted, Steps::kStartClient);
    }
    return Utils::Result::Success();
}
