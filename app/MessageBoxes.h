#pragma once
// Message boxes in the player's language: texts and captions are UTF-8 and
// shown through the wide-character functions, the buttons carry the words
// of the text tables (the system's own would be in the system's language),
// and Hebrew and Arabic read from right to left.
#include <windows.h>

#include <string>

#include "app/ops/PlayerMessage.h"

// A message box owned by owner (may be null); type: MB_* flags. Returns the
// button pressed.
int ShowTextBox(HWND owner, const std::string& text, const std::string& caption, UINT type);
// The player message with its caption, icon, details line and buttons
// (Retry, "Play now", Cancel or OK). Returns IDRETRY for Retry, else the id of
// the other button pressed.
int ShowPlayerMessage(HWND owner, const PlayerMessage& message);
