#include "uninstall/Uninstall.h"

#include "app/profile/Profile.h"
#include "engine/BrandFolders.h"
#include "engine/InstallLock.h"
#include "engine/Registration.h"
#include "support/RecordingDialog.h"
#include "support/TestFiles.h"
#include "support/TestJunction.h"
#include "support/TestProcess.h"
#include "support/TestThreads.h"
#include "utils/Event.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/MachineLock.h"

#include <shlobj.h>
#include <gtest/gtest.h>

using TestSupport::FailAndExitCalled;
using TestSupport::RecordingDialog;

namespace {

const std::string kBrand = "OrvUninstTest";
const std::string kUninstallPath = Registration::kUninstallKeyPath;

std::string Folder(int csidl) {
    std::string path;
    Utils::FileSystem::GetSpecialFolder(csidl, path);
    return path;
}

bool ValueExists(HKEY root, const std::string& path, const std::string& name) {
    Utils::RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return false;
    return RegQueryValueExA(key.Get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::string& path) {
    Utils::RegKey key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        answers.Set(FIELD_SERVER, 4);
        answers.Set(FIELD_PRODUCT, 2);
        answers.Set(FIELD_DID, 1);
        answers.Set(FIELD_LANG, 1);
        answers.Set(FIELD_CHAIN_START_TIME, 1191945099);
        ASSERT_EQ(answers.ProductWord(), "Tindermoor");
        dialog.SetAnswers(4, 2, 1);

        // What an installation leaves behind.
        Utils::RegistryKey product(Utils::kUserHive, "Tindermoor");
        answers.Save(product);
        product.SetString("LastUpdateLang_4_2_1", "EN", true, "");
        product.SetString("LastUpdateDate_4_2_1", "2026-12-01", true, "");
        product.SetDword("IsOVNotFirst", 1, true, kBrand);
        product.SetDword("client.dll", 3, true, kBrand + "\\Installed");
        product.SetString("OtherValue", "kept", true, "");
        programFiles = Folder(CSIDL_PROGRAM_FILES) + "\\" + kBrand;
        // The whole entry: removal leaves none of its values behind.
        Registration::WriteUninstallEntry(kBrand, programFiles);
        Registration::WriteReleaseValues(kBrand, "1.0", 12);
        startMenu = Folder(CSIDL_PROGRAMS) + "\\" + kBrand;
        desktopLink = Folder(CSIDL_DESKTOP) + "\\" + kBrand + ".lnk";
        MakeFolders();

        settings.exeFileName = "update" + kBrand + ".exe";
        settings.answers = &answers;
        settings.pauseMs = 0;
        settings.farewellHost = "farewell.test";
    }

    // The folders an installation makes, recorded as the brand's.
    void MakeFolders() {
        ASSERT_TRUE(BrandFolders::Record(programFiles, kBrand));
        ASSERT_TRUE(BrandFolders::Record(startMenu, kBrand));
        CreateDirectoryA(programFiles.c_str(), nullptr);
        CreateDirectoryA((programFiles + "\\bin").c_str(), nullptr);
        TestSupport::WriteText(programFiles + "\\bin\\client.dll", "x");
        TestSupport::WriteText(programFiles + "\\" + kBrand + ".exe", "x");
        CreateDirectoryA(startMenu.c_str(), nullptr);
        TestSupport::WriteText(startMenu + "\\Uninstall.lnk", "x");
        TestSupport::WriteText(desktopLink, "x");
    }

    void TearDown() override {
        if (Utils::FileSystem::IsReparsePoint(programFiles)) TestSupport::RemoveJunction(programFiles);
        Utils::FileSystem::DeleteDirectoryTree(programFiles);
        Utils::FileSystem::DeleteDirectoryTree(startMenu);
        BrandFolders::Forget(programFiles);
        BrandFolders::Forget(startMenu);
        DeleteFileA(desktopLink.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Tindermoor");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("Software\\" + kUninstallPath + "\\" + kBrand).c_str());
    }

    bool EverythingInstalledIsThere() {
        return Utils::FileSystem::IsFile(programFiles + "\\bin\\client.dll") &&
               Utils::FileSystem::IsDirectory(startMenu) && Utils::FileSystem::IsFile(desktopLink) &&
               KeyExists(HKEY_LOCAL_MACHINE, "Software\\" + kUninstallPath + "\\" + kBrand) &&
               KeyExists(HKEY_CURRENT_USER, "Software\\Tindermoor\\" + kBrand + "\\Installed") &&
               ValueExists(HKEY_CURRENT_USER, "Software\\Tindermoor", "ReqData_4_2_1%Lang_") &&
               ValueExists(HKEY_CURRENT_USER, "Software\\Tindermoor", "LastUpdateDate_4_2_1");
    }

    ProfileAnswers answers;
    RecordingDialog dialog;
    UninstallSettings settings;
    std::string programFiles, startMenu, desktopLink;
};

// A player message holds the established wording (its details line).
void ExpectContains(const std::string& actual, const std::string& part) {
    EXPECT_NE(actual.find(part), std::string::npos) << actual;
}

std::string RunExpectingFatal(const UninstallSettings& settings) {
    try {
        RunUninstall(settings);
    } catch (const FailAndExitCalled& fatal) {
        return fatal.text;
    }
    return "(returned)";
}

} // namespace

TEST(UninstallBrandName, StripsExtensionAndUpdatePrefix) {
    EXPECT_EQ(UninstallBrandName("updateHalvenor.exe"), "Halvenor");
    EXPECT_EQ(UninstallBrandName("Halvenor.exe"), "Halvenor");
    EXPECT_EQ(UninstallBrandName("update.exe"), "");
    EXPECT_EQ(UninstallBrandName("ab"), "");
}

TEST(FarewellPageUrl, ValuesGoInUnchanged) {
    EXPECT_EQ(FarewellPageUrl("www.orvanta.net", "EN", "John & Jane", 7),
              "http://www.orvanta.net/uninstall.html?fromClient=1&lang=EN&Username=John & Jane&BrandId=7");
    EXPECT_EQ(FarewellPageUrl("h", "EN", std::string(900, 'u'), 1).size(), 511u);
}

TEST_F(UninstallTest, YesRemovesEverythingTheInstallationRecorded) {
    dialog.QueueMessageAnswers({IDYES});
    EXPECT_EQ(RunExpectingFatal(settings), "Uninstall finished successfully");

    EXPECT_EQ(dialog.Questions(), std::vector<std::string>{"Are you sure you want to uninstall OrvUninstTest?"});
    ASSERT_EQ(dialog.CallsOf("AskUser").size(), 1u);
    EXPECT_EQ(dialog.CallsOf("AskUser")[0].caption, "Uninstall");
    EXPECT_EQ(dialog.CallsOf("AskUser")[0].type, static_cast<UINT>(MB_YESNO));
    EXPECT_EQ(dialog.CallsOf("HideWindow").size(), 1u);
    EXPECT_EQ(dialog.Positions(IDC_OVERALL_PROGRESS), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(dialog.Ranges(IDC_OVERALL_PROGRESS), std::vector<int>{5});
    EXPECT_EQ(dialog.Texts(IDC_STATUS_TEXT),
              (std::vector<std::string>{"Uninstalling - reading current configuration",
                                        "Uninstalling - cleaning registry", "Uninstalling - deleting all files",
                                        "Finished uninstall successfully"}));

    EXPECT_FALSE(Utils::FileSystem::IsDirectory(programFiles));
    EXPECT_FALSE(Utils::FileSystem::IsDirectory(startMenu));
    EXPECT_FALSE(Utils::FileSystem::IsFile(desktopLink));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\" + kUninstallPath + "\\" + kBrand));
    // The brand's records must go, or a reinstall would find every file "installed".
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Tindermoor\\" + kBrand));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, "Software\\Tindermoor", "LastUpdateDate_4_2_1"));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, "Software\\Tindermoor", "LastUpdateLang_4_2_1"));
    for (int field = 0; field < PROFILE_FIELD_COUNT; ++field)
        EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, "Software\\Tindermoor",
                                 std::string("ReqData_4_2_1") + ProfileRecordOf(field).marker));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, "Software\\Tindermoor", "OtherValue"));
    // The folders' records go with them.
    EXPECT_FALSE(BrandFolders::IsOurs(programFiles, kBrand));
    EXPECT_FALSE(BrandFolders::IsOurs(startMenu, kBrand));
}

// A brand folder is deleted only when it is ours: recorded for the brand, or
// vouched for by the uninstall entry of a version that kept no records. One
// of the same name that some other program made stays with all it holds.
TEST_F(UninstallTest, OnlyTheBrandsOwnFoldersAreDeleted) {
    const struct {
        const char* what;
        bool recorded;
        bool olderEntry;
        bool deleted;
    } cases[] = {
        {"recorded", true, false, true},
        {"made by an older version", false, true, true},
        {"someone else's", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MakeFolders();
        if (!c.recorded) {
            BrandFolders::Forget(programFiles);
            BrandFolders::Forget(startMenu);
        }
        Utils::RegistryKey entry(Utils::kMachineHive, Registration::UninstallKeyPath(kBrand));
        entry.SetString("UninstallString", c.olderEntry ? programFiles + "\\" + kBrand + ".exe /uninstall" : "", true,
                        "");
        dialog.Clear();
        dialog.QueueMessageAnswers({IDYES});
        EXPECT_EQ(RunExpectingFatal(settings), "Uninstall finished successfully");
        EXPECT_EQ(!c.deleted, Utils::FileSystem::IsFile(programFiles + "\\bin\\client.dll"));
        EXPECT_EQ(!c.deleted, Utils::FileSystem::IsFile(startMenu + "\\Uninstall.lnk"));
    }
}

// A junction in place of the install folder goes as a link: what it points
// to is never touched.
TEST_F(UninstallTest, AJunctionAtTheTopIsNotFollowed) {
    const std::string target = programFiles.substr(0, programFiles.rfind('\\')) + "\\OrvUninstTarget";
    CreateDirectoryA(target.c_str(), nullptr);
    ASSERT_TRUE(TestSupport::WriteText(target + "\\precious.txt", "keep"));
    Utils::FileSystem::DeleteDirectoryTree(programFiles);
    ASSERT_TRUE(TestSupport::MakeJunction(programFiles, target));

    dialog.QueueMessageAnswers({IDYES});
    EXPECT_EQ(RunExpectingFatal(settings), "Uninstall finished successfully");
    EXPECT_EQ("keep", TestSupport::ReadText(target + "\\precious.txt"));
    EXPECT_FALSE(Utils::FileSystem::IsDirectory(startMenu));
    TestSupport::RemoveJunction(programFiles);
    Utils::FileSystem::DeleteDirectoryTree(target);
}

// While an installer of the brand runs, nothing is removed: the removal
// waits its time, then says why it ends.
TEST_F(UninstallTest, ARunningInstallerOfTheBrandIsWaitedForNotRaced) {
    Utils::Event held(true), release(true);
    TestSupport::Thread installer([&] {
        Utils::System::MachineLock lock;
        if (lock.Acquire(InstallLock::NameFor("Tindermoor", kBrand), 0) != Utils::System::MachineLock::ACQUIRED) return;
        held.Set();
        release.Wait(INFINITE);
    });
    ASSERT_TRUE(held.Wait(30000));
    settings.installerWaitMs = 200;
    ExpectContains(RunExpectingFatal(settings),
                     "Please wait until the installation of OrvUninstTest has finished before uninstalling it");
    EXPECT_TRUE(dialog.Questions().empty());
    EXPECT_TRUE(EverythingInstalledIsThere());

    release.Set();
    installer.Join();
    dialog.QueueMessageAnswers({IDNO});
    EXPECT_EQ(RunUninstall(settings), 0);
    EXPECT_EQ(dialog.Questions().size(), 1u);
}

TEST_F(UninstallTest, NoChangesNothing) {
    dialog.QueueMessageAnswers({IDNO});
    EXPECT_EQ(RunUninstall(settings), 0);
    EXPECT_TRUE(EverythingInstalledIsThere());
    EXPECT_TRUE(dialog.FailTexts().empty());
}

// The brand is judged by the engine's own rule: a name it installs under is
// offered for removal, one it refuses fails before the question.
TEST_F(UninstallTest, BrandFollowsTheEnginesFolderNameRule) {
    const struct {
        const char* exe;
        bool asked;
    } cases[] = {
        {"update.exe", false},     {"update...exe", false},   {"update..\\x.exe", false},
        {"updateBrand..exe", false}, {"update Brand.exe", false}, {"updateA..B.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe);
        dialog.Clear();
        settings.exeFileName = c.exe;
        if (c.asked) {
            dialog.QueueMessageAnswers({IDNO});
            EXPECT_EQ(RunUninstall(settings), 0);
        } else {
            ExpectContains(RunExpectingFatal(settings), "Details: Failed to uninstall");
        }
        EXPECT_EQ(dialog.Questions().size(), c.asked ? 1u : 0u);
    }
    EXPECT_TRUE(EverythingInstalledIsThere());
}

TEST_F(UninstallTest, UnknownRequestKeyFailsAfterTheQuestion) {
    answers.Set(FIELD_DID, 0);
    dialog.QueueMessageAnswers({IDYES});
    ExpectContains(RunExpectingFatal(settings), "Details: Failed to uninstall");
    EXPECT_EQ(dialog.Questions().size(), 1u);
    EXPECT_TRUE(EverythingInstalledIsThere());
}

// A mended fault: copies named like the game were counted (one tolerated),
// so a running game let the removal go on and leave it behind. Now any
// program running from the installation's folders stops it before anything
// is removed; one of that name elsewhere does not.
TEST_F(UninstallTest, AProgramRunningFromTheInstallationStopsIt) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string sleeper = TestSupport::ExeFolder() + "\\" + SLEEPER_EXE;
    std::vector<TestSupport::Process> running;  // ended on every path
    auto start = [&](const std::string& copy) {
        ASSERT_TRUE(CopyFileA(sleeper.c_str(), copy.c_str(), FALSE));
        running.push_back(TestSupport::Process::Start(copy, ""));
        ASSERT_TRUE(running.back().Started());
    };

    const std::string elsewhere = std::string(temp) + kBrand + ".exe";
    start(elsewhere);
    start(std::string(temp) + "copy2_" + kBrand + ".exe");
    dialog.QueueMessageAnswers({IDNO});
    EXPECT_EQ(RunUninstall(settings), 0);
    EXPECT_EQ(dialog.Questions().size(), 1u) << "programs elsewhere do not count";

    // The game, and a tool beside it: either stops the removal.
    for (const std::string& program : {programFiles + "\\bin\\" + kBrand + ".exe", programFiles + "\\bin\\tool.exe"}) {
        SCOPED_TRACE(program);
        running.clear();
        start(program);
        dialog.Clear();
        const std::string told = RunExpectingFatal(settings);
        ExpectContains(told, "Please close " + kBrand + " before uninstalling it");
        ExpectContains(told, "Details: Please close the application before uninstalling it");
        EXPECT_TRUE(dialog.Questions().empty());
        EXPECT_TRUE(EverythingInstalledIsThere()) << "nothing removed";
        EXPECT_TRUE(Utils::FileSystem::IsFile(program));
    }
    running.clear();
    DeleteFileA(elsewhere.c_str());
    DeleteFileA((std::string(temp) + "copy2_" + kBrand + ".exe").c_str());
}

// A mended fault: files that could not be deleted were left behind under
// "Uninstall finished successfully". Now the player is told which ones.
TEST_F(UninstallTest, FilesThatStayAreNamedNeverASuccess) {
    const std::string held = programFiles + "\\bin\\client.dll";
    Utils::FileHandle open(CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open);
    dialog.QueueMessageAnswers({IDYES});
    const std::string told = RunExpectingFatal(settings);
    open.Reset();
    ExpectContains(told, "some of its files could not be removed");
    ExpectContains(told, Utils::FileSystem::GetFullPath(held, ""));
    EXPECT_EQ(std::string::npos, told.find("Uninstall finished successfully"));
    EXPECT_TRUE(dialog.CallsOf("FailAndExit").back().caption == kBrand);
}
