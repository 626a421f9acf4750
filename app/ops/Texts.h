#pragma once
// Everything the player reads, in the player's language. The texts live in
// one UTF-8 table per language (resources/texts/<code>.txt), compiled into
// the program at build time (TextTables.h); English keeps the program's
// established wording. Texts are UTF-8 from here on: the dialog shows them
// through the wide-character window functions.
//
// Threading: the language is one process-wide value, set on the dialog's
// thread before the update worker starts; any thread may read texts.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "TextTables.h"

namespace Texts {

// A placeholder's name (without braces) and its value: a text of the tables
// or any other UTF-8, or a program string in the system's ANSI code page (a
// brand, a file name), which AsUtf8 converts.
using Arg = std::pair<const char*, std::string>;

// The text in the current language with its placeholders filled in.
std::string Text(TextId id, const std::vector<Arg>& args = {});
// The same in the language of that table (0: English; kTextLanguages).
std::string TextIn(int table, TextId id, const std::vector<Arg>& args = {});

// Chooses the language by its code on the language page ("DE"; any case).
// False, and English, for a code without a table.
bool SetLanguage(const std::string& code);
// The table shown now, and its code.
int Language();
const char* LanguageCode();
// The table of a code; -1 when there is none.
int TableOf(const std::string& code);
// The language page's code for a system language id (GetUserDefaultUILanguage):
// "EN" for a language without a table.
const char* CodeForLanguageId(LANGID id);
// Before the player has answered: the system's user-interface language.
void UseSystemLanguage();
// Hebrew and Arabic are read from right to left.
bool IsRightToLeft();

// UTF-8 to UTF-16, for the wide-character window functions.
std::wstring Wide(const std::string& utf8);
// A program string (ANSI code page) as UTF-8; text that is UTF-8 already
// (ASCII, or any text of the tables: ANSI text with letters beyond ASCII is
// practically never valid UTF-8) stays as it is.
std::string AsUtf8(const std::string& text);

} // namespace Texts
