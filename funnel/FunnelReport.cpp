#include "funnel/FunnelReport.h"

#include "app/profile/Profile.h"
#include "orvanta_config.h"
#include "utils/http/SendHttp.h"

void FunnelReport(FunnelStage stage) {
    Utils::HTTP::SendHttp(ORVANTA_LOG_HOST, "ClientsRecruitChain.asp",
                          "i", "StartTime", static_cast<int>(StampValue(SLOT_CHAIN_START_TIME)),
                          "i", "StartRandom", static_cast<int>(StampValue(SLOT_CHAIN_START_RANDOM)),
                          "i", "Status", static_cast<int>(stage),
                          "i", "Did", static_cast<int>(StampValue(SLOT_DID)),
                          "i", "Tag1", static_cast<int>(StampValue(SLOT_TAG1)),
                          "i", "Tag2", static_cast<int>(StampValue(SLOT_TAG2)),
                          static_cast<const char*>(nullptr));
}
