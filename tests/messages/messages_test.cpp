// Every failure a player can meet has one message: plain words with the game's
// name, an icon, a details line with the established wording, and a choice
// where it helps (Retry for what can go on, "Play now" when the game can start).
#include "app/ops/PlayerMessage.h"

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

} // namespace
