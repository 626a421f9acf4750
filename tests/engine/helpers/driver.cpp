// Runs the engine as the installer would, for the scenario tests: a stand-in
// dialog that appends every call to the file named by ORV_DRIVER_LOG, then
//   driver run  <resourcesUrl> <productId> <brandId> <iniFileName> [referrer]
//       StartUpdate: both passes, the launch, exit code 0 from the worker;
//   driver pass <0|1> <resourcesUrl> <productId> <brandId> <iniFileName>
//       one Update pass; exit code 0 when it returned true, 3 when false;
//   driver stopcopies <brand> <folder>...
//       stops another running copy of Orvanta.exe / <brand>.exe that runs
//       from one of the folders, exit code 0.
// FailAndExit records its text and ends the process with exit code 1; a
// player message is recorded on one line as "<text> Details: <details>". Any
// other command line is recorded as "Usage" (so a start of the installer as
// its own client shows) and ends with exit code 64. ORV_DRIVER_LOCK_WAIT_MS,
// when set, is how long a run waits for another run of its brand.
// ORV_DRIVER_FETCH_AHEAD: package files fetched at once (the build's setting
// otherwise). ORV_DRIVER_KEYS: release keys the engine checks manifests with (the build's
// otherwise). ORV_DRIVER_ECHO: the engine's log records and every dialog call go to
// standard output, or, when it names a file, are appended to that file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/DownloadManager.h"
#include "engine/Registration.h"
#include "engine/RunningCopy.h"
#include "utils/Handles.h"
#include "utils/log/Logger.h"

namespace {

class FileDialog : public DialogOperations {
public:
    void ShowProgressBar(int controlId, int range) override { Write("ShowProgressBar", controlId, range, ""); }
    void SetProgressPos(int controlId, int position) override { Write("SetProgressPos", controlId, position, ""); }
    void SetItemText(int controlId, const std::string& text) override { Write("SetItemText", controlId, 0, text); }
    void FailAndExit(const std::string& text) override {
        Write("FailAndExit", 0, 0, text);
        ExitProcess(1);
    }
    void ShowWebPage(const std::string& url) override { Write("ShowWebPage", 0, 0, url); }
    void SetTitle(const std::string& title) override { Write("SetTitle", 0, 0, title); }
    int ShowMessage(const std::string& text, UINT type) override {
        Write("ShowMessage", 0, static_cast<int>(type), text);
        return IDOK;
    }
    HWND OwnerWindow() override { return nullptr; }
    std::string AppendAnswerSuffix(const std::string& name) override { return name + "_4_2_1"; }
    // A player message on one line: its text, then " Details: " and the details.
    int Tell(const PlayerMessage& message) override {
        Write("ShowMessage", 0, static_cast<int>(message.BoxType()), OneLine(message));
        return IDOK;
    }
    void FailWith(const PlayerMessage& message) override {
        Write("FailAndExit", 0, 0, OneLine(message));
        ExitProcess(1);
    }
    static std::string OneLine(const PlayerMessage& message) { return message.text + " Details: " + message.details; }

    void Write(const char* op, int control, int value, const std::string& text) {
        char head[64];
        std::snprintf(head, sizeof(head), "\t%d\t%d\t", control, value);
        std::string line = std::string(op) + head + text + "\r\n";
        if (GetEnvironmentVariableA("ORV_DRIVER_ECHO", nullptr, 0)) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
        char path[MAX_PATH] = {};
        if (!GetEnvironmentVariableA("ORV_DRIVER_LOG", path, MAX_PATH)) return;
        Utils::FileHandle file(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (file) WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
};

} // namespace

int main(int argc, char** argv) {
    static FileDialog dialog;
    PublishDialog(&dialog);
    char echo[MAX_PATH] = {};
    const DWORD echoLength = GetEnvironmentVariableA("ORV_DRIVER_ECHO", echo, MAX_PATH);
    if (echoLength >= MAX_PATH) return 65;
    if (echoLength > 0) {
        if (std::string(echo) != "1" && !std::freopen(echo, "a", stdout)) return 65;
        static CVLogger logger;
        logger.SetChannelFlags(1, CVLogger::FLAG_ECHO);
        SetAppLogger(&logger);
    }
    static DownloadManager manager;
    char wait[32] = {};
    if (GetEnvironmentVariableA("ORV_DRIVER_LOCK_WAIT_MS", wait, sizeof(wait)))
        manager.m_dwInstallLockWaitMs = static_cast<DWORD>(std::strtoul(wait, nullptr, 10));
    char ahead[16] = {};
    if (GetEnvironmentVariableA("ORV_DRIVER_FETCH_AHEAD", ahead, sizeof(ahead)))
        manager.m_nFetchAhead = std::atoi(ahead);
    char keys[400] = {};
    const DWORD keysLength = GetEnvironmentVariableA("ORV_DRIVER_KEYS", keys, sizeof(keys));
    if (keysLength >= sizeof(keys)) return 65;
    if (keysLength > 0 &&
        ManifestSignature::ParseKeyList(keys, &manager.m_releaseKeys) != ManifestSignature::KeyListError::None) {
        return 65;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run" && argc >= 6) {
        if (argc >= 7) ProfileTesting::PokeStampReferrer(argv[6]);
        manager.StartUpdate(argv[2], argv[3], argv[4], argv[5]);
        Sleep(INFINITE);  // the worker ends the process
    }
    if (mode == "pass" && argc >= 7) {
        Utils::ComApartment apartment(COINIT_MULTITHREADED);
        manager.Prepare(argv[3], argv[4], argv[5], argv[6]);
        const Utils::Result result =
            manager.Update(std::atoi(argv[2]) != 0 ? DownloadManager::PassKind::Online : DownloadManager::PassKind::Offline);
        // A failure that ends the run ends the process as the worker would.
        if (DownloadManager::IsFatal(result)) dialog.FailWith(DownloadManager::FatalMessage(result, manager.GameName()));
        return result ? 0 : 3;
    }
    if (mode == "stopcopies" && argc >= 3) {
        const Utils::Result result =
            RunningCopy::StopOther(std::string(argv[2]) + ".exe", std::vector<std::string>(argv + 3, argv + argc));
        if (!result) dialog.FailWith(DownloadManager::FatalMessage(result, argv[2]));
        return 0;
    }
    dialog.Write("Usage", 0, 0, GetCommandLineA());
    std::fprintf(stderr, "usage: driver run|pass|stopcopies ...\n");
    return 64;
}
