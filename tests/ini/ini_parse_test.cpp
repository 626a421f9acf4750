// Parsing rules of the INI reader on real files, and its look-ups.
#include <gtest/gtest.h>

#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "ini_test_support.h"
#include "utils/Handles.h"
#include "utils/ini/IniFile.h"

namespace {

const char* const kSample =
    "orphan=before any header\r\n"
    "[GENERAL]\r\n"
    "KEY=first\r\n"
    "KEY=second\r\n"
    "spaced = both\r\n"
    "endsequals=\r\n"
    "=startsequals\r\n"
    "two=a=b\r\n"
    "# comment=1\r\n"
    "; semi=2\r\n"
    "   indented=yes \t \r\n"
    "noequals\r\n"
    "\r\n"
    "[ Spaced ]\r\n"
    "inner=1\r\n"
    "[]\r\n"
    "emptysection=e\r\n"
    "[Numbers]\r\n"
    "plain=42\r\n"
    "neg=  -17xyz\r\n"
    "plus=+8\r\n"
    "none=abc\r\n"
    "big=99999999999\r\n"
    "tail=no line feed at the end";

class IniParse : public ::testing::Test {
protected:
    void SetUp() override { initest::WriteText("parse_sample.ini", kSample); }
    void TearDown() override { DeleteFileA("parse_sample.ini"); }
};

TEST_F(IniParse, LookupsFollowTheLineRules) {
    initest::StdoutCapture capture("capture_parse.txt");
    Utils::IniFile ini("parse_sample.ini", 1);
    std::string printed = capture.Finish();

    struct {
        const char* section;
        const char* key;
        const char* value;
    } rows[] = {
        {"GENERAL", "KEY", "second"},           // the last value read wins
        {"general", "KEY", ""},                 // names are case-sensitive
        {"GENERAL", "key", ""},
        {"GENERAL", "spaced ", " both"},        // nothing around "=" is trimmed
        {"GENERAL", "spaced", ""},
        {"GENERAL", "endsequals", ""},          // empty value: ignored
        {"GENERAL", "", ""},                    // empty key: ignored
        {"GENERAL", "two", "a=b"},              // split at the first "="
        {"GENERAL", "# comment", ""},
        {"GENERAL", "; semi", ""},
        {"GENERAL", "indented", "yes"},         // the line itself is trimmed
        {"GENERAL", "noequals", ""},
        {" Spaced ", "inner", "1"},             // header names are not trimmed
        {"Spaced", "inner", ""},
        {"", "orphan", "before any header"},    // before the first header: the unnamed section
        {"", "emptysection", "e"},              // "[]" names the unnamed section too
        {"Numbers", "tail", "no line feed at the end"},
        {"Missing", "KEY", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.value, ini.GetString(row.section, row.key)) << "[" << row.section << "] " << row.key;

    EXPECT_EQ(1, initest::Count(printed, "duplicate name"));
    EXPECT_NE(std::string::npos, printed.find("Warning: Utils::IniFile::ReadFile() duplicate name KEY=second\n"));
}

TEST_F(IniParse, IntegersReadLikeAtoi) {
    Utils::IniFile ini("parse_sample.ini", 1);
    struct {
        const char* key;
        int value;
    } rows[] = {{"plain", 42}, {"neg", -17}, {"plus", 8}, {"none", 0}, {"big", 2147483647}, {"missing", 0}};
    for (const auto& row : rows) EXPECT_EQ(row.value, ini.GetInt("Numbers", row.key)) << row.key;
    EXPECT_EQ(0, ini.GetInt("Nowhere", "plain"));
}

TEST_F(IniParse, SectionsNamesAndRendering) {
    Utils::IniFile ini("parse_sample.ini", 1);
    std::vector<std::string> keys{"stale"}, values{"stale"};
    ini.GetSection("GENERAL", keys, values);
    EXPECT_EQ((std::vector<std::string>{"KEY", "indented", "spaced ", "two"}), keys);
    EXPECT_EQ((std::vector<std::string>{"second", "yes", " both", "a=b"}), values);
    ini.GetSection("Missing", keys, values);
    EXPECT_TRUE(keys.empty());
    EXPECT_TRUE(values.empty());

    std::vector<std::string> names{"stale"};
    ini.GetSectionNames(names);
    EXPECT_EQ((std::vector<std::string>{"", " Spaced ", "GENERAL", "Numbers"}), names);

    std::string text = "stale";
    ini.ToString(text);
    EXPECT_EQ(
        "[]\nemptysection=e\norphan=before any header\n"
        "[ Spaced ]\ninner=1\n"
        "[GENERAL]\nKEY=second\nindented=yes\nspaced = both\ntwo=a=b\n"
        "[Numbers]\nbig=99999999999\nneg=  -17xyz\nnone=abc\nplain=42\nplus=+8\ntail=no line feed at the end\n",
        text);
}

TEST(IniFile, LongLinesAreReadInPiecesOf3999Bytes) {
    // 5,000 characters without a line feed: pieces of 3,999 and 1,001 characters.
    std::string line = "a=" + std::string(3997, 'x') + "b=" + std::string(999, 'y');
    ASSERT_EQ(5000u, line.size());
    initest::WriteText("long_line.ini", "[L]\n" + line);
    Utils::IniFile ini("long_line.ini", 1);
    EXPECT_EQ(std::string(3997, 'x'), ini.GetString("L", "a"));
    EXPECT_EQ(std::string(999, 'y'), ini.GetString("L", "b"));
    DeleteFileA("long_line.ini");
}

// Text checked in memory is parsed as the same bytes read from a file would
// be, whatever their line breaks, control bytes and line lengths; its
// "#include=" lines load nothing.
TEST(IniFile, TextIsReadAsTheSameBytesInAFile) {
    const std::string longLine = "a=" + std::string(3997, 'x') + "b=" + std::string(4500, 'y');
    const char withNul[] = "[S]\r\nk=before NUL\0after=1\r\nnext=2\r\n";
    const std::string cases[] = {
        "",
        "[S]\r\nk=v\r\nlast=no break",
        "[S]\nk=v\n",
        "[S]\rk=lone CR\r\nk2=v\r\r\nk3=\r\r",
        std::string(withNul, sizeof withNul - 1),
        "[S]\r\nk=v\r\n\x1a[T]\r\nafter=end of text\r\n",
        "[L]\r\n" + longLine + "\r\n" + longLine,
        "[L]\n" + std::string(3998, 'z') + "\r\nq=across the piece boundary\r\n",
        "[S]\r\n#include=other.ini\r\nk=v\r\n",
    };
    initest::WriteText("other.ini", "[S]\r\nincluded=1\r\n");
    int index = 0;
    for (const std::string& text : cases) {
        SCOPED_TRACE(index++);
        initest::WriteText("same_bytes.ini", text);
        Utils::IniFile fromFile("same_bytes.ini", 0);
        const std::unique_ptr<Utils::IniFile> fromText = Utils::IniFile::FromText(text);
        std::string expected, got;
        fromFile.ToString(expected);
        fromText->ToString(got);
        EXPECT_TRUE(expected == got) << expected.size() << " " << got.size() << "\n" << got.substr(0, 300);
        EXPECT_EQ("", fromText->GetString("S", "included"));
    }
    EXPECT_EQ("v", Utils::IniFile::FromText(cases[1])->GetString("S", "k"));
    DeleteFileA("same_bytes.ini");
    DeleteFileA("other.ini");
}

TEST(IniFile, MissingFileGivesAnEmptyObject) {
    initest::StdoutCapture capture("capture_missing.txt");
    Utils::IniFile ini("no_such_file.ini", 1);
    std::string printed = capture.Finish();
    EXPECT_EQ(0, ini.GetInt("A", "b"));
    EXPECT_EQ("", ini.GetString("A", "b"));
    std::string text = "stale";
    ini.ToString(text);
    EXPECT_EQ("", text);
    const std::string path = initest::Lower(initest::CurrentFolder() + "\\no_such_file.ini");
    std::string expected = "Utils::IniFile::ReadFile() file not found:\n" + path + "\n";
    EXPECT_NE(std::string::npos, printed.find(expected)) << printed;
}

TEST(IniFile, CacheNeverChangesResultsAcrossThreads) {
    std::string text;
    for (int s = 0; s < 8; ++s) {
        text += "[S" + std::to_string(s) + "]\n";
        for (int k = 0; k < 50; ++k) text += "k" + std::to_string(k) + "=" + std::to_string(s * 1000 + k) + "\n";
    }
    initest::WriteText("threads.ini", text);
    Utils::IniFile ini("threads.ini", 1);

    struct Args {
        Utils::IniFile* ini;
        int seed;
        volatile LONG wrong;
    } args[4];
    auto worker = [](void* argument) -> DWORD {
        Args* a = static_cast<Args*>(argument);
        for (int i = 0; i < 4000; ++i) {
            int s = (i * 7 + a->seed) % 9;  // section 8 does not exist
            int k = (i * 13 + a->seed) % 50;
            int expected = s < 8 ? s * 1000 + k : 0;
            if (a->ini->GetInt("S" + std::to_string(s), "k" + std::to_string(k)) != expected)
                InterlockedIncrement(&a->wrong);
        }
        return 0;
    };
    Utils::KernelHandle threads[4];
    for (int t = 0; t < 4; ++t) {
        args[t].ini = &ini;
        args[t].seed = t;
        args[t].wrong = 0;
        threads[t].Reset(CreateThread(nullptr, 0, worker, &args[t], 0, nullptr));
        ASSERT_TRUE(threads[t]);
    }
    for (auto& thread : threads) WaitForSingleObject(thread.Get(), 60000);
    for (const auto& a : args) EXPECT_EQ(0, a.wrong);
    DeleteFileA("threads.ini");
}

// Counts the values alive, so each step shows who destroyed what.
struct Tracked {
    static int alive;
    int value;
    explicit Tracked(int v) : value(v) { ++alive; }
    ~Tracked() { --alive; }
};
int Tracked::alive = 0;

TEST(LockedMap, OwnsItsValues) {
    using Value = std::unique_ptr<Tracked>;
    {
        Utils::LockedMap<Tracked> map;
        EXPECT_FALSE(map.Set("a", Value(new Tracked(1))));  // absent: nothing stored, value destroyed
        EXPECT_FALSE(map.Contains("a"));
        EXPECT_EQ(0, Tracked::alive);
        EXPECT_TRUE(map.Insert("b", Value(new Tracked(2))));
        EXPECT_FALSE(map.Insert("b", Value(new Tracked(1))));  // present: the first value stays
        EXPECT_EQ(2, map.Get("b")->value);
        EXPECT_TRUE(map.Set("b", Value(new Tracked(3))));  // the replaced value is destroyed
        EXPECT_EQ(3, map.Get("b")->value);
        EXPECT_EQ(1, Tracked::alive);
        EXPECT_EQ(nullptr, map.Replace("a", Value(new Tracked(1))));
        Value previous = map.Replace("b", Value(new Tracked(2)));
        ASSERT_NE(nullptr, previous);  // handed back to the caller, still alive
        EXPECT_EQ(3, previous->value);
        EXPECT_EQ(3, Tracked::alive);
        previous.reset();
        EXPECT_EQ(nullptr, map.Get("B"));
        std::vector<std::string> keys{"stale"};
        map.GetKeys(keys);
        EXPECT_EQ((std::vector<std::string>{"a", "b"}), keys);
        map.Clear();
        EXPECT_EQ(0, Tracked::alive);
        map.Insert("c", Value(new Tracked(4)));
    }
    EXPECT_EQ(0, Tracked::alive);  // the map's destructor frees what it still holds
}

} // namespace
