#include "utils/string/String.h"

#include "utils/Exception.h"

#include <windows.h>

namespace Utils {
namespace String {

void Split(std::vector<std::string>& out, const std::string& text, const std::string& delimiter,
           int maxSplits) {
    out.clear();
    if (text.empty() || delimiter.empty()) return;
    size_t start = 0;
    int used = 0;
    while (maxSplits == 0 || used < maxSplits) {
        size_t hit = text.find(delimiter, start);
        if (hit == std::string::npos) break;
        out.push_back(text.substr(start, hit - start));
        start = hit + delimiter.size();
        ++used;
    }
    out.push_back(text.substr(start));
}

std::string& ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (text.empty() || from.empty()) {
        text.clear();
        return text;
    }
    std::string result;
    result.reserve(text.size());
    size_t start = 0;
    for (size_t hit; (hit = text.find(from, start)) != std::string::npos; start = hit + from.size()) {
        result.append(text, start, hit - start);
        result += to;
    }
    result.append(text, start, std::string::npos);
    text.swap(result);
    return text;
}

std::string TakeFirstToken(std::string& text, const std::string& delimiter) {
    if (text.empty() || delimiter.empty()) return std::string();
    size_t hit = text.find(delimiter);
    if (hit == std::string::npos) {
        std::string all;
        all.swap(text);
        return all;
    }
    std::string first = text.substr(0, hit);
    text.erase(0, hit + delimiter.size());
    return first;
}

std::vector<std::string> SplitArguments(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

static bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && IsSpace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string& ToLower(std::string& text) {
    for (char& c : text) c = LowerAscii(c);
    return text;
}

std::string Lowered(std::string text) { return ToLower(text); }

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

size_t HashIgnoringCase(const std::string& text) {
    size_t hash = static_cast<size_t>(14695981039346656037ull);
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(LowerAscii(c))) * static_cast<size_t>(1099511628211ull);
    return hash;
}

std::string& UrlEncode(const std::string& text, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    out.clear();
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (c == ' ') {
            out += '+';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

std::string& HexDecode(const std::string& hex, std::string& out) {
    out.clear();
    if (hex.size() % 2 != 0) throw new Exception("Utils::String::HexDecode", "hexdigit_2_val", 0);
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2)
        out += static_cast<char>(HexValue(hex[i]) * 16 + HexValue(hex[i + 1]));
    return out;
}

std::wstring ToWide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string FromWide(const std::wstring& text) {
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr, nullptr);
    }
    return narrow;
}

} // namespace String
} // namespace Utils
