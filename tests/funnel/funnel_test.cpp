// Funnel reports reach the log server with the stamped values, in order, by
// their real host name.
#include <gtest/gtest.h>

#include "app/profile/Profile.h"
#include "funnel/FunnelReport.h"
#include "orvanta_config.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/http/SendHttp.h"

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
