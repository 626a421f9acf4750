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
#include "utils/string/String.h"
#include "utils/system/MachineLock.h"
#include "utils/system/System.h"
#include "utils/thread/Thread.h"

namespace {

const char* const kHelper = "DownloadManager::RunThreadFuncHelper()";
// Outstanding funnel reports get this long before the process ends.
const DWORD kPendingReportsWaitMs = 1500;

} // namespace

Utils::Result RunCatchingAllocationFailure(Utils::Result (*body)(void*), void* argument) {
    try {
        return body(argument);
    } catch (const std::bad_alloc&) {
        return Utils::Result::Failure(Utils::Reason::OutOfMemory, ERROR_NOT_ENOUGH_MEMORY);
    }
}

bool DownloadManager::IsFatal(const Utils::Result& failure) {
    switch (failure.reason) {
    case Utils::Reason::AnotherInstallation:
    case Utils::Reason::ClientRunning:
    case Utils::Reason::SelfCopyFailed:
    case Utils::Reason::OutOfMemory:
        return true;
    default:
        return false;
    }
}

std::string DownloadManager::EstablishedText(const Utils::Result& failure) {
    if (!failure.said.empty()) return failure.said;
    switch (failure.reason) {
    case Utils::Reason::ClientRunning: return "Can't update while program is open";
    case Utils::Reason::SelfCopyFailed: return "Please download again with \"Save\"";
    default: return std::string();
    }
}

PlayerMessage DownloadManager::FatalMessage(const Utils::Result& failure, const std::string& game) {
    return PlayerMessageFor(failure, game, EstablishedText(failure), false);
}

std::string DownloadManager::GameName() const {
    if (!m_szBrandName.empty()) return m_szBrandName;
    return m_szRequestBrand.empty() ? std::string("Orvanta") : m_szRequestBrand;
}

void DownloadManager::EndRun(const Utils::Result& result) {
    if (!result && IsFatal(result)) Dialog().FailWith(FatalMessage(result, GameName()));
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
    static_cast<DownloadManager*>(argument)->EndRun(RunCatchingAllocationFailure(
        [](void* manager) { return static_cast<DownloadManager*>(manager)->RunThreadFuncHelper(); }, argument));
}

std::string DownloadManager::ChooseLaunchCommand(bool onlineOk, std::string& workDir) {
    Launch launch = PlanLaunch(onlineOk);
    m_szBrandName = launch.brand;
    m_szExeName = launch.exeName;
    m_szExeWorkPath = launch.exeWorkPath;
    if (launch.namesUsable) {
        // A run that installed has made the data folder; it is not made here, where
        // an empty folder of the fall-back name would later count as someone else's.
        if (Utils::FileSystem::IsDirectory(launch.dataDir)) {
            GetInstallFolder(m_szBrandName, m_szDataDir, true);
        } else {
            m_szDataDir = launch.dataDir;
        }
    }
    workDir = launch.workDir;
    return launch.command;
}

DownloadManager::Launch DownloadManager::PlanLaunch(bool onlineOk) const {
    const std::string ownPath = Utils::FileSystem::GetOwnPath();
    size_t slash = ownPath.rfind('\\');
    const std::string ownFolder = slash == std::string::npos ? std::string() : ownPath.substr(0, slash + 1);
    const std::string ownName = slash == std::string::npos ? ownPath : ownPath.substr(slash + 1);
    Launch launch;
    launch.brand = onlineOk ? m_szBrandName : ownName.substr(0, ownName.find('.'));
    launch.exeName = onlineOk ? m_szExeName : "guiclient.exe";
    launch.exeWorkPath = onlineOk ? m_szExeWorkPath : "bin";
    // The names choose a folder and a program to start: checked here as well,
    // whoever chose them (a no-update answer names no brand, say).
    if (!Utils::FileSystem::IsPlainFolderName(launch.brand) ||
        (!launch.exeWorkPath.empty() && !Manifest::IsSafeRelativePath(launch.exeWorkPath))) {
        EngineLog::Text(kHelper, "nothing started, unusable names: ", launch.brand + " / " + launch.exeWorkPath);
        return launch;
    }
    launch.namesUsable = true;
    launch.dataDir = InstallFolderPath(launch.brand, true);
    // An empty EXE_WORK_PATH is the data folder itself.
    launch.workDir = Utils::FileSystem::JoinPath(launch.dataDir, launch.exeWorkPath);

    const std::string pending = launch.dataDir + "\\_" + ownName;
    const std::string client = launch.workDir + "\\" + launch.brand + ".exe";
    if (GetFileAttributesA(pending.c_str()) != INVALID_FILE_ATTRIBUTES) {
        launch.command = pending;
    } else if (!launch.exeName.empty() && GetFileAttributesA(client.c_str()) != INVALID_FILE_ATTRIBUTES) {
        launch.command = client;
    } else if (!onlineOk) {
        launch.command = ownFolder + "Bin\\" + launch.brand + ".exe";
    }
    // Started as the client, the installer would start itself again and again.
    if (!launch.command.empty() && IsInstallerItself(launch.command, launch.brand)) {
        EngineLog::Text(kHelper, "not started, the installer itself: ", launch.command);
        launch.command.clear();
    }
    return launch;
}

bool DownloadManager::InstalledGameCanStart() const {
    const Launch launch = PlanLaunch(false);
    return !launch.command.empty() && Utils::FileSystem::IsFile(launch.command);
}

bool DownloadManager::IsInstallerItself(const std::string& path, const std::string& brand) const {
    const std::string full = Utils::FileSystem::GetFullPath(path, "");
    const std::string installedCopy = InstallFolderPath(brand, false) + "\\" + brand + ".exe";
    return full == Utils::FileSystem::GetFullPath(Utils::FileSystem::GetOwnPath(), "") ||
           full == Utils::FileSystem::GetFullPath(installedCopy, "");
}

bool DownloadManager::StartClient(const std::string& command, const std::string& workDir) {
    if (command.empty()) return false;
    // A newer installer waiting as "_<name>.exe" takes over this run's
    // rights; a game never runs with an installer's.
    const std::string name = command.substr(command.rfind('\\') + 1);
    const bool pendingInstaller = !name.empty() && name[0] == '_' &&
                                  Utils::String::Lowered(name) == Utils::String::Lowered(
                                      "_" + Utils::FileSystem::GetOwnName(Utils::FileSystem::NameForm::WithExtension));
    Utils::System::ProcessStart start;
    start.application = command;
    // The program's own path is the first argument it sees: unquoted, a path
    // under "Program Files" would reach it split into "C:\Program" and "Files\...".
    start.commandLine = "\"" + command + "\"";
    // The fall-back client may sit where no data folder exists yet: a start
    // in a missing working folder always fails, so use the program's own.
    start.workDir = workDir;
    if (!Utils::FileSystem::IsDirectory(start.workDir)) start.workDir = command.substr(0, command.rfind('\\'));
    if (pendingInstaller) return Utils::System::StartProcess(start);
    Utils::System::PlayerRights rights = Utils::System::PlayerRights::Own;
    const bool started = Utils::System::StartAsPlayer(start, &rights);
    static const char* const kRightsNames[] = {"own", "shell token", "linked token", "refused"};
    EngineLog::Text(kHelper, "client started with the player's rights: ", kRightsNames[static_cast<int>(rights)]);
    return started;
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
    if (!result && IsFatal(result)) {
        ReportFailure(result, m_szFailedStep);
        return result;
    }
    // Each try goes on where the last one stopped: what it put in place is
    // recorded, and a cut download is continued.
    for (;;) {
        result = Update(PassKind::Online);
        if (result || IsFatal(result)) break;
        if (!TellFailure(result)) break;
        m_bRetrying = true;
        EngineLog::Text(kHelper, "tried again after: ", Utils::DescribeFailure(result));
    }
    // One report of the run's end: a failure the player retried past is no failed run.
    if (!result) ReportFailure(result, m_szFailedStep);
    if (!result && IsFatal(result)) return result;
    if (result) Dialog().SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::FinishedUpdate));

    std::string workDir;
    const std::string command = ChooseLaunchCommand(result.Ok(), workDir);
    if (m_bWaitedForAnotherRun && ShowRunningClient(command)) return Utils::Result::Success();
    if (!command.empty() && !StartClient(command, workDir)) {
        const Utils::Result notStarted = Utils::Result::Failure(Utils::Reason::ClientNotStarted, GetLastError(), command);
        EngineLog::Failure(kHelper, Steps::kStartClient, notStarted);
        // After a failed pass the start of a fall-back is a guess: the pass's report says what went wrong.
        if (result) ReportFailure(notStarted, Steps::kStartClient);
    }
    return Utils::Result::Success();
}

bool DownloadManager::TellFailure(const Utils::Result& failure) {
    const bool playable = InstalledGameCanStart();
    // An update that cannot go on says nothing and the installed game starts,
    // as it always did; what players were always told (a download that
    // failed) they are still told, with a way on.
    if (playable && failure.said.empty() && !IsRetryable(failure)) {
        EngineLog::Failure(kHelper, "update not possible, the installed game starts", failure);
        return false;
    }
    const PlayerMessage message = PlayerMessageFor(failure, GameName(), EstablishedText(failure), playable);
    return Dialog().Tell(message) == IDRETRY && message.OffersRetry();
}

bool DownloadManager::ShowRunningClient(const std::string& command) const {
    if (command.empty()) return false;
    const std::vector<DWORD> running = Utils::System::ProcessesOf(command);
    if (running.empty()) return false;
    // The run waited for another one, which has started the game already.
    EngineLog::Text(kHelper, "already running, brought to the front: ", command);
    for (DWORD id : running) {
        if (Utils::System::BringToFront(id)) break;
    }
    return true;
}
