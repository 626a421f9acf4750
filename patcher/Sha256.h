#pragma once
// The patch tools' SHA-256 is the program's own (utils/crypto), portable, so the
// release machine's vpatch builds it too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/crypto/Sha256.h"

namespace Patch {

using Utils::Crypto::Sha256;

// Lower-case hexadecimal text of a digest (as manifests write it).
std::string HexDigest(const uint8_t* digest, size_t size = Sha256::kDigestSize);

}  // namespace Patch
