#include "utils/ini/IniFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/fs/FileSystem.h"
#include "utils/string/String.h"

namespace Utils {

namespace {
const char kIncludeMark[] = "#include=";
const size_t kIncludeMarkLength = sizeof(kIncludeMark) - 1;

// Owns a C stream for one read.
struct InputFile {
    FILE* file;
    explicit InputFile(const char* path) : file(std::fopen(path, "rt")) {}
    ~InputFile() {
        if (file) std::fclose(file);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
};
} // namespace

IniFile::IniFile(const std::string& path, int includeEnabled, IncludeNames includeNames)
    : m_cachedSection(nullptr), m_bHasCachedName(false), m_includeEnabled(includeEnabled),
      m_includeNames(includeNames) {
    AutoLock lock(*this);
    ReadFile(path, true);
    m_cachedSection = nullptr;
    m_cachedName.clear();
    m_bHasCachedName = false;
}

IniFile::IniFile()
    : m_cachedSection(nullptr), m_bHasCachedName(false), m_includeEnabled(0), m_includeNames(IncludeNames::PlainFileName) {
}

std::unique_ptr<IniFile> IniFile::FromText(const std::string& text) {
    std::unique_ptr<IniFile> ini(new IniFile());
    AutoLock lock(*ini);
    // The C runtime's text mode, as ReadFile's stream sees a file.
    std::string translated;
    translated.reserve(text.size());
    for (size_t i = 0; i < text.size() && text[i] != '\x1a'; ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        translated += text[i];
    }
    std::string currentSection;
    for (size_t at = 0; at < translated.size();) {
        // fgets: up to the line feed (kept) or LINE_BUFFER_SIZE - 1 bytes.
        size_t length = std::min(LINE_BUFFER_SIZE - 1, translated.size() - at);
        const size_t lineFeed = translated.find('\n', at);
        if (lineFeed != std::string::npos && lineFeed - at < length) length = lineFeed - at + 1;
        std::string piece = translated.substr(at, length);
        piece.resize(std::strlen(piece.c_str()));  // fgets's caller sees up to a NUL
        ini->ParseLine(piece, currentSection, std::string());
        at += length;
    }
    return ini;
}

IniFile::~IniFile() {
    Clear();
}

void IniFile::ClearSections() {
    sections.Clear();
    m_cachedSection = nullptr;
    m_cachedName.clear();
    m_bHasCachedName = false;
}

void IniFile::Clear() {
    AutoLock lock(*this);
    ClearSections();
    m_readList.clear();
}

IniFile::Section* IniFile::FindSection(const std::string& name) {
    if (m_bHasCachedName && m_cachedName == name) return m_cachedSection;
    m_cachedSection = sections.Get(name);
    m_cachedName = name;
    m_bHasCachedName = true;
    return m_cachedSection;
}

IniFile::Section* IniFile::GetOrCreateSection(const std::string& name) {
    Section* section = FindSection(name);
    if (section == nullptr) {
        std::unique_ptr<Section> created(new Section());
        section = created.get();
        sections.Insert(name, std::move(created));
        m_cachedSection = section;
        m_cachedName = name;
        m_bHasCachedName = true;
    }
    return section;
}

bool IniFile::ReadFile(const std::string& path, bool reset) {
    AutoLock lock(*this);
    std::string fullPath = FileSystem::GetFullPath(path, "");
    for (const std::string& read : m_readList) {
        if (read == fullPath) {
            std::printf("#include file '%s' file already exist\n", path.c_str());
            return false;
        }
    }
    if (reset) m_readList.clear();
    m_readList.push_back(fullPath);

    InputFile input(fullPath.c_str());  // text mode: CR LF reads as one line feed
    if (input.file == nullptr) {
        std::printf("Utils::IniFile::ReadFile() file not found:\n%s\n", fullPath.c_str());
        return false;
    }
    if (reset) ClearSections();

    // Includes are resolved against the folder of the file holding the line,
    // also after a nested read has changed the current file.
    std::string previousFile = m_currentFile;
    m_currentFile = fullPath;
    size_t slash = fullPath.rfind('\\');
    std::string directory = slash == std::string::npos ? std::string() : fullPath.substr(0, slash);

    std::string currentSection;  // lines before the first header go to the unnamed section
    std::vector<char> buffer(LINE_BUFFER_SIZE);  // on the heap: includes nest
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), input.file) != nullptr) {
        ParseLine(std::string(buffer.data()), currentSection, directory);
    }
    m_currentFile = previousFile;
    return true;
}

void IniFile::ParseLine(const std::string& piece, std::string& currentSection, const std::string& directory) {
    std::string text = String::Trim(piece);
    if (text.empty()) return;
    if (text[0] == '#' || text[0] == ';') {
        if (m_includeEnabled != 0 && text.compare(0, kIncludeMarkLength, kIncludeMark) == 0) {
            std::string name = String::Trim(text.substr(kIncludeMarkLength));
            if (m_includeNames == IncludeNames::PlainFileName && !FileSystem::IsPlainFolderName(name)) {
                std::printf("#include file '%s' refused: not a plain file name\n", name.c_str());
                return;
            }
            ReadFile(directory + "\\" + name, false);
        }
        return;
    }
    if (text.size() >= 2 && text[0] == '[' && text[text.size() - 1] == ']') {
        currentSection = text.substr(1, text.size() - 2);
        return;
    }
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) return;
    Section* section = GetOrCreateSection(currentSection);
    std::unique_ptr<std::string> value(new std::string(text.substr(equals + 1)));
    if (section->Replace(text.substr(0, equals), std::move(value)) != nullptr)
        std::printf("Warning: Utils::IniFile::ReadFile() duplicate name %s\n", piece.c_str());
}

int IniFile::GetInt(const std::string& section, const std::string& key) {
    AutoLock lock(*this);
    Section* found = FindSection(section);
    if (found == nullptr) return 0;
    std::string* value = found->Get(key);
    // strtol clamps out-of-range values instead of overflowing.
    return value ? static_cast<int>(std::strtol(value->c_str(), nullptr, 10)) : 0;
}

std::string IniFile::GetString(const std::string& section, const std::string& key) {
    AutoLock lock(*this);
    Section* found = FindSection(section);
    if (found == nullptr) return std::string();
    std::string* value = found->Get(key);
    return value ? *value : std::string();
}

void IniFile::GetSection(const std::string& section, std::vector<std::string>& keys,
                         std::vector<std::string>& values) {
    AutoLock lock(*this);
    keys.clear();
    values.clear();
    Section* found = FindSection(section);
    if (found == nullptr) return;
    // One walk of the map: a manifest's FILE section has thousands of keys.
    keys.reserve(found->Size());
    values.reserve(found->Size());
    found->ForEach([&](const std::string& key, const std::string* value) {
        keys.push_back(key);
        values.push_back(value ? *value : std::string());
    });
}

void IniFile::GetSectionNames(std::vector<std::string>& names) {
    AutoLock lock(*this);
    sections.GetKeys(names);
}

void IniFile::ToString(std::string& out) {
    AutoLock lock(*this);
    out.clear();
    std::vector<std::string> names;
    sections.GetKeys(names);
    for (const std::string& name : names) {
        out += "[" + name + "]\n";
        Section* section = sections.Get(name);
        if (section == nullptr) continue;
        section->ForEach([&](const std::string& key, const std::string* value) {
            out += key;
            out += '=';
            if (value) out += *value;
            out += '\n';
        });
    }
}

} // namespace Utils
