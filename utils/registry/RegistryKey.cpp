#include "utils/registry/RegistryKey.h"

#include <cstring>

namespace Utils {

namespace {

const REGSAM kAccess = KEY_READ | KEY_WRITE;  // 0x2001F
const DWORD kMaxKeyName = 256;                 // key names have at most 255 characters

RegKey OpenKey(HKEY parent, const std::string& name) {
    RegKey key;
    if (RegOpenKeyExA(parent, name.c_str(), 0, kAccess, key.Receive()) != ERROR_SUCCESS) key.Release();
    return key;
}

RegKey CreateKey(HKEY parent, const std::string& name) {
    RegKey key;
    if (RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr,
                        key.Receive(), nullptr) != ERROR_SUCCESS)
        key.Release();
    return key;
}

// Deletes parent\name with everything below it, depth first, always taking
// the first remaining sub-key. Stops at the first failure.
bool DeleteTree(HKEY parent, const std::string& name) {
    {
        RegKey key = OpenKey(parent, name);
        if (!key) return false;
        for (;;) {
            char child[kMaxKeyName];
            DWORD length = kMaxKeyName;
            LONG status = RegEnumKeyExA(key.Get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status != ERROR_SUCCESS) return false;
            if (!DeleteTree(key.Get(), std::string(child, length))) return false;
        }
    }
    return RegDeleteKeyA(parent, name.c_str()) == ERROR_SUCCESS;
}

// The text of a string value by the reading rules; false when it is missing,
// too long, of another type or not terminated.
bool ReadString(HKEY key, const std::string& name, std::string& out) {
    char buffer[RegistryKey::MaxStringBytes];
    std::memset(buffer, 0, sizeof(buffer));
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return false;
    if (size > sizeof(buffer)) return false;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        if (size < 1 || buffer[size - 1] != 0) return false;
    } else if (type == REG_MULTI_SZ) {
        if (size < 2 || buffer[size - 1] != 0 || buffer[size - 2] != 0) return false;
    } else {
        return false;
    }
    out.assign(buffer);  // up to the first zero byte, which is inside the data
    return true;
}

void WriteDwordAndString(HKEY key, const std::string& dwordName, DWORD value, const std::string& stringName,
                         const std::string& text) {
    RegSetValueExA(key, dwordName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    const std::string stored = text.substr(0, RegistryKey::MaxStringBytes - 1);
    RegSetValueExA(key, stringName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(stored.c_str()),
                   static_cast<DWORD>(stored.size() + 1));
}

void DeleteNamed(HKEY key, const std::string& name) {
    // An empty name would open the working key itself and wipe it.
    if (!name.empty()) DeleteTree(key, name);
    RegDeleteValueA(key, name.c_str());
}

bool ReadDword(HKEY key, const std::string& name, DWORD& out) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof(value)) return false;
    out = value;
    return true;
}

} // namespace

RegistryKey::RegistryKey(unsigned char hive, const std::string& path) : m_hive(hive), m_szPath(path) {
    RegKey software = OpenKey(Root(), "Software");
    if (!software) return;
    RegKey key = OpenKey(software.Get(), m_szPath);
    if (!key) key = CreateKey(software.Get(), m_szPath);
}

RegistryKey::~RegistryKey() {}

HKEY RegistryKey::Root() const { return m_hive == kMachineHive ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

RegKey RegistryKey::OpenWorkingKey(const std::string& subKey) const {
    RegKey software = OpenKey(Root(), "Software");
    if (!software) return RegKey();
    RegKey path = OpenKey(software.Get(), m_szPath);
    if (!path || subKey.empty()) return path;
    RegKey key = OpenKey(path.Get(), subKey);
    if (key) return key;
    // A missing sub-key is created, then opened once more.
    if (!CreateKey(path.Get(), subKey)) return RegKey();
    return OpenKey(path.Get(), subKey);
}

bool RegistryKey::KeyExists(const std::string& subKey) const {
    RegKey software = OpenKey(Root(), "Software");
    if (!software) return false;
    RegKey path = OpenKey(software.Get(), m_szPath);
    if (!path) return false;
    if (subKey.empty()) return true;
    return static_cast<bool>(OpenKey(path.Get(), subKey));
}

DWORD RegistryKey::GetDword(const std::string& name, const std::string& subKey, DWORD def) const {
    RegKey key = OpenWorkingKey(subKey);
    DWORD value = def;
    if (key && ReadDword(key.Get(), name, value)) return value;
    return def;
}

void RegistryKey::SetDword(const std::string& name, DWORD value, bool overwrite, const std::string& subKey) {
    RegKey key = OpenWorkingKey(subKey);
    if (!key) return;
    DWORD existing = 0;
    if (!overwrite && ReadDword(key.Get(), name, existing)) return;
    RegSetValueExA(key.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

std::string RegistryKey::GetString(const std::string& name, const std::string& subKey, const std::string& def) const {
    RegKey key = OpenWorkingKey(subKey);
    std::string value;
    if (key && ReadString(key.Get(), name, value)) return value;
    return def;
}

void RegistryKey::SetString(const std::string& name, const std::string& value, bool overwrite,
                            const std::string& subKey) {
    RegKey key = OpenWorkingKey(subKey);
    if (!key) return;
    std::string existing;
    if (!overwrite && ReadString(key.Get(), name, existing)) return;
    // Text plus terminator must fit the read limit, or the value could
    // never be read back.
    std::string stored = value.substr(0, MaxStringBytes - 1);
    RegSetValueExA(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(stored.c_str()),
                   static_cast<DWORD>(stored.size() + 1));
}

void RegistryKey::SetDwordAndString(const std::string& dwordName, DWORD value, const std::string& stringName,
                                    const std::string& text, const std::string& subKey) {
    RegKey key = OpenWorkingKey(subKey);
    if (key) WriteDwordAndString(key.Get(), dwordName, value, stringName, text);
}

void RegistryKey::Delete(const std::string& name, const std::string& subKey) {
    RegKey key = OpenWorkingKey(subKey);
    if (key) DeleteNamed(key.Get(), name);
}

RegistryKey::Held RegistryKey::Hold(const std::string& subKey) const { return Held(OpenWorkingKey(subKey)); }

void RegistryKey::Held::SetDwordAndString(const std::string& dwordName, DWORD value, const std::string& stringName,
                                          const std::string& text) {
    if (m_key) WriteDwordAndString(m_key.Get(), dwordName, value, stringName, text);
}

void RegistryKey::Held::Delete(const std::string& name) {
    if (m_key) DeleteNamed(m_key.Get(), name);
}

} // namespace Utils
