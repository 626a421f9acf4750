#include "app/ops/PlayerMessage.h"

namespace {

using Utils::Reason;

struct ReasonText {
    TextId text;
    UINT icon;
};

ReasonText TextFor(Reason reason) {
    switch (reason) {
    case Reason::ServerUnreachable: return {TextId::MsgServerUnreachable, MB_ICONWARNING};
    case Reason::HttpStatus: return {TextId::MsgServerError, MB_ICONWARNING};
    case Reason::DownloadCut: return {TextId::MsgDownloadCut, MB_ICONWARNING};
    case Reason::ManifestMissing:
    case Reason::ManifestTooLarge:
    case Reason::ManifestBadSignature:
    case Reason::ManifestOlderRelease:
    case Reason::ManifestReplayed:
    case Reason::ManifestRulesBroken:
    case Reason::ManifestNoBrand:
    case Reason::ManifestUnsafeName: return {TextId::MsgReleaseRefused, MB_ICONERROR};
    case Reason::UnsafePath:
    case Reason::DigestMismatch: return {TextId::MsgFileDamaged, MB_ICONERROR};
    case Reason::DecoderFailed: return {TextId::MsgUnpackFailed, MB_ICONERROR};
    case Reason::DiskFull: return {TextId::MsgDiskFull, MB_ICONERROR};
    case Reason::AccessDenied: return {TextId::MsgAccessDenied, MB_ICONERROR};
    case Reason::FolderNotOurs: return {TextId::MsgFolderNotOurs, MB_ICONERROR};
    case Reason::AnotherInstallation: return {TextId::MsgAnotherInstallation, MB_ICONINFORMATION};
    case Reason::ClientRunning: return {TextId::MsgClientRunning, MB_ICONINFORMATION};
    case Reason::SelfCopyFailed: return {TextId::MsgSelfCopyFailed, MB_ICONERROR};
    case Reason::OldVersionNotRemoved: return {TextId::MsgOldCopyLeft, MB_ICONERROR};
    case Reason::OutOfMemory: return {TextId::MsgOutOfMemory, MB_ICONERROR};
    case Reason::Cancelled: return {TextId::MsgCancelled, MB_ICONINFORMATION};
    case Reason::ToolFailed: return {TextId::MsgToolFailed, MB_ICONERROR};
    case Reason::NotInstalled: return {TextId::MsgUninstallNotPossible, MB_ICONERROR};
    case Reason::RemovalIncomplete: return {TextId::MsgUninstallIncomplete, MB_ICONWARNING};
    case Reason::WriteFailed:
    case Reason::None:
    default: return {TextId::MsgWriteFailed, MB_ICONERROR};
    }
}

} // namespace

std::string PlayerMessage::FullText() const {
    return text + "\n\n" + Texts::Text(TextId::Details, {{"details", details}});
}

UINT PlayerMessage::BoxType() const { return icon | (OffersRetry() ? MB_RETRYCANCEL : MB_OK); }

PlayerMessage MakePlayerMessage(TextId what, const std::string& game, const std::string& details, UINT icon) {
    PlayerMessage message;
    message.caption = Texts::AsUtf8(game);
    message.text = Texts::Text(what, {{"game", game}});
    message.details = Texts::AsUtf8(details);
    message.icon = icon;
    return message;
}

bool IsRetryable(const Utils::Result& failure) {
    return failure.reason == Reason::ServerUnreachable || failure.reason == Reason::DownloadCut;
}

PlayerMessage PlayerMessageFor(const Utils::Result& failure, const std::string& game, const std::string& details,
                               bool playable) {
    const ReasonText what = TextFor(failure.reason);
    std::string shown = details;
    if (shown.empty()) {
        shown = Utils::ReasonName(failure.reason);
        if (failure.error != 0) shown += " " + std::to_string(failure.error);
    }
    PlayerMessage message = MakePlayerMessage(what.text, game, shown, what.icon);
    // What could not be removed, one per line.
    message.text = Texts::Text(what.text, {{"game", game}, {"files", failure.detail}});
    if (IsRetryable(failure)) {
        message.buttons = playable ? PlayerMessage::Buttons::RetryPlayNow : PlayerMessage::Buttons::RetryCancel;
    } else if (playable) {
        message.buttons = PlayerMessage::Buttons::PlayNow;
    }
    return message;
}
