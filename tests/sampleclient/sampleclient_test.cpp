// guiclient.exe under Wine: its window, its started.log line, and the ways it closes.
#include "support/TestProcess.h"

#include <gtest/gtest.h>
#include <windows.h>


namespace {

using TestSupport::Lower;
using TestSupport::Process;

struct FindData {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindClientWindow(HWND window, LPARAM param) {
    FindData* data = reinterpret_cast<FindData*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char title[64] = {};
    GetWindowTextA(window, title, sizeof(title));
    // The client shows its window only once its labels exist: a window found
    // earlier may still be without them (creating the first label loads the
    // common controls, which takes a while).
    if (pid == data->pid && std::string(title) == "Orvanta sample client" && IsWindowVisible(window)) {
        data->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForWindow(const Process& client) {
    for (int i = 0; i < 300; ++i) {
        FindData data = {client.Id(), nullptr};
        EnumWindows(FindClientWindow, reinterpret_cast<LPARAM>(&data));
        if (data.found) return data.found;
        if (WaitForSingleObject(client.Handle(), 100) == WAIT_OBJECT_0) break;
    }
    return nullptr;
}

class SampleClient : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = TestSupport::CurrentFolder() + "\\client folder";
        CreateDirectoryA(m_dir.c_str(), nullptr);
        m_exe = m_dir + "\\guiclient.exe";
        ASSERT_TRUE(CopyFileA(SAMPLECLIENT_EXE, m_exe.c_str(), FALSE)) << SAMPLECLIENT_EXE;
        DeleteFileA((m_dir + "\\started.log").c_str());
    }

    void Start(Process& client, const std::string& arguments) {
        const std::string line = "\"" + m_exe + "\"" + (arguments.empty() ? "" : " " + arguments);
        // Right after the copy a busy Wine may refuse the new file for a moment.
        DWORD error = 0;
        for (int attempt = 0; attempt < 20; ++attempt) {
            client = Process::StartCommand(line, {m_dir});
            if (client.Started()) {
                error = 0;
                break;
            }
            error = GetLastError();
            Sleep(250);
        }
        ASSERT_EQ(error, 0u) << "CreateProcess " << line;
    }

    std::string Log() { return TestSupport::ReadText(m_dir + "\\started.log"); }

    std::string m_dir, m_exe;
};

}  // namespace

TEST_F(SampleClient, ShowsNameAndVersionLogsTheStartAndExitsAfterSeconds) {
    Process client;
    Start(client, "--exit-after 2 \"quoted arg\"");
    HWND window = WaitForWindow(client);
    ASSERT_NE(window, nullptr) << "no window";
    char text[128] = {};
    GetWindowTextA(GetDlgItem(window, 101), text, sizeof(text));
    EXPECT_STREQ(text, "Orvanta sample client");
    GetWindowTextA(GetDlgItem(window, 102), text, sizeof(text));
    EXPECT_EQ(std::string(text), std::string("Version ") + EXPECTED_VERSION);

    EXPECT_EQ(client.ExitCode(60000), 0);
    EXPECT_EQ(Lower(Log()), Lower("started " + m_exe + " args=--exit-after 2 \"quoted arg\" cwd=" + m_dir + "\r\n"));
}

TEST_F(SampleClient, EnvironmentVariableAlsoClosesItAndEveryStartIsAppended) {
    SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", "0");
    Process first, second;
    Start(first, "");
    Start(second, "/x");
    SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", nullptr);
    EXPECT_EQ(first.ExitCode(60000), 0);
    EXPECT_EQ(second.ExitCode(60000), 0);
    std::string log = Lower(Log());
    EXPECT_NE(log.find(Lower("started " + m_exe + " args= cwd=" + m_dir + "\r\n")), std::string::npos) << log;
    EXPECT_NE(log.find(Lower("started " + m_exe + " args=/x cwd=" + m_dir + "\r\n")), std::string::npos) << log;
}

TEST_F(SampleClient, StaysOpenUntilClosed) {
    Process client;
    Start(client, "--exit-after nonsense");
    HWND window = WaitForWindow(client);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(client.ExitCode(2000), Process::kNotEnded) << "closed without being asked";
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(client.ExitCode(60000), 0);
}
