#pragma once
// What an installer built with release keys asks of a manifest besides its
// signature (ManifestSignature): that it names every file by its SHA-256, the
// package files of compressed files too, that it stands alone, and that it is
// not older than the release last installed for this profile.
//
// Release dates. The packer writes LastUpdateDate as UTC YYYYMMDDhhmmss. Two
// dates that are both decimal digits compare as numbers (leading zeros aside);
// any other pair cannot be compared. A signed manifest must carry such a date;
// a recorded date that is empty or not digits (a first installation, or one
// made from an unsigned release) checks nothing, and the signed release's date
// is recorded in its place once the run succeeds.
#include <memory>
#include <string>

#include "engine/ManifestSignature.h"
#include "utils/Handles.h"
#include "utils/Result.h"

namespace Utils { class IniFile; }

namespace SignedRelease {

// [PACKAGE_SHA256] <FILE key>=<SHA-256 of the package file as served>: lets a
// compressed file be checked before the decoder runs on it. Installers that do
// not know the section ignore it.
extern const char kPackageDigestSection[];

// A manifest file read whole and held open with writers and deleters shut out
// until Release. Its Bytes() are what is checked and then parsed
// (ReadSignedManifest): the file is never opened again by its name.
class HeldFile {
public:
    static const size_t kMaxBytes = 8u << 20;
    // False (and why) when the file cannot be opened or read, or is larger than kMaxBytes.
    bool Open(const std::string& path, std::string& reason);
    const std::string& Bytes() const { return m_bytes; }
    void Release() { m_file.Reset(); }

private:
    Utils::FileHandle m_file;
    std::string m_bytes;
};

// Success when one of the keys signed the manifest's bytes, else
// ManifestBadSignature with the status text and its detail.
Utils::Result CheckSignature(const std::string& bytes, const ManifestSignature::KeyList& keys);

// Success when a signed manifest is accepted; else why: ManifestOlderRelease,
// ManifestReplayed (a no-update answer for another date) or
// ManifestRulesBroken, the detail saying what. bytes: the file as received;
// manifest: the same file read without includes; recorded: the LastUpdateDate
// last recorded for this profile; asked: the date this pass sent with its
// request (the one a no-update answer must carry).
Utils::Result CheckSignedRelease(const std::string& bytes, Utils::IniFile& manifest, const std::string& recorded,
                                 const std::string& asked);

// The manifest of `bytes` when one of the keys signed them and they follow
// the signed-release rules (CheckSignedRelease); else why, and `out` empty.
// The INI object is parsed from these very bytes (IniFile::FromText, no
// includes): nothing is read by a name that may point elsewhere by now.
Utils::Result ReadSignedManifest(const std::string& bytes, const ManifestSignature::KeyList& keys,
                                 const std::string& recorded, const std::string& asked,
                                 std::unique_ptr<Utils::IniFile>& out);

// True for 64 hex digits (either case).
bool IsSha256Text(const std::string& text);

enum class DateOrder { Older, Same, Newer, NotComparable };
// How date stands to other (see above).
DateOrder CompareDates(const std::string& date, const std::string& other);

} // namespace SignedRelease
