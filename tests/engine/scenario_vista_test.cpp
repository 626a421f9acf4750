// A whole first installation with Wine reporting Windows Vista (6.0): the
// installer's copy goes to Program Files, the client's files to the local
// application-data folder, which the player may write. The decoder and the
// post-install tool start from administrators-only copies, never from there;
// the game starts with the player's own rights.
#include <gtest/gtest.h>

#include "ScenarioFixture.h"

namespace EngineTest {
namespace {

TEST_F(ScenarioTest, VistaStartsToolsFromAdministratorsOnlyCopiesAndTheGameUnelevated) {
    ASSERT_NE(InstallDir(), DataDir()) << "Wine does not report Windows Vista to this test";
    AddStandardFiles();
    AddFile({"Bin__tool.exe", 1, "files/tool^p1.exe", 8, ReadText(ExeFolder() + "\\standin_client.exe"), false});
    ServeManifest(Manifest("EXE_UPDATERES=tool.exe\n"));

    ASSERT_EQ(0, RunDownloaded());
    EXPECT_EQ(ReadText(m_setupExe), ReadText(InstalledCopy()));
    EXPECT_EQ("client data v2", ReadText(DataDir() + "\\Bin\\data.txt"));
    EXPECT_FALSE(Exists(InstallDir() + "\\Bin"));

    // The tool: its command line as written, started in its folder of the
    // data folder, the program itself a copy in the system's temporary
    // folder (removed when the pass ended).
    auto tool = StartsOf("tool");
    ASSERT_EQ(1u, tool.size());
    EXPECT_EQ("Bin\\tool.exe OrvScnBrand.exe ..\\OrvScnBrand.exe", tool[0].commandLine);
    EXPECT_EQ(DataDir() + "\\Bin", tool[0].folder);
    EXPECT_TRUE(StartedFromToolCopy(tool[0])) << tool[0].program;
    EXPECT_EQ("\\Bin\\tool.exe", tool[0].program.substr(tool[0].program.size() - 13));
    EXPECT_FALSE(Exists(tool[0].program));
    ASSERT_TRUE(WaitForFunnelCount(2));
    EXPECT_EQ((std::vector<std::string>{"50", "60"}), FunnelStatuses());

    auto decoders = StartsOf("lzma");
    ASSERT_FALSE(decoders.empty());
    for (const StandinStart& start : decoders) EXPECT_TRUE(StartedFromToolCopy(start)) << start.program;
    // The client from the data folder, without the installer's elevation.
    ASSERT_TRUE(WaitForStart("orvscnbrand", 30000));
    const StandinStart client = StartsOf("orvscnbrand")[0];
    EXPECT_EQ(DataDir() + "\\Bin", client.folder);
    EXPECT_TRUE(tool[0].elevated);
    EXPECT_FALSE(client.elevated);
}

} // namespace
} // namespace EngineTest
