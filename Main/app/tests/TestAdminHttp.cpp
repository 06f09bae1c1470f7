// brindle-admin http against a loopback server, run as support staff would.
#include "UTestSupport.h"
#include "UdsJSON.h"

#include "../../../tools/testservers/TestServerProcess.h"

#include <gtest/gtest.h>

namespace {

int Http(const std::string& args, std::string& out) {
    return RunCommand(std::string(BRINDLE_ADMIN) + " http " + args + " 2>&1", &out);
}

// The echo's header value of that name.
std::string EchoHeader(const std::string& json, const std::string& name) {
    TdsJSONValue doc = TdsJSONValue::Parse(json);
    for (const auto& h : doc.Find("headers")->Items())
        if (h.Items()[0].Text() == name)
            return h.Items()[1].Text();
    return "<none>";
}

} // namespace

TEST(AdminHttp, PrintsStatusHeadersAndBody) {
    TTestServerProcess server{{}};
    TTempFolder folder;
    WriteFileBytes(folder / "body.xml", "<q>1</q>");
    std::string out;
    ASSERT_EQ(Http("http://" + server.Address() + "/sbfw/echo --post " + folder / "body.xml" +
                       " --header X-Check=a=b --header Empty= --timeout 5000",
                   out),
              0)
        << out;
    ASSERT_EQ(out.rfind("status=200\nerror=\nHTTP/1.1 200 OK\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nContent-Type=application/json\n"), std::string::npos) << out;
    size_t blank = out.find("\n\n");
    ASSERT_NE(blank, std::string::npos) << out;
    const std::string body = out.substr(blank + 2);
    TdsJSONValue echo = TdsJSONValue::Parse(body);
    EXPECT_EQ(echo.Find("method")->Text(), "POST");
    EXPECT_EQ(echo.Find("path")->Text(), "/sbfw/echo");
    EXPECT_EQ(echo.Find("body")->Text(), "3c713e313c2f713e");
    EXPECT_EQ(EchoHeader(body, "X-Check"), "a=b");
    EXPECT_EQ(EchoHeader(body, "Empty"), "NULL");
}

TEST(AdminHttp, FailuresExitOneWithTheClientsText) {
    TTestServerProcess server{{}};
    std::string out;
    EXPECT_EQ(Http(server.Address() + "/status/404", out), 1);
    EXPECT_EQ(out.rfind("status=404\nerror=#404: 向服务器发送请求失败，请检查您的网络连接是否正常！\n", 0),
              0u)
        << out;

    EXPECT_EQ(Http(server.Address() + "/slow?ms=3000 --timeout 300", out), 1);
    EXPECT_EQ(out, "status=\nerror=向服务器发送请求超时！\n\n");

    EXPECT_EQ(Http("http://Server.example.com/x", out), 1);
    EXPECT_EQ(out, "status=\nerror=无效的服务器地址！\n\n");

    EXPECT_EQ(Http("127.0.0.1:" + std::to_string(UnusedLoopbackPort()), out), 1);
    EXPECT_EQ(out, "status=\nerror=连接服务器失败，请检查您的网络连接是否正常！\n\n");
}

TEST(AdminHttp, UsageErrorsExitTwo) {
    std::string out;
    for (const char* args :
         {"", "--timeout 5", "a.example.com --timeout x", "a.example.com --header NoEquals",
          "a.example.com b.example.com", "a.example.com --post"}) {
        EXPECT_EQ(Http(args, out), 2) << args;
        EXPECT_NE(out.find("usage: brindle-admin http URL"), std::string::npos) << out;
    }
    EXPECT_EQ(Http("a.example.com --post /no/such/file", out), 1);
}
