// Fetching one file: download or copy, then optional unpacking.
#include <windows.h>

#include <string>

#include "app/ops/DialogOps.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/Manifest.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/FileDownloaderListener.h"
#include "utils/log/Logger.h"
#include "utils/string/String.h"

namespace {

const char* const kFunction = "DownloadManager::GetFile()";

std::string ExtensionOf(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool IsAbsolute(const std::string& path) {
    return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

} // namespace

std::string DownloadManager::LocalPathFor(const std::string& localPath) const {
    std::string local = localPath;
    Utils::String::ReplaceAll(local, "__", "\\");
    // An empty EXE_WORK_PATH is the data folder itself.
    const std::string exePath = Utils::FileSystem::JoinPath(m_szExeWorkPath, m_szExeName);
    if (CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, local.c_str(), -1, exePath.c_str(), -1) ==
        CSTR_EQUAL) {
        const std::string renamed = Utils::FileSystem::JoinPath(m_szExeWorkPath, m_szBrandName + ".exe");
        // Where the data folder is the install folder, the brand's name at its
        // top is the installed copy of the installer: the client keeps its own.
        const bool isInstalledCopy =
            !m_szInstallDir.empty() && Utils::FileSystem::GetFullPath(renamed, m_szDataDir) ==
                                           Utils::FileSystem::GetFullPath(m_szInstallDir + "\\" + m_szBrandName + ".exe", "");
        if (!isInstalledCopy) local = renamed;
    }
    return local;
}

bool DownloadManager::GetFile(bool fromServer, bool extract, const std::string& localPath,
                              const std::string& remoteName, const std::string& displayName,
                              const std::string& server) {
    std::string display = displayName;
    Utils::String::ReplaceAll(display, "__", "\\");
    const bool displayStartsWithBlank = !display.empty() && display[0] == ' ';

    // The local extension is taken before the self-name rule renames the file.
    std::string local = localPath;
    Utils::String::ReplaceAll(local, "__", "\\");
    const std::string remoteExtension = ExtensionOf(remoteName);
    const std::string localExtension = ExtensionOf(local);
    local = LocalPathFor(localPath);

    // Package files (extract) are named by the server and must land below the
    // current folder; relative names of our own must not climb out of it either.
    if ((extract || !IsAbsolute(local)) && !Manifest::IsSafeRelativePath(local)) {
        EngineLog::Text(kFunction, "refused local path outside the data folder: ", local);
        return false;
    }

    const bool compressed = extract && remoteExtension != localExtension;
    if (compressed) local += remoteExtension;

    // Failures to create a folder are left to the write.
    Utils::FileSystem::CreateFoldersOf(local);

    bool result = false;
    if (!fromServer) {
        const std::string source = m_szWorkDir + "\\" + remoteName;
        result = CopyFileA(source.c_str(), local.c_str(), TRUE) != FALSE;
    } else {
        Log(AppLogger(), 1, "S", "downloadServer:", "S", server.c_str(), "S", "remoteFileName:", "S",
            remoteName.c_str(), nullptr);
        DialogFileProgress progress;
        FileDownloaderListener listener(local, progress);
        Utils::HTTP::FileDownloader downloader(&listener, server, false, -1);
        // The status goes up before the request: sending waits for the
        // server's answer, and a slow server must not leave an empty window.
        if (display.size() > 3) {
            Dialog().SetItemText(IDC_STATUS_TEXT, displayStartsWithBlank ? display : "Downloading: " + display);
        }
        downloader.SendRequest(remoteName, "", "", false);

        Dialog().ShowProgressBar(IDC_FILE_PROGRESS,
                                 Utils::HTTP::ProgressScale(downloader.GetContentLength()).Range());

        downloader.Receive(true);
        result = listener.m_bSuccess;
        int status = downloader.GetStatusCode();
        if (status >= 400) {
            EngineLog::Int(kFunction, "HTTP status=", status);
            result = false;
        }
    }

    if (compressed && result) {
        if (display.size() > 3) Dialog().SetItemText(IDC_STATUS_TEXT, "Extracting: " + display);
        if (!ExtractFile(local, m_szDataDir)) {
            Dialog().ShowMessage("Error ExtractFile() Please contact support", MB_OK);
            result = false;
        } else {
            DeleteFileA(local.c_str());
        }
    }
    return result;
}
