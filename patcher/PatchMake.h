#pragma once
// Making a patch. Files up to kMaxSortedSize are held whole and the old one is
// sorted by suffix: every stretch of the new file is set against the old
// stretch that agrees with it best, exact or with scattered differences
// (PatchMake.cpp, SortedMaker). Larger files are streamed: the old file is
// indexed by hashes of its aligned blocks, the
// new file is scanned once with a rolling hash of the same width. A block found
// in the old file becomes a match, extended backwards over bytes not yet
// placed and forwards for as long as the two stay mostly alike: scattered edits
// inside a match become a "difference" run (new minus old, mostly zeros)
// instead of breaking it. Content that moved (bytes inserted or deleted) is
// found again by the hash. Memory: the index (at most 64 MiB, see
// BlockSizeFor) plus fixed windows over both files; neither file is held whole.
// The sorted way needs both files plus 8 bytes per old byte while sorting.
#include "decoder/LzmaDecoder.h"
#include "patcher/PatchApply.h"
#include "patcher/PatchFormat.h"

#include <string>

namespace Patch {

struct MakeStats {
    uint64_t copied = 0;  // bytes taken from the old file as they are
    uint64_t diffed = 0;  // bytes taken from the old file with differences
    uint64_t added = 0;   // new bytes carried in the patch
    uint64_t ops = 0;
    size_t blockSize = 0;     // 0: the old file was sorted by suffix
    uint64_t indexBytes = 0;
};

// The largest old and new files matched whole (about 10 bytes of memory per
// old byte); larger ones are streamed through the block index.
constexpr uint64_t kMaxSortedSize = 64u << 20;

// Width of the indexed blocks for an old file of this size: 32 bytes, doubled
// until the file has at most 2^22 blocks.
size_t BlockSizeFor(uint64_t oldSize);

// Writes the uncompressed operation stream that turns `old` into the bytes of
// `newData` to `ops`, and fills `header` (sizes and SHA-256 digests). False
// with a reason in `detail` when a file cannot be read, `ops` refuses bytes, or
// memory runs out.
// `maxSorted` lowers the size up to which files are matched whole (0: always streamed).
bool MakeOps(Source& old, Lzma::Reader& newData, Lzma::Writer& ops, Header& header, MakeStats& stats,
             std::string& detail, uint64_t maxSorted = kMaxSortedSize);

}  // namespace Patch
