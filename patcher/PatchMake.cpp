#include "patcher/PatchMake.h"

#include "patcher/Sha256.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace Patch {

namespace {

constexpr size_t kMinBlock = 32;
constexpr uint64_t kMaxBlocks = 1u << 22;
constexpr size_t kReadChunk = 1u << 20;
constexpr size_t kNewWindow = 8u << 20;
constexpr size_t kOldWindow = 1u << 20;
constexpr size_t kOldBackContext = 64u << 10;
constexpr uint64_t kMaxPendingAdd = 1u << 20;   // new bytes held before they go out as an addition
constexpr size_t kMaxPendingDiff = 1u << 20;
constexpr size_t kKeepBehind = 128;             // new bytes kept behind the scan inside a match
constexpr unsigned kMaxMismatches = 16;         // in the last 64 bytes, before a match ends
constexpr unsigned kExactRun = 32;              // exact bytes that end a difference run
constexpr size_t kResumeLength = 16;            // exact bytes that resume the last match's alignment
constexpr unsigned kProbes = 16;
constexpr uint64_t kPrime = 0x9E3779B97F4A7C15ull;
constexpr uint32_t kEmpty = 0xFFFFFFFFu;

uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

uint64_t HashOf(const uint8_t* p, size_t n) {
    uint64_t h = 0;
    for (size_t i = 0; i < n; ++i) h = h * kPrime + p[i];
    return h;
}

// Index of the first differing byte of a and b within n, or n.
size_t MismatchIndex(const uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

unsigned PopCount(uint64_t v) {
    unsigned n = 0;
    for (; v; v &= v - 1) ++n;
    return n;
}

// Aligned blocks of the old file by hash; one entry per distinct block hash.
class BlockIndex {
public:
    bool Init(uint64_t blocks) {
        size_t slots = 16;
        while (slots < blocks * 2) slots <<= 1;
        try {
            m_slots.assign(slots, Slot{0, kEmpty});
        } catch (const std::bad_alloc&) {
            return false;
        }
        m_mask = slots - 1;
        return true;
    }
    void Insert(uint64_t hash, uint32_t block) {
        uint64_t key = Mix(hash);
        uint32_t fp = uint32_t(key);
        for (unsigned i = 0; i < kProbes; ++i) {
            Slot& s = m_slots[((key >> 32) + i) & m_mask];
            if (s.block == kEmpty) {
                s = Slot{fp, block};
                return;
            }
            if (s.fp == fp) return;  // the first of equal blocks stays
        }
    }
    uint32_t Find(uint64_t hash) const {
        uint64_t key = Mix(hash);
        uint32_t fp = uint32_t(key);
        for (unsigned i = 0; i < kProbes; ++i) {
            const Slot& s = m_slots[((key >> 32) + i) & m_mask];
            if (s.block == kEmpty) return kEmpty;
            if (s.fp == fp) return s.block;
        }
        return kEmpty;
    }
    uint64_t Bytes() const { return m_slots.size() * sizeof(Slot); }

private:
    struct Slot {
        uint32_t fp;
        uint32_t block;
    };
    std::vector<Slot> m_slots;
    size_t m_mask = 0;
};

// A window over the old file, reloaded around the position asked for.
class OldView {
public:
    explicit OldView(Source& source) : m_source(source), m_buffer(kOldWindow) {}
    // Pointer to `pos` and the bytes available from there (0: past the end or a
    // read failure); reloads when fewer than `want` are at hand and the file has more.
    const uint8_t* At(uint64_t pos, size_t& available, size_t want = 1) {
        if (pos < m_start || pos + want > m_start + m_size) {
            uint64_t size = m_source.Size();
            if (pos >= size) {
                available = 0;
                return nullptr;
            }
            if (pos >= m_start && pos < m_start + m_size && m_start + m_size == size) {
                available = size_t(size - pos);  // the window already reaches the end
                return m_buffer.data() + (pos - m_start);
            }
            uint64_t start = pos > kOldBackContext ? pos - kOldBackContext : 0;
            size_t n = size_t(std::min<uint64_t>(m_buffer.size(), size - start));
            m_size = 0;
            if (!m_source.ReadAt(start, m_buffer.data(), n)) {
                m_failed = true;
                available = 0;
                return nullptr;
            }
            m_start = start;
            m_size = n;
        }
        available = size_t(m_start + m_size - pos);
        return m_buffer.data() + (pos - m_start);
    }
    bool Failed() const { return m_failed; }

private:
    Source& m_source;
    std::vector<uint8_t> m_buffer;
    uint64_t m_start = 0;
    size_t m_size = 0;
    bool m_failed = false;
};

// The new file read once, front to back, through a window that keeps what the
// scan may still look back at.
class NewStream {
public:
    explicit NewStream(Lzma::Reader& in) : m_in(in), m_buffer(kNewWindow) {}
    // Bytes available from `pos` after trying to have at least `want`; the
    // window keeps everything from `keep` (<= pos) on.
    size_t Ensure(uint64_t pos, size_t want, uint64_t keep) {
        if (pos + want > m_base + m_filled && !m_eof) {
            size_t drop = keep > m_base ? size_t(keep - m_base) : 0;
            std::memmove(m_buffer.data(), m_buffer.data() + drop, m_filled - drop);
            m_filled -= drop;
            m_base += drop;
            while (m_filled < m_buffer.size() && pos + want > m_base + m_filled) {
                size_t n = m_in.Read(m_buffer.data() + m_filled, m_buffer.size() - m_filled);
                if (n == 0) {
                    m_eof = true;
                    m_failed = m_in.Failed();
                    break;
                }
                m_sha.Update(m_buffer.data() + m_filled, n);
                m_filled += n;
            }
        }
        return pos < m_base + m_filled ? size_t(m_base + m_filled - pos) : 0;
    }
    const uint8_t* At(uint64_t pos) const { return m_buffer.data() + (pos - m_base); }
    bool Failed() const { return m_failed; }
    uint64_t Total() const { return m_base + m_filled; }
    void Digest(uint8_t digest[32]) { m_sha.Final(digest); }

private:
    Lzma::Reader& m_in;
    std::vector<uint8_t> m_buffer;
    uint64_t m_base = 0;
    size_t m_filled = 0;
    bool m_eof = false;
    bool m_failed = false;
    Sha256 m_sha;
};

class OpWriter {
public:
    OpWriter(Lzma::Writer& out, MakeStats& stats) : m_out(out), m_stats(stats) { m_buffer.reserve(kBuffer); }
    void Copy(uint64_t oldStart, uint64_t length) {
        Op(kOpCopy, oldStart, length);
        m_stats.copied += length;
    }
    void Diff(uint64_t oldStart, const uint8_t* bytes, size_t length) {
        Op(kOpDiff, oldStart, length);
        Bytes(bytes, length);
        m_stats.diffed += length;
    }
    void Add(const uint8_t* bytes, size_t length) {
        uint8_t head[1 + 10];
        head[0] = kOpAdd;
        Bytes(head, 1 + PutVarint(length, head + 1));
        Bytes(bytes, length);
        m_stats.added += length;
        ++m_stats.ops;
    }
    bool End() {
        uint8_t end = kOpEnd;
        Bytes(&end, 1);
        Flush();
        return !m_failed;
    }
    bool Failed() const { return m_failed; }

private:
    static constexpr size_t kBuffer = 1u << 16;
    void Op(uint8_t code, uint64_t oldStart, uint64_t length) {
        uint8_t head[1 + 10 + 10];
        head[0] = code;
        size_t n = 1 + PutVarint(ZigZag(int64_t(oldStart) - int64_t(m_oldPos)), head + 1);
        n += PutVarint(length, head + n);
        Bytes(head, n);
        m_oldPos = oldStart + length;
        ++m_stats.ops;
    }
    void Bytes(const uint8_t* data, size_t size) {
        while (size) {
            size_t n = std::min(size, kBuffer - m_buffer.size());
            m_buffer.insert(m_buffer.end(), data, data + n);
            data += n;
            size -= n;
            if (m_buffer.size() == kBuffer) Flush();
        }
    }
    void Flush() {
        if (!m_failed && !m_buffer.empty() && !m_out.Write(m_buffer.data(), m_buffer.size())) m_failed = true;
        m_buffer.clear();
    }

    Lzma::Writer& m_out;
    MakeStats& m_stats;
    std::vector<uint8_t> m_buffer;
    uint64_t m_oldPos = 0;
    bool m_failed = false;
};

class Maker {
public:
    Maker(Source& old, Lzma::Reader& newData, Lzma::Writer& ops, MakeStats& stats)
        : m_old(old), m_view(old), m_new(newData), m_out(ops, stats), m_stats(stats) {}

    bool Run(Header& header, std::string& detail) {
        if (!IndexOld(header.oldDigest)) {
            detail = m_detail;
            return false;
        }
        Scan();
        if (m_view.Failed() || m_readFailed) {
            detail = "the old file cannot be read";
            return false;
        }
        if (m_new.Failed()) {
            detail = "the new file cannot be read";
            return false;
        }
        if (!m_out.End()) {
            detail = "the patch cannot be written";
            return false;
        }
        header.oldSize = m_old.Size();
        header.newSize = m_new.Total();
        m_new.Digest(header.newDigest);
        return true;
    }

private:
    bool IndexOld(uint8_t digest[32]) {
        uint64_t size = m_old.Size();
        m_block = BlockSizeFor(size);
        m_stats.blockSize = m_block;
        uint64_t blocks = size / m_block;
        if (!m_index.Init(blocks)) {
            m_detail = "no memory for the index of the old file";
            return false;
        }
        m_stats.indexBytes = m_index.Bytes();
        m_power = 1;
        for (size_t i = 1; i < m_block; ++i) m_power *= kPrime;

        std::vector<uint8_t> chunk(kReadChunk);  // a multiple of every block size
        Sha256 sha;
        for (uint64_t pos = 0; pos < size;) {
            size_t n = size_t(std::min<uint64_t>(chunk.size(), size - pos));
            if (!m_old.ReadAt(pos, chunk.data(), n)) {
                m_detail = "the old file cannot be read";
                return false;
            }
            sha.Update(chunk.data(), n);
            for (size_t at = 0; at + m_block <= n; at += m_block)
                m_index.Insert(HashOf(chunk.data() + at, m_block), uint32_t((pos + at) / m_block));
            pos += n;
        }
        sha.Final(digest);
        return true;
    }

    void Scan() {
        for (;;) {
            size_t want = m_inMatch ? kReadChunk : m_block + 1;
            // Inside a match only the last bytes may be handed back; outside it,
            // everything not yet placed (and the byte the rolling hash drops).
            uint64_t keep = m_pos - std::min<uint64_t>(m_pos, kKeepBehind);
            if (!m_inMatch) keep = std::min(keep, m_pending);
            size_t available = m_new.Ensure(m_pos, want, keep);
            if (available == 0) break;
            if (m_out.Failed() || m_view.Failed() || m_readFailed) return;
            if (m_inMatch)
                MatchStep(available);
            else
                SearchStep(available);
        }
        if (m_inMatch) {
            CloseSegment(m_pos);
        } else if (m_pos > m_pending) {
            m_out.Add(m_new.At(m_pending), size_t(m_pos - m_pending));
        }
    }

    // Inside a match: exact stretches are skipped fast; other bytes go one by one.
    void MatchStep(size_t available) {
        uint64_t oldPos = m_pos + uint64_t(m_align);
        size_t oldAvailable = 0;
        const uint8_t* old = m_view.At(oldPos, oldAvailable);
        if (!old) {  // the old file ends here
            EndMatch();
            return;
        }
        const uint8_t* cur = m_new.At(m_pos);
        if (!m_inDiff) {
            size_t n = MismatchIndex(cur, old, std::min(available, oldAvailable));
            if (n) {
                m_pos += n;
                m_lastExact = m_pos;
                m_exactRun = unsigned(std::min<size_t>(m_exactRun + n, kExactRun));
                m_window = n >= 64 ? 0 : m_window << n;
                return;
            }
            // First difference: the exact run so far goes out, a difference run starts.
            if (m_pos > m_segment) m_out.Copy(m_segment + uint64_t(m_align), m_pos - m_segment);
            m_segment = m_pos;
            m_inDiff = true;
            m_diff.clear();
        }
        bool equal = *cur == *old;
        m_diff.push_back(uint8_t(*cur - *old));
        m_window = m_window << 1 | (equal ? 0 : 1);
        ++m_pos;
        if (equal) {
            m_lastExact = m_pos;
            if (++m_exactRun >= kExactRun) {  // alike again: back to copying
                size_t length = m_diff.size() - kExactRun;
                if (length) m_out.Diff(m_segment + uint64_t(m_align), m_diff.data(), length);
                m_segment += length;
                m_inDiff = false;
            }
            return;
        }
        m_exactRun = 0;
        if (PopCount(m_window) > kMaxMismatches) {
            EndMatch();
        } else if (m_diff.size() >= kMaxPendingDiff) {
            size_t length = m_diff.size() - kKeepBehind;
            m_out.Diff(m_segment + uint64_t(m_align), m_diff.data(), length);
            m_diff.erase(m_diff.begin(), m_diff.begin() + length);
            m_segment += length;
        }
    }

    // Ends the match after its last equal byte; the bytes after it are scanned again.
    void EndMatch() {
        uint64_t end = std::max(m_lastExact, m_segment);
        CloseSegment(end);
        m_inMatch = false;
        m_lastAlign = m_align;
        m_haveAlign = true;
        m_pending = m_pos = end;
        m_hashPos = kNoHash;
    }

    void CloseSegment(uint64_t end) {
        if (end <= m_segment) return;
        if (m_inDiff)
            m_out.Diff(m_segment + uint64_t(m_align), m_diff.data(), size_t(end - m_segment));
        else
            m_out.Copy(m_segment + uint64_t(m_align), end - m_segment);
    }

    void SearchStep(size_t available) {
        if (m_pos - m_pending >= kMaxPendingAdd) {
            m_out.Add(m_new.At(m_pending), size_t(m_pos - m_pending));
            m_pending = m_pos;
        }
        if (available < m_block) {  // too short for a block: the rest is new
            m_pos += available;
            return;
        }
        const uint8_t* cur = m_new.At(m_pos);
        uint64_t oldSize = m_old.Size();
        if (m_haveAlign) {
            int64_t q = int64_t(m_pos) + m_lastAlign;
            size_t oldAvailable = 0;
            const uint8_t* old = q >= 0 && uint64_t(q) + kResumeLength <= oldSize ? m_view.At(uint64_t(q), oldAvailable, kResumeLength)
                                                                                 : nullptr;
            if (old && oldAvailable >= kResumeLength && std::memcmp(cur, old, kResumeLength) == 0) {
                StartMatch(m_lastAlign);
                return;
            }
        }
        if (m_hashPos == m_pos - 1 && m_pos > 0) {
            m_hash = (m_hash - m_new.At(m_pos - 1)[0] * m_power) * kPrime + cur[m_block - 1];
        } else {
            m_hash = HashOf(cur, m_block);
        }
        m_hashPos = m_pos;
        uint32_t block = m_index.Find(m_hash);
        if (block != kEmpty) {
            uint64_t q = uint64_t(block) * m_block;
            m_check.resize(m_block);
            if (!m_old.ReadAt(q, m_check.data(), m_block)) {
                m_readFailed = true;
                return;
            }
            if (std::memcmp(cur, m_check.data(), m_block) == 0) {
                StartMatch(int64_t(q) - int64_t(m_pos));
                return;
            }
        }
        ++m_pos;
    }

    void StartMatch(int64_t align) {
        uint64_t start = m_pos;
        while (start > m_pending && int64_t(start) + align > 0) {
            size_t oldAvailable = 0;
            const uint8_t* old = m_view.At(uint64_t(int64_t(start) + align - 1), oldAvailable);
            if (!old || *old != m_new.At(start - 1)[0]) break;
            --start;
        }
        if (start > m_pending) m_out.Add(m_new.At(m_pending), size_t(start - m_pending));
        m_inMatch = true;
        m_inDiff = false;
        m_align = align;
        m_segment = start;
        m_lastExact = m_pos;
        m_exactRun = 0;
        m_window = 0;
        m_hashPos = kNoHash;
    }

    static constexpr uint64_t kNoHash = ~uint64_t(0);

    Source& m_old;
    OldView m_view;
    NewStream m_new;
    OpWriter m_out;
    MakeStats& m_stats;
    BlockIndex m_index;
    size_t m_block = kMinBlock;
    uint64_t m_power = 1;  // kPrime^(block - 1)
    std::string m_detail;
    bool m_readFailed = false;

    uint64_t m_pos = 0;      // next new byte to place
    uint64_t m_pending = 0;  // new bytes from here to m_pos are not placed yet (outside a match)
    uint64_t m_hash = 0;
    uint64_t m_hashPos = kNoHash;
    std::vector<uint8_t> m_check;

    bool m_inMatch = false;
    int64_t m_align = 0;     // old position minus new position of the match
    bool m_haveAlign = false;
    int64_t m_lastAlign = 0;
    bool m_inDiff = false;
    uint64_t m_segment = 0;  // new position where the current exact or difference run began
    std::vector<uint8_t> m_diff;
    uint64_t m_lastExact = 0;
    unsigned m_exactRun = 0;
    uint64_t m_window = 0;   // one bit per byte of the last 64: set where they differed
};

}  // namespace

size_t BlockSizeFor(uint64_t oldSize) {
    size_t block = kMinBlock;
    while (oldSize / block > kMaxBlocks) block *= 2;
    return block;
}

bool MakeOps(Source& old, Lzma::Reader& newData, Lzma::Writer& ops, Header& header, MakeStats& stats,
             std::string& detail) {
    try {
        Maker maker(old, newData, ops, stats);
        return maker.Run(header, detail);
    } catch (const std::bad_alloc&) {
        detail = "out of memory";
        return false;
    }
}

}  // namespace Patch
