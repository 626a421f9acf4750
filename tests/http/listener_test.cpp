// FileDownloaderListener and ProgressScale without a network: the listener is
// driven directly, the way the read loop drives it.
#include <gtest/gtest.h>

#include "HttpTestUtil.h"
#include "support/RecordingDialog.h"
#include "utils/http/FileDownloaderListener.h"

using TestSupport::RecordingDialog;
using Utils::HTTP::ProgressScale;

namespace {

TEST(ProgressScale, PlainUnitsUpTo65535AndScaledAbove) {
    struct Case {
        int contentLength, range, divisor;
    } cases[] = {
        {-1, 1, 1},               // unknown length
        {0, 1, 1},
        {511, 1, 1},
        {2048, 5, 1},
        {65534 * 512, 65535, 1},  // the largest plain range
        {65535 * 512, 32768, 2},  // one unit more: every step is two units
        {256 * 1024 * 1024, 58254, 9},
        {0x7FFFFFFF, 64527, 65},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contentLength);
        ProgressScale scale(c.contentLength);
        EXPECT_EQ(scale.Range(), c.range);
        EXPECT_EQ(scale.Divisor(), c.divisor);
        EXPECT_LE(scale.Range(), ProgressScale::kMaxRange);
        if (c.contentLength >= 0) {
            EXPECT_EQ(scale.Position(c.contentLength), scale.Range()) << "bar not full at end";
        }
    }
    ProgressScale plain(2048);
    EXPECT_EQ(plain.Position(1024), 3);
    EXPECT_EQ(plain.Position(1535), 3);
    ProgressScale coarse(256 * 1024 * 1024);
    EXPECT_EQ(coarse.Position(128 * 1024 * 1024), (128 * 2048 + 1) / 9);
}

class ListenerTest : public ::testing::Test {
protected:
    RecordingDialog dialog;
    DialogFileProgress progress;  // the listener's sink, shown in the recording dialog
    std::string folder = TestSupport::FreshFolder(TestSupport::CurrentFolder() + "\\scratch\\" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(ListenerTest, ExistingFileIsTruncatedAndCompleteClosesIt) {
    std::string path = folder + "\\f.bin";
    {
        FileDownloaderListener first(path, progress);
        first.OnRecv(std::string(3000, 'a'));
        first.OnComplete();
    }
    FileDownloaderListener second(path, progress);
    EXPECT_TRUE(second.OnRecv("xyz"));
    second.OnComplete();
    EXPECT_TRUE(second.m_bSuccess);
    EXPECT_FALSE(second.mh_file.IsValid());
    EXPECT_EQ(TestSupport::ReadText(path), "xyz");
}

TEST_F(ListenerTest, FileThatCannotBeCreatedRefusesTheFirstChunk) {
    // A plain file where a folder should be: neither the folder nor the file can be made.
    std::string blocker = folder + "\\blocker";
    { FileDownloaderListener make(blocker, progress); make.OnComplete(); }
    FileDownloaderListener file(blocker + "\\sub\\x.bin", progress);
    EXPECT_FALSE(file.m_bSuccess);
    EXPECT_FALSE(file.OnRecv("data"));
    file.OnError(-1);
    // Reported to the sink, which leaves telling the player to the download's owner.
    EXPECT_EQ(progress.Failures(), (std::vector<std::string>{"Error in FileDownloaderListener::InitFile",
                                                             "FileDownloaderListener::OnError()"}));
    EXPECT_TRUE(dialog.Messages().empty());
    EXPECT_TRUE(dialog.Positions(IDC_FILE_PROGRESS).empty());
}

// Chunks are written in batches: a failing write shows up in the OnRecv that
// flushes the batch, or in OnComplete for the last one; never as success.
TEST_F(ListenerTest, WriteFailureIsShownAndLeavesTheListenerFailed) {
    for (bool failAtEnd : {false, true}) {
        SCOPED_TRACE(failAtEnd);
        DialogFileProgress sink;
        std::string path = folder + (failAtEnd ? "\\ro_end.bin" : "\\ro.bin");
        FileDownloaderListener file(path, sink);
        // Swap in a handle that cannot be written.
        file.mh_file.Reset();
        file.mh_file.Reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.mh_file.IsValid());
        const std::string chunk(1024, 'w');
        if (failAtEnd) {
            ASSERT_TRUE(file.OnRecv(chunk));
            file.OnComplete();
            EXPECT_EQ(sink.Failures(), (std::vector<std::string>{"Error in FileDownloaderListener::OnRecv()"}));
        } else {
            size_t accepted = 0;
            while (accepted < 1000 && file.OnRecv(chunk)) ++accepted;
            EXPECT_EQ(accepted, FileDownloaderListener::kWriteBufferSize / chunk.size());
            file.OnError(-1);
            EXPECT_EQ(sink.Failures(), (std::vector<std::string>{"Error in FileDownloaderListener::OnRecv()",
                                                                   "FileDownloaderListener::OnError()"}));
        }
        EXPECT_FALSE(file.m_bSuccess);
    }
}

TEST_F(ListenerTest, BatchedChunksReachTheFileInOrder) {
    std::string path = folder + "\\batch.bin";
    std::string body = HttpTest::Pattern(200000, 11);
    FileDownloaderListener file(path, progress);
    for (size_t at = 0; at < body.size(); at += 1000) ASSERT_TRUE(file.OnRecv(body.substr(at, 1000)));
    file.OnComplete();
    EXPECT_TRUE(file.m_bSuccess);
    EXPECT_EQ(TestSupport::ReadText(path), body);
}

TEST_F(ListenerTest, CancelAndErrorCloseTheFileAndFail) {
    FileDownloaderListener canceled(folder + "\\c.bin", progress);
    canceled.OnRecv("abc");
    canceled.OnCanceled();
    EXPECT_FALSE(canceled.m_bSuccess);
    EXPECT_FALSE(canceled.mh_file.IsValid());
    EXPECT_EQ(progress.Failures(), (std::vector<std::string>{"FileDownloaderListener::OnCanceled()"}));
    // The partly written file stays.
    EXPECT_EQ(TestSupport::ReadText(folder + "\\c.bin"), "abc");

    FileDownloaderListener failedEarlier(folder + "\\e.bin", progress);
    failedEarlier.m_bSuccess = false;
    failedEarlier.OnComplete();
    EXPECT_FALSE(failedEarlier.m_bSuccess);
}

TEST_F(ListenerTest, PositionsArePlainUnitsAndPostedOnlyWhenChanged) {
    FileDownloaderListener file(folder + "\\p.bin", progress);
    file.OnStart(4000);
    for (size_t size : {300, 300, 300, 1024, 1024, 1024, 28}) ASSERT_TRUE(file.OnRecv(std::string(size, 'p')));
    // Bytes 300, 600, 900, 1924, 2948, 3972, 4000 -> units 1, 2, 2, 4, 6, 8, 8.
    EXPECT_EQ(dialog.Positions(IDC_FILE_PROGRESS), (std::vector<int>{1, 2, 4, 6, 8}));
    EXPECT_EQ(ProgressScale(4000).Range(), 8);
}

TEST_F(ListenerTest, UnknownLengthPostsEveryChange) {
    FileDownloaderListener file(folder + "\\u.bin", progress);
    file.OnStart(-1);
    for (int i = 0; i < 4; ++i) file.OnRecv(std::string(1024, 'u'));
    EXPECT_EQ(dialog.Positions(IDC_FILE_PROGRESS), (std::vector<int>{3, 5, 7, 9}));
}

} // namespace
