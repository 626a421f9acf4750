// guiclient.exe under Wine: its window, its started.log line, and the ways it closes.
#include "utils/Handles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string Lower(std::string text) {
    CharLowerBuffA(&text[0], DWORD(text.size()));
    return text;
}

// A started client that is ended on every path out of the test.
struct Client {
    Utils::KernelHandle process;
    DWORD id = 0;
    ~Client() {
        if (process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.Get(), 99);
            WaitForSingleObject(process.Get(), 10000);
        }
    }
    DWORD WaitForExit(DWORD ms) {
        if (WaitForSingleObject(process.Get(), ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = 0;
        GetExitCodeProcess(process.Get(), &code);
        return code;
    }
};

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

HWND WaitForWindow(const Client& client) {
    for (int i = 0; i < 300; ++i) {
        FindData data = {client.id, nullptr};
        EnumWindows(FindClientWindow, reinterpret_cast<LPARAM>(&data));
        if (data.found) return data.found;
        if (WaitForSingleObject(client.process.Get(), 100) == WAIT_OBJECT_0) break;
    }
    return nullptr;
}

class SampleClient : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, cwd);
        m_dir = std::string(cwd) + "\\client folder";
        CreateDirectoryA(m_dir.c_str(), nullptr);
        m_exe = m_dir + "\\guiclient.exe";
        ASSERT_TRUE(CopyFileA(SAMPLECLIENT_EXE, m_exe.c_str(), FALSE)) << SAMPLECLIENT_EXE;
        DeleteFileA((m_dir + "\\started.log").c_str());
    }

    void Start(Client& client, const std::string& arguments) {
        std::string line = "\"" + m_exe + "\"" + (arguments.empty() ? "" : " " + arguments);
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        // Right after the copy a busy Wine may refuse the new file for a moment.
        DWORD error = 0;
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, m_dir.c_str(), &si, &pi)) {
                error = 0;
                break;
            }
            error = GetLastError();
            Sleep(250);
        }
        ASSERT_EQ(error, 0u) << "CreateProcess " << line;
        client.process.Reset(pi.hProcess);
        client.id = pi.dwProcessId;
        CloseHandle(pi.hThread);
    }

    std::string Log() { return ReadFile(m_dir + "\\started.log"); }

    std::string m_dir, m_exe;
};

}  // namespace

TEST_F(SampleClient, ShowsNameAndVersionLogsTheStartAndExitsAfterSeconds) {
    Client client;
    Start(client, "--exit-after 2 \"quoted arg\"");
    HWND window = WaitForWindow(client);
    ASSERT_NE(window, nullptr) << "no window";
    char text[128] = {};
    GetWindowTextA(GetDlgItem(window, 101), text, sizeof(text));
    EXPECT_STREQ(text, "Orvanta sample client");
    GetWindowTextA(GetDlgItem(window, 102), text, sizeof(text));
    EXPECT_EQ(std::string(text), std::string("Version ") + EXPECTED_VERSION);

    EXPECT_EQ(client.WaitForExit(60000), 0u);
    EXPECT_EQ(Lower(Log()), Lower("started " + m_exe + " args=--exit-after 2 \"quoted arg\" cwd=" + m_dir + "\r\n"));
}

TEST_F(SampleClient, EnvironmentVariableAlsoClosesItAndEveryStartIsAppended) {
    SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", "0");
    Client first, second;
    Start(first, "");
    Start(second, "/x");
    SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", nullptr);
    EXPECT_EQ(first.WaitForExit(60000), 0u);
    EXPECT_EQ(second.WaitForExit(60000), 0u);
    std::string log = Lower(Log());
    EXPECT_NE(log.find(Lower("started " + m_exe + " args= cwd=" + m_dir + "\r\n")), std::string::npos) << log;
    EXPECT_NE(log.find(Lower("started " + m_exe + " args=/x cwd=" + m_dir + "\r\n")), std::string::npos) << log;
}

TEST_F(SampleClient, StaysOpenUntilClosed) {
    Client client;
    Start(client, "--exit-after nonsense");
    HWND window = WaitForWindow(client);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(client.WaitForExit(2000), DWORD(STILL_ACTIVE)) << "closed without being asked";
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(client.WaitForExit(60000), 0u);
}
