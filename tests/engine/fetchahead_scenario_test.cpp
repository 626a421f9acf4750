// Whole first installations with files fetched ahead, answers arriving out of
// order: what ends up on the machine, the decoder runs and what the player
// sees are those of a run that fetches one file at a time, also when a file in
// the middle fails.
#include <gtest/gtest.h>

#include <algorithm>

#include "ScenarioFixture.h"
#include "engine/Registration.h"
#include "resources/resource.h"
#include "support/MachineState.h"

namespace EngineTest {
namespace {

enum Fault { NONE, NOT_FOUND, CUT_BODY };

struct Outcome {
    TestSupport::MachineState state;
    std::vector<std::string> decoderRuns;  // name and command line, in start order
    std::vector<std::string> statusLines;
    std::vector<std::string> messages;
    std::vector<int> overallBar;
    size_t fileBarRanges = 0;
    size_t fileBarPositions = 0;
};

class FetchAheadScenarioTest : public ScenarioTest {
protected:
    // Package files in order; index 3 is the one a fault hits, the later ones
    // make folders of their own.
    void AddRelease() {
        AddStandardFiles();  // lzma, oggdec, guiclient (packed), data, music (packed)
        AddFile({"Maps__a.txt", 1, "files/a^a1.txt", 8, "map a", false});
        AddFile({"Maps__Deep__b.txt", 1, "files/b^b1.txt", 9, "map b", false});
        AddFile({"Maps__Deep__c.dat", 1, "files/c.dat^c1.lzma", 10, std::string(3000, 'c'), true});
        AddFile({"z.txt", 1, "files/z^z1.txt", 11, "z", false});
        ServeManifest(Manifest());
    }

    // Files 2..6, file 3 with the fault. Out of order, each answer waits
    // until the next file's answer has gone out, so they arrive last to
    // first; only for fetch-ahead: one download at a time would wait for an
    // answer nobody asked for.
    void Serve(bool outOfOrder, Fault fault) {
        for (size_t i = 2; i <= 6; ++i) {
            TestSupport::Response response;
            response.filePath = m_releaseFolder + "\\files\\" + m_files[i].spec.substr(6);
            if (outOfOrder && i < 6) response.answerAfter = "/" + m_files[i + 1].spec;
            if (i == 3) Break(response, fault);
            m_server.SetResponse("/" + m_files[i].spec, response);
        }
    }
    static void Break(TestSupport::Response& response, Fault fault) {
        if (fault == NOT_FOUND) response.status = 404;
        if (fault == CUT_BODY) {
            response.filePath.clear();
            response.body = std::string(6000, 'd');
            response.closeAfterBytes = 2500;
        }
    }

    Outcome InstallWith(int ahead, Fault fault) {
        WaitForStartedPrograms();
        CleanMachine();
        m_server.ClearRequests();
        DeleteFileA(m_standinLog.c_str());
        DeleteFileA(m_dialogLog.c_str());
        Serve(ahead > 1, fault);
        SetEnvironmentVariableA("ORV_DRIVER_FETCH_AHEAD", std::to_string(ahead).c_str());
        EXPECT_EQ(0, RunDownloaded());
        SetEnvironmentVariableA("ORV_DRIVER_FETCH_AHEAD", nullptr);
        WaitForStartedPrograms();

        Outcome outcome;
        TestSupport::AddFiles(outcome.state, InstallDir());
        TestSupport::AddRegistry(outcome.state, HKEY_CURRENT_USER, std::string("Software\\") + kProduct);
        TestSupport::AddRegistry(outcome.state, HKEY_LOCAL_MACHINE,
                                 "Software\\" + Registration::UninstallKeyPath(kBrand));
        for (const StandinStart& start : ReadStandinLog(m_standinLog)) {
            if (start.name == "lzma" || start.name == "oggdec") outcome.decoderRuns.push_back(start.commandLine);
        }
        outcome.statusLines = DialogLines("SetItemText");
        outcome.messages = DialogLines("ShowMessage");
        outcome.overallBar = DialogValues("SetProgressPos", IDC_OVERALL_PROGRESS);
        outcome.fileBarRanges = DialogValues("ShowProgressBar", IDC_FILE_PROGRESS).size();
        outcome.fileBarPositions = DialogValues("SetProgressPos", IDC_FILE_PROGRESS).size();
        EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(InstallDir()));
        return outcome;
    }
};

TEST_F(FetchAheadScenarioTest, AnswersOutOfOrderLeaveWhatOneFileAtATimeLeaves) {
    const struct {
        const char* name;
        Fault fault;
        size_t committed;  // files in place after the run
    } cases[] = {{"all answered", NONE, 9}, {"404 in the middle", NOT_FOUND, 3}, {"body cut in the middle", CUT_BODY, 3}};
    AddRelease();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome serial = InstallWith(1, c.fault);
        const Outcome ahead = InstallWith(6, c.fault);

        // The answers did come out of order.
        const std::vector<std::string> answered = m_server.AnsweredPaths();
        const auto at = [&](size_t i) {
            return std::find(answered.begin(), answered.end(), "/" + m_files[i].spec) - answered.begin();
        };
        EXPECT_LT(at(4), at(2));

        EXPECT_EQ("", TestSupport::Differences(serial.state, ahead.state));
        EXPECT_EQ(serial.decoderRuns, ahead.decoderRuns);
        EXPECT_EQ(serial.statusLines, ahead.statusLines);
        EXPECT_EQ(serial.messages, ahead.messages);
        EXPECT_EQ(serial.overallBar, ahead.overallBar);
        // Installed records: exactly the files before the fault.
        for (size_t i = 0; i < m_files.size(); ++i) {
            EXPECT_EQ(i < c.committed ? 1u : 0u, ahead.state.count("HKCU\\Software\\" + std::string(kProduct) + "\\" +
                                                                   kBrand + "\\Installed:" + m_files[i].key))
                << m_files[i].key;
        }
        // The overall bar only grows and, after a whole pass, is at its end;
        // the file bar moves no more often than with one file at a time.
        EXPECT_TRUE(std::is_sorted(ahead.overallBar.begin(), ahead.overallBar.end()));
        ASSERT_FALSE(ahead.overallBar.empty());
        EXPECT_EQ(static_cast<int>(c.committed) + 1, ahead.overallBar.back());
        EXPECT_LE(ahead.fileBarRanges, serial.fileBarRanges);
        EXPECT_LE(ahead.fileBarPositions, serial.fileBarPositions);
    }
}

} // namespace
} // namespace EngineTest
