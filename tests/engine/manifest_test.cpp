// Manifest entries and request texts.
#include <gtest/gtest.h>

#include "engine/Manifest.h"

namespace {

TEST(ManifestFileEntry, VersionSpecOrderAndChecksum) {
    struct Case {
        const char* value;
        bool ok;
        int version;
        const char* spec;
        int order;
        const char* checksum;
    };
    const Case cases[] = {
        {"12,data^a1b2.cab,3", true, 12, "data^a1b2.cab", 3, "a1b2"},
        {"12,data^x^a1b2.cab,3", true, 12, "data^x^a1b2.cab", 3, "a1b2"},
        {"7,files/Bin/client.dll^9f00.lzma,10", true, 7, "files/Bin/client.dll^9f00.lzma", 10, "9f00"},
        {"1,readme.txt,1", true, 1, "readme.txt", 1, "readme"},     // no "^": everything before the last "."
        {"1,dir.v2/sum^abc,4", true, 1, "dir.v2/sum^abc", 4, "abc"}, // no "." after the "^"
        {"-3,a^b.c,-1", true, -3, "a^b.c", -1, "b"},
        {" 5x,a^b.c, 9", true, 5, "a^b.c", 9, "b"},                  // leading number, atoi style
        {"1,a^b.c,2,extra", true, 1, "a^b.c", 2, "b"},
        {"1,a^b.c", false, 0, "", 0, ""},
        {"", false, 0, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Manifest::FileEntry entry;
        ASSERT_EQ(c.ok, Manifest::ParseFileEntry("Bin__client.dll", c.value, entry));
        if (!c.ok) continue;
        EXPECT_EQ("Bin__client.dll", entry.key);
        EXPECT_EQ(c.version, entry.version);
        EXPECT_EQ(c.spec, entry.spec);
        EXPECT_EQ(c.order, entry.order);
        EXPECT_EQ(c.checksum, entry.checksum);
    }
    Manifest::FileEntry entry;
    EXPECT_FALSE(Manifest::ParseFileEntry("", "1,a^b.c,2", entry));
}

TEST(ManifestFileEntry, SortedByOrderNumberNotByKey) {
    std::vector<Manifest::FileEntry> entries(4);
    const char* keys[] = {"a", "b", "c", "d"};
    const int orders[] = {10, 9, 100, 9};
    for (int i = 0; i < 4; ++i) {
        entries[i].key = keys[i];
        entries[i].order = orders[i];
    }
    Manifest::SortByOrder(entries);
    std::string sequence;
    for (const auto& e : entries) sequence += e.key;
    EXPECT_EQ("bdac", sequence);
}

TEST(ManifestRegEntry, Spellings) {
    struct Case {
        const char* key;
        const char* value;
        bool ok;
        const char* name;
        const char* subKey;
        bool isNumber;
        bool overwrite;
        const char* data;
    };
    const Case cases[] = {
        {"Mode/", "D/Y/3", true, "Mode", "", true, true, "3"},
        {"Mode/", "D/N/3", true, "Mode", "", true, false, "3"},
        {"Mode", "D/y/3", true, "Mode", "", true, false, "3"},  // only "Y" replaces
        {"Url/", "S/Y/a/b", true, "Url", "", false, true, "a/b"},
        {"Volume/Settings\\Sound", "D/Y/70", true, "Volume", "Settings\\Sound", true, true, "70"},
        {"Empty", "S/Y/", true, "Empty", "", false, true, ""},
        {"X/", "Q/Y/1", false, "", "", false, false, ""},          // unknown type
        {"X/", "d/Y/1", false, "", "", false, false, ""},          // types are exact
        {"X/", "S/Y", false, "", "", false, false, ""},            // too few parts
        {"X/..\\..\\Other", "S/Y/v", false, "", "", false, false, ""},  // leaves the brand's key
        {"X/\\Software", "S/Y/v", false, "", "", false, false, ""},
        {"X/a\\..\\..\\b", "S/Y/v", false, "", "", false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        Manifest::RegEntry entry;
        ASSERT_EQ(c.ok, Manifest::ParseRegEntry(c.key, c.value, entry));
        if (!c.ok) continue;
        EXPECT_EQ(c.name, entry.name);
        EXPECT_EQ(c.subKey, entry.subKey);
        EXPECT_EQ(c.isNumber, entry.isNumber);
        EXPECT_EQ(c.overwrite, entry.overwrite);
        EXPECT_EQ(c.data, entry.data);
    }
}

TEST(ManifestRequests, QueryLanguageAndTargets) {
    const std::string ini = "Product_Tindermoor%Did_1%Lang_EN%Tag_1%Tag2_1%BrandId_1.ini";
    const std::string query = Manifest::ProfileQuery(ini);
    EXPECT_EQ("Product=Tindermoor&Did=1&Lang=EN&Tag=1&Tag2=1&BrandId=1", query);
    EXPECT_EQ("EN", Manifest::LanguageOf(query));
    EXPECT_EQ("", Manifest::LanguageOf("Product=7&Did=12"));
    EXPECT_EQ("E", Manifest::LanguageOf("Product=7&Lang=E"));
    EXPECT_EQ("Product=7&Did=12&Lang=EN", Manifest::ProfileQuery("Product_7%Did_12%Lang_EN.ini"));

    const std::string request = Manifest::ManifestRequest(query, "2024-05-01", "Halvenor");
    EXPECT_EQ("Dl/ClientResources.asp?Remote=1&Product=Tindermoor&Did=1&Lang=EN&Tag=1&Tag2=1&BrandId=1"
              "&LastUpdateDate=2024-05-01&Brand=Halvenor",
              request);
    EXPECT_EQ("Dl/UpdateResources.asp?Remote=1&Product=Tindermoor&Did=1&Lang=EN&Tag=1&Tag2=1&BrandId=1"
              "&LastUpdateDate=2024-05-01&Brand=Halvenor",
              Manifest::ResourceUpdateRequest(request));
    EXPECT_EQ("Dl/ClientResources.asp?Remote=1&q&LastUpdateDate=&Brand=", Manifest::ManifestRequest("q", "", ""));
    EXPECT_EQ("Product_Tindermoor.cab", Manifest::CabinetName(ini));
}

TEST(ManifestPaths, SafeRelativePaths) {
    struct Case {
        const char* path;
        bool safe;
    };
    const Case cases[] = {
        {"client.dll", true},
        {"Bin\\client.dll", true},
        {"Bin\\sub dir\\a b.ogg", true},
        {"Bin/client.dll", true},
        {"..\\evil.exe", false},
        {"Bin\\..\\..\\evil.exe", false},
        {"Bin\\..", false},
        {"...\\x", false},
        {".. \\x", false},
        {".\\x", false},
        {"C:\\Windows\\evil.exe", false},
        {"C:evil.exe", false},
        {"\\Windows\\evil.exe", false},
        {"/etc/x", false},
        {"\\\\server\\share\\x", false},
        {"Bin\\\\x", false},
        {"Bin\\", false},
        {"file.txt:stream", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.safe, Manifest::IsSafeRelativePath(c.path));
    }
}

} // namespace
