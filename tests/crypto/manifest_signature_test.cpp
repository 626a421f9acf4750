// The signed manifest's wire format and the key list setting. Bodies are signed
// with RFC 8032's TEST 1 key; the signatures were made once with
// python3-cryptography and are copied here.
#include "engine/ManifestSignature.h"

#include <gtest/gtest.h>

#include "crypto/HexBytes.h"
#include "orvanta_config.h"

using ManifestSignature::KeyList;
using ManifestSignature::KeyListError;
using ManifestSignature::Status;

namespace {

const char kKey[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";       // TEST 1
const char kOtherKey[] = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";  // TEST 2

const std::string kBody =
    "[GENERAL]\r\nBRAND_NAME=Halvenor\r\nFILE_DIGEST=SHA256\r\n[PRODUCT_REG]\r\nLastUpdateDate=20260101000000\r\n";
const std::string kSig =
    "aef15f25c51fe6096f0794b2edaa32587c648f16ee4bb3da1d759c78cab18db62c90f54deceb686c4361cba33584808a3a2cdfdc46cc84b73fda63837ade7003";
const std::string kBodyLf =
    "[GENERAL]\nBRAND_NAME=Halvenor\nFILE_DIGEST=SHA256\n[PRODUCT_REG]\nLastUpdateDate=20260101000000\n";
const std::string kSigLf =
    "7fe1cd35d1512de32ab76e5e7a274899caea8daf409e5317980e66f8eb30dc0ede8d786711828945be1ac80a2130534321f40e9307fce906016b20fda0209c05";
// TEST 1's signature of the empty message.
const std::string kSigEmpty =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b";

std::string Line(const std::string& hex) { return ";signature=ed25519:" + hex; }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

KeyList Keys(const std::string& text) {
    KeyList keys;
    EXPECT_EQ(ManifestSignature::ParseKeyList(text, &keys), KeyListError::None) << text;
    return keys;
}

} // namespace

TEST(ManifestSignature, WireFormat) {
    const std::string one = kKey, both = std::string(kOtherKey) + "," + kKey, other = kOtherKey;
    std::string changed = kBody;
    changed[changed.find("Halvenor")] = 'h';
    struct Case {
        const char* name;
        std::string manifest;
        std::string keys;
        Status status;
        size_t bodySize;  // checked for Ok
    };
    const Case cases[] = {
        {"CRLF after the line", kBody + Line(kSig) + "\r\n", one, Status::Ok, kBody.size()},
        {"LF after the line", kBody + Line(kSig) + "\n", one, Status::Ok, kBody.size()},
        {"no final break", kBody + Line(kSig), one, Status::Ok, kBody.size()},
        {"upper-case hex", kBody + Line(Upper(kSig)) + "\r\n", one, Status::Ok, kBody.size()},
        {"LF manifest", kBodyLf + Line(kSigLf) + "\n", one, Status::Ok, kBodyLf.size()},
        {"empty body", Line(kSigEmpty) + "\r\n", one, Status::Ok, 0},
        {"second key verifies", kBody + Line(kSig) + "\r\n", both, Status::Ok, kBody.size()},
        {"signature of another text", kBody + Line(kSigLf) + "\r\n", one, Status::BadSignature, 0},
        {"one byte changed", changed + Line(kSig) + "\r\n", one, Status::BadSignature, 0},
        {"other key", kBody + Line(kSig) + "\r\n", other, Status::BadSignature, 0},
        {"S all ones", kBody + Line(kSig.substr(0, 64) + std::string(64, 'f')), both, Status::BadSignature, 0},
        {"changed, two keys", changed + Line(kSig) + "\r\n", both, Status::WrongKey, 0},
        {"no keys configured", kBody + Line(kSig) + "\r\n", "", Status::WrongKey, 0},
        {"empty file", "", one, Status::Missing, 0},
        {"unsigned", kBody, one, Status::Missing, 0},
        {"signature as a plain key", kBody + "signature=ed25519:" + kSig + "\r\n", one, Status::Missing, 0},
        {"text after the line", kBody + Line(kSig) + "\r\n[GENERAL]\r\n", one, Status::Malformed, 0},
        {"empty line after", kBody + Line(kSig) + "\r\n\r\n", one, Status::Malformed, 0},
        {"blank after the hex", kBody + Line(kSig) + " \r\n", one, Status::Malformed, 0},
        {"bare CR at the end", kBody + Line(kSig) + "\r", one, Status::Malformed, 0},
        {"two signature lines", kBody + Line(kSig) + "\r\n" + Line(kSig) + "\r\n", one, Status::Malformed, 0},
        {"short hex", kBody + Line(kSig.substr(2)) + "\r\n", one, Status::Malformed, 0},
        {"long hex", kBody + Line(kSig + "00") + "\r\n", one, Status::Malformed, 0},
        {"not hex", kBody + Line("g" + kSig.substr(1)) + "\r\n", one, Status::Malformed, 0},
        {"other algorithm", kBody + ";signature=rsa:" + kSig + "\r\n", one, Status::Malformed, 0},
        {"letter case of the prefix", kBody + ";Signature=Ed25519:" + kSig + "\r\n", one, Status::Malformed, 0},
        {"indented line", kBody + " " + Line(kSig) + "\r\n", one, Status::Malformed, 0},
    };
    for (const Case& c : cases) {
        auto verdict = ManifestSignature::Verify(c.manifest, Keys(c.keys));
        EXPECT_EQ(verdict.status, c.status) << c.name << ": " << ManifestSignature::StatusText(verdict.status)
                                            << " (" << verdict.detail << ")";
        if (c.status == Status::Ok) {
            EXPECT_EQ(verdict.bodySize, c.bodySize) << c.name;
            EXPECT_GE(verdict.keyIndex, 0) << c.name;
        } else {
            EXPECT_EQ(verdict.keyIndex, -1) << c.name;
            EXPECT_STRNE(verdict.detail, "") << c.name;
        }
    }
    EXPECT_EQ(ManifestSignature::Verify(kBody + Line(kSig), Keys(both)).keyIndex, 1);
}

TEST(ManifestSignature, KeyListSetting) {
    const std::string k = kKey, o = kOtherKey;
    struct Case {
        std::string text;
        KeyListError error;
        size_t count;
    };
    const Case cases[] = {
        {"", KeyListError::None, 0},
        {" \t ", KeyListError::None, 0},
        {k, KeyListError::None, 1},
        {Upper(k), KeyListError::None, 1},
        {" " + k + " ,\t" + o + " ", KeyListError::None, 2},
        {"," + k + ",," + o + ",", KeyListError::None, 2},
        {k + "," + o + "," + k + "," + o, KeyListError::None, 4},
        {k + "," + o + "," + k + "," + o + "," + k, KeyListError::TooMany, 0},
        {k.substr(1), KeyListError::BadKey, 0},
        {k + "0", KeyListError::BadKey, 0},
        {k + ";" + o, KeyListError::BadKey, 0},
        {k + " " + o, KeyListError::BadKey, 0},
        {"0x" + k.substr(2), KeyListError::BadKey, 0},
        {"z" + k.substr(1), KeyListError::BadKey, 0},
    };
    for (const Case& c : cases) {
        KeyList keys(1);  // emptied by the parser
        EXPECT_EQ(ManifestSignature::ParseKeyList(c.text, &keys), c.error) << c.text;
        EXPECT_EQ(keys.size(), c.count) << c.text;
    }
    KeyList keys = Keys(" " + Upper(o) + "," + k);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(CryptoTest::ToHex(keys[0].data(), 32), o);
    EXPECT_EQ(CryptoTest::ToHex(keys[1].data(), 32), k);
}

// The build's own list is its setting, parsed.
TEST(ManifestSignature, BuildReleaseKeysAreTheSetting) {
    EXPECT_EQ(ManifestSignature::BuildReleaseKeys(), Keys(ORVANTA_RELEASE_KEYS));
}
