#pragma once
// Text functions shared by the INI reader, the logger, the path functions, the
// engine and the HTTP code. Byte strings in the system code page.
#include <string>
#include <vector>

namespace Utils {
namespace String {

// Splits text at every occurrence of the whole delimiter; at most maxSplits
// occurrences are used (0: no limit). Empty fields are kept. out stays empty
// when text or delimiter is empty.
void Split(std::vector<std::string>& out, const std::string& text, const std::string& delimiter,
           int maxSplits = 0);

// Replaces every occurrence of from by to, in place, and returns the text.
// An empty text or an empty from yields the empty string.
std::string& ReplaceAll(std::string& text, const std::string& from, const std::string& to);

// Returns the part of text before the first delimiter and removes it and the
// delimiter from text; without a delimiter returns all of text and empties it.
std::string TakeFirstToken(std::string& text, const std::string& delimiter);

// The words of a command line: blanks and tabs separate them, double quotes
// group (and are dropped), so "" is an empty word.
std::vector<std::string> SplitArguments(const std::string& commandLine);

// Between the ANSI code page and UTF-16, for the few system calls that have
// no ANSI form (the native file calls, starting a process with a token).
std::wstring ToWide(const std::string& text);
std::string FromWide(const std::wstring& text);

// Without leading and trailing space, tab, LF, VT, FF and CR.
std::string Trim(const std::string& text);

// The one case rule for names and paths, as the registry and the file system
// compare them: ASCII letters only (A-Z and a-z), every other byte as it is.
// A-Z to a-z, in place; returns the text.
std::string& ToLower(std::string& text);
// The same on a copy.
std::string Lowered(std::string text);
inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool EqualsIgnoringCase(const std::string& a, const std::string& b);
// FNV-1a over the bytes under the same rule: names equal ignoring case hash alike.
size_t HashIgnoringCase(const std::string& text);
// For unordered containers keyed by names under that rule.
struct CaseBlindHash {
    size_t operator()(const std::string& text) const { return HashIgnoringCase(text); }
};
struct CaseBlindEqual {
    bool operator()(const std::string& a, const std::string& b) const { return EqualsIgnoringCase(a, b); }
};

// "+" for a space, letters and digits kept, every other byte as %XX.
std::string& UrlEncode(const std::string& text, std::string& out);

// Pairs of hex digits to bytes (other characters count 0). Throws a
// Utils::Exception pointer for text of odd length.
std::string& HexDecode(const std::string& hex, std::string& out);

} // namespace String
} // namespace Utils
