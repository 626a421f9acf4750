#include "patcher/PatchFormat.h"

#include <cstring>

namespace Patch {

namespace {

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}
uint64_t Get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

}  // namespace

// Layout: magic 8, version 4, flags 4 (0), old size 8, new size 8, old SHA-256 32,
// new SHA-256 32, CRC-32 of the 96 bytes before it 4.
void WriteHeader(const Header& header, uint8_t bytes[kHeaderSize]) {
    std::memcpy(bytes, kMagic, 8);
    Put32(bytes + 8, kFormatVersion);
    Put32(bytes + 12, 0);
    Put64(bytes + 16, header.oldSize);
    Put64(bytes + 24, header.newSize);
    std::memcpy(bytes + 32, header.oldDigest, 32);
    std::memcpy(bytes + 64, header.newDigest, 32);
    Put32(bytes + 96, Crc32(bytes, 96));
}

HeaderResult ReadHeader(const uint8_t bytes[kHeaderSize], Header& header) {
    if (std::memcmp(bytes, kMagic, 8) != 0) return HeaderResult::NotAPatch;
    if (Crc32(bytes, 96) != Get32(bytes + 96)) return HeaderResult::Damaged;
    if (Get32(bytes + 8) != kFormatVersion || Get32(bytes + 12) != 0) return HeaderResult::UnknownVersion;
    header.oldSize = Get64(bytes + 16);
    header.newSize = Get64(bytes + 24);
    std::memcpy(header.oldDigest, bytes + 32, 32);
    std::memcpy(header.newDigest, bytes + 64, 32);
    return HeaderResult::Ok;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
    struct Table {
        uint32_t entry[256];
        Table() {
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                entry[i] = c;
            }
        }
    };
    static const Table table;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

size_t PutVarint(uint64_t value, uint8_t* out) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = uint8_t(value | 0x80);
        value >>= 7;
    }
    out[n++] = uint8_t(value);
    return n;
}

}  // namespace Patch
