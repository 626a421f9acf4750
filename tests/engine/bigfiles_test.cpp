// Whole runs against releases that the packer made with patches in this test
// run (make_patch_releases.py), unpacked and patched by the real lzma.exe and
// vpatch.exe: a cut download goes on where it stopped, a patch replaces the
// whole download, and whatever goes wrong on either way ends with the right
// file and no message to the player.
#include <gtest/gtest.h>

#include <algorithm>

#include "ScenarioFixture.h"

namespace EngineTest {
namespace {

using TestSupport::Ranges;

std::string PatchData(const std::string& name) { return ExeFolder() + "\\patch_data\\" + name; }

std::string ServedFile(const std::string& spec) {
    std::string path = PatchData("release\\" + spec);
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

// A case's name as a test name: letters and digits only.
std::string TestName(const char* name) {
    std::string out;
    for (const char* c = name; *c; ++c) {
        if (IsCharAlphaNumericA(*c)) out += *c;
    }
    return out;
}

long long SizeOf(const std::string& path) { return static_cast<long long>(ReadText(path).size()); }

class BigFilesTest : public ScenarioTest {
protected:
    void SetUp() override {
        ScenarioTest::SetUp();
        m_server.ServeFolder(PatchData("release"));
        m_engineLog = ExeFolder() + "\\bigfiles_engine_log.txt";
        SetEnvironmentVariableA("ORV_DRIVER_ECHO", m_engineLog.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableA("ORV_DRIVER_ECHO", nullptr);
        ScenarioTest::TearDown();
    }

    std::string Release(const std::string& name) const { return ReadText(PatchData(name + ".ini")); }
    // Answers from now on for one package file.
    void ServePackage(const std::string& spec, const std::string& file, size_t cutAfter, Ranges ranges) {
        TestSupport::Response response;
        response.filePath = file;
        response.closeAfterBytes = cutAfter;
        response.ranges = ranges;
        m_server.SetResponse("/" + spec, response, kPackageHost);
    }
    std::vector<TestSupport::RecordedRequest> RequestsFor(const std::string& spec) const {
        std::vector<TestSupport::RecordedRequest> found;
        for (const auto& request : m_server.Requests()) {
            if (request.host == kPackageHost && request.path == "/" + spec) found.push_back(request);
        }
        return found;
    }
    // A fresh log, dialog record and request record for the next run.
    void NextRun() {
        m_server.ClearRequests();
        DeleteFileA(m_engineLog.c_str());
        DeleteFileA(m_dialogLog.c_str());
    }
    // The installed big.dat is release `edition`'s, recorded as such, with
    // nothing temporary left and nothing shown to the player.
    void ExpectBigFileOf(const std::string& edition, const std::string& manifest) {
        EXPECT_TRUE(ReadText(PatchData("big" + edition + ".dat")) == ReadText(BigFile()));
        const std::string spec = SpecOf(manifest, "Bin__big.dat");
        EXPECT_EQ(spec.substr(spec.find('^') + 1, 64), InstalledChecksum("Bin__big.dat"));
        EXPECT_TRUE(TemporariesBelow(InstallDir()).empty());
        EXPECT_TRUE(DialogLines("ShowMessage").empty()) << DialogLines("ShowMessage")[0];
    }
    std::string BigFile() const { return InstallDir() + "\\Bin\\big.dat"; }

    std::string m_engineLog;
};

// ---------------------------------------------------------------- resume

struct ResumeCase {
    const char* name;
    const char* firstServed;  // behind the name in the first run: "release" (its own file),
                              // "other" (another file), "longer" (its file and more bytes)
    long long cutAt;          // body bytes of the first answer (0 or less: from the file's end)
    Ranges ranges;            // how the second run's server answers a range
    std::vector<int> answers; // the second run's statuses for the file
};

class ResumeTest : public BigFilesTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, TheNextRunEndsWithTheRightFile) {
    const ResumeCase& c = GetParam();
    const std::string r1 = Release("r1");
    const std::string spec = SpecOf(r1, "Bin__big.dat");
    const std::string served = ServedFile(spec);
    const long long size = SizeOf(served);
    const long long cut = c.cutAt > 0 ? c.cutAt : size + c.cutAt;
    std::string first = served;
    if (std::string(c.firstServed) == "other") first = ServedFile(SpecOf(Release("r2"), "Bin__big.dat"));
    if (std::string(c.firstServed) == "longer") {
        first = ExeFolder() + "\\bigfiles_longer.lzma";
        WriteText(first, ReadText(served) + std::string(4096, 'x'));
    }
    ServeManifest(r1);
    ServePackage(spec, first, static_cast<size_t>(cut), Ranges::Served);
    RunDownloaded();
    const std::vector<std::string> partials = TemporariesBelow(InstallDir());
    ASSERT_EQ(1u, partials.size());
    EXPECT_EQ(cut, SizeOf(partials[0]));

    NextRun();
    ServePackage(spec, served, std::string::npos, c.ranges);
    ASSERT_EQ(0, RunDownloaded());
    const auto requests = RequestsFor(spec);
    ASSERT_EQ(c.answers.size(), requests.size());
    EXPECT_EQ("bytes=" + std::to_string(cut) + "-", requests[0].Header("Range"));
    for (size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(c.answers[i], requests[i].status) << i;
    if (c.answers == std::vector<int>{206}) {
        // Only the rest travelled.
        EXPECT_EQ(static_cast<unsigned long long>(size - cut), requests[0].bodyBytes);
    } else {
        EXPECT_EQ(static_cast<unsigned long long>(size), requests.back().bodyBytes);
    }
    ExpectBigFileOf("1", r1);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ResumeTest,
    ::testing::Values(ResumeCase{"after the first byte", "release", 1, Ranges::Served, {206}},
                      ResumeCase{"in the middle", "release", 300001, Ranges::Served, {206}},
                      ResumeCase{"before the last byte", "release", -1, Ranges::Served, {206}},
                      ResumeCase{"server ignores ranges", "release", 200000, Ranges::Ignored, {200}},
                      ResumeCase{"server answers another range", "release", 200000, Ranges::Misplaced, {206, 200}},
                      ResumeCase{"another file behind the name", "other", 200000, Ranges::Served, {206, 200}},
                      ResumeCase{"partial as long as the file", "longer", 0, Ranges::Served, {416, 200}}),
    [](const ::testing::TestParamInfo<ResumeCase>& param) { return TestName(param.param.name); });

// ---------------------------------------------------------------- patches

struct PatchCase {
    const char* name;
    const char* manifest;  // the second release's manifest served
    bool swapPatch;        // the server's patch file no longer matches its name
    bool changeBase;       // the player's big.dat differs from the installed release's
    const char* log;       // what the engine log says about the patch
};

class PatchTest : public BigFilesTest, public ::testing::WithParamInterface<PatchCase> {};

TEST_P(PatchTest, UpdateEndsWithTheNewFile) {
    const PatchCase& c = GetParam();
    ServeManifest(Release("r1"));
    ASSERT_EQ(0, RunDownloaded());
    ExpectBigFileOf("1", Release("r1"));
    if (c.changeBase) WriteText(BigFile(), ReadText(BigFile()) + "modded");

    const std::string r2 = Release(c.manifest);
    const std::string patchLine = r2.substr(r2.find("\nBin__big.dat=", r2.find("[PATCH]")));
    const std::string patchSpec = patchLine.substr(patchLine.find(',') + 1, patchLine.find_first_of("\r\n", 1) -
                                                                                 patchLine.find(',') - 1);
    const std::string patchFile = ServedFile(patchSpec);
    const std::string goodPatch = ReadText(patchFile);
    if (c.swapPatch) WriteText(patchFile, ReadText(PatchData("misnamed.vpatch")));
    NextRun();
    ServeManifest(r2);
    ASSERT_EQ(0, RunInstalled());
    if (c.swapPatch) WriteText(patchFile, goodPatch);

    const bool patched = std::string(c.name) == "applies";
    EXPECT_EQ(patched ? 0u : 1u, RequestsFor(SpecOf(r2, "Bin__big.dat")).size());
    EXPECT_EQ(c.changeBase ? 0u : 1u, RequestsFor(patchSpec).size());
    EXPECT_NE(std::string::npos, ReadText(m_engineLog).find(c.log)) << ReadText(m_engineLog);
    const std::vector<std::string> status = DialogLines("SetItemText");
    for (const char* text : {"Downloading patch: Bin\\big.dat", "Applying patch: Bin\\big.dat"}) {
        EXPECT_TRUE(!patched || std::find(status.begin(), status.end(), text) != status.end()) << text;
    }
    ExpectBigFileOf("2", r2);
}

INSTANTIATE_TEST_SUITE_P(
    Patches, PatchTest,
    ::testing::Values(PatchCase{"applies", "r2", false, false, "patch applied: Bin\\big.dat"},
                      PatchCase{"damaged", "r2-damaged", false, false, "patch not used (vpatch exit code 3)"},
                      PatchCase{"truncated", "r2-truncated", false, false, "patch not used (vpatch exit code 3)"},
                      PatchCase{"not its name's", "r2", true, false, "patch not used (patch download failed)"},
                      PatchCase{"for another base", "r2-other-base", false, false,
                                "patch not used (vpatch exit code 4)"},
                      PatchCase{"base changed", "r2", false, true, "patch not used (installed file changed)"},
                      PatchCase{"makes another size", "r2-size", false, false, "patch not used (vpatch exit code 8)"}),
    [](const ::testing::TestParamInfo<PatchCase>& param) { return TestName(param.param.name); });

} // namespace
} // namespace EngineTest
