#include "engine/SignedRelease.h"

#include <windows.h>

#include <set>
#include <utility>
#include <vector>

#include "engine/Manifest.h"
#include "utils/ini/IniFile.h"
#include "utils/string/String.h"

namespace SignedRelease {

const char kPackageDigestSection[] = "PACKAGE_SHA256";

namespace {

bool IsDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string WithoutLeadingZeros(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

// A line the INI reader would follow to another file: "#include=" after the
// blanks it trims.
bool HasIncludeLine(const std::string& bytes) {
    static const char kMark[] = "#include=";
    const size_t markSize = sizeof(kMark) - 1;
    for (size_t start = 0; start < bytes.size(); ++start) {
        while (start < bytes.size() && (bytes[start] == ' ' || (bytes[start] >= '\t' && bytes[start] <= '\r'))) {
            ++start;
        }
        if (bytes.compare(start, markSize, kMark) == 0) return true;
        start = bytes.find('\n', start);
        if (start == std::string::npos) break;
    }
    return false;
}

std::string CheckFiles(Utils::IniFile& manifest) {
    std::string digest = manifest.GetString("GENERAL", "FILE_DIGEST");
    if (!Utils::String::EqualsIgnoringCase(digest, "SHA256")) return "it does not declare FILE_DIGEST=SHA256";
    std::vector<std::string> keys, values;
    manifest.GetSection("FILE", keys, values);
    for (size_t i = 0; i < keys.size(); ++i) {
        Manifest::FileEntry entry;
        if (!Manifest::ParseFileEntry(keys[i], values[i], entry) || !IsSha256Text(entry.checksum)) {
            return "FILE entry " + keys[i] + " has no SHA-256 checksum";
        }
        const std::string package = manifest.GetString(kPackageDigestSection, keys[i]);
        if (package.empty() ? Manifest::IsPackedForm(entry) : !IsSha256Text(package)) {
            return "compressed FILE entry " + keys[i] + " has no " + kPackageDigestSection + " digest";
        }
    }
    // Patches: <FILE key>=<checksum of the base>,<file spec carrying the patch's own SHA-256>.
    const std::set<std::string> fileKeys(keys.begin(), keys.end());
    manifest.GetSection("PATCH", keys, values);
    for (size_t i = 0; i < keys.size(); ++i) {
        std::vector<std::string> pieces;
        Utils::String::Split(pieces, values[i], ",");
        if (!fileKeys.count(keys[i]) || pieces.size() != 2 || !IsSha256Text(pieces[0]) ||
            !IsSha256Text(Manifest::ChecksumOf(pieces[1]))) {
            return "PATCH entry " + keys[i] + " is not <FILE key>=<SHA-256>,<file spec with its SHA-256>";
        }
    }
    return std::string();
}

Utils::Result CheckDate(const std::string& date, bool noUpdate, const std::string& recorded,
                        const std::string& asked) {
    using Utils::Reason;
    using Utils::Result;
    if (!IsDigits(date)) {
        return Result::Failure(Reason::ManifestRulesBroken, 0,
                               "LastUpdateDate \"" + date + "\" is not a release date of digits");
    }
    // A no-update answer speaks of one release: the one this pass asked about.
    // An older one would be a replay, a later one would hide that release.
    if (noUpdate) {
        if (date == asked) return Result::Success();
        return Result::Failure(Reason::ManifestReplayed, 0,
                               "the no-update answer is for release " + date + ", not \"" + asked + "\"");
    }
    if (CompareDates(date, recorded) == DateOrder::Older) {
        return Result::Failure(Reason::ManifestOlderRelease, 0,
                               "release " + date + " is older than release " + recorded + ", the last one installed");
    }
    return Result::Success();
}

} // namespace

bool HeldFile::Open(const std::string& path, std::string& reason) {
    m_bytes.clear();
    m_file.Reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_file) {
        reason = "the file cannot be opened";
        return false;
    }
    DWORD high = 0;
    DWORD low = GetFileSize(m_file.Get(), &high);
    if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0 || low > kMaxBytes) {
        reason = "the file is larger than 8 MiB";
    } else {
        m_bytes.resize(low);
        DWORD got = 0;
        if (low == 0 || (ReadFile(m_file.Get(), &m_bytes[0], low, &got, nullptr) && got == low)) return true;
        reason = "the file cannot be read";
    }
    m_bytes.clear();
    m_file.Reset();
    return false;
}

Utils::Result CheckSignature(const std::string& bytes, const ManifestSignature::KeyList& keys) {
    ManifestSignature::Verdict verdict = ManifestSignature::Verify(bytes, keys);
    if (verdict.status == ManifestSignature::Status::Ok) return Utils::Result::Success();
    return Utils::Result::Failure(Utils::Reason::ManifestBadSignature, 0,
                                  std::string(ManifestSignature::StatusText(verdict.status)) + " (" + verdict.detail + ")");
}

Utils::Result ReadSignedManifest(const std::string& bytes, const ManifestSignature::KeyList& keys,
                                 const std::string& recorded, const std::string& asked,
                                 std::unique_ptr<Utils::IniFile>& out) {
    out.reset();
    Utils::Result result = CheckSignature(bytes, keys);
    if (!result) return result;
    std::unique_ptr<Utils::IniFile> manifest = Utils::IniFile::FromText(bytes);
    result = CheckSignedRelease(bytes, *manifest, recorded, asked);
    if (result) out = std::move(manifest);
    return result;
}

Utils::Result CheckSignedRelease(const std::string& bytes, Utils::IniFile& manifest, const std::string& recorded,
                                 const std::string& asked) {
    // Included files are not covered by the signature.
    if (HasIncludeLine(bytes)) {
        return Utils::Result::Failure(Utils::Reason::ManifestRulesBroken, 0,
                                      "an #include= line: a signed manifest must stand alone");
    }
    const std::string reason = CheckFiles(manifest);
    if (!reason.empty()) return Utils::Result::Failure(Utils::Reason::ManifestRulesBroken, 0, reason);
    return CheckDate(manifest.GetString("PRODUCT_REG", "LastUpdateDate"),
                     manifest.GetInt("NO_UPDATE_AVILABLE", "VALUE") == 1, recorded, asked);
}

bool IsSha256Text(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!ManifestSignature::IsHexDigit(c)) return false;
    }
    return true;
}

DateOrder CompareDates(const std::string& date, const std::string& other) {
    if (!IsDigits(date) || !IsDigits(other)) return DateOrder::NotComparable;
    const std::string left = WithoutLeadingZeros(date), right = WithoutLeadingZeros(other);
    if (left.size() != right.size()) return left.size() < right.size() ? DateOrder::Older : DateOrder::Newer;
    const int order = left.compare(right);
    return order < 0 ? DateOrder::Older : order > 0 ? DateOrder::Newer : DateOrder::Same;
}

} // namespace SignedRelease
