#include "utils/string/String.h"
#include "utils/Exception.h"

#include <gtest/gtest.h>

using namespace Utils::String;
using Fields = std::vector<std::string>;

TEST(Split, LimitsAndEmptyFields) {
    struct Case { const char* text; const char* delim; int limit; Fields expected; };
    const Case cases[] = {
        {"a=b=c", "=", 1, {"a", "b=c"}},
        {"a=b=c", "=", 0, {"a", "b", "c"}},
        {"x;;y;", ";", 0, {"x", "", "y", ""}},
        {"abc", ";", 0, {"abc"}},
        {"a::b::", "::", 0, {"a", "b", ""}},
        {"", ";", 0, {}},
        {"abc", "", 0, {}},
    };
    for (const Case& c : cases) {
        Fields out{"stale"};
        Split(out, c.text, c.delim, c.limit);
        EXPECT_EQ(out, c.expected) << c.text << " at " << c.delim << " limit " << c.limit;
    }
}

TEST(ReplaceAll, OnePassAndEmptyInputs) {
    std::string a = "a//b", b = "a///b", c = "", d = "abc";
    EXPECT_EQ(ReplaceAll(a, "//", "/"), "a/b");
    EXPECT_EQ(ReplaceAll(b, "//", "/"), "a//b");
    EXPECT_EQ(ReplaceAll(c, "x", "y"), "");
    EXPECT_EQ(ReplaceAll(d, "", "y"), "");
    std::string e = "%Product_2%Did_1";
    EXPECT_EQ(ReplaceAll(ReplaceAll(e, "%", "&"), "_", "="), "&Product=2&Did=1");
}

TEST(TakeFirstToken, ConsumesUpToDelimiter) {
    std::string text = "10|20|30";
    EXPECT_EQ(TakeFirstToken(text, "|"), "10");
    EXPECT_EQ(text, "20|30");
    EXPECT_EQ(TakeFirstToken(text, "|"), "20");
    EXPECT_EQ(TakeFirstToken(text, "|"), "30");
    EXPECT_EQ(text, "");
    std::string keep = "abc";
    EXPECT_EQ(TakeFirstToken(keep, ""), "");
    EXPECT_EQ(keep, "abc");
}

TEST(Trim, WhitespaceOnlyAndHighBytes) {
    EXPECT_EQ(Trim(" \t\r\n\v\f "), "");
    EXPECT_EQ(Trim("  key = value \r\n"), "key = value");
    EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");
}

TEST(ToLower, OnlyAsciiLetters) {
    std::string text = "C:\\Program Files\\ÄBC";
    EXPECT_EQ(ToLower(text), "c:\\program files\\Äbc");
}

// Names equal under the ASCII rule compare and hash alike; other bytes as they are.
TEST(CaseRule, EqualityAndHashAgree) {
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"Bin\\GuiClient.EXE", "bin\\guiclient.exe", true},
        {"", "", true},
        {"ÄBC", "äbc", false},  // not ASCII: not folded
        {"abc", "abcd", false},
        {"a[c", "a{c", false},  // '[' and '{' differ by the case bit yet are no letters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(c.equal, EqualsIgnoringCase(c.a, c.b));
        if (c.equal) {
            EXPECT_EQ(HashIgnoringCase(c.a), HashIgnoringCase(c.b));
        }
        EXPECT_EQ(c.equal, Lowered(c.a) == Lowered(c.b));
    }
}

TEST(UrlEncode, ReservedAndHighBytes) {
    std::string out = "stale";
    EXPECT_EQ(UrlEncode("A b.c", out), "A+b%2Ec");
    EXPECT_EQ(UrlEncode("-._~&", out), "%2D%2E%5F%7E%26");
    EXPECT_EQ(UrlEncode("\xE9", out), "%E9");
    EXPECT_EQ(UrlEncode("", out), "");
}

TEST(HexDecode, PairsAndOddLength) {
    std::string out;
    EXPECT_EQ(HexDecode("4a6B00", out), std::string("\x4a\x6b\x00", 3));
    EXPECT_EQ(HexDecode("zz41", out), std::string("\x00" "A", 2));
    try {
        HexDecode("abc", out);
        FAIL() << "odd length must throw";
    } catch (Utils::Exception* e) {
        EXPECT_EQ(e->Place(), "Utils::String::HexDecode");
        EXPECT_EQ(e->Message().substr(0, 15), "hexdigit_2_val\n");
        delete e;
    }
}
