// Continuing a download: what counts as the rest of a file, and real
// transfers over WinINet to the loopback test server answering ranges in every
// way a server may.
#include <gtest/gtest.h>

#include "HttpTestUtil.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/http/FileDownloaderListener.h"
#include "utils/http/ResumableFetch.h"

using TestSupport::Ranges;
using Utils::HTTP::FetchEnd;

namespace {

// An empty folder below the test's scratch folder.
std::string Scratch(const std::string& name) {
    return TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\" + name);
}

TEST(ContinuesAt, OnlyTheExactRestOfTheFile) {
    const struct {
        const char* contentRange;
        long long have, contentLength;
        bool continues;
    } cases[] = {
        {"bytes 100-199/200", 100, 100, true},
        {"bytes 100-199/*", 100, -1, true},
        {"bytes 100-199/200", 100, -1, true},
        {"bytes 0-199/200", 100, 200, false},   // the whole file again
        {"bytes 101-199/200", 100, 99, false},  // a gap
        {"bytes 100-199/300", 100, 100, false}, // not up to the end
        {"bytes 100-199/200", 100, 50, false},  // a body of another length
        {"bytes 100-99/200", 100, -1, false},
        {"bytes */200", 100, -1, false},
        {"items 100-199/200", 100, 100, false},
        {"bytes 100-199/200x", 100, 100, false},
        {"bytes 100-1999999999999999999999/2000000000000000000000", 100, -1, false},
        {"", 100, -1, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.continues, Utils::HTTP::ContinuesAt(c.contentRange, c.have, c.contentLength)) << c.contentRange;
    }
}

// Remembers the bar's range and last position.
struct BarSink : Utils::HTTP::ProgressSink {
    void SetRange(int value) override { range = value; }
    void SetPosition(int value) override { position = value; }
    void ReportFailure(const std::string& text) override { failures.push_back(text); }
    int range = 0, position = 0;
    std::vector<std::string> failures;
};

TEST(FetchIntoFile, AppendsOnlyTheExactRestAndOtherwiseStartsAgain) {
    TestSupport::TestHttpServer server;
    TestSupport::ScopedProxy proxy(server.Port());
    ASSERT_TRUE(proxy.Ok());
    const std::string body = HttpTest::Pattern(300000, 7);
    const std::string file = Scratch("resumable") + "\\body.~ov";
    const std::string other = HttpTest::Pattern(300000, 8);
    const struct {
        const char* name;
        std::string kept;     // in the file before the call
        bool resume;
        Ranges ranges;
        size_t cutAfter;      // body bytes of each answer before the connection drops
        int status;           // the server's status for the path
        FetchEnd end;
        long long resumedFrom;
        std::string result;   // the file afterwards
        std::vector<int> answers;
    } cases[] = {
        {"nothing kept", "", true, Ranges::Served, std::string::npos, 200, FetchEnd::Complete, 0, body, {200}},
        {"the rest", body.substr(0, 123457), true, Ranges::Served, std::string::npos, 200, FetchEnd::Complete, 123457,
         body, {206}},
        {"resume not asked", body.substr(0, 1000), false, Ranges::Served, std::string::npos, 200,
         FetchEnd::Complete, 0, body, {200}},
        {"ranges ignored", other.substr(0, 5000), true, Ranges::Ignored, std::string::npos, 200,
         FetchEnd::Complete, 0, body, {200}},
        {"another range", body.substr(0, 5000), true, Ranges::Misplaced, std::string::npos, 200,
         FetchEnd::Complete, 0, body, {206, 200}},
        {"kept more than there is", body + "x", true, Ranges::Served, std::string::npos, 200, FetchEnd::Complete, 0,
         body, {416, 200}},
        {"cut", "", true, Ranges::Served, 70000, 200, FetchEnd::Cut, 0, body.substr(0, 70000), {200}},
        {"the rest cut", body.substr(0, 1000), true, Ranges::Served, 70000, 200, FetchEnd::Cut, 1000,
         body.substr(0, 71000), {206}},
        {"error page", body.substr(0, 1000), true, Ranges::Served, std::string::npos, 500, FetchEnd::Failed, 0,
         body, {500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::Response response;
        response.body = body;
        response.status = c.status;
        response.ranges = c.ranges;
        response.closeAfterBytes = c.cutAfter;
        server.SetResponse("/big.bin", response);
        server.ClearRequests();
        DeleteFileA(file.c_str());
        if (!c.kept.empty()) TestSupport::WriteText(file, c.kept);
        BarSink bar;

        const Utils::HTTP::FileFetchResult got = Utils::HTTP::FetchIntoFile("dl.orvanta.test", "big.bin", file, c.resume,
                                                                        bar);
        EXPECT_EQ(static_cast<int>(c.end), static_cast<int>(got.end));
        EXPECT_EQ(c.resumedFrom, got.resumedFrom);
        if (c.end != FetchEnd::Failed) {
            EXPECT_TRUE(c.result == TestSupport::ReadText(file));
        }
        std::vector<int> answers;
        for (const auto& request : server.Requests()) answers.push_back(request.status);
        EXPECT_EQ(c.answers, answers);
        EXPECT_EQ(c.resume && !c.kept.empty(), server.Requests()[0].HasHeader("Range"));
        if (c.end == FetchEnd::Complete) {
            // The bar spans the whole file, the kept bytes counted as done.
            const Utils::HTTP::ProgressScale scale(static_cast<long long>(body.size()));
            EXPECT_EQ(scale.Range(), bar.range);
            EXPECT_EQ(scale.Range(), bar.position);
            EXPECT_EQ(static_cast<long long>(body.size()) - c.resumedFrom, got.received);
        }
        EXPECT_EQ(c.end == FetchEnd::Cut ? 1u : 0u, bar.failures.size());
        const Utils::Reason reason = c.end == FetchEnd::Complete ? Utils::Reason::None
                                     : c.end == FetchEnd::Cut    ? Utils::Reason::DownloadCut
                                                                 : Utils::Reason::HttpStatus;
        EXPECT_STREQ(Utils::ReasonName(reason), Utils::ReasonName(got.outcome.reason));
        if (reason == Utils::Reason::HttpStatus) {
            EXPECT_EQ(static_cast<unsigned long>(c.status), got.outcome.error);
        }
    }
}

// Answers that break the request's terms: a part of a file to a request for
// the whole, and a continuation longer than its Content-Range. Neither is
// taken; an appended file never grows past the promised end.
TEST(FetchIntoFile, TakesNoBytesBeyondWhatWasAskedAndPromised) {
    TestSupport::TestHttpServer server;
    TestSupport::ScopedProxy proxy(server.Port());
    ASSERT_TRUE(proxy.Ok());
    const std::string body = HttpTest::Pattern(50000, 9);
    const std::string file = Scratch("resumable") + "\\terms.~ov";
    const struct {
        const char* name;
        std::string kept;
        const char* contentRange;
        std::string result;  // the file afterwards
    } cases[] = {
        {"a range to a request without one", "", "bytes 0-999/50000", ""},
        {"more than the range promised", body.substr(0, 1000), "bytes 1000-1999/*", body.substr(0, 2000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::Response response;
        response.status = 206;
        response.body = body.substr(c.kept.size());
        response.sendContentLength = false;
        response.headers.emplace_back("Content-Range", c.contentRange);
        server.SetResponse("/terms.bin", response);
        DeleteFileA(file.c_str());
        if (!c.kept.empty()) TestSupport::WriteText(file, c.kept);
        BarSink bar;
        const Utils::HTTP::FileFetchResult got =
            Utils::HTTP::FetchIntoFile("dl.orvanta.test", "terms.bin", file, !c.kept.empty(), bar);
        EXPECT_EQ(static_cast<int>(FetchEnd::Failed), static_cast<int>(got.end));
        EXPECT_STREQ("http-status", Utils::ReasonName(got.outcome.reason));
        EXPECT_EQ(206ul, got.outcome.error);
        EXPECT_TRUE(c.result == TestSupport::ReadText(file)) << TestSupport::ReadText(file).size();
    }
}

// A kept name that is a hard link to another file (planted where others may
// write) is not continued: the name goes, the other file stays as it was.
TEST(FetchIntoFile, AKeptNameLinkedElsewhereIsNeitherContinuedNorWrittenThrough) {
    TestSupport::TestHttpServer server;
    TestSupport::ScopedProxy proxy(server.Port());
    ASSERT_TRUE(proxy.Ok());
    const std::string body = HttpTest::Pattern(20000, 11);
    TestSupport::Response response;
    response.body = body;
    server.SetResponse("/linked.bin", response);
    const std::string folder = Scratch("resumable_link");
    const std::string victim = folder + "\\victim.dll", file = folder + "\\linked.bin.~ov";
    ASSERT_TRUE(TestSupport::WriteText(victim, body.substr(0, 1000)));
    DeleteFileA(file.c_str());
    ASSERT_TRUE(CreateHardLinkA(file.c_str(), victim.c_str(), nullptr));
    BarSink bar;
    const Utils::HTTP::FileFetchResult got = Utils::HTTP::FetchIntoFile("dl.orvanta.test", "linked.bin", file, true, bar);
    EXPECT_EQ(static_cast<int>(FetchEnd::Complete), static_cast<int>(got.end));
    EXPECT_EQ(0, got.resumedFrom);
    EXPECT_FALSE(server.Requests()[0].HasHeader("Range"));
    EXPECT_TRUE(TestSupport::ReadText(file) == body);
    EXPECT_TRUE(TestSupport::ReadText(victim) == body.substr(0, 1000));
}

// Why a fetch failed when nothing was cut: no server, or a file that cannot be written.
TEST(FetchIntoFile, OutcomeTellsAnUnreachableServerFromAnUnwritableFile) {
    TestSupport::TestHttpServer server;
    TestSupport::Response response;
    response.body = "content";
    server.SetResponse("/small.bin", response);
    TestSupport::Response closed;
    closed.closeWithoutAnswer = true;
    server.SetResponse("/closed.bin", closed);
    const std::string folder = Scratch("outcome");
    // A folder where the file should be: the system refuses to open it for writing.
    const std::string inTheWay = folder + "\\in-the-way.bin";
    CreateDirectoryA(inTheWay.c_str(), nullptr);
    const struct {
        const char* name;
        int proxyPort;
        const char* remote;
        std::string file;
        Utils::Reason reason;
    } cases[] = {
        {"written", server.Port(), "small.bin", folder + "\\small.bin", Utils::Reason::None},
        {"no server", 1, "small.bin", folder + "\\small.bin", Utils::Reason::ServerUnreachable},
        // No status line is no answer, not an empty body.
        {"closed without an answer", server.Port(), "closed.bin", folder + "\\closed.bin",
         Utils::Reason::ServerUnreachable},
        {"folder in the way", server.Port(), "small.bin", inTheWay, Utils::Reason::AccessDenied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::ScopedProxy proxy(c.proxyPort);
        ASSERT_TRUE(proxy.Ok());
        BarSink bar;
        const Utils::HTTP::FileFetchResult got =
            Utils::HTTP::FetchIntoFile("dl.orvanta.test", c.remote, c.file, false, bar);
        EXPECT_STREQ(Utils::ReasonName(c.reason), Utils::ReasonName(got.outcome.reason));
        if (c.reason != Utils::Reason::None) {
            EXPECT_NE(0ul, got.outcome.error);
        }
    }
}

} // namespace
