// The PCRE2 wrapper and the server address check.
#include "UdsExceptions.h"
#include "UdsRegExp.h"

#include <gtest/gtest.h>

TEST(RegExp, ServerAddressCheck) {
    struct {
        const char* address;
        bool valid;
    } cases[] = {
        {"192.168.10.1:8080", true},
        {"http://www.example.com:80", true},
        {"https://www.example.com", true},
        {"https://sbfw.tax.example.cn/sbfw/", true},
        {"ftp://files.example.org:21/a/b.zip", true},
        {"user@mail.example.com", true},
        {"http://1.2.3.4/", true},
        {"http://www.Example.com", false}, // upper case in the host
        {"http://server:8080", false},     // single label
        {"localhost", false},
        {"192.168.10.1:80800", false}, // five-digit port
        {"https://www.example.com:", false},
        {"www.example.toolong", false}, // last label beyond six letters
        {"HTTP://www.example.com", false},
        {"http://1.2.3.4:80\n", false}, // "$" holds only at the very end
        {" http://1.2.3.4", false},
        {"http://www.example.com/a b", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsValidURL(c.address), c.valid) << c.address;
}

TEST(RegExp, MatchGroupsCaselessAndBadPattern) {
    TdsRegExp re("^(\\w+)=(\\d*)(x)?$");
    std::vector<std::string> groups;
    ASSERT_TRUE(re.Match("key=42", &groups));
    EXPECT_EQ(groups, (std::vector<std::string>{"key=42", "key", "42", ""}));
    EXPECT_FALSE(re.Match("key=4a"));

    EXPECT_TRUE(TdsRegExp("^abc$", true).Match("AbC"));
    EXPECT_FALSE(TdsRegExp("^abc$").Match("AbC"));
    EXPECT_THROW(TdsRegExp("(unclosed"), EdsError);
}
