#include "engine/ManifestSignature.h"

#include <cstring>

#include "orvanta_config.h"
#include "utils/crypto/Ed25519.h"

static_assert(ManifestSignature::CheckKeyList(ORVANTA_RELEASE_KEYS, sizeof(ORVANTA_RELEASE_KEYS) - 1) ==
                  ManifestSignature::KeyListError::None,
              "ORVANTA_RELEASE_KEYS: up to four comma-separated keys of 64 hex digits");

namespace ManifestSignature {

namespace {

const char kPrefix[] = ";signature=ed25519:";
const size_t kPrefixSize = sizeof(kPrefix) - 1;
const size_t kHexDigits = 128;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether a line is meant as a signature line, well-formed or not: after
// leading blanks (the INI reader trims them) it starts with ";signature=" in
// any letter case. Only decides between "missing" and "malformed".
bool LooksLikeSignatureLine(const char* line, size_t size) {
    static const char kMark[] = ";signature=";
    const size_t markSize = sizeof(kMark) - 1;
    size_t pos = 0;
    while (pos < size && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (size - pos < markSize) return false;
    for (size_t i = 0; i < markSize; ++i) {
        char c = line[pos + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kMark[i]) return false;
    }
    return true;
}

bool AnySignatureLine(const char* data, size_t size) {
    size_t start = 0;
    while (start < size) {
        const char* end = static_cast<const char*>(std::memchr(data + start, '\n', size - start));
        size_t length = end ? static_cast<size_t>(end - (data + start)) : size - start;
        if (LooksLikeSignatureLine(data + start, length)) return true;
        start += length + 1;
    }
    return false;
}

SignatureLine Fail(Status status, const char* detail) {
    SignatureLine line;
    line.status = status;
    line.detail = detail;
    return line;
}

} // namespace

const char* StatusText(Status status) {
    switch (status) {
    case Status::Ok: return "ok";
    case Status::Missing: return "missing";
    case Status::Malformed: return "malformed";
    case Status::WrongKey: return "wrong key";
    case Status::BadSignature: return "bad signature";
    }
    return "unknown";
}

SignatureLine FindSignatureLine(const char* data, size_t size) {
    // The last line, without one final CR LF or LF.
    size_t end = size;
    if (end > 0 && data[end - 1] == '\n') {
        --end;
        if (end > 0 && data[end - 1] == '\r') --end;
    }
    size_t start = end;
    while (start > 0 && data[start - 1] != '\n') --start;
    const char* line = data + start;
    size_t length = end - start;

    if (!LooksLikeSignatureLine(line, length)) {
        if (AnySignatureLine(data, size)) return Fail(Status::Malformed, "text after the signature line");
        return Fail(Status::Missing, "no signature line");
    }
    if (length < kPrefixSize || std::memcmp(line, kPrefix, kPrefixSize) != 0) {
        return Fail(Status::Malformed, "not an ed25519 signature line");
    }
    if (length != kPrefixSize + kHexDigits) return Fail(Status::Malformed, "signature is not 128 hex digits");
    SignatureLine found;
    for (size_t i = 0; i < 64; ++i) {
        int high = HexValue(line[kPrefixSize + 2 * i]);
        int low = HexValue(line[kPrefixSize + 2 * i + 1]);
        if (high < 0 || low < 0) return Fail(Status::Malformed, "signature is not 128 hex digits");
        found.signature[i] = static_cast<uint8_t>(high << 4 | low);
    }
    // A second signature line inside the signed text would be read by other
    // tools as the signature: refuse the ambiguity.
    if (AnySignatureLine(data, start)) return Fail(Status::Malformed, "more than one signature line");
    found.status = Status::Ok;
    found.bodySize = start;
    return found;
}

Verdict Verify(const char* data, size_t size, const KeyList& keys) {
    Verdict verdict;
    SignatureLine line = FindSignatureLine(data, size);
    verdict.status = line.status;
    verdict.detail = line.detail;
    verdict.bodySize = line.status == Status::Missing ? size : line.bodySize;
    if (line.status != Status::Ok) return verdict;

    if (!Utils::Crypto::Ed25519SignatureIsWellFormed(line.signature)) {
        verdict.status = Status::BadSignature;
        verdict.detail = "not a valid Ed25519 signature under any key";
        return verdict;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        if (Utils::Crypto::Ed25519Verify(line.signature, data, line.bodySize, keys[i].data())) {
            verdict.status = Status::Ok;
            verdict.detail = "";
            verdict.keyIndex = static_cast<int>(i);
            return verdict;
        }
    }
    if (keys.size() == 1) {
        verdict.status = Status::BadSignature;
        verdict.detail = "the release key does not verify it";
    } else {
        verdict.status = Status::WrongKey;
        verdict.detail = keys.empty() ? "no release key configured" : "no release key verifies it";
    }
    return verdict;
}

KeyListError ParseKeyList(const std::string& text, KeyList* keys) {
    keys->clear();
    KeyListError error = CheckKeyList(text.data(), text.size());
    if (error != KeyListError::None) return error;
    PublicKey key = {};
    size_t filled = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        int value = HexValue(text[i]);
        if (value < 0) continue;  // only separators and blanks remain between the keys
        size_t at = filled % 64;
        if (at % 2 == 0) key[at / 2] = 0;
        key[at / 2] = static_cast<uint8_t>(key[at / 2] << 4 | value);
        if (++filled % 64 == 0) keys->push_back(key);
    }
    return KeyListError::None;
}

const KeyList& BuildReleaseKeys() {
    static const KeyList keys = [] {
        KeyList parsed;
        ParseKeyList(ORVANTA_RELEASE_KEYS, &parsed);  // checked at compile time above
        return parsed;
    }();
    return keys;
}

} // namespace ManifestSignature
