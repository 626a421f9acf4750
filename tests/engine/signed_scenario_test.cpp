// Whole runs of an installer with a release key (the driver given the test
// key) against releases that the packer made and signed in this test run
// (make_signed_releases.py): signed releases install and update; whatever is
// forged or replayed changes nothing on the machine.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "ScenarioFixture.h"
#include "engine/Registration.h"
#include "support/MachineState.h"

namespace EngineTest {
namespace {

std::string SignedData(const std::string& name) { return ExeFolder() + "\\signed_data\\" + name; }

// That package file in the served release folder.
std::string PackagePath(const std::string& manifest, const std::string& key) {
    std::string path = SignedData("release\\" + SpecOf(manifest, key));
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool SameFolder(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

class SignedScenarioTest : public ScenarioTest {
protected:
    void SetUp() override {
        ScenarioTest::SetUp();
        m_server.ServeFolder(SignedData("release"));
        m_engineLog = ExeFolder() + "\\signed_engine_log.txt";
        SetEnvironmentVariableA("ORV_DRIVER_KEYS", ReadText(SignedData("key.txt")).c_str());
        SetEnvironmentVariableA("ORV_DRIVER_ECHO", m_engineLog.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableA("ORV_DRIVER_KEYS", nullptr);
        SetEnvironmentVariableA("ORV_DRIVER_ECHO", nullptr);
        ScenarioTest::TearDown();
    }

    std::string Signed(const std::string& name) const { return ReadText(SignedData(name + ".ini")); }

    // The installed copy's update check against this answer; fresh logs for it.
    void CheckForUpdates(const std::string& manifest) {
        ServeManifest(manifest);
        m_server.ClearRequests();
        DeleteFileA(m_engineLog.c_str());
        DeleteFileA(m_dialogLog.c_str());
        DeleteFileA(m_standinLog.c_str());
        ASSERT_EQ(0, RunInstalled());
        // Whatever the answer, the client that is started is the installed one.
        ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
        for (const StandinStart& start : StartsOf("orvscnbrand")) {
            EXPECT_TRUE(SameFolder(InstallDir() + "\\Bin", start.folder)) << start.folder;
        }
    }

    TestSupport::MachineState State() const {
        TestSupport::MachineState state;
        TestSupport::AddFiles(state, InstallDir());
        TestSupport::AddFiles(state, ProgramsFolder() + "\\" + kBrand);
        TestSupport::AddFiles(state, DesktopFolder() + "\\" + kBrand + ".lnk");
        TestSupport::AddRegistry(state, HKEY_CURRENT_USER, std::string("Software\\") + kProduct);
        TestSupport::AddRegistry(state, HKEY_LOCAL_MACHINE, "Software\\" + Registration::UninstallKeyPath(kBrand));
        return state;
    }

    std::string m_engineLog;
};

TEST_F(SignedScenarioTest, SignedReleasesInstallAndUpdateWhileForgedOrReplayedAnswersChangeNothing) {
    const std::string bin = InstallDir() + "\\Bin\\";
    ServeManifest(Signed("r1"));
    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ("signed data 1", ReadText(bin + "data.txt"));
    EXPECT_EQ(ReadText(SignedData("client\\Bin\\guiclient.exe")), ReadText(bin + kBrand + ".exe"));
    EXPECT_EQ(4u, PackagePaths().size());
    EXPECT_EQ("20250101000000", ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    // A client elsewhere that only a manifest could name.
    CreateDirectoryA((InstallDir() + "\\Evil").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\standin_client.exe").c_str(),
                          (InstallDir() + "\\Evil\\" + kBrand + ".exe").c_str(), FALSE));

    const std::string r2 = Signed("r2"), r3 = Signed("r3");
    const std::string unsigned2 = r2.substr(0, r2.rfind(";signature="));
    std::string changed2 = r2;
    changed2.replace(changed2.find("Bin__data.txt=2,"), 16, "Bin__data.txt=3,");
    const std::string evilNoUpdate =
        "[GENERAL]\r\nBRAND_NAME=OrvScnBrand\r\nEXE_NAME=guiclient.exe\r\nEXE_WORK_PATH=Evil\r\n"
        "[NO_UPDATE_AVILABLE]\r\nVALUE=1\r\n";
    struct Refused {
        const char* name;
        const char* installed;  // the release installed when it is served
        std::string manifest;
        const char* swappedKey;  // a FILE key whose package file is swapped on the server
        const char* swapWith;
        std::string offline;  // an offline manifest beside the installed copy
        const char* reason;   // what the log says
    };
    const Refused cases[] = {
        {"unsigned", "r1", unsigned2, nullptr, nullptr, "", "manifest refused: missing"},
        {"one byte changed", "r1", changed2, nullptr, nullptr, "", "manifest refused: bad signature"},
        {"another key", "r1", Signed("r2-other-key"), nullptr, nullptr, "", "manifest refused: bad signature"},
        {"text after the signature", "r1", r2 + "[GENERAL]\r\nEXE_WORK_PATH=Evil\r\n", nullptr, nullptr, "",
         "manifest refused: malformed"},
        {"stored file swapped", "r1", r2, "Bin__data.txt", "swap.txt", "", "file SHA-256 mismatch"},
        {"unsigned no-update naming another client", "r1", evilNoUpdate, nullptr, nullptr, "",
         "manifest refused: missing"},
        {"no-update of a later release", "r1", Signed("r2-noupdate"), nullptr, nullptr, "",
         "the no-update answer is for release 20250102000000"},
        {"unsigned offline manifest", "r1", Signed("r1-noupdate"), nullptr, nullptr, unsigned2,
         "manifest refused: missing"},
        {"older release", "r2", Signed("r1"), nullptr, nullptr, "", "is older than release 20250102000000"},
        {"older no-update", "r2", Signed("r1-noupdate"), nullptr, nullptr, "",
         "the no-update answer is for release 20250101000000"},
        {"compressed file swapped", "r2", r3, "Bin__big.txt", "swap.lzma", "", "package file SHA-256 mismatch"},
    };
    for (const char* installed : {"r1", "r2"}) {
        if (std::string(installed) == "r2") {  // a stored file changed
            CheckForUpdates(r2);
            EXPECT_EQ("signed data 2", ReadText(bin + "data.txt"));
            EXPECT_EQ(std::vector<std::string>{"/" + SpecOf(r2, "Bin__data.txt")}, PackagePaths());
        }
        for (const Refused& c : cases) {
            if (std::string(c.installed) != installed) continue;
            SCOPED_TRACE(c.name);
            const TestSupport::MachineState before = State();
            // The offline pass reads a manifest lying in the current folder.
            const std::string offline = InstallDir() + "\\" + IniName("EN").substr(1);
            if (!c.offline.empty()) WriteText(offline, c.offline);
            const std::string swapped = c.swappedKey ? PackagePath(c.manifest, c.swappedKey) : "";
            const std::string original = ReadText(swapped);
            if (c.swappedKey) WriteText(swapped, ReadText(SignedData(c.swapWith)));

            CheckForUpdates(c.manifest);
            DeleteFileA(offline.c_str());
            EXPECT_EQ("", TestSupport::Differences(before, State()));
            EXPECT_NE(std::string::npos, ReadText(m_engineLog).find(c.reason)) << ReadText(m_engineLog);
            EXPECT_EQ(c.swappedKey ? 1u : 0u, PackagePaths().size());

            if (c.swappedKey) WriteText(swapped, original);
        }
    }

    // A compressed file changed; then the release's own no-update answer is taken.
    CheckForUpdates(r3);
    EXPECT_EQ(ReadText(SignedData("client\\Bin\\big.txt")), ReadText(bin + "big.txt"));
    EXPECT_EQ(std::vector<std::string>{"/" + SpecOf(r3, "Bin__big.txt")}, PackagePaths());
    CheckForUpdates(Signed("r3-noupdate"));
    EXPECT_TRUE(PackagePaths().empty());
    EXPECT_EQ("Finished update", DialogLines("SetItemText").back());
    EXPECT_EQ("20250103000000", ProductKey().GetString("LastUpdateDate_4_2_1", "", ""));
}

} // namespace
} // namespace EngineTest
