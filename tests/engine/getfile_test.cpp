// GetFile and ExtractFile against the loopback test server, with the
// stand-in decoders built next to this test (the data folder of these tests).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "EngineTestUtil.h"
#include "engine/Digest.h"
#include "engine/DownloadManager.h"
#include "engine/ToolCopies.h"
#include "support/RecordingDialog.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/fs/AtomicFile.h"

using EngineTest::Exists;
using EngineTest::TemporariesBelow;
using Utils::FileSystem::PartialName;
using Utils::FileSystem::ReplacementName;
using EngineTest::ReadText;
using EngineTest::WriteText;
using TestSupport::RecordingDialog;
using TestSupport::Response;

namespace {

const char* const kHost = "pkg.orvanta.test";
const char* const kExtractError = "Error ExtractFile() Please contact support";

class GetFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedFolder = EngineTest::CurrentFolder();
        m_folder = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\getfile_work");
        ASSERT_TRUE(SetCurrentDirectoryA(m_folder.c_str()));
        m_log = EngineTest::ResetStandinLog("getfile_standins.txt");
        SetEnvironmentVariableA("ORV_STANDIN_EXIT_lzma", nullptr);
        ASSERT_TRUE(m_proxy.Ok());
        m_manager.m_szExeWorkPath = "bin";
        m_manager.m_szExeName = "guiclient.exe";
        m_manager.m_szBrandName = "GetFileBrand";
        m_manager.m_szDataDir = EngineTest::ExeFolder();
    }
    void TearDown() override {
        SetCurrentDirectoryA(m_savedFolder.c_str());
        SetEnvironmentVariableA("ORV_STANDIN_EXIT_lzma", nullptr);
    }
    void Serve(const std::string& path, const std::string& body, int status = 200) {
        Response response;
        response.status = status;
        response.body = body;
        m_server.SetResponse(path, response);
    }
    std::vector<EngineTest::StandinStart> Starts() const { return EngineTest::ReadStandinLog(m_log); }

    RecordingDialog m_dialog;
    TestSupport::TestHttpServer m_server;
    TestSupport::ScopedProxy m_proxy{m_server.Port()};
    DownloadManager m_manager;
    std::string m_folder;
    std::string m_savedFolder;
    std::string m_log;
};

TEST_F(GetFileTest, CompressedFileIsFetchedIntoItsFolderDecodedAndRemoved) {
    Serve("/client.dll.lzma", "PACKED:client bytes");
    ASSERT_TRUE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "Bin__client.dll", "client.dll.lzma", "Bin__client.dll", kHost));

    EXPECT_EQ("client bytes", ReadText("Bin\\client.dll"));
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(m_folder));
    auto starts = Starts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("lzma", starts[0].name);
    // The decoder's command line keeps its form; both names are temporary
    // ones beside the file.
    EXPECT_EQ("lzma  d " + PartialName("Bin\\client.dll", "client.dll.lzma") + " " +
                  ReplacementName("Bin\\client.dll"),
              starts[0].commandLine);
    EXPECT_EQ("lzma  d Bin\\client.dll.~ov", starts[0].commandLine.substr(0, 26));

    auto requests = m_server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(kHost, requests[0].host);
    EXPECT_EQ("/client.dll.lzma", requests[0].path);
    EXPECT_EQ((std::vector<std::string>{"Downloading: Bin\\client.dll", "Extracting: Bin\\client.dll"}),
              m_dialog.Texts(IDC_STATUS_TEXT));
    auto ranges = m_dialog.Ranges(IDC_FILE_PROGRESS);
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(1, ranges[0]);  // 19 bytes: 19 / 512 + 1
}

TEST_F(GetFileTest, WithoutExtractTheCompressedBytesAreStoredUnderTheLocalName) {
    Serve("/client.dll.lzma", "PACKED:client bytes");
    ASSERT_TRUE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::No, "Bin__client.dll", "client.dll.lzma", "Bin__client.dll", kHost));
    EXPECT_EQ("PACKED:client bytes", ReadText("Bin\\client.dll"));
    EXPECT_FALSE(Exists("Bin\\client.dll.lzma"));
    EXPECT_TRUE(Starts().empty());
}

TEST_F(GetFileTest, ClientProgramIsStoredUnderTheBrandNameWhateverItsLetterCase) {
    Serve("/files/guiclient^abc.exe", "MZ client");
    // Extensions still compare exactly: ".exe" on both sides means no unpacking.
    ASSERT_TRUE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "BIN__GuiClient.exe", "files/guiclient^abc.exe", "x", kHost));
    EXPECT_EQ("MZ client", ReadText("bin\\GetFileBrand.exe"));
    EXPECT_FALSE(Exists("bin\\GuiClient.exe"));
    EXPECT_TRUE(m_dialog.Texts(IDC_STATUS_TEXT).empty());  // a display name of 1 character
}

TEST_F(GetFileTest, ErrorStatusFailsAndLeavesTheFileAsItWas) {
    ASSERT_TRUE(WriteText("missing.txt", "previous"));
    Serve("/missing.txt", "not here", 404);
    EXPECT_FALSE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "missing.txt", "missing.txt", "missing.txt", kHost));
    EXPECT_EQ("previous", ReadText("missing.txt"));
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(m_folder));
    Serve("/broken.txt", "server error", 500);
    EXPECT_FALSE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::No, "broken.txt", "broken.txt", "ab", kHost));
    Serve("/moved.txt", "fine", 399);
    EXPECT_TRUE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::No, "moved.txt", "moved.txt", "ab", kHost));
    EXPECT_TRUE(m_dialog.Messages().empty());
}

TEST_F(GetFileTest, DisplayNamesDriveTheStatusLine) {
    Serve("/snd.wav.ogg", "PACKED:wave");
    ASSERT_TRUE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "Sound__snd.wav", "snd.wav.ogg", " Client files", kHost));
    EXPECT_EQ((std::vector<std::string>{" Client files", "Extracting:  Client files"}),
              m_dialog.Texts(IDC_STATUS_TEXT));
    EXPECT_EQ("wave", ReadText("Sound\\snd.wav"));
    auto starts = Starts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("oggdec  -o " + ReplacementName("Sound\\snd.wav") + " " + PartialName("Sound\\snd.wav", "snd.wav.ogg"),
              starts[0].commandLine);

    m_dialog.Clear();
    Serve("/ab.txt", "x");
    ASSERT_TRUE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "ab.txt", "ab.txt", "abc", kHost));
    EXPECT_TRUE(m_dialog.Texts(IDC_STATUS_TEXT).empty());
}

TEST_F(GetFileTest, FailedDecodingShowsTheErrorAndLeavesNothingBehind) {
    CreateDirectoryA("Bin", nullptr);
    ASSERT_TRUE(WriteText("Bin\\client.dll", "installed"));
    Serve("/client.dll.lzma", "PACKED:client bytes");
    SetEnvironmentVariableA("ORV_STANDIN_EXIT_lzma", "1");
    // The established message travels with the failure: the run tells the player once.
    Utils::Result failed = m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes,
                                             "Bin__client.dll", "client.dll.lzma", "Bin__client.dll", kHost);
    EXPECT_EQ(Utils::Reason::DecoderFailed, failed.reason);
    EXPECT_EQ("installed", ReadText("Bin\\client.dll"));
    EXPECT_EQ(kExtractError, failed.said);
    EXPECT_TRUE(m_dialog.Messages().empty());

    m_dialog.Clear();
    Serve("/pack.dat.zip", "zip bytes");
    failed = m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "pack.dat",
                               "pack.dat.zip", "pack.dat", kHost);
    EXPECT_FALSE(failed);
    EXPECT_FALSE(Exists("pack.dat"));
    EXPECT_EQ(kExtractError, failed.said);
    EXPECT_EQ(std::vector<std::string>(), TemporariesBelow(m_folder));
}

TEST_F(GetFileTest, CopyModeTakesFilesFromTheWorkFolderAndNeverOverwrites) {
    std::string work = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\getfile_source");
    ASSERT_TRUE(WriteText(work + "\\data^1.bin", "payload"));
    m_manager.m_szWorkDir = work;

    ASSERT_TRUE(m_manager.GetFile(DownloadManager::Source::WorkFolder, DownloadManager::Unpack::Yes, "Data__data.bin", "data^1.bin", "Data__data.bin", kHost));
    EXPECT_EQ("payload", ReadText("Data\\data.bin"));

    ASSERT_TRUE(WriteText(work + "\\data^2.bin", "newer"));
    EXPECT_FALSE(m_manager.GetFile(DownloadManager::Source::WorkFolder, DownloadManager::Unpack::Yes, "Data__data.bin", "data^2.bin", "Data__data.bin", kHost));
    EXPECT_EQ("payload", ReadText("Data\\data.bin"));
    EXPECT_FALSE(m_manager.GetFile(DownloadManager::Source::WorkFolder, DownloadManager::Unpack::Yes, "other.bin", "absent.bin", "other.bin", kHost));
    EXPECT_TRUE(m_dialog.Messages().empty());
    EXPECT_EQ(0u, m_server.RequestCount());
}

TEST_F(GetFileTest, KeysLeavingTheDataFolderAreRefusedBeforeAnythingIsWritten) {
    Serve("/evil.txt", "evil");
    const char* keys[] = {"..__evil.txt", "Bin__..__..__evil.txt", "C:__evil.txt", "C:evil.txt",
                          "__evil.txt",   "Bin____evil.txt",       "...__evil.txt"};
    for (const char* key : keys) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, key, "evil.txt", key, kHost));
    }
    EXPECT_EQ(0u, m_server.RequestCount());
    EXPECT_FALSE(Exists(m_folder + "\\..\\evil.txt"));
    EXPECT_FALSE(Exists("C:\\evil.txt"));
    // An unsafe EXE_WORK_PATH makes the client's own name unsafe as well.
    m_manager.m_szExeWorkPath = "..";
    EXPECT_FALSE(m_manager.GetFile(DownloadManager::Source::Server, DownloadManager::Unpack::Yes, "..__guiclient.exe", "evil.txt", "x", kHost));
    EXPECT_EQ(0u, m_server.RequestCount());
}

TEST_F(GetFileTest, ExtractFileQuotesPathsWithBlanksAndRefusesOverlongCommands) {
    CreateDirectoryA("Sub dir", nullptr);
    ASSERT_TRUE(WriteText("Sub dir\\a b.txt.lzma", "PACKED:spaced"));
    ASSERT_TRUE(ExtractFile("Sub dir\\a b.txt.lzma", EngineTest::ExeFolder()));
    EXPECT_EQ("spaced", ReadText("Sub dir\\a b.txt"));
    auto starts = Starts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("lzma  d \"Sub dir\\a b.txt.lzma\" \"Sub dir\\a b.txt\"", starts[0].commandLine);

    // The longest name whose command line still fits 255 characters (the
    // line's length is even here, so 254), then one character more.
    std::string name;
    for (size_t length = 100; length < 200; ++length) {
        std::string candidate = std::string(length, 'f') + ".lzma";
        std::string line = "lzma  d " + candidate + " " + std::string(length, 'f');
        if (line.size() == 254) name = candidate;
    }
    ASSERT_FALSE(name.empty());
    ASSERT_TRUE(WriteText(name, "PACKED:long"));
    EXPECT_TRUE(ExtractFile(name, EngineTest::ExeFolder()));
    std::string tooLong = "g" + name;
    ASSERT_TRUE(WriteText(tooLong, "PACKED:longer"));
    EXPECT_FALSE(ExtractFile(tooLong, EngineTest::ExeFolder()));
    EXPECT_EQ(2u, Starts().size());  // the refused one never started
}

TEST_F(GetFileTest, ExtractFileClearsAReadOnlyTargetAndRejectsUnknownKinds) {
    ASSERT_TRUE(WriteText("old.txt", "old"));
    ASSERT_TRUE(SetFileAttributesA("old.txt", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteText("old.txt.lzma", "PACKED:new"));
    ASSERT_TRUE(ExtractFile("old.txt.lzma", EngineTest::ExeFolder()));
    EXPECT_EQ("new", ReadText("old.txt"));
    EXPECT_EQ(0u, GetFileAttributesA("old.txt") & FILE_ATTRIBUTE_READONLY);

    ASSERT_TRUE(WriteText("x.txt.LZMA", "PACKED:x"));
    EXPECT_FALSE(ExtractFile("x.txt.LZMA", EngineTest::ExeFolder()));  // extensions are exact
    EXPECT_FALSE(ExtractFile("noextension", EngineTest::ExeFolder()));
    EXPECT_EQ(1u, Starts().size());
}

// The decoder of the data folder, by its full path; one beside the program
// or in the current folder is never started, nor is any without a data folder.
TEST_F(GetFileTest, DecodersRunFromTheDataFolderOnly) {
    const std::string dataFolder = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\getfile_data");
    ASSERT_TRUE(CopyFileA((EngineTest::ExeFolder() + "\\lzma.exe").c_str(), (dataFolder + "\\lzma.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((EngineTest::ExeFolder() + "\\lzma.exe").c_str(), "lzma.exe", FALSE));
    ASSERT_TRUE(WriteText("a.txt.lzma", "PACKED:a"));
    ASSERT_TRUE(ExtractFile("a.txt.lzma", dataFolder));
    EXPECT_FALSE(ExtractFile("a.txt.lzma", ""));
    auto starts = Starts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(dataFolder + "\\lzma.exe", starts[0].program);
    EXPECT_EQ("lzma  d a.txt.lzma a.txt", starts[0].commandLine);
}

// What the engine starts is a copy of the bytes the release declares, in a
// folder of its own (made for administrators only: Wine keeps no security
// descriptors on files, so that part is the system's), held open against
// writers until the pass ends.
TEST(ToolCopies, StartOnlyHeldAdministratorsOnlyCopiesOfTheReleasesBytes) {
    const std::string data = EngineTest::FreshFolder(EngineTest::ExeFolder() + "\\toolcopies_data");
    ASSERT_TRUE(CreateDirectoryA((data + "\\Bin").c_str(), nullptr));
    ASSERT_TRUE(WriteText(data + "\\lzma.exe", "release bytes"));
    ASSERT_TRUE(WriteText(data + "\\Bin\\tool.exe", "changed bytes"));
    ASSERT_TRUE(WriteText(data + "\\linked.exe", "release bytes"));
    ASSERT_TRUE(CreateHardLinkA((data + "\\second-name.exe").c_str(), (data + "\\linked.exe").c_str(), nullptr));
    const std::string released = Digest::Sha256OfBytes("release bytes", 13);

    // The folder a killed run left goes; one a running installer holds stays.
    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    const std::string left = std::string(windows) + "\\Temp\\tools.~ov0000dead";
    CreateDirectoryA(left.c_str(), nullptr);
    ASSERT_TRUE(WriteText(left + "\\lzma.exe", "left"));
    ToolCopies running;
    std::string runningCopy;
    ASSERT_TRUE(running.Program(data, "lzma.exe", runningCopy));

    ToolCopies tools;
    tools.Begin([&](const std::string& relative, std::string& digest) {
        digest = released;
        return relative != "absent.exe";
    });
    const struct {
        const char* relative;
        Utils::Reason refusal;  // None: copied
    } cases[] = {
        {"lzma.exe", Utils::Reason::None},
        {"Bin\\tool.exe", Utils::Reason::DigestMismatch},
        {"linked.exe", Utils::Reason::ToolFailed},  // a second name: another program may write it
        {"absent.exe", Utils::Reason::ToolFailed},
    };
    std::string lzma;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.relative);
        std::string program;
        EXPECT_EQ(c.refusal, tools.Program(data, c.relative, program).reason);
        if (c.refusal == Utils::Reason::None) lzma = program;
    }
    ASSERT_FALSE(lzma.empty());
    EXPECT_EQ(tools.Folder() + "\\lzma.exe", lzma);
    EXPECT_EQ("release bytes", ReadText(lzma));
    // Held: nobody writes, deletes or renames it meanwhile.
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(lzma.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(DeleteFileA(lzma.c_str()));
    EXPECT_FALSE(MoveFileA(tools.Folder().c_str(), (tools.Folder() + "-moved").c_str()));
    EXPECT_FALSE(Exists(left));
    EXPECT_EQ("release bytes", ReadText(runningCopy));

    const std::string folder = tools.Folder();
    tools.End();
    EXPECT_FALSE(Exists(folder));
    EXPECT_EQ("release bytes", ReadText(data + "\\lzma.exe"));
}

} // namespace
