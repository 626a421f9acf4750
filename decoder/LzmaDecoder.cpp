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

// Buffered input; reading past the end yields zeros and raises m_pastEnd, which
// the decoder checks once per symbol (a symbol reads at most a few dozen bytes).
class Input {
public:
    explicit Input(Reader& reader) : m_reader(reader), m_buffer(kInputBufferSize) {}

    uint8_t Byte() {
        if (m_cur == m_last && !Refill()) {
            m_pastEnd = true;
            return 0;
        }
        return *m_cur++;
    }
    bool AtEnd() { return m_cur == m_last && !Refill(); }
    bool PastEnd() const { return m_pastEnd; }
    // Asked once per symbol: the reader is asked only once it has returned nothing.
    bool Failed() const { return m_exhausted && m_reader.Failed(); }

private:
    bool Refill() {
        if (m_exhausted) return false;
        size_t got = m_reader.Read(m_buffer.data(), m_buffer.size());
        if (got > m_buffer.size()) got = 0;  // a misbehaving reader cannot make us read past the buffer
        if (got == 0) m_exhausted = true;
        m_cur = m_buffer.data();
        m_last = m_cur + got;
        return got != 0;
    }

    Reader& m_reader;
    std::vector<uint8_t> m_buffer;
    const uint8_t* m_cur = nullptr;
    const uint8_t* m_last = nullptr;
    bool m_exhausted = false;
    bool m_pastEnd = false;
};

class RangeDecoder {
public:
    explicit RangeDecoder(Input& in) : m_in(in) {}

    bool Init() {
        bool firstIsZero = m_in.Byte() == 0;
        m_code = 0;
        m_range = 0xFFFFFFFFu;
        for (int i = 0; i < 4; ++i) m_code = (m_code << 8) | m_in.Byte();
        // The decoder relies on code < range from here on; DecodeDirect keeps it.
        return firstIsZero && m_code != m_range;
    }

    unsigned DecodeBit(Prob& prob) {
        uint32_t range = m_range, code = m_code;
        unsigned bit = Bit(range, code, prob);
        m_range = range;
        m_code = code;
        return bit;
    }

    // A literal byte from its 0x300 probabilities; after a match, `matchByte`
    // (the byte at rep0) predicts it bit by bit until they differ (else pass
    // a value above 0xFF).
    unsigned Literal(Prob* probs, unsigned matchByte) {
        uint32_t range = m_range, code = m_code;
        unsigned symbol = 1;
        if (matchByte <= 0xFF) {
            do {
                unsigned matchBit = (matchByte >> 7) & 1;
                matchByte <<= 1;
                unsigned bit = Bit(range, code, probs[0x100 + (matchBit << 8) + symbol]);
                symbol = (symbol << 1) | bit;
                if (bit != matchBit) break;
            } while (symbol < 0x100);
        }
        while (symbol < 0x100) symbol = (symbol << 1) | Bit(range, code, probs[symbol]);
        m_range = range;
        m_code = code;
        return symbol & 0xFF;
    }

    uint32_t DecodeDirect(unsigned count) {
        uint32_t result = 0;
        do {
            m_range >>= 1;
            uint32_t bit = m_code >= m_range ? 1 : 0;
            if (bit) m_code -= m_range;
            if (m_code >= m_range) m_corrupt = true;  // only an invalid stream gets here
            result = (result << 1) | bit;
            Normalize();
        } while (--count);
        return result;
    }

    template <unsigned NumBits>
    unsigned BitTree(Prob* probs) {
        uint32_t range = m_range, code = m_code;
        unsigned m = 1;
        for (unsigned i = 0; i < NumBits; ++i) m = (m << 1) | Bit(range, code, probs[m]);
        m_range = range;
        m_code = code;
        return m - (1u << NumBits);
    }

    unsigned BitTreeReverse(Prob* probs, unsigned numBits) {
        uint32_t range = m_range, code = m_code;
        unsigned m = 1, symbol = 0;
        for (unsigned i = 0; i < numBits; ++i) {
            unsigned bit = Bit(range, code, probs[m]);
            m = (m << 1) | bit;
            symbol |= bit << i;
        }
        m_range = range;
        m_code = code;
        return symbol;
    }

    bool Finished() const { return m_code == 0; }
    bool Corrupt() const { return m_corrupt; }

private:
    // One bit on the caller's copies of range and code: the compiler keeps
    // locals in registers, where members would be reloaded after every store
    // through a byte or probability pointer.
    unsigned Bit(uint32_t& range, uint32_t& code, Prob& prob) {
        uint32_t bound = (range >> kNumBitModelTotalBits) * prob;
        unsigned bit;
        if (code < bound) {
            range = bound;
            prob = Prob(prob + ((kBitModelTotal - prob) >> kNumMoveBits));
            bit = 0;
        } else {
            range -= bound;
            code -= bound;
            prob = Prob(prob - (prob >> kNumMoveBits));
            bit = 1;
        }
        if (range < kTopValue) {
            range <<= 8;
            code = (code << 8) | m_in.Byte();
        }
        return bit;
    }

    void Normalize() {
        if (m_range < kTopValue) {
            m_range <<= 8;
            m_code = (m_code << 8) | m_in.Byte();
        }
    }

    Input& m_in;
    uint32_t m_range = 0;
    uint32_t m_code = 0;
    bool m_corrupt = false;
};

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

    // Returns the length minus kMatchMinLen (0..271).
    unsigned Decode(RangeDecoder& rc, unsigned posState) {
        if (rc.DecodeBit(choice) == 0) return rc.BitTree<3>(low[posState]);
        if (rc.DecodeBit(choice2) == 0) return 8 + rc.BitTree<3>(mid[posState]);
        return 16 + rc.BitTree<8>(high);
    }
};

// The sliding window: the last `limit` bytes of output. It starts small and
// grows with the output, so a large dictionary in the header costs memory only
// when that much data is actually decoded.
class Window {
public:
    Window(Writer& out, uint32_t limit) : m_out(out), m_limit(limit) {}

    bool Init() {
        m_size = std::min(m_limit, kInitialWindow);
        m_buffer.reset(new (std::nothrow) uint8_t[m_size]);
        return m_buffer != nullptr;
    }

    void Put(uint8_t byte) {
        m_buffer[m_pos++] = byte;
        ++m_total;
        if (m_pos == m_size) Advance();
    }

    // `distance` is zero-based: 0 is the last byte written.
    bool HasDistance(uint32_t distance) const { return m_full ? distance < m_size : distance < m_pos; }
    uint8_t Get(uint32_t distance) const {
        uint32_t index = distance < m_pos ? m_pos - distance - 1 : m_pos + m_size - distance - 1;
        return m_buffer[index];
    }
    // Callers check HasDistance first. Source and target overlap when the
    // distance is shorter than the length: such a copy goes byte by byte.
    // Short ones go without a call to memcpy, which costs more than it saves there.
    // Locals, not members, in the loop: a byte store may alias any member.
    void Copy(uint32_t distance, unsigned length) {
        while (length) {
            uint32_t pos = m_pos;
            uint32_t from = distance < pos ? pos - distance - 1 : pos + m_size - distance - 1;
            uint32_t chunk = std::min({uint32_t(length), m_size - pos, m_size - from});
            uint8_t* target = m_buffer.get() + pos;
            const uint8_t* source = m_buffer.get() + from;
            if (chunk >= 32 && distance >= chunk) {
                std::memcpy(target, source, chunk);
            } else {
                for (uint32_t i = 0; i < chunk; ++i) target[i] = source[i];
            }
            m_pos = pos + chunk;
            m_total += chunk;
            length -= chunk;
            if (m_pos == m_size) Advance();
        }
    }

    uint64_t Total() const { return m_total; }
    Result Error() const { return m_error; }
    bool Flush() {
        if (m_error == Result::Ok && m_pos > m_flushed) {
            if (!m_out.Write(m_buffer.get() + m_flushed, m_pos - m_flushed)) m_error = Result::WriteError;
            m_flushed = m_pos;
        }
        return m_error == Result::Ok;
    }
    bool FlushIfLarge() { return m_pos - m_flushed < kFlushChunk || Flush(); }

private:
    // Called when the buffer is full: grow it, or hand its content out and wrap.
    // On failure the write position stays inside the buffer and the error is
    // noted; the decoder stops at the next symbol.
    void Advance() {
        if (m_size < m_limit) {
            uint32_t newSize = m_size <= m_limit / 2 ? m_size * 2 : m_limit;
            std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[newSize]);
            if (bigger) {
                std::memcpy(bigger.get(), m_buffer.get(), m_pos);
                m_buffer = std::move(bigger);
                m_size = newSize;
                return;
            }
            if (m_error == Result::Ok) m_error = Result::OutOfMemory;
        } else {
            Flush();
            m_full = true;
        }
        m_pos = 0;
        m_flushed = 0;
    }

    Writer& m_out;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_limit;
    uint32_t m_size = 0;
    uint32_t m_pos = 0;
    uint32_t m_flushed = 0;
    bool m_full = false;
    uint64_t m_total = 0;
    Result m_error = Result::Ok;
};

class Decoder {
public:
    Decoder(const Header& header, Input& in, Window& window)
        : m_header(header), m_in(in), m_rc(in), m_window(window),
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

    Result Run();

private:
    enum class Packet { Data, EndMarker };

    Result CheckStop() const {
        if (m_in.Failed()) return Result::ReadError;
        if (m_in.PastEnd()) return Result::Truncated;
        if (m_rc.Corrupt()) return Result::CorruptData;
        return m_window.Error();
    }
    Result DecodePacket(Packet& packet);
    void DecodeLiteral();
    uint32_t DecodeDistance(unsigned length);
    Result Finish();

    const Header m_header;
    Input& m_in;
    RangeDecoder m_rc;
    Window& m_window;
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
    unsigned m_state = 0;
    uint32_t m_rep[4] = {0, 0, 0, 0};
};

void Decoder::DecodeLiteral() {
    uint64_t total = m_window.Total();
    unsigned prevByte = total ? m_window.Get(0) : 0;
    unsigned lpMask = (1u << m_header.lp) - 1;
    size_t context = ((unsigned(total) & lpMask) << m_header.lc) + (prevByte >> (8 - m_header.lc));
    Prob* probs = &m_literals[0x300 * context];
    // After a match the byte at rep0 predicts this one.
    unsigned matchByte = m_state >= 7 ? m_window.Get(m_rep[0]) : 0x100;
    unsigned symbol = m_rc.Literal(probs, matchByte);
    m_window.Put(uint8_t(symbol));
    m_state = m_state < 4 ? 0 : (m_state < 10 ? m_state - 3 : m_state - 6);
}

uint32_t Decoder::DecodeDistance(unsigned length) {
    unsigned lenState = std::min(length, kNumLenToPosStates - 1);
    unsigned posSlot = m_rc.BitTree<6>(m_posSlot[lenState]);
    if (posSlot < 4) return posSlot;
    unsigned numDirectBits = (posSlot >> 1) - 1;
    uint32_t distance = (2 | (posSlot & 1)) << numDirectBits;
    if (posSlot < kEndPosModelIndex) {
        distance += m_rc.BitTreeReverse(m_posSpecial + distance - posSlot, numDirectBits);
    } else {
        distance += m_rc.DecodeDirect(numDirectBits - kNumAlignBits) << kNumAlignBits;
        distance += m_rc.BitTreeReverse(m_align, kNumAlignBits);
    }
    return distance;
}

Result Decoder::DecodePacket(Packet& packet) {
    packet = Packet::Data;
    unsigned posState = unsigned(m_window.Total()) & ((1u << m_header.pb) - 1);
    unsigned stateIndex = m_state * kMaxPosStates + posState;
    if (m_rc.DecodeBit(m_isMatch[stateIndex]) == 0) {
        DecodeLiteral();
        return Result::Ok;
    }
    unsigned length;
    if (m_rc.DecodeBit(m_isRep[m_state])) {
        if (m_window.Total() == 0) return Result::CorruptData;  // nothing to repeat yet
        if (m_rc.DecodeBit(m_isRepG0[m_state]) == 0) {
            if (m_rc.DecodeBit(m_isRep0Long[stateIndex]) == 0) {
                // A single byte from rep0.
                if (!m_window.HasDistance(m_rep[0])) return Result::CorruptData;
                m_state = m_state < 7 ? 9 : 11;
                m_window.Put(m_window.Get(m_rep[0]));
                return Result::Ok;
            }
        } else {
            uint32_t distance;
            if (m_rc.DecodeBit(m_isRepG1[m_state]) == 0) {
                distance = m_rep[1];
            } else {
                if (m_rc.DecodeBit(m_isRepG2[m_state]) == 0) {
                    distance = m_rep[2];
                } else {
                    distance = m_rep[3];
                    m_rep[3] = m_rep[2];
                }
                m_rep[2] = m_rep[1];
            }
            m_rep[1] = m_rep[0];
            m_rep[0] = distance;
        }
        length = m_repLength.Decode(m_rc, posState);
        m_state = m_state < 7 ? 8 : 11;
    } else {
        m_rep[3] = m_rep[2];
        m_rep[2] = m_rep[1];
        m_rep[1] = m_rep[0];
        length = m_length.Decode(m_rc, posState);
        m_state = m_state < 7 ? 7 : 10;
        m_rep[0] = DecodeDistance(length);
        if (m_rep[0] == 0xFFFFFFFFu) {
            packet = Packet::EndMarker;
            return Result::Ok;
        }
    }
    length += kMatchMinLen;
    if (!m_window.HasDistance(m_rep[0])) return Result::CorruptData;
    if (m_header.uncompressedSize != kUnknownSize &&
        length > m_header.uncompressedSize - m_window.Total())
        return Result::SizeMismatch;
    m_window.Copy(m_rep[0], length);
    return Result::Ok;
}

Result Decoder::Run() {
    if (!m_rc.Init()) {
        Result stop = CheckStop();
        return stop != Result::Ok ? stop : Result::CorruptData;
    }
    const bool sizeKnown = m_header.uncompressedSize != kUnknownSize;
    for (;;) {
        if (sizeKnown && m_window.Total() == m_header.uncompressedSize) {
            // The stream may end here, or carry an end marker after the data.
            if (m_rc.Finished() && m_in.AtEnd()) break;
            Packet packet;
            Result r = DecodePacket(packet);
            Result stop = CheckStop();
            if (stop != Result::Ok) return stop;
            if (r != Result::Ok) return r;
            if (packet != Packet::EndMarker) return Result::SizeMismatch;
            break;
        }
        Packet packet;
        Result r = DecodePacket(packet);
        // A read past the end explains any odd symbol decoded from the zeros that stood in.
        Result stop = CheckStop();
        if (stop != Result::Ok) return stop;
        if (r != Result::Ok) return r;
        if (packet == Packet::EndMarker) {
            if (sizeKnown) return Result::SizeMismatch;
            break;
        }
        if (!m_window.FlushIfLarge()) return m_window.Error();
    }
    if (!m_rc.Finished()) return Result::CorruptData;
    if (!m_in.AtEnd()) return m_in.Failed() ? Result::ReadError : Result::TrailingData;
    if (!m_window.Flush()) return m_window.Error();
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
        Input input(in);
        Window out_window(out, uint32_t(window));
        if (!out_window.Init()) return Result::OutOfMemory;
        std::unique_ptr<Decoder> decoder(new Decoder(header, input, out_window));
        return decoder->Run();
    } catch (const std::bad_alloc&) {
        return Result::OutOfMemory;
    }
}

}  // namespace Lzma
