#pragma once
// Whole files, byte for byte, for tests and their helper programs (header
// only: helpers link nothing of the test support).
#include <fstream>
#include <iterator>
#include <string>

namespace TestSupport {

// False when the file cannot be opened.
inline bool TryReadText(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The file's bytes; "" when it cannot be opened.
inline std::string ReadText(const std::string& path) {
    std::string text;
    TryReadText(path, text);
    return text;
}

// Creates or truncates the file with exactly these bytes.
inline bool WriteText(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

} // namespace TestSupport
