#pragma once
// Signed manifests. A release signed by the publisher ends in one last line
//     ;signature=ed25519:<128 hex digits, either case>[CR LF | LF]
// with nothing after it. The Ed25519 signature covers every byte before the
// first character of that line, line breaks included, exactly as served. An
// installer without keys reads the line as an INI comment.
// Pure functions: no files, no registry, no network.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ManifestSignature {

using PublicKey = std::array<uint8_t, 32>;
using KeyList = std::vector<PublicKey>;  // at most kMaxKeys, so that a key can be rotated
constexpr size_t kMaxKeys = 4;

enum class Status {
    Ok,            // the last line is a signature by one of the keys over the bytes before it
    Missing,       // no signature line anywhere
    Malformed,     // a signature line that does not follow the format: other algorithm, bad hex,
                   // wrong length, text after it, or more than one signature line
    WrongKey,      // a well-formed signature that none of the configured keys verifies, with
                   // several keys (or none) configured: a changed manifest and a key this
                   // build does not know cannot be told apart
    BadSignature,  // the one configured key does not verify it, or it cannot be valid under
                   // any key (S not below the group order, R not a curve point)
};

// "ok", "missing", "malformed", "wrong key", "bad signature".
const char* StatusText(Status status);

struct Verdict {
    Status status = Status::Missing;
    const char* detail = "";  // why, in a few words, for the log; a literal
    size_t bodySize = 0;      // bytes the signature covers (all of them when Missing)
    int keyIndex = -1;        // the key that verified it (Ok only)
};

// The signature line alone: Ok with bodySize and signature filled, Missing or Malformed.
struct SignatureLine {
    Status status = Status::Missing;
    const char* detail = "";
    size_t bodySize = 0;
    uint8_t signature[64] = {};
};
SignatureLine FindSignatureLine(const char* data, size_t size);

// Checks a manifest's bytes exactly as served against the keys. Keys are tried
// in order; the manifest's whole body is hashed once per key tried.
Verdict Verify(const char* data, size_t size, const KeyList& keys);
inline Verdict Verify(const std::string& manifest, const KeyList& keys) {
    return Verify(manifest.data(), manifest.size(), keys);
}

// The key list setting: up to four keys of 64 hex digits (either case),
// separated by commas; blanks (spaces, tabs, empty items) are ignored. Empty
// text is an empty list: manifests are not checked.
enum class KeyListError { None, BadKey, TooMany };

constexpr bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The grammar alone, usable at compile time: the build's own setting is
// checked by the compiler as well as by the configure step.
constexpr KeyListError CheckKeyList(const char* text, size_t size) {
    size_t keys = 0;
    size_t pos = 0;
    while (pos <= size) {
        size_t end = pos;
        while (end < size && text[end] != ',') ++end;
        size_t first = pos, last = end;
        while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
        while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
        if (last > first) {
            if (last - first != 64) return KeyListError::BadKey;
            for (size_t i = first; i < last; ++i) {
                if (!IsHexDigit(text[i])) return KeyListError::BadKey;
            }
            if (++keys > kMaxKeys) return KeyListError::TooMany;
        }
        pos = end + 1;
    }
    return KeyListError::None;
}

// Parses the setting into keys (emptied first; left empty on an error).
KeyListError ParseKeyList(const std::string& text, KeyList* keys);

// The release keys this program was built with (the ORVANTA_RELEASE_KEYS
// setting); empty when the build has none. The engine starts from this list;
// tests give the engine a list of their own instead.
const KeyList& BuildReleaseKeys();

} // namespace ManifestSignature
