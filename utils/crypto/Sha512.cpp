#include "utils/crypto/Sha512.h"

#include <cstring>

namespace Utils {
namespace Crypto {

namespace {

const uint64_t kRound[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

inline uint64_t Rotr(uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

inline uint64_t LoadBigEndian(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

// The schedule's two small sigma functions.
inline uint64_t Sigma0(uint64_t x) { return Rotr(x, 1) ^ Rotr(x, 8) ^ (x >> 7); }
inline uint64_t Sigma1(uint64_t x) { return Rotr(x, 19) ^ Rotr(x, 61) ^ (x >> 6); }

inline void StoreBigEndian(uint64_t v, uint8_t* p) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

} // namespace

void Sha512::Reset() {
    static const uint64_t kInitial[8] = {
        0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
        0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
    };
    std::memcpy(m_state, kInitial, sizeof(m_state));
    m_length = 0;
    m_buffered = 0;
}

// The 80 rounds are unrolled by eight with the roles of a..h rotated in the
// macro's arguments instead of shuffling eight variables every round: this is
// where a verification spends most of its time on a large manifest. W holds the
// last sixteen words of the message schedule.
#define ORV_SHA512_ROUND(a, b, c, d, e, f, g, h, k, w)                                          \
    do {                                                                                        \
        uint64_t t1 = h + (Rotr(e, 14) ^ Rotr(e, 18) ^ Rotr(e, 41)) + (g ^ (e & (f ^ g))) + (k) + (w); \
        uint64_t t2 = (Rotr(a, 28) ^ Rotr(a, 34) ^ Rotr(a, 39)) + ((a & b) | (c & (a | b)));     \
        d += t1;                                                                                \
        h = t1 + t2;                                                                            \
    } while (0)

#define ORV_SHA512_EIGHT(i, W_AT)                                  \
    do {                                                           \
        ORV_SHA512_ROUND(a, b, c, d, e, f, g, h, kRound[(i) + 0], W_AT(0)); \
        ORV_SHA512_ROUND(h, a, b, c, d, e, f, g, kRound[(i) + 1], W_AT(1)); \
        ORV_SHA512_ROUND(g, h, a, b, c, d, e, f, kRound[(i) + 2], W_AT(2)); \
        ORV_SHA512_ROUND(f, g, h, a, b, c, d, e, kRound[(i) + 3], W_AT(3)); \
        ORV_SHA512_ROUND(e, f, g, h, a, b, c, d, kRound[(i) + 4], W_AT(4)); \
        ORV_SHA512_ROUND(d, e, f, g, h, a, b, c, kRound[(i) + 5], W_AT(5)); \
        ORV_SHA512_ROUND(c, d, e, f, g, h, a, b, kRound[(i) + 6], W_AT(6)); \
        ORV_SHA512_ROUND(b, c, d, e, f, g, h, a, kRound[(i) + 7], W_AT(7)); \
    } while (0)

void Sha512::Compress(const uint8_t* block, size_t count) {
    uint64_t W[16];
    for (; count > 0; --count, block += kBlockSize) {
        uint64_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
        uint64_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
        // Rounds 0..15 take the message words themselves.
#define ORV_SHA512_LOAD(j) (W[base + (j)] = LoadBigEndian(block + 8 * (base + (j))))
        for (int base = 0; base < 16; base += 8) ORV_SHA512_EIGHT(base, ORV_SHA512_LOAD);
#undef ORV_SHA512_LOAD
        // Rounds 16..79 extend the schedule in place.
#define ORV_SHA512_NEXT(j) (W[(j)] += Sigma0(W[((j) + 1) & 15]) + W[((j) + 9) & 15] + Sigma1(W[((j) + 14) & 15]))
#define ORV_SHA512_NEXT_LOW(j) ORV_SHA512_NEXT(j)
#define ORV_SHA512_NEXT_HIGH(j) ORV_SHA512_NEXT((j) + 8)
        for (int i = 16; i < 80; i += 16) {
            ORV_SHA512_EIGHT(i, ORV_SHA512_NEXT_LOW);
            ORV_SHA512_EIGHT(i + 8, ORV_SHA512_NEXT_HIGH);
        }
#undef ORV_SHA512_NEXT_HIGH
#undef ORV_SHA512_NEXT_LOW
#undef ORV_SHA512_NEXT
        m_state[0] += a; m_state[1] += b; m_state[2] += c; m_state[3] += d;
        m_state[4] += e; m_state[5] += f; m_state[6] += g; m_state[7] += h;
    }
}

#undef ORV_SHA512_EIGHT
#undef ORV_SHA512_ROUND

void Sha512::Update(const void* data, size_t size) {
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

void Sha512::Final(uint8_t digest[kDigestSize]) {
    // Padding: 0x80, zeros, then the length in bits as a 128-bit big-endian number.
    uint64_t bits = m_length << 3;
    uint64_t bitsHigh = m_length >> 61;
    m_buffer[m_buffered++] = 0x80;
    if (m_buffered > kBlockSize - 16) {
        std::memset(m_buffer + m_buffered, 0, kBlockSize - m_buffered);
        Compress(m_buffer, 1);
        m_buffered = 0;
    }
    std::memset(m_buffer + m_buffered, 0, kBlockSize - 16 - m_buffered);
    StoreBigEndian(bitsHigh, m_buffer + kBlockSize - 16);
    StoreBigEndian(bits, m_buffer + kBlockSize - 8);
    Compress(m_buffer, 1);
    for (int i = 0; i < 8; ++i) StoreBigEndian(m_state[i], digest + 8 * i);
    Reset();
}

void Sha512::Digest(const void* data, size_t size, uint8_t digest[kDigestSize]) {
    Sha512 hash;
    hash.Update(data, size);
    hash.Final(digest);
}

} // namespace Crypto
} // namespace Utils
