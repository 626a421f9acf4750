// SHA-512, SHA-256 and Ed25519 verification: RFC 8032's vectors, hashlib's digests and
// openssl's signatures made for this run (data/, written by make_signatures.py),
// every flipped bit of them, and the encodings a strict verifier must refuse.
#include "utils/crypto/Ed25519.h"
#include "utils/crypto/Sha256.h"
#include "utils/crypto/Sha512.h"

#include <gtest/gtest.h>

#include <random>

#include "crypto/HexBytes.h"

using namespace Utils::Crypto;
using CryptoTest::Bytes;
using CryptoTest::FromHex;
using CryptoTest::ReadRecords;
using CryptoTest::ToHex;

namespace {

std::string Sha512Hex(const Bytes& message) {
    uint8_t digest[Sha512::kDigestSize];
    Sha512::Digest(message.data(), message.size(), digest);
    return ToHex(digest, sizeof(digest));
}

bool Verify(const Bytes& key, const Bytes& message, const Bytes& signature) {
    return Ed25519Verify(signature.data(), message.data(), message.size(), key.data());
}

std::vector<std::vector<std::string>> Data(const std::string& name, size_t atLeast) {
    auto records = ReadRecords("data/" + name);
    EXPECT_GE(records.size(), atLeast) << "data/" << name << " (made by the crypto_data fixture)";
    return records;
}

// RFC 8032 section 7.1, TEST 1 to 3: public key, message, signature.
const char* const kRfcVectors[][3] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "-",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

const char kOrderHex[] = "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010";  // L

// S + L, little-endian: the same point equation, a second spelling of S.
Bytes WithSPlusOrder(Bytes signature) {
    Bytes order = FromHex(kOrderHex);
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        unsigned sum = signature[32 + i] + order[i] + carry;
        signature[32 + i] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
    return signature;
}

} // namespace

TEST(Sha512, KnownDigestsAndHashlib) {
    EXPECT_EQ(Sha512Hex(Bytes{'a', 'b', 'c'}),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    for (const auto& record : Data("sha512.txt", 300)) {
        Bytes message = FromHex(record[0]);
        EXPECT_EQ(Sha512Hex(message), record[1]) << "length " << message.size();
    }
}

// SHA-256's known digests and uneven pieces are tested with the patch tools.
// Both the processor's SHA instructions (where it has them) and the portable code.
TEST(Sha256, Hashlib) {
    const auto records = Data("sha512.txt", 300);
    for (bool hardware : {true, false}) {
        SCOPED_TRACE(hardware ? "SHA instructions allowed" : "portable code");
        Sha256::AllowShaExtensions(hardware);
        for (const auto& record : records) {
            Bytes message = FromHex(record[0]);
            uint8_t digest[Sha256::kDigestSize];
            Sha256::Digest(message.data(), message.size(), digest);
            ASSERT_EQ(3u, record.size());
            EXPECT_EQ(ToHex(digest, sizeof(digest)), record[2]) << "length " << message.size();
        }
    }
    Sha256::AllowShaExtensions(true);
}

TEST(Sha512, AnySplitGivesTheSameDigest) {
    Bytes message(1000);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 7 + 3);
    std::string whole = Sha512Hex(message);
    for (size_t piece : {1, 7, 127, 128, 129, 999}) {
        Sha512 hash;
        for (size_t at = 0; at < message.size(); at += piece)
            hash.Update(message.data() + at, std::min(piece, message.size() - at));
        uint8_t digest[Sha512::kDigestSize];
        hash.Final(digest);
        EXPECT_EQ(ToHex(digest, sizeof(digest)), whole) << "pieces of " << piece;
    }
}

// Valid signatures verify; with any one bit of message, signature or key flipped they do not.
TEST(Ed25519, RfcVectorsAndOpensslSignaturesAndTheirFlippedBits) {
    std::vector<std::vector<std::string>> records;
    for (const auto& vector : kRfcVectors) records.push_back({vector[0], vector[1], vector[2]});
    auto made = Data("signatures.txt", 1000);
    records.insert(records.end(), made.begin(), made.end());

    std::mt19937 random(12);
    size_t empty = 0;
    for (const auto& record : records) {
        Bytes key = FromHex(record[0]), message = FromHex(record[1]), signature = FromHex(record[2]);
        ASSERT_EQ(key.size(), 32u);
        ASSERT_EQ(signature.size(), 64u);
        empty += message.empty();
        EXPECT_TRUE(Verify(key, message, signature)) << record[0] << " " << record[2];

        auto flip = [&random](Bytes bytes) {
            size_t bit = random() % (bytes.size() * 8);
            bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            return bytes;
        };
        if (!message.empty()) {
            EXPECT_FALSE(Verify(key, flip(message), signature)) << "message bit, " << record[2];
        }
        EXPECT_FALSE(Verify(key, message, flip(signature))) << "signature bit, " << record[2];
        EXPECT_FALSE(Verify(flip(key), message, signature)) << "key bit, " << record[2];
    }
    EXPECT_GE(empty, 2u);
}

// Made with a known secret: R is the neutral point and the equation holds,
// so only the encoding of R decides.
TEST(Ed25519, NeutralRAcceptedOnlyInItsCanonicalSpelling) {
    for (const auto& record : Data("crafted.txt", 12)) {
        EXPECT_EQ(Verify(FromHex(record[2]), FromHex(record[3]), FromHex(record[4])), record[0] == "accept")
            << record[1];
    }
}

// The Wycheproof vectors: a signature of any length but 64 bytes is refused
// before the verifier sees it, as the manifest's signature line is.
TEST(Ed25519, WycheproofVectors) {
    size_t valid = 0;
    for (const auto& record : Data("wycheproof.txt", 151)) {
        ASSERT_EQ(record.size(), 5u);
        Bytes key = FromHex(record[2]), message = FromHex(record[3]), signature = FromHex(record[4]);
        ASSERT_EQ(key.size(), 32u) << record[1];
        const bool accepted = signature.size() == 64 && Verify(key, message, signature);
        EXPECT_EQ(accepted, record[0] == "valid") << "tcId " << record[1];
        valid += record[0] == "valid";
    }
    EXPECT_EQ(valid, 88u);
}

TEST(Ed25519, NonCanonicalS) {
    Bytes key = FromHex(kRfcVectors[2][0]), message = FromHex(kRfcVectors[2][1]);
    Bytes signature = FromHex(kRfcVectors[2][2]);
    Bytes withOrder = signature, allOnes = signature;
    std::copy_n(FromHex(kOrderHex).begin(), 32, withOrder.begin() + 32);
    std::fill(allOnes.begin() + 32, allOnes.end(), 0xff);
    Bytes plusOrder = WithSPlusOrder(signature);
    for (const Bytes* bad : {&plusOrder, &withOrder, &allOnes}) {
        EXPECT_FALSE(Verify(key, message, *bad));
        EXPECT_FALSE(Ed25519SignatureIsWellFormed(bad->data()));
    }
    EXPECT_TRUE(Ed25519SignatureIsWellFormed(signature.data()));
}

// Keys and R follow the same encoding rules; keys must also not be of small order.
TEST(Ed25519, KeyAndPointEncodings) {
    enum Kind { kUsable, kSmallOrder, kNotAPoint };
    struct Case {
        const char* name;
        const char* encoding;
        Kind kind;
    };
    const Case cases[] = {
        {"RFC key", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", kUsable},
        {"y = 3", "0300000000000000000000000000000000000000000000000000000000000000", kUsable},
        {"y = 3 + p", "f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", kNotAPoint},
        {"y = 2, not on the curve", "0200000000000000000000000000000000000000000000000000000000000000", kNotAPoint},
        {"y = p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", kNotAPoint},
        {"y = 2^255 - 1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", kNotAPoint},
        // The eight points of small order...
        {"neutral", "0100000000000000000000000000000000000000000000000000000000000000", kSmallOrder},
        {"order 2", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", kSmallOrder},
        {"order 4", "0000000000000000000000000000000000000000000000000000000000000000", kSmallOrder},
        {"order 4, odd x", "0000000000000000000000000000000000000000000000000000000000000080", kSmallOrder},
        {"order 8 a", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", kSmallOrder},
        {"order 8 b", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", kSmallOrder},
        {"order 8 c", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", kSmallOrder},
        {"order 8 d", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", kSmallOrder},
        // ... and their other spellings: y >= p, x = 0 with the sign bit.
        {"neutral, y + p", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", kNotAPoint},
        {"neutral, y + p, sign", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", kNotAPoint},
        {"neutral, sign", "0100000000000000000000000000000000000000000000000000000000000080", kNotAPoint},
        {"order 2, sign", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", kNotAPoint},
        {"order 4, y = p, sign", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", kNotAPoint},
    };
    // R = neutral and S = 0 satisfy [S]B = R + [k]A whenever [k]A is neutral: a
    // small-order key would accept this for many messages, the neutral key for all.
    Bytes forgery = FromHex(cases[6].encoding);
    forgery.resize(64, 0);
    Bytes message = {'o', 'r', 'v'};
    for (const Case& c : cases) {
        Bytes encoding = FromHex(c.encoding);
        EXPECT_EQ(Ed25519PublicKeyIsUsable(encoding.data()), c.kind == kUsable) << c.name;
        if (c.kind != kUsable) {
            EXPECT_FALSE(Verify(encoding, message, forgery)) << c.name;
        }
        // As R (small-order R is allowed, as in RFC 8032), with a valid S.
        Bytes signature = FromHex(kRfcVectors[0][2]);
        std::copy(encoding.begin(), encoding.end(), signature.begin());
        EXPECT_EQ(Ed25519SignatureIsWellFormed(signature.data()), c.kind != kNotAPoint) << c.name;
    }
}
