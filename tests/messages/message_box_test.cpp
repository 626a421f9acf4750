// The message box of every failure as a player sees it, in English and in
// another language: the game's name as the caption, an icon, the text, the
// details line and the buttons' words. Each box is saved as a screenshot.
#include "app/MessageBoxes.h"
#include "support/TestThreads.h"
#include "tools/player/Player.h"

#include <gtest/gtest.h>

namespace {

using Utils::Reason;

struct Seen {
    Player::MessageBoxInfo box;
    int answer = 0;
};

// Shows the message on a thread of its own, as the update worker does, and
// reads it from here; presses `press` (the first button when 0).
Seen ShowAndRead(const PlayerMessage& message, const std::string& shot, int press = 0) {
    Seen seen;
    TestSupport::Thread shower([&] { seen.answer = ShowPlayerMessage(nullptr, message); });
    EXPECT_TRUE(Player::WaitForMessageBox(GetCurrentProcessId(), 30000, seen.box));
    if (!seen.box.window) return seen;
    Sleep(100);  // drawn
    Player::SaveScreenshot(seen.box.window, std::string(ORVANTA_MESSAGE_SCREENS) + "\\" + shot + ".bmp");
    EXPECT_TRUE(Player::PressButton(seen.box, press ? press : seen.box.buttons.front()));
    shower.Join();
    return seen;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class MessageBoxes : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ASSERT_TRUE(Texts::SetLanguage(GetParam())); }
    void TearDown() override { Texts::SetLanguage("EN"); }
};

TEST_P(MessageBoxes, EveryReasonShowsItsMessage) {
    const int language = Texts::Language();
    for (int r = static_cast<int>(Reason::ServerUnreachable); r <= static_cast<int>(Reason::RemovalIncomplete); ++r) {
        const Reason reason = static_cast<Reason>(r);
        SCOPED_TRACE(Utils::ReasonName(reason));
        const PlayerMessage message =
            PlayerMessageFor(Utils::Result::Failure(reason), "Halvenor", "FileDownloaderListener::OnError()", false);
        const Seen seen = ShowAndRead(message, Lower(GetParam()) + "_" + Utils::ReasonName(reason));
        EXPECT_EQ("Halvenor", seen.box.caption);
        EXPECT_NE(nullptr, seen.box.icon) << "no icon";
        EXPECT_EQ(message.FullText(), seen.box.text);
        const std::string details = Texts::TextIn(language, TextId::Details, {{"details", "FileDownloaderListener::OnError()"}});
        EXPECT_EQ(seen.box.text.size() - details.size(), seen.box.text.rfind(details)) << "the last line";
        const std::vector<std::string> words =
            IsRetryable(Utils::Result::Failure(reason))
                ? std::vector<std::string>{Texts::Text(TextId::ButtonCancel), Texts::Text(TextId::ButtonRetry)}
                : std::vector<std::string>{Texts::Text(TextId::ButtonOk)};
        EXPECT_EQ(words, seen.box.buttonTexts);
    }
}

TEST_P(MessageBoxes, RetryAndPlayNowAreTheChoices) {
    const PlayerMessage message = PlayerMessageFor(Utils::Result::Failure(Reason::DownloadCut), "Halvenor",
                                                   "FileDownloaderListener::OnError()", true);
    Seen seen = ShowAndRead(message, Lower(GetParam()) + "_retry_or_play", IDRETRY);
    EXPECT_EQ(IDRETRY, seen.answer);
    EXPECT_EQ((std::vector<std::string>{Texts::Text(TextId::ButtonPlayNow), Texts::Text(TextId::ButtonRetry)}),
              seen.box.buttonTexts);
    seen = ShowAndRead(message, Lower(GetParam()) + "_play_now", IDCANCEL);
    EXPECT_EQ(IDCANCEL, seen.answer) << "Play now";
}

// English, and languages of three other scripts.
INSTANTIATE_TEST_SUITE_P(Languages, MessageBoxes, ::testing::Values("EN", "DE", "JA", "AR"));

} // namespace
