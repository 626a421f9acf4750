// Complete update runs under Wine against the loopback server.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include "ScenarioFixture.h"
#include "app/profile/Profile.h"
#include "engine/BrandFolders.h"
#include "engine/Digest.h"
#include "engine/InstallFolder.h"
#include "engine/Registration.h"
#include "utils/Handles.h"
#include "utils/fs/AtomicFile.h"

namespace EngineTest {
namespace {

std::string ExpectedRequest(const std::string& language, const std::string& lastDate) {
    return std::string("/Dl/ClientResources.asp?Remote=1&Product=") + kProduct + "&Did=1&Lang=" + language +
           "&Tag=1&LastUpdateDate=" + lastDate + "&Brand=" + BrandNameFor(2, 1);
}

size_t Count(const std::vector<std::string>& items, const std::string& item) {
    return static_cast<size_t>(std::count(items.begin(), items.end(), item));
}

// Requests of files fetched ahead arrive in any order.
std::vector<std::string> Sorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return items;
}

TEST_F(ScenarioTest, FirstInstallationLeavesACompleteClient) {
    AddStandardFiles();
    AddFile({"Bin__tool.exe", 1, "files/tool^p1.exe", 8, ReadText(ExeFolder() + "\\standin_client.exe"), false});
    ServeManifest(Manifest("UNINSTALL_ICON=Bin\\tool.exe\nEXE_UPDATERES=tool.exe\nSKIN_URL=http://skin.test/p\n"
                           "DISPLAY_VERSION=3.1 beta\n",
                           "[REG]\nVolume/Settings=D/Y/70\nServer/=S/N/eu/1\n"));

    ASSERT_EQ(0, Run(m_setupExe, m_downloadFolder, "EN", "687474703a2f2f72656665722e78"));

    // Files: the installer's own copy, the decoded client under the brand's name, the rest.
    const std::string dir = InstallDir();
    EXPECT_EQ(ReadText(m_setupExe), ReadText(InstalledCopy()));
    EXPECT_EQ(ReadText(ExeFolder() + "\\standin_client.exe"), ReadText(dir + "\\Bin\\OrvScnBrand.exe"));
    EXPECT_FALSE(Exists(dir + "\\Bin\\guiclient.exe"));
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(dir));
    EXPECT_EQ("client data v2", ReadText(dir + "\\Bin\\data.txt"));
    EXPECT_EQ("RIFF music", ReadText(dir + "\\Sound\\music.wav"));

    // Registry: per-file records, shortcut mark, REG values, referrer, update records, uninstall entry.
    EXPECT_EQ(3u, InstalledVersion("Bin__guiclient.exe"));
    EXPECT_EQ("c3", InstalledChecksum("Bin__guiclient.exe"));
    EXPECT_EQ(2u, InstalledVersion("Bin__data.txt"));
    EXPECT_EQ("t2", InstalledChecksum("Bin__data.txt"));
    Utils::RegistryKey product = ProductKey();
    EXPECT_EQ(1u, product.GetDword("IsOVNotFirst", kBrand, 0));
    EXPECT_EQ(70u, product.GetDword("Volume", std::string(kBrand) + "\\Settings", 0));
    EXPECT_EQ("eu/1", product.GetString("Server", kBrand, ""));
    EXPECT_EQ("http://refer.x", product.GetString("ReferrerUrl", kBrand, ""));
    EXPECT_EQ("EN", product.GetString("LastUpdateLang_4_2_1", "", ""));
    EXPECT_EQ(kManifestDate, product.GetString("LastUpdateDate_4_2_1", "", ""));
    ExpectCompleteEntry("3.1 beta");

    // Shortcuts.
    EXPECT_TRUE(Exists(ProgramsFolder() + "\\OrvScnBrand\\OrvScnBrand.lnk"));
    EXPECT_TRUE(Exists(ProgramsFolder() + "\\OrvScnBrand\\Uninstall.lnk"));
    EXPECT_TRUE(Exists(DesktopFolder() + "\\OrvScnBrand.lnk"));

    // The server: one manifest request with an empty date, each package once.
    EXPECT_EQ(std::vector<std::string>{ExpectedRequest("EN", "")}, ManifestTargets());
    EXPECT_EQ(Sorted({"/files/lzma^d1.exe", "/files/oggdec^d2.exe", "/files/guiclient.exe^c3.lzma",
                      "/files/data^t2.txt", "/files/music.wav^m1.ogg", "/files/tool^p1.exe"}),
              Sorted(PackagePaths()));
    ASSERT_TRUE(WaitForFunnelCount(2));
    EXPECT_EQ(1u, Count(FunnelStatuses(), "50"));
    EXPECT_EQ(1u, Count(FunnelStatuses(), "60"));

    // Decoders, post-install tool, and the client started at the end.
    auto lzma = StartsOf("lzma");
    ASSERT_EQ(1u, lzma.size());
    EXPECT_EQ("lzma  d " + Utils::FileSystem::PartialName("Bin\\OrvScnBrand.exe", "files/guiclient.exe^c3.lzma") + " " +
                  Utils::FileSystem::ReplacementName("Bin\\OrvScnBrand.exe"),
              lzma[0].commandLine);
    auto tool = StartsOf("tool");
    ASSERT_EQ(1u, tool.size());
    EXPECT_EQ("Bin\\tool.exe OrvScnBrand.exe ..\\OrvScnBrand.exe", tool[0].commandLine);
    EXPECT_EQ(dir + "\\Bin", tool[0].folder);
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    auto client = StartsOf("orvscnbrand");
    ASSERT_EQ(1u, client.size());
    EXPECT_EQ("\"" + dir + "\\Bin\\OrvScnBrand.exe\"", client[0].commandLine);
    EXPECT_EQ(dir + "\\Bin", client[0].folder);

    // What the player saw.
    EXPECT_EQ(std::vector<std::string>{std::string(kBrand) + " Update"}, DialogLines("SetTitle"));
    EXPECT_EQ(std::vector<std::string>{"http://skin.test/p"}, DialogLines("ShowWebPage"));
    auto texts = DialogLines("SetItemText");
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ("Downloading: Installation data", texts.front());
    EXPECT_EQ("Finished update", texts.back());
}

TEST_F(ScenarioTest, SecondRunFetchesNothingAndTheInstalledCopySendsTheDate) {
    AddStandardFiles();
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_EQ(5u, PackagePaths().size());
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    ASSERT_TRUE(WaitForFunnelCount(1));
    m_server.ClearRequests();

    ExpectCompleteEntry("");  // a manifest without DISPLAY_VERSION

    // The downloaded installer again: copies itself again (report 50), fetches nothing.
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_TRUE(PackagePaths().empty());
    EXPECT_EQ(std::vector<std::string>{ExpectedRequest("EN", "")}, ManifestTargets());
    ASSERT_TRUE(WaitForFunnelCount(1));
    EXPECT_EQ(std::vector<std::string>{"50"}, FunnelStatuses());
    m_server.ClearRequests();
    DeleteFileA(m_standinLog.c_str());

    // The installed copy: its stem names the brand's key, so the date goes out;
    // no self-copy, no report 50, still the client's start.
    ASSERT_EQ(0, RunInstalled());
    EXPECT_EQ(std::vector<std::string>{ExpectedRequest("EN", kManifestDate)}, ManifestTargets());
    EXPECT_TRUE(PackagePaths().empty());
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    EXPECT_TRUE(FunnelStatuses().empty());
    m_server.ClearRequests();

    // Another language empties the date.
    ASSERT_EQ(0, RunInstalled("DE"));
    EXPECT_EQ(std::vector<std::string>{ExpectedRequest("DE", "")}, ManifestTargets());
    EXPECT_EQ("DE", ProductKey().GetString("LastUpdateLang_4_2_1", "", ""));
}

TEST_F(ScenarioTest, ChangedVersionOrChecksumFetchesOnlyThatFile) {
    AddStandardFiles();
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    m_server.ClearRequests();

    AddFile({"Bin__data.txt", 3, "files/data^t3.txt", 6, "client data v3", false});
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunInstalled());
    EXPECT_EQ(std::vector<std::string>{"/files/data^t3.txt"}, PackagePaths());
    EXPECT_EQ("client data v3", ReadText(InstallDir() + "\\Bin\\data.txt"));
    EXPECT_EQ(3u, InstalledVersion("Bin__data.txt"));
    m_server.ClearRequests();

    // Same version, other checksum: fetched again. Lower version, same checksum: not.
    AddFile({"Bin__data.txt", 3, "files/data^t3b.txt", 6, "client data v3b", false});
    AddFile({"Sound__music.wav", 0, "files/music.wav^m1.ogg", 7, "RIFF music", true});
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunInstalled());
    EXPECT_EQ(std::vector<std::string>{"/files/data^t3b.txt"}, PackagePaths());
    EXPECT_EQ("t3b", InstalledChecksum("Bin__data.txt"));
}

TEST_F(ScenarioTest, UninstallEntryFollowsUpdatesAndAnUpdateCheckDoesNotMeasure) {
    AddStandardFiles();
    ServeManifest(Manifest("DISPLAY_VERSION=1.0\n"));
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    const DWORD firstSize = UninstallEntry().GetDword("EstimatedSize", "", 0);

    // A file grows by 20 KiB: measured again (EstimatedSize rounds the sum up),
    // the new version shown.
    AddFile({"Bin__data.txt", 3, "files/data^t3.txt", 6, std::string(20 * 1024, 'd'), false});
    ServeManifest(Manifest("DISPLAY_VERSION=1.1\n"));
    ASSERT_EQ(0, RunInstalled());
    ExpectCompleteEntry("1.1");
    EXPECT_GE(UninstallEntry().GetDword("EstimatedSize", "", 0), firstSize + 19);

    // Nothing fetched: the folders are not walked, a planted size stays.
    m_server.ClearRequests();
    UninstallEntry().SetDword("EstimatedSize", 7, true, "");
    ASSERT_EQ(0, RunInstalled());
    EXPECT_TRUE(PackagePaths().empty());
    EXPECT_EQ(7u, UninstallEntry().GetDword("EstimatedSize", "", 0));

    // An entry as an earlier installer wrote it is completed, and a manifest
    // without a version keeps the one shown.
    for (const char* name : {"EstimatedSize", "DisplayIcon", "InstallLocation", "Publisher", "URLInfoAbout",
                             "NoModify", "NoRepair"}) {
        UninstallEntry().Delete(name, "");
    }
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunInstalled());
    ExpectCompleteEntry("1.1");
}

// The entry is machine-wide, the records per user: a second user's
// installation fetches everything again and keeps the entry as it was written.
TEST_F(ScenarioTest, ASecondUserKeepsTheEntryButUpdatesItsRelease) {
    AddStandardFiles();
    ServeManifest(Manifest("DISPLAY_VERSION=1.0\n"));
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    UninstallEntry().SetString("DisplayName", "Installed first", true, "");
    UninstallEntry().SetString("Publisher", "First publisher", true, "");
    UninstallEntry().SetDword("EstimatedSize", 7, true, "");
    Utils::RegistryKey(Utils::kUserHive, "").Delete(kProduct, "");
    m_server.ClearRequests();

    ServeManifest(Manifest("DISPLAY_VERSION=1.1\n"));
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(5u, PackagePaths().size());
    EXPECT_EQ("Installed first", UninstallEntry().GetString("DisplayName", "", ""));
    EXPECT_EQ("First publisher", UninstallEntry().GetString("Publisher", "", ""));
    EXPECT_EQ("1.1", UninstallEntry().GetString("DisplayVersion", "", ""));
    EXPECT_EQ(InstalledKiB(), UninstallEntry().GetDword("EstimatedSize", "", 0));
}

TEST_F(ScenarioTest, FilesAreFetchedByOrderNumber) {
    AddStandardFiles();
    AddFile({"a.txt", 1, "files/a^1.txt", 10, "a", false});
    AddFile({"b.txt", 1, "files/b^1.txt", 9, "b", false});
    AddFile({"c.txt", 1, "files/c^1.txt", 100, "c", false});
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(8u, PackagePaths().size());
    // Fetched ahead in any order, taken in order: the status line tells.
    std::vector<std::string> downloading;
    for (const std::string& text : DialogLines("SetItemText")) {
        if (text.compare(0, 13, "Downloading: ") == 0) downloading.push_back(text.substr(13));
    }
    ASSERT_EQ(9u, downloading.size());  // the manifest first
    EXPECT_EQ((std::vector<std::string>{"b.txt", "a.txt", "c.txt"}),
              std::vector<std::string>(downloading.begin() + 6, downloading.end()));
}

TEST_F(ScenarioTest, NoUpdateAvailableChangesNothingButOtherValuesDo) {
    AddStandardFiles();
    ServeManifest("[NO_UPDATE_AVILABLE]\nVALUE=1\n" + Manifest());
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_TRUE(PackagePaths().empty());
    EXPECT_FALSE(Exists(InstalledCopy()));
    EXPECT_EQ("", ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));
    EXPECT_FALSE(Utils::RegistryKey(1, kProduct).KeyExists(kBrand));
    EXPECT_EQ("", Utils::RegistryKey(0, Registration::UninstallKeyPath(kBrand)).GetString("DisplayName", "", ""));
    EXPECT_TRUE(DialogLines("SetTitle").empty());
    EXPECT_EQ("Finished update", DialogLines("SetItemText").back());

    ServeManifest("[NO_UPDATE_AVILABLE]\nVALUE=2\n" + Manifest());
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(5u, PackagePaths().size());
    EXPECT_TRUE(Exists(InstalledCopy()));
    EXPECT_EQ(kManifestDate, ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));
}

TEST_F(ScenarioTest, OfflinePassInstallsFromTheCabinetBesideTheInstaller) {
    // The stand-in cabinet tool copies the folder named on the cabinet's first line.
    const std::string content = FreshFolder(ExeFolder() + "\\scenario_cabinet");
    PackageFile files[] = {
        {"lzma.exe", 1, "lzma^d1.exe", 1, ReadText(ExeFolder() + "\\lzma.exe"), false},
        {"Bin__guiclient.exe", 3, "guiclient.exe^c3.lzma", 2, ReadText(ExeFolder() + "\\standin_client.exe"), true},
        {"Bin__data.txt", 2, "data^t2.txt", 3, "offline data", false},
    };
    for (const PackageFile& file : files) {
        AddFile(file);
        WriteText(content + "\\" + file.spec, file.compressed ? "PACKED:" + file.content : file.content);
    }
    const std::string manifest = Manifest();
    WriteText(content + "\\" + IniName("EN").substr(1), manifest);
    WriteText(m_downloadFolder + "\\Product_" + kProduct + ".cab", content + "\r\n");
    // The cabinet tool of the profile's brand's data folder, where a release
    // puts it (started from a copy); the one beside the installer is never started.
    const std::string toolFolder = InstallFolderPath(BrandNameFor(2, 1), true);
    const bool madeToolFolder = CreateDirectoryA(toolFolder.c_str(), nullptr) != FALSE;
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\cabarc.exe").c_str(), (toolFolder + "\\cabarc.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\cabarc.exe").c_str(), (m_downloadFolder + "\\cabarc.exe").c_str(), FALSE));
    ServeManifest(manifest);

    ASSERT_EQ(0, RunDownloaded());
    DeleteFileA((toolFolder + "\\cabarc.exe").c_str());
    if (madeToolFolder) RemoveDirectoryA(toolFolder.c_str());
    auto cab = StartsOf("cabarc");
    ASSERT_EQ(1u, cab.size());
    EXPECT_TRUE(StartedFromToolCopy(cab[0])) << cab[0].program;
    EXPECT_EQ(0u, cab[0].commandLine.find("cabarc.exe -r -p -o X Product_OrvantaTestScenario.cab "));
    EXPECT_EQ('\\', cab[0].commandLine.back());
    EXPECT_EQ("offline data", ReadText(InstallDir() + "\\Bin\\data.txt"));
    EXPECT_EQ(3u, InstalledVersion("Bin__guiclient.exe"));
    // The online pass finds everything in place: nothing is downloaded.
    EXPECT_EQ(1u, ManifestTargets().size());
    EXPECT_TRUE(PackagePaths().empty());
    EXPECT_TRUE(Exists(DesktopFolder() + "\\OrvScnBrand.lnk"));
    EXPECT_EQ(std::string(kBrand) + " Installation", DialogLines("SetTitle").front());
    EXPECT_EQ(" Preparing installation files", DialogLines("SetItemText").front());
    ASSERT_TRUE(WaitForFunnelCount(2));
    EXPECT_EQ(2u, Count(FunnelStatuses(), "50"));  // once per pass
    EXPECT_EQ("EN", ProductKey().GetString("LastUpdateLang_4_2_1", "", ""));
}

TEST_F(ScenarioTest, InstalledCopyRunsNoSelfCopyNoReportAndNoTool) {
    AddStandardFiles();
    AddFile({"Bin__tool.exe", 1, "files/tool^p1.exe", 8, ReadText(ExeFolder() + "\\standin_client.exe"), false});
    ServeManifest(Manifest("EXE_UPDATERES=tool.exe\n"));
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_EQ(1u, StartsOf("tool").size());
    ASSERT_TRUE(WaitForFunnelCount(2));
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    m_server.ClearRequests();
    DeleteFileA(m_standinLog.c_str());
    DeleteFileA(m_dialogLog.c_str());
    // The installed copy does not write the entry's name back.
    Utils::RegistryKey(0, Registration::UninstallKeyPath(kBrand)).Delete("DisplayName", "");

    AddFile({"Bin__data.txt", 5, "files/data^t5.txt", 6, "v5", false});
    ServeManifest(Manifest("EXE_UPDATERES=tool.exe\n"));
    ASSERT_EQ(0, RunInstalled());
    EXPECT_EQ(std::vector<std::string>{"/files/data^t5.txt"}, PackagePaths());
    EXPECT_TRUE(StartsOf("tool").empty());
    EXPECT_EQ("", Utils::RegistryKey(0, Registration::UninstallKeyPath(kBrand)).GetString("DisplayName", "", ""));
    EXPECT_EQ(std::vector<std::string>{std::string(kBrand) + " Update"}, DialogLines("SetTitle"));
    EXPECT_EQ(" Checking for updates", DialogLines("SetItemText").front());
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    EXPECT_TRUE(FunnelStatuses().empty());
}

TEST_F(ScenarioTest, FailedDownloadKeepsEarlierRecordsAndTheNextRunFetchesTheRest) {
    AddStandardFiles();
    AddFile({"Bin__late.txt", 1, "files/late^l1.txt", 9, "late", false});
    ServeManifest(Manifest());
    DeleteFileA((m_releaseFolder + "\\files\\data^t2.txt").c_str());  // order 6 is missing on the server

    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(3u, InstalledVersion("Bin__guiclient.exe"));
    EXPECT_EQ(0u, InstalledVersion("Bin__data.txt"));
    EXPECT_EQ(0u, InstalledVersion("Bin__late.txt"));
    EXPECT_EQ("", ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));
    EXPECT_EQ(Count(DialogLines("SetItemText"), "Finished update"), 0u);
    // The failed online pass falls back to <own folder>\Bin\<own name>.exe.
    m_server.ClearRequests();

    AddFile({"Bin__data.txt", 2, "files/data^t2.txt", 6, "client data v2", false});
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(Sorted({"/files/data^t2.txt", "/files/music.wav^m1.ogg", "/files/late^l1.txt"}),
              Sorted(PackagePaths()));
    EXPECT_EQ(1u, InstalledVersion("Bin__late.txt"));
}

TEST_F(ScenarioTest, AFaultDuringAnUpdateLeavesTheFileAndItsRecordAndTheNextRunCompletes) {
    enum Kind { CUT_CONNECTION, SERVER_ERROR, TARGET_IN_USE };
    struct Fault {
        const char* name;
        Kind kind;
    };
    const Fault faults[] = {{"connection cut", CUT_CONNECTION}, {"500 answer", SERVER_ERROR},
                            {"target in use", TARGET_IN_USE}};
    AddStandardFiles();
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunDownloaded());
    const std::string data = InstallDir() + "\\Bin\\data.txt";
    int version = 2;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        const std::string before = ReadText(data);
        const std::string checksum = InstalledChecksum("Bin__data.txt");
        ++version;
        const std::string spec = "files/data^t" + std::to_string(version) + ".txt";
        const std::string content = std::string(4000, 'a' + static_cast<char>(version)) + " v" + std::to_string(version);
        AddFile({"Bin__data.txt", version, spec, 6, content, false});
        ServeManifest(Manifest());
        TestSupport::Response faulty;
        faulty.body = content;
        if (fault.kind == CUT_CONNECTION) faulty.closeAfterBytes = 1000;
        if (fault.kind == SERVER_ERROR) faulty.status = 500;
        if (fault.kind != TARGET_IN_USE) m_server.SetResponse("/" + spec, faulty);
        DeleteFileA(m_dialogLog.c_str());
        {
            // Held the way a virus scanner holds a file.
            Utils::FileHandle lock;
            if (fault.kind == TARGET_IN_USE) {
                lock.Reset(CreateFileA(data.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
                ASSERT_TRUE(lock);
            }
            ASSERT_EQ(0, RunInstalled());
        }
        EXPECT_EQ(before, ReadText(data));
        EXPECT_EQ(static_cast<DWORD>(version - 1), InstalledVersion("Bin__data.txt"));
        EXPECT_EQ(checksum, InstalledChecksum("Bin__data.txt"));
        EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(InstallDir()));
        EXPECT_EQ(0u, Count(DialogLines("SetItemText"), "Finished update"));

        faulty = TestSupport::Response();
        faulty.body = content;
        m_server.SetResponse("/" + spec, faulty);
        DeleteFileA(m_dialogLog.c_str());
        ASSERT_EQ(0, RunInstalled());
        EXPECT_EQ(content, ReadText(data));
        EXPECT_EQ(static_cast<DWORD>(version), InstalledVersion("Bin__data.txt"));
        EXPECT_EQ(1u, Count(DialogLines("SetItemText"), "Finished update"));
    }
}

TEST_F(ScenarioTest, AMissingRecordedFileIsFetchedAgainAndLeftoversAreCleared) {
    AddStandardFiles();
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunDownloaded());
    m_server.ClearRequests();
    // Deleted by the player; leftovers of a run that was cut short.
    const std::string dir = InstallDir();
    ASSERT_TRUE(DeleteFileA((dir + "\\Sound\\music.wav").c_str()));
    WriteText(Utils::FileSystem::PartialName(dir + "\\Bin\\data.txt", "files/data^t3.txt"), "half");
    WriteText(Utils::FileSystem::ReplacementName(dir + "\\lzma.exe"), "half");
    WriteText(Utils::FileSystem::ReplacementName(InstalledCopy()), "half");
    ASSERT_EQ(0, RunInstalled());
    EXPECT_EQ(std::vector<std::string>{"/files/music.wav^m1.ogg"}, PackagePaths());
    EXPECT_EQ("RIFF music", ReadText(dir + "\\Sound\\music.wav"));
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(dir));
}

TEST_F(ScenarioTest, LaunchPrefersAPendingInstallerThenTheClient) {
    AddStandardFiles();
    ServeManifest(Manifest());
    // An earlier installation's folder, where the newer installer was delivered.
    ASSERT_TRUE(BrandFolders::Record(InstallDir(), kBrand));
    CreateDirectoryA(InstallDir().c_str(), nullptr);
    const std::string pending = InstallDir() + "\\_" + kSetupName + ".exe";
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\standin_client.exe").c_str(), pending.c_str(), FALSE));
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_TRUE(WaitForStart("_orvscnsetup", 30000));
    EXPECT_EQ("\"" + pending + "\"", StartsOf("_orvscnsetup")[0].commandLine);
    EXPECT_TRUE(StartsOf("orvscnbrand").empty());
}

TEST_F(ScenarioTest, LaunchFallsBackAfterAFailedOnlinePass) {
    ServeManifest("server trouble", 500);
    // Without an installed fall-back client: <own folder>\Bin\<own name>.exe.
    CreateDirectoryA((m_downloadFolder + "\\Bin").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\standin_client.exe").c_str(),
                          (m_downloadFolder + "\\Bin\\" + kSetupName + ".exe").c_str(), FALSE));
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_TRUE(WaitForStart("orvscnsetup", 30000));
    EXPECT_EQ("\"" + m_downloadFolder + "\\Bin\\" + kSetupName + ".exe\"", StartsOf("orvscnsetup")[0].commandLine);
    DeleteFileA(m_standinLog.c_str());

    // With <data folder of the own name>\bin\<own name>.exe present, that one.
    std::string programFiles;
    GetSpecialFolder(CSIDL_PROGRAM_FILES, programFiles);
    const std::string fallbackDir = programFiles + "\\" + kSetupName;
    CreateDirectoryA(fallbackDir.c_str(), nullptr);
    CreateDirectoryA((fallbackDir + "\\bin").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\standin_client.exe").c_str(),
                          (fallbackDir + "\\bin\\" + kSetupName + ".exe").c_str(), FALSE));
    ASSERT_EQ(0, RunDownloaded());
    ASSERT_TRUE(WaitForStart("orvscnsetup", 30000));
    auto starts = StartsOf("orvscnsetup");
    EXPECT_EQ("\"" + fallbackDir + "\\bin\\" + kSetupName + ".exe\"", starts[0].commandLine);
    EXPECT_EQ(fallbackDir + "\\bin", starts[0].folder);
}

TEST_F(ScenarioTest, NothingIsStartedWithoutAClientName) {
    AddStandardFiles();
    std::string manifest = Manifest();
    manifest.replace(manifest.find("EXE_NAME=guiclient.exe"), 22, "EXE_NAME=");
    ServeManifest(manifest);
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ("Finished update", DialogLines("SetItemText").back());
    EXPECT_TRUE(Exists(InstallDir() + "\\Bin\\guiclient.exe"));  // no self-name rule without a name
    // A start would have been created before the worker ended the process;
    // give its record a moment to be written all the same.
    Sleep(3000);
    for (const StandinStart& start : ReadStandinLog(m_standinLog)) {
        EXPECT_TRUE(start.name == "lzma" || start.name == "oggdec") << start.name;
    }
}

TEST_F(ScenarioTest, UnsafeManifestNamesAreRefused) {
    AddStandardFiles();
    std::string manifest = Manifest();
    manifest.replace(manifest.find(std::string("BRAND_NAME=") + kBrand), 11 + std::string(kBrand).size(),
                     "BRAND_NAME=..\\..\\Windows");
    ServeManifest(manifest);
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_TRUE(PackagePaths().empty());
    EXPECT_EQ(0u, Count(DialogLines("SetItemText"), "Finished update"));

    m_files.clear();
    AddStandardFiles();
    AddFile({"..__..__escape.txt", 1, "files/escape^e1.txt", 6, "escaped", false});
    ServeManifest(Manifest());
    ASSERT_EQ(0, RunDownloaded());
    std::string programFiles;
    GetSpecialFolder(CSIDL_PROGRAM_FILES, programFiles);
    EXPECT_FALSE(Exists(programFiles + "\\..\\escape.txt"));
    EXPECT_FALSE(Exists(programFiles + "\\escape.txt"));
    EXPECT_EQ(0u, InstalledVersion("..__..__escape.txt"));
    EXPECT_EQ(0u, Count(PackagePaths(), "/files/escape^e1.txt"));
}

TEST_F(ScenarioTest, Sha256DigestsAreVerifiedAndATamperedFileIsRemoved) {
    const std::string dataText = "verified data";
    const std::string probe = ExeFolder() + "\\scenario_digest_probe.txt";
    WriteText(probe, dataText);
    const std::string dataSum = Digest::Sha256OfFile(probe);
    WriteText(probe, "RIFF music");
    const std::string musicSum = Digest::Sha256OfFile(probe);
    ASSERT_EQ(64u, dataSum.size());

    AddFile({"lzma.exe", 1, "files/lzma^x.exe", 1, ReadText(ExeFolder() + "\\lzma.exe"), false});
    AddFile({"oggdec.exe", 1, "files/oggdec^x.exe", 2, ReadText(ExeFolder() + "\\oggdec.exe"), false});
    AddFile({"Bin__data.txt", 1, "files/data^" + dataSum + ".txt", 3, dataText, false});
    AddFile({"Sound__music.wav", 1, "files/music.wav^" + musicSum + ".ogg", 4, "RIFF tampered", true});
    ServeManifest(Manifest("FILE_DIGEST=SHA256\n"));
    ASSERT_EQ(0, RunDownloaded());
    // lzma.exe's "checksum" x is not its digest: the very first file fails.
    EXPECT_EQ(0u, InstalledVersion("lzma.exe"));
    EXPECT_FALSE(Exists(InstallDir() + "\\lzma.exe"));
    m_server.ClearRequests();

    m_files.clear();
    WriteText(probe, ReadText(ExeFolder() + "\\lzma.exe"));
    const std::string lzmaSum = Digest::Sha256OfFile(probe);
    WriteText(probe, ReadText(ExeFolder() + "\\oggdec.exe"));
    const std::string oggSum = Digest::Sha256OfFile(probe);
    AddFile({"lzma.exe", 1, "files/lzma^" + lzmaSum + ".exe", 1, ReadText(ExeFolder() + "\\lzma.exe"), false});
    AddFile({"oggdec.exe", 1, "files/oggdec^" + oggSum + ".exe", 2, ReadText(ExeFolder() + "\\oggdec.exe"), false});
    AddFile({"Bin__data.txt", 1, "files/data^" + dataSum + ".txt", 3, dataText, false});
    AddFile({"Sound__music.wav", 1, "files/music.wav^" + musicSum + ".ogg", 4, "RIFF tampered", true});
    ServeManifest(Manifest("FILE_DIGEST=SHA256\n"));
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(1u, InstalledVersion("Bin__data.txt"));
    EXPECT_EQ(dataSum, InstalledChecksum("Bin__data.txt"));
    EXPECT_EQ(0u, InstalledVersion("Sound__music.wav"));
    EXPECT_FALSE(Exists(InstallDir() + "\\Sound\\music.wav"));
    EXPECT_EQ("", ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));

    // The genuine file passes.
    AddFile({"Sound__music.wav", 1, "files/music.wav^" + musicSum + ".ogg", 4, "RIFF music", true});
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ("RIFF music", ReadText(InstallDir() + "\\Sound\\music.wav"));
    EXPECT_EQ(musicSum, InstalledChecksum("Sound__music.wav"));

    // A decoder another program changed after its installation is fetched
    // again: only the release's bytes are ever started.
    WriteText(InstallDir() + "\\lzma.exe", "changed by another program");
    m_server.ClearRequests();
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(1u, Count(PackagePaths(), "/files/lzma^" + lzmaSum + ".exe"));
    EXPECT_EQ(ReadText(ExeFolder() + "\\lzma.exe"), ReadText(InstallDir() + "\\lzma.exe"));
}

TEST(Digest, KnownVectors) {
    const std::string path = ExeFolder() + "\\digest_vector.txt";
    WriteText(path, "abc");
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Digest::Sha256OfFile(path));
    WriteText(path, "");
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Digest::Sha256OfFile(path));
    EXPECT_EQ("", Digest::Sha256OfFile(path + ".absent"));
}

} // namespace
} // namespace EngineTest
