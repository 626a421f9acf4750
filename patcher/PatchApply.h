#pragma once
// Applying a patch, streamed: the old file is read where the operations point,
// the result goes out through a Writer as it is produced. Memory stays bounded
// by the LZMA window (at most kMaxWindow) plus fixed buffers, whatever the
// sizes of the files; nothing the patch holds can make it read or write outside
// its buffers or the old file.
#include "decoder/LzmaDecoder.h"
#include "patcher/PatchFormat.h"
#include "patcher/Sha256.h"

#include <memory>
#include <string>
#include <vector>

namespace Patch {

// Random access to the old file.
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t Size() const = 0;
    // Fills `buffer` with exactly `size` bytes from `offset`; false on failure.
    virtual bool ReadAt(uint64_t offset, uint8_t* buffer, size_t size) = 0;
};

class MemorySource : public Source {
public:
    MemorySource(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override;

private:
    const uint8_t* m_data;
    size_t m_size;
};

enum class ApplyResult { Ok, Damaged, WrongBase, ReadError, WriteError, DigestMismatch, OutOfMemory, WrongSize };

// No expected size: the header's new size is taken as it is.
constexpr uint64_t kAnySize = ~uint64_t(0);

int ExitCodeFor(ApplyResult result);

// Interprets the decompressed operation stream, fed in pieces of any size.
// Write returns false to stop the feeder; Error() then tells why. Public so
// that tests can feed operation streams without compressing them.
class OpApplier : public Lzma::Writer {
public:
    // The old file is read through kBlockCount cached blocks of kBlockSize bytes.
    static constexpr size_t kBlockSize = 64u << 10;
    static constexpr size_t kBlockCount = 64;

    OpApplier(Source& old, Lzma::Writer& out, uint64_t newSize);
    bool Write(const uint8_t* data, size_t size) override;
    // After the last piece: Ok when the end operation came after exactly
    // newSize bytes of output and everything was written; `digest` receives
    // the SHA-256 of the output.
    ApplyResult Finish(uint8_t digest[32]);
    ApplyResult Error() const { return m_error; }
    const std::string& Detail() const { return m_detail; }

private:
    enum class State { Op, Field, Payload, Done, Failed };
    bool Fail(ApplyResult error, const std::string& detail);
    bool FieldsComplete();
    bool CopyOld(uint64_t length);
    bool ReadOld(uint64_t offset, uint8_t* buffer, size_t size);
    const uint8_t* OldBlock(uint64_t index, size_t& size);
    bool Emit(const uint8_t* data, size_t size);
    uint8_t* Reserve(size_t& available);
    bool Flush();

    Source& m_old;
    Lzma::Writer& m_out;
    uint64_t m_newSize;
    uint64_t m_produced = 0;
    uint64_t m_oldPos = 0;
    State m_state = State::Op;
    uint8_t m_op = 0;
    int m_field = 0;          // index of the varint being read
    uint64_t m_value = 0;     // varint so far
    unsigned m_shift = 0;
    uint64_t m_fields[2] = {};
    uint64_t m_remaining = 0; // payload bytes still to come
    std::vector<uint8_t> m_output;  // filled up to m_outputUsed, then written
    size_t m_outputUsed = 0;
    struct CachedBlock {
        uint64_t index = 0;
        size_t size = 0;       // 0: the slot is empty
        uint64_t lastUse = 0;
    };
    std::vector<uint8_t> m_cache;   // kBlockCount blocks of the old file
    CachedBlock m_blocks[kBlockCount];
    uint64_t m_useClock = 0;
    Sha256 m_sha;
    ApplyResult m_error = ApplyResult::Ok;
    std::string m_detail;
};

// Checks the header and the old file (size and SHA-256) before anything is
// written, then streams the result to `out` and checks its SHA-256. `out` may
// have received bytes when this fails: callers write to a temporary place.
// expectedSize: the size the caller knows the result must have; a header
// that names another is refused (WrongSize) before anything is written, so a
// small patch cannot make the caller write more than it asked for.
ApplyResult ApplyPatch(Source& old, Lzma::Reader& patch, Lzma::Writer& out, std::string& detail,
                       uint64_t expectedSize = kAnySize);

}  // namespace Patch
