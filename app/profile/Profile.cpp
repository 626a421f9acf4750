#include "app/profile/Profile.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "orvanta_config.h"
#include "utils/Exception.h"
#include "utils/registry/RegistryKey.h"
#include "utils/string/String.h"

// The one stamped block of the executable. Non-const so it lands in .data,
// volatile so no read is ever folded into the template's values, extern "C" and
// used so neither the optimiser nor LTO drops or renames it; StampValue keeps it
// referenced for --gc-sections. Nothing else in the program may hold the guard
// sequence as data, or the stamping tool refuses the file as ambiguous.
extern "C" {
__attribute__((used)) volatile StampBlock g_orvantaStampBlock = {
    {348, 2001, 9, 637, 27, 637},
    {4, 0, 2, 1, 0, 262143, 1, 1, 1191945099, 8246, 1, 1, 1},
    {637, 27, 637, 9, 2001, 348},
    0,
    {0},
};
}

namespace {

const volatile StampBlock& Block() { return g_orvantaStampBlock; }

static_assert(sizeof(ORVANTA_LAN1_HOST) <= PROFILE_OPTION_SIZE, "host text too long for an option");
static_assert(sizeof(ORVANTA_LAN2_HOST) <= PROFILE_OPTION_SIZE, "host text too long for an option");
static_assert(sizeof(ORVANTA_TEST_HOST) <= PROFILE_OPTION_SIZE, "host text too long for an option");
static_assert(sizeof(ORVANTA_PRODUCTION_HOST) <= PROFILE_OPTION_SIZE, "host text too long for an option");
static_assert(sizeof(ORVANTA_LOOPBACK_HOST) <= PROFILE_OPTION_SIZE, "host text too long for an option");

const int LANGUAGE_IMAGE_IDS[LANGUAGE_COUNT] = {271, 273, 276, 275, 280, 274, 277, 279, 285,
                                                272, 270, 278, 308, 303, 296, 295, 294, 315};
const int LANGUAGE_GRID_LEFT = 15;
const int LANGUAGE_GRID_BASE_WIDTH = 490;
const int MAX_SUFFIXED_NAME = 63;
const size_t MAX_INI_NAME = 255;

// Copies at most size-1 bytes and always terminates.
void CopyText(char* target, size_t size, const char* text) {
    size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(target, text, n);
    target[n] = '\0';
}

ProfileRecord MakeRecord(FieldKind kind, unsigned char textFlag, const char* marker) {
    ProfileRecord r;
    std::memset(&r, 0, sizeof r);
    r.kind = kind;
    r.textFlag = textFlag;
    CopyText(r.marker, sizeof r.marker, marker);
    return r;
}

void BuildRecords(ProfileRecord* records) {
    // Server options: the stamp names the server by its position, so the order is fixed.
    ProfileRecord& server = records[FIELD_SERVER] = MakeRecord(Choice, 1, "%Server_");
    server.optionCount = 0;
    server.columns = 2;
    server.gridLeft = 50;
    server.gridTop = 30;
    server.columnPitch = 80;
    server.rowPitch = 90;
    const char* hosts[] = {ORVANTA_LAN1_HOST, ORVANTA_LAN2_HOST, ORVANTA_TEST_HOST, ORVANTA_PRODUCTION_HOST,
                           ORVANTA_LOOPBACK_HOST};
    for (int k = 0; k < 5; ++k) CopyText(server.options[k], PROFILE_OPTION_SIZE, hosts[k]);

    ProfileRecord& product = records[FIELD_PRODUCT] = MakeRecord(TypedNumber, 1, "%Product_");
    CopyText(product.options[0], PROFILE_OPTION_SIZE, "Corvantis");
    CopyText(product.options[1], PROFILE_OPTION_SIZE, "Tindermoor");

    records[FIELD_DID] = MakeRecord(TypedNumber, 0, "%Did_");

    ProfileRecord& lang = records[FIELD_LANG] = MakeRecord(Choice, 1, "%Lang_");
    lang.optionCount = LANGUAGE_COUNT;
    lang.columns = 3;
    lang.gridLeft = LANGUAGE_GRID_LEFT;
    lang.gridTop = 104;
    lang.columnPitch = 156;
    lang.rowPitch = 34;
    for (int k = 0; k < LANGUAGE_COUNT; ++k) {
        lang.imageIds[k] = LANGUAGE_IMAGE_IDS[k];
        CopyText(lang.options[k], PROFILE_OPTION_SIZE, "??");  // replaced by WriteLanguageCodes
    }

    records[FIELD_TAG1] = MakeRecord(Fixed, 0, "%Tag_");
    records[FIELD_TAG2] = MakeRecord(Fixed, 0, "%Tag2_");
    records[FIELD_CHAIN_START_TIME] = MakeRecord(Fixed, 0, "%ChainStartTime_");
    records[FIELD_CHAIN_START_RANDOM] = MakeRecord(Fixed, 0, "%ChainStartRandom_");
    records[FIELD_FUN] = MakeRecord(Fixed, 0, "%Fun_");
    records[FIELD_CURRENCY] = MakeRecord(Fixed, 0, "%Currency_");
    records[FIELD_BRAND_ID] = MakeRecord(Fixed, 0, "%BrandId_");
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ValidField(int field) { return field >= 0 && field < PROFILE_FIELD_COUNT; }

}  // namespace

// ---------------------------------------------------------------------------
namespace {

// This executable's certificate-area record, read once (thread-safe static);
// null when there is none, and then the built-in block is read every time.
const StampRecord* OwnCertificateProfile() {
    static const StampRecord* const record = []() -> const StampRecord* {
        static StampRecord own;
        char path[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return nullptr;
        return ReadCertificateProfile(path, own) ? &own : nullptr;
    }();
    return record;
}

}  // namespace

int32_t StampValue(int slot) {
    if (slot < 0 || slot >= STAMP_SLOT_COUNT) return 0;
    if (const StampRecord* record = OwnCertificateProfile()) return record->slots[slot];
    return Block().slots[slot];
}

std::string StampReferrer() {
    if (const StampRecord* record = OwnCertificateProfile()) return record->referrer;
    std::string text;
    const volatile char* referrer = Block().referrer;
    for (size_t i = 0; i < sizeof(Block().referrer) && referrer[i] != '\0'; ++i) text += referrer[i];
    return text;
}

std::string ReferrerForRegistry(const std::string& referrer) {
    if (referrer.empty() || referrer.size() % 2 != 0) return referrer;
    for (char c : referrer)
        if (!IsHexDigit(c)) return referrer;
    std::string decoded;
    try {
        Utils::String::HexDecode(referrer, decoded);
    } catch (Utils::Exception* e) {
        delete e;
        return referrer;
    }
    return decoded;
}

// ---------------------------------------------------------------------------
ProfileRecord* ProfileRecords() {
    static ProfileRecord records[PROFILE_FIELD_COUNT];
    static const bool built = (BuildRecords(records), true);
    (void)built;
    return records;
}

const ProfileRecord& ProfileRecordOf(int field) {
    if (!ValidField(field)) throw new Utils::Exception("ProfileRecordOf", "field out of range", field);
    return ProfileRecords()[field];
}

int FieldSlotCount(int field) {
    return ValidField(field) && ProfileRecords()[field].kind == Choice ? 2 : 1;
}

int FieldFirstSlot(int field) {
    int slot = 0;
    for (int i = 0; i < field && i < PROFILE_FIELD_COUNT; ++i) slot += FieldSlotCount(i);
    return slot;
}

uint32_t OfferMask(int field) {
    if (!ValidField(field) || ProfileRecords()[field].kind != Choice) return 0;
    return static_cast<uint32_t>(StampValue(FieldFirstSlot(field) + 1));
}

// ---------------------------------------------------------------------------
const char* const LANGUAGE_CODES[LANGUAGE_COUNT + 1] = {"??", "EN", "DE", "IT", "HE", "TR", "EL",
                                                        "JA", "SV", "NL", "FR", "DK", "ES",
                                                        "ZH", "AR", "FI", "NO", "RU", "PT"};
const char* const LANGUAGE_NAMES[LANGUAGE_COUNT + 1] = {
    "Unknown", "English", "German",  "Italian", "Hebrew",  "Turkish",   "Greek",
    "Japanese", "Swedish", "Dutch", "French",  "Danish",  "Spanish",   "Chinese",
    "Arabic",  "Finnish", "Norwegian", "Russian", "Portuguese"};

const char* LanguageCode(int value) {
    return value >= 1 && value <= LANGUAGE_COUNT ? LANGUAGE_CODES[value] : LANGUAGE_CODES[0];
}

const char* LanguageName(int value) {
    return value >= 1 && value <= LANGUAGE_COUNT ? LANGUAGE_NAMES[value] : LANGUAGE_NAMES[0];
}

void WriteLanguageCodes() {
    ProfileRecord& lang = ProfileRecords()[FIELD_LANG];
    for (int k = 0; k < LANGUAGE_COUNT; ++k) CopyText(lang.options[k], PROFILE_OPTION_SIZE, LANGUAGE_CODES[k + 1]);
}

void CenterLanguageGrid(int clientWidth) {
    ProfileRecords()[FIELD_LANG].gridLeft = LANGUAGE_GRID_LEFT + (clientWidth - LANGUAGE_GRID_BASE_WIDTH) / 2;
}

std::string BrandNameFor(int productFamily, int brandId) {
    switch (productFamily) {
    case 1:
        if (brandId == 3) return "Quarrelle";
        if (brandId == 10) return "Vesperhall";
        if (brandId == 30) return "Lunaridge";
        return "Zentaro";
    case 2:
        if (brandId == 10) return "Marbleton";
        if (brandId == 30) return "Copperine";
        return "Halvenor";
    case 3:
        return "Brindlewick";
    default:
        return "BrandUnknown";
    }
}

// ---------------------------------------------------------------------------
ProfileAnswers::ProfileAnswers() { Clear(); }

void ProfileAnswers::Clear() {
    for (int& answer : m_answers) answer = 0;
}

void ProfileAnswers::ResolveStamped() {
    int32_t slots[STAMP_SLOT_COUNT];
    for (int s = 0; s < STAMP_SLOT_COUNT; ++s) slots[s] = StampValue(s);
    ResolveFrom(slots);
}

void ProfileAnswers::ResolveFrom(const int32_t slots[STAMP_SLOT_COUNT]) {
    int cursor = 0;
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i) {
        m_answers[i] = 0;
        if (ProfileRecords()[i].kind == Choice) {
            uint32_t value = static_cast<uint32_t>(slots[cursor]);
            int32_t mask = slots[cursor + 1];
            if (value > 0 && mask == 0) m_answers[i] = slots[cursor];
        } else {
            m_answers[i] = slots[cursor];
        }
        cursor = AdvanceSlotCursor(cursor, i);
    }
}

int ProfileAnswers::Get(int field) const { return ValidField(field) ? m_answers[field] : 0; }

void ProfileAnswers::Set(int field, int value) {
    if (ValidField(field)) m_answers[field] = value;
}

bool ProfileAnswers::IsOpen(int field) const {
    return ValidField(field) && ProfileRecords()[field].kind != Fixed && m_answers[field] == 0;
}

std::string ProfileAnswers::OptionText(int field) const {
    if (!ValidField(field)) return std::string();
    int answer = m_answers[field];
    if (answer < 1 || answer > PROFILE_MAX_OPTIONS) return std::string();
    const char* option = ProfileRecords()[field].options[answer - 1];
    return std::string(option, strnlen(option, PROFILE_OPTION_SIZE - 1));
}

std::string ProfileAnswers::RequestKey() const {
    if (m_answers[FIELD_SERVER] == 0 || m_answers[FIELD_PRODUCT] == 0 || m_answers[FIELD_DID] == 0)
        return std::string();
    return AppendAnswerSuffix("ReqData");
}

std::string ProfileAnswers::AppendAnswerSuffix(const std::string& name) const {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "_%d_%d_%d", m_answers[FIELD_SERVER], m_answers[FIELD_PRODUCT],
                  m_answers[FIELD_DID]);
    std::string result = name + suffix;
    if (result.size() > static_cast<size_t>(MAX_SUFFIXED_NAME)) result.resize(MAX_SUFFIXED_NAME);
    return result;
}

std::string ProfileAnswers::ProfileIniName() const {
    std::string name;
    for (int i = FIELD_PRODUCT; i < PROFILE_FIELD_COUNT; ++i) {
        const ProfileRecord& record = ProfileRecords()[i];
        name += record.marker;
        if (record.textFlag == 1)
            name += OptionText(i);
        else
            name += std::to_string(m_answers[i]);
    }
    name += ".ini";
    if (name.size() > MAX_INI_NAME) name.resize(MAX_INI_NAME);
    return name;
}

bool ProfileAnswers::IsKnownFunnel(Utils::RegistryKey& key) {
    const std::string requestKey = RequestKey();
    if (requestKey.empty()) return false;
    const std::string timeName = requestKey + ProfileRecords()[FIELD_CHAIN_START_TIME].marker;
    const std::string randomName = requestKey + ProfileRecords()[FIELD_CHAIN_START_RANDOM].marker;
    // Two reads with different defaults tell a missing value from a stored one:
    // a copy stamped with time 0 and random 0 must not count as known before
    // anything was saved.
    DWORD time = key.GetDword(timeName, "", 0);
    DWORD random = key.GetDword(randomName, "", 0);
    bool stored = key.GetDword(timeName, "", 1) == time && key.GetDword(randomName, "", 1) == random;
    if (!stored || time != static_cast<DWORD>(StampValue(SLOT_CHAIN_START_TIME)) ||
        random != static_cast<DWORD>(StampValue(SLOT_CHAIN_START_RANDOM)))
        return false;
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i)
        m_answers[i] = static_cast<int>(key.GetDword(requestKey + ProfileRecords()[i].marker, "", 0));
    return true;
}

void ProfileAnswers::Save(Utils::RegistryKey& key) const {
    const std::string requestKey = RequestKey();
    if (requestKey.empty()) return;
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i)
        key.SetDword(requestKey + ProfileRecords()[i].marker, static_cast<DWORD>(m_answers[i]), true, "");
}

void ProfileAnswers::Remove(Utils::RegistryKey& key) const {
    const std::string requestKey = RequestKey();
    if (requestKey.empty()) return;
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i) key.Delete(requestKey + ProfileRecords()[i].marker, "");
}

// ---------------------------------------------------------------------------
namespace ProfileTesting {

void PokeStampValue(int slot, int32_t value) {
    if (slot >= 0 && slot < STAMP_SLOT_COUNT) g_orvantaStampBlock.slots[slot] = value;
}

void PokeStampReferrer(const std::string& text) {
    size_t n = text.size() < sizeof(g_orvantaStampBlock.referrer) - 1 ? text.size()
                                                                       : sizeof(g_orvantaStampBlock.referrer) - 1;
    for (size_t i = 0; i < n; ++i) g_orvantaStampBlock.referrer[i] = text[i];
    g_orvantaStampBlock.referrer[n] = '\0';
}

const volatile StampBlock* StampBlockAddress() { return &g_orvantaStampBlock; }

}  // namespace ProfileTesting
