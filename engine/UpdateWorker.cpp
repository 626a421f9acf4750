// The update worker: both passes, then the client's start and the process's end.
#include <windows.h>

#include <string>

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/InstallFolder.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/SendHttp.h"
#include "utils/log/Logger.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/System.h"
#include "utils/thread/Thread.h"

namespace {

const char* const kHelper = "DownloadManager::RunThreadFuncHelper()";
// Outstanding funnel reports get this long before the process ends.
const DWORD kPendingReportsWaitMs = 1500;

} // namespace

DownloadManager::DownloadManager() = default;
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
    static_cast<DownloadManager*>(argument)->RunThreadFuncHelper();
    return 0;
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
    GetInstallFolder(m_szBrandName, m_szDataDir, true);
    workDir = m_szDataDir + "\\" + m_szExeWorkPath;

    // The current folder is the data folder now.
    if (GetFileAttributesA(pendingName.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return m_szDataDir + "\\" + pendingName;
    }
    const std::string client = m_szDataDir + "\\" + m_szExeWorkPath + "\\" + m_szBrandName + ".exe";
    if (!m_szExeName.empty() && GetFileAttributesA(client.c_str()) != INVALID_FILE_ATTRIBUTES) return client;
    if (!onlineOk) return ownFolder + "Bin\\" + m_szBrandName + ".exe";
    return std::string();
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

void DownloadManager::RunThreadFuncHelper() {
    Update(false);
    const bool ok = Update(true);
    if (ok) {
        Dialog().SetItemText(IDC_STATUS_TEXT, "Finished update");
    } else {
        EngineLog::Line(kHelper, "Error: couldn't connect to server.");
    }

    std::string workDir;
    const std::string command = ChooseLaunchCommand(ok, workDir);
    SetLastError(0);
    if (!command.empty() && !StartClient(command, workDir)) {
        EngineLog::Text(kHelper, "could not start: ", command);
    }
    Utils::HTTP::WaitForPendingSends(kPendingReportsWaitMs);
    ExitProcess(0);
}
