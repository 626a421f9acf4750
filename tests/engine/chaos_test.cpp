// The installer killed at random moments many times in a row, then one run
// left alone: the installation must end complete and consistent. A slow
// loopback server, a slow stand-in decoder and a large installer stretch the
// stages, so that kills land in each of them: manifest, self-copy,
// registration, download, decode, shortcuts. Most kills are aimed: they wait
// for a stage to begin (the driver echoes the engine's log and its dialog
// calls) and land a random few milliseconds later; the others land at a
// random moment of the run. The driver dies together with everything it
// started (one job object), as on a power cut. Between runs the published
// release changes now and then, so there is always something to fetch.
//   test_engine_chaos.exe [--chaos-seed=N] [--chaos-kills=N] [--chaos-budget=SECONDS]
// The last line of its output: "chaos: kills=... stages=... repairs=... lost=...".
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ScenarioFixture.h"
#include "engine/Manifest.h"
#include "engine/Registration.h"
#include "engine/Steps.h"
#include "support/ShellLinks.h"
#include "support/TestJunction.h"
#include "support/WatchedRun.h"
#include "utils/fs/AtomicFile.h"

namespace EngineTest {
namespace {

struct Options {
    unsigned seed = 20240501;
    int kills = 32;
    int budgetSeconds = 400;
};
Options g_options;

const char* const kStages[] = {"manifest", "self-copy", "registration", "download", "decode", "shortcuts"};
const char* const kAnytime = "anytime";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The stage that a line of the driver's output begins, or "".
std::string StageOf(const std::string& line) {
    static const std::map<std::string, std::string> steps = {
        {Steps::kFetchManifest, "manifest"},         {Steps::kReadManifest, "manifest"},
        {Steps::kResolveFolders, "manifest"},        {Steps::kStopOtherRunningCopy, "manifest"},
        {Steps::kInstallOwnCopy, "self-copy"},       {Steps::kWriteUninstallEntry, "registration"},
        {Steps::kFetchFiles, "download"},            {Steps::kCreateShortcuts, "shortcuts"},
        {Steps::kApplyRegSection, "registration"},   {Steps::kWriteUpdateRecord, "registration"},
    };
    if (StartsWith(line, Steps::kRecordPrefix)) {
        auto found = steps.find(line.substr(std::strlen(Steps::kRecordPrefix)));
        return found == steps.end() ? std::string() : found->second;
    }
    if (StartsWith(line, "commit: ")) return "registration";
    // The driver's dialog calls: "SetItemText\t<control>\t<value>\t<text>".
    if (!StartsWith(line, "SetItemText\t")) return std::string();
    const std::string text = line.substr(line.rfind('\t') + 1);
    if (text == "Downloading: Installation data" || text == " Checking for updates") return "manifest";
    if (StartsWith(text, "Downloading: ")) return "download";
    if (StartsWith(text, "Extracting: ")) return "decode";
    if (text == "Finished update") return "launch";
    return std::string();
}

// Under Wine a decoder that the installer starts in the very instant it is
// killed can escape the kill's job and hang in its start-up, holding this
// test's output (and the test runner) open. Only the decoders installations
// start (from their copies in the system's temporary folder, or the data
// folder): this test holds the installation lock, and other tests of the
// prefix run their own lzma.exe from their folders meanwhile.
// One that hangs before Wine lists it as a Windows process is ended as a
// Unix process: a decoder whose current folder is this installation's.
void StopStrayDecoders(const std::string& installation) {
    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    for (const std::string& folder : {installation, std::string(windows) + "\\Temp"}) {
        for (const char* name : {"oggdec.exe", "lzma.exe"}) TestSupport::EndProcessesNamed(name, folder);
    }
    const std::string folder = TestSupport::JunctionDetail::UnixPath(installation);
    const std::string script = ExeFolder() + "\\chaos_strays.sh";
    if (folder.empty() ||
        !WriteText(script, "folder=$(readlink -f \"$1\")\n"
                           "for p in $(pgrep -f 'wine64 (lzma d|oggdec -o) '); do\n"
                           "  [ \"$(readlink /proc/$p/cwd)\" = \"$folder\" ] && kill -9 $p\n"
                           "done\nexit 0\n")) {
        return;
    }
    TestSupport::JunctionDetail::RunUnix("Z:\\bin\\sh \"" + TestSupport::JunctionDetail::UnixPath(script) + "\" \"" +
                                         folder + "\"");
}

class ChaosTest : public ScenarioTest {
protected:
    // Two releases of the same files, every file's content different.
    void SetUp() override {
        ScenarioTest::SetUp();
        // A large installer makes a long self-copy (the bytes after the
        // program are not loaded).
        std::string installer = ReadText(m_setupExe);
        installer.append(4 << 20, '\0');
        ASSERT_TRUE(WriteText(m_setupExe, installer));
        SetEnvironmentVariableA("ORV_DRIVER_ECHO", "1");
        SetEnvironmentVariableA("ORV_STANDIN_DECODE_MS", "150");
        // Decoders come at full speed, everything else slowly.
        m_server.SetThrottle(2048, 20, "/files/");
        m_server.SetThrottle(0, 0, "/files/tools/");
        m_server.SetThrottle(1024, 20, "/Dl/");
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override {
        StopStrayDecoders(InstallDir());
        SetEnvironmentVariableA("ORV_DRIVER_ECHO", nullptr);
        SetEnvironmentVariableA("ORV_STANDIN_DECODE_MS", nullptr);
        ScenarioTest::TearDown();
        CoUninitialize();
    }

    // Release "A" or "B": the decoders, then data files plain and compressed,
    // in two folders, and a REG section long enough to take a while.
    void Publish(char release) {
        m_release = release;
        AddFile({"lzma.exe", 1, "files/tools/lzma^d1.exe", 1, ReadText(ExeFolder() + "\\lzma.exe"), false});
        AddFile({"oggdec.exe", 1, "files/tools/oggdec^d2.exe", 2, ReadText(ExeFolder() + "\\oggdec.exe"), false});
        const struct {
            const char* key;
            const char* remote;  // the remote name without its checksum part: name ^ checksum . extension
            const char* extension;
            size_t size;
            bool compressed;
        } files[] = {
            {"Bin__guiclient.exe", "files/guiclient.exe", ".lzma", 6000, true},
            {"Data__a.bin", "files/a", ".bin", 24000, false},
            {"Data__b.bin", "files/b.bin", ".lzma", 16000, true},
            {"Data__c.wav", "files/c.wav", ".ogg", 16000, true},
            {"Data__Sub__d.txt", "files/d", ".txt", 8000, false},
            {"Data__Sub__e.dat", "files/e.dat", ".lzma", 12000, true},
        };
        int order = 10;
        for (const auto& file : files) {
            const std::string content = std::string(file.size, release) + " " + file.key;
            const std::string spec = std::string(file.remote) + "^" + release + "1" + file.extension;
            m_contents[file.key][std::string(1, release) + "1"] = content;
            AddFile({file.key, 1, spec, order++, content, file.compressed});
        }
        std::string reg = "[REG]\n";
        for (int i = 0; i < 150; ++i) reg += "Value" + std::to_string(i) + "/Settings=S/Y/" + release + "\n";
        ServeManifest(Manifest("", reg));
    }

    std::string Arguments() const {
        return std::string("run ") + kDownloadHost + " " + kProduct + " 1 " + IniName("EN");
    }
    std::string LocalPath(const PackageFile& file) const {
        std::string path = file.key == "Bin__guiclient.exe" ? "Bin\\" + std::string(kBrand) + ".exe" : file.key;
        for (size_t at; (at = path.find("__")) != std::string::npos;) path.replace(at, 2, "\\");
        return InstallDir() + "\\" + path;
    }

    // What must hold after every kill; returns the number of violations and
    // tells each. A recorded file holds what its record names; any file holds
    // a whole release's content; the installed copy is whole.
    int CheckAfterKill() {
        int lost = 0;
        for (const PackageFile& file : m_files) {
            std::string content;
            const bool present = TestSupport::TryReadText(LocalPath(file), content);
            const std::string checksum = InstalledChecksum(file.key);
            const auto& known = m_contents[file.key];
            if (!checksum.empty() && known.count(checksum) != 0 && (!present || content != known.at(checksum))) {
                ADD_FAILURE() << file.key << ": recorded as " << checksum << ", file " << (present ? "differs" : "missing");
                ++lost;
            } else if (present && !known.empty() && std::none_of(known.begin(), known.end(), [&](const auto& k) {
                           return k.second == content;
                       })) {
                ADD_FAILURE() << file.key << ": holds a part of a file (" << content.size() << " bytes)";
                ++lost;
            }
        }
        std::string copy;
        if (TestSupport::TryReadText(InstalledCopy(), copy) && copy != ReadText(m_setupExe)) {
            ADD_FAILURE() << "the installed copy holds a part of the installer (" << copy.size() << " bytes)";
            ++lost;
        }
        return lost;
    }

    // The target of the next kill: mostly the stage hit least so far (one
    // that this run can still reach), sometimes any moment.
    std::string ChooseTarget(std::mt19937& random, const std::map<std::string, int>& hits) {
        if (random() % 4 == 0) return kAnytime;
        std::vector<std::string> least;
        int fewest = 1 << 30;
        const bool shortcutsDone = ProductKey().GetDword("IsOVNotFirst", kBrand, 0) != 0;
        for (const char* stage : kStages) {
            if (std::string(stage) == "shortcuts" && shortcutsDone) continue;
            const auto found = hits.find(stage);
            const int count = found == hits.end() ? 0 : found->second;
            if (count < fewest) least.clear();
            if (count <= fewest) {
                fewest = count;
                least.push_back(stage);
            }
        }
        return least[random() % least.size()];
    }

    char m_release = 'A';
    std::map<std::string, std::map<std::string, std::string>> m_contents;  // key: checksum: content
};

// What starts a kill's countdown: the n-th line of a stage, or one line.
struct Trigger {
    std::string stage;
    size_t occurrence;
    std::string line;
    DWORD maxDelayMs;  // the kill lands this long after it at most
    bool Reached(const std::vector<std::string>& lines) const {
        if (!line.empty()) return std::find(lines.begin(), lines.end(), line) != lines.end();
        const auto count = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return StageOf(l) == stage; });
        return static_cast<size_t>(count) >= occurrence;
    }
};

// The lines of a stage, in the order a run writes them: manifest (offline
// pass: 1, 2; online: 3 the step, 4 the download), self-copy (1),
// registration (1 the uninstall entry, then one per file put in place; or
// the REG section), download (1 the list, then one per file), decode (one
// per file), shortcuts (1).
Trigger TriggerFor(const std::string& target, std::mt19937& random) {
    if (target == "manifest") return {target, 3 + random() % 2, "", 40};
    if (target == "self-copy") return {target, 1, "", 150};
    if (target == "registration") {
        if (random() % 2 == 0) return {target, 0, std::string(Steps::kRecordPrefix) + Steps::kApplyRegSection, 60};
        return {target, 2 + random() % 3, "", 10};
    }
    if (target == "download") return {target, 2 + random() % 3, "", 150};
    if (target == "decode") return {target, 1 + random() % 3, "", 100};
    return {target, 1, "", 15};
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

TEST_F(ChaosTest, KilledAtRandomMomentsThenOneRunEndsComplete) {
    std::mt19937 random(g_options.seed);
    Publish('A');
    std::map<std::string, int> hits;
    int kills = 0, completed = 0, freshStarts = 0, lost = 0;
    size_t repairs = 0;
    const ULONGLONG deadline = GetTickCount64() + 1000ULL * g_options.budgetSeconds;
    auto allHit = [&] {
        return std::all_of(std::begin(kStages), std::end(kStages), [&](const char* s) { return hits[s] > 0; });
    };
    while (GetTickCount64() < deadline && (kills < g_options.kills || !allHit())) {
        if (random() % 3 == 0) Publish(m_release == 'A' ? 'B' : 'A');
        if (hits["shortcuts"] == 0 && ProductKey().GetDword("IsOVNotFirst", kBrand, 0) != 0) {
            // The shortcut stage is behind us for good: start again as a new player.
            CleanMachine();
            ++freshStarts;
        }
        const std::string target = ChooseTarget(random, hits);
        const Trigger trigger = TriggerFor(target, random);

        TestSupport::WatchedRun run;
        const ULONGLONG started = GetTickCount64();
        ASSERT_TRUE(run.Start(m_setupExe, Arguments(), m_downloadFolder));
        if (target == kAnytime) {
            run.WaitFor(random() % 4000, [](const std::vector<std::string>&) { return false; });
        } else if (run.WaitFor(120000, [&](const std::vector<std::string>& lines) { return trigger.Reached(lines); })) {
            Sleep(random() % (trigger.maxDelayMs + 1));
        }
        // A run that ended before keeps its own exit code.
        run.Kill();
        StopStrayDecoders(InstallDir());
        const long code = run.WaitForEnd(120000);
        ASSERT_NE(-1, code) << "the installer did not end";
        const std::vector<std::string> lines = run.Lines();
        repairs += CountContaining(lines, "missing, fetched again: ") + CountContaining(lines, "leftover removed: ");
        if (code != static_cast<long>(TestSupport::WatchedRun::kKilled)) {
            // It ended on its own: the next release gives the next runs work.
            ++completed;
            Publish(m_release == 'A' ? 'B' : 'A');
            continue;
        }
        ++kills;
        std::string stage = "start";
        for (const std::string& line : lines) {
            const std::string of = StageOf(line);
            if (!of.empty()) stage = of;
        }
        ++hits[stage];
        lost += CheckAfterKill();
        std::printf("kill %d: aimed at %s, landed in %s after %llu ms (release %c)\n", kills, target.c_str(),
                    stage.c_str(), GetTickCount64() - started, m_release);
    }

    // One run left alone.
    m_server.SetThrottle(0, 0, "/files/");
    m_server.SetThrottle(0, 0, "/Dl/");
    TestSupport::WatchedRun last;
    ASSERT_TRUE(last.Start(m_setupExe, Arguments(), m_downloadFolder));
    ASSERT_EQ(0, last.WaitForEnd(180000));
    const std::vector<std::string> lines = last.Lines();
    repairs += CountContaining(lines, "missing, fetched again: ") + CountContaining(lines, "leftover removed: ");
    EXPECT_EQ(1u, CountContaining(lines, "Finished update"));

    // Complete: every file as released and recorded so, the installer's own
    // copy, the uninstall entry, the shortcuts, the update record; nothing
    // temporary left.
    for (const PackageFile& file : m_files) {
        std::string content;
        if (!TestSupport::TryReadText(LocalPath(file), content) || content != file.content) {
            ADD_FAILURE() << file.key << " is not the released file";
            ++lost;
        }
        EXPECT_EQ(static_cast<DWORD>(file.version), InstalledVersion(file.key)) << file.key;
        EXPECT_EQ(Manifest::ChecksumOf(file.spec), InstalledChecksum(file.key)) << file.key;
    }
    EXPECT_EQ(ReadText(m_setupExe), ReadText(InstalledCopy()));
    EXPECT_EQ(kBrand, Utils::RegistryKey(Utils::kMachineHive, Registration::UninstallKeyPath(kBrand))
                          .GetString("DisplayName", "", ""));
    for (const std::string& link : {ProgramsFolder() + "\\" + kBrand + "\\" + kBrand + ".lnk",
                                    ProgramsFolder() + "\\" + kBrand + "\\Uninstall.lnk",
                                    DesktopFolder() + "\\" + kBrand + ".lnk"}) {
        const TestSupport::LinkInfo info = TestSupport::ReadLink(link);
        EXPECT_TRUE(info.loaded && lstrcmpiA(info.path.c_str(), InstalledCopy().c_str()) == 0) << link << ": " << info.path;
    }
    EXPECT_EQ(kManifestDate, ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(InstallDir()));
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(ProgramsFolder() + "\\" + kBrand));

    std::ostringstream stages;
    for (const auto& hit : hits) stages << (stages.tellp() > 0 ? "," : "") << hit.first << ":" << hit.second;
    std::printf("chaos: seed=%u kills=%d stages=%s completed_runs=%d fresh_starts=%d repairs=%zu lost=%d\n",
                g_options.seed, kills, stages.str().c_str(), completed, freshStarts, repairs, lost);
    EXPECT_GE(kills, 30);
    for (const char* stage : kStages) EXPECT_GT(hits[stage], 0) << "no kill in " << stage;
    EXPECT_EQ(0, lost);
}

} // namespace
} // namespace EngineTest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&](const char* name) { return std::atoi(argument.c_str() + std::strlen(name)); };
        if (argument.rfind("--chaos-seed=", 0) == 0) {
            EngineTest::g_options.seed = static_cast<unsigned>(std::strtoul(argument.c_str() + 13, nullptr, 10));
        }
        if (argument.rfind("--chaos-kills=", 0) == 0) EngineTest::g_options.kills = value("--chaos-kills=");
        if (argument.rfind("--chaos-budget=", 0) == 0) EngineTest::g_options.budgetSeconds = value("--chaos-budget=");
    }
    return RUN_ALL_TESTS();
}
