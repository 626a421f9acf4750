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
#include <memory>
#include <string>

#include "engine/ManifestSignature.h"

namespace Utils { class RegistryKey; class IniFile; }
namespace Manifest { struct FileEntry; }

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

    // Thread entry of the worker: runs RunThreadFuncHelper, never returns.
    static DWORD RunThreadFunc(void* argument);
    // Both passes, the launch and the process's exit (code 0). Never returns.
    void RunThreadFuncHelper();

    // What RunThreadFuncHelper starts after the passes: the pending "_"
    // installer, the installed client, or the fall-back path; empty when
    // nothing is to be started. onlineOk is the online pass's result. Applies
    // the fall-back names and resolves m_szDataDir (the current folder becomes
    // the data folder). workDir receives the working folder for the start.
    std::string ChooseLaunchCommand(bool onlineOk, std::string& workDir);
    // Starts the command without waiting; false when it could not be started.
    static bool StartClient(const std::string& command, const std::string& workDir);

    // One pass of the procedure. isUpdate false: offline (cabinet beside the
    // installer), true: online. True when the pass reached its end or found
    // no update. May end the process through Dialog().FailAndExit.
    bool Update(bool isUpdate);

    // What a fetched file must hash to: the package file as served (before
    // unpacking) and the file as installed; lower-case hex SHA-256, empty ones
    // are not checked.
    struct FileDigests {
        std::string package;
        std::string installed;
    };
    // Downloads remoteName from server (fromServer) or copies it from the work
    // folder to localPath ("__" meaning "\"), then unpacks it when extract is
    // set and the remote extension differs from the local one. Blocks. With
    // digests the file replaces what is at localPath only once both matched;
    // otherwise nothing of it stays.
    bool GetFile(bool fromServer, bool extract, const std::string& localPath, const std::string& remoteName,
                 const std::string& displayName, const std::string& server, const FileDigests* digests = nullptr);

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

    // The keys a manifest must be signed with (the build's release keys; tests
    // may replace them). Empty: manifests are taken as they come.
    ManifestSignature::KeyList m_releaseKeys = ManifestSignature::BuildReleaseKeys();

    // Where GetFile stores a file named localPath (before any compressed
    // extension): "__" as "\", and the client's program under the brand's name.
    std::string LocalPathFor(const std::string& localPath) const;

private:
    // The steps of Update, in the order it takes them.
    struct Pass;
    void PrepareOfflinePass(Pass& pass);
    void PrepareOnlinePass(Pass& pass);
    bool FetchManifest(const Pass& pass);
    // The manifest as the INI reader reads it, or null when it is refused.
    std::unique_ptr<Utils::IniFile> LoadManifest(const Pass& pass);
    bool ReadManifest(const Pass& pass, Utils::IniFile& manifest);
    bool HasUsableNames();
    void ResolveFolders(Pass& pass);
    enum SelfCopy { SELF_COPY_MADE, SELF_COPY_RUNNING, SELF_COPY_FAILED };
    // Copies the running installer to <install folder>\<brand>.exe unless it is
    // that copy; a failed copy ends the process through FailAndExit.
    SelfCopy InstallOwnCopy(const Pass& pass);
    void RunCabinetTool(const std::string& cabinet, const std::string& tempDir);
    // Per file: fetch (it is put in place) then commit (it is recorded).
    bool FetchFiles(bool isUpdate, Utils::IniFile& manifest);
    bool FetchPackageFile(bool isUpdate, const Manifest::FileEntry& entry, bool verifySha256,
                          Utils::IniFile& manifest);
    void CommitPackageFile(const Manifest::FileEntry& entry);
    void FetchResourceUpdate(const Pass& pass);
    void CreateShortcutsOnce(Utils::IniFile& manifest);
    void RunPostInstallTool(Utils::IniFile& manifest);
    // The installed release's version and size in the uninstall entry.
    void RecordRelease(const Pass& pass, Utils::IniFile& manifest);

    // A file was put in place since the installation's size was last measured.
    bool m_bFilesChanged = false;
};

// Unpacks the compressed file `path` next to itself with the outside decoder
// its extension names (".lzma": lzma, ".ogg": oggdec); the output is `path`
// without its last extension. True when the decoder ran and exited with 0.
bool ExtractFile(const std::string& path);
