#pragma once
// SHA-256 of a file, computed by the program itself: the crypto providers of
// the oldest supported Windows versions have no SHA-256.
#include <cstddef>
#include <string>

namespace Digest {

// Lower-case hex SHA-256 of the file's bytes; "" when the file cannot be read.
std::string Sha256OfFile(const std::string& path);
// Lower-case hex SHA-256 of bytes in memory.
std::string Sha256OfBytes(const void* data, size_t size);

} // namespace Digest
