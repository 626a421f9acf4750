// Whole first installations with files fetched ahead, answers arriving out of
// order: what ends up on the machine, the decoder runs and what the player
// sees are those of a run that fetches one file at a time, also when a file in
// the middle fails.
#include <gtest/gtest.h>

#include <sstream>

#include <algorithm>

#include "ScenarioFixture.h"
#include "engine/OverallProgress.h"
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

    // The status line's texts (not the amount line's, which follow the clock).
    std::vector<std::string> StatusLines() const {
        std::vector<std::string> texts;
        const std::string prefix = "SetItemText\t" + std::to_string(IDC_STATUS_TEXT) + "\t0\t";
        std::istringstream log(ReadText(m_dialogLog));
        for (std::string line; std::getline(log, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.compare(0, prefix.size(), prefix) == 0) texts.push_back(line.substr(prefix.size()));
        }
        return texts;
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
        outcome.statusLines = StatusLines();
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
        // The bar follows bytes as the answers come (at other moments when
        // fetched ahead): a whole pass ends full either way.
        ASSERT_FALSE(serial.overallBar.empty());
        EXPECT_EQ(serial.overallBar.back() == OverallProgress::kRange, ahead.overallBar.back() == OverallProgress::kRange);
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
        EXPECT_EQ(c.committed == m_files.size(), ahead.overallBar.back() == OverallProgress::kRange);
        EXPECT_LE(ahead.fileBarRanges, serial.fileBarRanges);
        EXPECT_LE(ahead.fileBarPositions, serial.fileBarPositions);
    }
}

// A whole pass of one big and nine small files: the overall bar goes by
// bytes (counting files, it would stand at a tenth once the big one is in).
TEST_F(FetchAheadScenarioTest, TheOverallBarFollowsBytes) {
    AddFile({"big.dat", 1, "files/big^b1.dat", 1, std::string(4 << 20, 'b'), false});
    for (int i = 1; i <= 9; ++i) {
        const std::string n = std::to_string(i);
        AddFile({"s" + n + ".txt", 1, "files/s" + n + "^s" + n + ".txt", 1 + i, std::string(2048, 's'), false});
    }
    ServeManifest(Manifest());
    EXPECT_EQ(0, RunDownloaded());
    WaitForStartedPrograms();

    EXPECT_EQ(std::vector<int>{OverallProgress::kRange}, DialogValues("ShowProgressBar", IDC_OVERALL_PROGRESS));
    // The bar's positions until the second file is announced: within the big file.
    std::vector<int> duringBig;
    std::istringstream log(ReadText(m_dialogLog));
    for (std::string line; std::getline(log, line);) {
        if (line.find("Downloading: s1.txt") != std::string::npos) break;
        const std::string pos = "SetProgressPos\t" + std::to_string(IDC_OVERALL_PROGRESS) + "\t";
        if (line.compare(0, pos.size(), pos) == 0) duringBig.push_back(std::atoi(line.c_str() + pos.size()));
    }
    ASSERT_GE(duringBig.size(), 4u) << "the bar moves while the big file comes";
    EXPECT_TRUE(std::is_sorted(duringBig.begin(), duringBig.end()));
    EXPECT_GE(duringBig.back(), 990);
    const std::vector<int> all = DialogValues("SetProgressPos", IDC_OVERALL_PROGRESS);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_EQ(OverallProgress::kRange, all.back());
    // The line under it: amounts and time left (at least its first state).
    bool amountShown = false;
    for (const std::string& text : DialogLines("SetItemText")) {
        amountShown = amountShown || text.find(" MB \xE2\x80\x94 about ") != std::string::npos;
    }
    EXPECT_TRUE(amountShown);
}

} // namespace
} // namespace EngineTest
