#include "utils/registry/RegistryKey.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "utils/Handles.h"

using Utils::RegistryKey;

namespace {

const char kPath[] = "OrvantaTest_test_registry";
const char kFullPath[] = "Software\\OrvantaTest_test_registry";

// Raw access, independent of the class under test.
Utils::RegKey Open(HKEY root, const std::string& path) {
    Utils::RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, key.Receive()) != ERROR_SUCCESS) key.Release();
    return key;
}

bool Exists(HKEY root, const std::string& path) { return Open(root, path).IsValid(); }

void PutRaw(const std::string& sub, const std::string& name, DWORD type, const std::string& bytes) {
    Utils::RegKey key;
    std::string path = std::string(kFullPath) + (sub.empty() ? "" : "\\" + sub);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    // Wine's ANSI setter extends a string value over one following zero byte
    // (a Windows 95 trait); a non-zero guard byte keeps the size exact.
    std::string guarded = bytes + "G";
    ASSERT_EQ(RegSetValueExA(key.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(guarded.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

// Type and size of a stored value; false when it is missing.
bool QueryRaw(HKEY root, const std::string& path, const std::string& name, DWORD& type, DWORD& size) {
    Utils::RegKey key = Open(root, path);
    if (!key) return false;
    size = 0;
    return RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
}

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        RegDeleteTreeA(HKEY_CURRENT_USER, kFullPath);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kFullPath);
    }
};

} // namespace

TEST_F(RegistryKeyTest, ConstructorCreatesThePathInTheSelectedHive) {
    ASSERT_FALSE(Exists(HKEY_CURRENT_USER, kFullPath));
    {
        RegistryKey user(1, std::string(kPath) + "\\Deep\\Er");
    }
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, std::string(kFullPath) + "\\Deep\\Er"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kFullPath));

    RegistryKey machine(0, kPath);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, kFullPath));
    machine.SetDword("Where", 0, true, "");
    RegistryKey otherSelector(200, kPath);  // any non-zero selector is the user hive
    otherSelector.SetDword("Where", 1, true, "");

    DWORD type = 0, size = 0;
    EXPECT_TRUE(QueryRaw(HKEY_LOCAL_MACHINE, kFullPath, "Where", type, size));
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, kFullPath, "Where", type, size));
    EXPECT_EQ(machine.GetDword("Where", "", 9), 0u);
    EXPECT_EQ(otherSelector.GetDword("Where", "", 9), 1u);
}

TEST_F(RegistryKeyTest, DwordOverwriteRulesAndTypeCheck) {
    RegistryKey key(1, kPath);
    key.SetDword("Count", 5, false, "");
    EXPECT_EQ(key.GetDword("Count", "", 0), 5u);
    key.SetDword("Count", 7, false, "");
    EXPECT_EQ(key.GetDword("Count", "", 0), 5u);
    key.SetDword("Count", 7, true, "");
    EXPECT_EQ(key.GetDword("Count", "", 0), 7u);

    PutRaw("", "Text", REG_SZ, std::string("12\0", 3));
    EXPECT_EQ(key.GetDword("Text", "", 42), 42u);
    EXPECT_EQ(key.GetDword("Missing", "", 42), 42u);

    // A value of another type does not count as existing: it is replaced.
    key.SetDword("Text", 3, false, "");
    EXPECT_EQ(key.GetDword("Text", "", 0), 3u);
}

TEST_F(RegistryKeyTest, ReadsCreateAMissingSubKeyButKeyExistsDoesNot) {
    RegistryKey key(1, kPath);
    EXPECT_FALSE(key.KeyExists("Later"));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, std::string(kFullPath) + "\\Later"));
    EXPECT_TRUE(key.KeyExists(""));

    EXPECT_EQ(key.GetDword("X", "Later", 0), 0u);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, std::string(kFullPath) + "\\Later"));
    EXPECT_TRUE(key.KeyExists("Later"));
}

TEST_F(RegistryKeyTest, OnlyTheConstructorCreatesTheKeyPath) {
    RegistryKey key(1, kPath);
    Reset();
    key.SetDword("A", 1, true, "");
    key.SetString("B", "b", true, "Sub");
    EXPECT_EQ(key.GetString("B", "Sub", "def"), "def");
    EXPECT_FALSE(key.KeyExists(""));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, kFullPath));
}

TEST_F(RegistryKeyTest, StringReadingRules) {
    RegistryKey key(1, kPath);
    const std::string maxText(1023, 'm');
    struct Case {
        const char* label;
        DWORD type;
        std::string bytes;
        std::string expected;  // "<default>" when the value counts as missing
    } cases[] = {
        {"terminated", REG_SZ, std::string("hello\0", 6), "hello"},
        {"no terminator", REG_SZ, "hello", "<default>"},
        {"empty with terminator", REG_SZ, std::string("\0", 1), ""},
        {"expand kept literal", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9), "%TEMP%\\x"},
        {"expand no terminator", REG_EXPAND_SZ, "%TEMP%", "<default>"},
        {"multi first string", REG_MULTI_SZ, std::string("one\0two\0\0", 9), "one"},
        {"multi one zero only", REG_MULTI_SZ, std::string("one\0", 4), "<default>"},
        {"multi too short", REG_MULTI_SZ, std::string("\0", 1), "<default>"},
        {"binary", REG_BINARY, std::string("abc\0", 4), "<default>"},
        {"dword", REG_DWORD, std::string("\x01\x00\x00\x00", 4), "<default>"},
        {"1024 bytes fit", REG_SZ, maxText + std::string(1, '\0'), maxText},
        {"1025 bytes do not", REG_SZ, maxText + "m" + std::string(1, '\0'), "<default>"},
    };
    for (const Case& c : cases) {
        PutRaw("Rules", c.label, c.type, c.bytes);
        EXPECT_EQ(key.GetString(c.label, "Rules", "<default>"), c.expected) << c.label;
    }
    EXPECT_EQ(key.GetString("absent", "Rules", "<default>"), "<default>");
}

TEST_F(RegistryKeyTest, LongStringsAreCutSoTheyReadBack) {
    RegistryKey key(1, kPath);
    std::string text(2000, 'a');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    key.SetString("Long", text, true, "");

    DWORD type = 0, size = 0;
    ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, kFullPath, "Long", type, size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 1024u);
    EXPECT_EQ(key.GetString("Long", "", "def"), text.substr(0, 1023));
}

TEST_F(RegistryKeyTest, StringOverwriteKeepsOnlyReadableValues) {
    RegistryKey key(1, kPath);
    key.SetString("Name", "first", false, "S");
    key.SetString("Name", "second", false, "S");
    EXPECT_EQ(key.GetString("Name", "S", ""), "first");
    key.SetString("Name", "third", true, "S");
    EXPECT_EQ(key.GetString("Name", "S", ""), "third");

    PutRaw("S", "Broken", REG_SZ, "noterm");
    key.SetString("Broken", "fixed", false, "S");
    EXPECT_EQ(key.GetString("Broken", "S", ""), "fixed");

    key.SetDword("Number", 4, true, "S");
    key.SetString("Number", "text", false, "S");
    EXPECT_EQ(key.GetString("Number", "S", ""), "text");
}

TEST_F(RegistryKeyTest, DeleteRemovesSubKeyTreeAndValueOfTheName) {
    RegistryKey key(1, kPath);
    key.SetString("Brand", "value", true, "Work");
    key.SetDword("Keep", 1, true, "Work");
    key.SetDword("V", 1, true, "Work\\Brand");
    key.SetDword("V", 2, true, "Work\\Brand\\A\\B\\C");
    key.SetDword("V", 3, true, "Work\\Brand\\A\\D");
    key.SetDword("V", 4, true, "Work\\Brand\\E");
    key.SetDword("V", 5, true, "Work\\Other");

    key.Delete("Brand", "Work");
    std::string work = std::string(kFullPath) + "\\Work";
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, work + "\\Brand"));
    DWORD type = 0, size = 0;
    EXPECT_FALSE(QueryRaw(HKEY_CURRENT_USER, work, "Brand", type, size));
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, work, "Keep", type, size));
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, work + "\\Other"));

    key.Delete("Nothing", "Work");  // absent: no effect
    EXPECT_EQ(key.GetDword("Keep", "Work", 0), 1u);

    // A value alone, no sub-key of that name.
    key.Delete("Keep", "Work");
    EXPECT_FALSE(QueryRaw(HKEY_CURRENT_USER, work, "Keep", type, size));
}

TEST_F(RegistryKeyTest, DeleteWithEmptyNameKeepsTheWorkingKey) {
    RegistryKey key(1, kPath);
    key.SetDword("V", 1, true, "Work\\Child");
    key.SetDword("Named", 2, true, "Work");
    key.SetString("", "unnamed", true, "Work");

    key.Delete("", "Work");
    std::string work = std::string(kFullPath) + "\\Work";
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, work + "\\Child"));
    EXPECT_EQ(key.GetDword("Named", "Work", 0), 2u);
    EXPECT_EQ(key.GetString("", "Work", "gone"), "gone");
}

// The held key writes what the path calls write: both writers, one table.
TEST_F(RegistryKeyTest, HeldKeyWritesAndDeletesAsThePathCallsDo) {
    RegistryKey key(1, kPath);
    std::string longText(1500, 'x');
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "path");
        const std::string sub = held ? "Held\\Installed" : "Path\\Installed";
        RegistryKey::Held open = held ? key.Hold(sub) : RegistryKey::Held();
        ASSERT_EQ(static_cast<bool>(open), held);
        auto write = [&](const std::string& name, DWORD value, const std::string& text) {
            if (held)
                open.SetDwordAndString(name, value, name + "CheckSum", text);
            else
                key.SetDwordAndString(name, value, name + "CheckSum", text, sub);
        };
        auto erase = [&](const std::string& name) {
            if (held)
                open.Delete(name);
            else
                key.Delete(name, sub);
        };
        write("Bin__a.dll", 7, "c0ffee");
        write("Data__b.bin", 3, longText);
        write("Bin__a.dll", 8, "beef");  // overwritten
        key.SetDword("V", 1, true, sub + "\\Data__b.bin");  // a sub-key of a record's name
        EXPECT_EQ(key.GetDword("Bin__a.dll", sub, 0), 8u);
        EXPECT_EQ(key.GetString("Bin__a.dllCheckSum", sub, ""), "beef");
        EXPECT_EQ(key.GetString("Data__b.binCheckSum", sub, ""), longText.substr(0, 1023)) << "cut to read back";

        erase("Data__b.bin");
        erase("Data__b.binCheckSum");
        erase("");  // the unnamed value only: the key stays
        EXPECT_EQ(key.GetDword("Data__b.bin", sub, 0), 0u);
        EXPECT_EQ(key.GetString("Data__b.binCheckSum", sub, "gone"), "gone");
        EXPECT_FALSE(Exists(HKEY_CURRENT_USER, std::string(kFullPath) + "\\" + sub + "\\Data__b.bin"));
        EXPECT_EQ(key.GetDword("Bin__a.dll", sub, 0), 8u);
    }
}
