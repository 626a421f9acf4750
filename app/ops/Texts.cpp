#include "app/ops/Texts.h"

#include <atomic>
#include <cctype>

namespace Texts {

namespace {

std::atomic<int> g_language{0};

std::wstring ToWide(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string ToUtf8(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length, nullptr, nullptr);
    return text;
}

bool IsUtf8(const std::string& text) {
    return text.empty() ||
           MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0) > 0;
}

} // namespace

std::wstring Wide(const std::string& utf8) { return ToWide(utf8, CP_UTF8); }

std::string AsUtf8(const std::string& text) { return IsUtf8(text) ? text : ToUtf8(ToWide(text, CP_ACP)); }

std::string TextIn(int table, TextId id, const std::vector<Arg>& args) {
    const int index = static_cast<int>(id);
    if (table < 0 || table >= kTextLanguageCount) table = 0;
    if (index < 0 || index >= static_cast<int>(TextId::Count)) return std::string();
    std::string text = kTextTables[table][index];
    for (const Arg& arg : args) {
        const std::string mark = std::string("{") + arg.first + "}";
        const std::string value = AsUtf8(arg.second);
        // Values are never searched again: a value holding "{x}" stays as it is.
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size())) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

std::string Text(TextId id, const std::vector<Arg>& args) { return TextIn(g_language.load(), id, args); }

int TableOf(const std::string& code) {
    std::string upper = code;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int i = 0; i < kTextLanguageCount; ++i)
        if (upper == kTextLanguages[i]) return i;
    return -1;
}

bool SetLanguage(const std::string& code) {
    const int table = TableOf(code);
    g_language = table < 0 ? 0 : table;
    return table >= 0;
}

int Language() { return g_language.load(); }

const char* LanguageCode() { return kTextLanguages[g_language.load()]; }

const char* CodeForLanguageId(LANGID id) {
    switch (PRIMARYLANGID(id)) {
    case LANG_GERMAN: return "DE";
    case LANG_ITALIAN: return "IT";
    case LANG_HEBREW: return "HE";
    case LANG_TURKISH: return "TR";
    case LANG_GREEK: return "EL";
    case LANG_JAPANESE: return "JA";
    case LANG_SWEDISH: return "SV";
    case LANG_DUTCH: return "NL";
    case LANG_FRENCH: return "FR";
    case LANG_DANISH: return "DK";
    case LANG_SPANISH: return "ES";
    case LANG_CHINESE: return "ZH";
    case LANG_ARABIC: return "AR";
    case LANG_FINNISH: return "FI";
    case LANG_NORWEGIAN: return "NO";
    case LANG_RUSSIAN: return "RU";
    case LANG_PORTUGUESE: return "PT";
    default: return "EN";
    }
}

void UseSystemLanguage() { SetLanguage(CodeForLanguageId(GetUserDefaultUILanguage())); }

bool IsRightToLeft() {
    const std::string code = LanguageCode();
    return code == "AR" || code == "HE";
}

} // namespace Texts
