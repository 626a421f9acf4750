#pragma once
// Ed25519 signature verification (RFC 8032, pure Ed25519: the message itself is
// signed, not a digest of it). Verification only: signing happens offline with
// the publisher's key, never in the installer. No system crypto provider is
// needed, so it works on every Windows version the installer supports.
#include <cstddef>
#include <cstdint>

namespace Utils {
namespace Crypto {

constexpr size_t kEd25519PublicKeySize = 32;
constexpr size_t kEd25519SignatureSize = 64;

// True when signature (R || S) is a valid signature of the message under
// publicKey. Stricter than the RFC's minimum, so that one message has exactly
// one accepted signature per key and no key is weak:
//  - S must be below the group order L (no S + L alias);
//  - R and the key must be canonical encodings of curve points (y below p,
//    no x = 0 with the sign bit set);
//  - a key of small order (any of the 8 points of order 1, 2, 4 or 8, which
//    would accept forged signatures for many messages) is refused.
// The check is the cofactorless equation [S]B = R + [k]A, k = SHA-512(R || A || M)
// mod L. All inputs are public: the code is not constant-time and need not be.
// Blocks for about the time of hashing the message; allocates nothing.
bool Ed25519Verify(const uint8_t signature[kEd25519SignatureSize], const void* message, size_t size,
                   const uint8_t publicKey[kEd25519PublicKeySize]);

// True when the key could verify a signature: a canonical encoding of a curve
// point that is not of small order. Ed25519Verify refuses every other key.
bool Ed25519PublicKeyIsUsable(const uint8_t publicKey[kEd25519PublicKeySize]);

// True when the signature could be valid under some key: S below L and R a
// canonical encoding of a curve point. Lets a caller holding several keys tell
// a damaged signature from one that none of its keys made.
bool Ed25519SignatureIsWellFormed(const uint8_t signature[kEd25519SignatureSize]);

} // namespace Crypto
} // namespace Utils
