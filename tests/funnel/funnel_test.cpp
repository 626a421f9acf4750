// Funnel reports reach the log server with the stamped values, in order, by
// their real host name.
#include <gtest/gtest.h>

#include "app/profile/Profile.h"
#include "funnel/FailureReport.h"
#include "funnel/FunnelReport.h"
#include "orvanta_config.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/http/SendHttp.h"
#include "utils/string/String.h"
#include "utils/system/System.h"

using TestSupport::Response;
using TestSupport::ScopedProxy;
using TestSupport::TestHttpServer;

namespace {

class FunnelTest : public ::testing::Test {
protected:
    FunnelTest() : proxy(server.Port()) {}
    void SetUp() override {
        ASSERT_TRUE(proxy.Ok());
        for (int slot = 0; slot < STAMP_SLOT_COUNT; ++slot) saved[slot] = StampValue(slot);
    }
    void TearDown() override {
        Utils::HTTP::WaitForPendingSends(30000);
        for (int slot = 0; slot < STAMP_SLOT_COUNT; ++slot) ProfileTesting::PokeStampValue(slot, saved[slot]);
    }
    void Stamp(int32_t time, int32_t random, int32_t did, int32_t tag1, int32_t tag2) {
        ProfileTesting::PokeStampValue(SLOT_CHAIN_START_TIME, time);
        ProfileTesting::PokeStampValue(SLOT_CHAIN_START_RANDOM, random);
        ProfileTesting::PokeStampValue(SLOT_DID, did);
        ProfileTesting::PokeStampValue(SLOT_TAG1, tag1);
        ProfileTesting::PokeStampValue(SLOT_TAG2, tag2);
    }

    TestHttpServer server;
    ScopedProxy proxy;
    int32_t saved[STAMP_SLOT_COUNT] = {};
};

TEST_F(FunnelTest, ReportCarriesTheStampedValuesToTheLogHost) {
    struct Case {
        int32_t time, random, did, tag1, tag2;
        FunnelStage stage;
        const char* query;
    } cases[] = {
        {1191945099, 8246, 1, 1, 1, FUNNEL_FIRST_START, "StartTime=1191945099&StartRandom=8246&Status=30&Did=1&Tag1=1&Tag2=1&"},
        {1191945099, 8246, 1, -12, 0, FUNNEL_ANSWERS_KNOWN, "StartTime=1191945099&StartRandom=8246&Status=40&Did=1&Tag1=-12&Tag2=0&"},
        {-2147483647 - 1, 2147483647, 345, 7, 9, FUNNEL_INSTALLER_COPIED,
         "StartTime=-2147483648&StartRandom=2147483647&Status=50&Did=345&Tag1=7&Tag2=9&"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        server.ClearRequests();
        Stamp(c.time, c.random, c.did, c.tag1, c.tag2);
        FunnelReport(c.stage);
        ASSERT_TRUE(server.WaitForRequests(1));
        auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "GET");
        EXPECT_EQ(requests[0].host, ORVANTA_LOG_HOST);
        EXPECT_EQ(requests[0].path, std::string("/ClientsRecruitChain.asp?") + c.query);
        EXPECT_EQ(requests[0].target,
                  std::string("http://") + ORVANTA_LOG_HOST + ":80/ClientsRecruitChain.asp?" + c.query);
        ASSERT_TRUE(Utils::HTTP::WaitForPendingSends(30000));
    }
}

// A failed run's report: its own path, the stamped funnel, why and where, and
// nothing that is not a step name or a date of digits.
TEST_F(FunnelTest, FailureReportNamesTheFunnelTheReasonAndTheStage) {
    Stamp(1765000000, 4242, 30, 7, -12);
    const std::string windows = Utils::System::GetOSVersionNumbers();
    ASSERT_FALSE(windows.empty());
    std::string version, build;
    Utils::String::UrlEncode(windows, version);
    Utils::String::UrlEncode(ORVANTA_BUILD_ID, build);
    const std::string funnel = "StartTime=1765000000&StartRandom=4242&Did=30&Tag1=7&Tag2=-12&";
    const std::string tail = "&Build=" + build + "&WinVer=" + version;
    const struct {
        Utils::Result failure;
        const char* stage;
        const char* date;
        std::string query;
    } cases[] = {
        {Utils::Result::Failure(Utils::Reason::ServerUnreachable, 12029), "FetchFiles", "20250102000000",
         funnel + "Reason=server%2Dunreachable&Error=12029&Stage=FetchFiles" + tail + "&Date=20250102000000&"},
        {Utils::Result::Failure(Utils::Reason::ManifestBadSignature, 0, "C:\\Users\\someone"), "ReadManifest", "",
         funnel + "Reason=manifest%2Dbad%2Dsignature&Error=0&Stage=ReadManifest" + tail + "&Date=&"},
        // Only a step name and a date of digits are sent.
        {Utils::Result::Failure(Utils::Reason::Cancelled), "C:\\Users", "2025-01-02",
         funnel + "Reason=cancelled&Error=0&Stage=" + tail + "&Date=&"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        server.ClearRequests();
        FailureReport(c.failure, c.stage, c.date);
        ASSERT_TRUE(server.WaitForRequests(1));
        EXPECT_EQ(server.Requests()[0].host, ORVANTA_LOG_HOST);
        EXPECT_EQ(server.Requests()[0].path, "/ClientsFailure.asp?" + c.query);
        EXPECT_EQ(FailureReportTarget(c.failure, c.stage, c.date), "ClientsFailure.asp?" + c.query);
        ASSERT_TRUE(Utils::HTTP::WaitForPendingSends(30000));
    }
    server.ClearRequests();
    FailureReport(Utils::Result::Success(), "FetchFiles", "");  // success is no failure
    ASSERT_TRUE(Utils::HTTP::WaitForPendingSends(30000));
    EXPECT_TRUE(server.Requests().empty());
}

TEST(FunnelSilent, SilentLogServerDoesNotHoldUpTheCaller) {
    int32_t savedDid = StampValue(SLOT_DID);
    Response silent;
    silent.neverAnswer = true;
    {
        TestHttpServer server;
        server.SetResponse("/ClientsRecruitChain.asp", silent);
        ScopedProxy proxy(server.Port());
        FunnelReport(FUNNEL_POST_INSTALL_DONE);
        FunnelReport(FUNNEL_POST_INSTALL_DONE);
        // Back here while both requests wait for an answer that never comes.
        ASSERT_TRUE(server.WaitForRequests(2));
        EXPECT_EQ(Utils::HTTP::PendingSends(), 2);
        EXPECT_FALSE(Utils::HTTP::WaitForPendingSends(100));
    }  // the server goes away: the sends end without an answer
    EXPECT_TRUE(Utils::HTTP::WaitForPendingSends(60000));
    EXPECT_EQ(StampValue(SLOT_DID), savedDid);
}

} // namespace
