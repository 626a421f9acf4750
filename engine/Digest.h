#pragma once
// SHA-256 of a file, computed by the program itself: the crypto providers of
// the oldest supported Windows versions have no SHA-256.
#include <string>

namespace Digest {

// Lower-case hex SHA-256 of the file's bytes; "" when the file cannot be read.
std::string Sha256OfFile(const std::string& path);

} // namespace Digest
