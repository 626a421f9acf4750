#include "patcher/PatchApply.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace Patch {

namespace {

constexpr size_t kOutputBuffer = 1u << 20;
// Reads of the old file at least this long go straight to the file.
constexpr size_t kDirectRead = 2 * OpApplier::kBlockSize;
constexpr size_t kHashChunk = 1u << 20;

// Hands the LZMA decoder the 13 header bytes already read, then the rest.
class ReplayReader : public Lzma::Reader {
public:
    ReplayReader(const uint8_t* head, size_t headSize, Lzma::Reader& rest)
        : m_head(head), m_headSize(headSize), m_rest(rest) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        if (m_pos < m_headSize) {
            size_t n = std::min(capacity, m_headSize - m_pos);
            std::memcpy(buffer, m_head + m_pos, n);
            m_pos += n;
            return n;
        }
        return m_rest.Read(buffer, capacity);
    }
    bool Failed() const override { return m_rest.Failed(); }

private:
    const uint8_t* m_head;
    size_t m_headSize;
    size_t m_pos = 0;
    Lzma::Reader& m_rest;
};

// Reads exactly `size` bytes unless the input ends; returns the count.
size_t ReadFully(Lzma::Reader& in, uint8_t* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        size_t n = in.Read(buffer + got, size - got);
        if (n == 0 || n > size - got) break;
        got += n;
    }
    return got;
}

}  // namespace

bool MemorySource::ReadAt(uint64_t offset, uint8_t* buffer, size_t size) {
    if (offset > m_size || size > m_size - offset) return false;
    if (size) std::memcpy(buffer, m_data + offset, size);
    return true;
}

int ExitCodeFor(ApplyResult result) {
    switch (result) {
    case ApplyResult::Ok: return kExitOk;
    case ApplyResult::Damaged: return kExitDamaged;
    case ApplyResult::WrongBase: return kExitWrongBase;
    case ApplyResult::ReadError: return kExitCannotRead;
    case ApplyResult::WriteError: return kExitCannotWrite;
    case ApplyResult::DigestMismatch: return kExitDigestMismatch;
    case ApplyResult::OutOfMemory: return kExitNoMemory;
    case ApplyResult::WrongSize: return kExitWrongSize;
    }
    return kExitDamaged;
}

OpApplier::OpApplier(Source& old, Lzma::Writer& out, uint64_t newSize)
    : m_old(old), m_out(out), m_newSize(newSize) {}

bool OpApplier::Fail(ApplyResult error, const std::string& detail) {
    if (m_error == ApplyResult::Ok) {
        m_error = error;
        m_detail = detail;
    }
    m_state = State::Failed;
    return false;
}

uint8_t* OpApplier::Reserve(size_t& available) {
    if (m_output.empty()) {
        try {
            m_output.resize(kOutputBuffer);
        } catch (const std::bad_alloc&) {
            Fail(ApplyResult::OutOfMemory, "no memory for the output buffer");
            return nullptr;
        }
    }
    if (m_outputUsed == m_output.size() && !Flush()) return nullptr;
    available = m_output.size() - m_outputUsed;
    return m_output.data() + m_outputUsed;
}

bool OpApplier::Flush() {
    if (m_outputUsed == 0) return true;
    m_sha.Update(m_output.data(), m_outputUsed);
    bool ok = m_out.Write(m_output.data(), m_outputUsed);
    m_outputUsed = 0;
    return ok || Fail(ApplyResult::WriteError, "the result cannot be written");
}

bool OpApplier::Emit(const uint8_t* data, size_t size) {
    while (size) {
        size_t room = 0;
        uint8_t* at = Reserve(room);
        if (!at) return false;
        size_t n = std::min(room, size);
        std::memcpy(at, data, n);
        m_outputUsed += n;
        m_produced += n;
        data += n;
        size -= n;
    }
    return true;
}

// The block of the old file with this index, read from the file unless cached.
// The least recently used block makes room: operations jump back and forth
// over nearby old bytes, and each block is then read once while it is in use.
const uint8_t* OpApplier::OldBlock(uint64_t index, size_t& size) {
    size_t victim = 0;
    for (size_t slot = 0; slot < kBlockCount; ++slot) {
        CachedBlock& block = m_blocks[slot];
        if (block.size && block.index == index) {
            block.lastUse = ++m_useClock;
            size = block.size;
            return m_cache.data() + slot * kBlockSize;
        }
        if (block.lastUse < m_blocks[victim].lastUse) victim = slot;
    }
    if (m_cache.empty()) {
        try {
            m_cache.resize(kBlockCount * kBlockSize);
        } catch (const std::bad_alloc&) {
            Fail(ApplyResult::OutOfMemory, "no memory for the read buffer");
            return nullptr;
        }
    }
    CachedBlock& block = m_blocks[victim];
    uint8_t* data = m_cache.data() + victim * kBlockSize;
    uint64_t start = index * kBlockSize;
    block.size = 0;
    if (start >= m_old.Size()) {
        Fail(ApplyResult::ReadError, "the old file cannot be read");
        return nullptr;
    }
    size_t fill = size_t(std::min<uint64_t>(kBlockSize, m_old.Size() - start));
    if (!m_old.ReadAt(start, data, fill)) {
        Fail(ApplyResult::ReadError, "the old file cannot be read");
        return nullptr;
    }
    block.index = index;
    block.size = fill;
    block.lastUse = ++m_useClock;
    size = fill;
    return data;
}

// Short reads come from cached blocks of the old file; long ones go straight through.
bool OpApplier::ReadOld(uint64_t offset, uint8_t* buffer, size_t size) {
    if (size >= kDirectRead)
        return m_old.ReadAt(offset, buffer, size) || Fail(ApplyResult::ReadError, "the old file cannot be read");
    while (size) {
        size_t blockSize = 0;
        const uint8_t* block = OldBlock(offset / kBlockSize, blockSize);
        if (!block) return false;
        size_t within = size_t(offset % kBlockSize);
        if (within >= blockSize) return Fail(ApplyResult::ReadError, "the old file cannot be read");
        size_t n = std::min(size, blockSize - within);
        std::memcpy(buffer, block + within, n);
        buffer += n;
        offset += n;
        size -= n;
    }
    return true;
}

bool OpApplier::CopyOld(uint64_t length) {
    while (length) {
        size_t room = 0;
        uint8_t* at = Reserve(room);
        if (!at) return false;
        size_t n = size_t(std::min<uint64_t>(room, length));
        if (!ReadOld(m_oldPos, at, n)) return false;
        m_outputUsed += n;
        m_produced += n;
        m_oldPos += n;
        length -= n;
    }
    return true;
}

// Called when the last varint of an operation has been read.
bool OpApplier::FieldsComplete() {
    if (m_op == kOpAdd) {
        uint64_t length = m_fields[0];
        if (length == 0 || length > m_newSize - m_produced) return Fail(ApplyResult::Damaged, "addition out of range");
        m_remaining = length;
        m_state = State::Payload;
        return true;
    }
    int64_t seek = UnZigZag(m_fields[0]);
    uint64_t length = m_fields[1];
    uint64_t oldSize = m_old.Size();
    uint64_t start;
    if (seek < 0) {
        uint64_t back = uint64_t(-(seek + 1)) + 1;
        if (back > m_oldPos) return Fail(ApplyResult::Damaged, "seek before the start of the old file");
        start = m_oldPos - back;
    } else {
        if (uint64_t(seek) > oldSize - m_oldPos) return Fail(ApplyResult::Damaged, "seek past the end of the old file");
        start = m_oldPos + uint64_t(seek);
    }
    if (length == 0 || length > oldSize - start || length > m_newSize - m_produced)
        return Fail(ApplyResult::Damaged, "copy out of range");
    m_oldPos = start;
    if (m_op == kOpCopy) {
        m_state = State::Op;
        return CopyOld(length);
    }
    m_remaining = length;
    m_state = State::Payload;
    return true;
}

bool OpApplier::Write(const uint8_t* data, size_t size) {
    const uint8_t* end = data + size;
    while (data < end) {
        switch (m_state) {
        case State::Failed: return false;
        case State::Done: return Fail(ApplyResult::Damaged, "data after the end operation");
        case State::Op:
            m_op = *data++;
            if (m_op == kOpEnd) {
                if (m_produced != m_newSize) return Fail(ApplyResult::Damaged, "the operations end early");
                m_state = State::Done;
                break;
            }
            if (m_op > kOpAdd) return Fail(ApplyResult::Damaged, "unknown operation");
            m_field = 0;
            m_value = 0;
            m_shift = 0;
            m_state = State::Field;
            break;
        case State::Field: {
            uint8_t byte = *data++;
            // The tenth byte of a 64-bit value may only hold its top bit.
            if (m_shift == 63 && byte > 1) return Fail(ApplyResult::Damaged, "number too large");
            m_value |= uint64_t(byte & 0x7F) << m_shift;
            if (byte & 0x80) {
                m_shift += 7;
                break;
            }
            m_fields[m_field++] = m_value;
            m_value = 0;
            m_shift = 0;
            if (m_field == (m_op == kOpAdd ? 1 : 2) && !FieldsComplete()) return false;
            break;
        }
        case State::Payload: {
            size_t room = 0;
            uint8_t* at = Reserve(room);
            if (!at) return false;
            size_t n = size_t(std::min<uint64_t>({room, m_remaining, uint64_t(end - data)}));
            if (m_op == kOpDiff) {
                if (!ReadOld(m_oldPos, at, n)) return false;
                for (size_t i = 0; i < n; ++i) at[i] = uint8_t(at[i] + data[i]);
                m_oldPos += n;
            } else {
                std::memcpy(at, data, n);
            }
            m_outputUsed += n;
            m_produced += n;
            m_remaining -= n;
            data += n;
            if (m_remaining == 0) m_state = State::Op;
            break;
        }
        }
    }
    return m_state != State::Failed;
}

ApplyResult OpApplier::Finish(uint8_t digest[32]) {
    if (m_state == State::Failed) return m_error;
    if (m_state != State::Done) {
        Fail(ApplyResult::Damaged, "the operations are cut off");
        return m_error;
    }
    if (!Flush()) return m_error;
    m_sha.Final(digest);
    return ApplyResult::Ok;
}

ApplyResult ApplyPatch(Source& old, Lzma::Reader& patch, Lzma::Writer& out, std::string& detail,
                       uint64_t expectedSize) {
    uint8_t headerBytes[kHeaderSize];
    if (ReadFully(patch, headerBytes, kHeaderSize) != kHeaderSize) {
        detail = patch.Failed() ? "the patch cannot be read" : "the patch is truncated (header)";
        return patch.Failed() ? ApplyResult::ReadError : ApplyResult::Damaged;
    }
    Header header;
    switch (ReadHeader(headerBytes, header)) {
    case HeaderResult::Ok: break;
    case HeaderResult::NotAPatch: detail = "not a patch file"; return ApplyResult::Damaged;
    case HeaderResult::Damaged: detail = "the patch header is damaged"; return ApplyResult::Damaged;
    case HeaderResult::UnknownVersion: detail = "unknown patch format version"; return ApplyResult::Damaged;
    }

    if (old.Size() != header.oldSize) {
        detail = "the old file has " + std::to_string(old.Size()) + " bytes; the patch applies to " +
                 std::to_string(header.oldSize);
        return ApplyResult::WrongBase;
    }
    {
        std::vector<uint8_t> chunk;
        try {
            chunk.resize(size_t(std::min<uint64_t>(kHashChunk, std::max<uint64_t>(header.oldSize, 1))));
        } catch (const std::bad_alloc&) {
            detail = "out of memory";
            return ApplyResult::OutOfMemory;
        }
        Sha256 sha;
        for (uint64_t pos = 0; pos < header.oldSize;) {
            size_t n = size_t(std::min<uint64_t>(chunk.size(), header.oldSize - pos));
            if (!old.ReadAt(pos, chunk.data(), n)) {
                detail = "the old file cannot be read";
                return ApplyResult::ReadError;
            }
            sha.Update(chunk.data(), n);
            pos += n;
        }
        uint8_t digest[32];
        sha.Final(digest);
        if (std::memcmp(digest, header.oldDigest, 32) != 0) {
            detail = "the old file's SHA-256 is " + HexDigest(digest) + "; the patch applies to " +
                     HexDigest(header.oldDigest);
            return ApplyResult::WrongBase;
        }
    }

    // A patch for another base says so first; then the size decides, before a byte is written.
    if (expectedSize != kAnySize && header.newSize != expectedSize) {
        detail = "the patch makes " + std::to_string(header.newSize) + " bytes; " + std::to_string(expectedSize) +
                 " were asked for";
        return ApplyResult::WrongSize;
    }
    uint8_t lzmaHeader[Lzma::kHeaderSize];
    if (ReadFully(patch, lzmaHeader, sizeof(lzmaHeader)) != sizeof(lzmaHeader)) {
        detail = patch.Failed() ? "the patch cannot be read" : "the patch is truncated (stream header)";
        return patch.Failed() ? ApplyResult::ReadError : ApplyResult::Damaged;
    }
    Lzma::Header streamHeader;
    if (Lzma::ParseHeader(lzmaHeader, streamHeader) != Lzma::Result::Ok || streamHeader.dictionarySize > kMaxWindow) {
        detail = "the patch's stream header is damaged";
        return ApplyResult::Damaged;
    }
    ReplayReader stream(lzmaHeader, sizeof(lzmaHeader), patch);
    OpApplier applier(old, out, header.newSize);
    Lzma::Result decoded = Lzma::DecodeLzmaAlone(stream, applier);
    if (decoded == Lzma::Result::WriteError) {
        detail = applier.Detail();
        return applier.Error();
    }
    if (decoded != Lzma::Result::Ok) {
        detail = std::string("patch stream: ") + Lzma::ResultText(decoded);
        switch (decoded) {
        case Lzma::Result::ReadError: return ApplyResult::ReadError;
        case Lzma::Result::OutOfMemory: return ApplyResult::OutOfMemory;
        default: return ApplyResult::Damaged;
        }
    }
    uint8_t digest[32];
    ApplyResult finished = applier.Finish(digest);
    if (finished != ApplyResult::Ok) {
        detail = applier.Detail();
        return finished;
    }
    if (std::memcmp(digest, header.newDigest, 32) != 0) {
        detail = "the result's SHA-256 is " + HexDigest(digest) + ", not " + HexDigest(header.newDigest);
        return ApplyResult::DigestMismatch;
    }
    return ApplyResult::Ok;
}

}  // namespace Patch
