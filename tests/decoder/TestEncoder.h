#pragma once
// A minimal LZMA encoder for tests: the caller chooses every packet (literal,
// match with any distance, short rep, rep, end marker), so tests can build the
// exact streams that real encoders never write (no end marker with a known
// size, distances past the start, matches past the declared size...).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

class TestEncoder {
public:
    static constexpr uint64_t kUnknown = ~uint64_t(0);

    TestEncoder(unsigned lc = 3, unsigned lp = 0, unsigned pb = 2)
        : m_lc(lc), m_lp(lp), m_pb(pb), m_literals(size_t(0x300) << (lc + lp), kInit) {
        for (auto* table : {&m_isMatch, &m_isRep0Long}) table->assign(12 * 16, kInit);
        for (auto* table : {&m_isRep, &m_isRepG0, &m_isRepG1, &m_isRepG2}) table->assign(12, kInit);
        m_posSlot.assign(4 * 64, kInit);
        m_posSpecial.assign(115, kInit);
        m_align.assign(16, kInit);
        for (Len* len : {&m_len, &m_repLen}) {
            len->choice = len->choice2 = kInit;
            len->low.assign(16 * 8, kInit);
            len->mid.assign(16 * 8, kInit);
            len->high.assign(256, kInit);
        }
    }

    void Literal(uint8_t byte) {
        Bit(m_isMatch[m_state * 16 + PosState()], 0);
        size_t pos = m_plain.size();
        unsigned prev = pos ? uint8_t(m_plain.back()) : 0;
        size_t context = ((pos & ((1u << m_lp) - 1)) << m_lc) + (prev >> (8 - m_lc));
        uint16_t* probs = &m_literals[0x300 * context];
        unsigned symbol = 1;
        bool matched = m_state >= 7;
        unsigned matchByte = matched && m_rep[0] < pos ? uint8_t(m_plain[pos - m_rep[0] - 1]) : 0;
        for (int i = 7; i >= 0; --i) {
            unsigned bit = (byte >> i) & 1;
            if (matched) {
                unsigned matchBit = (matchByte >> i) & 1;
                Bit(probs[0x100 + (matchBit << 8) + symbol], bit);
                matched = matchBit == bit;
            } else {
                Bit(probs[symbol], bit);
            }
            symbol = (symbol << 1) | bit;
        }
        m_plain += char(byte);
        m_state = m_state < 4 ? 0 : (m_state < 10 ? m_state - 3 : m_state - 6);
    }
    void Literals(const std::string& text) {
        for (char c : text) Literal(uint8_t(c));
    }

    // distance is zero-based (0 = the previous byte); length 2..273.
    void Match(uint32_t distance, unsigned length) {
        unsigned posState = PosState();
        Bit(m_isMatch[m_state * 16 + posState], 1);
        Bit(m_isRep[m_state], 0);
        m_rep[3] = m_rep[2];
        m_rep[2] = m_rep[1];
        m_rep[1] = m_rep[0];
        m_rep[0] = distance;
        EncodeLength(m_len, length - 2, posState);
        m_state = m_state < 7 ? 7 : 10;
        EncodeDistance(distance, length - 2);
        CopyPlain(distance, length);
    }
    void EndMarker() { Match(0xFFFFFFFFu, 2); }

    void ShortRep() {
        unsigned posState = PosState();
        Bit(m_isMatch[m_state * 16 + posState], 1);
        Bit(m_isRep[m_state], 1);
        Bit(m_isRepG0[m_state], 0);
        Bit(m_isRep0Long[m_state * 16 + posState], 0);
        m_state = m_state < 7 ? 9 : 11;
        CopyPlain(m_rep[0], 1);
    }

    // Repeats the match at m_rep[index] (0..3).
    void Rep(unsigned index, unsigned length) {
        unsigned posState = PosState();
        Bit(m_isMatch[m_state * 16 + posState], 1);
        Bit(m_isRep[m_state], 1);
        if (index == 0) {
            Bit(m_isRepG0[m_state], 0);
            Bit(m_isRep0Long[m_state * 16 + posState], 1);
        } else {
            Bit(m_isRepG0[m_state], 1);
            uint32_t distance = m_rep[index];
            if (index == 1) {
                Bit(m_isRepG1[m_state], 0);
            } else {
                Bit(m_isRepG1[m_state], 1);
                Bit(m_isRepG2[m_state], index == 3 ? 1 : 0);
                if (index == 3) m_rep[3] = m_rep[2];
                m_rep[2] = m_rep[1];
            }
            m_rep[1] = m_rep[0];
            m_rep[0] = distance;
        }
        EncodeLength(m_repLen, length - 2, posState);
        m_state = m_state < 7 ? 8 : 11;
        CopyPlain(m_rep[0], length);
    }

    // Header + flushed range-coder bytes. The encoder itself is left as it was,
    // so one stream can be finished with several headers.
    std::string Finish(uint32_t dictionarySize, uint64_t declaredSize) const {
        TestEncoder copy(*this);
        for (int i = 0; i < 5; ++i) copy.ShiftLow();
        std::string file;
        file += char((m_pb * 5 + m_lp) * 9 + m_lc);
        for (int i = 0; i < 4; ++i) file += char(dictionarySize >> (8 * i));
        for (int i = 0; i < 8; ++i) file += char(declaredSize >> (8 * i));
        return file + copy.m_out;
    }

    const std::string& Plain() const { return m_plain; }

private:
    static constexpr uint16_t kInit = 1024;
    struct Len {
        uint16_t choice, choice2;
        std::vector<uint16_t> low, mid, high;
    };

    unsigned PosState() const { return unsigned(m_plain.size()) & ((1u << m_pb) - 1); }

    void CopyPlain(uint32_t distance, unsigned length) {
        // Invalid distances are what some tests are about: then nothing is copied.
        if (distance >= m_plain.size()) return;
        for (unsigned i = 0; i < length; ++i) m_plain += m_plain[m_plain.size() - distance - 1];
    }

    void Bit(uint16_t& prob, unsigned bit) {
        uint32_t bound = (m_range >> 11) * prob;
        if (bit == 0) {
            m_range = bound;
            prob = uint16_t(prob + ((2048 - prob) >> 5));
        } else {
            m_low += bound;
            m_range -= bound;
            prob = uint16_t(prob - (prob >> 5));
        }
        while (m_range < (1u << 24)) {
            m_range <<= 8;
            ShiftLow();
        }
    }
    void Direct(uint32_t value, unsigned count) {
        while (count--) {
            m_range >>= 1;
            if ((value >> count) & 1) m_low += m_range;
            while (m_range < (1u << 24)) {
                m_range <<= 8;
                ShiftLow();
            }
        }
    }
    void ShiftLow() {
        if (uint32_t(m_low) < 0xFF000000u || (m_low >> 32) != 0) {
            uint8_t carry = uint8_t(m_low >> 32);
            uint8_t temp = m_cache;
            do {
                m_out += char(uint8_t(temp + carry));
                temp = 0xFF;
            } while (--m_cacheSize != 0);
            m_cache = uint8_t(m_low >> 24);
        }
        ++m_cacheSize;
        m_low = (m_low & 0x00FFFFFFu) << 8;
    }
    void Tree(uint16_t* probs, unsigned numBits, unsigned symbol) {
        unsigned m = 1;
        for (int i = int(numBits) - 1; i >= 0; --i) {
            unsigned bit = (symbol >> i) & 1;
            Bit(probs[m], bit);
            m = (m << 1) | bit;
        }
    }
    void ReverseTree(uint16_t* probs, unsigned numBits, unsigned symbol) {
        unsigned m = 1;
        for (unsigned i = 0; i < numBits; ++i) {
            unsigned bit = symbol & 1;
            symbol >>= 1;
            Bit(probs[m], bit);
            m = (m << 1) | bit;
        }
    }
    void EncodeLength(Len& len, unsigned value, unsigned posState) {
        if (value < 8) {
            Bit(len.choice, 0);
            Tree(&len.low[posState * 8], 3, value);
        } else if (value < 16) {
            Bit(len.choice, 1);
            Bit(len.choice2, 0);
            Tree(&len.mid[posState * 8], 3, value - 8);
        } else {
            Bit(len.choice, 1);
            Bit(len.choice2, 1);
            Tree(&len.high[0], 8, value - 16);
        }
    }
    void EncodeDistance(uint32_t distance, unsigned length) {
        unsigned lenState = std::min(length, 3u);
        unsigned slot;
        if (distance < 4) {
            slot = distance;
        } else {
            unsigned top = 31;
            while (!(distance >> top)) --top;
            slot = 2 * top + ((distance >> (top - 1)) & 1);
        }
        Tree(&m_posSlot[lenState * 64], 6, slot);
        if (slot < 4) return;
        unsigned numDirect = (slot >> 1) - 1;
        uint32_t base = (2 | (slot & 1)) << numDirect;
        uint32_t reduced = distance - base;
        if (slot < 14) {
            ReverseTree(&m_posSpecial[base - slot], numDirect, reduced);
        } else {
            Direct(reduced >> 4, numDirect - 4);
            ReverseTree(&m_align[0], 4, reduced & 15);
        }
    }

    unsigned m_lc, m_lp, m_pb;
    std::vector<uint16_t> m_literals, m_isMatch, m_isRep, m_isRepG0, m_isRepG1, m_isRepG2, m_isRep0Long;
    std::vector<uint16_t> m_posSlot, m_posSpecial, m_align;
    Len m_len, m_repLen;
    unsigned m_state = 0;
    uint32_t m_rep[4] = {0, 0, 0, 0};
    std::string m_plain;

    uint64_t m_low = 0;
    uint32_t m_range = 0xFFFFFFFFu;
    uint8_t m_cache = 0;
    uint64_t m_cacheSize = 1;
    std::string m_out;
};
