#include "utils/system/System.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "support/TestProcess.h"
#include "support/TestThreads.h"
#include "utils/Event.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/system/MachineLock.h"

namespace {

bool Contains(const std::vector<DWORD>& ids, DWORD id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

} // namespace

TEST(FindProcesses, FindsChildByNameWithoutRegardToCase) {
    // guiclient.exe from the test's folder, ended on every path.
    TestSupport::Process child = TestSupport::Process::StartCommand("guiclient.exe");
    ASSERT_TRUE(child.Started());

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

    child.Kill();
    std::vector<DWORD> after;
    ASSERT_TRUE(Utils::System::FindProcesses(after, "guiclient.exe"));
    EXPECT_FALSE(Contains(after, child.Id()));
}

TEST(FindProcesses, NoMatchIsStillSuccess) {
    std::vector<DWORD> ids;
    EXPECT_TRUE(Utils::System::FindProcesses(ids, "no-such-program-here.exe"));
    EXPECT_TRUE(ids.empty());
}

// The one way the program starts processes: the program found by its path or
// by the command line, in the given folder, shown or hidden; RunProcess waits
// and tells the exit code.
TEST(StartProcess, FolderWindowAndExitCode) {
    const std::string helper = Utils::FileSystem::GetCurrentFolder() + "\\guiclient.exe";
    const std::string folder = Utils::FileSystem::GetCurrentFolder() + "\\start_here";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string note = folder + "\\started.txt";
    const struct {
        bool byApplication, visible;
        DWORD code;
        const char* shown;
    } cases[] = {{false, false, 7, "0"}, {true, true, 0, "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        DeleteFileA(note.c_str());
        Utils::System::ProcessStart start;
        if (c.byApplication) start.application = helper;
        start.commandLine = "\"" + helper + "\" exit " + std::to_string(c.code);
        start.workDir = folder;
        start.visible = c.visible;
        DWORD exitCode = 12345;
        ASSERT_TRUE(Utils::System::RunProcess(start, exitCode));
        EXPECT_EQ(exitCode, c.code);
        EXPECT_EQ(TestSupport::ReadText(note), c.shown);
    }

    DeleteFileA(note.c_str());
    Utils::System::ProcessStart noWait;
    noWait.commandLine = "\"" + helper + "\" exit 0";
    noWait.workDir = folder;
    ASSERT_TRUE(Utils::System::StartProcess(noWait));
    for (int i = 0; i < 600 && TestSupport::ReadText(note).empty(); ++i) Sleep(50);
    EXPECT_EQ(TestSupport::ReadText(note), "1");

    Utils::System::ProcessStart missing;
    missing.commandLine = "no-such-program-here.exe";
    DWORD exitCode = 0;
    EXPECT_FALSE(Utils::System::RunProcess(missing, exitCode));
    EXPECT_FALSE(Utils::System::StartProcess(missing));
}

// An elevated installer starts the game with the player's rights: the
// shell's, else the linked limited token; with neither, not at all.
TEST(StartAsPlayer, NeverStartsWithAnElevatedTokenWhereALimitedOneExists) {
    using Utils::System::PlayerRights;
    const struct {
        bool elevated, split, shell, linked;
        PlayerRights expected;
    } cases[] = {
        {false, false, false, false, PlayerRights::Own},  // before Vista, or not elevated
        {false, true, true, true, PlayerRights::Own},
        {true, false, false, false, PlayerRights::Own},   // UAC off: the player's rights are these
        {true, true, true, true, PlayerRights::ShellToken},
        {true, true, false, true, PlayerRights::LinkedToken},
        {true, true, false, false, PlayerRights::Refused},
    };
    for (const auto& c : cases) {
        Utils::System::RightsFacts facts;
        facts.elevated = c.elevated;
        facts.splitToken = c.split;
        facts.shellTokenUsable = c.shell;
        facts.linkedTokenUsable = c.linked;
        EXPECT_EQ(c.expected, Utils::System::ChoosePlayerRights(facts))
            << c.elevated << c.split << c.shell << c.linked;
    }
}

// One holder at a time, machine-wide: a second waits its time and is told
// the lock is busy; a holder that ends without giving it back leaves it to
// the next one.
TEST(MachineLock, OneHolderAtATime) {
    using Utils::System::MachineLock;
    const std::string name = "Orvanta.Test.MachineLock";
    Utils::Event held(true), release(true);
    TestSupport::Thread holder([&] {
        MachineLock lock;
        if (lock.Acquire(name, 0) != MachineLock::ACQUIRED) return;
        held.Set();
        release.Wait(INFINITE);
    });
    ASSERT_TRUE(held.Wait(30000));
    MachineLock second;
    EXPECT_EQ(MachineLock::BUSY, second.Acquire(name, 100));
    EXPECT_FALSE(second.Held());
    MachineLock other;
    EXPECT_EQ(MachineLock::ACQUIRED, other.Acquire(name + ".other", 0));
    EXPECT_EQ(MachineLock::UNAVAILABLE, MachineLock().Acquire("with\\backslash", 0));
    release.Set();
    holder.Join();
    EXPECT_EQ(MachineLock::ACQUIRED, second.Acquire(name, 30000));

    // Ended without giving it back: abandoned, and taken by the next one.
    TestSupport::Thread quitter([&] {
        MachineLock* lock = new MachineLock();  // never destroyed: the lock is not given back
        lock->Acquire(name + ".abandoned", 0);
    });
    quitter.Join();
    MachineLock next;
    EXPECT_EQ(MachineLock::ACQUIRED, next.Acquire(name + ".abandoned", 30000));
}
