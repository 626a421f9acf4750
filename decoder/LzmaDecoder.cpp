#include "decoder/LzmaDecoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace Lzma {

const char* ResultText(Result result) {
    switch (result) {
    case Result::Ok: return "ok";
    case Result::BadHeader: return "not an LZMA file (bad header)";
    case Result::DictionaryTooLarge: return "dictionary size too large";
    case Result::Truncated: return "unexpected end of input (truncated file)";
    case Result::CorruptData: return "compressed data is corrupt";
    case Result::SizeMismatch: return "decoded size differs from the size in the header";
    case Result::TrailingData: return "unexpected data after the end of the stream";
    case Result::ReadError: return "read error";
    case Result::WriteError: return "write error";
    case Result::OutOfMemory: return "out of memory";
    }
    return "unknown error";
}

Result ParseHeader(const uint8_t* bytes, Header& header) {
    unsigned props = bytes[0];
    if (props >= 9 * 5 * 5) return Result::BadHeader;
    header.lc = props % 9;
    props /= 9;
    header.lp = props % 5;
    header.pb = props / 5;
    header.dictionarySize = 0;
    for (int i = 0; i < 4; ++i) header.dictionarySize |= uint32_t(bytes[1 + i]) << (8 * i);
    header.uncompressedSize = 0;
    for (int i = 0; i < 8; ++i) header.uncompressedSize |= uint64_t(bytes[5 + i]) << (8 * i);
    return Result::Ok;
}

size_t MemoryReader::Read(uint8_t* buffer, size_t capacity) {
    size_t n = std::min(capacity, m_size - m_pos);
    if (n) std::memcpy(buffer, m_data + m_pos, n);
    m_pos += n;
    return n;
}

bool StringWriter::Write(const uint8_t* bytes, size_t size) {
    if (size > m_limit - data.size()) return false;
    data.append(reinterpret_cast<const char*>(bytes), size);
    return true;
}

namespace {

typedef uint16_t Prob;

constexpr unsigned kNumStates = 12;
constexpr unsigned kMaxPosStates = 1u << 4;
constexpr unsigned kNumLenToPosStates = 4;
constexpr unsigned kEndPosModelIndex = 14;
constexpr unsigned kNumFullDistances = 1u << (kEndPosModelIndex >> 1);
constexpr unsigned kNumAlignBits = 4;
constexpr unsigned kMatchMinLen = 2;
constexpr uint32_t kTopValue = 1u << 24;
constexpr unsigned kNumBitModelTotalBits = 11;
constexpr unsigned kBitModelTotal = 1u << kNumBitModelTotalBits;
constexpr unsigned kNumMoveBits = 5;
constexpr Prob kProbInit = kBitModelTotal / 2;
constexpr size_t kInputBufferSize = 1u << 16;
constexpr uint32_t kFlushChunk = 1u << 20;
constexpr uint32_t kInitialWindow = 1u << 20;
constexpr uint32_t kMinDictionarySize = 1u << 12;
// A bit takes at most one input byte (after a bit the range is at least 1/66
// of what it was, so one shift by 8 restores it), and a packet has at most 48
// bits: is-match, is-rep, 10 of the length, 6 of the slot, 26 direct, 4 align.
constexpr size_t kMaxPacketInput = 64;

#define ORV_ALWAYS_INLINE inline __attribute__((always_inline))

// Buffered input. The decoder reads it through a pointer of its own and asks
// for more only between packets, once fewer than kMaxPacketInput bytes are
// left, so a packet never checks for the end of the buffer. After the end of
// the input zeros follow; a packet that read into them was cut short
// (PastEnd), which the decoder checks after every packet.
class Input {
public:
    explicit Input(Reader& reader) : m_reader(reader), m_buffer(kInputBufferSize + kMaxPacketInput) {
        m_end = m_buffer.data();
    }

    const uint8_t* End() const { return m_end; }
    bool Exhausted() const { return m_exhausted; }

    // Returns where `cur` went: at least kMaxPacketInput bytes can be read from
    // there, real ones or the zeros past the end. `cur` is at most End().
    const uint8_t* Ensure(const uint8_t* cur) {
        if (size_t(m_end - cur) >= kMaxPacketInput || m_exhausted) return cur;
        uint8_t* start = m_buffer.data();
        const size_t left = size_t(m_end - cur);
        std::memmove(start, cur, left);
        uint8_t* end = start + left;
        while (size_t(end - start) < kMaxPacketInput) {
            const size_t room = kInputBufferSize - size_t(end - start);
            size_t got = m_reader.Read(end, room);
            if (got > room) got = 0;  // a misbehaving reader cannot make us read past the buffer
            if (got == 0) {
                m_exhausted = true;
                std::memset(end, 0, kMaxPacketInput);
                break;
            }
            end += got;
        }
        m_end = end;
        return start;
    }
    bool PastEnd(const uint8_t* cur) const { return cur > m_end; }
    // No byte left at `cur` (reads more to find out).
    bool AtEnd(const uint8_t*& cur) {
        cur = Ensure(cur);
        return m_exhausted && cur == m_end;
    }
    // The reader is asked only once it has returned nothing.
    bool Failed() const { return m_exhausted && m_reader.Failed(); }

private:
    Reader& m_reader;
    std::vector<uint8_t> m_buffer;
    const uint8_t* m_end;
    bool m_exhausted = false;
};

// The range decoder's state. The decoding loop keeps it in a local variable,
// so the compiler holds its fields in registers: stores into the window or the
// probabilities cannot alias a local whose address never leaves the function.
struct Coder {
    uint32_t range;
    uint32_t code;
    const uint8_t* in;
};

ORV_ALWAYS_INLINE void Normalize(Coder& rc) {
    if (rc.range < kTopValue) {
        rc.range <<= 8;
        rc.code = (rc.code << 8) | *rc.in++;
    }
}

// One bit with a branch on it: for the bits that mostly go one way.
ORV_ALWAYS_INLINE unsigned Bit(Coder& rc, Prob& prob) {
    const uint32_t bound = (rc.range >> kNumBitModelTotalBits) * prob;
    unsigned bit;
    if (rc.code < bound) {
        rc.range = bound;
        prob = Prob(prob + ((kBitModelTotal - prob) >> kNumMoveBits));
        bit = 0;
    } else {
        rc.range -= bound;
        rc.code -= bound;
        prob = Prob(prob - (prob >> kNumMoveBits));
        bit = 1;
    }
    Normalize(rc);
    return bit;
}

// One bit without a branch on it: for literal and distance bits, close to
// random, which a processor cannot predict. Written with a mask, as compilers
// turn the plain conditional form back into branches.
ORV_ALWAYS_INLINE unsigned BitSelect(Coder& rc, Prob& prob) {
    const uint32_t p = prob;
    const uint32_t bound = (rc.range >> kNumBitModelTotalBits) * p;
    const uint32_t bit = rc.code >= bound ? 1 : 0;
    const uint32_t mask = 0u - bit;
    // bit 0: range = bound, prob rises; bit 1: range -= bound, code -= bound, prob falls.
    rc.range = bound + ((rc.range - bound - bound) & mask);
    rc.code -= bound & mask;
    const uint32_t zero = p + ((kBitModelTotal - p) >> kNumMoveBits);
    const uint32_t one = p - (p >> kNumMoveBits);
    prob = Prob(zero + ((one - zero) & mask));
    Normalize(rc);
    return bit;
}

template <unsigned NumBits>
ORV_ALWAYS_INLINE unsigned BitTree(Coder& rc, Prob* probs) {
    unsigned m = 1;
    for (unsigned i = 0; i < NumBits; ++i) m = (m << 1) | Bit(rc, probs[m]);
    return m - (1u << NumBits);
}

ORV_ALWAYS_INLINE unsigned BitTreeReverse(Coder& rc, Prob* probs, unsigned numBits) {
    unsigned m = 1, symbol = 0;
    for (unsigned i = 0; i < numBits; ++i) {
        const unsigned bit = BitSelect(rc, probs[m]);
        m = (m << 1) | bit;
        symbol |= bit << i;
    }
    return symbol;
}

// Bits of equal probability. `corrupt` is raised when the code leaves the
// range, which only an invalid stream does.
ORV_ALWAYS_INLINE uint32_t DirectBits(Coder& rc, unsigned count, bool& corrupt) {
    uint32_t result = 0;
    do {
        rc.range >>= 1;
        const uint32_t bit = rc.code >= rc.range ? 1 : 0;
        rc.code -= rc.range & (0u - bit);
        if (rc.code >= rc.range) corrupt = true;
        result = (result << 1) | bit;
        Normalize(rc);
    } while (--count);
    return result;
}

// A literal byte from its 0x300 probabilities. After a match the byte at rep0
// (`matchByte`) predicts it bit by bit until the two differ.
ORV_ALWAYS_INLINE unsigned Literal(Coder& rc, Prob* probs) {
    unsigned symbol = 1;
    for (int i = 0; i < 8; ++i) symbol = (symbol << 1) | BitSelect(rc, probs[symbol]);
    return symbol & 0xFF;
}

ORV_ALWAYS_INLINE unsigned MatchedLiteral(Coder& rc, Prob* probs, unsigned matchByte) {
    // `offset` is 0x100 while the bits so far equal matchByte's, then 0: the
    // matched probabilities at 0x100 + (matchBit << 8) give way to the plain ones.
    unsigned symbol = 1, offset = 0x100;
    do {
        matchByte <<= 1;
        const unsigned matchBit = matchByte & offset;
        const unsigned bit = BitSelect(rc, probs[offset + matchBit + symbol]);
        symbol = (symbol << 1) | bit;
        offset &= bit ? matchBit : ~matchBit;
    } while (symbol < 0x100);
    return symbol & 0xFF;
}

struct LengthModel {
    Prob choice = kProbInit;
    Prob choice2 = kProbInit;
    Prob low[kMaxPosStates][1 << 3];
    Prob mid[kMaxPosStates][1 << 3];
    Prob high[1 << 8];

    LengthModel() {
        std::fill(&low[0][0], &low[0][0] + sizeof(low) / sizeof(Prob), kProbInit);
        std::fill(&mid[0][0], &mid[0][0] + sizeof(mid) / sizeof(Prob), kProbInit);
        std::fill(high, high + 256, kProbInit);
    }
};

// Returns the length minus kMatchMinLen (0..271).
ORV_ALWAYS_INLINE unsigned DecodeLength(Coder& rc, LengthModel& model, unsigned posState) {
    if (Bit(rc, model.choice) == 0) return BitTree<3>(rc, model.low[posState]);
    if (Bit(rc, model.choice2) == 0) return 8 + BitTree<3>(rc, model.mid[posState]);
    return 16 + BitTree<8>(rc, model.high);
}

// The output position as the decoding loop keeps it in locals (see Coder).
// The window is the last `limit` bytes of output in a circular buffer that
// starts small and grows with the output, so a large dictionary in the header
// costs memory only when that much data is actually decoded.
struct Cursor {
    uint8_t* buffer;
    uint32_t pos;    // next byte's index
    uint32_t size;   // of the buffer
    bool full;       // the buffer wrapped: every index holds output
    uint64_t base;   // output bytes before index 0

    uint64_t Total() const { return base + pos; }
    // `distance` is zero-based: 0 is the last byte written.
    bool HasDistance(uint32_t distance) const { return full ? distance < size : distance < pos; }
    uint32_t IndexOf(uint32_t distance) const { return distance < pos ? pos - distance - 1 : pos + size - distance - 1; }
};

// What the next packet depends on besides the window: the state of the last
// packets and the last four distances. A local of the decoding loop (see Coder).
struct History {
    unsigned state;
    uint32_t rep0, rep1, rep2, rep3;
};

class Decoder {
public:
    Decoder(const Header& header, Reader& reader, Writer& out, uint32_t windowLimit)
        : m_header(header), m_in(reader), m_out(out), m_limit(windowLimit),
          m_literals(size_t(0x300) << (header.lc + header.lp), kProbInit) {
        std::fill(std::begin(m_isMatch), std::end(m_isMatch), kProbInit);
        std::fill(std::begin(m_isRep), std::end(m_isRep), kProbInit);
        std::fill(std::begin(m_isRepG0), std::end(m_isRepG0), kProbInit);
        std::fill(std::begin(m_isRepG1), std::end(m_isRepG1), kProbInit);
        std::fill(std::begin(m_isRepG2), std::end(m_isRepG2), kProbInit);
        std::fill(std::begin(m_isRep0Long), std::end(m_isRep0Long), kProbInit);
        std::fill(&m_posSlot[0][0], &m_posSlot[0][0] + sizeof(m_posSlot) / sizeof(Prob), kProbInit);
        std::fill(std::begin(m_posSpecial), std::end(m_posSpecial), kProbInit);
        std::fill(std::begin(m_align), std::end(m_align), kProbInit);
    }

    bool InitWindow(Cursor& out) {
        m_size = std::min(m_limit, kInitialWindow);
        m_buffer.reset(new (std::nothrow) uint8_t[m_size]);
        out = Cursor{m_buffer.get(), 0, m_size, false, 0};
        return m_buffer != nullptr;
    }

    Result Run();

private:
    enum class Packet { Data, EndMarker, Corrupt, TooLong };

    Packet DecodePacket(Coder& rc, Cursor& out, History& h, Prob* literals, bool& corrupt);
    uint32_t DecodeDistance(Coder& rc, unsigned length, bool& corrupt);
    ORV_ALWAYS_INLINE void Put(Cursor& out, uint8_t byte) {
        out.buffer[out.pos] = byte;
        if (++out.pos == out.size) out = Advance(out);
    }
    ORV_ALWAYS_INLINE void Copy(Cursor& out, uint32_t distance, unsigned length);
    Cursor Advance(Cursor out);
    Cursor CopySlowly(Cursor out, uint32_t distance, unsigned length);
    bool Flush(const Cursor& out);
    // Why decoding stops after a packet, or Ok.
    Result Stop(const Coder& rc, bool corrupt) const {
        if (m_in.Failed()) return Result::ReadError;
        if (m_in.PastEnd(rc.in)) return Result::Truncated;
        if (corrupt) return Result::CorruptData;
        return m_error;
    }

    const Header m_header;
    Input m_in;
    Writer& m_out;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_limit;
    uint32_t m_size = 0;
    uint32_t m_flushed = 0;  // index up to which the buffer was handed out
    Result m_error = Result::Ok;
    std::vector<Prob> m_literals;
    Prob m_isMatch[kNumStates * kMaxPosStates];
    Prob m_isRep[kNumStates];
    Prob m_isRepG0[kNumStates];
    Prob m_isRepG1[kNumStates];
    Prob m_isRepG2[kNumStates];
    Prob m_isRep0Long[kNumStates * kMaxPosStates];
    Prob m_posSlot[kNumLenToPosStates][1 << 6];
    Prob m_posSpecial[1 + kNumFullDistances - kEndPosModelIndex];
    Prob m_align[1 << kNumAlignBits];
    LengthModel m_length;
    LengthModel m_repLength;
};

bool Decoder::Flush(const Cursor& out) {
    if (m_error == Result::Ok && out.pos > m_flushed) {
        if (!m_out.Write(out.buffer + m_flushed, out.pos - m_flushed)) m_error = Result::WriteError;
        m_flushed = out.pos;
    }
    return m_error == Result::Ok;
}

// Called when the buffer is full: grow it, or hand its content out and wrap.
// On failure the write position stays inside the buffer and the error is
// noted; the decoder stops after the packet.
Cursor Decoder::Advance(Cursor out) {
    if (out.size < m_limit) {
        const uint32_t newSize = out.size <= m_limit / 2 ? out.size * 2 : m_limit;
        std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[newSize]);
        if (bigger) {
            std::memcpy(bigger.get(), out.buffer, out.pos);
            m_buffer = std::move(bigger);
            m_size = newSize;
            out.buffer = m_buffer.get();
            out.size = newSize;
            return out;
        }
        if (m_error == Result::Ok) m_error = Result::OutOfMemory;
    } else {
        Flush(out);
        out.full = true;
        out.base += out.size;
    }
    out.pos = 0;
    m_flushed = 0;
    return out;
}

// A copy that reaches the end of the buffer, or starts from its far end.
Cursor Decoder::CopySlowly(Cursor out, uint32_t distance, unsigned length) {
    while (length) {
        const uint32_t from = out.IndexOf(distance);
        const uint32_t chunk = std::min({uint32_t(length), out.size - out.pos, out.size - from});
        uint8_t* target = out.buffer + out.pos;
        const uint8_t* source = out.buffer + from;
        for (uint32_t i = 0; i < chunk; ++i) target[i] = source[i];
        out.pos += chunk;
        length -= chunk;
        if (out.pos == out.size) out = Advance(out);
    }
    return out;
}

// Callers check HasDistance first. Source and target overlap when the
// distance is shorter than the length: every byte read must already be
// written, so steps of 8 bytes need a distance of at least 8. A step never
// writes past the end of the match: the bytes after it are older output that
// later matches may still refer to.
void Decoder::Copy(Cursor& out, uint32_t distance, unsigned length) {
    const uint32_t from = out.IndexOf(distance);
    if (length >= out.size - out.pos || length > out.size - from) {
        out = CopySlowly(out, distance, length);
        return;
    }
    uint8_t* target = out.buffer + out.pos;
    const uint8_t* source = out.buffer + from;
    out.pos += length;
    if (distance >= 7 && length >= 8) {
        unsigned i = 0;
        for (; i + 8 <= length; i += 8) std::memcpy(target + i, source + i, 8);
        if (i < length) std::memcpy(target + length - 8, source + length - 8, 8);
    } else {
        for (unsigned i = 0; i < length; ++i) target[i] = source[i];
    }
}

uint32_t Decoder::DecodeDistance(Coder& rc, unsigned length, bool& corrupt) {
    const unsigned lenState = std::min(length, kNumLenToPosStates - 1);
    const unsigned posSlot = BitTree<6>(rc, m_posSlot[lenState]);
    if (posSlot < 4) return posSlot;
    const unsigned numDirectBits = (posSlot >> 1) - 1;
    uint32_t distance = (2 | (posSlot & 1)) << numDirectBits;
    if (posSlot < kEndPosModelIndex) {
        distance += BitTreeReverse(rc, m_posSpecial + distance - posSlot, numDirectBits);
    } else {
        distance += DirectBits(rc, numDirectBits - kNumAlignBits, corrupt) << kNumAlignBits;
        distance += BitTreeReverse(rc, m_align, kNumAlignBits);
    }
    return distance;
}

// One literal or match. Reads at most kMaxPacketInput bytes; stops early
// (Corrupt, TooLong) before it writes anything the packet cannot have.
ORV_ALWAYS_INLINE Decoder::Packet Decoder::DecodePacket(Coder& rc, Cursor& out, History& h, Prob* literals,
                                                        bool& corrupt) {
    const uint64_t total = out.Total();
    const unsigned posState = unsigned(total) & ((1u << m_header.pb) - 1);
    const unsigned state = h.state;
    const unsigned stateIndex = state * kMaxPosStates + posState;
    if (Bit(rc, m_isMatch[stateIndex]) == 0) {
        const unsigned prevByte = total ? out.buffer[out.IndexOf(0)] : 0;
        const unsigned lpMask = (1u << m_header.lp) - 1;
        const size_t context = ((unsigned(total) & lpMask) << m_header.lc) + (prevByte >> (8 - m_header.lc));
        Prob* probs = literals + 0x300 * context;
        // After a match the byte at rep0 predicts this one.
        const unsigned symbol =
            state >= 7 ? MatchedLiteral(rc, probs, out.buffer[out.IndexOf(h.rep0)]) : Literal(rc, probs);
        Put(out, uint8_t(symbol));
        h.state = state < 4 ? 0 : (state < 10 ? state - 3 : state - 6);
        return Packet::Data;
    }
    unsigned length;
    if (Bit(rc, m_isRep[state])) {
        if (total == 0) return Packet::Corrupt;  // nothing to repeat yet
        if (Bit(rc, m_isRepG0[state]) == 0) {
            if (Bit(rc, m_isRep0Long[stateIndex]) == 0) {
                // A single byte from rep0.
                if (!out.HasDistance(h.rep0)) return Packet::Corrupt;
                h.state = state < 7 ? 9 : 11;
                Put(out, out.buffer[out.IndexOf(h.rep0)]);
                return Packet::Data;
            }
        } else {
            uint32_t distance;
            if (Bit(rc, m_isRepG1[state]) == 0) {
                distance = h.rep1;
            } else {
                if (Bit(rc, m_isRepG2[state]) == 0) {
                    distance = h.rep2;
                } else {
                    distance = h.rep3;
                    h.rep3 = h.rep2;
                }
                h.rep2 = h.rep1;
            }
            h.rep1 = h.rep0;
            h.rep0 = distance;
        }
        length = DecodeLength(rc, m_repLength, posState);
        h.state = state < 7 ? 8 : 11;
    } else {
        h.rep3 = h.rep2;
        h.rep2 = h.rep1;
        h.rep1 = h.rep0;
        length = DecodeLength(rc, m_length, posState);
        h.state = state < 7 ? 7 : 10;
        h.rep0 = DecodeDistance(rc, length, corrupt);
        if (h.rep0 == 0xFFFFFFFFu) return Packet::EndMarker;
    }
    length += kMatchMinLen;
    if (!out.HasDistance(h.rep0)) return Packet::Corrupt;
    if (m_header.uncompressedSize != kUnknownSize && length > m_header.uncompressedSize - total)
        return Packet::TooLong;
    Copy(out, h.rep0, length);
    return Packet::Data;
}

Result Decoder::Run() {
    Cursor out;
    if (!InitWindow(out)) return Result::OutOfMemory;
    Coder rc{0xFFFFFFFFu, 0, m_in.Ensure(m_in.End())};
    const bool firstIsZero = *rc.in++ == 0;
    for (int i = 0; i < 4; ++i) rc.code = (rc.code << 8) | *rc.in++;
    bool corrupt = false;
    // From here on the decoder relies on code < range; DirectBits keeps it.
    if (!firstIsZero || rc.code == rc.range) {
        const Result stop = Stop(rc, corrupt);
        return stop != Result::Ok ? stop : Result::CorruptData;
    }
    const bool sizeKnown = m_header.uncompressedSize != kUnknownSize;
    History history{0, 0, 0, 0, 0};
    Prob* const literals = m_literals.data();
    for (;;) {
        rc.in = m_in.Ensure(rc.in);
        bool last = false;
        if (sizeKnown && out.Total() == m_header.uncompressedSize) {
            // The stream may end here, or carry an end marker after the data.
            if (rc.code == 0 && m_in.AtEnd(rc.in)) break;
            last = true;
        }
        const Packet packet = DecodePacket(rc, out, history, literals, corrupt);
        // A read past the end explains any odd symbol decoded from the zeros that stood in.
        if (m_in.Exhausted() || corrupt || m_error != Result::Ok) {
            const Result stop = Stop(rc, corrupt);
            if (stop != Result::Ok) return stop;
        }
        if (packet == Packet::Corrupt) return Result::CorruptData;
        if (packet == Packet::TooLong) return Result::SizeMismatch;
        if (packet == Packet::EndMarker) {
            if (sizeKnown && !last) return Result::SizeMismatch;
            break;
        }
        if (last) return Result::SizeMismatch;
        if (out.pos - m_flushed >= kFlushChunk && !Flush(out)) return m_error;
    }
    if (rc.code != 0) return Result::CorruptData;
    if (!m_in.AtEnd(rc.in)) return m_in.Failed() ? Result::ReadError : Result::TrailingData;
    if (!Flush(out)) return m_error;
    return Result::Ok;
}

}  // namespace

Result DecodeLzmaAlone(Reader& in, Writer& out) {
    uint8_t headerBytes[kHeaderSize];
    size_t got = 0;
    while (got < kHeaderSize) {
        size_t n = in.Read(headerBytes + got, kHeaderSize - got);
        if (n == 0 || n > kHeaderSize - got) return in.Failed() ? Result::ReadError : Result::BadHeader;
        got += n;
    }
    Header header;
    if (ParseHeader(headerBytes, header) != Result::Ok) return Result::BadHeader;

    // The window never needs to hold more than the whole output.
    uint64_t window = std::max(header.dictionarySize, kMinDictionarySize);
    if (header.uncompressedSize != kUnknownSize) window = std::min<uint64_t>(window, std::max<uint64_t>(header.uncompressedSize, 1));
    if (window > kMaxDictionarySize) return Result::DictionaryTooLarge;

    try {
        std::unique_ptr<Decoder> decoder(new Decoder(header, in, out, uint32_t(window)));
        return decoder->Run();
    } catch (const std::bad_alloc&) {
        return Result::OutOfMemory;
    }
}

}  // namespace Lzma
