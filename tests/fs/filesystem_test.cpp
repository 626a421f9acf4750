#include "utils/fs/FileSystem.h"
#include "utils/fs/AtomicFile.h"

#include <windows.h>

#include "support/TestFiles.h"
#include "support/TestJunction.h"
#include "utils/Handles.h"
#include "utils/PlainFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Utils::FileSystem;

namespace {

using TestSupport::CurrentFolder;
using TestSupport::Lower;
using TestSupport::RemoveTree;

void WriteText(const std::string& path, const std::string& text) {
    ASSERT_TRUE(TestSupport::WriteText(path, text)) << path;
}

// A fresh folder below the test's working directory, removed at the end.
class TempTree : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = CurrentFolder() + "\\fs_tree_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveTree(m_root);
        ASSERT_TRUE(CreateDirectoryA(m_root.c_str(), nullptr));
    }
    void TearDown() override { RemoveTree(m_root); }
    // A folder outside the tree a deletion is given, holding precious.txt
    // ("keep"), and the empty folder Top to delete: the junction tests' set-up.
    void MakePreciousAndTop(std::string& target, std::string& top) {
        target = m_root + "\\Elsewhere";
        top = m_root + "\\Top";
        ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
        WriteText(target + "\\precious.txt", "keep");
        ASSERT_TRUE(CreateDirectoryA(top.c_str(), nullptr));
    }

    std::string m_root;
};

} // namespace

TEST(GetFullPath, NormalisesAbsoluteAndRelativePaths) {
    struct Case {
        const char* path;
        const char* base;
        const char* expected;
    } cases[] = {
        {"C:\\Data\\\\Sub/../File.INI", "", "c:\\data\\file.ini"},
        {"a.txt", "C:\\X", "c:\\x\\a.txt"},
        {"D:/A//B/./C/..\\", "", "d:\\a\\b\\."},
        {"..\\x", "C:\\A\\B", "c:\\a\\x"},
        {"C:\\A\\\\\\\\B\\\\\\", "", "c:\\a\\b"},           // runs of separators collapse
        {"C:\\", "", "c:"},                                   // the root loses its trailing separator
        {"\\Sub\\F", "E:\\Base", "e:\\base\\sub\\f"},         // no drive: relative to the base
        {"C:\\A\\B\\C\\..\\..\\x", "", "c:\\a\\x"},           // two ".." in a row go up two levels
        {"..\\..\\y", "C:\\A\\B\\C", "c:\\a\\y"},
        {"C:\\A\\..\\..\\..\\z", "", "c:\\z"},                // never above the drive's root
        {"C:\\A\\.\\..\\q", "", "c:\\a\\q"},                  // ".." removes the "." before it
        {"X:Rel\\Item", "C:\\ignored", "x:rel\\item"},        // "X:" makes it absolute as is
    };
    for (const Case& c : cases) EXPECT_EQ(GetFullPath(c.path, c.base), c.expected) << c.path << " | " << c.base;
}

TEST(GetFullPath, EmptyBaseUsesTheCurrentDirectory) {
    std::string cwd = CurrentFolder();
    EXPECT_EQ(GetFullPath("Name.TXT", ""), Lower(cwd) + "\\name.txt");
    EXPECT_EQ(GetFullPath(".//", ""), Lower(cwd) + "\\.");
}

TEST_F(TempTree, ListsLowerCasePathsFolderBeforeItsContents) {
    WriteText(m_root + "\\A.TXT", "a");
    ASSERT_TRUE(CreateDirectoryA((m_root + "\\Sub").c_str(), nullptr));
    WriteText(m_root + "\\Sub\\B.TXT", "b");
    std::string root = Lower(m_root);

    std::vector<std::string> out = {"stale"};
    ListDirectory(out, m_root, true, true, true);
    std::vector<std::string> sorted = out;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{root + "\\a.txt", root + "\\sub", root + "\\sub\\b.txt"}));
    auto folder = std::find(out.begin(), out.end(), root + "\\sub");
    auto inside = std::find(out.begin(), out.end(), root + "\\sub\\b.txt");
    EXPECT_LT(folder, inside);

    // Not recursive, no folders, appending to what is there.
    std::vector<std::string> flat = {"kept"};
    ListDirectory(flat, m_root, false, false, false);
    EXPECT_EQ(flat, (std::vector<std::string>{"kept", root + "\\a.txt"}));

    std::vector<std::string> none = {"x"};
    ListDirectory(none, m_root + "\\missing", true, true, true);
    EXPECT_TRUE(none.empty());
}

TEST_F(TempTree, IsFileAndIsDirectory) {
    WriteText(m_root + "\\f.bin", "x");
    EXPECT_TRUE(IsFile(m_root + "\\f.bin"));
    EXPECT_FALSE(IsDirectory(m_root + "\\f.bin"));
    EXPECT_TRUE(IsDirectory(m_root));
    EXPECT_FALSE(IsFile(m_root));
    EXPECT_FALSE(IsFile(m_root + "\\nothing"));
    EXPECT_FALSE(IsDirectory(m_root + "\\nothing"));
}

TEST_F(TempTree, DeleteDirectoryTreeRemovesEverythingIncludingReadOnlyFiles) {
    std::string top = m_root + "\\Top";
    ASSERT_TRUE(CreateDirectoryA(top.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((top + "\\L1").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((top + "\\L1\\L2").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((top + "\\Empty").c_str(), nullptr));
    WriteText(top + "\\root.txt", "r");
    WriteText(top + "\\L1\\one.txt", "1");
    WriteText(top + "\\L1\\L2\\two.txt", "2");
    WriteText(top + "\\L1\\L2\\ro.txt", "ro");
    SetFileAttributesA((top + "\\L1\\L2\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteText(m_root + "\\sibling.txt", "stays");

    DeleteDirectoryTree(top);
    EXPECT_FALSE(IsDirectory(top));
    EXPECT_FALSE(IsFile(top + "\\L1\\L2\\ro.txt"));
    EXPECT_TRUE(IsFile(m_root + "\\sibling.txt"));

    DeleteDirectoryTree(m_root + "\\never-existed");  // nothing to do, no dialog
    EXPECT_TRUE(IsDirectory(m_root));
}

// A junction, at the top of the tree or below it, goes as a link (where the
// system can remove it: Wine cannot remove its links) and is never followed.
TEST_F(TempTree, DeleteDirectoryTreeNeverFollowsAJunction) {
    std::string target, top;
    ASSERT_NO_FATAL_FAILURE(MakePreciousAndTop(target, top));
    ASSERT_TRUE(CreateDirectoryA((top + "\\Sub").c_str(), nullptr));
    WriteText(top + "\\own.txt", "ours");
    const std::string inner = top + "\\Sub\\Inner";
    const std::string outer = m_root + "\\Outer";
    struct Links {
        std::vector<std::string> made;
        ~Links() {
            for (const std::string& link : made) TestSupport::RemoveJunction(link);
        }
    } links;
    ASSERT_TRUE(TestSupport::MakeJunction(inner, target));
    links.made.push_back(inner);
    ASSERT_TRUE(TestSupport::MakeJunction(outer, target));
    links.made.push_back(outer);
    ASSERT_TRUE(IsReparsePoint(outer));
    ASSERT_TRUE(IsFile(outer + "\\precious.txt"));  // the link leads there

    DeleteDirectoryTree(top);
    EXPECT_FALSE(IsFile(top + "\\own.txt"));
    DeleteDirectoryTree(outer);
    EXPECT_EQ("keep", TestSupport::ReadText(target + "\\precious.txt"));
}

// Another program changes the tree while it is deleted: a folder not yet
// opened is swapped for a junction (the junction goes, not what it leads
// to); a folder already opened cannot be renamed away at all.
TEST_F(TempTree, DeleteDirectoryTreeFollowsNoSwapMadeWhileItRuns) {
    std::string target, top;
    ASSERT_NO_FATAL_FAILURE(MakePreciousAndTop(target, top));
    for (const char* sub : {"\\Swapped", "\\Held"}) {
        ASSERT_TRUE(CreateDirectoryA((top + sub).c_str(), nullptr));
        WriteText(top + sub + "\\own.txt", "ours");
    }
    bool swapped = false, heldRenamed = false;
    DeleteDirectoryTree(top, [&](const std::string& path) {
        const std::string name = path.substr(top.size());
        if (_stricmp(name.c_str(), "\\Swapped") == 0) {
            swapped = MoveFileA(path.c_str(), (m_root + "\\Moved").c_str()) && TestSupport::MakeJunction(path, target);
        } else if (_stricmp(name.c_str(), "\\Held\\own.txt") == 0) {
            heldRenamed = MoveFileA((top + "\\Held").c_str(), (m_root + "\\Renamed").c_str()) != FALSE;
        }
    });
    ASSERT_TRUE(swapped);
    EXPECT_FALSE(heldRenamed);
    EXPECT_EQ("keep", TestSupport::ReadText(target + "\\precious.txt"));
    EXPECT_FALSE(IsFile(top + "\\Held\\own.txt"));
    if (IsReparsePoint(top + "\\Swapped")) TestSupport::RemoveJunction(top + "\\Swapped");
}

// What another program may plant at a temporary name before the installer
// writes there: a hard link to a file it may not write, a junction. Neither is
// written through; a fresh file replaces the name, a file to continue must be
// a plain one of its own.
TEST_F(TempTree, PlantedLinksAtATemporaryNameAreNeverWrittenThrough) {
    const std::string victim = m_root + "\\system.dll", folder = m_root + "\\System";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    // Not empty: Wine removes an empty folder through a link to it.
    WriteText(folder + "\\keep.txt", "keep");
    // One junction for both of its cases: Wine makes and removes them slowly.
    const std::string junction = m_root + "\\x.dll.~ovjunction";
    ASSERT_TRUE(TestSupport::MakeJunction(junction, folder));
    struct Made {
        std::string link;
        ~Made() { TestSupport::RemoveJunction(link); }
    } made{junction};
    enum Planted { kNothing, kOwnFile, kHardLink, kJunction };
    const struct {
        const char* name;
        Planted planted;
        bool fresh;      // ReplaceWithNewPlainFile, else OpenPlainFile (a file to continue)
        bool writable;   // a handle comes back
    } cases[] = {
        {"nothing there, fresh", kNothing, true, true},
        {"nothing there, continued", kNothing, false, false},
        {"own file, fresh", kOwnFile, true, true},
        {"own file, continued", kOwnFile, false, true},
        {"hard link, fresh", kHardLink, true, true},
        {"hard link, continued", kHardLink, false, false},
        {"junction, fresh", kJunction, true, false},
        {"junction, continued", kJunction, false, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(victim, "system");
        const std::string temporary =
            c.planted == kJunction ? junction : m_root + "\\x.dll.~ov" + std::to_string(index++);
        if (c.planted == kOwnFile) WriteText(temporary, "own");
        if (c.planted == kHardLink) {
            ASSERT_TRUE(CreateHardLinkA(temporary.c_str(), victim.c_str(), nullptr));
        }
        {
            Utils::FileHandle file = c.fresh ? Utils::ReplaceWithNewPlainFile(temporary, GENERIC_WRITE)
                                             : Utils::OpenPlainFile(temporary, GENERIC_WRITE);
            EXPECT_EQ(c.writable, file.IsValid());
            DWORD written = 0;
            if (file) {
                EXPECT_TRUE(WriteFile(file.Get(), "new", 3, &written, nullptr));
            }
        }
        EXPECT_EQ("system", TestSupport::ReadText(victim));
        if (c.writable) {
            EXPECT_EQ("new", TestSupport::ReadText(temporary).substr(0, 3));
        }
        if (c.planted != kJunction) DeleteFileA(temporary.c_str());
        DeleteFileA(victim.c_str());
    }
    EXPECT_TRUE(TestSupport::JunctionDetail::IsLink(junction));
    EXPECT_EQ("keep", TestSupport::ReadText(folder + "\\keep.txt"));
}

TEST(IsPathInside, CanonicalPathsBelowTheFolder) {
    const struct {
        const char* path;
        const char* folder;
        bool inside;
    } cases[] = {
        {"C:\\Games\\Brand\\Bin\\x.exe", "c:\\games\\brand", true},
        {"c:/games/brand/x.exe", "C:\\Games\\Brand\\", true},
        {"c:\\games\\brand\\bin\\..\\x.exe", "c:\\games\\brand", true},
        {"c:\\games\\brand", "c:\\games\\brand", false},
        {"c:\\games\\brandnew\\x.exe", "c:\\games\\brand", false},
        {"c:\\games\\brand\\..\\other\\x.exe", "c:\\games\\brand", false},
        {"c:\\windows\\system32\\svchost.exe", "c:\\games\\brand", false},
        {"", "c:\\games\\brand", false},
        {"c:\\games\\brand\\x.exe", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.inside, IsPathInside(c.path, c.folder)) << c.path << " in " << c.folder;
    }
}

TEST_F(TempTree, DeleteDirectoryTreeRefusesEmptyAndOverlongPaths) {
    // The empty path must not empty the current directory.
    std::string cwd = CurrentFolder();
    ASSERT_TRUE(SetCurrentDirectoryA(m_root.c_str()));
    WriteText(m_root + "\\keep.txt", "k");
    DeleteDirectoryTree("");
    EXPECT_TRUE(IsFile(m_root + "\\keep.txt"));
    SetCurrentDirectoryA(cwd.c_str());

    // A path longer than the system opens: nothing is opened, nothing deleted.
    std::string longPath = m_root + "\\" + std::string(4999 - m_root.size() - 1, 'x');
    ASSERT_EQ(longPath.size(), 4999u);
    DeleteDirectoryTree(longPath);
    EXPECT_TRUE(IsDirectory(m_root));
}

TEST(GetModulePath, OptionsApplyInOrder) {
    const char* testName = std::getenv("ORVANTA_TEST_NAME");
    ASSERT_NE(testName, nullptr);
    std::string name = testName;

    std::string full, bare, folder, stripped;
    GetModulePath(full, false, false, false);
    GetModulePath(bare, true, true, false);
    GetModulePath(folder, false, true, true);
    GetModulePath(stripped, false, true, false);

    ASSERT_GE(full.size(), name.size() + 6);
    EXPECT_EQ(bare, name);
    EXPECT_EQ(stripped, full.substr(0, full.size() - 4));
    EXPECT_EQ(folder.back(), '\\');
    EXPECT_EQ(folder + name + ".exe", full);
    // The running program lives in the test's working folder.
    EXPECT_EQ(GetFullPath(folder, ""), Lower(CurrentFolder()));
}

// The one rule the engine installs a brand by and the uninstaller removes it by.
TEST(IsPlainFolderName, BrandNames) {
    struct Case {
        const char* name;
        bool plain;
    };
    const Case cases[] = {
        {"Halvenor", true},  {"Quarrelle Online", true}, {"Brand-2.1", true}, {"A..B", true},
        {"", false},         {".", false},               {"a\\b", false},     {"a/b", false},
        {"C:x", false},      {"..\\..\\Windows", false}, {"x?", false},       {"x*", false},
        {"a\"b", false},     {"a<b", false},             {"a|b", false},      {" lead", false},
        {"trail ", false},   {"dot.", false},            {"tab\t", false},   {"..", false},
        {"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789x",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.plain, IsPlainFolderName(c.name));
    }
}

// What the system names comes back whole or not at all: a buffer one byte
// too small gives "", never a cut path.
TEST(SystemPaths, WholeOrNothing) {
    char own[MAX_PATH] = {0};
    char temp[MAX_PATH] = {0};
    ASSERT_GT(GetModuleFileNameA(nullptr, own, MAX_PATH), 0u);
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const struct {
        const char* name;
        std::string (*query)(size_t);
        std::string expected;
    } cases[] = {
        {"own path", GetOwnPath, own},
        {"temporary folder", GetTempFolder, temp},
        {"current folder", GetCurrentFolder, CurrentFolder()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.query(kPathBuffer), c.expected);
        EXPECT_EQ(c.query(c.expected.size() + 1), c.expected);
        EXPECT_EQ(c.query(c.expected.size()), "");
    }
}

TEST_F(TempTree, CreateFoldersOfMakesEveryLevelButTheFile) {
    const std::string file = m_root + "\\a\\b/c\\file.txt";
    CreateFoldersOf(file);
    CreateFoldersOf(file);  // existing levels are fine
    EXPECT_TRUE(IsDirectory(m_root + "\\a\\b\\c"));
    EXPECT_FALSE(IsFile(file) || IsDirectory(file));
    // A file where a folder should be stays a file.
    WriteText(m_root + "\\blocker", "x");
    CreateFoldersOf(m_root + "\\blocker\\sub\\x.bin");
    EXPECT_TRUE(IsFile(m_root + "\\blocker"));
}

// The files of a folder and their contents, "name=content;" in name order.
std::string Contents(const std::string& folder) {
    std::vector<std::string> files;
    ListDirectory(files, folder, false, false, true);
    std::sort(files.begin(), files.end());
    std::string text;
    for (const std::string& file : files) text += file.substr(file.rfind('\\') + 1) + "=" + TestSupport::ReadText(file) + ";";
    return text;
}

TEST_F(TempTree, ReplacingAFileLeavesTheOldOrTheNewOneNeverAPart) {
    enum Target { ABSENT, PRESENT, READ_ONLY, LOCKED };
    struct Case {
        const char* name;
        Target target;
        bool byRenames;  // the fallback for systems without MoveFileEx
        bool replaced;
    };
    const Case cases[] = {
        {"new file", ABSENT, false, true},           {"over the old one", PRESENT, false, true},
        {"read-only target", READ_ONLY, false, false}, {"target in use", LOCKED, false, false},
        {"renames, new file", ABSENT, true, true},    {"renames, over the old one", PRESENT, true, true},
        {"renames, target in use", LOCKED, true, false},
    };
    const std::string target = m_root + "\\file.dat";
    const std::string source = ReplacementName(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(target.c_str());
        if (c.target != ABSENT) WriteText(target, "old");
        if (c.target == READ_ONLY) SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
        WriteText(source, "new");
        Utils::FileHandle lock;
        if (c.target == LOCKED) {
            lock.Reset(CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(lock);
        }
        const bool replaced = c.byRenames ? ReplaceByRenames(source, target) : ReplaceFileAtomically(source, target);
        lock.Reset();
        EXPECT_EQ(c.replaced, replaced);
        // The source stays for the caller when the target could not be replaced.
        const std::string before = c.target == ABSENT ? "" : "file.dat=old;";
        EXPECT_EQ(c.replaced ? "file.dat=new;" : before + "file.dat.~ovnew=new;", Contents(m_root));
        DeleteFileA(source.c_str());
    }
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(TempTree, LeftoversOfInterruptedReplacementsAreCleared) {
    struct Case {
        const char* name;
        std::vector<std::string> files;  // written with their own name as content
        const char* prefix;              // RemoveTemporaries' name prefix; "": also the one listing
        size_t handled;
        const char* after;
        std::set<std::string> present;   // what the listing finds
    };
    const std::string partial = PartialName("B.bin", "files/b^1.bin.lzma");
    const Case cases[] = {
        {"backup without its file goes back", {"a.txt.~ovold"}, "", 1, "a.txt=a.txt.~ovold;", {"a.txt"}},
        {"backup beside its file goes", {"a.txt", "a.txt.~ovold"}, "", 1, "a.txt=a.txt;", {"a.txt"}},
        {"partial, replacement and decoder files go", {"B.bin", partial, "B.bin.~ovnew", "B.bin.~ovnew.decoding"}, "",
         3, "b.bin=B.bin;", {"b.bin"}},
        {"only the named file's", {"c.txt.~ovnew", "d.txt.~ovnew"}, "c.txt", 1, "d.txt.~ovnew=d.txt.~ovnew;", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool listing : {false, true}) {
            if (listing && *c.prefix) continue;
            TestSupport::FreshFolder(m_root);
            for (const std::string& file : c.files) WriteText(m_root + "\\" + file, file);
            std::set<std::string> present;
            std::vector<std::string> handled;
            if (listing) {
                ListFilesRemovingTemporaries(m_root, present, handled);
                EXPECT_EQ(c.present, present);
            } else {
                handled = RemoveTemporaries(m_root, c.prefix);
            }
            EXPECT_EQ(c.after, Contents(m_root));
            EXPECT_EQ(c.handled, handled.size());
        }
    }
}

TEST(TemporaryNames, KeyedByTheSourceAndRecognisable) {
    const std::string a = PartialName("Bin\\x.dll", "files/x^1.lzma");
    EXPECT_EQ(a, PartialName("Bin\\x.dll", "files/x^1.lzma"));
    EXPECT_NE(a, PartialName("Bin\\x.dll", "files/x^2.lzma"));
    EXPECT_EQ(std::string("Bin\\x.dll.~ov"), a.substr(0, a.size() - 8));
    EXPECT_EQ(std::string::npos, a.substr(a.size() - 8).find_first_not_of("0123456789abcdef"));
    for (const std::string& name : {a, ReplacementName("x"), BackupName("x"), std::string("x.~ovnew.decoding")}) {
        EXPECT_TRUE(IsTemporaryName(name)) << name;
    }
    EXPECT_FALSE(IsTemporaryName("x.dll"));
    EXPECT_FALSE(IsTemporaryName("~ov.txt"));
}
