#include "utils/crypto/Ed25519.h"

#include <cstring>

#include "utils/crypto/Sha512.h"

namespace Utils {
namespace Crypto {

namespace {

// ---------------------------------------------------------------------------
// The field GF(p), p = 2^255 - 19.
//
// An element is ten unsigned limbs of alternately 26 and 25 bits: limb i starts
// at bit 0, 26, 51, 77, 102, 128, 153, 179, 204, 230. Products of two limbs fit
// in 64 bits on every target (no 128-bit integers, which i686 lacks). Every
// operation ends with a carry pass, after which each limb is below 2^26 (even
// limbs) or 2^25 + 2^17 (odd limbs); the value itself may still exceed p until
// ToBytes reduces it. With that bound a product's column sums stay below 2^60.

struct Fe {
    uint32_t v[10];
};

constexpr unsigned kWidth[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr unsigned kOffset[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

// 2p in limb form: added before a subtraction so that no limb goes negative.
constexpr uint32_t kTwoP[10] = {
    2 * ((1u << 26) - 19), 2 * ((1u << 25) - 1), 2 * ((1u << 26) - 1), 2 * ((1u << 25) - 1),
    2 * ((1u << 26) - 1),  2 * ((1u << 25) - 1), 2 * ((1u << 26) - 1), 2 * ((1u << 25) - 1),
    2 * ((1u << 26) - 1),  2 * ((1u << 25) - 1),
};

// Carries each column into the next; what leaves the top limb (units of 2^255)
// comes back into limb 0 times 19, since 2^255 = 19 (mod p).
Fe Carry(uint64_t h[10]) {
    for (int i = 0; i < 10; ++i) {
        uint64_t carry = h[i] >> kWidth[i];
        h[i] &= (uint64_t(1) << kWidth[i]) - 1;
        if (i < 9) {
            h[i + 1] += carry;
        } else {
            h[0] += 19 * carry;
        }
    }
    uint64_t carry = h[0] >> 26;
    h[0] &= (uint64_t(1) << 26) - 1;
    h[1] += carry;
    Fe out;
    for (int i = 0; i < 10; ++i) out.v[i] = static_cast<uint32_t>(h[i]);
    return out;
}

constexpr Fe FeFromInt(uint32_t small) {
    Fe out = {};
    out.v[0] = small;
    return out;
}

// The low 255 bits of a 32-byte little-endian number; bit 255 is the caller's.
constexpr Fe FeFromBytes(const uint8_t s[32]) {
    Fe out = {};
    for (int i = 0; i < 10; ++i) {
        unsigned first = kOffset[i] / 8;
        uint64_t window = 0;
        for (unsigned b = first; b < first + 5 && b < 32; ++b) window |= uint64_t(s[b]) << (8 * (b - first));
        out.v[i] = static_cast<uint32_t>((window >> (kOffset[i] % 8)) & ((uint64_t(1) << kWidth[i]) - 1));
    }
    return out;
}

Fe Add(const Fe& a, const Fe& b) {
    uint64_t h[10];
    for (int i = 0; i < 10; ++i) h[i] = uint64_t(a.v[i]) + b.v[i];
    return Carry(h);
}

Fe Sub(const Fe& a, const Fe& b) {
    uint64_t h[10];
    for (int i = 0; i < 10; ++i) h[i] = uint64_t(a.v[i]) + kTwoP[i] - b.v[i];
    return Carry(h);
}

Fe Neg(const Fe& a) { return Sub(FeFromInt(0), a); }

// Schoolbook product. Limb i times limb j lands at bit offset(i) + offset(j),
// which is offset(i + j) plus one when both are odd (two 25-bit limbs): those
// products count twice. Columns at and above 2^255 fold back times 19. The
// loops unroll completely, so every choice below is made at compile time.
Fe Mul(const Fe& a, const Fe& b) {
    // Both fit 32 bits (below 2^27 and 2^31), so that i686 multiplies 32 x 32 -> 64.
    uint32_t aTwice[10], b19[10];
    for (int i = 0; i < 10; ++i) {
        aTwice[i] = a.v[i] << (i & 1);
        b19[i] = b.v[i] * 19;
    }
    uint64_t h[10] = {};
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
#pragma GCC unroll 10
        for (int j = 0; j < 10; ++j) {
            uint32_t left = (j & 1) ? aTwice[i] : a.v[i];
            uint32_t right = (i + j < 10) ? b.v[j] : b19[j];
            h[(i + j) % 10] += uint64_t(left) * right;
        }
    }
    return Carry(h);
}

Fe Sq(const Fe& a) { return Mul(a, a); }

// a^(2^n)
Fe SqTimes(Fe a, int n) {
    for (int i = 0; i < n; ++i) a = Sq(a);
    return a;
}

// The addition chain shared by inversion and square roots: returns z^(2^250 - 1)
// and z^11 (in *z11).
Fe Pow2_250_1(const Fe& z, Fe* z11) {
    Fe z2 = Sq(z);
    Fe z9 = Mul(SqTimes(z2, 2), z);           // z^9
    *z11 = Mul(z9, z2);                        // z^11
    Fe z5_0 = Mul(Sq(*z11), z9);               // z^(2^5 - 1)
    Fe z10_0 = Mul(SqTimes(z5_0, 5), z5_0);    // z^(2^10 - 1)
    Fe z20_0 = Mul(SqTimes(z10_0, 10), z10_0);
    Fe z40_0 = Mul(SqTimes(z20_0, 20), z20_0);
    Fe z50_0 = Mul(SqTimes(z40_0, 10), z10_0);
    Fe z100_0 = Mul(SqTimes(z50_0, 50), z50_0);
    Fe z200_0 = Mul(SqTimes(z100_0, 100), z100_0);
    return Mul(SqTimes(z200_0, 50), z50_0);    // z^(2^250 - 1)
}

// z^(p - 2) = 1/z (0 for 0).
Fe Invert(const Fe& z) {
    Fe z11;
    Fe t = Pow2_250_1(z, &z11);
    return Mul(SqTimes(t, 5), z11);            // z^(2^255 - 32 + 11)
}

// z^((p - 5) / 8) = z^(2^252 - 3), the core of the square root.
Fe Pow2_252_3(const Fe& z) {
    Fe z11;
    Fe t = Pow2_250_1(z, &z11);
    return Mul(SqTimes(t, 2), z);
}

// The canonical encoding: the value reduced below p, 32 bytes little-endian.
void FeToBytes(const Fe& a, uint8_t out[32]) {
    uint64_t h[10];
    for (int i = 0; i < 10; ++i) h[i] = a.v[i];
    // Carry until every limb is within its width: the value is then below 2^255.
    for (;;) {
        bool carried = false;
        for (int i = 0; i < 10; ++i) {
            uint64_t carry = h[i] >> kWidth[i];
            if (!carry) continue;
            carried = true;
            h[i] &= (uint64_t(1) << kWidth[i]) - 1;
            if (i < 9) {
                h[i + 1] += carry;
            } else {
                h[0] += 19 * carry;
            }
        }
        if (!carried) break;
    }
    // Below 2^255, the value is at least p only when it reads 2^255 - 19 .. 2^255 - 1:
    // every limb full and limb 0 at least 2^26 - 19. Subtracting p then leaves limb 0 alone.
    bool atLeastP = h[0] >= (1u << 26) - 19;
    for (int i = 1; i < 10 && atLeastP; ++i) atLeastP = h[i] == (uint64_t(1) << kWidth[i]) - 1;
    if (atLeastP) {
        h[0] -= (1u << 26) - 19;
        for (int i = 1; i < 10; ++i) h[i] = 0;
    }
    std::memset(out, 0, 32);
    for (int i = 0; i < 10; ++i) {
        for (unsigned bit = 0; bit < kWidth[i]; ++bit) {
            if ((h[i] >> bit) & 1) {
                unsigned at = kOffset[i] + bit;
                out[at / 8] |= static_cast<uint8_t>(1u << (at % 8));
            }
        }
    }
}

bool FeEqual(const Fe& a, const Fe& b) {
    uint8_t x[32], y[32];
    FeToBytes(a, x);
    FeToBytes(b, y);
    return std::memcmp(x, y, 32) == 0;
}

bool FeIsZero(const Fe& a) { return FeEqual(a, FeFromInt(0)); }

// "Negative" in RFC 8032's sense: the canonical value is odd.
bool FeIsOdd(const Fe& a) {
    uint8_t s[32];
    FeToBytes(a, s);
    return s[0] & 1;
}

// Canonical constants, little-endian.
constexpr uint8_t kD[32] = {0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75, 0xab, 0xd8, 0x41, 0x41, 0x4d, 0x0a, 0x70, 0x00,
                        0x98, 0xe8, 0x79, 0x77, 0x79, 0x40, 0xc7, 0x8c, 0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52};
constexpr uint8_t kTwoD[32] = {0x59, 0xf1, 0xb2, 0x26, 0x94, 0x9b, 0xd6, 0xeb, 0x56, 0xb1, 0x83, 0x82, 0x9a, 0x14, 0xe0, 0x00,
                           0x30, 0xd1, 0xf3, 0xee, 0xf2, 0x80, 0x8e, 0x19, 0xe7, 0xfc, 0xdf, 0x56, 0xdc, 0xd9, 0x06, 0x24};
constexpr uint8_t kSqrtMinus1[32] = {0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4, 0x78, 0xe4, 0x2f, 0xad, 0x06, 0x18, 0x43, 0x2f,
                                 0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00, 0x4d, 0x2b, 0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b};
// The base point B, encoded: y = 4/5, x even.
constexpr uint8_t kBase[32] = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                           0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
// The group order L = 2^252 + 27742317777372353535851937790883648493.
constexpr uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// ---------------------------------------------------------------------------
// Points of the curve -x^2 + y^2 = 1 + d x^2 y^2 in extended coordinates
// (X : Y : Z : T) with x = X/Z, y = Y/Z, x y = T/Z (Hisil, Wong, Carter, Dawson 2008).

struct Point {
    Fe X, Y, Z, T;
};

Point Identity() { return Point{FeFromInt(0), FeFromInt(1), FeFromInt(1), FeFromInt(0)}; }

// Complete addition: valid for every pair of points, doubling and identity included.
Point AddPoints(const Point& p, const Point& q) {
    constexpr Fe twoD = FeFromBytes(kTwoD);
    Fe a = Mul(Sub(p.Y, p.X), Sub(q.Y, q.X));
    Fe b = Mul(Add(p.Y, p.X), Add(q.Y, q.X));
    Fe c = Mul(Mul(p.T, twoD), q.T);
    Fe d = Mul(Add(p.Z, p.Z), q.Z);
    Fe e = Sub(b, a), f = Sub(d, c), g = Add(d, c), h = Add(b, a);
    return Point{Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Point DoublePoint(const Point& p) {
    Fe a = Sq(p.X);
    Fe b = Sq(p.Y);
    Fe z2 = Sq(p.Z);
    Fe c = Add(z2, z2);
    Fe e = Sub(Sub(Sq(Add(p.X, p.Y)), a), b);  // 2 x y
    Fe g = Sub(b, a);                          // y^2 - x^2 (a = -1)
    Fe f = Sub(g, c);
    Fe h = Neg(Add(a, b));
    return Point{Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Point NegatePoint(const Point& p) { return Point{Neg(p.X), p.Y, p.Z, Neg(p.T)}; }

// RFC 8032 section 5.1.3, strict: false for y >= p, for a y with no x on the
// curve, and for x = 0 with the sign bit set.
bool DecodePoint(const uint8_t s[32], Point* out) {
    // y >= p: the low 255 bits read 2^255 - 19 .. 2^255 - 1.
    bool yAtLeastP = (s[31] & 0x7f) == 0x7f && s[0] >= 0xed;
    for (int i = 1; i < 31 && yAtLeastP; ++i) yAtLeastP = s[i] == 0xff;
    if (yAtLeastP) return false;
    bool sign = (s[31] >> 7) != 0;

    constexpr Fe d = FeFromBytes(kD);
    constexpr Fe sqrtMinus1 = FeFromBytes(kSqrtMinus1);
    Fe y = FeFromBytes(s);
    Fe one = FeFromInt(1);
    Fe y2 = Sq(y);
    Fe u = Sub(y2, one);               // x^2 = u / v
    Fe v = Add(Mul(d, y2), one);
    Fe v3 = Mul(Sq(v), v);
    Fe v7 = Mul(Sq(v3), v);
    Fe x = Mul(Mul(u, v3), Pow2_252_3(Mul(u, v7)));  // candidate root (u/v)^((p+3)/8)
    Fe vx2 = Mul(v, Sq(x));
    if (!FeEqual(vx2, u)) {
        if (!FeEqual(vx2, Neg(u))) return false;  // u / v is not a square: not on the curve
        x = Mul(x, sqrtMinus1);
    }
    if (FeIsZero(x) && sign) return false;
    if (FeIsOdd(x) != sign) x = Neg(x);
    *out = Point{x, y, one, Mul(x, y)};
    return true;
}

void EncodePoint(const Point& p, uint8_t out[32]) {
    Fe zInverse = Invert(p.Z);
    Fe x = Mul(p.X, zInverse);
    Fe y = Mul(p.Y, zInverse);
    FeToBytes(y, out);
    if (FeIsOdd(x)) out[31] |= 0x80;
}

const Point& BasePoint() {
    static const Point base = [] {
        Point p = Identity();
        DecodePoint(kBase, &p);  // a valid encoding: cannot fail
        return p;
    }();
    return base;
}

bool IsIdentity(const Point& p) { return FeIsZero(p.X) && FeEqual(p.Y, p.Z); }

// Points of order 1, 2, 4 or 8: eight times the point is the identity.
bool HasSmallOrder(const Point& p) { return IsIdentity(DoublePoint(DoublePoint(DoublePoint(p)))); }

// ---------------------------------------------------------------------------
// Scalars: 32-byte little-endian numbers.

bool ScalarBelowOrder(const uint8_t s[32]) {
    for (int i = 31; i >= 0; --i) {
        if (s[i] != kOrder[i]) return s[i] < kOrder[i];
    }
    return false;  // equal to L
}

// A 64-byte little-endian number modulo L, by binary long division: the
// remainder takes one bit at a time from the top and drops L when it reaches it.
// Remainders stay below 2L < 2^254, so eight 32-bit words hold them.
void ReduceWide(const uint8_t wide[64], uint8_t out[32]) {
    uint32_t order[8], r[8] = {};
    for (int w = 0; w < 8; ++w) {
        order[w] = uint32_t(kOrder[4 * w]) | uint32_t(kOrder[4 * w + 1]) << 8 |
                   uint32_t(kOrder[4 * w + 2]) << 16 | uint32_t(kOrder[4 * w + 3]) << 24;
    }
    for (int bit = 511; bit >= 0; --bit) {
        for (int w = 7; w > 0; --w) r[w] = (r[w] << 1) | (r[w - 1] >> 31);
        r[0] = (r[0] << 1) | ((wide[bit / 8] >> (bit % 8)) & 1);
        bool atLeast = true;
        for (int w = 7; w >= 0; --w) {
            if (r[w] != order[w]) {
                atLeast = r[w] > order[w];
                break;
            }
        }
        if (atLeast) {
            uint64_t borrow = 0;
            for (int w = 0; w < 8; ++w) {
                uint64_t diff = uint64_t(r[w]) - order[w] - borrow;
                r[w] = static_cast<uint32_t>(diff);
                borrow = (diff >> 63) & 1;
            }
        }
    }
    for (int w = 0; w < 8; ++w) {
        for (int b = 0; b < 4; ++b) out[4 * w + b] = static_cast<uint8_t>(r[w] >> (8 * b));
    }
}

bool ScalarBit(const uint8_t s[32], int bit) { return (s[bit / 8] >> (bit % 8)) & 1; }

// [a]P + [b]Q by one shared run of doublings (Straus); both scalars are below 2^253.
Point DoubleScalarMultiply(const uint8_t a[32], const Point& p, const uint8_t b[32], const Point& q) {
    Point pq = AddPoints(p, q);
    Point r = Identity();
    for (int bit = 252; bit >= 0; --bit) {
        r = DoublePoint(r);
        bool inA = ScalarBit(a, bit), inB = ScalarBit(b, bit);
        if (inA && inB) {
            r = AddPoints(r, pq);
        } else if (inA) {
            r = AddPoints(r, p);
        } else if (inB) {
            r = AddPoints(r, q);
        }
    }
    return r;
}

} // namespace

bool Ed25519Verify(const uint8_t signature[kEd25519SignatureSize], const void* message, size_t size,
                   const uint8_t publicKey[kEd25519PublicKeySize]) {
    const uint8_t* encodedR = signature;
    const uint8_t* s = signature + 32;
    if (!ScalarBelowOrder(s)) return false;

    Point a, r;
    if (!DecodePoint(publicKey, &a) || HasSmallOrder(a)) return false;
    if (!DecodePoint(encodedR, &r)) return false;

    uint8_t digest[Sha512::kDigestSize], k[32];
    Sha512 hash;
    hash.Update(encodedR, 32);
    hash.Update(publicKey, kEd25519PublicKeySize);
    hash.Update(message, size);
    hash.Final(digest);
    ReduceWide(digest, k);

    // R' = [S]B - [k]A; the signature holds when R' is R. R was decoded
    // strictly, so comparing canonical encodings compares the points.
    Point check = DoubleScalarMultiply(s, BasePoint(), k, NegatePoint(a));
    uint8_t encodedCheck[32];
    EncodePoint(check, encodedCheck);
    return std::memcmp(encodedCheck, encodedR, 32) == 0;
}

bool Ed25519PublicKeyIsUsable(const uint8_t publicKey[kEd25519PublicKeySize]) {
    Point a;
    return DecodePoint(publicKey, &a) && !HasSmallOrder(a);
}

bool Ed25519SignatureIsWellFormed(const uint8_t signature[kEd25519SignatureSize]) {
    Point r;
    return ScalarBelowOrder(signature + 32) && DecodePoint(signature, &r);
}

} // namespace Crypto
} // namespace Utils
