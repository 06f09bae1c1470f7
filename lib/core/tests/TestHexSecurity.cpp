#include "UdsHexUtils.h"
#include "UdsSecurity.h"

#include "UTestSupport.h"

#include <gtest/gtest.h>

TEST(HexUtils, SpaceHexAndIsHexText) {
    EXPECT_EQ(TdsHexUtils::SpaceHex("129000"), "12 90 00");
    EXPECT_EQ(TdsHexUtils::SpaceHex("12900"), "12 90 0");
    EXPECT_EQ(TdsHexUtils::SpaceHex(""), "");
    struct Case {
        const char* text;
        bool expected;
    } cases[] = {
        {"", false},     {"0", false},     {"123", false},  {"0123456789ABCDEF", true}, {"9000", true},
        {"9a00", false}, {"12 00", false}, {"12G0", false}, {" 1200", false},           {"0x12", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TdsHexUtils::IsHexText(c.text), c.expected) << '"' << c.text << '"';
}

TEST(HexUtils, XorCheck) {
    EXPECT_EQ(TdsHexUtils::XorCheck("1200"), "12");
    EXPECT_EQ(TdsHexUtils::XorCheck("12 00 05 00 84 00 00 08"), "9B");
    EXPECT_EQ(TdsHexUtils::XorCheck("FF0F"), "F0");
    EXPECT_EQ(TdsHexUtils::XorCheck("0000"), "00");
    for (const char* bad : {"", "   ", "12a0", "120", "12 0", "ZZ"})
        EXPECT_EQ(TdsHexUtils::XorCheck(bad), "") << '"' << bad << '"';
}

TEST(HexUtils, BytesAndHex) {
    const std::string bytes("\x00\x12\xab\xff", 4);
    EXPECT_EQ(TdsHexUtils::BytesToHex(bytes), "0012ABFF");
    EXPECT_EQ(TdsHexUtils::BytesToHex(bytes, true), "00 12 AB FF");
    EXPECT_EQ(TdsHexUtils::BytesToHex(""), "");
    std::string out = "keep";
    for (const char* text : {"0012ABFF", "00 12 ab ff", " 0012 ABff "}) {
        ASSERT_TRUE(TdsHexUtils::HexToBytes(text, out)) << text;
        EXPECT_EQ(out, bytes) << text;
    }
    ASSERT_TRUE(TdsHexUtils::HexToBytes("", out));
    EXPECT_EQ(out, "");
    out = "keep";
    for (const char* bad : {"001", "0 012", "00G1", "00-12", "0x12"})
        EXPECT_FALSE(TdsHexUtils::HexToBytes(bad, out)) << bad;
    EXPECT_EQ(out, "keep");
}

TEST(Security, MD5Vectors) {
    // RFC 1321 appendix A.5.
    struct Case {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TdsSecurity::MD5Hex(c.text), c.digest) << c.text;
    // Another party's lower-case digest of the same text never equals ours.
    EXPECT_NE(TdsSecurity::MD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Security, ChineseTextIsHashedAsCP936) {
    // printf '增值税发票' | iconv -f UTF-8 -t GBK | md5sum
    EXPECT_EQ(TdsSecurity::MD5Hex("增值税发票"), "B06084EADA80E146F133E44EB587DBF7");
    // The UTF-8 bytes give a different digest: the conversion must happen.
    EXPECT_EQ(TdsSecurity::MD5DataHex("增值税发票"), "26A3178D467082CF088C944080650D66");
}

TEST(Security, MD5FileHex) {
    TTempFolder temp;
    WriteFileBytes(temp / "empty", "");
    EXPECT_EQ(TdsSecurity::MD5FileHex(temp / "empty"), TdsSecurity::MD5Hex(""));

    // Larger than one read block, with bytes that are not text.
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data += static_cast<char>((i * 7) & 0xFF);
    WriteFileBytes(temp / "data.bin", data);
    EXPECT_EQ(TdsSecurity::MD5FileHex(temp / "data.bin"), TdsSecurity::MD5DataHex(data));
    std::string peer;
    ASSERT_EQ(RunCommand("md5sum '" + (temp / "data.bin") + "' | cut -c1-32 | tr a-f A-F", &peer), 0);
    EXPECT_EQ(TdsSecurity::MD5FileHex(temp / "data.bin") + "\n", peer);

    EXPECT_EQ(TdsSecurity::MD5FileHex(temp / "missing"), "");
    EXPECT_EQ(TdsSecurity::MD5FileHex(temp.Path()), "");
}
