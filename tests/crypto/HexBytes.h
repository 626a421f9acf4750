#pragma once
// Hex text to bytes and back, for the crypto tests' tables and data files.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace CryptoTest {

using Bytes = std::vector<uint8_t>;

// "-" is the empty message of the data files.
inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    if (hex == "-") return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

// The lines of a data file written by make_signatures.py, split at blanks.
inline std::vector<std::vector<std::string>> ReadRecords(const std::string& path) {
    std::vector<std::vector<std::string>> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> record;
        for (std::string field; fields >> field;) record.push_back(field);
        if (!record.empty()) records.push_back(record);
    }
    return records;
}

} // namespace CryptoTest
