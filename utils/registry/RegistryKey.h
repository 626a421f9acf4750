#pragma once
// A key below "Software" of HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER. No
// handle is held between operations: every call opens and closes what it
// needs (Hold is the one exception, made for writes in bulk). Failures are
// never reported; reads yield the caller's default and writes/deletes do
// nothing.
#include <windows.h>
#include <string>
#include <utility>
#include "utils/Handles.h"

namespace Utils {

// The hive numbers a RegistryKey is opened on (any number but 0 means the
// current user).
const unsigned char kMachineHive = 0;  // HKEY_LOCAL_MACHINE\Software
const unsigned char kUserHive = 1;     // HKEY_CURRENT_USER\Software

class RegistryKey {
public:
    // Creates the key path when it is missing (the only place that does).
    RegistryKey(unsigned char hive, const std::string& path);
    virtual ~RegistryKey();

    // Whether path\subKey can be opened; creates nothing.
    bool KeyExists(const std::string& subKey) const;

    // Operations below take a sub-key (empty: the key path itself). A missing
    // sub-key is created on the way, even by reads.
    DWORD GetDword(const std::string& name, const std::string& subKey, DWORD def) const;
    // With overwrite false an existing REG_DWORD value is kept.
    void SetDword(const std::string& name, DWORD value, bool overwrite, const std::string& subKey);

    // REG_SZ / REG_EXPAND_SZ (unexpanded) / REG_MULTI_SZ (first string) of at
    // most MaxStringBytes bytes including the terminator; `def` otherwise.
    std::string GetString(const std::string& name, const std::string& subKey, const std::string& def) const;
    // Stores at most MaxStringBytes - 1 characters plus the terminator, so
    // whatever is written can be read back. With overwrite false a readable
    // string value is kept.
    void SetString(const std::string& name, const std::string& value, bool overwrite, const std::string& subKey);

    // SetDword(dwordName, ...) then SetString(stringName, ...), both
    // overwriting, through a single opening of the working key: for records
    // written in bulk, where opening the key path dominates.
    void SetDwordAndString(const std::string& dwordName, DWORD value, const std::string& stringName,
                           const std::string& text, const std::string& subKey);

    // Deletes the sub-key tree called `name` and the value called `name`
    // below the working key. An empty name deletes only the unnamed value.
    void Delete(const std::string& name, const std::string& subKey);

    static const DWORD MaxStringBytes = 1024;

    // A working key held open for many writes in a row (the file records of a
    // pass): each write is then one call to the system, where the calls above
    // open and close the key path around it, three keys deep. Its writes are
    // those of SetDwordAndString and Delete; without a key (it could not be
    // opened) they do nothing.
    class Held {
    public:
        Held() = default;
        explicit operator bool() const { return static_cast<bool>(m_key); }
        void SetDwordAndString(const std::string& dwordName, DWORD value, const std::string& stringName,
                               const std::string& text);
        void Delete(const std::string& name);

    private:
        friend class RegistryKey;
        explicit Held(RegKey key) : m_key(std::move(key)) {}
        RegKey m_key;
    };
    // The working key of subKey (created when missing), held.
    Held Hold(const std::string& subKey) const;

private:
    HKEY Root() const;
    // Opens the working key with KEY_READ | KEY_WRITE; invalid on failure.
    RegKey OpenWorkingKey(const std::string& subKey) const;

    unsigned char m_hive;
    std::string m_szPath;
};

} // namespace Utils
