#pragma once
// In-memory INI text: sections of key=value lines, with "#include=" lines that
// pull in further files. Read-only once loaded; never writes to the disk.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "utils/Lockable.h"

namespace Utils {

// An ordered map from a key (byte-wise, case-sensitive) to an object the map
// owns: a value lives until it is replaced, cleared or the map is destroyed.
// Every operation holds the map's lock.
template <typename T>
class LockedMap : public Lockable {
public:
    // The stored object (still owned by the map), or null when the key is absent.
    T* Get(const std::string& key) const {
        AutoLock lock(*this);
        auto found = m_map.find(key);
        return found == m_map.end() ? nullptr : found->second.get();
    }
    // Replaces (and destroys) the object of a present key; false when absent,
    // and then value is destroyed unstored.
    bool Set(const std::string& key, std::unique_ptr<T> value) {
        AutoLock lock(*this);
        auto found = m_map.find(key);
        if (found == m_map.end()) return false;
        found->second = std::move(value);
        return true;
    }
    bool Contains(const std::string& key) const {
        AutoLock lock(*this);
        return m_map.find(key) != m_map.end();
    }
    // Adds the key when absent; reports whether it was added (when not, value
    // is destroyed unstored).
    bool Insert(const std::string& key, std::unique_ptr<T> value) {
        AutoLock lock(*this);
        if (m_map.find(key) != m_map.end()) return false;
        m_map.emplace(key, std::move(value));
        return true;
    }
    // Stores the object and hands back the one it replaced (null when the key was new).
    std::unique_ptr<T> Replace(const std::string& key, std::unique_ptr<T> value) {
        AutoLock lock(*this);
        std::unique_ptr<T>& slot = m_map[key];
        slot.swap(value);
        return value;
    }
    // Empties out and appends every key in map order.
    void GetKeys(std::vector<std::string>& out) const {
        AutoLock lock(*this);
        out.clear();
        out.reserve(m_map.size());
        for (const auto& entry : m_map) out.push_back(entry.first);
    }
    // Calls visit(key, object pointer) for every entry in map order, under
    // the lock; visit must not change the map.
    template <typename Visit>
    void ForEach(Visit visit) const {
        AutoLock lock(*this);
        for (const auto& entry : m_map) visit(entry.first, entry.second.get());
    }
    // Destroys every object and forgets every key.
    void Clear() {
        AutoLock lock(*this);
        m_map.clear();
    }
    size_t Size() const {
        AutoLock lock(*this);
        return m_map.size();
    }

private:
    std::map<std::string, std::unique_ptr<T>> m_map;
};

class IniFile : public Lockable {
public:
    // Key -> value; owns its value strings.
    class Section : public LockedMap<std::string> {};

    // Which names an "#include=" line may give (when includes are on).
    enum class IncludeNames {
        AnyPath,        // any path, taken relative to the including file's folder
        PlainFileName,  // a plain file name only: a file in the including file's folder
    };

    // Loads path (a file that cannot be opened leaves an empty object).
    // includeEnabled non-zero: "#include=" lines load further files, of the
    // names `includeNames` allows (others are refused with a printed line).
    IniFile(const std::string& path, int includeEnabled, IncludeNames includeNames = IncludeNames::AnyPath);
    ~IniFile() override;

    // The object of `text` read as ReadFile reads a file's bytes (text mode:
    // CR LF as LF, a Ctrl-Z ends the text, a NUL ends its piece; pieces of at
    // most LINE_BUFFER_SIZE - 1 bytes), without includes: what was checked
    // in memory is what is parsed, and no name is opened again.
    static std::unique_ptr<IniFile> FromText(const std::string& text);

    // Loads one file into the object. reset true (the constructor) starts a new
    // load; "#include=" reads pass false. False when refused or not opened.
    bool ReadFile(const std::string& path, bool reset);

    // The value as a decimal integer (atoi rules); 0 when missing.
    int GetInt(const std::string& section, const std::string& key);
    // The value; empty when the section or key is missing.
    std::string GetString(const std::string& section, const std::string& key);
    // Keys in key order and their values at the same index; both emptied first.
    void GetSection(const std::string& section, std::vector<std::string>& keys, std::vector<std::string>& values);
    void GetSectionNames(std::vector<std::string>& names);
    // "[name]\n" then "key=value\n" per key, sections and keys in order.
    void ToString(std::string& out);
    void Clear();

    static const size_t LINE_BUFFER_SIZE = 4000;  // a piece is at most 3,999 bytes

private:
    IniFile();  // empty, includes off (FromText)
    Section* FindSection(const std::string& name);
    Section* GetOrCreateSection(const std::string& name);
    void ClearSections();
    void ParseLine(const std::string& piece, std::string& currentSection, const std::string& directory);

    LockedMap<Section> sections;
    std::vector<std::string> m_readList;  // full paths the current load has tried to open
    Section* m_cachedSection;
    std::string m_cachedName;
    bool m_bHasCachedName;
    std::string m_currentFile;
    int m_includeEnabled;
    IncludeNames m_includeNames;
};

} // namespace Utils
