// A whole first installation with Wine reporting Windows Vista (6.0): the
// installer's copy goes to Program Files, the client's files to the local
// application-data folder, and the post-install tool runs where it lies.
#include <gtest/gtest.h>

#include "ScenarioFixture.h"

namespace EngineTest {
namespace {

TEST_F(ScenarioTest, VistaRunsThePostInstallToolFromTheDataFolder) {
    ASSERT_NE(InstallDir(), DataDir()) << "Wine does not report Windows Vista to this test";
    AddStandardFiles();
    AddFile({"Bin__tool.exe", 1, "files/tool^p1.exe", 8, ReadText(ExeFolder() + "\\standin_client.exe"), false});
    ServeManifest(Manifest("EXE_UPDATERES=tool.exe\n"));

    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(ReadText(m_setupExe), ReadText(InstalledCopy()));
    EXPECT_EQ("client data v2", ReadText(DataDir() + "\\Bin\\data.txt"));
    EXPECT_FALSE(Exists(InstallDir() + "\\Bin"));

    // The tool: its command line as written, started in its own folder.
    auto tool = StartsOf("tool");
    ASSERT_EQ(1u, tool.size());
    EXPECT_EQ("Bin\\tool.exe OrvScnBrand.exe ..\\OrvScnBrand.exe", tool[0].commandLine);
    EXPECT_EQ(DataDir() + "\\Bin", tool[0].folder);
    EXPECT_EQ(DataDir() + "\\Bin\\tool.exe", tool[0].program);
    ASSERT_TRUE(WaitForFunnelCount(2));
    EXPECT_EQ((std::vector<std::string>{"50", "60"}), FunnelStatuses());

    // The decoder of the data folder, and the client started from there.
    for (const StandinStart& start : StartsOf("lzma")) EXPECT_EQ(DataDir() + "\\lzma.exe", start.program);
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    EXPECT_EQ(DataDir() + "\\Bin", StartsOf("orvscnbrand")[0].folder);
}

} // namespace
} // namespace EngineTest
