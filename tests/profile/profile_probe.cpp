// Prints the profile this executable carries, one "name=value" per line, so a
// stamped copy can be compared with what the stamping tool was asked to write.
#include <cstdio>

#include "app/profile/Profile.h"

int main() {
    static const char* const slotNames[STAMP_SLOT_COUNT] = {
        "server", "server_mask", "product", "did", "lang", "lang_mask", "tag1", "tag2",
        "chain_start_time", "chain_start_random", "fun", "currency", "brand"};
    for (int s = 0; s < STAMP_SLOT_COUNT; ++s) std::printf("slot.%s=%ld\n", slotNames[s], (long)StampValue(s));
    std::printf("referrer=%s\n", StampReferrer().c_str());
    std::printf("referrer_registry=%s\n", ReferrerForRegistry(StampReferrer()).c_str());

    WriteLanguageCodes();
    ProfileAnswers answers;
    answers.ResolveStamped();
    for (int i = 0; i < PROFILE_FIELD_COUNT; ++i) std::printf("answer.%d=%d\n", i, answers.Get(i));
    std::printf("host=%s\n", answers.DownloadHost().c_str());
    std::printf("product_word=%s\n", answers.ProductWord().c_str());
    std::printf("request_key=%s\n", answers.RequestKey().c_str());
    std::printf("ini_name=%s\n", answers.ProfileIniName().c_str());
    std::printf("brand=%s\n", BrandNameFor(StampValue(SLOT_PRODUCT), StampValue(SLOT_BRAND_ID)).c_str());
    return 0;
}
