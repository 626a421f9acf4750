// FetchAhead over real WinINet, through the prefix's proxy setting, against the
// loopback test server. The server holds chosen answers back until others have
// been sent, so answers arrive out of order whatever the machine's load.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HttpTestUtil.h"
#include "support/RecordingDialog.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/http/FetchAhead.h"
#include "utils/http/FileDownloaderListener.h"

using TestSupport::Response;
using Utils::HTTP::FetchAhead;
using Utils::HTTP::FetchRequest;
using Utils::HTTP::FetchResult;

namespace {

// The file bar as the committing side would show it: calls arrive one at a
// time (the object's lock), from several threads.
struct RecordingBar : Utils::HTTP::ProgressSink {
    std::vector<std::pair<char, int>> calls;  // ('r', range) / ('p', position)
    void SetRange(int range) override { calls.emplace_back('r', range); }
    void SetPosition(int position) override { calls.emplace_back('p', position); }
    void ReportFailure(const std::string& text) override { calls.emplace_back('!', static_cast<int>(text.size())); }
};

class FetchAheadTest : public ::testing::Test {
protected:
    FetchAheadTest() : proxy(server.Port()) {}
    void SetUp() override { ASSERT_TRUE(proxy.Ok()); }

    // Files /f<i>.bin of different sizes, answered at once unless `special` says otherwise.
    std::vector<FetchRequest> Serve(const std::string& folderName, size_t count,
                                    const std::vector<std::pair<size_t, Response>>& special = {}) {
        folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\" + folderName);
        bodies.clear();
        server.ClearRequests();
        std::vector<FetchRequest> requests;
        for (size_t i = 0; i < count; ++i) {
            Response response;
            response.body = HttpTest::Pattern(1000 + 37000 * i, static_cast<unsigned>(i + 1));
            for (const auto& entry : special)
                if (entry.first == i) response = entry.second;
            bodies.push_back(response.body);
            server.SetResponse(Path(i), response);
            requests.push_back({"pkg.orvanta.test", Path(i).substr(1), folder + "\\sub\\f" + std::to_string(i) + ".tmp"});
        }
        return requests;
    }
    static std::string Path(size_t i) { return "/f" + std::to_string(i) + ".bin"; }
    static Response After(size_t i, const std::string& body) {
        Response response;
        response.body = body;
        response.answerAfter = Path(i);
        return response;
    }

    TestSupport::TestHttpServer server;
    TestSupport::ScopedProxy proxy;
    TestSupport::RecordingDialog dialog;  // nothing may be shown by the workers
    std::string folder;
    std::vector<std::string> bodies;
};

TEST_F(FetchAheadTest, HandsFilesBackInRequestOrderWhateverOrderTheyArrive) {
    const std::vector<FetchRequest> requests =
        Serve("order", 6, {{0, After(3, HttpTest::Pattern(70000, 50))}, {2, After(5, "two")}});
    RecordingBar bar;
    {
        FetchAhead fetch(requests, 6, bar);
        EXPECT_EQ(fetch.Workers(), 6);
        FetchResult result;
        for (size_t i = 0; i < requests.size(); ++i) {
            ASSERT_TRUE(fetch.Next(result));
            EXPECT_EQ(result.index, i);
            EXPECT_TRUE(result.Succeeded()) << i;
            EXPECT_EQ(result.status, 200);
            EXPECT_EQ(TestSupport::ReadText(requests[i].tempPath), bodies[i]) << i;
        }
        EXPECT_FALSE(fetch.Next(result));
    }
    // Really out of order: the held answers went out after the ones they waited for.
    const std::vector<std::string> answered = server.AnsweredPaths();
    auto at = [&](size_t i) { return std::find(answered.begin(), answered.end(), Path(i)) - answered.begin(); };
    EXPECT_LT(at(3), at(0));
    EXPECT_LT(at(5), at(2));
    // Handed-out files are the caller's: still there.
    for (const FetchRequest& request : requests) {
        EXPECT_TRUE(TestSupport::IsFile(request.tempPath));
    }
    EXPECT_TRUE(dialog.Messages().empty());

    // The bar follows one file at a time: a range, positions that only grow,
    // and that file's end, with no more calls than a single download makes.
    size_t files = 0;
    int range = 0, last = 0;
    for (size_t i = 0; i <= bar.calls.size(); ++i) {
        if (i == bar.calls.size() || bar.calls[i].first == 'r') {
            if (files > 0) {
                EXPECT_EQ(last, range) << "file " << files - 1;
            }
            if (i == bar.calls.size()) break;
            ++files;
            range = bar.calls[i].second;
            last = 0;
            continue;
        }
        ASSERT_EQ(bar.calls[i].first, 'p');
        EXPECT_GE(bar.calls[i].second, last);
        last = bar.calls[i].second;
    }
    EXPECT_EQ(files, requests.size());
    EXPECT_LE(bar.calls.size(), requests.size() * (FileDownloaderListener::kProgressSteps + 2));
}

TEST_F(FetchAheadTest, FailureInTheMiddleEndsTheRunThereAndDiscardsWhatCameAfter) {
    Response missing;
    missing.status = 404;
    Response cut;
    cut.body = HttpTest::Pattern(50000, 9);
    cut.closeAfterBytes = 1000;
    Response unasked;  // part of a file, to a request for the whole
    unasked.status = 206;
    unasked.body = HttpTest::Pattern(50000, 10);
    unasked.headers.emplace_back("Content-Range", "bytes 0-49999/90000");
    for (const Response& failing : {missing, cut, unasked}) {
        SCOPED_TRACE(failing.status);
        // File 0 waits for the failure, so the failure is known while earlier files still run.
        const std::vector<FetchRequest> requests = Serve("failure", 8, {{0, After(3, "zero")}, {3, failing}});
        RecordingBar bar;
        FetchAhead fetch(requests, 4, bar);
        FetchResult result;
        for (size_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(fetch.Next(result));
            EXPECT_TRUE(result.Succeeded());
            EXPECT_EQ(TestSupport::ReadText(requests[i].tempPath), bodies[i]);
        }
        ASSERT_TRUE(fetch.Next(result));
        EXPECT_EQ(result.index, 3u);
        EXPECT_FALSE(result.Succeeded());
        EXPECT_EQ(result.failure, failing.status == 200 ? "FileDownloaderListener::OnError()" : "");
        if (failing.status == 206) {
            EXPECT_EQ(206ul, result.outcome.error);
            EXPECT_EQ(0u, TestSupport::ReadText(requests[3].tempPath).size());
        }
        EXPECT_FALSE(fetch.Next(result));
        fetch.Stop();
        // Whatever was fetched after the failure is gone; what was handed out stays.
        for (size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(TestSupport::IsFile(requests[i].tempPath), i < 4) << i;
        }
        EXPECT_TRUE(dialog.Messages().empty());
    }
}

TEST_F(FetchAheadTest, StopRemovesFetchedFilesNotHandedOut) {
    const std::vector<FetchRequest> requests = Serve("stop", 4, {{0, After(3, "zero")}});
    RecordingBar bar;
    FetchAhead fetch(requests, 4, bar);
    FetchResult result;
    ASSERT_TRUE(fetch.Next(result));
    ASSERT_TRUE(server.WaitForRequests(4));
    fetch.Stop();
    EXPECT_FALSE(fetch.Next(result));
    EXPECT_TRUE(TestSupport::IsFile(requests[0].tempPath));
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_FALSE(TestSupport::IsFile(requests[i].tempPath)) << i;
    }
}

TEST_F(FetchAheadTest, OneAheadFetchesStrictlyOneAfterTheOther) {
    const std::vector<FetchRequest> requests = Serve("serial", 4);
    RecordingBar bar;
    FetchAhead fetch(requests, 1, bar);
    EXPECT_EQ(fetch.Workers(), 1);
    FetchResult result;
    for (size_t i = 0; i < requests.size(); ++i) {
        ASSERT_TRUE(fetch.Next(result));
        // While a file is committed, the next one has not been asked for.
        EXPECT_EQ(server.RequestCount(), i + 1);
        EXPECT_EQ(TestSupport::ReadText(requests[i].tempPath), bodies[i]);
    }
    EXPECT_FALSE(fetch.Next(result));
}

} // namespace

// A cookie the host set goes back with a plain request, never with a fetch
// that asks for none; files are flushed when asked and arrive whole either way.
TEST_F(FetchAheadTest, CookiesOnlyWhenAskedFor) {
    Response setter;
    setter.body = "set";
    setter.headers.emplace_back("Set-Cookie", "session=42; path=/");
    std::vector<FetchRequest> requests = Serve("cookies", 3, {{0, setter}});
    for (FetchRequest& request : requests) request.server = "cookie.orvanta.test";
    requests[2].cookies = false;
    requests[2].flush = true;
    RecordingBar bar;
    FetchResult result;
    for (const FetchRequest& request : requests) {
        FetchAhead fetch({request}, 1, bar);  // one after the other: the cookie is stored before the next asks
        ASSERT_TRUE(fetch.Next(result));
        EXPECT_TRUE(result.Succeeded());
        EXPECT_EQ(TestSupport::ReadText(request.tempPath), bodies[&request - &requests[0]]);
    }
    const auto sent = server.Requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_FALSE(sent[0].HasHeader("Cookie"));
    EXPECT_EQ(sent[1].Header("Cookie"), "session=42");
    EXPECT_FALSE(sent[2].HasHeader("Cookie"));
}
