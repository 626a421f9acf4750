// What an installation leaves in the registry and on disk, and stopping
// another running copy (real processes).
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "EngineTestUtil.h"
#include "engine/DownloadManager.h"
#include "engine/Registration.h"
#include "engine/SelfCopy.h"
#include "support/RecordingDialog.h"
#include "utils/Handles.h"
#include "utils/ini/IniFile.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/System.h"

using EngineTest::ReadText;
using EngineTest::WriteText;

namespace {

const char* const kProduct = "OrvantaTest_test_engine_registration";
const char* const kBrand = "RegBrand";

// Removes the test's product key before the fixture's key object recreates it.
struct FreshProductKey {
    FreshProductKey() { Utils::RegistryKey(Utils::kUserHive, "").Delete(kProduct, ""); }
    ~FreshProductKey() { Utils::RegistryKey(Utils::kUserHive, "").Delete(kProduct, ""); }
};

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { m_dialog.SetAnswers(4, 2, 1); }

    TestSupport::RecordingDialog m_dialog;
    FreshProductKey m_fresh;
    Utils::RegistryKey m_key{1, kProduct};
};

TEST_F(RegistrationTest, UninstallEntryIsWrittenOnlyWhenMissing) {
    const std::string brand = "OrvantaTestRegUninstall";
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
    Registration::WriteUninstallEntry(brand, "C:\\Program Files\\" + brand);
    Utils::RegistryKey entry(0, Registration::UninstallKeyPath(brand));
    EXPECT_EQ(brand, entry.GetString("DisplayName", "", ""));
    EXPECT_EQ("\"C:\\Program Files\\" + brand + "\\" + brand + ".exe\" /uninstall",
              entry.GetString("UninstallString", "", ""));

    entry.SetString("DisplayName", "older entry", true, "");
    entry.SetDword("NoRepair", 0, true, "");
    Registration::WriteUninstallEntry(brand, "D:\\elsewhere");
    EXPECT_EQ("older entry", entry.GetString("DisplayName", "", ""));
    EXPECT_EQ("\"C:\\Program Files\\" + brand + "\\" + brand + ".exe\" /uninstall",
              entry.GetString("UninstallString", "", ""));
    EXPECT_EQ("C:\\Program Files\\" + brand, entry.GetString("InstallLocation", "", ""));
    EXPECT_EQ(0u, entry.GetDword("NoRepair", "", 1));
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
}

TEST_F(RegistrationTest, ReleaseValuesGoIntoAnExistingEntryOnly) {
    const std::string brand = "OrvantaTestRegRelease";
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
    Registration::WriteReleaseValues(brand, "1.0", 5);
    EXPECT_FALSE(Registration::HasUninstallEntry(brand));
    EXPECT_EQ(Registration::kSizeUnknown, Registration::RecordedSize(brand));

    Registration::WriteUninstallEntry(brand, "C:\\x");
    EXPECT_EQ(Registration::kSizeUnknown, Registration::RecordedSize(brand));
    const struct {
        std::string version;
        DWORD size;
        std::string shown;
        DWORD recorded;
    } writes[] = {
        {"2.0 (build 7)", 5, "2.0 (build 7)", 5},
        {std::string(64, '9'), Registration::kSizeUnknown, std::string(64, '9'), 5},
        {std::string(65, '9'), 6, std::string(64, '9'), 6},  // not a version the list can show
        {"1.0\r\nforged", 6, std::string(64, '9'), 6},
        {"", 6, std::string(64, '9'), 6},                     // the manifest names none
    };
    Utils::RegistryKey entry(0, Registration::UninstallKeyPath(brand));
    for (const auto& write : writes) {
        SCOPED_TRACE(write.version);
        Registration::WriteReleaseValues(brand, write.version, write.size);
        EXPECT_EQ(write.shown, entry.GetString("DisplayVersion", "", ""));
        EXPECT_EQ(write.recorded, Registration::RecordedSize(brand));
    }
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
}

TEST_F(RegistrationTest, InstalledSizeCountsBothFoldersOnce) {
    const std::string install = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\size_install");
    const std::string data = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\size_data");
    CreateDirectoryA((install + "\\Bin").c_str(), nullptr);
    WriteText(install + "\\a.exe", std::string(1000, 'a'));
    WriteText(install + "\\Bin\\b.dat", std::string(1500, 'b'));
    WriteText(data + "\\c.dat", std::string(2048, 'c'));
    EXPECT_EQ(3u, Registration::InstalledSizeKiB(install, install));  // 2500 bytes
    EXPECT_EQ(3u, Registration::InstalledSizeKiB(install, install + "\\BIN\\.."));
    EXPECT_EQ(5u, Registration::InstalledSizeKiB(install, data));     // 4548 bytes
    EXPECT_EQ(0u, Registration::InstalledSizeKiB(install + "\\absent", ""));
}

TEST_F(RegistrationTest, FileRecordsLiveInTheBrandsInstalledSubkey) {
    EXPECT_EQ(0u, Registration::InstalledVersion(m_key, kBrand, "Bin__client.dll"));
    EXPECT_EQ("", Registration::InstalledChecksum(m_key, kBrand, "Bin__client.dll"));
    Registration::WriteFileRecord(m_key, kBrand, "Bin__client.dll", 12, "a1b2");
    Registration::WriteFileRecord(m_key, kBrand, "Bin__client.dll", 13, "c3");
    EXPECT_EQ(13u, m_key.GetDword("Bin__client.dll", "RegBrand\\Installed", 0));
    EXPECT_EQ("c3", m_key.GetString("Bin__client.dllCheckSum", "RegBrand\\Installed", ""));
    EXPECT_EQ(13u, Registration::InstalledVersion(m_key, kBrand, "Bin__client.dll"));
    EXPECT_EQ("c3", Registration::InstalledChecksum(m_key, kBrand, "Bin__client.dll"));
}

TEST_F(RegistrationTest, BulkRecordsReadLikeSingleReads) {
    Registration::WriteFileRecord(m_key, kBrand, "Bin__client.dll", 12, "a1b2");
    Registration::WriteFileRecord(m_key, kBrand, "Data__x.bin", 3, "");
    m_key.SetString("Odd", "text", true, "RegBrand\\Installed");    // a string where a number belongs
    m_key.SetDword("OddCheckSum", 5, true, "RegBrand\\Installed");  // and a number where a string belongs
    Registration::InstalledRecords records(kProduct, kBrand);
    const char* keys[] = {"Bin__client.dll", "BIN__CLIENT.DLL", "Data__x.bin", "Odd", "Absent"};
    for (const char* key : keys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(Registration::InstalledVersion(m_key, kBrand, key), records.Version(key));
        EXPECT_EQ(Registration::InstalledChecksum(m_key, kBrand, key), records.Checksum(key));
    }
    EXPECT_EQ(12u, records.Version("Bin__client.dll"));
    EXPECT_EQ("a1b2", records.Checksum("bin__client.dll"));
    EXPECT_EQ(0u, Registration::InstalledRecords(kProduct, "NoSuchBrand").Size());
}

TEST_F(RegistrationTest, RegSectionWritesBelowTheBrandOnly) {
    const std::string path = EngineTest::ExeFolder() + "\\registration_manifest.ini";
    ASSERT_TRUE(WriteText(path,
                          "[REG]\n"
                          "Mode/=D/Y/3\n"
                          "Keep/=D/N/9\n"
                          "Url/=S/Y/http://a/b\n"
                          "Volume/Settings\\Sound=D/Y/70\n"
                          "Bad/=X/Y/1\n"
                          "Escape/..\\..\\Stolen=S/Y/x\n"));
    m_key.SetDword("Mode", 1, true, kBrand);
    m_key.SetDword("Keep", 5, true, kBrand);
    Utils::IniFile manifest(path, 1);
    Registration::ApplyRegSection(m_key, kBrand, manifest);

    EXPECT_EQ(3u, m_key.GetDword("Mode", kBrand, 0));
    EXPECT_EQ(5u, m_key.GetDword("Keep", kBrand, 0));
    EXPECT_EQ("http://a/b", m_key.GetString("Url", kBrand, ""));
    EXPECT_EQ(70u, m_key.GetDword("Volume", "RegBrand\\Settings\\Sound", 0));
    EXPECT_EQ(77u, m_key.GetDword("Bad", kBrand, 77));
    EXPECT_FALSE(Utils::RegistryKey(Utils::kUserHive, "").KeyExists("Stolen"));
    EXPECT_FALSE(m_key.KeyExists("Stolen"));
}

TEST_F(RegistrationTest, ReferrerIsDecodedWhenHexAndKeptOtherwise) {
    struct Case {
        const char* referrer;
        const char* stored;
    };
    const Case cases[] = {
        {"687474703a2f2f782e79", "http://x.y"},
        {"687474703A2F2F782E79", "http://x.y"},
        {"http://plain.example/", "http://plain.example/"},
        {"abc", "abc"},  // an odd count of digits cannot be decoded: kept, the run goes on
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.referrer);
        Registration::WriteReferrer(m_key, kBrand, c.referrer);
        EXPECT_EQ(c.stored, m_key.GetString("ReferrerUrl", kBrand, "<none>"));
    }
}

TEST_F(RegistrationTest, UpdateRecordsCarryTheAnswerSuffix) {
    Registration::WriteUpdateRecord(kProduct, "EN", "2024-05-01");
    EXPECT_EQ("EN", m_key.GetString("LastUpdateLang_4_2_1", "", ""));
    EXPECT_EQ("2024-05-01", m_key.GetString("LastUpdateDate_4_2_1", "", ""));
    std::string lang;
    std::string date;
    Registration::ReadUpdateRecord(kProduct, lang, date);
    EXPECT_EQ("EN", lang);
    EXPECT_EQ("2024-05-01", date);
    m_dialog.SetAnswers(4, 2, 7);
    Registration::ReadUpdateRecord(kProduct, lang, date);
    EXPECT_EQ("", lang);
    EXPECT_EQ("", date);
}

TEST(RegistrationCopy, BlocksCopyEveryByteAndStopWhenWritesFail) {
    const std::string folder = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\registration_copy");
    std::string data;
    for (int i = 0; i < 1300; ++i) data += static_cast<char>(i * 7);
    ASSERT_TRUE(WriteText(folder + "\\source.bin", data));
    ASSERT_TRUE(WriteText(folder + "\\target.bin", std::string(5000, 'x')));
    EXPECT_TRUE(SelfCopy::CopyInBlocks(folder + "\\source.bin", folder + "\\target.bin"));
    EXPECT_EQ(data, ReadText(folder + "\\target.bin"));

    const Utils::Result noFolder = SelfCopy::CopyInBlocks(folder + "\\source.bin", folder + "\\missing\\target.bin");
    EXPECT_EQ(Utils::Reason::WriteFailed, noFolder.reason);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_PATH_NOT_FOUND), noFolder.error);
    EXPECT_EQ(Utils::Reason::SelfCopyFailed,
              SelfCopy::CopyInBlocks(folder + "\\absent.bin", folder + "\\target2.bin").reason);

    // A target that takes no bytes ends the copy instead of retrying forever.
    Utils::FileHandle source(CreateFileA((folder + "\\source.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    Utils::FileHandle readOnly(CreateFileA((folder + "\\target.bin").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(source && readOnly);
    EXPECT_EQ(Utils::Reason::AccessDenied, SelfCopy::CopyInBlocks(source.Get(), readOnly.Get()).reason);
}

TEST(RegistrationCopies, ChoiceOfTheOtherCopy) {
    EXPECT_EQ(0u, Utils::System::ChooseOtherProcess({}, 5));
    EXPECT_EQ(0u, Utils::System::ChooseOtherProcess({7}, 5));
    EXPECT_EQ(7u, Utils::System::ChooseOtherProcess({7, 5}, 5));
    EXPECT_EQ(8u, Utils::System::ChooseOtherProcess({5, 8, 9}, 5));
    EXPECT_EQ(7u, Utils::System::ChooseOtherProcess({7, 8}, 5));
    EXPECT_EQ(0u, Utils::System::ChooseOtherProcess({5, 5}, 5));  // found under both names: never itself
}

// A failed allocation on the worker ends the run with the message; it does
// not end the worker alone and leave the dialog waiting.
TEST(WorkerAllocation, FailureEndsWithTheMessage) {
    const Utils::Result failed = RunCatchingAllocationFailure([](void*) -> Utils::Result { throw std::bad_alloc(); }, nullptr);
    EXPECT_EQ(Utils::Reason::OutOfMemory, failed.reason);
    EXPECT_TRUE(DownloadManager::IsFatal(failed));
    EXPECT_EQ("Not enough memory to go on with the installation. Please close other programs and start it again.",
              DownloadManager::FatalMessage(failed, "Halvenor").text);
    int calls = 0;
    const Utils::Result ran = RunCatchingAllocationFailure(
        [](void* count) {
            ++*static_cast<int*>(count);
            return Utils::Result::Success();
        },
        &calls);
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(ran);
}

// The driver runs as Orvanta.exe; the other copy is a stand-in named
// <brand>.exe, in the installation's folder or, of the same name, elsewhere.
class RunningCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\registration_copies");
        m_elsewhere = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\registration_elsewhere");
        const std::string exe = EngineTest::ExeFolder();
        ASSERT_TRUE(CopyFileA((exe + "\\engine_driver.exe").c_str(), (m_folder + "\\Orvanta.exe").c_str(), FALSE));
        ASSERT_TRUE(
            CopyFileA((exe + "\\running_copy.exe").c_str(), (m_folder + "\\StopBrand.exe").c_str(), FALSE));
        ASSERT_TRUE(
            CopyFileA((exe + "\\running_copy.exe").c_str(), (m_elsewhere + "\\StopBrand.exe").c_str(), FALSE));
        m_log = m_folder + "\\dialog.txt";
        SetEnvironmentVariableA("ORV_DRIVER_LOG", m_log.c_str());
    }
    void TearDown() override { SetEnvironmentVariableA("ORV_DRIVER_LOG", nullptr); }

    // Waits until the stand-in runs with its modules loaded (and its window shown).
    void WaitUntilListed(const EngineTest::Process& other, bool visible) {
        for (int i = 0; i < 400; ++i) {
            if (!Utils::System::ProcessExecutable(other.Id()).empty() &&
                (!visible || Utils::System::HasVisibleWindow(other.Id())))
                return;
            Sleep(50);
        }
    }

    // Runs "stopcopies StopBrand <installation folder>" and returns its exit code.
    int StopCopies() {
        EngineTest::Process driver = EngineTest::Process::Start(
            m_folder + "\\Orvanta.exe", "stopcopies StopBrand \"" + m_folder + "\"", {m_folder, EngineTest::Window::Hidden});
        return driver.Started() ? driver.ExitCode(60000) : -1;
    }

    std::string m_folder;
    std::string m_elsewhere;
    std::string m_log;
};

TEST_F(RunningCopyTest, InvisibleCopyIsTerminated) {
    EngineTest::Process other =
        EngineTest::Process::Start(m_folder + "\\StopBrand.exe", "hidden", {m_folder, EngineTest::Window::Hidden});
    ASSERT_TRUE(other.Started());
    WaitUntilListed(other, false);
    EXPECT_EQ(0, StopCopies());
    EXPECT_EQ(-1, other.ExitCode(10000));  // terminated with 0xFFFFFFFF
    EXPECT_EQ("", ReadText(m_log));
}

TEST_F(RunningCopyTest, VisibleCopyStopsTheRunWithTheMessage) {
    EngineTest::Process other =
        EngineTest::Process::Start(m_folder + "\\StopBrand.exe", "visible", {m_folder, EngineTest::Window::Shown});
    ASSERT_TRUE(other.Started());
    WaitUntilListed(other, true);
    ASSERT_TRUE(Utils::System::HasVisibleWindow(other.Id()));
    EXPECT_EQ(1, StopCopies());
    EXPECT_TRUE(other.Running());
    EXPECT_NE(std::string::npos, ReadText(m_log).find("FailAndExit\t0\t0\t"));
    EXPECT_NE(std::string::npos, ReadText(m_log).find(" Details: Can't update while program is open"));
}

TEST_F(RunningCopyTest, ASingleCopyIsLeftAlone) {
    EXPECT_EQ(0, StopCopies());
    EXPECT_EQ("", ReadText(m_log));
}

// A program of the brand's name that runs from anywhere else is not ours:
// neither stopped nor, with a window, a reason to refuse the update.
TEST_F(RunningCopyTest, ACopyOutsideTheInstallationIsLeftAlone) {
    for (bool visible : {false, true}) {
        SCOPED_TRACE(visible);
        const EngineTest::Window window = visible ? EngineTest::Window::Shown : EngineTest::Window::Hidden;
        EngineTest::Process other =
            EngineTest::Process::Start(m_elsewhere + "\\StopBrand.exe", visible ? "visible" : "hidden", {m_elsewhere, window});
        ASSERT_TRUE(other.Started());
        WaitUntilListed(other, visible);
        EXPECT_EQ(0, StopCopies());
        EXPECT_TRUE(other.Running());
        EXPECT_EQ("", ReadText(m_log));
    }
}

} // namespace
