// Address parsing, header normalisation and the URL helpers of the HTTP unit.
#include "UdsHTTP.h"

#include <gtest/gtest.h>

TEST(HTTPHelpers, ServerAddressParsing) {
    struct {
        const char* address;
        bool ok;
        const char* host;
        int port;
        bool https;
        const char* path;
    } cases[] = {
        {"www.example.com", true, "www.example.com", 80, false, ""},
        {"http://www.example.com/", true, "www.example.com", 80, false, ""},
        {"  HTTPS://www.example.com  ", true, "www.example.com", 443, true, ""},
        {"https://10.0.0.1:8443", true, "10.0.0.1", 8443, true, ""},
        {"http://10.0.0.1:81/sbfw/", true, "10.0.0.1", 81, false, "sbfw"},
        {"", false, "", 80, false, ""},
        {"http://:80", false, "", 80, false, ""},
        {"10.0.0.1:x", false, "10.0.0.1", 80, false, ""},
    };
    for (const auto& c : cases) {
        std::string host, path;
        int port = 0;
        bool https = true;
        EXPECT_EQ(TdsHTTP::ParseServerAddress(c.address, host, port, https, path), c.ok) << c.address;
        if (!c.ok)
            continue;
        EXPECT_EQ(host, c.host) << c.address;
        EXPECT_EQ(port, c.port) << c.address;
        EXPECT_EQ(https, c.https) << c.address;
        EXPECT_EQ(path, c.path) << c.address;
    }
}

TEST(HTTPHelpers, HeaderNormalisation) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        // A block without any ":" is written with equals signs.
        {"NSRSBH=110101\r\nSWJGDM=", "NSRSBH: 110101\r\nSWJGDM: NULL"},
        {"A=b=c", "A: b: c"},
        // A block with ":" keeps its "=", blank values still become NULL.
        {"Query: a=b\r\nEmpty:\r\nBlank:   ", "Query: a=b\r\nEmpty: NULL\r\nBlank: NULL"},
        {"X: 1\nY: 2", "X: 1\r\nY: 2"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TdsHTTP::NormaliseHeaders(c.in), c.out) << c.in;
}

TEST(HTTPHelpers, SplitAndJoin) {
    std::string host, path;
    SplitURL("http://dl.example.com:8080/up/a.zip", host, path);
    EXPECT_EQ(host, "http://dl.example.com:8080");
    EXPECT_EQ(path, "/up/a.zip");
    SplitURL("dl.example.com/x", host, path);
    EXPECT_EQ(host, "dl.example.com");
    EXPECT_EQ(path, "/x");
    SplitURL("https://dl.example.com", host, path);
    EXPECT_EQ(host, "https://dl.example.com");
    EXPECT_EQ(path, "");

    EXPECT_EQ(JoinPath("http://a.com", "/x/y"), "http://a.com/x/y");
    EXPECT_EQ(JoinPath("http://a.com/", "x"), "http://a.com/x");
    EXPECT_EQ(JoinPath("http://a.com/", "//x"), "http://a.com/x");
    EXPECT_EQ(JoinPath("", "x"), "/x");
}

TEST(HTTPHelpers, SetHeaderValueReplacesUpToLineEnd) {
    std::string block = "A: 1\r\nPassword: old\r\nC: 3";
    SetHeaderValue(block, "Password", "new");
    EXPECT_EQ(block, "A: 1\r\nPassword: new\r\nC: 3");
    SetHeaderValue(block, "C", "");
    EXPECT_EQ(block, "A: 1\r\nPassword: new\r\nC: ");
    SetHeaderValue(block, "Missing", "x");
    EXPECT_EQ(block, "A: 1\r\nPassword: new\r\nC: ");
}

TEST(HTTPHelpers, URLEncodingKeepsStructure) {
    const std::string url = "http://dl.example.com/升级 包/a+b.zip?v=1&n=%";
    const std::string encoded = URLEncodeUTF8(url);
    EXPECT_EQ(encoded, "http://dl.example.com/%E5%8D%87%E7%BA%A7%20%E5%8C%85/a%2Bb.zip?v=1&n=%25");
    EXPECT_EQ(URLDecodeUTF8(encoded), url);
    // A stray "%" survives decoding as it is.
    EXPECT_EQ(URLDecodeUTF8("100%"), "100%");
    EXPECT_EQ(URLDecodeUTF8("%zz%4"), "%zz%4");
    EXPECT_EQ(URLDecodeUTF8("%e4%b8%ad"), "中");
}
