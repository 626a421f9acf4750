#include "app/profile/Profile.h"

#include <windows.h>

#include <cstddef>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "orvanta_config.h"
#include "support/TestFiles.h"
#include "utils/Exception.h"
#include "utils/registry/RegistryKey.h"

namespace {

const char* const kTestKey = "OrvantaTest_test_profile";

// The template's slot values, as a copy fresh from the build carries them.
const int32_t kTemplate[STAMP_SLOT_COUNT] = {4, 0, 2, 1, 0, 262143, 1, 1, 1191945099, 8246, 1, 1, 1};

// Puts the in-memory stamp back to the template after a test changed it.
struct StampRestorer {
    ~StampRestorer() {
        for (int s = 0; s < STAMP_SLOT_COUNT; ++s) ProfileTesting::PokeStampValue(s, kTemplate[s]);
        ProfileTesting::PokeStampReferrer("");
    }
};

ProfileAnswers Answers(std::initializer_list<int> values) {
    ProfileAnswers a;
    int i = 0;
    for (int v : values) a.Set(i++, v);
    return a;
}

}  // namespace

TEST(StampBlock, LayoutAndTemplateValuesInTheExecutable) {
    EXPECT_EQ(offsetof(StampBlock, slots), 24u);
    EXPECT_EQ(offsetof(StampBlock, trailingGuard), 76u);
    EXPECT_EQ(offsetof(StampBlock, zero), 100u);
    EXPECT_EQ(offsetof(StampBlock, referrer), 104u);

    const volatile StampBlock* block = ProfileTesting::StampBlockAddress();
    // Compared value by value: a guard array in this test would be a second block for the tool.
    EXPECT_EQ(block->leadingGuard[0], 348);
    EXPECT_EQ(block->leadingGuard[1], 2001);
    EXPECT_EQ(block->leadingGuard[2], 9);
    EXPECT_EQ(block->leadingGuard[3], 637);
    EXPECT_EQ(block->leadingGuard[4], 27);
    EXPECT_EQ(block->leadingGuard[5], 637);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(block->trailingGuard[i], block->leadingGuard[5 - i]) << i;
    EXPECT_EQ(block->zero, 0);
    for (int s = 0; s < STAMP_SLOT_COUNT; ++s) EXPECT_EQ(StampValue(s), kTemplate[s]) << "slot " << s;
    EXPECT_EQ(StampValue(-1), 0);
    EXPECT_EQ(StampValue(STAMP_SLOT_COUNT), 0);
    EXPECT_EQ(StampReferrer(), "");
}

TEST(StampBlock, ExactlyOneGuardedBlockInTheFile) {
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    const std::string bytes = TestSupport::ReadText(path);
    ASSERT_GT(bytes.size(), sizeof(StampBlock));
    int found = 0;
    const volatile StampBlock* block = ProfileTesting::StampBlockAddress();
    for (size_t at = 0; at + sizeof(StampBlock) <= bytes.size(); at += 4) {
        const int32_t* words = reinterpret_cast<const int32_t*>(&bytes[at]);
        bool match = true;
        for (int i = 0; i < 6 && match; ++i)
            match = words[i] == block->leadingGuard[i] && words[19 + i] == block->trailingGuard[i];
        if (match) {
            ++found;
            for (int s = 0; s < STAMP_SLOT_COUNT; ++s) EXPECT_EQ(words[6 + s], kTemplate[s]);
        }
    }
    EXPECT_EQ(found, 1);
}

TEST(StampBlock, ReadsWhatIsStampedNotTheTemplate) {
    StampRestorer restore;
    ProfileTesting::PokeStampValue(SLOT_DID, 4711);
    ProfileTesting::PokeStampValue(SLOT_LANG, 5);
    ProfileTesting::PokeStampValue(SLOT_LANG_MASK, 0);
    ProfileTesting::PokeStampReferrer("687474703A2F2F782F");
    EXPECT_EQ(StampValue(SLOT_DID), 4711);
    EXPECT_EQ(OfferMask(FIELD_LANG), 0u);
    ProfileAnswers answers;
    answers.ResolveStamped();
    EXPECT_EQ(answers.Get(FIELD_DID), 4711);
    EXPECT_EQ(answers.Get(FIELD_LANG), 5);
    EXPECT_EQ(ReferrerForRegistry(StampReferrer()), "http://x/");

    ProfileTesting::PokeStampReferrer(std::string(2000, 'a'));
    EXPECT_EQ(StampReferrer().size(), 1023u);
}

TEST(ProfileRecords, TableAndSlotCursor) {
    const char* markers[PROFILE_FIELD_COUNT] = {"%Server_", "%Product_", "%Did_", "%Lang_", "%Tag_", "%Tag2_",
                                                "%ChainStartTime_", "%ChainStartRandom_", "%Fun_", "%Currency_",
                                                "%BrandId_"};
    const int kinds[PROFILE_FIELD_COUNT] = {Choice, TypedNumber, TypedNumber, Choice, Fixed, Fixed,
                                            Fixed,  Fixed,       Fixed,       Fixed,  Fixed};
    const int flags[PROFILE_FIELD_COUNT] = {1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    const int firstSlots[PROFILE_FIELD_COUNT] = {0, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12};
    int cursor = 0;
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i) {
        const ProfileRecord& r = ProfileRecordOf(i);
        EXPECT_STREQ(r.marker, markers[i]);
        EXPECT_EQ(r.kind, kinds[i]) << i;
        EXPECT_EQ(r.textFlag, flags[i]) << i;
        EXPECT_EQ(FieldFirstSlot(i), firstSlots[i]) << i;
        EXPECT_EQ(cursor, firstSlots[i]);
        cursor = AdvanceSlotCursor(cursor, i);
    }
    EXPECT_EQ(cursor, STAMP_SLOT_COUNT);
    EXPECT_EQ(OfferMask(FIELD_LANG), 262143u);
    EXPECT_EQ(OfferMask(FIELD_DID), 0u);

    const ProfileRecord& server = ProfileRecordOf(FIELD_SERVER);
    EXPECT_EQ(server.optionCount, 0);
    EXPECT_EQ(server.columns, 2);
    const char* hosts[] = {ORVANTA_LAN1_HOST, ORVANTA_LAN2_HOST, ORVANTA_TEST_HOST, ORVANTA_PRODUCTION_HOST,
                           ORVANTA_LOOPBACK_HOST};
    for (int k = 0; k < 5; ++k) EXPECT_STREQ(server.options[k], hosts[k]);
    EXPECT_STREQ(server.options[5], "");

    const ProfileRecord& lang = ProfileRecordOf(FIELD_LANG);
    EXPECT_EQ(lang.optionCount, 18);
    EXPECT_EQ(lang.columns, 3);
    EXPECT_EQ(lang.gridTop, 104);
    EXPECT_EQ(lang.columnPitch, 156);
    EXPECT_EQ(lang.rowPitch, 34);
    EXPECT_EQ(lang.imageIds[0], 271);   // English
    EXPECT_EQ(lang.imageIds[8], 285);   // Dutch
    EXPECT_EQ(lang.imageIds[17], 315);  // Portuguese
    EXPECT_EQ(lang.imageIds[18], 0);

    bool thrown = false;
    try {
        ProfileRecordOf(PROFILE_FIELD_COUNT);
    } catch (Utils::Exception* e) {
        thrown = true;
        delete e;
    }
    EXPECT_TRUE(thrown);
}

TEST(ProfileRecords, LanguageCodesAndGrid) {
    WriteLanguageCodes();
    const ProfileRecord& lang = ProfileRecordOf(FIELD_LANG);
    const char* codes[] = {"EN", "DE", "IT", "HE", "TR", "EL", "JA", "SV", "NL",
                           "FR", "DK", "ES", "ZH", "AR", "FI", "NO", "RU", "PT"};
    for (int k = 0; k < LANGUAGE_COUNT; ++k) {
        EXPECT_STREQ(lang.options[k], codes[k]);
        EXPECT_STREQ(LanguageCode(k + 1), codes[k]);
    }
    EXPECT_STREQ(LanguageCode(0), "??");
    EXPECT_STREQ(LanguageCode(19), "??");
    EXPECT_STREQ(LanguageCode(-3), "??");
    EXPECT_STREQ(LanguageName(13), "Chinese");
    EXPECT_STREQ(LanguageName(0), LANGUAGE_NAMES[0]);

    CenterLanguageGrid(600);
    EXPECT_EQ(lang.gridLeft, 70);
    CenterLanguageGrid(600);  // a second dialog start must not move it further
    EXPECT_EQ(lang.gridLeft, 70);
    CenterLanguageGrid(490);
    EXPECT_EQ(lang.gridLeft, 15);
}

TEST(ProfileAnswers, ResolveFromSlots) {
    struct Case {
        const char* label;
        int slot;
        int32_t value;
        int slot2;
        int32_t value2;
        int field;
        int expected;
        bool open;
    } cases[] = {
        {"template leaves the language open", -1, 0, -1, 0, FIELD_LANG, 0, true},
        {"language stamped with mask 0", SLOT_LANG, 7, SLOT_LANG_MASK, 0, FIELD_LANG, 7, false},
        {"language value with a mask is asked", SLOT_LANG, 7, SLOT_LANG_MASK, 4, FIELD_LANG, 0, true},
        {"language 0 with mask 0", SLOT_LANG, 0, SLOT_LANG_MASK, 0, FIELD_LANG, 0, true},
        {"server with a mask is asked", SLOT_SERVER_MASK, 1, -1, 0, FIELD_SERVER, 0, true},
        {"server 0", SLOT_SERVER, 0, -1, 0, FIELD_SERVER, 0, true},
        {"server above 0 as unsigned", SLOT_SERVER, -2, -1, 0, FIELD_SERVER, -2, false},
        {"product 0 is asked", SLOT_PRODUCT, 0, -1, 0, FIELD_PRODUCT, 0, true},
        {"negative download id taken", SLOT_DID, -9, -1, 0, FIELD_DID, -9, false},
        {"fixed 0 stays 0, never asked", SLOT_TAG2, 0, -1, 0, FIELD_TAG2, 0, false},
        {"brand from the last slot", SLOT_BRAND_ID, 30, -1, 0, FIELD_BRAND_ID, 30, false},
    };
    for (const Case& c : cases) {
        int32_t slots[STAMP_SLOT_COUNT];
        for (int s = 0; s < STAMP_SLOT_COUNT; ++s) slots[s] = kTemplate[s];
        if (c.slot >= 0) slots[c.slot] = c.value;
        if (c.slot2 >= 0) slots[c.slot2] = c.value2;
        ProfileAnswers a;
        a.ResolveFrom(slots);
        EXPECT_EQ(a.Get(c.field), c.expected) << c.label;
        EXPECT_EQ(a.IsOpen(c.field), c.open) << c.label;
    }
    ProfileAnswers a;
    a.ResolveFrom(kTemplate);
    const int expected[PROFILE_FIELD_COUNT] = {4, 2, 1, 0, 1, 1, 1191945099, 8246, 1, 1, 1};
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i) EXPECT_EQ(a.Get(i), expected[i]) << i;
}

TEST(ProfileAnswers, OptionTextsAndDerivedNames) {
    WriteLanguageCodes();
    ProfileAnswers a = Answers({4, 2, 1, 1, 1, 1, 1191945099, 8246, 1, 1, 1});
    EXPECT_EQ(a.DownloadHost(), ORVANTA_PRODUCTION_HOST);
    EXPECT_EQ(a.ProductWord(), "Tindermoor");
    EXPECT_EQ(a.LanguageCodeText(), "EN");
    EXPECT_EQ(a.RequestKey(), "ReqData_4_2_1");
    EXPECT_EQ(a.AppendAnswerSuffix("LastUpdateLang"), "LastUpdateLang_4_2_1");
    EXPECT_EQ(a.ProfileIniName(),
              "%Product_Tindermoor%Did_1%Lang_EN%Tag_1%Tag2_1%ChainStartTime_1191945099"
              "%ChainStartRandom_8246%Fun_1%Currency_1%BrandId_1.ini");

    ProfileAnswers open = Answers({4, 0, -3, 19, -12});
    EXPECT_EQ(open.ProductWord(), "");     // unknown product
    EXPECT_EQ(open.LanguageCodeText(), "");  // beyond the 18 languages
    EXPECT_EQ(open.RequestKey(), "");
    EXPECT_EQ(open.AppendAnswerSuffix("LastUpdateDate"), "LastUpdateDate_4_0_-3");
    EXPECT_EQ(open.ProfileIniName(),
              "%Product_%Did_-3%Lang_%Tag_-12%Tag2_0%ChainStartTime_0%ChainStartRandom_0%Fun_0%Currency_0"
              "%BrandId_0.ini");
    EXPECT_EQ(Answers({0, 2, 1}).RequestKey(), "");
    EXPECT_EQ(Answers({4, 2, 0}).RequestKey(), "");
    EXPECT_EQ(Answers({-1, 1, 1}).OptionText(FIELD_SERVER), "");
    EXPECT_EQ(Answers({5}).OptionText(FIELD_SERVER), ORVANTA_LOOPBACK_HOST);
    EXPECT_EQ(a.OptionText(FIELD_DID), "");  // a number field has no option texts
    EXPECT_EQ(a.OptionText(PROFILE_FIELD_COUNT), "");

    std::string longName(70, 'n');
    std::string suffixed = Answers({-2147483647 - 1, -2147483647 - 1, -2147483647 - 1}).AppendAnswerSuffix(longName);
    EXPECT_EQ(suffixed, longName.substr(0, 63));
    std::string nearLimit(50, 'v');
    EXPECT_EQ(a.AppendAnswerSuffix(nearLimit), nearLimit + "_4_2_1");
    EXPECT_EQ(Answers({444, 222, 11111}).AppendAnswerSuffix(nearLimit), (nearLimit + "_444_222_11111").substr(0, 63));
}

TEST(BrandNames, FamiliesAndFallBacks) {
    struct Case {
        int family, brand;
        const char* name;
    } cases[] = {{1, 3, "Quarrelle"},   {1, 10, "Vesperhall"}, {1, 30, "Lunaridge"}, {1, 0, "Zentaro"},
                 {1, 11, "Zentaro"},    {2, 10, "Marbleton"},  {2, 30, "Copperine"}, {2, 11, "Halvenor"},
                 {2, 3, "Halvenor"},    {3, 3, "Brindlewick"}, {3, -7, "Brindlewick"}, {4, 3, "BrandUnknown"},
                 {0, 10, "BrandUnknown"}, {-1, 1, "BrandUnknown"}};
    for (const Case& c : cases) EXPECT_EQ(BrandNameFor(c.family, c.brand), c.name) << c.family << "/" << c.brand;
}

TEST(Referrer, RegistryText) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"687474703A2F2F612F62", "http://a/b"},
        {"4a4B", "JK"},
        {"414", "414"},        // odd count of hex digits: kept as it is instead of failing
        {"4142G3", "4142G3"},  // not all hex digits
        {"41 42", "41 42"},
        {"http://plain/", "http://plain/"},
    };
    for (const Case& c : cases) EXPECT_EQ(ReferrerForRegistry(c.in), c.out) << c.in;
}

class RememberedAnswers : public ::testing::Test {
protected:
    void TearDown() override { Wipe(); }
    static void Wipe() { RegDeleteTreeA(HKEY_CURRENT_USER, (std::string("Software\\") + kTestKey).c_str()); }
    static bool HasValue(const std::string& name) {
        Utils::RegistryKey key(1, kTestKey);
        return key.GetDword(name, "", 0xDEAD) != 0xDEAD || key.GetDword(name, "", 0xBEEF) != 0xBEEF;
    }
    struct Wiper {
        Wiper() { Wipe(); }
    };
    StampRestorer restore;
    Wiper wiper;  // before key: the key object creates its path when constructed
    Utils::RegistryKey key{1, kTestKey};
};

TEST_F(RememberedAnswers, SavedFunnelIsKnownAndReloadsEveryAnswer) {
    ProfileAnswers first;
    first.ResolveStamped();
    first.Set(FIELD_LANG, 12);
    EXPECT_FALSE(first.IsKnownFunnel(key)) << "nothing remembered yet";
    first.Save(key);
    EXPECT_EQ(key.GetDword("ReqData_4_2_1%Lang_", "", 0), 12u);
    EXPECT_EQ(key.GetDword("ReqData_4_2_1%ChainStartTime_", "", 0), 1191945099u);

    key.SetDword("ReqData_4_2_1%Tag_", static_cast<DWORD>(-12), true, "");  // loaded answers come from the key
    ProfileAnswers second;
    second.ResolveStamped();
    EXPECT_TRUE(second.IsKnownFunnel(key));
    EXPECT_EQ(second.Get(FIELD_LANG), 12);
    EXPECT_EQ(second.Get(FIELD_TAG1), -12);
    EXPECT_EQ(second.Get(FIELD_CHAIN_START_RANDOM), 8246);

    second.Remove(key);
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i)
        EXPECT_FALSE(HasValue(std::string("ReqData_4_2_1") + ProfileRecordOf(i).marker)) << i;
    ProfileAnswers third;
    third.ResolveStamped();
    EXPECT_FALSE(third.IsKnownFunnel(key));
}

TEST_F(RememberedAnswers, NewFunnelOfTheSameDownloadIsAFirstRun) {
    ProfileAnswers stored;
    stored.ResolveStamped();
    stored.Set(FIELD_LANG, 3);
    stored.Save(key);

    struct Case {
        int slot;
        int32_t value;
    } cases[] = {{SLOT_CHAIN_START_RANDOM, 8247}, {SLOT_CHAIN_START_TIME, 1191945100}};
    for (const Case& c : cases) {
        ProfileTesting::PokeStampValue(c.slot, c.value);
        ProfileAnswers now;
        now.ResolveStamped();
        EXPECT_FALSE(now.IsKnownFunnel(key)) << c.slot;
        EXPECT_EQ(now.Get(FIELD_LANG), 0) << "answers of a first run are not reloaded";
        ProfileTesting::PokeStampValue(c.slot, kTemplate[c.slot]);
    }
}

TEST_F(RememberedAnswers, ZeroFunnelIsNotKnownBeforeItWasSaved) {
    ProfileTesting::PokeStampValue(SLOT_CHAIN_START_TIME, 0);
    ProfileTesting::PokeStampValue(SLOT_CHAIN_START_RANDOM, 0);
    ProfileAnswers a;
    a.ResolveStamped();
    EXPECT_FALSE(a.IsKnownFunnel(key));
    EXPECT_EQ(a.Get(FIELD_SERVER), 4) << "stamped answers kept";
    a.Save(key);
    ProfileAnswers again;
    again.ResolveStamped();
    EXPECT_TRUE(again.IsKnownFunnel(key));
}

TEST_F(RememberedAnswers, EmptyRequestKeyNeitherReadsNorWrites) {
    ProfileTesting::PokeStampValue(SLOT_PRODUCT, 0);
    ProfileAnswers a;
    a.ResolveStamped();
    ASSERT_EQ(a.RequestKey(), "");
    a.Save(key);
    EXPECT_FALSE(a.IsKnownFunnel(key));
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i) {
        EXPECT_FALSE(HasValue(ProfileRecordOf(i).marker)) << i;
        EXPECT_FALSE(HasValue(std::string("ReqData_4_0_1") + ProfileRecordOf(i).marker)) << i;
    }
}
