#include "funnel/FailureReport.h"

#include <cstdarg>

#include "app/profile/Profile.h"
#include "orvanta_config.h"
#include "utils/http/SendHttp.h"
#include "utils/system/System.h"

namespace {

const char kPath[] = "ClientsFailure.asp";

// Only what cannot carry a player's data: a step name of letters, a date of digits.
std::string OnlyOf(const std::string& text, const char* allowed) {
    return text.find_first_not_of(allowed) == std::string::npos ? text : std::string();
}

// The one parameter list, for the request and for its target alike.
template <typename Send>
void WithParameters(const Utils::Result& failure, const std::string& stage, const std::string& askedDate,
                    Send send) {
    const std::string step = OnlyOf(stage, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const std::string date = OnlyOf(askedDate, "0123456789");
    const std::string windows = Utils::System::GetOSVersionNumbers();
    send(ORVANTA_LOG_HOST, kPath,
         "i", "StartTime", static_cast<int>(StampValue(SLOT_CHAIN_START_TIME)),
         "i", "StartRandom", static_cast<int>(StampValue(SLOT_CHAIN_START_RANDOM)),
         "i", "Did", static_cast<int>(StampValue(SLOT_DID)),
         "i", "Tag1", static_cast<int>(StampValue(SLOT_TAG1)),
         "i", "Tag2", static_cast<int>(StampValue(SLOT_TAG2)),
         "s", "Reason", Utils::ReasonName(failure.reason),
         "s", "Error", std::to_string(failure.error).c_str(),
         "s", "Stage", step.c_str(),
         "s", "Build", ORVANTA_BUILD_ID,
         "s", "WinVer", windows.c_str(),
         "s", "Date", date.c_str(),
         static_cast<const char*>(nullptr));
}

std::string TargetOf(const char* host, const char* path, ...) {
    va_list groups;
    va_start(groups, path);
    const std::string target = Utils::HTTP::BuildSendHttpRequest(host, path, groups).path;
    va_end(groups);
    return target;
}

} // namespace

std::string FailureReportTarget(const Utils::Result& failure, const std::string& stage, const std::string& askedDate) {
    std::string target;
    WithParameters(failure, stage, askedDate, [&](auto... arguments) { target = TargetOf(arguments...); });
    return target;
}

void FailureReport(const Utils::Result& failure, const std::string& stage, const std::string& askedDate) {
    if (!ORVANTA_FAILURE_REPORTS || failure.Ok()) return;
    WithParameters(failure, stage, askedDate, [](auto... arguments) { Utils::HTTP::SendHttp(arguments...); });
}
