#pragma once
// SHA-512 (FIPS 180-4), written out here because the oldest Windows versions the
// installer supports have no provider for it. Used by the Ed25519 verifier.
#include <cstddef>
#include <cstdint>

namespace Utils {
namespace Crypto {

class Sha512 {
public:
    static constexpr size_t kDigestSize = 64;
    static constexpr size_t kBlockSize = 128;

    Sha512() { Reset(); }
    void Reset();
    // Appends bytes to the message; any split of a message gives the same digest.
    void Update(const void* data, size_t size);
    // Writes the digest of everything appended since the last Reset, then resets.
    void Final(uint8_t digest[kDigestSize]);

    // The digest of one message in one call.
    static void Digest(const void* data, size_t size, uint8_t digest[kDigestSize]);

private:
    void Compress(const uint8_t* blocks, size_t count);

    uint64_t m_state[8];
    uint64_t m_length;  // bytes appended; messages beyond 2^64 bytes are not a concern here
    uint8_t m_buffer[kBlockSize];
    size_t m_buffered;
};

} // namespace Crypto
} // namespace Utils
