// "#include=" lines: relative to the including file, merged into one object,
// each file read at most once per load.
#include <gtest/gtest.h>

#include <windows.h>
#include <string>

#include "ini_test_support.h"
#include "utils/ini/IniFile.h"

namespace {

class IniInclude : public ::testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryA("inc", nullptr);
        CreateDirectoryA("inc\\sub", nullptr);
        initest::WriteText("inc\\main.ini",
                           "[A]\r\nk=main\r\n#include=sub/child.ini\r\nafter=still A\r\n"
                           "#include=   second.ini   \r\n#include=absent.ini\r\nlast=1\r\n"
                           "# include=second.ini\r\n;include=second.ini\r\n#Include=other.ini\r\n");
        initest::WriteText("inc\\sub\\child.ini",
                           "c=child-unnamed\r\n[B]\r\nb=child\r\n[A]\r\nk=child wins\r\n#include=grand.ini\r\n");
        initest::WriteText("inc\\sub\\grand.ini", "[G]\r\ng=grand\r\n#include=../MAIN.INI\r\n");
        initest::WriteText("inc\\second.ini", "[S]\r\ns=second\r\n");
        initest::WriteText("inc\\other.ini", "[O]\r\no=other\r\n");
        initest::WriteText("inc\\self.ini", "x=1\r\n#include=self.ini\r\ny=2\r\n");
    }
    void TearDown() override {
        const char* files[] = {"inc\\main.ini", "inc\\sub\\child.ini", "inc\\sub\\grand.ini",
                               "inc\\second.ini", "inc\\other.ini", "inc\\self.ini"};
        for (const char* file : files) DeleteFileA(file);
        RemoveDirectoryA("inc\\sub");
        RemoveDirectoryA("inc");
    }
};

TEST_F(IniInclude, IncludedFilesMergeRelativeToTheirIncluder) {
    initest::StdoutCapture capture("capture_include.txt");
    Utils::IniFile ini("inc/main.ini", 1);
    std::string printed = capture.Finish();

    struct {
        const char* section;
        const char* key;
        const char* value;
    } rows[] = {
        {"A", "k", "child wins"},     // the included file sets it again
        {"A", "after", "still A"},    // the include keeps the includer's section
        {"A", "last", "1"},           // a missing include does not stop the load
        {"", "c", "child-unnamed"},   // an included file starts in the unnamed section
        {"B", "b", "child"},
        {"G", "g", "grand"},          // nested, relative to the sub folder
        {"S", "s", "second"},         // relative to main.ini's folder again after the nesting
        {"O", "o", ""},               // "#Include=" is a comment
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.value, ini.GetString(row.section, row.key)) << "[" << row.section << "] " << row.key;

    // main.ini reached again through "../MAIN.INI" is refused (paths compare in lower case).
    EXPECT_EQ(1, initest::Count(printed, "file already exist"));
    EXPECT_NE(std::string::npos, printed.find("#include file '"));
    EXPECT_NE(std::string::npos, printed.find("../MAIN.INI' file already exist\n"));
    EXPECT_EQ(1, initest::Count(printed, "duplicate name k=child wins"));
    const std::string missing = initest::Lower(initest::CurrentFolder() + "\\inc\\absent.ini");
    EXPECT_NE(std::string::npos, printed.find("file not found:\n" + missing + "\n")) << printed;
}

TEST_F(IniInclude, SwitchOffMakesIncludesComments) {
    Utils::IniFile ini("inc\\main.ini", 0);
    EXPECT_EQ("main", ini.GetString("A", "k"));
    EXPECT_EQ("", ini.GetString("B", "b"));
    std::vector<std::string> names;
    ini.GetSectionNames(names);
    EXPECT_EQ((std::vector<std::string>{"A"}), names);
}

// A downloaded manifest may include only a file beside it: no folder, no
// way up, no drive.
TEST_F(IniInclude, PlainFileNamesOnlyWhenAskedFor) {
    initest::WriteText("inc\\plain.ini",
                       "[P]\r\n#include=second.ini\r\n#include=sub/child.ini\r\n#include=sub\\child.ini\r\n"
                       "#include=..\\inc\\other.ini\r\n#include=" + initest::CurrentFolder() +
                           "\\inc\\other.ini\r\n#include=.\r\n");
    initest::StdoutCapture capture("capture_plain.txt");
    Utils::IniFile ini("inc\\plain.ini", 1, Utils::IniFile::IncludeNames::PlainFileName);
    std::string printed = capture.Finish();
    DeleteFileA("inc\\plain.ini");
    EXPECT_EQ("second", ini.GetString("S", "s"));
    EXPECT_EQ("", ini.GetString("B", "b"));
    EXPECT_EQ("", ini.GetString("O", "o"));
    EXPECT_EQ(5, initest::Count(printed, "refused: not a plain file name"));
}

TEST_F(IniInclude, SelfIncludeIsReadOnce) {
    initest::StdoutCapture capture("capture_self.txt");
    Utils::IniFile ini("inc\\self.ini", 1);
    std::string printed = capture.Finish();
    EXPECT_EQ("1", ini.GetString("", "x"));
    EXPECT_EQ("2", ini.GetString("", "y"));
    EXPECT_EQ(0, initest::Count(printed, "duplicate name"));
    EXPECT_EQ(1, initest::Count(printed, "file already exist"));
}

TEST_F(IniInclude, ResetReadReplacesAndFailedReadKeepsTheContent) {
    Utils::IniFile ini("inc\\second.ini", 1);
    EXPECT_FALSE(ini.ReadFile("inc\\nothing_here.ini", true));
    EXPECT_EQ("second", ini.GetString("S", "s"));   // unchanged by the failed read
    EXPECT_TRUE(ini.ReadFile("inc\\other.ini", true));
    EXPECT_EQ("", ini.GetString("S", "s"));
    EXPECT_EQ("other", ini.GetString("O", "o"));
    // A new load (reset) may read a file that an earlier load read.
    EXPECT_TRUE(ini.ReadFile("inc\\second.ini", true));
    EXPECT_EQ("second", ini.GetString("S", "s"));
    // Within one load a file is read once: merging the same file again is refused.
    EXPECT_FALSE(ini.ReadFile("inc\\SECOND.ini", false));
    ini.Clear();
    EXPECT_EQ("", ini.GetString("S", "s"));
    EXPECT_TRUE(ini.ReadFile("inc\\second.ini", false));  // Clear forgets the read list too
}

} // namespace
