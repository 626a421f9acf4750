// Built once per reported Windows version (see CMakeLists): EXPECT_LOCAL_APPDATA
// is 1 where the per-user data folder lives in local application data.
#include "engine/InstallFolder.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/TestFiles.h"
#include "utils/fs/FileSystem.h"

namespace {

using TestSupport::CurrentFolder;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Restores the current directory and removes the folders a test created.
class InstallFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_cwd = CurrentFolder();
        m_name = std::string("OrvantaTest_") + Env("ORVANTA_TEST_NAME");
    }
    void TearDown() override {
        SetCurrentDirectoryA(m_cwd.c_str());
        for (const std::string& folder : m_created) RemoveDirectoryA(folder.c_str());
    }
    std::string m_cwd;
    std::string m_name;
    std::vector<std::string> m_created;
};

} // namespace

TEST_F(InstallFolderTest, ChoosesTheBaseByVersionAndCreatesTheFolder) {
    std::string programFiles;
    Utils::FileSystem::GetSpecialFolder(CSIDL_PROGRAM_FILES, programFiles);
    ASSERT_FALSE(programFiles.empty());
    EXPECT_NE(programFiles.back(), '\\');
    EXPECT_EQ(Utils::FileSystem::GetFullPath(programFiles, ""), Utils::FileSystem::GetFullPath(Env("ProgramFiles"), ""));

    std::string install;
    m_created.push_back(programFiles + "\\" + m_name);
    GetInstallFolder(m_name, install, false);
    EXPECT_EQ(install, programFiles + "\\" + m_name);
    EXPECT_TRUE(Utils::FileSystem::IsDirectory(install));
    EXPECT_EQ(CurrentFolder(), install);

    std::string data;
#if EXPECT_LOCAL_APPDATA
    std::string localAppData;
    Utils::FileSystem::GetSpecialFolder(CSIDL_LOCAL_APPDATA, localAppData);
    ASSERT_FALSE(localAppData.empty());
    EXPECT_EQ(Utils::FileSystem::GetFullPath(localAppData, ""), Utils::FileSystem::GetFullPath(Env("LOCALAPPDATA"), ""));
    m_created.insert(m_created.begin(), localAppData + "\\" + m_name);
    GetInstallFolder(m_name, data, true);
    EXPECT_EQ(data, localAppData + "\\" + m_name);
#else
    GetInstallFolder(m_name, data, true);
    EXPECT_EQ(data, install);
#endif
    EXPECT_TRUE(Utils::FileSystem::IsDirectory(data));
    EXPECT_EQ(CurrentFolder(), data);
}
