#include "engine/InstallFolder.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"

namespace {

const char kBrand[] = "OrvantaTest_ShortcutBrand";

struct LinkInfo {
    bool loaded = false;
    std::string path, arguments, icon;
    int iconIndex = -1;
};

// Reads a .lnk back through the shell's own link object.
LinkInfo ReadLink(const std::string& linkPath) {
    LinkInfo info;
    Utils::ComPtr<IShellLinkA> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.ReceiveVoid())))
        return info;
    Utils::ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid()))) return info;
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH);
    if (FAILED(file->Load(wide, STGM_READ))) return info;
    char buffer[MAX_PATH * 2] = {0};
    link->GetPath(buffer, sizeof(buffer), nullptr, SLGP_RAWPATH);
    info.path = buffer;
    buffer[0] = 0;
    link->GetArguments(buffer, sizeof(buffer));
    info.arguments = buffer;
    buffer[0] = 0;
    link->GetIconLocation(buffer, sizeof(buffer), &info.iconIndex);
    info.icon = buffer;
    info.loaded = true;
    return info;
}

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
