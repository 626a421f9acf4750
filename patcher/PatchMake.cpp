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


// The whole old file sorted by suffix (Larsson and Sadakane's doubling with a
// ternary quicksort of each group), for finding the longest match of any
// length anywhere in it. `order` gets size + 1 entries (the empty suffix
// first); `rank` is scratch of the same length.
class SuffixOrder {
public:
    using Index = int32_t;
    static constexpr size_t kLongest = 64u << 10;

    bool Build(const uint8_t* data, Index size) {
        try {
            m_order.assign(size_t(size) + 1, 0);
            std::vector<Index> rank(size_t(size) + 1, 0);
            Sort(data, size, m_order.data(), rank.data());
        } catch (const std::bad_alloc&) {
            return false;
        }
        m_data = data;
        m_size = size;
        return true;
    }
    uint64_t Bytes() const { return m_order.size() * sizeof(Index) * 2; }  // with the scratch while sorting

    // The longest prefix of `want` (n bytes, of which at most kLongest are
    // compared: a long run costs one comparison per search step, not its
    // length) found in the old file: its length, and where in `at`.
    size_t Longest(const uint8_t* want, size_t n, uint64_t& at) const {
        n = std::min(n, kLongest);
        Index lo = 0, hi = m_size;
        while (hi - lo >= 2) {
            Index mid = lo + (hi - lo) / 2;
            Index p = m_order[size_t(mid)];
            if (std::memcmp(m_data + p, want, std::min<size_t>(size_t(m_size - p), n)) < 0)
                lo = mid;
            else
                hi = mid;
        }
        Index a = m_order[size_t(lo)], b = m_order[size_t(hi)];
        size_t la = MismatchIndex(m_data + a, want, std::min<size_t>(size_t(m_size - a), n));
        size_t lb = MismatchIndex(m_data + b, want, std::min<size_t>(size_t(m_size - b), n));
        at = uint64_t(la > lb ? a : b);
        return std::max(la, lb);
    }

private:
    // Sorts the group order[start, start + length) by the rank h bytes further on.
    static void Split(Index* order, Index* rank, Index start, Index length, Index h) {
        for (;;) {
            if (length < 16) {
                for (Index k = start, j; k < start + length; k += j) {
                    j = 1;
                    Index x = rank[order[k] + h];
                    for (Index i = 1; k + i < start + length; ++i) {
                        Index v = rank[order[k + i] + h];
                        if (v < x) {
                            x = v;
                            j = 0;
                        }
                        if (v == x) {
                            std::swap(order[k + j], order[k + i]);
                            ++j;
                        }
                    }
                    for (Index i = 0; i < j; ++i) rank[order[k + i]] = k + j - 1;
                    if (j == 1) order[k] = -1;
                }
                return;
            }
            Index x = rank[order[start + length / 2] + h];
            Index less = 0, equal = 0;
            for (Index i = start; i < start + length; ++i) {
                Index v = rank[order[i] + h];
                less += v < x;
                equal += v == x;
            }
            Index jj = start + less, kk = jj + equal;
            Index i = start, j = 0, k = 0;
            while (i < jj) {
                Index v = rank[order[i] + h];
                if (v < x) {
                    ++i;
                } else if (v == x) {
                    std::swap(order[i], order[jj + j]);
                    ++j;
                } else {
                    std::swap(order[i], order[kk + k]);
                    ++k;
                }
            }
            while (jj + j < kk) {
                if (rank[order[jj + j] + h] == x) {
                    ++j;
                } else {
                    std::swap(order[jj + j], order[kk + k]);
                    ++k;
                }
            }
            if (jj > start) Split(order, rank, start, jj - start, h);
            for (i = 0; i < kk - jj; ++i) rank[order[jj + i]] = kk - 1;
            if (jj == kk - 1) order[jj] = -1;
            if (start + length <= kk) return;
            length = start + length - kk;  // the greater part, without another stack frame
            start = kk;
        }
    }

    static void Sort(const uint8_t* data, Index size, Index* order, Index* rank) {
        Index buckets[256] = {};
        for (Index i = 0; i < size; ++i) ++buckets[data[i]];
        for (int i = 1; i < 256; ++i) buckets[i] += buckets[i - 1];
        for (int i = 255; i > 0; --i) buckets[i] = buckets[i - 1];
        buckets[0] = 0;
        for (Index i = 0; i < size; ++i) order[++buckets[data[i]]] = i;
        order[0] = size;
        for (Index i = 0; i < size; ++i) rank[i] = buckets[data[i]];
        rank[size] = 0;
        for (int i = 1; i < 256; ++i)
            if (buckets[i] == buckets[i - 1] + 1) order[buckets[i]] = -1;
        order[0] = -1;
        // A negative entry -n: the next n entries are sorted groups, skipped.
        for (Index h = 1; order[0] != -(size + 1); h += h) {
            Index sorted = 0, i = 0;
            while (i < size + 1) {
                if (order[i] < 0) {
                    sorted -= order[i];
                    i -= order[i];
                } else {
                    if (sorted) order[i - sorted] = -sorted;
                    Index length = rank[order[i]] + 1 - i;
                    Split(order, rank, i, length, h);
                    i += length;
                    sorted = 0;
                }
            }
            if (sorted) order[i - sorted] = -sorted;
        }
        for (Index i = 0; i < size + 1; ++i) order[rank[i]] = i;
    }

    std::vector<Index> m_order;
    const uint8_t* m_data = nullptr;
    Index m_size = 0;
};

// Both files whole in memory, the old one sorted by suffix. Each stretch of
// the new file is set against an old stretch by an approximate alignment: a
// new exact match is taken only where it beats what the current alignment
// already gives by kBetterBy bytes (kBetterByFar when it leads far away),
// and an alignment is kept forward (and taken backward from the next match)
// for as long as more than half of its bytes agree. Code whose addresses moved thus stays one long run of small
// differences. Inside a run, exact stretches of kCopyRun bytes or more go out
// as copies, the rest as differences; what no alignment covers is added.
class SortedMaker {
public:
    SortedMaker(const std::vector<uint8_t>& old, const std::vector<uint8_t>& now, OpWriter& out)
        : m_old(old.data()), m_oldSize(old.size()), m_new(now.data()), m_newSize(now.size()), m_out(out) {}

    bool Run(MakeStats& stats) {
        if (!m_index.Build(m_old, SuffixOrder::Index(m_oldSize))) return false;
        stats.indexBytes = m_index.Bytes();
        Scan();
        return true;
    }

private:
    static constexpr size_t kBetterBy = 8;
    static constexpr size_t kBetterByFar = 16;
    static constexpr int64_t kNear = 1 << 20;
    static constexpr size_t kCopyRun = 256;

    // What a new match must gain over the current alignment: more when it
    // leads far from it, since the applier then reads another part of the old
    // file (its cache holds about kNear bytes).
    static uint64_t BetterBy(uint64_t scan, uint64_t pos, int64_t lastOffset) {
        int64_t jump = int64_t(pos) - (int64_t(scan) + lastOffset);
        return uint64_t(jump < 0 ? -jump : jump) < kNear ? kBetterBy : kBetterByFar;
    }

    bool Agrees(uint64_t newPos, int64_t offset) const {
        int64_t q = int64_t(newPos) + offset;
        return q >= 0 && uint64_t(q) < m_oldSize && m_old[q] == m_new[newPos];
    }

    void Scan() {
        uint64_t scan = 0, length = 0, lastScan = 0, lastPos = 0, pos = 0;
        int64_t lastOffset = 0;
        while (scan < m_newSize) {
            uint64_t score = 0;  // bytes the current alignment gets right over [scan, scan + length)
            uint64_t scored = scan += length;
            for (; scan < m_newSize; ++scan) {
                length = m_oldSize ? m_index.Longest(m_new + scan, size_t(m_newSize - scan), pos) : 0;
                for (; scored < scan + length; ++scored) score += Agrees(scored, lastOffset);
                if ((length == score && length != 0) || length > score + BetterBy(scan, pos, lastOffset)) break;
                if (Agrees(scan, lastOffset)) --score;
            }
            if (length == score && scan != m_newSize) continue;
            // Forward from the last alignment: the length where agreements minus
            // disagreements peak.
            uint64_t forward = 0;
            {
                int64_t s = 0, best = 0;
                for (uint64_t i = 0; lastScan + i < scan && lastPos + i < m_oldSize;) {
                    s += m_old[lastPos + i] == m_new[lastScan + i] ? 1 : -1;
                    ++i;
                    if (s > best) {
                        best = s;
                        forward = i;
                    }
                }
            }
            // Backward from the new match, the same way.
            uint64_t backward = 0;
            if (scan < m_newSize) {
                int64_t s = 0, best = 0;
                for (uint64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
                    s += m_old[pos - i] == m_new[scan - i] ? 1 : -1;
                    if (s > best) {
                        best = s;
                        backward = i;
                    }
                }
            }
            // Where the two overlap, the split that gets most bytes right.
            if (lastScan + forward > scan - backward) {
                uint64_t overlap = lastScan + forward - (scan - backward);
                int64_t s = 0, best = 0;
                uint64_t keep = 0;
                for (uint64_t i = 0; i < overlap; ++i) {
                    uint64_t at = lastScan + forward - overlap + i;
                    s += m_new[at] == m_old[lastPos + forward - overlap + i];
                    s -= m_new[at] == m_old[pos - backward + i];
                    if (s > best) {
                        best = s;
                        keep = i + 1;
                    }
                }
                forward += keep - overlap;
                backward -= keep;
            }
            EmitAligned(lastScan, lastPos, forward);
            uint64_t addStart = lastScan + forward, addEnd = scan - backward;
            if (addEnd > addStart) m_out.Add(m_new + addStart, size_t(addEnd - addStart));
            lastScan = scan - backward;
            lastPos = pos - backward;
            lastOffset = int64_t(pos) - int64_t(scan);
        }
    }

    // New bytes [from, from + length) against old bytes from `oldFrom`.
    void EmitAligned(uint64_t from, uint64_t oldFrom, uint64_t length) {
        uint64_t runStart = 0;  // start of the pending difference run, relative
        for (uint64_t i = 0; i < length;) {
            if (m_new[from + i] != m_old[oldFrom + i]) {
                ++i;
                continue;
            }
            size_t same = MismatchIndex(m_new + from + i, m_old + oldFrom + i, size_t(length - i));
            if (same >= kCopyRun || (i + same == length && i == runStart)) {
                if (i > runStart) m_out.Diff(oldFrom + runStart, Differences(from + runStart, oldFrom + runStart, i - runStart), size_t(i - runStart));
                m_out.Copy(oldFrom + i, same);
                runStart = i + same;
            }
            i += same;
        }
        if (length > runStart)
            m_out.Diff(oldFrom + runStart, Differences(from + runStart, oldFrom + runStart, length - runStart),
                       size_t(length - runStart));
    }

    const uint8_t* Differences(uint64_t from, uint64_t oldFrom, uint64_t length) {
        m_diff.resize(size_t(length));
        for (size_t i = 0; i < m_diff.size(); ++i) m_diff[i] = uint8_t(m_new[from + i] - m_old[oldFrom + i]);
        return m_diff.data();
    }

    const uint8_t* m_old;
    uint64_t m_oldSize;
    const uint8_t* m_new;
    uint64_t m_newSize;
    OpWriter& m_out;
    SuffixOrder m_index;
    std::vector<uint8_t> m_diff;
};

// Reads a whole file from `in` while it stays within `limit` bytes; false when
// it is longer (what was read is in `data`) or cannot be read.
bool ReadWhole(Lzma::Reader& in, std::vector<uint8_t>& data, uint64_t limit, bool& tooLong) {
    tooLong = false;
    for (;;) {
        size_t at = data.size();
        size_t room = size_t(std::min<uint64_t>(kReadChunk, limit + 1 - at));
        if (room == 0) {
            tooLong = true;
            return false;
        }
        data.resize(at + room);
        size_t n = in.Read(data.data() + at, room);
        data.resize(at + std::min(n, room));
        if (n == 0) return !in.Failed();
    }
}

// Hands back bytes already read, then the rest of the stream.
class PrefixedReader : public Lzma::Reader {
public:
    PrefixedReader(const std::vector<uint8_t>& head, Lzma::Reader& rest) : m_head(head), m_rest(rest) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        if (m_pos < m_head.size()) {
            size_t n = std::min(capacity, m_head.size() - m_pos);
            std::memcpy(buffer, m_head.data() + m_pos, n);
            m_pos += n;
            return n;
        }
        return m_rest.Read(buffer, capacity);
    }
    bool Failed() const override { return m_rest.Failed(); }

private:
    const std::vector<uint8_t>& m_head;
    size_t m_pos = 0;
    Lzma::Reader& m_rest;
};

bool MakeSorted(Source& old, const std::vector<uint8_t>& now, Lzma::Writer& ops, Header& header, MakeStats& stats,
                std::string& detail) {
    std::vector<uint8_t> oldData(size_t(old.Size()));
    if (!oldData.empty() && !old.ReadAt(0, oldData.data(), oldData.size())) {
        detail = "the old file cannot be read";
        return false;
    }
    Sha256 sha;
    sha.Update(oldData.data(), oldData.size());
    sha.Final(header.oldDigest);
    Sha256 newSha;
    newSha.Update(now.data(), now.size());
    newSha.Final(header.newDigest);
    header.oldSize = oldData.size();
    header.newSize = now.size();
    OpWriter out(ops, stats);
    SortedMaker maker(oldData, now, out);
    if (!maker.Run(stats)) {
        detail = "no memory for sorting the old file";
        return false;
    }
    if (!out.End()) {
        detail = "the patch cannot be written";
        return false;
    }
    return true;
}

}  // namespace

size_t BlockSizeFor(uint64_t oldSize) {
    size_t block = kMinBlock;
    while (oldSize / block > kMaxBlocks) block *= 2;
    return block;
}

bool MakeOps(Source& old, Lzma::Reader& newData, Lzma::Writer& ops, Header& header, MakeStats& stats,
             std::string& detail, uint64_t maxSorted) {
    try {
        std::vector<uint8_t> now;
        bool tooLong = false;
        if (old.Size() <= maxSorted && ReadWhole(newData, now, maxSorted, tooLong))
            return MakeSorted(old, now, ops, header, stats, detail);
        if (!tooLong && old.Size() <= maxSorted) {
            detail = "the new file cannot be read";
            return false;
        }
        PrefixedReader rest(now, newData);
        Maker maker(old, rest, ops, stats);
        return maker.Run(header, detail);
    } catch (const std::bad_alloc&) {
        detail = "out of memory";
        return false;
    }
}

}  // namespace Patch
