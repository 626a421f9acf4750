// Fetching one file: download or copy, then optional unpacking.
#include <windows.h>

#include <string>

#include "app/ops/DialogOps.h"
#include "engine/Digest.h"
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
// A file that has digests to match is fetched under its name plus this, and
// takes its own name only once it matched.
const char kStagingSuffix[] = ".orvnew";

// Whether the file's SHA-256 is each of the expected digests (lower-case hex;
// empty ones are not checked). A mismatch is logged with what was found.
bool MatchesDigests(const std::string& path, const std::string& what, const std::string& expected,
                    const std::string& alsoExpected) {
    if (expected.empty() && alsoExpected.empty()) return true;
    const std::string actual = Digest::Sha256OfFile(path);
    for (const std::string* wanted : {&expected, &alsoExpected}) {
        if (wanted->empty() || actual == *wanted) continue;
        EngineLog::Text(kFunction, what + " SHA-256 mismatch: ", path);
        EngineLog::Text(kFunction, "expected=", *wanted);
        EngineLog::Text(kFunction, "actual=", actual);
        return false;
    }
    return true;
}

bool MoveIntoPlace(const std::string& from, const std::string& to) {
    DWORD attributes = GetFileAttributesA(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesA(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    EngineLog::Int(kFunction, "could not replace " + to + ", error=", static_cast<int>(GetLastError()));
    return false;
}

bool IsAbsolute(const std::string& path) {
    return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

} // namespace

std::string DownloadManager::LocalPathFor(const std::string& localPath) const {
    std::string local = localPath;
    Utils::String::ReplaceAll(local, "__", "\\");
    const std::string exePath = m_szExeWorkPath + "\\" + m_szExeName;
    if (CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, local.c_str(), -1, exePath.c_str(), -1) ==
        CSTR_EQUAL) {
        local = m_szExeWorkPath + "\\" + m_szBrandName + ".exe";
    }
    return local;
}

bool DownloadManager::GetFile(bool fromServer, bool extract, const std::string& localPath,
                              const std::string& remoteName, const std::string& displayName,
                              const std::string& server, const FileDigests* digests) {
    std::string display = displayName;
    Utils::String::ReplaceAll(display, "__", "\\");
    const bool displayStartsWithBlank = !display.empty() && display[0] == ' ';

    // The local extension is taken before the self-name rule renames the file.
    std::string local = localPath;
    Utils::String::ReplaceAll(local, "__", "\\");
    const std::string remoteExtension = Manifest::ExtensionOf(remoteName);
    const std::string localExtension = Manifest::ExtensionOf(local);
    local = LocalPathFor(localPath);

    // Package files (extract) are named by the server and must land below the
    // current folder; relative names of our own must not climb out of it either.
    if ((extract || !IsAbsolute(local)) && !Manifest::IsSafeRelativePath(local)) {
        EngineLog::Text(kFunction, "refused local path outside the data folder: ", local);
        return false;
    }

    // With digests, what is fetched is checked (before it is unpacked, and
    // unpacked) under a staging name: a file that fails leaves the one in
    // place as it was.
    const std::string target = local;
    if (digests) local += kStagingSuffix;
    const std::string unpacked = local;

    const bool compressed = extract && remoteExtension != localExtension;
    if (compressed) local += remoteExtension;

    // Failures to create a folder are left to the write.
    Utils::FileSystem::CreateFoldersOf(local);
    if (digests) {  // left by an interrupted run
        DeleteFileA(local.c_str());
        DeleteFileA(unpacked.c_str());
    }

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

    if (result && digests && !MatchesDigests(local, compressed ? "package file" : "file", digests->package,
                                             compressed ? std::string() : digests->installed)) {
        result = false;
    }
    if (compressed && result) {
        if (display.size() > 3) Dialog().SetItemText(IDC_STATUS_TEXT, "Extracting: " + display);
        if (!ExtractFile(local)) {
            Dialog().ShowMessage("Error ExtractFile() Please contact support", MB_OK);
            result = false;
        } else {
            DeleteFileA(local.c_str());
        }
    }
    if (digests) {
        if (result && compressed) result = MatchesDigests(unpacked, "unpacked file", digests->installed, "");
        if (result) result = MoveIntoPlace(unpacked, target);
        if (!result) {
            DeleteFileA(local.c_str());
            DeleteFileA(unpacked.c_str());
        }
    }
    return result;
}
