// What an installer with release keys asks of a signed manifest besides its
// signature: digests, no includes, release dates; and the held manifest file.
#include <gtest/gtest.h>

#include <windows.h>

#include "engine/SignedRelease.h"
#include "support/TestFiles.h"
#include "utils/ini/IniFile.h"

namespace {

using SignedRelease::DateOrder;

const std::string kA(64, 'a'), kB(64, 'B'), kC(64, 'c'), kD(64, 'd');
const char kPath[] = "signed_release_rules.ini";

// A manifest following every rule: a stored and a compressed file, a patch.
std::string Manifest(const std::string& date = "20250102000000") {
    return "[GENERAL]\r\nBRAND_NAME=B\r\nFILE_DIGEST=SHA256\r\n[FILE]\r\n"
           "Bin__a.txt=1,files/Bin/a^" + kA + ".txt,100\r\nBin__b.dll=2,files/Bin/b.dll^" + kB + ".lzma,101\r\n"
           "[PACKAGE_SHA256]\r\nBin__b.dll=" + kC + "\r\n"
           "[PATCH]\r\nBin__b.dll=" + kA + ",files/Bin/b.dll^" + kD + ".vpatch\r\n"
           "[PRODUCT_REG]\r\nLastUpdateDate=" + date + "\r\n";
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(SignedRelease, Rules) {
    const std::string good = Manifest();
    const std::string noUpdate = "[NO_UPDATE_AVILABLE]\r\nVALUE=1\r\n" + good;
    struct Case {
        const char* name;
        std::string manifest;
        const char* recorded;
        const char* asked;
        const char* refusal;  // part of the reason; "" when accepted
    };
    const Case cases[] = {
        {"first installation", good, "", "", ""},
        {"newer than the one installed", good, "20250101000000", "", ""},
        {"the same release again", good, "20250102000000", "", ""},
        {"recorded date of an unsigned release", good, "2024-05-01T10:00", "", ""},
        {"digest name in lower case", Replaced(good, "SHA256", "sha256"), "", "", ""},
        {"older than the one installed", good, "20250103000000", "", "older than release 20250103000000"},
        {"older by its number, not its length", good, "100000000000000", "", "older than"},
        {"date that is not digits", Manifest("2025-01-02"), "", "", "not a release date of digits"},
        {"no FILE_DIGEST", Replaced(good, "FILE_DIGEST=SHA256\r\n", ""), "", "", "FILE_DIGEST=SHA256"},
        {"short checksum", Replaced(good, "a^" + kA, "a^" + kA.substr(1)), "", "", "Bin__a.txt has no SHA-256"},
        {"entry without order", Replaced(good, ".txt,100", ".txt"), "", "", "Bin__a.txt has no SHA-256"},
        {"compressed without package digest", Replaced(good, "Bin__b.dll=" + kC + "\r\n", ""), "", "",
         "Bin__b.dll has no PACKAGE_SHA256"},
        {"package digest not hex", Replaced(good, kC, std::string(64, 'g')), "", "", "has no PACKAGE_SHA256"},
        {"patch of no file", Replaced(good, "[PATCH]\r\nBin__b.dll", "[PATCH]\r\nBin__x.dll"), "", "",
         "PATCH entry Bin__x.dll"},
        {"patch without its digest", Replaced(good, "^" + kD, "^d1"), "", "", "PATCH entry Bin__b.dll"},
        {"include line", " #include=more.ini\r\n" + good, "", "", "#include="},
        {"no-update for the release asked about", noUpdate, "20250102000000", "20250102000000", ""},
        {"no-update for an older release", noUpdate, "20250103000000", "20250103000000", "no-update answer"},
        {"no-update for a later release", noUpdate, "20250101000000", "20250101000000", "no-update answer"},
        {"no-update when no date was asked", noUpdate, "20250102000000", "", "no-update answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(TestSupport::WriteText(kPath, c.manifest));
        Utils::IniFile manifest(kPath, 0);
        const std::string reason = SignedRelease::CheckSignedRelease(c.manifest, manifest, c.recorded, c.asked).detail;
        if (*c.refusal == '\0') {
            EXPECT_EQ("", reason);
        } else {
            EXPECT_NE(std::string::npos, reason.find(c.refusal)) << reason;
        }
    }
}

TEST(SignedRelease, DatesCompareAsNumbers) {
    struct Case {
        const char* date;
        const char* other;
        DateOrder order;
    } cases[] = {
        {"20250102000000", "20250101000000", DateOrder::Newer},
        {"20250101000000", "20250101000000", DateOrder::Same},
        {"20250101000059", "20250101000100", DateOrder::Older},
        {"20250101000100", "20250101000060", DateOrder::Newer},  // the packer's +1 past a second's end
        {"0099", "100", DateOrder::Older},
        {"000", "0", DateOrder::Same},
        {"20250101000000", "", DateOrder::NotComparable},
        {"2025-01-01", "20250101000000", DateOrder::NotComparable},
        {"+1", "1", DateOrder::NotComparable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.order, SignedRelease::CompareDates(c.date, c.other)) << c.date << " " << c.other;
    }
}

// The manifest object holds what the checked bytes say, and nothing when they
// fail the signature or the rules. RFC 8032's TEST 1 key signed the body once
// (python3-cryptography); the copy in the crypto tests is the same.
TEST(SignedRelease, ReadsTheBytesItChecked) {
    const std::string body = "[GENERAL]\r\nBRAND_NAME=Halvenor\r\nFILE_DIGEST=SHA256\r\n[PRODUCT_REG]\r\n"
                             "LastUpdateDate=20260101000000\r\n";
    const std::string signedText =
        body + ";signature=ed25519:aef15f25c51fe6096f0794b2edaa32587c648f16ee4bb3da1d759c78cab18db62c90f54deceb686c"
               "4361cba33584808a3a2cdfdc46cc84b73fda63837ade7003\r\n";
    ManifestSignature::KeyList keys;
    ASSERT_EQ(ManifestSignature::KeyListError::None,
              ManifestSignature::ParseKeyList("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", &keys));
    const struct {
        const char* name;
        std::string bytes;
        const char* recorded;
        Utils::Reason reason;
    } cases[] = {
        {"signed", signedText, "", Utils::Reason::None},
        {"one byte changed", Replaced(signedText, "Halvenor", "Halvenos"), "", Utils::Reason::ManifestBadSignature},
        {"signed, older than installed", signedText, "20270101000000", Utils::Reason::ManifestOlderRelease},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Utils::IniFile> manifest(Utils::IniFile::FromText("[GENERAL]\nBRAND_NAME=stale\n"));
        const Utils::Result result = SignedRelease::ReadSignedManifest(c.bytes, keys, c.recorded, "", manifest);
        EXPECT_STREQ(Utils::ReasonName(c.reason), Utils::ReasonName(result.reason)) << result.detail;
        ASSERT_EQ(c.reason == Utils::Reason::None, manifest != nullptr);
        if (manifest) {
            EXPECT_EQ("Halvenor", manifest->GetString("GENERAL", "BRAND_NAME"));
            EXPECT_EQ("20260101000000", manifest->GetString("PRODUCT_REG", "LastUpdateDate"));
        }
    }
}

// From its check until the INI reader has read it, no one can change the file.
TEST(SignedRelease, HeldFileKeepsWritersOut) {
    ASSERT_TRUE(TestSupport::WriteText(kPath, Manifest()));
    SignedRelease::HeldFile held;
    std::string reason;
    ASSERT_TRUE(held.Open(kPath, reason)) << reason;
    EXPECT_EQ(Manifest(), held.Bytes());
    for (DWORD access : {DWORD(GENERIC_WRITE), DWORD(DELETE)}) {
        HANDLE writer = CreateFileA(kPath, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, writer) << access;
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    }
    Utils::IniFile manifest(kPath, 0);
    EXPECT_EQ("B", manifest.GetString("GENERAL", "BRAND_NAME"));
    held.Release();
    EXPECT_TRUE(TestSupport::WriteText(kPath, "changed"));

    ASSERT_TRUE(TestSupport::WriteText(kPath, std::string(SignedRelease::HeldFile::kMaxBytes + 1, ';')));
    EXPECT_FALSE(held.Open(kPath, reason));
    EXPECT_NE(std::string::npos, reason.find("8 MiB"));
    EXPECT_FALSE(held.Open("no_such_manifest.ini", reason));
    DeleteFileA(kPath);
}

} // namespace
