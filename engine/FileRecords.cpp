// The per-file records of an installation: version and checksum of every
// installed file, below <brand>\Installed of the product key.
#include "engine/Registration.h"

#include <cstring>
#include <vector>

#include "utils/Handles.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"

namespace Registration {

namespace {

std::string InstalledSubKey(const std::string& brand) { return brand + "\\Installed"; }

} // namespace

DWORD InstalledVersion(const Utils::RegistryKey& productKey, const std::string& brand, const std::string& key) {
    return productKey.GetDword(key, InstalledSubKey(brand), 0);
}

std::string InstalledChecksum(const Utils::RegistryKey& productKey, const std::string& brand,
                              const std::string& key) {
    return productKey.GetString(key + "CheckSum", InstalledSubKey(brand), "");
}

namespace {

const char kChecksumSuffix[] = "checksum";  // lower case; value names ignore ASCII case
const size_t kChecksumSuffixLength = sizeof(kChecksumSuffix) - 1;

bool EndsWithChecksum(const char* name, size_t length) {
    if (length < kChecksumSuffixLength) return false;
    const char* tail = name + length - kChecksumSuffixLength;
    for (size_t i = 0; i < kChecksumSuffixLength; ++i) {
        if (Utils::String::LowerAscii(tail[i]) != kChecksumSuffix[i]) return false;
    }
    return true;
}

} // namespace

InstalledRecords::InstalledRecords(const std::string& productId, const std::string& brand) {
    const std::string path = "Software\\" + productId + "\\" + InstalledSubKey(brand);
    Utils::RegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return;
    DWORD values = 0;
    DWORD maxName = 0;
    DWORD maxData = 0;
    if (RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    // A number value and its CheckSum string make one record.
    m_records.reserve(values / 2 + 1);
    std::vector<char> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    std::string base;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG result = RegEnumValueA(key.Get(), index, name.data(), &nameLength, nullptr, &type, data.data(),
                                    &dataLength);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        if (type == REG_DWORD && dataLength == sizeof(DWORD)) {
            base.assign(name.data(), nameLength);
            Record& record = m_records[base];
            record.hasVersion = true;
            memcpy(&record.version, data.data(), sizeof(record.version));
            ++m_nValues;
        } else if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) &&
                   dataLength <= Utils::RegistryKey::MaxStringBytes) {
            ++m_nValues;
            // Only <key>CheckSum strings are ever asked for.
            if (!EndsWithChecksum(name.data(), nameLength)) continue;
            base.assign(name.data(), nameLength - kChecksumSuffixLength);
            const char* text = reinterpret_cast<const char*>(data.data());
            Record& record = m_records[base];
            record.hasChecksum = true;
            record.checksum.assign(text, strnlen(text, dataLength));
        }
    }
}

DWORD InstalledRecords::Version(const std::string& key) const {
    auto found = m_records.find(key);
    return found == m_records.end() || !found->second.hasVersion ? 0 : found->second.version;
}

std::string InstalledRecords::Checksum(const std::string& key) const {
    auto found = m_records.find(key);
    return found == m_records.end() || !found->second.hasChecksum ? std::string() : found->second.checksum;
}

void WriteFileRecord(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key,
                     int version, const std::string& checksum) {
    productKey.SetDwordAndString(key, static_cast<DWORD>(version), key + "CheckSum", checksum, InstalledSubKey(brand));
}

void EraseFileRecord(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key) {
    productKey.Delete(key, InstalledSubKey(brand));
    productKey.Delete(key + "CheckSum", InstalledSubKey(brand));
}

Utils::RegistryKey::Held* FileRecordWriter::For(Utils::RegistryKey& productKey, const std::string& brand) {
    if (m_product != &productKey || m_brand != brand || !m_held) {
        m_held = productKey.Hold(InstalledSubKey(brand));
        m_product = &productKey;
        m_brand = brand;
    }
    return m_held ? &m_held : nullptr;
}

void FileRecordWriter::Write(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key,
                             int version, const std::string& checksum) {
    if (Utils::RegistryKey::Held* held = For(productKey, brand))
        held->SetDwordAndString(key, static_cast<DWORD>(version), key + "CheckSum", checksum);
    else
        WriteFileRecord(productKey, brand, key, version, checksum);
}

void FileRecordWriter::Erase(Utils::RegistryKey& productKey, const std::string& brand, const std::string& key) {
    if (Utils::RegistryKey::Held* held = For(productKey, brand)) {
        held->Delete(key);
        held->Delete(key + "CheckSum");
    } else {
        EraseFileRecord(productKey, brand, key);
    }
}

} // namespace Registration
