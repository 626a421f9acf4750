#include "engine/InstallFolder.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "support/ShellLinks.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"

namespace {

const char kBrand[] = "OrvantaTest_ShortcutBrand";

using TestSupport::LinkInfo;
using TestSupport::ReadLink;

std::string ModulePath() {
    std::string path;
    Utils::FileSystem::GetModulePath(path, false, false, false);
    return path;
}

class ShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        Utils::FileSystem::GetSpecialFolder(CSIDL_PROGRAMS, m_programs);
        Utils::FileSystem::GetSpecialFolder(CSIDL_DESKTOP, m_desktop);
        ASSERT_FALSE(m_programs.empty());
        ASSERT_FALSE(m_desktop.empty());
        ASSERT_NE(m_programs.back(), '\\');
        m_brandFolder = m_programs + "\\" + kBrand;
        CleanUp();
    }
    void TearDown() override { CleanUp(); }
    void CleanUp() {
        Utils::FileSystem::DeleteDirectoryTree(m_brandFolder);
        DeleteFileA((m_desktop + "\\" + kBrand + ".lnk").c_str());
    }

    Utils::ComApartment m_com{COINIT_MULTITHREADED};
    std::string m_programs, m_desktop, m_brandFolder;
};

} // namespace

TEST_F(ShortcutTest, WritesLinksIntoANewSubfolderAndOverwrites) {
    const std::string target = ModulePath();
    const std::string icon = "C:\\Icons\\uninstall.ico";
    ASSERT_FALSE(Utils::FileSystem::IsDirectory(m_brandFolder));

    CreateShortcut(CSIDL_PROGRAMS, target, kBrand, "", kBrand, "");
    CreateShortcut(CSIDL_PROGRAMS, target, "Uninstall", icon, kBrand, "/uninstall");
    CreateShortcut(CSIDL_DESKTOP, target, kBrand, "", "", "");

    EXPECT_TRUE(Utils::FileSystem::IsDirectory(m_brandFolder));
    LinkInfo main = ReadLink(m_brandFolder + "\\" + kBrand + ".lnk");
    ASSERT_TRUE(main.loaded);
    EXPECT_EQ(Utils::FileSystem::GetFullPath(main.path, ""), Utils::FileSystem::GetFullPath(target, ""));
    EXPECT_EQ(main.arguments, "");
    EXPECT_EQ(main.icon, "");

    LinkInfo uninstall = ReadLink(m_brandFolder + "\\Uninstall.lnk");
    ASSERT_TRUE(uninstall.loaded);
    EXPECT_EQ(uninstall.arguments, "/uninstall");
    EXPECT_EQ(uninstall.icon, icon);
    EXPECT_EQ(uninstall.iconIndex, 0);

    LinkInfo desktop = ReadLink(m_desktop + "\\" + kBrand + ".lnk");
    ASSERT_TRUE(desktop.loaded);
    EXPECT_EQ(Utils::FileSystem::GetFullPath(desktop.path, ""), Utils::FileSystem::GetFullPath(target, ""));

    // Same name again: the link is replaced, not duplicated.
    CreateShortcut(CSIDL_PROGRAMS, target, "Uninstall", "", kBrand, "/uninstall /quiet");
    LinkInfo replaced = ReadLink(m_brandFolder + "\\Uninstall.lnk");
    ASSERT_TRUE(replaced.loaded);
    EXPECT_EQ(replaced.arguments, "/uninstall /quiet");
    std::vector<std::string> entries;
    Utils::FileSystem::ListDirectory(entries, m_brandFolder, true, true, true);
    EXPECT_EQ(entries.size(), 2u);
}

TEST_F(ShortcutTest, EmptyNameOrTargetOrUnknownFolderCreatesNothing) {
    const std::string target = ModulePath();
    CreateShortcut(CSIDL_PROGRAMS, target, "", "", kBrand, "");
    CreateShortcut(CSIDL_PROGRAMS, "", kBrand, "", kBrand, "");
    EXPECT_FALSE(Utils::FileSystem::IsDirectory(m_brandFolder));

    // A folder the shell cannot name must not send the link to the drive's root.
    std::string unknown = "stale";
    Utils::FileSystem::GetSpecialFolder(0x7FFF, unknown);
    EXPECT_EQ(unknown, "");
    CreateShortcut(0x7FFF, target, kBrand, "", kBrand, "");
    EXPECT_FALSE(Utils::FileSystem::IsDirectory(std::string("\\") + kBrand));
    EXPECT_FALSE(Utils::FileSystem::IsFile(std::string("\\") + kBrand + ".lnk"));
}
