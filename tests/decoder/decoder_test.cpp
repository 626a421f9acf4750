// The decoder library in-process: sample files packed by Python's lzma module
// (written by make_data.py into data/), streams built packet by packet with
// TestEncoder, damaged and truncated input, and a fuzz loop.
#include "decoder/LzmaDecoder.h"
#include "TestEncoder.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

using Lzma::Result;

namespace {

std::string Sample(const std::string& name) {
    std::string content = TestSupport::ReadText("data/" + name);
    if (content.empty() && name.find("empty") != 0)
        ADD_FAILURE() << "sample data/" << name << " missing (made by the decoder_data fixture)";
    return content;
}

// Hands out the input in pieces of varying small size, to exercise every refill boundary.
class DribbleReader : public Lzma::Reader {
public:
    explicit DribbleReader(const std::string& data) : m_data(data) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        size_t n = std::min({capacity, m_data.size() - m_pos, size_t(1 + m_calls++ % 7)});
        std::copy(m_data.begin() + m_pos, m_data.begin() + m_pos + n, buffer);
        m_pos += n;
        return n;
    }

private:
    const std::string& m_data;
    size_t m_pos = 0;
    unsigned m_calls = 0;
};

class FailingReader : public Lzma::Reader {
public:
    explicit FailingReader(const std::string& data, size_t failAt) : m_data(data), m_failAt(failAt) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        if (m_pos >= m_failAt) {
            m_failed = true;
            return 0;
        }
        size_t n = std::min(capacity, m_failAt - m_pos);
        std::copy(m_data.begin() + m_pos, m_data.begin() + m_pos + n, buffer);
        m_pos += n;
        return n;
    }
    bool Failed() const override { return m_failed; }

private:
    const std::string& m_data;
    size_t m_failAt;
    size_t m_pos = 0;
    bool m_failed = false;
};

Result Decode(const std::string& packed, std::string* plain = nullptr, size_t limit = 64u << 20) {
    Lzma::MemoryReader reader(packed.data(), packed.size());
    Lzma::StringWriter writer(limit);
    Result result = Lzma::DecodeLzmaAlone(reader, writer);
    if (plain) *plain = writer.data;
    return result;
}

}  // namespace

TEST(LzmaSamples, DecodeToTheOriginal) {
    const char* names[] = {"empty",     "empty_known", "one",       "text",      "small",     "text_extreme",
                           "mixed",     "mixed_dict4k", "mixed_known", "props_000", "props_402", "props_044",
                           "props_131", "props_310",   "props_223"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string packed = Sample(std::string(name) + ".lzma");
        std::string expected = Sample(std::string(name) + ".bin");
        std::string plain;
        ASSERT_EQ(Decode(packed, &plain), Result::Ok);
        EXPECT_TRUE(plain == expected) << "decoded " << plain.size() << " bytes, expected " << expected.size();

        Lzma::StringWriter writer;
        DribbleReader dribble(packed);
        ASSERT_EQ(Lzma::DecodeLzmaAlone(dribble, writer), Result::Ok);
        EXPECT_TRUE(writer.data == expected);
    }
}

TEST(LzmaSamples, EveryPrefixIsRefused) {
    for (const char* name : {"text.lzma", "small.lzma", "empty.lzma"}) {
        std::string packed = Sample(name);
        for (size_t length = 0; length < packed.size(); ++length) {
            Result r = Decode(packed.substr(0, length));
            EXPECT_TRUE(r == (length < Lzma::kHeaderSize ? Result::BadHeader : Result::Truncated))
                << name << " cut at " << length << ": " << Lzma::ResultText(r);
        }
    }
}

// A changed byte fails, with two exceptions the format itself allows (it has no
// checksum): the dictionary-size field, where another window changes nothing,
// and the coder's first bytes, which carry the first literal almost verbatim.
TEST(LzmaSamples, FlippedBytesAreCaught) {
    for (const char* name : {"text", "small"}) {
        std::string packed = Sample(std::string(name) + ".lzma");
        std::string expected = Sample(std::string(name) + ".bin");
        for (size_t pos = 0; pos < packed.size(); ++pos) {
            for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
                std::string damaged = packed;
                damaged[pos] = char(damaged[pos] ^ mask);
                std::string plain;
                Result r = Decode(damaged, &plain);
                if (r != Result::Ok) continue;
                bool dictionaryField = pos >= 1 && pos <= 4;
                bool firstLiteral = pos >= 14 && pos <= 15;
                EXPECT_TRUE(dictionaryField || firstLiteral)
                    << name << ": flip 0x" << std::hex << int(mask) << " at " << std::dec << pos << " accepted";
                if (dictionaryField) {
                    EXPECT_TRUE(plain == expected) << name << ": flip at " << pos << " gave other data";
                } else {
                    // Same packets, another first byte (copied on by later matches).
                    EXPECT_EQ(plain.size(), expected.size()) << name << ": flip at " << pos;
                    EXPECT_NE(plain.substr(0, 1), expected.substr(0, 1)) << name << ": flip at " << pos;
                }
            }
        }
    }
}

TEST(LzmaSamples, ReadAndWriteFailuresAreReported) {
    std::string packed = Sample("mixed.lzma");
    Lzma::StringWriter writer;
    FailingReader reader(packed, packed.size() / 2);
    EXPECT_EQ(Lzma::DecodeLzmaAlone(reader, writer), Result::ReadError);

    FailingReader headerOnly(packed, 5);
    EXPECT_EQ(Lzma::DecodeLzmaAlone(headerOnly, writer), Result::ReadError);

    std::string plain;
    EXPECT_EQ(Decode(packed, &plain, 100000), Result::WriteError);
    EXPECT_LE(plain.size(), 100000u);
}

TEST(LzmaSamples, TrailingBytesAreRefused) {
    std::string packed = Sample("text.lzma");
    EXPECT_EQ(Decode(packed + '\0'), Result::TrailingData);
    EXPECT_EQ(Decode(packed + packed), Result::TrailingData);
}

TEST(LzmaHeader, Fields) {
    struct Case {
        const char* hex;
        Result result;
        unsigned lc, lp, pb;
        uint32_t dictionary;
        uint64_t size;
    } cases[] = {
        {"5d00008000ffffffffffffffff", Result::Ok, 3, 0, 2, 1u << 23, Lzma::kUnknownSize},
        {"000010000000000000000000ff", Result::Ok, 0, 0, 0, 4096, 0xff00000000000000ull},
        {"e0ffffffff0100000000000000", Result::Ok, 8, 4, 4, 0xffffffffu, 1},
        {"e1000000000000000000000000", Result::BadHeader, 0, 0, 0, 0, 0},
        {"ff000000000000000000000000", Result::BadHeader, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        uint8_t bytes[13];
        for (int i = 0; i < 13; ++i) bytes[i] = uint8_t(std::stoi(std::string(c.hex + 2 * i, 2), nullptr, 16));
        Lzma::Header header;
        ASSERT_EQ(Lzma::ParseHeader(bytes, header), c.result);
        if (c.result != Result::Ok) continue;
        EXPECT_EQ(header.lc, c.lc);
        EXPECT_EQ(header.lp, c.lp);
        EXPECT_EQ(header.pb, c.pb);
        EXPECT_EQ(header.dictionarySize, c.dictionary);
        EXPECT_EQ(header.uncompressedSize, c.size);
    }
}

// Streams built packet by packet.

static void SomeData(TestEncoder& enc) {
    enc.Literals("Orvanta installs the client. ");
    enc.Match(28, 20);           // a long match, right back to the first byte
    enc.Literal('!');            // a matched literal (after a match)
    enc.ShortRep();
    enc.Literals("xyz");
    enc.Rep(0, 5);
    enc.Match(3, 2);             // rep0..rep3 now all differ
    enc.Rep(2, 4);
    enc.Rep(3, 3);
    enc.Rep(1, 273);             // the longest length
    enc.Match(40, 17);           // a length from the "high" table
    enc.Match(60, 10);           // a length from the "mid" table
}

TEST(LzmaStreams, KnownSizeWithAndWithoutEndMarker) {
    for (bool marker : {false, true}) {
        TestEncoder enc;
        SomeData(enc);
        if (marker) enc.EndMarker();
        std::string plain;
        ASSERT_EQ(Decode(enc.Finish(1 << 16, enc.Plain().size()), &plain), Result::Ok) << "marker " << marker;
        EXPECT_EQ(plain, enc.Plain());
    }
    TestEncoder enc;
    SomeData(enc);
    std::string noMarker = enc.Finish(1 << 16, TestEncoder::kUnknown);
    EXPECT_EQ(Decode(noMarker), Result::Truncated) << "an unknown size needs the end marker";
}

TEST(LzmaStreams, ExtremeLiteralContexts) {
    for (unsigned lc : {0u, 8u}) {
        for (unsigned lp : {0u, 4u}) {
            TestEncoder enc(lc, lp, 4);
            for (int i = 0; i < 3000; ++i) enc.Literal(uint8_t(i * 7 + (i >> 5)));
            enc.Match(1000, 100);
            enc.Literal(0x55);
            enc.EndMarker();
            std::string plain;
            ASSERT_EQ(Decode(enc.Finish(1 << 20, TestEncoder::kUnknown), &plain), Result::Ok) << lc << "/" << lp;
            EXPECT_EQ(plain, enc.Plain());
        }
    }
}

TEST(LzmaStreams, LongDistancesThroughAWrappingWindow) {
    // Distances decoded with direct bits and the align table, in a 4 KiB window
    // that wraps many times; one past the window is refused.
    TestEncoder enc;
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) enc.Literal(uint8_t(rng()));
    for (uint32_t distance : {4095u, 3000u, 2047u, 200u, 129u, 128u, 127u, 64u, 5u, 4u}) enc.Match(distance, 30);
    enc.EndMarker();
    std::string plain;
    ASSERT_EQ(Decode(enc.Finish(4096, TestEncoder::kUnknown), &plain), Result::Ok);
    EXPECT_EQ(plain, enc.Plain());

    TestEncoder distant;
    for (int i = 0; i < 20000; ++i) distant.Literal(uint8_t(i));
    distant.Match(4096, 30);
    distant.EndMarker();
    EXPECT_EQ(Decode(distant.Finish(4096, TestEncoder::kUnknown)), Result::CorruptData);
    // The same stream is fine with a window large enough.
    EXPECT_EQ(Decode(distant.Finish(8192, TestEncoder::kUnknown)), Result::Ok);
}

TEST(LzmaStreams, DistancesBeyondTheDecodedDataAreRefused) {
    struct Case {
        const char* what;
        void (*build)(TestEncoder&);
        Result result;
    } cases[] = {
        {"match to the first byte", [](TestEncoder& e) { e.Literals("abcd"); e.Match(3, 4); }, Result::Ok},
        {"match before the start", [](TestEncoder& e) { e.Literals("abcd"); e.Match(4, 4); }, Result::CorruptData},
        {"match at position 0", [](TestEncoder& e) { e.Match(0, 2); }, Result::CorruptData},
        {"rep at position 0", [](TestEncoder& e) { e.Rep(0, 2); }, Result::CorruptData},
        {"short rep at position 0", [](TestEncoder& e) { e.ShortRep(); }, Result::CorruptData},
        {"rep1 still holding its initial zero", [](TestEncoder& e) { e.Literal('a'); e.Match(0, 3); e.Rep(1, 2); }, Result::Ok},
        {"huge distance", [](TestEncoder& e) { e.Literals("abc"); e.Match(0x7FFFFFFFu, 2); }, Result::CorruptData},
    };
    for (const Case& c : cases) {
        TestEncoder enc;
        c.build(enc);
        enc.EndMarker();
        EXPECT_EQ(Decode(enc.Finish(1 << 16, TestEncoder::kUnknown)), c.result) << c.what;
    }
}

TEST(LzmaStreams, SizeMismatchesAreRefused) {
    auto build = [](uint64_t declared, bool marker, int literals) {
        TestEncoder enc;
        for (int i = 0; i < literals; ++i) enc.Literal(uint8_t('a' + i));
        if (marker) enc.EndMarker();
        return enc.Finish(1 << 16, declared);
    };
    EXPECT_EQ(Decode(build(10, true, 10)), Result::Ok);
    EXPECT_EQ(Decode(build(11, true, 10)), Result::SizeMismatch) << "marker before the declared size";
    EXPECT_NE(Decode(build(9, true, 10)), Result::Ok) << "more data than declared";
    EXPECT_NE(Decode(build(9, false, 10)), Result::Ok) << "more data than declared, no marker";
    EXPECT_EQ(Decode(build(11, false, 10)), Result::Truncated) << "stream ends before the declared size";

    TestEncoder enc;
    enc.Literals("abcdef");
    enc.Match(5, 10);  // would end 4 bytes past the declared 12
    enc.EndMarker();
    std::string plain;
    EXPECT_EQ(Decode(enc.Finish(1 << 16, 12), &plain), Result::SizeMismatch);
    EXPECT_LE(plain.size(), 12u);
}

TEST(LzmaStreams, DamagedRangeCoderBytes) {
    TestEncoder enc;
    SomeData(enc);
    enc.EndMarker();
    std::string good = enc.Finish(1 << 16, TestEncoder::kUnknown);
    ASSERT_EQ(Decode(good), Result::Ok);

    std::string badFirst = good;
    badFirst[13] = 1;  // the coder's first byte is always zero
    EXPECT_EQ(Decode(badFirst), Result::CorruptData);
    std::string badLast = good;
    badLast.back() = char(badLast.back() ^ 1);  // the coder must end exactly at zero
    EXPECT_EQ(Decode(badLast), Result::CorruptData);
}

TEST(LzmaStreams, WindowLimits) {
    // A 4 GiB dictionary is refused when the size is unknown, yet fine when the
    // declared size shows the window can stay small.
    TestEncoder enc;
    enc.Literals("tiny");
    enc.EndMarker();
    EXPECT_EQ(Decode(enc.Finish(0xFFFFFFFFu, TestEncoder::kUnknown)), Result::DictionaryTooLarge);
    std::string plain;
    EXPECT_EQ(Decode(enc.Finish(0xFFFFFFFFu, 4), &plain), Result::Ok);
    EXPECT_EQ(plain, "tiny");
    EXPECT_EQ(Decode(enc.Finish(Lzma::kMaxDictionarySize, TestEncoder::kUnknown)), Result::Ok);
    EXPECT_EQ(Decode(enc.Finish(0, TestEncoder::kUnknown)), Result::Ok) << "below 4 KiB counts as 4 KiB";
}

// Random damage to a real stream must never crash, hang or write out of bounds,
// and whatever is accepted must be the original data.
TEST(LzmaFuzz, MutatedStreams) {
    const std::string packed = Sample("small.lzma");
    const std::string expected = Sample("small.bin");
    ASSERT_FALSE(packed.empty());
    std::mt19937 rng(12345);
    int accepted = 0, refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string input = packed;
        int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits && input.size() > 14; ++e) {
            size_t pos = 13 + rng() % (input.size() - 13);
            switch (rng() % 5) {
            case 0: input[pos] = char(rng()); break;
            case 1: input[pos] = char(input[pos] ^ (1 << (rng() % 8))); break;
            case 2: input.insert(input.begin() + pos, char(rng())); break;
            case 3: input.erase(pos, 1 + rng() % 8); break;
            default: input.replace(pos, std::min<size_t>(4, input.size() - pos), "\xff\x00\xff\x00", 4); break;
            }
        }
        std::string plain;
        Result r = Decode(input, &plain, 16u << 20);
        if (r == Result::Ok) {
            ++accepted;
            EXPECT_TRUE(plain == expected) << "round " << round << " accepted other data";
        } else {
            ++refused;
        }
    }
    EXPECT_GT(refused, 2900);
    std::printf("fuzz: %d refused, %d accepted unchanged\n", refused, accepted);

    // Random headers in front of the real body: any declared size is honoured.
    for (int round = 0; round < 1000; ++round) {
        std::string input = packed;
        for (int i = 0; i < 13; ++i) input[i] = char(rng());
        if (round % 2) input[0] = char(rng() % 225);
        if (round % 3 == 0) input.replace(5, 8, std::string(8, '\0')).replace(5, 1, 1, char(rng()));
        std::string plain;
        Result r = Decode(input, &plain, 16u << 20);
        Lzma::Header header;
        if (r == Result::Ok && Lzma::ParseHeader(reinterpret_cast<const uint8_t*>(input.data()), header) == Result::Ok &&
            header.uncompressedSize != Lzma::kUnknownSize) {
            EXPECT_EQ(plain.size(), header.uncompressedSize) << "round " << round;
        }
    }
}
