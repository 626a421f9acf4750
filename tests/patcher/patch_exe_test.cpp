// vpatch.exe run as the installer runs its tools: CreateProcessA with no
// application name, hidden window; the exit code tells what happened, and a
// failure never leaves a file under the new name.
#include "patcher/PatchFormat.h"
#include "support/TestProcess.h"

#include <gtest/gtest.h>

using namespace TestSupport;

class PatchExe : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Found by the usual program search: the starting program's own folder.
        ASSERT_TRUE(CopyFileA(VPATCH_EXE, "vpatch.exe", FALSE)) << VPATCH_EXE;
    }
};

TEST_F(PatchExe, ExitCodes) {
    const std::string dir = FreshFolder("exe_codes");
    const std::string patch = ReadText("data\\changed.vpatch");
    const size_t changed = ReadText("data\\changed.bin").size();
    ASSERT_GT(patch.size(), Patch::kHeaderSize + 100);
    std::string damaged = patch, forged = patch;
    damaged[Patch::kHeaderSize + 40] ^= 0x10;
    Patch::Header header;
    ASSERT_EQ(Patch::ReadHeader(reinterpret_cast<const uint8_t*>(patch.data()), header), Patch::HeaderResult::Ok);
    header.newDigest[5] ^= 1;
    Patch::WriteHeader(header, reinterpret_cast<uint8_t*>(&forged[0]));
    WriteText(dir + "\\damaged.vpatch", damaged);
    WriteText(dir + "\\truncated.vpatch", patch.substr(0, patch.size() / 2));
    WriteText(dir + "\\forged.vpatch", forged);

    struct Case {
        std::string args;
        int code;
    } cases[] = {
        {"data\\base.bin data\\changed.vpatch ", Patch::kExitOk},
        {"data\\base.bin data\\missing.vpatch ", Patch::kExitCannotRead},
        {"data\\missing.bin data\\changed.vpatch ", Patch::kExitCannotRead},
        {"data\\base.bin " + dir + "\\damaged.vpatch ", Patch::kExitDamaged},
        {"data\\base.bin " + dir + "\\truncated.vpatch ", Patch::kExitDamaged},
        {"data\\base.bin data\\base.bin ", Patch::kExitDamaged},
        {"data\\other.bin data\\changed.vpatch ", Patch::kExitWrongBase},
        {"data\\small.bin data\\changed.vpatch ", Patch::kExitWrongBase},
        {"data\\base.bin " + dir + "\\forged.vpatch ", Patch::kExitDigestMismatch},
        {"--size " + std::to_string(changed) + " data\\base.bin data\\changed.vpatch ", Patch::kExitOk},
        {"--size " + std::to_string(changed + 1) + " data\\base.bin data\\changed.vpatch ", Patch::kExitWrongSize},
    };
    int i = 0;
    for (const Case& c : cases) {
        const std::string out = dir + "\\out" + std::to_string(i++) + ".bin";
        EXPECT_EQ(RunCommand("vpatch  apply " + c.args + out), c.code) << c.args;
        EXPECT_EQ(Exists(out), c.code == Patch::kExitOk) << c.args;
        EXPECT_FALSE(Exists(out + ".patching")) << c.args;
        if (c.code == Patch::kExitOk) {
            EXPECT_TRUE(ReadText(out) == ReadText("data\\changed.bin"));
        }
    }
    EXPECT_EQ(RunCommand("vpatch apply data\\base.bin data\\changed.vpatch " + dir + "\\no\\such\\folder\\out.bin"),
              Patch::kExitCannotWrite);
    for (const char* line : {"vpatch", "vpatch apply a b", "vpatch apply a b c d", "vpatch make a b c",
                             "vpatch Apply a b c", "vpatch apply \"\" b c", "vpatch apply --size -1 a b c",
                             "vpatch apply --size 1x a b c", "vpatch apply --size a b c"})
        EXPECT_EQ(RunCommand(line), Patch::kExitUsage) << line;
}

TEST_F(PatchExe, ReplacesOnlyOnSuccess) {
    const std::string dir = FreshFolder("exe dir with blanks");
    const std::string target = dir + "\\client.dll";
    WriteText(target, "installed earlier");
    EXPECT_EQ(RunCommand("vpatch apply data\\other.bin data\\changed.vpatch \"" + target + "\""), Patch::kExitWrongBase);
    EXPECT_EQ(ReadText(target), "installed earlier");

    // The installed file patched in place, under a path with blanks.
    ASSERT_TRUE(CopyFileA("data\\base.bin", target.c_str(), FALSE));
    EXPECT_EQ(RunCommand("vpatch apply \"" + target + "\" data\\changed.vpatch \"" + target + "\""), Patch::kExitOk);
    EXPECT_TRUE(ReadText(target) == ReadText("data\\changed.bin"));
    // Applied again, the file is no longer the base: refused, and left as it is.
    EXPECT_EQ(RunCommand("vpatch apply \"" + target + "\" data\\changed.vpatch \"" + target + "\""), Patch::kExitWrongBase);
    EXPECT_TRUE(ReadText(target) == ReadText("data\\changed.bin"));
}
