// lzma.exe run as the installer runs it: CreateProcessA with no application
// name, "lzma  d <in> <out>", hidden window, exit code 0 = success.
#include "decoder/DecoderCommand.h"
#include "support/TestProcess.h"
#include "utils/Handles.h"
#include "utils/string/String.h"

#include <gtest/gtest.h>
#include <windows.h>


namespace {

using TestSupport::Exists;
using TestSupport::FreshFolder;
using TestSupport::RunCommand;

class DecoderExe : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Found by the usual program search: the starting program's own folder.
        ASSERT_TRUE(CopyFileA(LZMA_EXE, "lzma.exe", FALSE)) << LZMA_EXE;
    }
};

}  // namespace

TEST(DecoderCommandLine, Splitting) {
    struct Case {
        const char* line;
        std::vector<std::string> args;
    } cases[] = {
        {"lzma  d Bin\\client.dll.lzma Bin\\client.dll", {"lzma", "d", "Bin\\client.dll.lzma", "Bin\\client.dll"}},
        {"\"C:\\Program Files\\x\\lzma.exe\" d \"a b.lzma\"\t\"c d\"",
         {"C:\\Program Files\\x\\lzma.exe", "d", "a b.lzma", "c d"}},
        {"lzma d \"C:\\dir\\\" out", {"lzma", "d", "C:\\dir\\", "out"}},
        {"lzma d \"\" out", {"lzma", "d", "", "out"}},
        {"lzma d a\"b c\"d  ", {"lzma", "d", "ab cd"}},
        {"   ", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Utils::String::SplitArguments(c.line), c.args) << c.line;
}

TEST_F(DecoderExe, DecodesWithTheInstallersCommandLine) {
    std::string dir = FreshFolder("exe_plain");
    ASSERT_TRUE(CopyFileA("data\\mixed.lzma", (dir + "\\client.dll.lzma").c_str(), FALSE));
    ASSERT_EQ(RunCommand("lzma  d " + dir + "\\client.dll.lzma " + dir + "\\client.dll"), 0);
    EXPECT_TRUE(TestSupport::ReadText(dir + "\\client.dll") == TestSupport::ReadText("data\\mixed.bin"));
    EXPECT_FALSE(Exists(dir + "\\client.dll.decoding"));

    ASSERT_TRUE(CopyFileA("data\\empty.lzma", (dir + "\\empty.lzma").c_str(), FALSE));
    ASSERT_EQ(RunCommand("lzma  d " + dir + "\\empty.lzma " + dir + "\\empty"), 0);
    EXPECT_TRUE(Exists(dir + "\\empty"));
    EXPECT_EQ(TestSupport::ReadText(dir + "\\empty"), "");
}

TEST_F(DecoderExe, QuotedPathsWithBlanks) {
    std::string dir = FreshFolder("exe dir with blanks");
    ASSERT_TRUE(CopyFileA("data\\text.lzma", (dir + "\\text file.lzma").c_str(), FALSE));
    char full[MAX_PATH];
    ASSERT_NE(GetFullPathNameA((dir + "\\text file.txt").c_str(), MAX_PATH, full, nullptr), 0u);
    ASSERT_EQ(RunCommand("\"lzma\" d \"" + dir + "\\text file.lzma\" \"" + full + "\""), 0);
    EXPECT_EQ(TestSupport::ReadText(full), TestSupport::ReadText("data\\text.bin"));
    // Unquoted, the blanks split the names: a usage error, nothing written.
    EXPECT_EQ(RunCommand("lzma d " + dir + "\\text file.lzma " + dir + "\\other.txt"), Lzma::kExitUsage);
    EXPECT_FALSE(Exists(dir + "\\other.txt"));
}

TEST_F(DecoderExe, FailuresLeaveNoOutput) {
    std::string dir = FreshFolder("exe_fail");
    std::string packed = TestSupport::ReadText("data\\small.lzma");
    ASSERT_FALSE(packed.empty());
    struct Case {
        std::string what, input;
        int exitCode;
    };
    std::vector<Case> cases;
    for (size_t pos : {0u, 13u, 14u, 40u, 300u, 700u}) {
        if (pos >= packed.size()) continue;
        std::string damaged = packed;
        damaged[pos] = char(damaged[pos] ^ 0x5A);
        cases.push_back({"flip at " + std::to_string(pos), damaged, Lzma::kExitBadData});
    }
    for (size_t length : {size_t(0), size_t(5), size_t(13), size_t(20), packed.size() / 2, packed.size() - 1})
        cases.push_back({"cut at " + std::to_string(length), packed.substr(0, length), Lzma::kExitBadData});
    cases.push_back({"trailing byte", packed + "x", Lzma::kExitBadData});
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::string in = dir + "\\in" + std::to_string(i) + ".lzma", out = dir + "\\out" + std::to_string(i);
        TestSupport::WriteText(in, c.input);
        EXPECT_EQ(RunCommand("lzma  d " + in + " " + out), c.exitCode) << c.what;
        EXPECT_FALSE(Exists(out)) << c.what;
        EXPECT_FALSE(Exists(out + ".decoding")) << c.what;
    }
    EXPECT_EQ(RunCommand("lzma  d " + dir + "\\missing.lzma " + dir + "\\missing"), Lzma::kExitFileError);
    EXPECT_FALSE(Exists(dir + "\\missing"));
    for (const char* line : {"lzma", "lzma d onlyone", "lzma x a b", "lzma d a b c", "lzma D a b"})
        EXPECT_EQ(RunCommand(line), Lzma::kExitUsage) << line;
}

TEST_F(DecoderExe, OutputFileIsReplacedOnlyOnSuccess) {
    std::string dir = FreshFolder("exe_replace");
    std::string out = dir + "\\target.bin";
    TestSupport::WriteText(out, "older version");
    std::string packed = TestSupport::ReadText("data\\text.lzma");
    TestSupport::WriteText(dir + "\\bad.lzma", packed.substr(0, packed.size() - 3));
    std::string errors;
    EXPECT_EQ(RunCommand("lzma  d " + dir + "\\bad.lzma " + out, &errors), Lzma::kExitBadData);
    EXPECT_EQ(TestSupport::ReadText(out), "older version");
    EXPECT_NE(errors.find("lzma: "), std::string::npos) << errors;
    EXPECT_NE(errors.find("truncated"), std::string::npos) << errors;

    TestSupport::WriteText(dir + "\\good.lzma", packed);
    EXPECT_EQ(RunCommand("lzma  d " + dir + "\\good.lzma " + out), 0);
    EXPECT_EQ(TestSupport::ReadText(out), TestSupport::ReadText("data\\text.bin"));

    // The same file as input and output: read fully before being replaced.
    TestSupport::WriteText(dir + "\\self", packed);
    EXPECT_EQ(RunCommand("lzma  d " + dir + "\\self " + dir + "\\self"), 0);
    EXPECT_EQ(TestSupport::ReadText(dir + "\\self"), TestSupport::ReadText("data\\text.bin"));
}
