#pragma once
// What the player is told when something fails: the game's name as the
// caption, an icon, what happened and what to do in plain words, and as the
// last line "Details: <text>", the wording support staff and older tooling
// know (the program's established message where it had one, otherwise the
// failure's reason name). Where it helps, the player gets a choice: Retry
// (the run goes on where it stopped) and "Play now" (the installed game starts).
#include <windows.h>

#include <string>

#include "app/ops/Texts.h"
#include "utils/Result.h"

struct PlayerMessage {
    enum class Buttons {
        Ok,           // OK
        PlayNow,      // "Play now" (the OK button)
        RetryCancel,  // Retry, Cancel
        RetryPlayNow  // Retry, "Play now" (the Cancel button)
    };
    std::string caption;  // UTF-8, like every text below
    std::string text;     // what happened and what to do
    std::string details;  // the last line's content
    UINT icon = MB_ICONERROR;
    Buttons buttons = Buttons::Ok;

    // The text, an empty line and the details line.
    std::string FullText() const;
    // MB_* flags of a message box with this icon and these buttons.
    UINT BoxType() const;
    bool OffersRetry() const { return buttons == Buttons::RetryCancel || buttons == Buttons::RetryPlayNow; }
};

// A message from the text of `what` ({game} filled in with the game's name,
// as Texts::AsUtf8 takes it) with the details line `details`.
PlayerMessage MakePlayerMessage(TextId what, const std::string& game, const std::string& details,
                                UINT icon = MB_ICONERROR);

// Whether the run may try a failure again and go on where it stopped: an
// unreachable server, a cut download.
bool IsRetryable(const Utils::Result& failure);

// The one message for a failure of the install run. details: the program's
// established wording for it ("" when there is none: the reason's name and
// code stand in). The failure's detail fills {files} (what an uninstall left).
// Retry is offered where IsRetryable holds; playable: the
// installed game can still start ("Play now" instead of Cancel or OK).
PlayerMessage PlayerMessageFor(const Utils::Result& failure, const std::string& game, const std::string& details,
                               bool playable);
