#include "patcher/Sha256.h"

namespace Patch {

std::string HexDigest(const uint8_t* digest, size_t size) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

}  // namespace Patch
