#include "engine/Digest.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "utils/Handles.h"

namespace Digest {

namespace {

// Owners for the two CryptoAPI handles, released in reverse order.
class Provider {
public:
    Provider() {
        if (!CryptAcquireContextA(&m_handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) m_handle = 0;
    }
    ~Provider() {
        if (m_handle) CryptReleaseContext(m_handle, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    HCRYPTPROV Get() const { return m_handle; }

private:
    HCRYPTPROV m_handle = 0;
};

class Hash {
public:
    explicit Hash(HCRYPTPROV provider) {
        if (!provider || !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &m_handle)) m_handle = 0;
    }
    ~Hash() {
        if (m_handle) CryptDestroyHash(m_handle);
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    HCRYPTHASH Get() const { return m_handle; }

private:
    HCRYPTHASH m_handle = 0;
};

} // namespace

std::string Sha256OfFile(const std::string& path) {
    Utils::FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::string();
    Provider provider;
    Hash hash(provider.Get());
    if (!hash.Get()) return std::string();

    std::vector<BYTE> buffer(64 * 1024);
    while (true) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return std::string();
        }
        if (got == 0) break;
        if (!CryptHashData(hash.Get(), buffer.data(), got, 0)) return std::string();
    }

    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &size, 0) || size != sizeof(digest)) {
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

} // namespace Digest
