// What a pass writes below the brand's key besides the file records: the
// manifest's REG section, the referrer and the update records.
#include "engine/Registration.h"

#include <vector>

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/EngineLog.h"
#include "engine/Manifest.h"
#include "utils/ini/IniFile.h"
#include "utils/registry/RegistryKey.h"

namespace Registration {

namespace {

const char* const kFunction = "Registration::ApplyRegSection";

} // namespace

void ApplyRegSection(Utils::RegistryKey& productKey, const std::string& brand, Utils::IniFile& manifest) {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    manifest.GetSection("REG", keys, values);
    for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
        Manifest::RegEntry entry;
        if (!Manifest::ParseRegEntry(keys[i], values[i], entry)) {
            EngineLog::Text(kFunction, "REG entry ignored: ", keys[i] + "=" + values[i]);
            continue;
        }
        std::string subKey = entry.subKey.empty() ? brand : brand + "\\" + entry.subKey;
        if (entry.isNumber) {
            productKey.SetDword(entry.name, static_cast<DWORD>(Manifest::LeadingInt(entry.data)), entry.overwrite,
                                subKey);
        } else {
            productKey.SetString(entry.name, entry.data, entry.overwrite, subKey);
        }
    }
}

void WriteReferrer(Utils::RegistryKey& productKey, const std::string& brand, const std::string& referrer) {
    productKey.SetString("ReferrerUrl", ReferrerForRegistry(referrer), true, brand);
}

void ReadUpdateRecord(const std::string& productId, std::string& lastLang, std::string& lastDate) {
    Utils::RegistryKey key(Utils::kUserHive, productId);
    lastLang = key.GetString(Dialog().AppendAnswerSuffix("LastUpdateLang"), "", "");
    lastDate = key.GetString(Dialog().AppendAnswerSuffix("LastUpdateDate"), "", "");
}

void WriteUpdateRecord(const std::string& productId, const std::string& lang, const std::string& date) {
    Utils::RegistryKey key(Utils::kUserHive, productId);
    key.SetString(Dialog().AppendAnswerSuffix("LastUpdateLang"), lang, true, "");
    key.SetString(Dialog().AppendAnswerSuffix("LastUpdateDate"), date, true, "");
}

} // namespace Registration
