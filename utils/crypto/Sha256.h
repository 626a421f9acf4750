#pragma once
// SHA-256 (FIPS 180-4), written out here for the same reason as SHA-512: the
// oldest Windows versions the installer supports have no provider for it, and
// a release signed by the publisher names every file by its SHA-256.
#include <cstddef>
#include <cstdint>

namespace Utils {
namespace Crypto {

class Sha256 {
public:
    static constexpr size_t kDigestSize = 32;
    static constexpr size_t kBlockSize = 64;

    Sha256() { Reset(); }
    void Reset();
    // Appends bytes to the message; any split of a message gives the same digest.
    void Update(const void* data, size_t size);
    // Writes the digest of everything appended since the last Reset, then resets.
    void Final(uint8_t digest[kDigestSize]);

    // The digest of one message in one call.
    static void Digest(const void* data, size_t size, uint8_t digest[kDigestSize]);

    // Whether the processor's SHA instructions may be used where it has them
    // (the default); tests turn them off to check the portable code too.
    static void AllowShaExtensions(bool allowed);

private:
    void Compress(const uint8_t* blocks, size_t count);

    uint32_t m_state[8];
    uint64_t m_length;  // bytes appended
    uint8_t m_buffer[kBlockSize];
    size_t m_buffered;
};

} // namespace Crypto
} // namespace Utils
