#pragma once
// The download profile every copy carries: eleven field descriptors fixed at
// build time, the stamped block of numbers the web site rewrites per download,
// and the answers resolved from them.
#include <cstdint>
#include <string>

namespace Utils { class RegistryKey; }

// ---------------------------------------------------------------------------
// Stamped block. The web site's stamping tool finds it by its guard words and
// rewrites the slots and the referrer in the finished executable, so the layout
// is a file format: do not reorder, resize or pad.
#pragma pack(push, 4)
struct StampBlock {
    int32_t leadingGuard[6];   // 348, 2001, 9, 637, 27, 637
    int32_t slots[13];         // see StampSlot
    int32_t trailingGuard[6];  // 637, 27, 637, 9, 2001, 348
    int32_t zero;
    char referrer[1024];       // NUL-terminated, normally hex of a URL
};
#pragma pack(pop)
static_assert(sizeof(StampBlock) == 1128, "StampBlock is a file format");

enum StampSlot {
    SLOT_SERVER, SLOT_SERVER_MASK, SLOT_PRODUCT, SLOT_DID, SLOT_LANG, SLOT_LANG_MASK, SLOT_TAG1, SLOT_TAG2,
    SLOT_CHAIN_START_TIME, SLOT_CHAIN_START_RANDOM, SLOT_FUN, SLOT_CURRENCY, SLOT_BRAND_ID,
    STAMP_SLOT_COUNT
};

// A signed copy carries its profile in the certificate area instead, where
// stamping leaves the signature valid: a record right after the DER signature
// blob of the first certificate table entry (little-endian):
//   "OvPf" | version 1 (16 bit) | 0 (16 bit) | payload length N (32 bit) |
//   CRC-32 of the 8 bytes before it and of the payload | payload: the 13 slots,
//   then N - 52 bytes of referrer text (52 <= N <= 1075)
// followed by zeros up to the entry's 8-byte aligned end.
struct StampRecord {
    int32_t slots[STAMP_SLOT_COUNT];
    std::string referrer;  // at most 1023 characters, up to a NUL
};

// Reads the certificate-area record of the executable at path. False, with
// record untouched, for an unsigned file, a file without a record, or a record
// whose magic, version, length or checksum does not hold. Every read is bounded
// by the file's size and the certificate table's.
bool ReadCertificateProfile(const std::string& path, StampRecord& record);

// Value of a slot as stamped in this executable: from the certificate-area
// record when this file carries a sound one, else from the built-in block; 0
// for a slot outside 0..12. The block is read through a volatile view: it is
// rewritten after the build, so the compiler must never see its initial values
// as constants.
int32_t StampValue(int slot);

// The stamped referrer text, up to its NUL (same source as StampValue); never
// read past the block.
std::string StampReferrer();

// What the "ReferrerUrl" registry string holds for a referrer text: the
// hex-decoded text when it is non-empty and made only of hex digits (an odd
// count of digits is kept as it is), otherwise the text unchanged.
std::string ReferrerForRegistry(const std::string& referrer);

// ---------------------------------------------------------------------------
// Field descriptors.
enum FieldKind : int32_t {
    Fixed = 0,        // taken from the stamp only, never asked
    TypedNumber = 1,  // asked as a number typed into the edit box
    Choice = 2        // asked as a grid of image buttons; takes two stamp slots (value, offer mask)
};

enum ProfileField {
    FIELD_SERVER, FIELD_PRODUCT, FIELD_DID, FIELD_LANG, FIELD_TAG1, FIELD_TAG2,
    FIELD_CHAIN_START_TIME, FIELD_CHAIN_START_RANDOM, FIELD_FUN, FIELD_CURRENCY, FIELD_BRAND_ID,
    PROFILE_FIELD_COUNT
};

const int PROFILE_MAX_IMAGES = 20;
const int PROFILE_MAX_OPTIONS = 26;
const int PROFILE_OPTION_SIZE = 50;  // bytes per option text, NUL included
const int PROFILE_MARKER_SIZE = 23;

struct ProfileRecord {
    int32_t kind;         // FieldKind
    int32_t optionCount;  // buttons of a Choice page, at most 20
    int32_t columns;      // buttons per grid row
    int32_t gridLeft;     // dialog client pixels
    int32_t gridTop;
    int32_t columnPitch;
    int32_t rowPitch;
    int32_t imageIds[PROFILE_MAX_IMAGES];  // "GIF" resource of option k's button
    unsigned char textFlag;  // 1: the value is a 1-based option number standing for its option text
    char options[PROFILE_MAX_OPTIONS][PROFILE_OPTION_SIZE];
    char marker[PROFILE_MARKER_SIZE];
};

// The eleven records in field order. Writable because the dialog fills in the
// language codes and centres the language grid at start; read-only otherwise.
ProfileRecord* ProfileRecords();
const ProfileRecord& ProfileRecordOf(int field);  // field outside 0..10: throws Utils::Exception*

// Stamp slot cursor: the first slot of a field and how many slots it takes
// (2 for a Choice field, else 1). The offer mask of a Choice field is the slot
// after its value; OfferMask is 0 for other fields.
int FieldSlotCount(int field);
int FieldFirstSlot(int field);
uint32_t OfferMask(int field);
// The cursor after the field at 'cursor' has been taken or skipped.
inline int AdvanceSlotCursor(int cursor, int field) { return cursor + FieldSlotCount(field); }

// ---------------------------------------------------------------------------
// Languages of the "%Lang_" field, indexed by its value 1..18; index 0 is the
// unknown language ("??").
const int LANGUAGE_COUNT = 18;
extern const char* const LANGUAGE_CODES[LANGUAGE_COUNT + 1];
extern const char* const LANGUAGE_NAMES[LANGUAGE_COUNT + 1];
const char* LanguageCode(int value);  // "??" outside 1..18
const char* LanguageName(int value);

// Overwrites the "%Lang_" options with the language codes (dialog start).
void WriteLanguageCodes();
// Places the language grid for a dialog of this client width: template left
// edge moved right by (clientWidth - 490) / 2. Idempotent.
void CenterLanguageGrid(int clientWidth);

// Brand name of a product family and brand id ("BrandUnknown" for an unknown family).
std::string BrandNameFor(int productFamily, int brandId);

// ---------------------------------------------------------------------------
// One answer per field; 0 = not known. A text-flag field holds a 1-based
// option number.
class ProfileAnswers {
public:
    ProfileAnswers();

    void Clear();
    // Fills the answers from the stamp. A Choice field with a non-zero offer
    // mask (or a value of 0) stays open; other fields take their slot as is.
    void ResolveStamped();
    // The same from given slot values (the stamp's thirteen numbers).
    void ResolveFrom(const int32_t slots[STAMP_SLOT_COUNT]);

    int Get(int field) const;           // 0 outside 0..10
    void Set(int field, int value);     // ignored outside 0..10
    // A field still to be asked: not Fixed and its answer is 0.
    bool IsOpen(int field) const;

    // Option text of the field's answer; empty when the answer names no listed option.
    std::string OptionText(int field) const;
    std::string DownloadHost() const { return OptionText(FIELD_SERVER); }
    std::string ProductWord() const { return OptionText(FIELD_PRODUCT); }
    std::string LanguageCodeText() const { return OptionText(FIELD_LANG); }

    // "ReqData_<server>_<product>_<did>" when all three are non-zero, else "".
    std::string RequestKey() const;
    // name + "_<server>_<product>_<did>", at most 63 characters.
    std::string AppendAnswerSuffix(const std::string& name) const;
    // Name of the update manifest, e.g. "%Product_Tindermoor%Did_1%Lang_EN...%BrandId_1.ini";
    // at most 255 characters.
    std::string ProfileIniName() const;

    // Known-funnel check against the per-user product key: true when the
    // remembered start time and random number equal the stamped ones; then
    // every answer is reloaded from the key (missing values read 0).
    // An empty RequestKey: false, nothing read.
    bool IsKnownFunnel(Utils::RegistryKey& key);
    // Writes every answer under RequestKey + marker (nothing for an empty RequestKey).
    void Save(Utils::RegistryKey& key) const;
    // Deletes the values Save writes.
    void Remove(Utils::RegistryKey& key) const;

    int m_answers[PROFILE_FIELD_COUNT];
};

// Test support: changes this process's stamp in memory, as the stamping tool
// would in the file. Not for product code.
namespace ProfileTesting {
void PokeStampValue(int slot, int32_t value);
void PokeStampReferrer(const std::string& text);  // truncated to 1023 characters
const volatile StampBlock* StampBlockAddress();
}
