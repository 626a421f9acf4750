// Whole runs against a hostile or misconfigured download server, and two
// copies at once: each ends with nothing written, started, stopped or
// deleted outside this installation.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ScenarioFixture.h"
#include "app/profile/Profile.h"
#include "engine/BrandFolders.h"
#include "engine/InstallFolder.h"
#include "engine/Registration.h"
#include "support/TestJunction.h"
#include "utils/system/System.h"

namespace EngineTest {
namespace {

const char* const kSecondCopyText =
    "Another installation of Halvenor is still running. Please try again when it has finished.";

// Waits until no process runs from the folder (generous bound).
bool WaitUntilNoneRunsFrom(const std::string& folder) {
    for (int waited = 0; waited < 30000; waited += 100) {
        std::vector<DWORD> all;
        Utils::System::FindProcesses(all, "");
        bool running = false;
        for (DWORD id : all) {
            running = running || Utils::FileSystem::IsPathInside(Utils::System::ProcessExecutable(id), folder);
        }
        if (!running) return true;
        Sleep(100);
    }
    return false;
}

class GuardsTest : public ScenarioTest {
protected:
    void TearDown() override {
        SetEnvironmentVariableA("ORV_DRIVER_LOCK_WAIT_MS", nullptr);
        ScenarioTest::TearDown();
    }

    std::string Copy(const std::string& helper, const std::string& to) const {
        CreateDirectoryA(to.substr(0, to.rfind('\\')).c_str(), nullptr);
        return CopyFileA((ExeFolder() + "\\" + helper).c_str(), to.c_str(), FALSE) ? to : std::string();
    }
    // The standard release under another brand name.
    std::string ManifestFor(const std::string& brand, const std::string& extraGeneral = "") const {
        std::string text = Manifest(extraGeneral);
        const std::string ours = std::string("BRAND_NAME=") + kBrand;
        text.replace(text.find(ours), ours.size(), "BRAND_NAME=" + brand);
        return text;
    }
    void Replace(std::string& text, const std::string& from, const std::string& to) const {
        text.replace(text.find(from), from.size(), to);
    }
    // Nothing of an installation of the brand exists.
    void ExpectNoInstallationOf(const std::string& brand) {
        EXPECT_TRUE(PackagePaths().empty());
        EXPECT_FALSE(Exists(InstallFolderPath(brand, false) + "\\" + brand + ".exe"));
        EXPECT_FALSE(Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).KeyExists(brand));
        EXPECT_FALSE(ProductKey().KeyExists(brand));
        EXPECT_FALSE(Exists(DesktopFolder() + "\\" + brand + ".lnk"));
    }
};

// The second copy starts while the first fetches its manifest: it waits its
// time for the first, says why it ends and writes nothing; the first installs.
TEST_F(GuardsTest, TwoCopiesGiveOneInstallation) {
    AddStandardFiles();
    TestSupport::Response manifest;
    manifest.body = Manifest();
    manifest.held = true;
    m_server.SetResponse("/Dl/ClientResources.asp", manifest);
    SetEnvironmentVariableA("ORV_DRIVER_LOCK_WAIT_MS", "1000");
    const std::string arguments = std::string("run ") + kDownloadHost + " " + kProduct + " 1 " + IniName("EN");

    Process first = Process::Start(m_setupExe, arguments, {m_downloadFolder, Window::Hidden});
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(m_server.WaitForRequests(1));  // the first holds the lock now
    Process second = Process::Start(m_setupExe, arguments, {m_downloadFolder, Window::Hidden});
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(1, second.ExitCode(120000));
    // The message, then its details line.
    ASSERT_EQ(1u, DialogLines("FailAndExit").size());
    EXPECT_EQ(0u, DialogLines("FailAndExit")[0].find(kSecondCopyText)) << DialogLines("FailAndExit")[0];
    EXPECT_EQ(1u, m_server.RequestCount());

    m_server.ReleaseHeld();
    ASSERT_EQ(0, first.ExitCode(180000));
    EXPECT_EQ(1u, ManifestTargets().size());
    EXPECT_EQ(5u, PackagePaths().size());
    for (const PackageFile& file : m_files) {
        EXPECT_EQ(static_cast<DWORD>(file.version), InstalledVersion(file.key)) << file.key;
    }
    EXPECT_EQ("client data v2", ReadText(InstallDir() + "\\Bin\\data.txt"));
    EXPECT_EQ(ReadText(m_setupExe), ReadText(InstalledCopy()));
    EXPECT_TRUE(WaitForStart("orvscnbrand", 30000));
}

// A mended fault: the second copy waited, and once the first had installed
// and started the game, it started a second one (the server answers it
// "no update"). Now it leaves the running game alone.
TEST_F(GuardsTest, ACopyThatWaitedStartsNoSecondGame) {
    AddStandardFiles();
    TestSupport::Response manifest;
    manifest.body = Manifest();
    manifest.held = true;
    m_server.SetResponse("/Dl/ClientResources.asp", manifest);
    SetEnvironmentVariableA("ORV_STANDIN_RUN_MS", "15000");  // the game stays open
    const std::string arguments = std::string("run ") + kDownloadHost + " " + kProduct + " 1 " + IniName("EN");

    Process first = Process::Start(m_setupExe, arguments, {m_downloadFolder, Window::Hidden});
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(m_server.WaitForRequests(1));
    Process second = Process::Start(m_setupExe, arguments, {m_downloadFolder, Window::Hidden});
    ASSERT_TRUE(second.Started());
    Sleep(1000);  // waiting for the first
    TestSupport::Response nothingNew;
    nothingNew.body = "[NO_UPDATE_AVILABLE]\r\nVALUE=1\r\n" + Manifest();
    m_server.SetResponse("/Dl/ClientResources.asp", nothingNew);
    m_server.ReleaseHeld();
    EXPECT_EQ(0, first.ExitCode(180000));
    EXPECT_TRUE(WaitForStart("orvscnbrand", 30000));
    EXPECT_EQ(0, second.ExitCode(180000));
    SetEnvironmentVariableA("ORV_STANDIN_RUN_MS", nullptr);
    EXPECT_EQ(2u, ManifestTargets().size()) << "the second copy asked too";
    EXPECT_EQ(1u, StartsOf("orvscnbrand").size()) << "one game";
    WaitForStartedPrograms();
}

struct HostileCase {
    const char* what;
    std::string brand;
    std::function<void()> prepare;        // plants what the answer aims at
    std::function<std::string()> answer;  // the manifest served
    std::function<void()> verify;         // after the run and what it started ended
};

class HostileAnswers : public GuardsTest {
protected:
    void RunCase(const HostileCase& c) {
        m_server.ClearRequests();
        DeleteFileA(m_standinLog.c_str());
        DeleteFileA(m_dialogLog.c_str());
        CleanBrand(c.brand);  // no record left by an earlier run
        if (c.prepare) c.prepare();
        ServeManifest(c.answer());
        EXPECT_EQ(0, RunDownloaded());
        // What the run started has ended (and so recorded itself).
        EXPECT_TRUE(WaitUntilNoneRunsFrom(InstallFolderPath(c.brand, false)));
        EXPECT_TRUE(WaitUntilNoneRunsFrom(InstallFolderPath(c.brand, true)));
        EXPECT_TRUE(DialogLines("Usage").empty()) << "the installer was started as the client";
        c.verify();
        CleanBrand(c.brand);
    }
    std::vector<Process> m_others;
};

TEST_F(HostileAnswers, NothingOutsideTheInstallationIsTouched) {
    AddStandardFiles();
    const std::string escape = InstallFolderPath("", false) + "..\\OrvScnEscape";
    const std::string elsewhere = FreshFolder(ExeFolder() + "\\guards_elsewhere");
    const std::string foreign = InstallFolderPath("OrvScnForeign", false);
    const std::string foreignMenu = ProgramsFolder() + "\\OrvScnForeignMenu";
    const std::string linkTarget = FreshFolder(ExeFolder() + "\\guards_link_target");
    const std::string linked = InstallFolderPath("OrvScnLinked", false);

    const HostileCase cases[] = {
        {"EXE_WORK_PATH escaping on a no-update answer", kBrand,
         [&] { ASSERT_FALSE(Copy("standin_client.exe", escape + "\\OrvScnBrand.exe").empty()); },
         [&] {
             std::string text = "[NO_UPDATE_AVILABLE]\nVALUE=1\n" + Manifest();
             Replace(text, "EXE_WORK_PATH=Bin", "EXE_WORK_PATH=..\\..\\OrvScnEscape");
             return text;
         },
         [&] {
             EXPECT_TRUE(StartsOf("orvscnbrand").empty());
             EXPECT_FALSE(Exists(InstallDir()));
             Utils::FileSystem::DeleteDirectoryTree(escape);
         }},
        {"an empty EXE_WORK_PATH", kBrand, nullptr,
         [&] {
             AddFile({"guiclient.exe", 3, "files/guiclient.exe^c3.lzma", 8,
                        ReadText(ExeFolder() + "\\standin_client.exe"), true});
             AddFile({"tool.exe", 1, "files/tool^p1.exe", 9, ReadText(ExeFolder() + "\\standin_client.exe"), false});
             std::string text = Manifest("EXE_UPDATERES=tool.exe\n");
             Replace(text, "EXE_WORK_PATH=Bin", "EXE_WORK_PATH=");
             return text;
         },
         [&] {
             // The tool runs in the install folder (not the drive's root), with
             // its command line as written; the client keeps its own name, as
             // the brand's name at the top is the installer's installed copy.
             auto tool = StartsOf("tool");
             ASSERT_EQ(1u, tool.size());
             EXPECT_EQ("tool.exe OrvScnBrand.exe ..\\OrvScnBrand.exe", tool[0].commandLine);
             EXPECT_EQ(InstallDir(), tool[0].folder);
             EXPECT_EQ(ReadText(m_setupExe), ReadText(InstalledCopy()));
             EXPECT_TRUE(Exists(InstallDir() + "\\guiclient.exe"));
             m_files.pop_back();
             m_files.pop_back();
         }},
        {"a brand \"svchost\" with processes of that name running elsewhere", "svchost",
         [&] {
             ASSERT_FALSE(Copy("running_copy.exe", elsewhere + "\\svchost.exe").empty());
             for (int i = 0; i < 2; ++i) {
                 m_others.push_back(Process::Start(elsewhere + "\\svchost.exe", "hidden", {elsewhere, Window::Hidden}));
                 ASSERT_TRUE(m_others.back().Started());
             }
             for (auto& other : m_others) {
                 for (int i = 0; i < 400 && Utils::System::ProcessExecutable(other.Id()).empty(); ++i) Sleep(50);
             }
         },
         [&] { return ManifestFor("svchost"); },
         [&] {
             for (auto& other : m_others) EXPECT_TRUE(other.Running());
             EXPECT_TRUE(Exists(InstallFolderPath("svchost", false) + "\\Bin\\data.txt"));  // installed all the same
             m_others.clear();
         }},
        {"a brand naming someone else's folder", "OrvScnForeign",
         [&] {
             CreateDirectoryA(foreign.c_str(), nullptr);
             ASSERT_TRUE(WriteText(foreign + "\\app.dat", "theirs"));
         },
         [&] { return ManifestFor("OrvScnForeign"); },
         [&] {
             ExpectNoInstallationOf("OrvScnForeign");
             EXPECT_EQ("theirs", ReadText(foreign + "\\app.dat"));
             std::vector<std::string> entries;
             Utils::FileSystem::ListDirectory(entries, foreign, true, true, false);
             EXPECT_EQ(1u, entries.size());
             Utils::FileSystem::DeleteDirectoryTree(foreign);
         }},
        {"a brand naming someone else's Start-menu folder", "OrvScnForeignMenu",
         [&] {
             CreateDirectoryA(foreignMenu.c_str(), nullptr);
             ASSERT_TRUE(WriteText(foreignMenu + "\\their.lnk", "theirs"));
         },
         [&] { return ManifestFor("OrvScnForeignMenu"); },
         [&] {
             ExpectNoInstallationOf("OrvScnForeignMenu");
             EXPECT_FALSE(Exists(InstallFolderPath("OrvScnForeignMenu", false)));
             EXPECT_EQ("theirs", ReadText(foreignMenu + "\\their.lnk"));
             Utils::FileSystem::DeleteDirectoryTree(foreignMenu);
         }},
        {"a junction at the top of the brand's folder", "OrvScnLinked",
         [&] {
             ASSERT_TRUE(WriteText(linkTarget + "\\precious.txt", "keep"));
             ASSERT_TRUE(TestSupport::MakeJunction(linked, linkTarget));
         },
         [&] { return ManifestFor("OrvScnLinked"); },
         [&] {
             EXPECT_TRUE(PackagePaths().empty());
             std::vector<std::string> entries;
             Utils::FileSystem::ListDirectory(entries, linkTarget, true, true, false);
             EXPECT_EQ(1u, entries.size());
             EXPECT_EQ("keep", ReadText(linkTarget + "\\precious.txt"));
             TestSupport::RemoveJunction(linked);
         }},
        {"a planted decoder beside the installer", kBrand,
         [&] {
             ASSERT_FALSE(Copy("lzma.exe", m_downloadFolder + "\\lzma.exe").empty());
             ASSERT_FALSE(Copy("oggdec.exe", m_downloadFolder + "\\oggdec.exe").empty());
         },
         [&] { return Manifest(); },
         [&] {
             EXPECT_EQ("RIFF music", ReadText(DataDir() + "\\Sound\\music.wav"));
             std::vector<StandinStart> decoders = StartsOf("lzma");
             for (const StandinStart& start : StartsOf("oggdec")) decoders.push_back(start);
             EXPECT_EQ(2u, decoders.size());
             for (const StandinStart& start : decoders) {
                 EXPECT_TRUE(StartedFromToolCopy(start)) << start.program;
             }
         }},
        {"a manifest over 8 MiB", kBrand, nullptr,
         [&] {
             std::string text = Manifest();
             text += ";" + std::string(8 * 1024 * 1024 + 1 - text.size() - 2, 'x') + "\n";
             return text;
         },
         [&] {
             ExpectNoInstallationOf(kBrand);
             EXPECT_FALSE(Exists(Utils::FileSystem::GetTempFolder() + IniName("EN").substr(1)));
         }},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        RunCase(c);
    }
}

} // namespace
} // namespace EngineTest
