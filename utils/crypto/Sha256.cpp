#include "utils/crypto/Sha256.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <immintrin.h>
#define ORVANTA_SHA_EXTENSIONS 1
#endif

namespace Utils {
namespace Crypto {

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t Rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBigEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void StoreBigEndian(uint32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

bool g_allowShaExtensions = true;

#ifdef ORVANTA_SHA_EXTENSIONS
// Processors since about 2017 compute SHA-256 rounds in hardware, five times
// faster than the portable code: it matters where whole files are hashed.
bool HasShaExtensions() {
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1)) return false;
        if (__get_cpuid_max(0, nullptr) < 7) return false;
        __cpuid_count(7, 0, a, b, c, d);
        return (b & (1u << 29)) != 0;
    }();
    return has;
}

__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaExtensions(uint32_t state[8], const uint8_t* block,
                                                                         size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    // The instructions keep the state as ABEF and CDGH.
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, block += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];  // the last four groups of four schedule words
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byteSwap);
        for (int group = 0; group < 16; ++group) {
            __m128i& words = w[group & 3];
            if (group >= 4) {
                const __m128i& last = w[(group + 3) & 3];
                words = _mm_sha256msg1_epu32(words, w[(group + 1) & 3]);
                words = _mm_add_epi32(words, _mm_alignr_epi8(last, w[(group + 2) & 3], 4));
                words = _mm_sha256msg2_epu32(words, last);
            }
            __m128i k = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k, 0x0E));
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

} // namespace

void Sha256::Reset() {
    static const uint32_t kInitial[8] = {
        0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
    };
    std::memcpy(m_state, kInitial, sizeof(m_state));
    m_length = 0;
    m_buffered = 0;
}

void Sha256::Compress(const uint8_t* block, size_t count) {
#ifdef ORVANTA_SHA_EXTENSIONS
    if (g_allowShaExtensions && HasShaExtensions()) {
        CompressWithShaExtensions(m_state, block, count);
        return;
    }
#endif
    uint32_t w[64];
    for (; count > 0; --count, block += kBlockSize) {
        for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
        uint32_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + kRound[i] + w[i];
            uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) | (c & (a | b)));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        m_state[0] += a; m_state[1] += b; m_state[2] += c; m_state[3] += d;
        m_state[4] += e; m_state[5] += f; m_state[6] += g; m_state[7] += h;
    }
}

void Sha256::Update(const void* data, size_t size) {
    if (size == 0) return;  // data may then be null
    const uint8_t* in = static_cast<const uint8_t*>(data);
    m_length += size;
    if (m_buffered > 0) {
        size_t take = kBlockSize - m_buffered;
        if (take > size) take = size;
        std::memcpy(m_buffer + m_buffered, in, take);
        m_buffered += take;
        in += take;
        size -= take;
        if (m_buffered < kBlockSize) return;
        Compress(m_buffer, 1);
        m_buffered = 0;
    }
    size_t whole = size / kBlockSize;
    if (whole > 0) {
        Compress(in, whole);
        in += whole * kBlockSize;
        size -= whole * kBlockSize;
    }
    if (size > 0) {
        std::memcpy(m_buffer, in, size);
        m_buffered = size;
    }
}

void Sha256::Final(uint8_t digest[kDigestSize]) {
    // Padding: 0x80, zeros, then the length in bits as a 64-bit big-endian number.
    uint64_t bits = m_length << 3;
    m_buffer[m_buffered++] = 0x80;
    if (m_buffered > kBlockSize - 8) {
        std::memset(m_buffer + m_buffered, 0, kBlockSize - m_buffered);
        Compress(m_buffer, 1);
        m_buffered = 0;
    }
    std::memset(m_buffer + m_buffered, 0, kBlockSize - 8 - m_buffered);
    StoreBigEndian(static_cast<uint32_t>(bits >> 32), m_buffer + kBlockSize - 8);
    StoreBigEndian(static_cast<uint32_t>(bits), m_buffer + kBlockSize - 4);
    Compress(m_buffer, 1);
    for (int i = 0; i < 8; ++i) StoreBigEndian(m_state[i], digest + 4 * i);
    Reset();
}

void Sha256::AllowShaExtensions(bool allowed) { g_allowShaExtensions = allowed; }

void Sha256::Digest(const void* data, size_t size, uint8_t digest[kDigestSize]) {
    Sha256 hash;
    hash.Update(data, size);
    hash.Final(digest);
}

} // namespace Crypto
} // namespace Utils
