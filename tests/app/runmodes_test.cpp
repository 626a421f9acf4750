#include "app/RunModes.h"

#include <gtest/gtest.h>

TEST(ParseCommandLine, ModesAreByteWiseAndCaseSensitive) {
    struct Case { const char* line; RunMode mode; DWORD pid; };
    const Case cases[] = {
        {nullptr, RunMode::Install, 0},
        {"", RunMode::Install, 0},
        {"/uninstall", RunMode::RelaunchUninstall, 0},
        {"/UNINSTALL", RunMode::Install, 0},
        {"/uninstall ", RunMode::Install, 0},
        {"/uninstall2", RunMode::Uninstall, 0},
        {"/uninstall2 1234", RunMode::UninstallAfterWait, 1234},
        {"/uninstall2 abc", RunMode::UninstallAfterWait, 0},
        {"/uninstall2x77", RunMode::UninstallAfterWait, 77},
        {"/uninstall2 4294967295", RunMode::UninstallAfterWait, 4294967295u},
        {"-uninstall2 12", RunMode::Install, 0},
    };
    for (const Case& c : cases) {
        DWORD pid = 99;
        EXPECT_EQ(ParseCommandLine(c.line, pid), c.mode) << (c.line ? c.line : "(null)");
        EXPECT_EQ(pid, c.pid) << (c.line ? c.line : "(null)");
    }
}

TEST(UpdateCopy, NameAndQuotedCommandLine) {
    EXPECT_EQ(UpdateCopyPath("C:\\users\\me\\Temp\\", "C:\\Program Files\\Halvenor\\Halvenor.exe"),
              "C:\\users\\me\\Temp\\updateHalvenor.exe");
    EXPECT_EQ(UpdateCopyPath(std::string(500, 'x') + "\\", "C:\\a\\Halvenor.exe"), "");

    // The copy's own command line as the C runtime hands it to WinMain must be
    // exactly "/uninstall2 <pid>", also when the folder holds blanks.
    const std::string line = UpdateCopyCommandLine("C:\\Documents and Settings\\me\\Temp\\updateH.exe", 42);
    EXPECT_EQ(line, "\"C:\\Documents and Settings\\me\\Temp\\updateH.exe\" /uninstall2 42");
    // The runtime skips a quoted program path and the blanks after it.
    const size_t close = line.find('"', 1);
    size_t start = close + 1;
    while (line[start] == ' ') ++start;
    DWORD pid = 0;
    EXPECT_EQ(ParseCommandLine(line.c_str() + start, pid), RunMode::UninstallAfterWait);
    EXPECT_EQ(pid, 42u);
}
