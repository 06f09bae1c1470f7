#include "UdsStrUtils.h"

#include <gtest/gtest.h>

TEST(StrUtils, CopyFromDropsPrefixes) {
    EXPECT_EQ(TdsStrUtils::CopyFrom("ERROR;常规报税出错", 7), "常规报税出错");
    EXPECT_EQ(TdsStrUtils::CopyFrom("RETRY;", 7), "");
    EXPECT_EQ(TdsStrUtils::CopyFrom("abc", 7), "");
    EXPECT_EQ(TdsStrUtils::CopyFrom("xyz<a/>", 4), "<a/>");
}

TEST(StrUtils, CharacterClasses) {
    EXPECT_TRUE(TdsStrUtils::IsDigits(""));
    EXPECT_TRUE(TdsStrUtils::IsDigits("0123456789"));
    EXPECT_FALSE(TdsStrUtils::IsDigits("12a4"));
    EXPECT_TRUE(TdsStrUtils::IsAlphaNumeric(""));
    EXPECT_TRUE(TdsStrUtils::IsAlphaNumeric("Ab9"));
    EXPECT_FALSE(TdsStrUtils::IsAlphaNumeric("a_b"));
    EXPECT_FALSE(TdsStrUtils::IsAlphaNumeric("纳税"));
}

TEST(StrUtils, IsNumber) {
    struct Case {
        const char* text;
        bool minus;
        bool expected;
    } cases[] = {
        {"12", false, true},    {"12.50", false, true}, {" 3 ", false, true}, {"-1", false, false},
        {"-1", true, true},     {"1e-5", false, false}, {"1e5", false, true}, {"", true, false},
        {"1.2.3", true, false}, {"abc", true, false},   {".5", false, true},  {"5.", false, true},
        {"1e", true, false},    {"0x10", true, false},  {"inf", true, false}, {"nan", true, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TdsStrUtils::IsNumber(c.text, c.minus), c.expected) << c.text;
}

TEST(StrUtils, SplitText) {
    std::vector<std::string> list{"old"};
    TdsStrUtils::SplitText("", ",", false, list);
    EXPECT_TRUE(list.empty());
    TdsStrUtils::SplitText("one", ",", false, list);
    EXPECT_EQ(list, (std::vector<std::string>{"one"}));
    TdsStrUtils::SplitText(",a,,A,b,", ",", false, list);
    EXPECT_EQ(list, (std::vector<std::string>{"", "a", "", "A", "b", ""}));
    TdsStrUtils::SplitText(",a,,A,b,", ",", true, list);
    EXPECT_EQ(list, (std::vector<std::string>{"", "a", "b"}));
    TdsStrUtils::SplitText("x;;y", ";;", false, list);
    EXPECT_EQ(list, (std::vector<std::string>{"x", "y"}));
}

TEST(StrUtils, StripAndPositions) {
    EXPECT_EQ(TdsStrUtils::StripTrailing("\\\\\\", "\\"), "");
    EXPECT_EQ(TdsStrUtils::StripTrailing("a/b//", "/"), "a/b");
    EXPECT_EQ(TdsStrUtils::StripLeading("ababc", "ab"), "c");
    EXPECT_EQ(TdsStrUtils::StripLeading("abab", "ab"), "");
    EXPECT_EQ(TdsStrUtils::StripBoth("--x--", "-"), "x");
    EXPECT_EQ(TdsStrUtils::StripTrailing("x", ""), "x");
    EXPECT_EQ(TdsStrUtils::LastPos("/", "a/b/c"), 4);
    EXPECT_EQ(TdsStrUtils::LastPos("z", "a/b/c"), 0);
    EXPECT_EQ(TdsStrUtils::CountChar(',', "a,b,,c"), 3);
}

TEST(StrUtils, GuidForms) {
    std::string plain = TdsStrUtils::NewGuidText(false);
    std::string braced = TdsStrUtils::NewGuidText(true);
    ASSERT_EQ(plain.size(), 32u);
    for (char c : plain)
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << plain;
    ASSERT_EQ(braced.size(), 38u);
    EXPECT_EQ(braced.front(), '{');
    EXPECT_EQ(braced.back(), '}');
    EXPECT_EQ(braced[9], '-');
    EXPECT_EQ(braced[14], '-');
    EXPECT_EQ(braced[19], '-');
    EXPECT_EQ(braced[24], '-');
    EXPECT_NE(plain, TdsStrUtils::NewGuidText(false));
}

TEST(StrUtils, FormatInsertsValuesVerbatim) {
    EXPECT_EQ(TdsStrUtils::Format("#%d 同USB设备通讯失败（%s）！", {"5", "12 00"}),
              "#5 同USB设备通讯失败（12 00）！");
    // A value that looks like a format is inserted as it is.
    EXPECT_EQ(TdsStrUtils::Format("出错（%s）", {"%s%d%n"}), "出错（%s%d%n）");
    EXPECT_EQ(TdsStrUtils::Format("100%% %s", {}), "100% %s");
    EXPECT_EQ(TdsStrUtils::QuotedStr("it's"), "'it''s'");
}

TEST(StrUtils, StringsMatchModes) {
    TdsStrings list;
    list.Items = {"Alpha", "beta", "alphabet", "GammaAlpha", "alpha"};
    struct Case {
        const char* text;
        int mode, occurrence, start, expected;
    } cases[] = {
        {"alpha", 0, 1, 0, 0}, {"alpha", 1, 1, 0, 4},  {"ALPHA", 2, 2, 0, 2},  {"Alpha", 3, 2, 0, 3},
        {"ALP", 4, 3, 0, 4},   {"alp", 5, 1, 0, 2},    {"ALPHA", 6, 2, 0, 3},  {"bet", 7, 1, 0, 2},
        {"alpha", 0, 1, 1, 4}, {"delta", 2, 1, 0, -1}, {"alpha", 0, 3, 0, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.IndexOfMatch(c.text, c.mode, c.occurrence, c.start), c.expected)
            << c.text << " mode " << c.mode;
}
