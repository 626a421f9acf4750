#pragma once
// SHA-256 of a file through the platform's crypto provider.
#include <string>

namespace Digest {

// Lower-case hex SHA-256 of the file's bytes; "" when the file cannot be read
// or the provider is missing.
std::string Sha256OfFile(const std::string& path);

} // namespace Digest
