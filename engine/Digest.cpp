#include "engine/Digest.h"

#include <windows.h>

#include <vector>

#include "utils/Handles.h"
#include "utils/crypto/Sha256.h"

namespace Digest {

namespace {

std::string Hex(const uint8_t (&digest)[Utils::Crypto::Sha256::kDigestSize]) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

} // namespace

std::string Sha256OfBytes(const void* data, size_t size) {
    uint8_t digest[Utils::Crypto::Sha256::kDigestSize];
    Utils::Crypto::Sha256::Digest(data, size, digest);
    return Hex(digest);
}

std::string Sha256OfFile(const std::string& path) {
    Utils::FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::string();
    Utils::Crypto::Sha256 hash;
    std::vector<BYTE> buffer(64 * 1024);
    while (true) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return std::string();
        }
        if (got == 0) break;
        hash.Update(buffer.data(), got);
    }
    uint8_t digest[Utils::Crypto::Sha256::kDigestSize];
    hash.Final(digest);
    return Hex(digest);
}

} // namespace Digest
