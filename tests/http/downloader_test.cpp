// Real transfers: FileDownloader over WinINet, through the prefix's proxy
// setting, to the loopback test server.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "HttpTestUtil.h"
#include "support/RecordingDialog.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/FileDownloaderListener.h"

using HttpTest::RecordingListener;
using TestSupport::RecordedRequest;
using TestSupport::RecordingDialog;
using TestSupport::Response;
using TestSupport::ScopedProxy;
using TestSupport::TestHttpServer;
using Utils::HTTP::FileDownloader;

namespace {

const char kHost[] = "dl.orvanta.test";

class DownloaderTest : public ::testing::Test {
protected:
    DownloaderTest() : proxy(server.Port()) {}
    void SetUp() override { ASSERT_TRUE(proxy.Ok()); }

    void Serve(const std::string& path, const std::string& body) {
        Response response;
        response.body = body;
        server.SetResponse(path, response);
    }
    // One GET through a fresh downloader, the way the engine does it.
    void Fetch(Utils::HTTP::DownloaderListener* listener, const std::string& object, int* status = nullptr,
               int* length = nullptr) {
        FileDownloader downloader(listener, kHost, false, -1);
        EXPECT_TRUE(downloader.SendRequest(object, "", "", false));
        if (length) *length = downloader.GetContentLength();
        downloader.Receive(true);
        if (status) *status = downloader.GetStatusCode();
    }

    TestHttpServer server;
    ScopedProxy proxy;
    RecordingDialog dialog;
    DialogFileProgress progress;  // the listener's sink, shown in the recording dialog
};

TEST_F(DownloaderTest, RequestCarriesHostAgentAcceptAndTheObjectNameAsGiven) {
    Serve("/Dl/ClientResources.asp", "x");
    RecordingListener listener;
    Fetch(&listener, "Dl/ClientResources.asp?Remote=1&");
    ASSERT_EQ(server.RequestCount(), 1u);
    RecordedRequest request = server.Requests()[0];
    EXPECT_EQ(request.method, "GET");
    // WinINet puts the "/" in front of an object name that has none.
    EXPECT_EQ(request.target, "http://dl.orvanta.test:80/Dl/ClientResources.asp?Remote=1&");
    EXPECT_EQ(request.host, kHost);
    EXPECT_EQ(request.Header("User-Agent"), "Downloader1.1");
    EXPECT_EQ(request.Header("Accept"), "*/*");
    EXPECT_TRUE(request.body.empty());
}

TEST_F(DownloaderTest, EmptyBodyGivesNoChunkAndOneComplete) {
    Serve("/empty.bin", "");
    RecordingListener listener;
    int status = 0, length = 0;
    Fetch(&listener, "empty.bin", &status, &length);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(listener.events, (std::vector<std::string>{"start:0", "complete"}));
}

TEST_F(DownloaderTest, BodiesArriveInOrderInChunksOfAtMost1024Bytes) {
    for (size_t size : {size_t(1), size_t(1023), size_t(2048), size_t(300001)}) {
        SCOPED_TRACE(size);
        std::string body = HttpTest::Pattern(size, static_cast<unsigned>(size));
        Serve("/f.bin", body);
        RecordingListener listener;
        int length = 0;
        Fetch(&listener, "f.bin", nullptr, &length);
        EXPECT_EQ(length, static_cast<int>(size));
        ASSERT_EQ(listener.Ends(), 1);
        EXPECT_EQ(listener.events.back(), "complete");
        EXPECT_EQ(listener.Body(), body);
        for (const std::string& chunk : listener.chunks) {
            EXPECT_GE(chunk.size(), 1u);
            EXPECT_LE(chunk.size(), 1024u);
        }
        EXPECT_GE(listener.chunks.size(), (size + 1023) / 1024);
    }
}

TEST_F(DownloaderTest, RefusedChunkEndsWithErrorMinusOneAndNothingAfter) {
    Serve("/f.bin", HttpTest::Pattern(5000, 1));
    RecordingListener listener;
    listener.refuseAt = 1;
    Fetch(&listener, "f.bin");
    EXPECT_EQ(listener.events, (std::vector<std::string>{"start:5000", "recv", "recv", "error:-1"}));
}

TEST_F(DownloaderTest, MissingContentLengthReadsToTheEndAndReportsMinusOne) {
    Response response;
    response.body = HttpTest::Pattern(3000, 2);
    response.sendContentLength = false;
    server.SetResponse("/nolength.bin", response);
    RecordingListener listener;
    int length = 0;
    Fetch(&listener, "nolength.bin", nullptr, &length);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(listener.events.back(), "complete");
    EXPECT_EQ(listener.Body(), response.body);
}

TEST_F(DownloaderTest, BodyCutShortByTheServerIsAnErrorNeverSuccess) {
    Response response;
    response.body = HttpTest::Pattern(10000, 3);
    response.closeAfterBytes = 4000;
    server.SetResponse("/cut.bin", response);

    RecordingListener listener;
    Fetch(&listener, "cut.bin");
    ASSERT_EQ(listener.Ends(), 1);
    EXPECT_EQ(listener.events.back().compare(0, 6, "error:"), 0) << listener.events.back();
    EXPECT_LE(listener.Body().size(), 4000u);

    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\cut");
    FileDownloaderListener file(folder + "\\cut.bin", progress);
    Fetch(&file, "cut.bin");
    EXPECT_FALSE(file.m_bSuccess);
    EXPECT_EQ(progress.Failures(), (std::vector<std::string>{"FileDownloaderListener::OnError()"}));
}

TEST_F(DownloaderTest, SecondRequestOnTheSameDownloaderGetsItsOwnAnswer) {
    Serve("/a.txt", "first");
    Serve("/b.txt", "second");
    RecordingListener listener;
    FileDownloader downloader(&listener, kHost, false, -1);
    ASSERT_TRUE(downloader.SendRequest("a.txt", "", "", false));
    EXPECT_EQ(downloader.GetContentLength(), 5);
    downloader.Receive(true);
    EXPECT_EQ(listener.Body(), "first");
    listener.chunks.clear();
    ASSERT_TRUE(downloader.SendRequest("b.txt", "", "", false));
    EXPECT_EQ(downloader.GetContentLength(), 6);
    downloader.Receive(true);
    EXPECT_EQ(listener.Body(), "second");
    EXPECT_EQ(listener.Ends(), 2);
    std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/b.txt");
}

TEST_F(DownloaderTest, CancelFromTheListenerEndsWithOnCanceled) {
    Serve("/big.bin", HttpTest::Pattern(200000, 4));
    RecordingListener listener;
    FileDownloader downloader(&listener, kHost, false, -1);
    listener.cancelOn = &downloader;
    ASSERT_TRUE(downloader.SendRequest("big.bin", "", "", false));
    downloader.Receive(true);
    EXPECT_EQ(listener.events.back(), "canceled");
    EXPECT_EQ(listener.Ends(), 1);
    EXPECT_EQ(listener.chunks.size(), 1u);
}

TEST_F(DownloaderTest, NonBlockingReceiveRunsOnAWorkerAndEndsOnce) {
    std::string body = HttpTest::Pattern(70000, 5);
    Serve("/async.bin", body);
    Utils::KernelHandle ended(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    RecordingListener listener;
    listener.endEvent = ended.Get();
    FileDownloader downloader(&listener, kHost, false, -1);
    ASSERT_TRUE(downloader.SendRequest("async.bin", "", "", false));
    downloader.Receive(false);
    ASSERT_EQ(WaitForSingleObject(ended.Get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(listener.events.back(), "complete");
    EXPECT_EQ(listener.Body(), body);
}

TEST_F(DownloaderTest, FileListenerWritesBodyCreatesFoldersAndMovesTheBar) {
    std::string body = HttpTest::Pattern(2048, 6);
    Serve("/Dl/client.dll.lzma", body);
    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\write");
    std::string path = folder + "/new1/new2\\client.dll.lzma";
    {
        FileDownloaderListener file(path, progress);
        EXPECT_EQ(file.m_szFileName, "client.dll.lzma");
        Fetch(&file, "Dl/client.dll.lzma");
        EXPECT_TRUE(file.m_bSuccess);
        EXPECT_EQ(file.m_nBytesWritten, 2048);
    }
    EXPECT_EQ(TestSupport::ReadText(folder + "\\new1\\new2\\client.dll.lzma"), body);
    EXPECT_TRUE(dialog.Messages().empty());
    // 2048 bytes in units of 512: after 1024 bytes 3, at the end 5 (= range 2048/512 + 1).
    std::vector<int> positions = dialog.Positions(IDC_FILE_PROGRESS);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 5);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(std::adjacent_find(positions.begin(), positions.end()), positions.end()) << "repeated position";
}

TEST_F(DownloaderTest, ErrorPageIsWrittenAndTheStatusIs404) {
    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\404");
    FileDownloaderListener file(folder + "\\missing.bin", progress);
    int status = 0;
    Fetch(&file, "Dl/missing.bin", &status);
    EXPECT_EQ(status, 404);
    EXPECT_TRUE(file.m_bSuccess);
    EXPECT_NE(TestSupport::ReadText(folder + "\\missing.bin").find("Not Found"), std::string::npos);
}

TEST_F(DownloaderTest, LargeFileProgressIsThinnedButReachesTheEndOfTheBar) {
    const int size = 3 * 1024 * 1024 + 100;
    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\large");
    std::string source = folder + "\\source.bin";
    {
        std::string data = HttpTest::Pattern(size, 7);
        Utils::FileHandle out(CreateFileA(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(out.Get(), data.data(), size, &written, nullptr));
    }
    Response response;
    response.filePath = source;
    server.SetResponse("/large.bin", response);
    FileDownloaderListener file(folder + "\\large.bin", progress);
    int length = 0;
    Fetch(&file, "large.bin", nullptr, &length);
    ASSERT_TRUE(file.m_bSuccess);
    EXPECT_EQ(TestSupport::ReadText(folder + "\\large.bin"), TestSupport::ReadText(source));
    Utils::HTTP::ProgressScale scale(length);
    std::vector<int> positions = dialog.Positions(IDC_FILE_PROGRESS);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), scale.Range());
    EXPECT_LE(positions.size(), static_cast<size_t>(FileDownloaderListener::kProgressSteps + 2));
    EXPECT_GE(positions.size(), 100u);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
}

TEST_F(DownloaderTest, UploadIsAMultipartPostByteForByte) {
    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\upload");
    std::string upload = folder + "\\report.dat";
    std::string contents = std::string("a\0b\r\nc", 6);
    {
        Utils::FileHandle out(CreateFileA(upload.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(out.Get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    }
    Serve("/up.asp", "ok");
    struct Case {
        std::string uploadName, announced, file, contents;
    } cases[] = {
        {"given.dat", "given.dat", upload, contents},
        {"", upload, upload, contents},                        // no name: the path as given
        {"gone.dat", "gone.dat", folder + "\\gone.dat", ""},   // unreadable file: empty part
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        server.ClearRequests();
        FileDownloader downloader(nullptr, kHost, false, -1);
        ASSERT_TRUE(downloader.SendRequest("up.asp", c.file, c.uploadName, false));
        downloader.Receive(true);
        ASSERT_EQ(server.RequestCount(), 1u);
        RecordedRequest request = server.Requests()[0];
        EXPECT_EQ(request.method, "POST");
        std::string type = request.Header("Content-Type");
        const std::string prefix = "multipart/form-data; boundary=";
        ASSERT_EQ(type.compare(0, prefix.size(), prefix), 0) << type;
        std::string boundary = type.substr(prefix.size());
        ASSERT_EQ(boundary.size(), 39u);
        EXPECT_EQ(boundary.substr(0, 27), std::string(27, '-'));
        for (int i = 0; i < 3; ++i) {
            std::string group = boundary.substr(27 + 4 * i, 4);
            EXPECT_EQ(group.find_first_not_of("0123456789ABCDEF"), std::string::npos) << group;
            EXPECT_LE(std::stoi(group, nullptr, 16), 32767);
        }
        std::string expected = "--" + boundary + "\r\n" +
                               "Content-Disposition: form-data; name=\"MyFile\"; filename=\"" + c.announced +
                               "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + c.contents + "\r\n--" +
                               boundary + "--\r\n";
        EXPECT_EQ(request.body, expected);
        EXPECT_EQ(request.Header("Content-Length"), std::to_string(expected.size()));
    }
}

// Without the proxy: nothing listens on the port.
TEST(DownloaderNoServer, UnreachableServerFailsTheSendAndTheReadReportsTheCode) {
    int port = 0;
    {
        TestHttpServer closed;  // take an ephemeral port, then free it
        port = closed.Port();
    }
    RecordingDialog dialog;
    DialogFileProgress progress;  // the listener's sink, shown in the recording dialog
    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\unreachable");
    RecordingListener listener;
    {
        FileDownloader downloader(&listener, "127.0.0.1", false, port);
        EXPECT_EQ(downloader.GetPort(), port);
        EXPECT_FALSE(downloader.SendRequest("x.bin", "", "", false));
        EXPECT_EQ(downloader.GetStatusCode(), -1);
        EXPECT_EQ(downloader.GetContentLength(), -1);
        downloader.Receive(true);
    }
    ASSERT_EQ(listener.events.size(), 1u);
    EXPECT_EQ(listener.events[0].compare(0, 6, "error:"), 0);
    EXPECT_NE(listener.events[0], "error:0");
    EXPECT_NE(listener.events[0], "error:-1");

    FileDownloaderListener file(folder + "\\x.bin", progress);
    {
        FileDownloader downloader(&file, "127.0.0.1", false, port);
        downloader.SendRequest("x.bin", "", "", false);
        downloader.Receive(true);
    }
    EXPECT_FALSE(file.m_bSuccess);
    EXPECT_EQ(progress.Failures(), (std::vector<std::string>{"FileDownloaderListener::OnError()"}));
}

// A secure request never relaxes the certificate check: no ignore flag for
// another name, a date, or a redirect to plain HTTP (and no second try with
// an unknown authority allowed: SendRequest has none).
TEST(DownloaderNoServer, SecureRequestsCheckTheCertificate) {
    const DWORD relaxing = SECURITY_INTERNET_MASK;  // the request flags that ignore a certificate's errors
    const DWORD always = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
    const struct {
        bool secure, cookies, windows98;
        DWORD flags;
    } cases[] = {
        {false, true, false, always},
        {false, false, false, always | INTERNET_FLAG_NO_COOKIES},
        {true, true, false, always | INTERNET_FLAG_SECURE},
        {true, true, true, always | INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE},
        {true, false, false, always | INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_COOKIES},
    };
    for (const auto& c : cases) {
        const DWORD flags = FileDownloader::RequestFlags(c.secure, c.cookies, c.windows98);
        EXPECT_EQ(c.flags, flags) << c.secure << c.cookies << c.windows98;
        EXPECT_EQ(0u, flags & relaxing);
    }
}

TEST(DownloaderNoServer, DefaultPortFollowsTheSecureFlag) {
    EXPECT_EQ(FileDownloader(nullptr, "127.0.0.1", false, -1).GetPort(), 80);
    EXPECT_EQ(FileDownloader(nullptr, "127.0.0.1", true, -1).GetPort(), 443);
    EXPECT_EQ(FileDownloader(nullptr, "127.0.0.1", true, 8443).GetPort(), 8443);
}

} // namespace
