#pragma once
// SHA-256 (FIPS 180-4), portable: the patch tools use it on Windows and on the
// release machine alike, so it depends on nothing but the language.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Patch {

class Sha256 {
public:
    static constexpr size_t kDigestSize = 32;

    Sha256() { Reset(); }
    void Reset();
    void Update(const void* data, size_t size);
    // Writes the digest and leaves the object to be Reset before further use.
    void Final(uint8_t digest[kDigestSize]);

private:
    void Block(const uint8_t* block);

    uint32_t m_state[8];
    uint64_t m_length;  // bytes hashed so far
    uint8_t m_buffer[64];
    size_t m_used;
};

// Lower-case hexadecimal text of a digest (as manifests write it).
std::string HexDigest(const uint8_t* digest, size_t size = Sha256::kDigestSize);

}  // namespace Patch
