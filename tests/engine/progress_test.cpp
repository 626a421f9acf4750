// The overall bar moves by bytes of the whole pass, with sizes taken from the
// answers as they come and files not yet answered weighed by the median known
// size; the line under it tells the amounts and the time left.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/OverallProgress.h"
#include "support/RecordingDialog.h"

namespace {

using TestSupport::RecordingDialog;

const long long kBig = 4 << 20;
const long long kSmall = 2048;

TEST(OverallProgress, OneBigAndNineSmallFilesMoveTheBarByBytes) {
    RecordingDialog dialog;
    {
        OverallProgress overall(10);
        overall.Begin(0);
        EXPECT_EQ(10 * OverallProgress::kDefaultEstimate, overall.Total()) << "nothing answered yet";
        overall.Length(0, kBig);
        for (size_t i = 1; i <= 5; ++i) overall.Length(i, kSmall);  // answers of the files fetched ahead
        EXPECT_EQ(kBig + 9 * kSmall, overall.Total()) << "the unanswered weigh as the median file";
        overall.Current(kBig / 2, kBig);
        EXPECT_NEAR(500, overall.Position(), 3);
        overall.Committed(0);
        EXPECT_GE(overall.Position(), 990) << "counting files would say 100";
        for (size_t i = 1; i < 10; ++i) {
            overall.Begin(i);
            overall.Current(kSmall, kSmall);
            overall.Committed(i);
        }
        EXPECT_EQ(OverallProgress::kRange, overall.Position());
        overall.Finish();
    }
    EXPECT_EQ(std::vector<int>{OverallProgress::kRange}, dialog.Ranges(IDC_OVERALL_PROGRESS));
    const std::vector<int> positions = dialog.Positions(IDC_OVERALL_PROGRESS);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(OverallProgress::kRange, positions.back());
    EXPECT_EQ("", dialog.LastText(IDC_PROGRESS_AMOUNT)) << "the line goes with the pass";
}

TEST(OverallProgress, ABigAnswerLateNeverMovesTheBarBack) {
    RecordingDialog dialog;
    OverallProgress overall(3);
    for (size_t i = 0; i < 2; ++i) {
        overall.Begin(i);
        overall.Current(kSmall, kSmall);
        overall.Committed(i);
    }
    overall.Begin(2);
    overall.Current(0, kBig);  // much more than the estimate said
    overall.Current(kBig, kBig);
    const std::vector<int> positions = dialog.Positions(IDC_OVERALL_PROGRESS);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(OverallProgress::kRange, positions.back());
}

TEST(OverallProgress, TheAmountLineInThePlayersLanguage) {
    const struct {
        const char* language;
        long long secondsLeft;
        const char* text;
    } cases[] = {
        {"EN", 20, "12.4 of 55.0 MB \xE2\x80\x94 about 20 s left"},
        {"EN", 17, "12.4 of 55.0 MB \xE2\x80\x94 about 20 s left"},
        {"EN", 130, "12.4 of 55.0 MB \xE2\x80\x94 about 3 min left"},
        {"EN", -1, "12.4 of 55.0 MB \xE2\x80\x94 about \xE2\x80\xA6 left"},
        {"DE", 20, "12.4 von 55.0 MB \xE2\x80\x93 noch etwa 20 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(Texts::SetLanguage(c.language));
        EXPECT_EQ(c.text, OverallProgress::AmountText(13002342, 57671680, c.secondsLeft));
    }
    Texts::SetLanguage("EN");
}

} // namespace
