// Reading the profile record that the stamping tool writes into the
// certificate area of a signed copy. The file is untrusted input: every offset
// and length comes from it, so each is checked against the file's size and the
// certificate table's before anything is read, and a record that does not hold
// in every respect is ignored (the built-in block then applies).
#include "app/profile/Profile.h"

#include <windows.h>

#include <cstring>

#include "utils/Handles.h"

namespace {

const char kRecordMagic[4] = {'O', 'v', 'P', 'f'};
const uint16_t kRecordVersion = 1;
const uint32_t kRecordHeader = 16;
const uint32_t kMinPayload = STAMP_SLOT_COUNT * 4;
const uint32_t kMaxPayload = kMinPayload + sizeof(StampBlock::referrer) - 1;
const uint16_t kPkcsSignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
const uint32_t kSecurityDirectory = 4;
const uint32_t kPeHeaderSpan = 24 + 112 + 8 * (kSecurityDirectory + 1);  // up to the security entry of PE32+

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Exactly size bytes at offset, or false; never beyond the file's end.
class BoundedFile {
public:
    explicit BoundedFile(const std::string& path)
        : m_file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        LARGE_INTEGER size;
        if (m_file && GetFileSizeEx(m_file.Get(), &size)) m_size = static_cast<uint64_t>(size.QuadPart);
    }

    uint64_t Size() const { return m_size; }

    bool Read(uint64_t offset, void* buffer, uint32_t size) const {
        if (!m_file || offset > m_size || size > m_size - offset) return false;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD got = 0;
        return SetFilePointerEx(m_file.Get(), at, nullptr, FILE_BEGIN) &&
               ReadFile(m_file.Get(), buffer, size, &got, nullptr) && got == size;
    }

private:
    Utils::FileHandle m_file;
    uint64_t m_size = 0;
};

// The certificate table's place from the PE headers; false for anything that
// is not a PE file whose table is 8-byte aligned in place and size and ends
// the file: the one shape the stamping tool writes a record into, so a copy
// the tool would refuse is never read differently here.
bool FindCertificateTable(const BoundedFile& file, uint64_t& tableAt, uint64_t& tableSize) {
    unsigned char dos[64];
    if (!file.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const uint32_t pe = U32(dos + 0x3C);
    unsigned char head[kPeHeaderSpan];
    if (!file.Read(pe, head, 24 + 2) || std::memcmp(head, "PE\0\0", 4) != 0) return false;
    const uint32_t optionalSize = U16(head + 20);
    const uint16_t magic = U16(head + 24);
    const uint32_t directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    const uint32_t entryEnd = directories + 8 * (kSecurityDirectory + 1);
    if (directories == 0 || entryEnd > optionalSize || !file.Read(pe, head, 24 + entryEnd)) return false;
    const unsigned char* optional = head + 24;
    if (U32(optional + directories - 4) <= kSecurityDirectory) return false;  // NumberOfRvaAndSizes
    tableAt = U32(optional + directories + 8 * kSecurityDirectory);
    tableSize = U32(optional + directories + 8 * kSecurityDirectory + 4);
    return tableAt != 0 && tableSize >= 8 && tableAt % 8 == 0 && tableSize % 8 == 0 && tableAt <= file.Size() &&
           tableSize == file.Size() - tableAt;
}

// Where the first entry's DER signature blob ends, relative to the entry, and
// the entry's length; false when either cannot be read within the table.
bool FindBlobEnd(const BoundedFile& file, uint64_t tableAt, uint64_t tableSize, uint64_t& blobEnd,
                 uint64_t& entryLength) {
    unsigned char head[8 + 6];  // WIN_CERTIFICATE header, DER tag and at most a 4-byte long-form length
    if (tableSize < sizeof head || !file.Read(tableAt, head, sizeof head)) return false;
    entryLength = U32(head);
    if (U16(head + 6) != kPkcsSignedData || entryLength < sizeof head || entryLength > tableSize) return false;
    if (head[8] != 0x30) return false;  // SEQUENCE
    uint64_t headerSize = 2, contentSize = head[9];
    if (head[9] >= 0x80) {
        const unsigned count = head[9] & 0x7F;
        if (count == 0 || count > 4) return false;  // indefinite or absurd
        contentSize = 0;
        for (unsigned i = 0; i < count; ++i) contentSize = contentSize << 8 | head[10 + i];
        headerSize += count;
    }
    blobEnd = 8 + headerSize + contentSize;
    return blobEnd <= entryLength;
}

}  // namespace

bool ReadCertificateProfile(const std::string& path, StampRecord& record) {
    BoundedFile file(path);
    uint64_t tableAt = 0, tableSize = 0, blobEnd = 0, entryLength = 0;
    if (!FindCertificateTable(file, tableAt, tableSize) || !FindBlobEnd(file, tableAt, tableSize, blobEnd, entryLength))
        return false;

    unsigned char head[kRecordHeader];
    if (entryLength - blobEnd < kRecordHeader || !file.Read(tableAt + blobEnd, head, kRecordHeader)) return false;
    const uint32_t payloadSize = U32(head + 8);
    if (std::memcmp(head, kRecordMagic, sizeof kRecordMagic) != 0 || U16(head + 4) != kRecordVersion ||
        U16(head + 6) != 0 || payloadSize < kMinPayload || payloadSize > kMaxPayload ||
        payloadSize > entryLength - blobEnd - kRecordHeader)
        return false;

    unsigned char payload[kMaxPayload];
    if (!file.Read(tableAt + blobEnd + kRecordHeader, payload, payloadSize)) return false;
    if (Crc32(Crc32(0, head + 4, 8), payload, payloadSize) != U32(head + 12)) return false;

    for (int s = 0; s < STAMP_SLOT_COUNT; ++s) record.slots[s] = static_cast<int32_t>(U32(payload + 4 * s));
    const char* text = reinterpret_cast<const char*>(payload + kMinPayload);
    record.referrer.assign(text, strnlen(text, payloadSize - kMinPayload));
    return true;
}
