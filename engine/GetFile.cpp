// Fetching one file: download or copy under a temporary name, optional
// unpacking, then one move into place.
#include <windows.h>

#include <string>

#include "app/ops/DialogOps.h"
#include "engine/Digest.h"
#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "engine/Manifest.h"
#include "engine/OverallProgress.h"
#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/FetchAhead.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/ResumableFetch.h"
#include "utils/log/Logger.h"
#include "utils/string/String.h"

namespace {

const char* const kFunction = "DownloadManager::GetFile()";

// Success when the file's SHA-256 is each of the expected digests (lower-case
// hex; empty ones are not checked); DigestMismatch, logged with what was
// found, otherwise.
Utils::Result MatchDigests(const std::string& path, const std::string& what, const std::string& expected,
                           const std::string& alsoExpected) {
    if (expected.empty() && alsoExpected.empty()) return Utils::Result::Success();
    const std::string actual = Digest::Sha256OfFile(path);
    for (const std::string* wanted : {&expected, &alsoExpected}) {
        if (wanted->empty() || actual == *wanted) continue;
        EngineLog::Text(kFunction, what + " SHA-256 mismatch: ", path);
        EngineLog::Text(kFunction, "expected=", *wanted);
        EngineLog::Text(kFunction, "actual=", actual);
        return Utils::Result::Failure(Utils::Reason::DigestMismatch, 0, path);
    }
    return Utils::Result::Success();
}

Utils::Result LastFailure(Utils::Reason otherwise, const std::string& about) {
    const DWORD error = GetLastError();
    return Utils::Result::Failure(Utils::ReasonForSystemError(error, otherwise), error, about);
}

// A patch's progress: shown like any download's, but a failure only goes to
// the log, since the whole file is fetched instead.
class QuietFileProgress : public PassFileProgress {
public:
    explicit QuietFileProgress(OverallProgress* overall) : PassFileProgress(overall) {}
    void ReportFailure(const std::string& text) override { EngineLog::Text(kFunction, "not shown: ", text); }
};

long long SizeOf(const std::string& path) {
    unsigned long long size = 0;
    return Utils::FileSystem::FileSizeOf(path, size) ? static_cast<long long>(size) : 0;
}

bool IsAbsolute(const std::string& path) {
    return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// False when the file is read-only and stays so (the system's last error says why).
bool ClearReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return true;
    return SetFileAttributesA(path.c_str(), 0) != FALSE;
}

} // namespace

std::string DownloadManager::LocalPathFor(const std::string& localPath) const {
    std::string local = localPath;
    Utils::String::ReplaceAll(local, "__", "\\");
    // An empty EXE_WORK_PATH is the data folder itself.
    const std::string exePath = Utils::FileSystem::JoinPath(m_szExeWorkPath, m_szExeName);
    if (Utils::String::EqualsIgnoringCase(local, exePath)) {
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

Utils::Result DownloadManager::GetFile(Source source, Unpack unpack, const std::string& localPath,
                                       const std::string& remoteName, const std::string& displayName,
                                       const std::string& server) {
    FetchedFile file;
    const Utils::Result fetched =
        FetchToTemporary(source, unpack, localPath, remoteName, displayName, server, nullptr, file);
    return fetched ? PutInPlace(file) : fetched;
}

DownloadManager::FetchPlan DownloadManager::PlanFile(Unpack unpack, const std::string& localPath,
                                                    const std::string& remoteName,
                                                    const std::string& displayName) const {
    FetchPlan plan;
    plan.remoteName = remoteName;
    plan.display = displayName;
    Utils::String::ReplaceAll(plan.display, "__", "\\");

    // The local extension is taken before the self-name rule renames the file.
    std::string local = localPath;
    Utils::String::ReplaceAll(local, "__", "\\");
    plan.remoteExtension = Manifest::ExtensionOf(remoteName);
    const bool extract = unpack == Unpack::Yes;
    plan.compressed = extract && plan.remoteExtension != Manifest::ExtensionOf(local);
    plan.target = LocalPathFor(localPath);
    // Package files (extract) are named by the server and must land below the
    // current folder; relative names of our own must not climb out of it either.
    plan.allowed = !(extract || !IsAbsolute(plan.target)) || Manifest::IsSafeRelativePath(plan.target);
    // The body lands under a name of its own beside the file, in the form the
    // server sends it (compressed or not); the installed file stays untouched
    // until the whole content is there and checked.
    plan.partial = Utils::FileSystem::PartialName(plan.target, remoteName);
    return plan;
}

DownloadManager::FetchPlan DownloadManager::PlanFetch(const Manifest::FileEntry& entry) const {
    return PlanFile(Unpack::Yes, entry.key, entry.spec, entry.key);
}

Utils::Result DownloadManager::Allowed(const FetchPlan& plan) const {
    if (plan.allowed) return Utils::Result::Success();
    return Utils::Result::Failure(Utils::Reason::UnsafePath, 0,
                                  "refused local path outside the data folder: " + plan.target);
}

Utils::Result DownloadManager::Downloaded(const FetchPlan& plan, const Utils::HTTP::FetchResult& result,
                                          bool mayResume) {
    if (result.Succeeded()) return Utils::Result::Success();
    // What a download on this thread would have logged.
    if (result.status >= 400) EngineLog::Int(kFunction, "HTTP status=", result.status);
    // A successful answer cut short: the next run may continue it.
    if (mayResume && result.status >= 200 && result.status < 400 && SizeOf(plan.partial) > 0) {
        EngineLog::Text(kFunction, "cut, kept to resume: ", plan.partial);
    } else {
        DeleteFileA(plan.partial.c_str());
    }
    Utils::Result failure = result.outcome;
    if (failure.Ok()) failure = Utils::Result::Failure(Utils::Reason::DownloadCut);
    failure.detail = plan.remoteName;
    failure.said = result.failure;
    return failure;
}

void DownloadManager::AnnounceDownload(const FetchPlan& plan, const std::string& server, TextId status) {
    Log(AppLogger(), 1, "S", "downloadServer:", "S", server.c_str(), "S", "remoteFileName:", "S",
        plan.remoteName.c_str(), nullptr);
    if (plan.display.size() > 3) {
        // A display name that starts with a blank is a status text of its own.
        const bool startsWithBlank = plan.display[0] == ' ';
        Dialog().SetItemText(IDC_STATUS_TEXT, startsWithBlank ? Texts::AsUtf8(plan.display)
                                                              : Texts::Text(status, {{"file", plan.display}}));
    }
}

Utils::Result DownloadManager::FetchToTemporary(Source source, Unpack unpack, const std::string& localPath,
                                                const std::string& remoteName, const std::string& displayName,
                                                const std::string& server, const FileDigests* digests,
                                                FetchedFile& out, FetchMode* mode) {
    out = FetchedFile();
    FetchMode plain;
    if (!mode) mode = &plain;
    mode->resumed = false;
    mode->resumedAndRejected = false;
    FetchPlan plan = PlanFile(unpack, localPath, remoteName, displayName);
    if (mode->privateName) plan.partial = Utils::FileSystem::UnguessableName(plan.target);
    Utils::Result result = Allowed(plan);
    if (!result) return result;

    // Failures to create a folder are left to the write.
    Utils::FileSystem::CreateFoldersOf(plan.target);

    bool keepCut = false;  // a cut download that the next run may continue
    if (source == Source::WorkFolder) {
        // Copy mode never overwrites an existing file.
        const std::string from = m_szWorkDir + "\\" + remoteName;
        if (GetFileAttributesA(plan.target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            result = Utils::Result::Failure(Utils::Reason::WriteFailed, ERROR_FILE_EXISTS, plan.target);
        } else if (!CopyFileA(from.c_str(), plan.partial.c_str(), FALSE)) {
            result = LastFailure(Utils::Reason::WriteFailed, from);
        }
    } else {
        PassFileProgress shown(m_pOverall);
        QuietFileProgress quiet(m_pOverall);
        // The status goes up before the request: sending waits for the
        // server's answer, and a slow server must not leave an empty window.
        AnnounceDownload(plan, server, mode->status);
        const Utils::HTTP::FileFetchResult fetched = Utils::HTTP::FetchIntoFile(
            server, remoteName, plan.partial, mode->resume,
            mode->quiet ? static_cast<Utils::HTTP::ProgressSink&>(quiet) : static_cast<Utils::HTTP::ProgressSink&>(shown));
        if (fetched.status >= 400) EngineLog::Int(kFunction, "HTTP status=", fetched.status);
        if (fetched.end != Utils::HTTP::FetchEnd::Complete || fetched.status >= 400) {
            result = fetched.outcome.Ok() ? Utils::Result::Failure(Utils::Reason::DownloadCut) : fetched.outcome;
            result.detail = remoteName;
            result.said = shown.Failure();
        }
        mode->resumed = fetched.resumedFrom > 0;
        if (mode->resumed) {
            EngineLog::Text(kFunction, "resumed " + plan.partial + " at byte ", std::to_string(fetched.resumedFrom));
        }
        keepCut = mode->resume && fetched.end == Utils::HTTP::FetchEnd::Cut && SizeOf(plan.partial) > 0;
        if (keepCut) EngineLog::Text(kFunction, "cut, kept to resume: ", plan.partial);
    }
    if (!result) {
        if (!keepCut) DeleteFileA(plan.partial.c_str());
        out.target = plan.target;
        return result;
    }
    return FinishFetch(plan, digests, out, *mode);
}

Utils::Result DownloadManager::FinishFetch(const FetchPlan& plan, const FileDigests* digests, FetchedFile& out,
                                           FetchMode& mode) {
    out = FetchedFile();
    out.target = plan.target;
    Utils::Result result;
    // A continued download is checked as served first: its two parts may
    // not belong together.
    if (mode.resumed && !mode.resumedPackageDigest.empty() &&
        !(result = MatchDigests(plan.partial, "resumed file", mode.resumedPackageDigest, ""))) {
        mode.resumedAndRejected = true;
    }
    // A signed release's file is checked as served, before a decoder sees it,
    // and once unpacked.
    if (result && digests &&
        !(result = MatchDigests(plan.partial, plan.compressed ? "package file" : "file", digests->package,
                                plan.compressed ? std::string() : digests->installed))) {
        mode.resumedAndRejected = mode.resumed;
    }
    if (!result) {
        DeleteFileA(plan.partial.c_str());
        return result;
    }
    if (!plan.compressed) {
        out.ready = plan.partial;
        return result;
    }
    if (plan.display.size() > 3) {
        Dialog().SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::Extracting, {{"file", plan.display}}));
    }
    const std::string decoded = Utils::FileSystem::ReplacementName(plan.target);
    // The decoder is started from its administrators-only copy (ToolCopies.h).
    const std::string decoder = DecoderProgram(plan.remoteExtension);
    std::string decoderPath;
    if (!decoder.empty() && !(result = m_tools.Program(m_szDataDir, decoder + ".exe", decoderPath)) &&
        result.reason == Utils::Reason::ToolFailed) {
        result.reason = Utils::Reason::DecoderFailed;
    }
    const std::string decoderFolder = decoderPath.substr(0, decoderPath.empty() ? 0 : decoderPath.rfind('\\'));
    if (!result || !(result = ExtractFile(plan.partial, decoded, plan.remoteExtension, decoderFolder))) {
        EngineLog::Failure(kFunction, "ExtractFile", result);
        // A continued file is fetched whole before anyone is told.
        if (mode.resumed) {
            mode.resumedAndRejected = true;
        } else {
            result.said = "Error ExtractFile() Please contact support";
        }
        DeleteFileA(decoded.c_str());
    } else if (digests && !(result = MatchDigests(decoded, "unpacked file", digests->installed, ""))) {
        DeleteFileA(decoded.c_str());
        mode.resumedAndRejected = mode.resumed;
    } else {
        out.ready = decoded;
        out.decoded = true;
    }
    DeleteFileA(plan.partial.c_str());
    return result;
}

Utils::Result DownloadManager::PutInPlace(FetchedFile& file) {
    if (file.ready.empty()) return Utils::Result::Failure(Utils::Reason::WriteFailed, 0, "nothing to put in place");
    // A decoder writes over a read-only file of its output's name: so does
    // the file it decoded.
    bool placed = !file.decoded || ClearReadOnly(file.target);
    if (placed) placed = Utils::FileSystem::ReplaceFileAtomically(file.ready, file.target, file.flushed);
    Utils::Result result;
    if (!placed) {
        result = LastFailure(Utils::Reason::WriteFailed, "could not replace " + file.target);
        DeleteFileA(file.ready.c_str());
    }
    file.ready.clear();
    return result;
}
