#pragma once
// The patch file: a fixed header, then one ".lzma" stream (13-byte header, as
// `xz --format=lzma` writes) holding the operations. patcher/README.md
// describes the layout; this file is its single source in code.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Patch {

constexpr uint8_t kMagic[8] = {'O', 'V', 'P', 'A', 'T', 'C', 'H', 0x1A};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 100;
// The largest LZMA window an applier agrees to allocate: it bounds its memory.
constexpr uint32_t kMaxWindow = 64u << 20;

// Operation codes of the decompressed stream.
enum OpCode : uint8_t {
    kOpEnd = 0,   // nothing may follow
    kOpCopy = 1,  // seek, length: old bytes as they are
    kOpDiff = 2,  // seek, length, then length bytes added (mod 256) to the old bytes
    kOpAdd = 3,   // length, then length new bytes
};

struct Header {
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
    uint8_t oldDigest[32] = {};
    uint8_t newDigest[32] = {};
};

void WriteHeader(const Header& header, uint8_t bytes[kHeaderSize]);

enum class HeaderResult { Ok, NotAPatch, Damaged, UnknownVersion };
HeaderResult ReadHeader(const uint8_t bytes[kHeaderSize], Header& header);

uint32_t Crc32(const uint8_t* data, size_t size);

// Unsigned LEB128, at most 10 bytes. Returns the bytes written.
size_t PutVarint(uint64_t value, uint8_t* out);
inline uint64_t ZigZag(int64_t value) { return (uint64_t(value) << 1) ^ uint64_t(value >> 63); }
inline int64_t UnZigZag(uint64_t value) { return int64_t(value >> 1) ^ -int64_t(value & 1); }

// Exit codes of vpatch (documented in patcher/README.md; the installer relies on them).
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitCannotRead = 2,     // old file or patch missing or unreadable
    kExitDamaged = 3,        // not a patch, damaged, truncated, unknown format version
    kExitWrongBase = 4,      // the old file's size or SHA-256 is not the one the patch applies to
    kExitCannotWrite = 5,    // the result cannot be written or renamed into place
    kExitDigestMismatch = 6, // the patch applied, but the result's SHA-256 differs from the header's
    kExitNoMemory = 7,
    kExitWrongSize = 8,      // the patch makes a file of another size than the one asked for
};

}  // namespace Patch
