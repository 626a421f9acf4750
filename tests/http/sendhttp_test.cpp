// The form sender: query building, the error for an unknown type, and real
// fire-and-forget sends to the loopback server.
#include <gtest/gtest.h>

#include <cstdarg>

#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/Exception.h"
#include "utils/http/SendHttp.h"

using TestSupport::Response;
using TestSupport::ScopedProxy;
using TestSupport::TestHttpServer;
using Utils::HTTP::SendHttpRequest;

namespace {

SendHttpRequest Build(const char* path, ...) {
    va_list groups;
    va_start(groups, path);
    SendHttpRequest request;
    try {
        request = Utils::HTTP::BuildSendHttpRequest("h", path, groups);
    } catch (...) {
        va_end(groups);
        throw;
    }
    va_end(groups);
    return request;
}

const char* const kEnd = nullptr;

TEST(SendHttpQuery, GroupsAreEncodedAndEachPairEndsWithAmpersand) {
    EXPECT_EQ(Build("p.asp", "i", "A", 5, "s", "b c", "x&y", kEnd).path, "p.asp?A=5&b+c=x%26y&");
    EXPECT_EQ(Build("p.asp", "i", "n", -12, kEnd).path, "p.asp?n=-12&");
    EXPECT_EQ(Build("p.asp", "s", "\xE9-._~", "\xE9", kEnd).path, "p.asp?%E9%2D%2E%5F%7E=%E9&");
    EXPECT_EQ(Build("p.asp", "i", "a b", 1, kEnd).path, "p.asp?a+b=1&");  // the int's name is encoded too
    EXPECT_EQ(Build("p.asp", kEnd).path, "p.asp");                        // no groups: no "?"
    // Only the first character of the type counts.
    EXPECT_EQ(Build("p.asp", "int", "k", 7, kEnd).path, "p.asp?k=7&");
}

TEST(SendHttpQuery, PortAndSecureAddOnlyTheQuestionMark) {
    SendHttpRequest request = Build("p.asp", "x", "i", "n", 1, kEnd);
    EXPECT_EQ(request.path, "p.asp?n=1&");
    EXPECT_TRUE(request.secure);
    EXPECT_EQ(request.port, -1);
    request = Build("p.asp", "p", 8080, kEnd);
    EXPECT_EQ(request.path, "p.asp?");
    EXPECT_EQ(request.port, 8080);
    EXPECT_FALSE(request.secure);
}

TEST(SendHttpQuery, UnknownTypeThrowsBeforeAnythingIsSent) {
    long before = Utils::HTTP::PendingSends();
    Utils::Exception* caught = nullptr;
    try {
        Utils::HTTP::SendHttp("127.0.0.1", "p.asp", "i", "a", 1, "z", kEnd);
    } catch (Utils::Exception* exception) {
        caught = exception;
    }
    ASSERT_NE(caught, nullptr);
    EXPECT_EQ(caught->Place(), "Utils::HTTP::SendHttp");
    EXPECT_EQ(caught->Message().compare(0, 14, "switch default"), 0) << caught->Message();
    delete caught;
    EXPECT_EQ(Utils::HTTP::PendingSends(), before);
}

TEST(SendHttpLive, SendsOneGetWithTheQueryToTheNamedHost) {
    TestHttpServer server;
    ScopedProxy proxy(server.Port());
    Utils::HTTP::SendHttp("log.orvanta.test", "Rep.asp", "i", "A", 5, "s", "b c", "x&y", kEnd);
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_TRUE(Utils::HTTP::WaitForPendingSends(30000));
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "http://log.orvanta.test:80/Rep.asp?A=5&b+c=x%26y&");
}

TEST(SendHttpLive, ServerThatNeverAnswersDoesNotHoldTheCallerAndTheWaitIsBounded) {
    Response silent;
    silent.neverAnswer = true;
    {
        TestHttpServer server;
        server.SetResponse("/Rep.asp", silent);
        ScopedProxy proxy(server.Port());
        Utils::HTTP::SendHttp("log.orvanta.test", "Rep.asp", "i", "n", 1, kEnd);
        Utils::HTTP::SendHttp("log.orvanta.test", "Rep.asp", "i", "n", 2, kEnd);
        // Both calls have returned although no answer can ever come.
        ASSERT_TRUE(server.WaitForRequests(2));
        EXPECT_EQ(Utils::HTTP::PendingSends(), 2);
        EXPECT_FALSE(Utils::HTTP::WaitForPendingSends(200));
        EXPECT_EQ(Utils::HTTP::PendingSends(), 2);
    }  // the server closes the silent connections: the sends end
    EXPECT_TRUE(Utils::HTTP::WaitForPendingSends(60000));
    EXPECT_EQ(Utils::HTTP::PendingSends(), 0);
}

} // namespace
