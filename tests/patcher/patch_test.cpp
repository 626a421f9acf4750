// The patch core in-process: SHA-256 vectors; round trips of the maker and the
// operation interpreter over a table of edits; the real compressed patches made
// by the release machine's vpatch (data/, written by make_data.py); damaged,
// truncated and wrong-base patches; and fuzzing of both the compressed patch
// and the bare operation stream.
#include "patcher/PatchApply.h"
#include "patcher/PatchMake.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using Patch::ApplyResult;

namespace {

std::string Bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(rng());
    return s;
}

// Records, noise and repeated pieces, as game data files hold them.
std::string GameLike(std::mt19937& rng, size_t size) {
    std::string out, asset = Bytes(rng, 1500);
    while (out.size() < size) {
        unsigned kind = rng() % 10;
        if (kind < 5) {
            for (unsigned i = 0, n = 10 + rng() % 100; i < n; ++i)
                out += "ITEM" + std::to_string(rng() % 100000) + std::string(12, char(rng() % 4)) + Bytes(rng, 4);
        } else if (kind < 8) {
            out += Bytes(rng, 100 + rng() % 4000);
        } else {
            out += asset;
        }
    }
    out.resize(size);
    return out;
}

std::string Sha(const std::string& data) {
    Patch::Sha256 sha;
    sha.Update(data.data(), data.size());
    uint8_t digest[32];
    sha.Final(digest);
    return Patch::HexDigest(digest);
}

struct Made {
    std::string ops;
    Patch::Header header;
    Patch::MakeStats stats;
};

// maxSorted 0: the streamed block-index way, whatever the sizes.
Made MakeOps(const std::string& old, const std::string& now, uint64_t maxSorted = Patch::kMaxSortedSize) {
    Made made;
    Patch::MemorySource source(old.data(), old.size());
    Lzma::MemoryReader reader(now.data(), now.size());
    Lzma::StringWriter writer;
    std::string detail;
    EXPECT_TRUE(Patch::MakeOps(source, reader, writer, made.header, made.stats, detail, maxSorted)) << detail;
    made.ops = writer.data;
    return made;
}

// Feeds an operation stream in pieces of 1..step bytes; returns the result and the output.
ApplyResult RunOps(const std::string& old, const std::string& ops, uint64_t newSize, std::string& out,
                   size_t step = SIZE_MAX) {
    Patch::MemorySource source(old.data(), old.size());
    Lzma::StringWriter writer(64u << 20);
    Patch::OpApplier applier(source, writer, newSize);
    std::mt19937 rng(7);
    for (size_t at = 0; at < ops.size();) {
        size_t n = std::min(ops.size() - at, step == SIZE_MAX ? ops.size() : 1 + rng() % step);
        if (!applier.Write(reinterpret_cast<const uint8_t*>(ops.data()) + at, n)) break;
        at += n;
    }
    uint8_t digest[32];
    ApplyResult result = applier.Finish(digest);
    out = writer.data;
    return result;
}

ApplyResult ApplyPatch(const std::string& old, const std::string& patch, std::string& out,
                       uint64_t expectedSize = Patch::kAnySize) {
    Patch::MemorySource source(old.data(), old.size());
    Lzma::MemoryReader reader(patch.data(), patch.size());
    Lzma::StringWriter writer(64u << 20);
    std::string detail;
    ApplyResult result = Patch::ApplyPatch(source, reader, writer, detail, expectedSize);
    out = writer.data;
    return result;
}

// Counts what the applier reads from the old file.
class CountingSource : public Patch::MemorySource {
public:
    using MemorySource::MemorySource;
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override {
        ++reads;
        bytes += size;
        return MemorySource::ReadAt(offset, buffer, size);
    }
    uint64_t reads = 0, bytes = 0;
};

// One copy (or diff with `delta` added to every byte) of `length` old bytes at `from`,
// appended to `ops`; `at` is the old position, moved as the applier moves it.
void PutCopy(std::string& ops, uint64_t& at, uint64_t from, uint64_t length, int delta = -1) {
    uint8_t field[10];
    ops += char(delta < 0 ? Patch::kOpCopy : Patch::kOpDiff);
    ops.append(reinterpret_cast<char*>(field), Patch::PutVarint(Patch::ZigZag(int64_t(from) - int64_t(at)), field));
    ops.append(reinterpret_cast<char*>(field), Patch::PutVarint(length, field));
    if (delta >= 0) ops.append(size_t(length), char(delta));
    at = from + length;
}

std::string Data(const std::string& name) {
    std::string content = TestSupport::ReadText("data/" + name);
    if (content.empty() && name != "empty.bin") ADD_FAILURE() << "data/" << name << " missing (patch_data fixture)";
    return content;
}

}  // namespace

TEST(Sha256, KnownDigests) {
    struct Case {
        std::string input, digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sha(c.input), c.digest) << c.input.size() << " bytes";
        Patch::Sha256 pieces;  // the same in uneven pieces
        for (size_t at = 0, step = 1; at < c.input.size(); at += step, step = step * 3 % 97 + 1)
            pieces.Update(c.input.data() + at, std::min(step, c.input.size() - at));
        uint8_t digest[32];
        pieces.Final(digest);
        EXPECT_EQ(Patch::HexDigest(digest), c.digest);
    }
}

// Each case bounds the new bytes the patch may carry (added plus differences):
// moved content must be found again, not carried.
TEST(PatchRoundTrip, Table) {
    std::mt19937 rng(42);
    const std::string base = GameLike(rng, 300000), insert = Bytes(rng, 3000);
    std::string edited = base;
    for (int i = 0; i < 40; ++i) {
        std::string change = Bytes(rng, 1 + rng() % 8);
        edited.replace(rng() % (edited.size() - 8), change.size(), change);
    }
    const size_t mid = base.size() / 2;
    struct Case {
        const char* name;
        std::string old, now;
        uint64_t maxCarried;
    } cases[] = {
        {"changed in place", base, edited, 40 * 8 * 4},
        {"inserted at the start", base, insert + base, 3000 + 128},
        {"inserted in the middle", base, base.substr(0, mid) + insert + base.substr(mid), 3000 + 128},
        {"inserted at the end", base, base + insert, 3000 + 128},
        {"deleted at the start", base, base.substr(3000), 128},
        {"deleted in the middle", base, base.substr(0, mid) + base.substr(mid + 3000), 128},
        {"deleted at the end", base, base.substr(0, base.size() - 3000), 128},
        {"halves swapped", base, base.substr(mid) + base.substr(0, mid), 128},
        {"identical", base, base, 0},
        {"empty old", "", base, base.size()},
        {"empty new", base, "", 0},
        {"both empty", "", "", 0},
        {"one byte", "x", "y", 1},
        {"random", Bytes(rng, 50000), Bytes(rng, 60000), 60000},
    };
    for (const Case& c : cases) {
        for (uint64_t maxSorted : {Patch::kMaxSortedSize, uint64_t(0)}) {
            SCOPED_TRACE(std::string(c.name) + (maxSorted ? ", sorted" : ", streamed"));
            Made made = MakeOps(c.old, c.now, maxSorted);
            EXPECT_EQ(made.header.oldSize, c.old.size());
            EXPECT_EQ(made.header.newSize, c.now.size());
            EXPECT_EQ(Patch::HexDigest(made.header.oldDigest), Sha(c.old));
            EXPECT_EQ(Patch::HexDigest(made.header.newDigest), Sha(c.now));
            EXPECT_LE(made.stats.added + made.stats.diffed, c.maxCarried)
                << "added " << made.stats.added << ", differences " << made.stats.diffed;
            for (size_t step : {SIZE_MAX, size_t(7)}) {
                std::string out;
                ASSERT_EQ(RunOps(c.old, made.ops, c.now.size(), out, step), ApplyResult::Ok) << "step " << step;
                EXPECT_TRUE(out == c.now) << "step " << step;
            }
        }
    }
}

// Code after bytes were inserted: the inserted bytes, and every address
// pointing past them moved, so no stretch longer than a few bytes stays
// exact. The whole file must still be one alignment of small differences on
// each side of the insertion, not a trail of short matches and additions.
TEST(PatchRoundTrip, MovedAddressesStayOneAlignment) {
    std::mt19937 rng(5);
    const uint32_t size = 200000, at = size / 3, moved = 64;
    std::string old, now;
    for (uint32_t pos = 0; pos < size; pos += 8) {
        uint32_t target = rng() % size, opcode = 0x8B48 + rng() % 6;
        for (uint32_t shift : {0u, moved}) {
            std::string& file = shift ? now : old;
            if (shift && pos == at) file += Bytes(rng, moved);
            uint32_t address = target + (target >= at ? shift : 0);
            file.append(reinterpret_cast<const char*>(&opcode), 4);
            file.append(reinterpret_cast<const char*>(&address), 4);
        }
    }
    Made made = MakeOps(old, now);
    EXPECT_LE(made.stats.added, 2 * moved);
    EXPECT_LE(made.stats.ops, 8u);
    std::string out;
    ASSERT_EQ(RunOps(old, made.ops, now.size(), out), ApplyResult::Ok);
    EXPECT_TRUE(out == now);
}

// Patches made by the release machine's vpatch: compressed, with their header.
TEST(PatchFiles, ApplyAndRefuse) {
    const std::string base = Data("base.bin"), changed = Data("changed.bin"), patch = Data("changed.vpatch");
    std::string out;
    ASSERT_EQ(ApplyPatch(base, patch, out), ApplyResult::Ok);
    EXPECT_TRUE(out == changed);
    ASSERT_EQ(ApplyPatch(base, Data("to_empty.vpatch"), out), ApplyResult::Ok);
    EXPECT_EQ(out, "");
    ASSERT_EQ(ApplyPatch("", Data("from_empty.vpatch"), out), ApplyResult::Ok);
    EXPECT_TRUE(out == Data("small.bin"));

    EXPECT_EQ(ApplyPatch(Data("other.bin"), patch, out), ApplyResult::WrongBase);
    EXPECT_EQ(out, "") << "nothing is written before the base checked out";
    // The size the caller expects, and any other: refused before a byte is written.
    ASSERT_EQ(ApplyPatch(base, patch, out, changed.size()), ApplyResult::Ok);
    EXPECT_TRUE(out == changed);
    for (uint64_t size : {uint64_t(0), uint64_t(changed.size() - 1), uint64_t(changed.size() + 1)}) {
        EXPECT_EQ(ApplyPatch(base, patch, out, size), ApplyResult::WrongSize) << size;
        EXPECT_EQ(out, "") << size;
    }
    EXPECT_EQ(ApplyPatch(base + "x", patch, out), ApplyResult::WrongBase);
    EXPECT_EQ(ApplyPatch(base, base, out), ApplyResult::Damaged);
    for (size_t length : {size_t(0), size_t(50), Patch::kHeaderSize, Patch::kHeaderSize + 13, patch.size() - 1})
        EXPECT_EQ(ApplyPatch(base, patch.substr(0, length), out), ApplyResult::Damaged) << "cut at " << length;
    EXPECT_EQ(ApplyPatch(base, patch + "x", out), ApplyResult::Damaged);

    // A header that is whole but names another result: the result's digest decides.
    Patch::Header header;
    ASSERT_EQ(Patch::ReadHeader(reinterpret_cast<const uint8_t*>(patch.data()), header), Patch::HeaderResult::Ok);
    header.newDigest[0] ^= 1;
    std::string forged = patch;
    Patch::WriteHeader(header, reinterpret_cast<uint8_t*>(&forged[0]));
    EXPECT_EQ(ApplyPatch(base, forged, out), ApplyResult::DigestMismatch);
    forged[20] ^= 1;  // without a matching CRC the header counts as damaged
    EXPECT_EQ(ApplyPatch(base, forged, out), ApplyResult::Damaged);
}

// Mutated patches never crash the applier, never write more than the header
// allows, and are accepted only when they still give the right result.
TEST(PatchFuzz, MutatedPatchesAndOperationStreams) {
    const std::string base = Data("base.bin"), changed = Data("changed.bin"), patch = Data("changed.vpatch");
    ASSERT_GT(patch.size(), Patch::kHeaderSize + 100);
    std::mt19937 rng(12345);
    auto mutate = [&](std::string input, size_t from) {
        for (int e = 0, edits = 1 + int(rng() % 4); e < edits && input.size() > from + 1; ++e) {
            size_t pos = from + rng() % (input.size() - from);
            switch (rng() % 4) {
            case 0: input[pos] = char(rng()); break;
            case 1: input[pos] = char(input[pos] ^ (1 << (rng() % 8))); break;
            case 2: input.insert(input.begin() + pos, char(rng())); break;
            default: input.erase(pos, 1 + rng() % 8); break;
            }
        }
        return input;
    };
    int refused = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string out;
        ApplyResult r = ApplyPatch(base, mutate(patch, round % 10 ? Patch::kHeaderSize : 0), out);
        EXPECT_LE(out.size(), changed.size());
        if (r == ApplyResult::Ok)
            EXPECT_TRUE(out == changed) << "round " << round;
        else
            ++refused;
    }
    EXPECT_GT(refused, 1900);

    // The bare operation stream, where every mutation reaches the interpreter.
    const Made made = MakeOps(base, changed);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string out;
        ApplyResult r = RunOps(base, mutate(made.ops, 0), changed.size(), out, round % 2 ? 5 : SIZE_MAX);
        EXPECT_LE(out.size(), changed.size());
        if (r == ApplyResult::Ok) {
            EXPECT_EQ(out.size(), changed.size());
            ++accepted;
        } else {
            EXPECT_EQ(r, ApplyResult::Damaged);
        }
    }
    std::printf("operation stream fuzz: %d of 3000 accepted (caught by the digest in a whole patch)\n", accepted);
}

// Operations that jump back and forth over the old file read each block of it
// about once, not a fresh window per jump (a refilled 1 MiB window made building
// 28 MB read 14 GiB).
TEST(PatchReads, JumpingOperationsReadEachOldBlockOnce) {
    std::mt19937 rng(99);
    const std::string old = Bytes(rng, 8u << 20);
    const uint64_t block = Patch::OpApplier::kBlockSize;
    struct Case {
        const char* name;
        uint64_t piece;   // bytes per operation
        uint64_t stride;  // how far the next operation's source moves on
        uint64_t back;    // and how far each second one steps back
        bool diff;
    };
    const Case cases[] = {
        {"forward in small copies", 700, 700, 0, false},
        {"small steps back", 3000, 2600, 5000, false},
        {"two regions interleaved", 1500, 1500, 3u << 20, false},
        {"small diffs stepping back", 900, 800, 1200, true},
        {"copies of a few blocks", 3 * block / 2, 3 * block / 2, 64, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string ops, expected;
        uint64_t at = 0, cursor = 4096;
        for (int i = 0; cursor + c.piece + c.back < old.size() && expected.size() < (4u << 20); ++i) {
            uint64_t from = (i % 2 && c.back <= cursor) ? cursor - c.back : cursor;
            PutCopy(ops, at, from, c.piece, c.diff ? 3 : -1);
            std::string piece = old.substr(size_t(from), size_t(c.piece));
            if (c.diff)
                for (char& ch : piece) ch = char(uint8_t(ch) + 3);
            expected += piece;
            cursor += c.stride;
        }
        ops += char(Patch::kOpEnd);

        CountingSource source(old.data(), old.size());
        Lzma::StringWriter writer(64u << 20);
        Patch::OpApplier applier(source, writer, expected.size());
        for (size_t piece = 0; piece < ops.size(); piece += 4099)
            ASSERT_TRUE(applier.Write(reinterpret_cast<const uint8_t*>(ops.data()) + piece,
                                      std::min<size_t>(4099, ops.size() - piece)));
        uint8_t digest[32];
        ASSERT_EQ(applier.Finish(digest), ApplyResult::Ok);
        EXPECT_TRUE(writer.data == expected);
        // The old span the operations touch, plus a block at each end and at each
        // far jump; a window refilled per jump reads a hundred times more.
        const uint64_t bound = 2 * (cursor + c.piece) + 4 * block;
        EXPECT_LE(source.bytes, bound) << source.reads << " reads";
        std::printf("%-28s %7zu bytes made, %8llu read in %5llu reads\n", c.name, expected.size(),
                    (unsigned long long)source.bytes, (unsigned long long)source.reads);
    }
}
