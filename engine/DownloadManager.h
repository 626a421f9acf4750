#pragma once
// The install/update engine. One DownloadManager per dialog: the dialog hands
// it the profile's choices with StartUpdate, which starts the update worker.
// The worker runs the procedure twice (offline from a cabinet beside the
// installer, then online against the download server), starts the client or a
// waiting newer installer and ends the process with exit code 0.
//
// Threading: after StartUpdate returns, only the worker thread touches the
// object. Everything shown to the user goes through Dialog() (app/ops).
#include <windows.h>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/ops/PlayerMessage.h"
#include "engine/ManifestSignature.h"
#include "engine/ToolCopies.h"
#include "utils/Result.h"

namespace Utils {
class RegistryKey;
class IniFile;
namespace System { class MachineLock; }
namespace HTTP { struct FetchResult; }
} // namespace Utils
namespace Manifest { struct FileEntry; }
class OverallProgress;
namespace Registration {
class InstalledRecords;
class FileRecordWriter;
} // namespace Registration

class DownloadManager {
public:
    DownloadManager();
    virtual ~DownloadManager();
    DownloadManager(const DownloadManager&) = delete;
    DownloadManager& operator=(const DownloadManager&) = delete;

    // resourcesUrl: download server host; productId: product word; brandId:
    // download id as decimal text; iniFileName: ProfileIniName (starts with "%").
    // Starts the detached worker thread, which ends the process.
    void StartUpdate(std::string resourcesUrl, std::string productId, std::string brandId,
                     std::string iniFileName);
    // StartUpdate's field set-up alone (logs and stores the arguments), for
    // callers that drive the passes themselves.
    void Prepare(const std::string& resourcesUrl, const std::string& productId, const std::string& brandId,
                 const std::string& iniFileName);

    // Thread entry of the worker: runs RunThreadFuncHelper and ends the
    // process with its result (EndRun); never returns.
    static DWORD RunThreadFunc(void* argument);
    // Both passes and the launch. Success, or the fatal failure that ended
    // the run before the launch. A failed online pass is told (TellFailure)
    // and, when the player asks for it, run again.
    Utils::Result RunThreadFuncHelper();
    // The one end of an install run: a fatal failure's message (exit code 1
    // through Dialog().FailWith), otherwise exit code 0 once outstanding
    // reports had their time. Never returns.
    [[noreturn]] void EndRun(const Utils::Result& result);

    // What RunThreadFuncHelper starts after the passes: the pending "_"
    // installer, the installed client, or the fall-back path; empty when
    // nothing is to be started. onlineOk is the online pass's result. Applies
    // the fall-back names and resolves m_szDataDir (the current folder becomes
    // the data folder). workDir receives the working folder for the start.
    std::string ChooseLaunchCommand(bool onlineOk, std::string& workDir);
    // The same without changing anything.
    struct Launch {
        std::string brand, exeName, exeWorkPath;  // the names it was chosen by
        bool namesUsable = false;                 // plain names: a data folder and a client path follow
        std::string dataDir, workDir, command;
    };
    Launch PlanLaunch(bool onlineOk) const;
    // Whether a failed run would start an installed game (or a waiting newer installer).
    bool InstalledGameCanStart() const;
    // Tells the player why the online pass failed (PlayerMessageFor), except on
    // an update that cannot go on for a reason players were never told of:
    // that is logged, and the installed game starts. True when the player
    // chose Retry.
    bool TellFailure(const Utils::Result& failure);
    // After waiting for another run: when the game that run started is
    // running already, its window comes to the front instead of a second game.
    bool ShowRunningClient(const std::string& command) const;
    // Starts the command without waiting; false when it could not be started.
    static bool StartClient(const std::string& command, const std::string& workDir);

    // Which pass: offline (from a cabinet beside the installer), online
    // (against the download server).
    enum class PassKind { Offline, Online };
    // One pass of the procedure. Success when the pass reached its end or
    // found no update. A failure that ends the run (IsFatal) travels up to
    // the caller, which ends the process with its message.
    Utils::Result Update(PassKind kind);
    // Whether the failure ends the run with its message and exit code 1
    // (another run, the game open, no installed copy, no memory); any other
    // failure only ends the pass.
    static bool IsFatal(const Utils::Result& failure);
    // The program's established wording for a failure (the details line):
    // what a step reported, or the program's fixed message for the reason;
    // "" when there is none.
    static std::string EstablishedText(const Utils::Result& failure);
    // The message shown before the process ends with exit code 1.
    static PlayerMessage FatalMessage(const Utils::Result& failure, const std::string& game);
    // The name the player knows the game by: the manifest's brand, or before
    // it the profile's.
    std::string GameName() const;

    // What a fetched file must hash to: the package file as served (before
    // unpacking) and the file as installed; lower-case hex SHA-256, empty ones
    // are not checked.
    struct FileDigests {
        std::string package;
        std::string installed;
    };
    // Where GetFile takes a file from.
    enum class Source { Server, WorkFolder };
    // Whether a file whose remote extension differs from its local one is unpacked.
    enum class Unpack { No, Yes };
    // Downloads remoteName from server (Source::Server) or copies it from the
    // work folder to localPath ("__" meaning "\"), then unpacks it (Unpack::Yes
    // and the remote extension differs from the local one). Blocks. The file
    // at localPath is replaced in one step once the new one is whole
    // (FetchToTemporary, then PutInPlace): on failure it stays as it was.
    Utils::Result GetFile(Source source, Unpack unpack, const std::string& localPath, const std::string& remoteName,
                          const std::string& displayName, const std::string& server);

    // A fetched file waiting beside its place under a temporary name
    // (Utils::FileSystem::PartialName or ReplacementName of the target).
    struct FetchedFile {
        std::string target;    // where it goes: "__" as "\", the self-name rule applied
        std::string ready;     // the temporary file with its content; "" when none waits
        bool decoded = false;  // unpacked: a read-only target is cleared, as the decoder would
        bool flushed = false;  // already flushed to the disk
    };
    // What a fetch may do beyond GetFile's way.
    struct FetchMode {
        // A partial download of the same remote name (an earlier run's, under
        // its PartialName) is continued, and one cut in this run is kept for
        // the next. Only for remote names that name their content (a digest).
        bool resume = false;
        // Failures are logged, not shown to the player (a patch falls back).
        bool quiet = false;
        // The content lands under UnguessableName instead of PartialName: a
        // file in a folder other programs write to, never continued.
        bool privateName = false;
        TextId status = TextId::Downloading;  // the status line while it downloads
        // Checked on a continued download before anything else (lower-case
        // hex SHA-256 of the file as served; empty: none).
        std::string resumedPackageDigest;
        // Out: the content was continued from an earlier run's bytes.
        bool resumed = false;
        // Out: ... and then failed a check; it was removed, and a whole fetch
        // may still succeed.
        bool resumedAndRejected = false;
    };
    // What fetching one file takes, worked out before anything is fetched.
    struct FetchPlan {
        std::string remoteName;       // request target, or the name in the work folder
        std::string target;           // where it goes: "__" as "\", the self-name rule applied
        std::string partial;          // the temporary file the content lands in, as served
        std::string display;          // the status line's name ("__" as "\"); 3 characters or fewer: none
        std::string remoteExtension;  // chooses the decoder
        bool compressed = false;      // served packed: unpacked into ReplacementName(target)
        bool allowed = false;         // the target stays where it must (below the data folder)
    };
    FetchPlan PlanFile(Unpack unpack, const std::string& localPath, const std::string& remoteName,
                       const std::string& displayName) const;
    // A package file of the manifest.
    FetchPlan PlanFetch(const Manifest::FileEntry& entry) const;
    // UnsafePath, with the refusal logged, when the plan's target may not be written.
    Utils::Result Allowed(const FetchPlan& plan) const;
    // Whether a download made elsewhere (FetchAhead) succeeded; if not, logs
    // its failure as a download on this thread would (the listener's text as
    // the failure's `said`), and removes its temporary file (a cut one is kept
    // when mayResume).
    Utils::Result Downloaded(const FetchPlan& plan, const Utils::HTTP::FetchResult& result, bool mayResume);
    // The log record and the status line of a download about to be waited for.
    void AnnounceDownload(const FetchPlan& plan, const std::string& server, TextId status = TextId::Downloading);
    // The second half of FetchToTemporary, once plan.partial holds the whole
    // content: the digest checks and the unpacking. A failure leaves no
    // temporary file; the target is never touched.
    Utils::Result FinishFetch(const FetchPlan& plan, const FileDigests* digests, FetchedFile& out, FetchMode& mode);

    // GetFile up to the last step: the content lands under a temporary name
    // beside the target (a body shorter than announced is a failed download)
    // and is unpacked there; with digests, checked before it is unpacked and
    // once unpacked. A failure leaves no temporary file (but a cut partial
    // download when mode->resume); the target is never touched.
    Utils::Result FetchToTemporary(Source source, Unpack unpack, const std::string& localPath,
                                   const std::string& remoteName, const std::string& displayName,
                                   const std::string& server, const FileDigests* digests, FetchedFile& out,
                                   FetchMode* mode = nullptr);
    // Moves the fetched content over its target in one step. On failure the
    // temporary file is removed and the target stays as it was.
    static Utils::Result PutInPlace(FetchedFile& file);

    // Set by StartUpdate / Prepare.
    std::string m_szIniFileName;   // ProfileIniName without its leading "%"
    std::string m_szProductId;     // names HKCU\Software\<product>
    std::string m_szBrandId;       // download id text (kept, not used)
    std::string m_szResourcesUrl;  // host serving the manifest
    // Set by the passes.
    std::string m_szBrandName;
    std::string m_szExeName;
    std::string m_szExeWorkPath;
    std::string m_szDownloadUrl;
    std::string m_szWorkDir;       // where copy mode takes files from
    std::string m_szInstallDir;    // <Program Files>\<brand>
    std::string m_szDataDir;       // install folder, or per-user on Vista
    std::unique_ptr<Utils::RegistryKey> m_pProductKey;

    // Profile inputs, taken from the stamp by Prepare; tests may replace them.
    std::string m_szReferrer;      // stamped referrer text
    std::string m_szRequestBrand;  // BrandNameFor(stamped product, stamped brand id)
    // The step the run is in ("" before the worker starts); any thread may ask.
    const char* CurrentStep() const { return m_currentStep.load(); }

    // How long a run waits for another run of its product and brand.
    DWORD m_dwInstallLockWaitMs;
    // Package files the online pass fetches at once (Utils::HTTP::FetchAhead);
    // 1: one after the other. The build's ORVANTA_FETCH_AHEAD unless changed.
    int m_nFetchAhead;

    // The keys a manifest must be signed with (the build's release keys; tests
    // may replace them). Empty: manifests are taken as they come.
    ManifestSignature::KeyList m_releaseKeys = ManifestSignature::BuildReleaseKeys();

    // Where GetFile stores a file named localPath (before any compressed
    // extension): "__" as "\", and the client's program under the brand's name
    // (unless that name is the installed copy of the installer itself).
    std::string LocalPathFor(const std::string& localPath) const;

    // Holds the machine-wide lock of this product and brand until the process
    // ends (InstallLock). While another run holds it, the status line says so
    // and the run waits up to m_dwInstallLockWaitMs; then AnotherInstallation
    // (a fatal failure, detail: the brand). Success when held, or when the
    // system cannot make the lock: the run goes on.
    Utils::Result HoldInstallLock(const std::string& brand);

private:
    // What one pass carries through its steps: the pass kind, the manifest,
    // the digest policy and the step it is in (Update.cpp).
    struct Pass;
    // What the listing of the package files' folders found (Update.cpp).
    struct FolderScan;

    // The steps of Update, in the order it takes them.
    Utils::Result RunPass(Pass& pass);
    // RunPass's steps once there is a release to install or update.
    Utils::Result Install(Pass& pass);
    void PrepareOfflinePass(Pass& pass);
    void PrepareOnlinePass(Pass& pass);
    Utils::Result FetchManifest(Pass& pass);
    Utils::Result CheckManifestSize(const Pass& pass);
    // Reads the manifest into pass.manifest and sets the digest policy. With
    // release keys only a manifest one of them signed, that follows the
    // signed-release rules, is read.
    Utils::Result LoadManifest(Pass& pass);
    // The tools this pass starts: checked against the release's digests
    // where it declares them.
    void BeginToolCopies(const Pass& pass);
    // The post-install tool's path relative to the data folder ("" when none).
    std::string PostInstallToolPath(Utils::IniFile& manifest) const;
    // The GENERAL fields into the object's names (a BRAND_NAME that is not a
    // plain name is left empty). True when the manifest says no update is
    // available.
    bool TakeGeneralFields(Utils::IniFile& manifest);
    // The online pass's manifest files, removed once read.
    void RemoveManifestFiles(const Pass& pass);
    // A brand to install under, and a client folder that stays inside it.
    Utils::Result CheckNames() const;
    Utils::Result ResolveFolders(Pass& pass);
    // Copies the running installer to <install folder>\<brand>.exe unless it
    // is that copy (pass.runsInstalledCopy); a copy made sets pass.firstInstall.
    Utils::Result InstallOwnCopy(Pass& pass);
    Utils::Result RunCabinetTool(const std::string& cabinet, const std::string& tempDir);
    // Per file: fetch (into a temporary file, checked), then commit, in
    // manifest order (moved into place and recorded).
    Utils::Result FetchFiles(Pass& pass);
    // The online pass's files: up to m_nFetchAhead downloads at once, each
    // finished and committed in order on this thread.
    Utils::Result DownloadFiles(Pass& pass, const std::vector<Manifest::FileEntry>& toFetch);
    // One package file into a temporary file beside its place: by patch, or whole.
    Utils::Result FetchPackageFile(const Pass& pass, const Manifest::FileEntry& entry, FetchedFile& out);
    // A package file whose content is in plan.partial: its checks and
    // unpacking (FinishFetch), then the manifest's FILE_DIGEST check.
    Utils::Result FinishPackageFile(const Pass& pass, const Manifest::FileEntry& entry, const FetchPlan& plan,
                                    FetchedFile& out, FetchMode& mode);
    // The whole package file, continuing a partial download when it can be verified.
    Utils::Result FetchWholeFile(const Pass& pass, const Manifest::FileEntry& entry, FetchedFile& out,
                                 FetchMode& mode);
    // What a signed release checks on the way (null for an unsigned one);
    // storage holds the digests.
    const FileDigests* SignedDigests(const Pass& pass, const Manifest::FileEntry& entry,
                                     FileDigests& storage) const;
    // An unsigned release's FILE_DIGEST=SHA256 check of the file as it will
    // be installed; a mismatch removes it. A signed one's were checked on the way.
    Utils::Result CheckDeclaredDigest(const Pass& pass, const Manifest::FileEntry& entry, FetchedFile& file,
                                      FetchMode& mode);
    // The file made from the installed one and the manifest's [PATCH] for it
    // (fetched, checked and applied by vpatch.exe); false, with nothing left,
    // whenever that cannot be done: the caller fetches the whole file.
    bool FetchByPatch(const Pass& pass, const Manifest::FileEntry& entry, FetchedFile& out);
    // Whether a partial download of this entry's package can be continued:
    // something checks the result (a declared digest).
    bool MayResume(const Pass& pass, const Manifest::FileEntry& entry) const;
    Utils::Result CommitPackageFile(const Manifest::FileEntry& entry, FetchedFile& file);
    // The manifest's FILE entries that can be read, in order.
    std::vector<Manifest::FileEntry> ListPackageFiles(Utils::IniFile& manifest) const;
    // Lists each folder of the entries' files once: removes what interrupted
    // runs left there (keeping partial downloads that can be continued) and
    // notes which files are there.
    FolderScan ScanFolders(const Pass& pass, const std::vector<Manifest::FileEntry>& entries);
    // The entries to fetch, in order: an older or no version, another
    // checksum, recorded but missing on disk, or a program the installer
    // starts (postInstallTool among them) whose bytes are not the release's.
    // Reads the installed records.
    std::vector<Manifest::FileEntry> ChooseOutdated(const std::vector<Manifest::FileEntry>& entries,
                                                    FolderScan& scan, const std::string& postInstallTool);
    // Removes the kept partial downloads of files that need no fetch.
    void RemoveUnneededPartials(const FolderScan& scan);
    void FetchResourceUpdate(const Pass& pass);
    void CreateShortcutsOnce(Pass& pass);
    void RunPostInstallTool(Utils::IniFile& manifest);
    // The installed release's version and size in the uninstall entry.
    void RecordRelease(const Pass& pass);

    // A file was put in place since the installation's size was last measured.
    bool m_bFilesChanged = false;
    // The overall progress of the files being fetched; null outside FetchFiles.
    OverallProgress* m_pOverall = nullptr;
    // The tools of the pass, started from administrators-only copies (ToolCopies.h).
    ToolCopies m_tools;
    // The installed records as OutdatedFiles read them, and the (lower-case)
    // names this pass has committed since: what a commit replaces.
    std::unique_ptr<Registration::InstalledRecords> m_recordsAtStart;
    std::set<std::string> m_recordsChanged;
    // The file records a pass commits, through one held opening of the key.
    std::unique_ptr<Registration::FileRecordWriter> m_recordWriter;

    // The installer's own file or the brand's installed copy: never started as the client.
    bool IsInstallerItself(const std::string& path, const std::string& brand) const;

    // A run after a failed one that the player asked to try again.
    bool m_bRetrying = false;
    // This run found another run of its brand and waited for it.
    bool m_bWaitedForAnotherRun = false;

    // Where the run is, for a report of a failure that ends it elsewhere (a cancel).
    std::atomic<const char*> m_currentStep{""};
    // The step of the last failed pass, and the release date the online pass asked for.
    std::string m_szFailedStep;
    std::string m_szAskedDate;
    // The failure report of a run that ends with this failure (see RunThreadFuncHelper).
    void ReportFailure(const Utils::Result& failure, const std::string& stage) const;

    std::vector<std::string> m_heldLockNames;
    std::vector<std::unique_ptr<Utils::System::MachineLock>> m_heldLocks;  // until the process ends
};

// Runs body (the update worker's work). A failed allocation becomes the
// failure OutOfMemory instead of ending the worker alone, which would leave
// the dialog open with nothing going on.
Utils::Result RunCatchingAllocationFailure(Utils::Result (*body)(void*), void* argument);

// Unpacks the compressed file `path` next to itself with the outside decoder
// its extension names (".lzma": lzma, ".ogg": oggdec); the output is `path`
// without its last extension. The decoder is the program of that name in
// decoderFolder (the engine's administrators-only copy of the release's
// decoder), started by its full path: never one found by the system's program search. True when the
// decoder ran and exited with 0; DecoderFailed otherwise (error: the system's
// code when it could not start; the detail gives its exit code).
Utils::Result ExtractFile(const std::string& path, const std::string& decoderFolder);
// The same with the output file and the extension that chooses the decoder
// given: "lzma  d <path> <base>", "oggdec  -o <base> <path>".
Utils::Result ExtractFile(const std::string& path, const std::string& base, const std::string& extension,
                          const std::string& decoderFolder);
// The decoder for a compressed file's extension ("lzma" for ".lzma", "oggdec"
// for ".ogg"); "" for any other.
std::string DecoderProgram(const std::string& extension);

// Runs "vpatch apply --size <newSize> <old> <patch> <new>" with the vpatch.exe
// in toolFolder, by its full path, hidden, and waits: a patch that makes a
// file of another size is refused before anything is written. False when it
// could not be started; exitCode receives its exit code (0: <new> holds the
// patched file).
bool ApplyPatch(const std::string& oldFile, const std::string& patch, const std::string& newFile,
                const std::string& toolFolder, unsigned long long newSize, DWORD& exitCode);
