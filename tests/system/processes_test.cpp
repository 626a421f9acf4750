#include "utils/system/System.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "utils/Handles.h"

namespace {

bool Contains(const std::vector<DWORD>& ids, DWORD id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

// Starts guiclient.exe from the test's folder and terminates it on every path.
class ChildGuard {
public:
    ChildGuard() {
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info;
        ZeroMemory(&info, sizeof(info));
        char command[] = "guiclient.exe";
        if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            m_process.Reset(info.hProcess);
            Utils::KernelHandle thread(info.hThread);
            m_id = info.dwProcessId;
        }
    }
    ~ChildGuard() { Stop(); }
    void Stop() {
        if (!m_process) return;
        TerminateProcess(m_process.Get(), 0);
        WaitForSingleObject(m_process.Get(), 60000);
        m_process.Reset();
    }
    DWORD Id() const { return m_id; }
    bool Running() const { return m_process.IsValid(); }

private:
    Utils::KernelHandle m_process;
    DWORD m_id = 0;
};

} // namespace

TEST(FindProcesses, FindsChildByNameWithoutRegardToCase) {
    ChildGuard child;
    ASSERT_TRUE(child.Running());

    std::vector<DWORD> ids = {12345678};  // results are appended
    ASSERT_TRUE(Utils::System::FindProcesses(ids, "GUICLIENT.EXE"));
    EXPECT_EQ(ids.front(), 12345678u);
    EXPECT_TRUE(Contains(ids, child.Id()));
    EXPECT_FALSE(Contains(ids, GetCurrentProcessId()));

    // The folder part is not part of the name that is compared.
    std::vector<DWORD> withFolder;
    ASSERT_TRUE(Utils::System::FindProcesses(withFolder, "C:\\x\\guiclient.exe"));
    EXPECT_FALSE(Contains(withFolder, child.Id()));

    std::vector<DWORD> all;
    ASSERT_TRUE(Utils::System::FindProcesses(all, ""));
    EXPECT_TRUE(Contains(all, child.Id()));
    EXPECT_TRUE(Contains(all, GetCurrentProcessId()));

    child.Stop();
    std::vector<DWORD> after;
    ASSERT_TRUE(Utils::System::FindProcesses(after, "guiclient.exe"));
    EXPECT_FALSE(Contains(after, child.Id()));
}

TEST(FindProcesses, NoMatchIsStillSuccess) {
    std::vector<DWORD> ids;
    EXPECT_TRUE(Utils::System::FindProcesses(ids, "no-such-program-here.exe"));
    EXPECT_TRUE(ids.empty());
}
