// Every failure a player can meet has one message: plain words with the game's
// name, an icon, a details line with the established wording, and a choice
// where it helps (Retry for what can go on, "Play now" when the game can start).
#include "app/ops/PlayerMessage.h"
#include "app/profile/Profile.h"

#include <regex>
#include <set>

#include <gtest/gtest.h>

namespace {

using Utils::Reason;
using Buttons = PlayerMessage::Buttons;

TEST(PlayerMessages, EveryReasonHasItsMessage) {
    const struct {
        Reason reason;
        UINT icon;
        bool retry;
        const char* words;  // a part of the English text
    } cases[] = {
        {Reason::ServerUnreachable, MB_ICONWARNING, true, "Can't reach the Halvenor servers. Check your internet"},
        {Reason::HttpStatus, MB_ICONWARNING, false, "servers could not send"},
        {Reason::DownloadCut, MB_ICONWARNING, true, "goes on where it stopped"},
        {Reason::ManifestMissing, MB_ICONERROR, false, "could not be verified"},
        {Reason::ManifestTooLarge, MB_ICONERROR, false, "could not be verified"},
        {Reason::ManifestBadSignature, MB_ICONERROR, false, "download Halvenor again"},
        {Reason::ManifestOlderRelease, MB_ICONERROR, false, "could not be verified"},
        {Reason::ManifestReplayed, MB_ICONERROR, false, "could not be verified"},
        {Reason::ManifestRulesBroken, MB_ICONERROR, false, "could not be verified"},
        {Reason::ManifestNoBrand, MB_ICONERROR, false, "could not be verified"},
        {Reason::ManifestUnsafeName, MB_ICONERROR, false, "could not be verified"},
        {Reason::UnsafePath, MB_ICONERROR, false, "arrived damaged"},
        {Reason::DigestMismatch, MB_ICONERROR, false, "arrived damaged"},
        {Reason::DecoderFailed, MB_ICONERROR, false, "could not be unpacked"},
        {Reason::DiskFull, MB_ICONERROR, false, "not enough free disk space"},
        {Reason::AccessDenied, MB_ICONERROR, false, "as an administrator"},
        {Reason::WriteFailed, MB_ICONERROR, false, "Check your hard disk"},
        {Reason::FolderNotOurs, MB_ICONERROR, false, "does not belong to this installation"},
        {Reason::AnotherInstallation, MB_ICONINFORMATION, false,
         "Another installation of Halvenor is still running. Please try again when it has finished."},
        {Reason::ClientRunning, MB_ICONINFORMATION, false, "Close Halvenor"},
        {Reason::SelfCopyFailed, MB_ICONERROR, false, "save it on your computer"},
        {Reason::OldVersionNotRemoved, MB_ICONERROR, false, "Restart your computer"},
        {Reason::OutOfMemory, MB_ICONERROR, false, "Not enough memory"},
        {Reason::Cancelled, MB_ICONINFORMATION, false, "was stopped"},
        {Reason::ToolFailed, MB_ICONERROR, false, "contact support"},
        {Reason::NotInstalled, MB_ICONERROR, false, "list of installed programs"},
        {Reason::RemovalIncomplete, MB_ICONWARNING, false, "could not be removed"},
    };
    ASSERT_EQ(static_cast<size_t>(Reason::RemovalIncomplete), sizeof cases / sizeof cases[0]) << "a reason without a case";
    for (const auto& c : cases) {
        SCOPED_TRACE(Utils::ReasonName(c.reason));
        const Utils::Result failure = Utils::Result::Failure(c.reason, 12029);
        EXPECT_EQ(c.retry, IsRetryable(failure));
        for (bool playable : {false, true}) {
            const PlayerMessage told = PlayerMessageFor(failure, "Halvenor", "", playable);
            EXPECT_EQ("Halvenor", told.caption);
            EXPECT_EQ(c.icon, told.icon);
            EXPECT_NE(std::string::npos, told.text.find(c.words)) << told.text;
            EXPECT_EQ(std::string::npos, told.text.find('{')) << "a placeholder left: " << told.text;
            // Without established wording the reason's name and code stand in.
            EXPECT_EQ(std::string(Utils::ReasonName(c.reason)) + " 12029", told.details);
            const Buttons expected = c.retry ? (playable ? Buttons::RetryPlayNow : Buttons::RetryCancel)
                                             : (playable ? Buttons::PlayNow : Buttons::Ok);
            EXPECT_EQ(expected, told.buttons);
            EXPECT_EQ(c.icon | (c.retry ? MB_RETRYCANCEL : MB_OK), told.BoxType());
        }
    }
}

TEST(PlayerMessages, TheEstablishedWordingIsTheLastLine) {
    const PlayerMessage told = PlayerMessageFor(Utils::Result::Failure(Reason::ServerUnreachable), "Halvenor",
                                                "FileDownloaderListener::OnError()", false);
    EXPECT_EQ("Can't reach the Halvenor servers. Check your internet connection, then try again.\n\n"
              "Details: FileDownloaderListener::OnError()",
              told.FullText());
}

// Every language of the language page has a table, and every table has
// every text with English's placeholders (the build refuses a table that
// lacks one; this checks what the program carries).
TEST(TextTables, EveryLanguageHasEveryText) {
    const std::regex placeholder("\\{[a-z_]+\\}");
    auto placeholders = [&](const std::string& text) {
        std::set<std::string> found;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder); it != std::sregex_iterator(); ++it)
            found.insert(it->str());
        return found;
    };
    EXPECT_EQ(LANGUAGE_COUNT, kTextLanguageCount);
    for (int value = 1; value <= LANGUAGE_COUNT; ++value) {
        SCOPED_TRACE(LanguageCode(value));
        const int table = Texts::TableOf(LanguageCode(value));
        ASSERT_GE(table, 0) << "no table";
        for (int id = 0; id < static_cast<int>(TextId::Count); ++id) {
            SCOPED_TRACE(kTextKeys[id]);
            const std::string text = kTextTables[table][id];
            EXPECT_FALSE(text.empty());
            EXPECT_EQ(placeholders(kTextTables[0][id]), placeholders(text));
        }
    }
    // English keeps the established wording.
    EXPECT_EQ("Do you want to continue this operation?", Texts::TextIn(0, TextId::CancelQuestion));
    EXPECT_EQ("Uninstall finished successfully", Texts::TextIn(0, TextId::UninstallFinished));
    EXPECT_EQ("Downloading: a.dll", Texts::TextIn(0, TextId::Downloading, {{"file", "a.dll"}}));
}

TEST(TextTables, TheSystemLanguageChoosesUntilThePlayerHasAnswered) {
    EXPECT_STREQ("DE", Texts::CodeForLanguageId(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN)));
    EXPECT_STREQ("JA", Texts::CodeForLanguageId(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)));
    EXPECT_STREQ("AR", Texts::CodeForLanguageId(MAKELANGID(LANG_ARABIC, SUBLANG_ARABIC_EGYPT)));
    EXPECT_STREQ("EN", Texts::CodeForLanguageId(MAKELANGID(LANG_KOREAN, SUBLANG_DEFAULT))) << "no table: English";
    ASSERT_TRUE(Texts::SetLanguage("ar"));
    EXPECT_TRUE(Texts::IsRightToLeft());
    EXPECT_EQ("\xd9\x85\xd9\x88\xd8\xa7\xd9\x81\xd9\x82", Texts::Text(TextId::ButtonOk));  // "OK" in Arabic
    EXPECT_FALSE(Texts::SetLanguage("XX"));
    EXPECT_STREQ("EN", Texts::LanguageCode());
    EXPECT_FALSE(Texts::IsRightToLeft());
}

} // namespace
