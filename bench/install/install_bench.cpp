// Install benchmark under Wine: a whole first installation through the engine,
// and an update check that finds nothing to do in a large manifest. The
// release is served by serve.py, reached through the prefix's proxy settings.
// <proxy port> may be "direct:<host>": no proxy, the release is served on
// port 80 of that host (its manifest names the same host for the packages).
//   install_bench.exe <proxy port> install <files expected> [<N>]
//   install_bench.exe <proxy port> check [<release key>]
//   <Program Files>\OrvBenchCheck\OrvBenchCheck.exe <proxy port> installed
//       (after "check": the installed copy's update check, which copies nothing)
//   install_bench.exe <proxy port> steps [reuse]
//   install_bench.exe <proxy port> resume
//       (a server that cuts the first answer: a run cut short, then the next run)
// Prints one "mode=... key=value ..." line. With a release key the check runs
// as an installer built with that key (the manifest must be signed by it).
// "steps" fetches the release's files the way the engine does (a downloader
// and a listener per file, then the file's record) and prints the median time
// of every step; with "reuse" one downloader serves every file. "install"
// runs the engine's online pass with N package files fetched at once (the
// build's setting when not given).
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/ops/DialogOps.h"
#include "engine/BrandFolders.h"
#include "engine/DownloadManager.h"
#include "engine/InstallFolder.h"
#include "engine/Manifest.h"
#include "engine/Registration.h"
#include "engine/SignedRelease.h"
#include "support/ScopedProxy.h"
#include "utils/Handles.h"
#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/FileDownloaderListener.h"
#include "utils/ini/IniFile.h"
#include "utils/log/Logger.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/System.h"
#include "support/TestFiles.h"
#include "bench/BenchClock.h"

namespace {

// A dialog that shows nothing; counts what a real one would have drawn.
class QuietDialog : public ConsoleDialog {
public:
    // Called by the engine's thread and by its download workers.
    void ShowProgressBar(int, int) override { InterlockedIncrement(&m_updates); }
    void SetProgressPos(int, int) override { InterlockedIncrement(&m_updates); }
    void SetItemText(int, const std::string&) override {}
    void FailAndExit(const std::string& text) override {
        std::printf("mode=failed text=%s\n", text.c_str());  // the line run.sh reports
        ExitProcess(1);
    }
    std::string AppendAnswerSuffix(const std::string& name) override { return name + "_4_2_1"; }
    LONG m_updates = 0;
};

QuietDialog g_dialog;

double Now() { return BenchSeconds(); }

void PrintMemory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    std::printf(" peak_working_set_MiB=%.1f peak_private_MiB=%.1f", counters.PeakWorkingSetSize / 1048576.0,
                counters.PeakPagefileUsage / 1048576.0);
}

void Clean(const std::string& product, const std::string& brand) {
    std::string programFiles;
    Utils::FileSystem::GetSpecialFolder(CSIDL_PROGRAM_FILES, programFiles);
    Utils::FileSystem::DeleteDirectoryTree(programFiles + "\\" + brand);
    BrandFolders::Forget(programFiles + "\\" + brand);
    Utils::RegistryKey(Utils::kUserHive, "").Delete(product, "");
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
}

// The download server: reached through the proxy, or directly ("direct:<host>").
std::string kHost = "dl.orvanta.test";

int Install(int expectedFiles, int ahead) {
    const std::string product = "OrvantaBenchInstall";
    Clean(product, "OrvBenchInstall");
    DownloadManager manager;
    manager.Prepare(kHost, product, "1", "%Product_Bench%Did_1%Lang_EN.ini");
    if (ahead > 0) manager.m_nFetchAhead = ahead;
    double start = Now();
    bool ok = manager.Update(DownloadManager::PassKind::Online).Ok();
    double seconds = Now() - start;

    std::vector<std::string> files;
    Utils::FileSystem::ListDirectory(files, manager.m_szDataDir + "\\Data", false, false, true);
    long long bytes = 0;
    for (const std::string& file : files) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) {
            bytes += (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    }
    std::printf("mode=install ok=%d ahead=%d seconds=%.3f files=%zu bytes=%lld dialog_updates=%ld", ok ? 1 : 0,
                manager.m_nFetchAhead, seconds, files.size(), bytes, static_cast<long>(g_dialog.m_updates));
    PrintMemory();
    std::printf("\n");
    return ok && static_cast<int>(files.size()) == expectedFiles ? 0 : 2;
}

class QuietProgress : public Utils::HTTP::ProgressSink {
public:
    void SetPosition(int) override {}
    void ReportFailure(const std::string& text) override { std::printf("failure=%s\n", text.c_str()); }
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The manifest's FILE entries in order, fetched as the engine does.
std::vector<Manifest::FileEntry> FetchEntries(DownloadManager& manager) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string manifestPath = std::string(temp) + "bench_manifest.ini";
    const std::string request = Manifest::ManifestRequest(Manifest::ProfileQuery(manager.m_szIniFileName), "",
                                                          manager.m_szRequestBrand);
    manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::No, manifestPath, request,
                    "Installation data", kHost);
    Utils::IniFile manifest(manifestPath, 1);
    DeleteFileA(manifestPath.c_str());
    std::vector<std::string> keys;
    std::vector<std::string> values;
    manifest.GetSection("FILE", keys, values);
    std::vector<Manifest::FileEntry> entries;
    for (size_t i = 0; i < keys.size(); ++i) {
        Manifest::FileEntry entry;
        if (Manifest::ParseFileEntry(keys[i], values[i], entry)) entries.push_back(entry);
    }
    Manifest::SortByOrder(entries);
    manager.m_szDownloadUrl = manifest.GetString("GENERAL", "DOWNLOAD_URL");
    return entries;
}

const char* const kCheckProduct = "OrvantaBenchCheck";
const char* const kCheckBrand = "OrvBenchCheck";

DWORD RecordedSize() { return Registration::RecordedSize(kCheckBrand); }

// The update check as the shortcuts start it: no self-copy, the entry holds its size.
int CheckInstalled() {
    DownloadManager manager;
    manager.Prepare(kHost, kCheckProduct, "1", "%Product_Bench%Did_1%Lang_EN.ini");
    Registration::WriteReleaseValues(kCheckBrand, "", 1);  // a walk would replace it
    double start = Now();
    bool ok = manager.Update(DownloadManager::PassKind::Online).Ok();
    double seconds = Now() - start;
    const bool sizeKept = RecordedSize() == 1;
    // The uninstall entry's share of such a check, the calls it makes repeated:
    // the entry looked up, its size and version read (the version is the same).
    const int rounds = 100;
    start = Now();
    for (int i = 0; i < rounds; ++i) {
        if (Registration::HasUninstallEntry(kCheckBrand) && RecordedSize() != Registration::kSizeUnknown) {
            Registration::WriteReleaseValues(kCheckBrand, "1.0", Registration::kSizeUnknown);
        }
    }
    const double entryMs = (Now() - start) * 1000.0 / rounds;
    std::printf("mode=installed ok=%d seconds=%.3f size_kept=%d entry_ms=%.2f", ok ? 1 : 0, seconds, sizeKept ? 1 : 0,
                entryMs);
    PrintMemory();
    std::printf("\n");
    return ok ? 0 : 2;
}

int Check(const std::string& releaseKey) {
    const std::string product = kCheckProduct;
    const std::string brand = kCheckBrand;
    Clean(product, brand);
    DownloadManager manager;
    manager.Prepare(kHost, product, "1", "%Product_Bench%Did_1%Lang_EN.ini");
    if (ManifestSignature::ParseKeyList(releaseKey, &manager.m_releaseKeys) != ManifestSignature::KeyListError::None) {
        return 64;
    }

    // The parts on their own: the manifest request, reading it, the registry reads.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string manifestPath = std::string(temp) + "bench_manifest.ini";
    const std::string request = Manifest::ManifestRequest(Manifest::ProfileQuery(manager.m_szIniFileName), "",
                                                          manager.m_szRequestBrand);
    double t0 = Now();
    bool fetched = manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::No, manifestPath, request,
                                   "Installation data", kHost).Ok();
    double t1 = Now();
    Utils::IniFile manifest(manifestPath, 1);
    std::vector<std::string> keys;
    std::vector<std::string> values;
    manifest.GetSection("FILE", keys, values);
    std::vector<Manifest::FileEntry> entries;
    for (size_t i = 0; i < keys.size(); ++i) {
        Manifest::FileEntry entry;
        if (Manifest::ParseFileEntry(keys[i], values[i], entry)) entries.push_back(entry);
    }
    Manifest::SortByOrder(entries);
    double t2 = Now();

    Utils::RegistryKey key(Utils::kUserHive, product);
    for (const Manifest::FileEntry& entry : entries) {
        Registration::WriteFileRecord(key, brand, entry.key, entry.version, entry.checksum);
    }
    double t3 = Now();
    size_t toFetch = 0;
    const Registration::InstalledRecords installed(product, brand);
    for (const Manifest::FileEntry& entry : entries) {
        if (static_cast<int>(installed.Version(entry.key)) < entry.version ||
            installed.Checksum(entry.key) != entry.checksum) {
            ++toFetch;
        }
    }
    double t4 = Now();

    // What a release key adds to reading the manifest: reading its bytes and
    // checking their signature, then the signed-release rules (best of five).
    double signatureBest = 0, rulesBest = 0;
    for (int round = 0; round < 5 && !manager.m_releaseKeys.empty(); ++round) {
        double s0 = Now();
        SignedRelease::HeldFile held;
        std::string reason;
        if (held.Open(manifestPath, reason)) {
            reason = SignedRelease::CheckSignature(held.Bytes(), manager.m_releaseKeys).detail;
        }
        double s1 = Now();
        if (reason.empty()) reason = SignedRelease::CheckSignedRelease(held.Bytes(), manifest, "", "").detail;
        double s2 = Now();
        if (!reason.empty()) {
            std::printf("mode=failed text=%s\n", reason.c_str());
            return 2;
        }
        signatureBest = round == 0 ? s1 - s0 : std::min(signatureBest, s1 - s0);
        rulesBest = round == 0 ? s2 - s1 : std::min(rulesBest, s2 - s1);
    }
    DeleteFileA(manifestPath.c_str());

    // The listed files on disk (one byte each), where the installed program
    // looks for them: the check lists every recorded one's folder, and
    // measuring the installation walks them.
    std::string dataDir;
    Utils::FileSystem::GetSpecialFolder(CSIDL_PROGRAM_FILES, dataDir);
    dataDir += "\\" + brand;
    if (!BrandFolders::Record(dataDir, brand)) return 2;  // as a first installation does before it creates it
    std::set<std::string> folders;
    for (const Manifest::FileEntry& entry : entries) {
        const std::string path = dataDir + "\\" + manager.LocalPathFor(entry.key);
        Utils::FileSystem::CreateFoldersOf(path);
        TestSupport::WriteText(path, "x");
        folders.insert(path.substr(0, path.rfind('\\') + 1));
    }
    double t4a = Now();
    size_t listed = 0;
    for (const std::string& folder : folders) {
        std::set<std::string> present;
        std::vector<std::string> handled;
        Utils::FileSystem::ListFilesRemovingTemporaries(folder.empty() ? "." : folder.substr(0, folder.size() - 1),
                                                        present, handled);
        listed += present.size();
    }
    double t4b = Now();

    // The whole pass, as a downloaded copy runs it: the best and the median of five.
    bool ok = true;
    std::vector<double> passes;
    for (int round = 0; round < 5; ++round) {
        double t5 = Now();
        ok = manager.Update(DownloadManager::PassKind::Online).Ok() && ok;
        passes.push_back(Now() - t5);
    }
    std::sort(passes.begin(), passes.end());
    double total = passes.front();
    double t6 = Now();
    Registration::InstalledSizeKiB(dataDir, dataDir);
    double t7 = Now();
    std::printf("mode=check ok=%d keys=%zu fetched_manifest=%d entries=%zu to_fetch=%zu seconds=%.3f median_s=%.3f "
                "manifest_s=%.3f parse_s=%.3f registry_reads_s=%.3f prefill_writes_s=%.3f signature_s=%.4f "
                "rules_s=%.4f listing_s=%.3f listed=%zu folders=%zu manifest_share=%.0f%% parse_share=%.0f%% "
                "registry_share=%.0f%% listing_share=%.0f%% size_walk_s=%.3f size_kib=%lu",
                ok ? 1 : 0, manager.m_releaseKeys.size(), fetched ? 1 : 0, entries.size(), toFetch, total,
                passes[passes.size() / 2], t1 - t0, t2 - t1, t4 - t3, t3 - t2, signatureBest, rulesBest,
                t4b - t4a, listed, folders.size(), 100.0 * (t1 - t0) / total, 100.0 * (t2 - t1) / total,
                100.0 * (t4 - t3) / total, 100.0 * (t4b - t4a) / total, t7 - t6,
                static_cast<unsigned long>(RecordedSize()));
    PrintMemory();
    std::printf("\n");
    return ok && toFetch == 0 ? 0 : 2;
}

// Every step of fetching one file, timed on its own.
int Steps(bool reuse) {
    const std::string product = "OrvantaBenchSteps";
    const std::string brand = "OrvBenchSteps";
    Clean(product, brand);
    DownloadManager manager;
    manager.Prepare(kHost, product, "1", "%Product_Bench%Did_1%Lang_EN.ini");
    const std::vector<Manifest::FileEntry> entries = FetchEntries(manager);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "bench_steps";
    Utils::RegistryKey key(Utils::kUserHive, product);
    QuietProgress progress;

    enum { OPEN, CREATE, SEND, LENGTH, BODY, STATUS, CLOSE, RECORD, STEP_COUNT };
    const char* names[STEP_COUNT] = {"open", "create", "send", "length", "body", "status", "close", "record"};
    std::vector<double> times[STEP_COUNT];
    std::unique_ptr<Utils::HTTP::FileDownloader> shared;
    int failed = 0;
    const double start = Now();
    for (const Manifest::FileEntry& entry : entries) {
        double t[STEP_COUNT + 1];
        t[OPEN] = Now();
        std::unique_ptr<Utils::HTTP::FileDownloader> own;
        if (!reuse || !shared) {
            own.reset(new Utils::HTTP::FileDownloader(nullptr, manager.m_szDownloadUrl, false, -1));
        }
        t[CREATE] = Now();
        FileDownloaderListener listener(folder + "\\" + entry.key, progress);
        t[SEND] = Now();
        if (reuse && !shared) shared = std::move(own);
        Utils::HTTP::FileDownloader& downloader = reuse ? *shared : *own;
        downloader.SetListener(&listener);
        downloader.SendRequest(entry.spec, "", "", false);
        t[LENGTH] = Now();
        downloader.GetContentLength();
        t[BODY] = Now();
        downloader.Receive(true);
        t[STATUS] = Now();
        if (!listener.m_bSuccess || downloader.GetStatusCode() >= 400) ++failed;
        t[CLOSE] = Now();
        downloader.SetListener(nullptr);
        own.reset();
        t[RECORD] = Now();
        Registration::WriteFileRecord(key, brand, entry.key, entry.version, entry.checksum);
        t[STEP_COUNT] = Now();
        for (int step = 0; step < STEP_COUNT; ++step) times[step].push_back(t[step + 1] - t[step]);
    }
    const double seconds = Now() - start;
    std::printf("mode=steps reuse=%d files=%zu failed=%d seconds=%.3f per_file_ms=%.2f", reuse ? 1 : 0,
                entries.size(), failed, seconds, entries.empty() ? 0.0 : 1000.0 * seconds / entries.size());
    for (int step = 0; step < STEP_COUNT; ++step) std::printf(" %s_ms=%.2f", names[step], 1000.0 * Median(times[step]));
    PrintMemory();
    std::printf("\n");
    Utils::FileSystem::DeleteDirectoryTree(folder);
    Clean(product, brand);
    return failed == 0 ? 0 : 2;
}

} // namespace

// A download cut half-way (the server drops the connection after half the
// file), then the next run: what was kept, and what the next run fetched.
int Resume() {
    const std::string product = "OrvantaBenchResume";
    Clean(product, "OrvBenchResume");
    std::string dataDir;
    double cutSeconds = 0;
    bool firstOk = false;
    {
        DownloadManager manager;
        manager.Prepare(kHost, product, "1", "%Product_Bench%Did_1%Lang_EN.ini");
        const double start = Now();
        firstOk = manager.Update(DownloadManager::PassKind::Online).Ok();
        cutSeconds = Now() - start;
        dataDir = manager.m_szDataDir;
    }
    std::vector<std::string> files;
    Utils::FileSystem::ListDirectory(files, dataDir + "\\Data", false, false, true);
    long long kept = 0;
    for (const std::string& file : files) {
        unsigned long long size = 0;
        if (Utils::FileSystem::IsTemporaryName(file.substr(file.rfind('\\') + 1)) &&
            Utils::FileSystem::FileSizeOf(file, size)) {
            kept += static_cast<long long>(size);
        }
    }
    DownloadManager manager;
    manager.Prepare(kHost, product, "1", "%Product_Bench%Did_1%Lang_EN.ini");
    const double start = Now();
    const bool ok = manager.Update(DownloadManager::PassKind::Online).Ok();
    const double seconds = Now() - start;
    unsigned long long size = 0;
    Utils::FileSystem::FileSizeOf(dataDir + "\\Data\\big.bin", size);
    std::printf("mode=resume first_ok=%d cut_seconds=%.3f kept=%lld ok=%d seconds=%.3f size=%llu", firstOk ? 1 : 0,
                cutSeconds, kept, ok ? 1 : 0, seconds, size);
    PrintMemory();
    std::printf("\n");
    return ok ? 0 : 2;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: install_bench <port> install <files> | check [<release key>] | installed |"
                             " steps [reuse] | resume\n");
        return 64;
    }
    PublishDialog(&g_dialog);
    // ORV_BENCH_ECHO set: the engine's log goes to standard output (to see why a run failed).
    if (GetEnvironmentVariableA("ORV_BENCH_ECHO", nullptr, 0)) {
        static CVLogger logger;
        logger.SetChannelFlags(1, CVLogger::FLAG_ECHO);
        SetAppLogger(&logger);
    }
    Utils::ComApartment apartment(COINIT_MULTITHREADED);
    std::unique_ptr<TestSupport::ScopedProxy> proxy;
    const std::string server = argv[1];
    if (server.compare(0, 7, "direct:") == 0) {
        kHost = server.substr(7);
    } else {
        proxy.reset(new TestSupport::ScopedProxy(std::atoi(argv[1])));
    }
    const std::string mode = argv[2];
    if (mode == "install" && argc >= 4) return Install(std::atoi(argv[3]), argc >= 5 ? std::atoi(argv[4]) : 0);
    if (mode == "check") return Check(argc >= 4 ? argv[3] : "");
    if (mode == "installed") return CheckInstalled();
    if (mode == "steps") return Steps(argc >= 4 && std::string(argv[3]) == "reuse");
    if (mode == "resume") return Resume();
    return 64;
}
