// The platform client's transport: addresses, the standby fallback, the notice server, the headers.
#include "UPlatformTestBase.h"

#include "UdsSecurity.h"

#include <algorithm>
#include <filesystem>

TEST(CommPlatformAddresses, SettersNormalise) {
    struct TCase {
        std::string given, main, standby;
    };
    TQelPlatform p;
    for (const TCase& c :
         {TCase{" http://10.1.2.3/ ", "10.1.2.3:80", "10.1.2.3:80"},
          TCase{"https://tax.example.cn", "https://tax.example.cn", "https://tax.example.cn"},
          TCase{"tax.example.cn:8080", "tax.example.cn:8080", "tax.example.cn:8080"},
          TCase{"HTTP://:", ":", ""}, TCase{":8080", ":8080", ":8080"}}) {
        SCOPED_TRACE(c.given);
        p.SetMainServer(c.given);
        p.SetStandbyServer(c.given);
        EXPECT_EQ(p.MainServer, c.main);
        EXPECT_EQ(p.StandbyServer, c.standby);
    }
    // A bare port counts as no standby server.
    EXPECT_FALSE(p.HasStandbyServer());
    p.SetStandbyServer("10.0.0.1:81");
    EXPECT_TRUE(p.HasStandbyServer());

    for (auto [given, expected] : std::vector<std::pair<std::string, std::string>>{
             {"", ""}, {"  ", ""}, {"qel", "/qel"}, {"/qel/", "/qel"}, {" a/b/ ", "/a/b"}}) {
        p.SetSubDomain(given);
        EXPECT_EQ(p.SubDomain, expected) << given;
    }
    p.SetNoticeServer("  10.0.0.9:90 ");
    EXPECT_EQ(p.NoticeServer, "10.0.0.9:90");
}

class CommPlatform : public TPlatformTest {};

TEST_F(CommPlatform, CommonHeadersInOrderWithTheAuthorityCodeTwice) {
    auto server = Serve({{"status.do", {Answer("<Status>0</Status><WaitTime>5</WaitTime>")}}});
    Platform().SetMainServer(server->Address());
    Platform().SetSubDomain("qel/");
    bool isBusy = true;
    int wait = 0;
    ASSERT_TRUE(Platform().GetStatus(nullptr, isBusy, wait)) << dialogs.Transcript();
    Global->TaxDeptCode = "";
    ASSERT_TRUE(Platform().GetStatus(nullptr, isBusy, wait)) << dialogs.Transcript();
    EXPECT_FALSE(isBusy);
    EXPECT_EQ(wait, 5);

    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Line, "POST /qel/status.do");
    // Our headers in their order, the transport's own around them.
    const auto& h = requests[0].Headers;
    auto first = std::find(h.begin(), h.end(), "Content-Type: application/x-www-form-urlencoded");
    ASSERT_LE(std::distance(first, h.end()), static_cast<std::ptrdiff_t>(h.size()));
    ASSERT_GE(std::distance(first, h.end()), 10);
    std::vector<std::string> ours(first, first + 10);
    EXPECT_EQ(ours, (std::vector<std::string>{"Content-Type: application/x-www-form-urlencoded", "DELFLAG: 1",
                                              "CFLAG: 1", "NSRSBH: 110101000000001", "PASSWORD: secret-1",
                                              "SWJGDM: 11010100", "SOFT_VER: 3.2.1", "VERSION: 3.2.1",
                                              "OS_VER: " + Platform().OSVersion, "SWJGDM: 11010100"}));
    EXPECT_EQ(requests[1].Values("SWJGDM"), (std::vector<std::string>{"NULL", "NULL"}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(CommPlatform, StandbyServerTakesOverSilently) {
    auto standby = Serve({{"ChangePwd.do", {Answer("")}}});
    Platform().SetMainServer("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
    Platform().SetStandbyServer(standby->Address());
    ASSERT_TRUE(Platform().ChangePwd(nullptr, "", "new-secret"));
    EXPECT_EQ(busy->Texts,
              (std::vector<std::string>{"正在与主服务器通讯, 请稍候...", "正在与备用服务器通讯, 请稍候..."}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    auto requests = standby->Requests();
    ASSERT_EQ(requests.size(), 1u);
    // An empty old password goes out as NULL in place of the current one.
    EXPECT_EQ(requests[0].Value("PASSWORD"), "NULL");
    EXPECT_EQ(requests[0].Value("NEWPASSWORD"), "new-secret");

    // Both failing: only the standby server's error is shown.
    auto refusing = Serve({{"other.do", {"x"}}}, 200);
    Platform().SetStandbyServer(refusing->Address());
    EXPECT_FALSE(Platform().ChangePwd(nullptr, "a", "b"));
    EXPECT_EQ(dialogs.Transcript(), "[error] #404: 向服务器发送请求失败，请检查您的网络连接是否正常！\n");
}

TEST_F(CommPlatform, StatusIsSilentOnMissingOperation) {
    auto server = Serve({{"other.do", {"x"}}});
    Platform().SetMainServer(server->Address());
    bool isBusy = false;
    int wait = 0;
    EXPECT_FALSE(Platform().GetStatus(nullptr, isBusy, wait));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    int bdjg = 0;
    EXPECT_FALSE(Platform().GetBDJG(nullptr, "S1", bdjg));
    EXPECT_EQ(dialogs.Transcript(), "[error] #404: 向服务器发送请求失败，请检查您的网络连接是否正常！\n");
}

TEST_F(CommPlatform, NoticeServerSignsInWithTheNoticeIdentity) {
    auto server = Serve({{"inform0.do",
                          {Answer("<SLSERVER><STATUS>3</STATUS><ERROR>受理服务暂停</ERROR></SLSERVER>"),
                           Answer("<SLSERVER><STATUS>x</STATUS></SLSERVER>")}}});
    int status = -1;
    std::string error;
    // No notice server: nothing is asked.
    EXPECT_FALSE(Platform().QueryInform(nullptr, status, true, error));
    Platform().SetNoticeServer(server->Address());
    ASSERT_TRUE(Platform().QueryInform(nullptr, status, true, error)) << dialogs.Transcript();
    EXPECT_EQ(status, 3);
    EXPECT_EQ(error, "受理服务暂停");
    ASSERT_TRUE(Platform().QueryInform(nullptr, status, false, error));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(busy->Texts, (std::vector<std::string>{"正在与通知服务器通讯, 请稍候..."}));

    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 2u);
    std::string expected = TdsSecurity::MD5Hex(TQelPlatform::kDefaultNoticeKey);
    for (char& c : expected)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(std::string(TQelPlatform::kDefaultNoticeKey).size(), 15u);
    EXPECT_EQ(requests[0].Value("NSRSBH"), "lumbrane");
    EXPECT_EQ(requests[0].Value("PASSWORD"), expected);
    EXPECT_EQ(requests[0].Value("SWJGDM"), "11010100");

    // The installation's own secret from the ini file; an unusable one falls back to the default.
    std::string ini = Global->PathInfo->GetIniFile();
    ASSERT_FALSE(TdsIOUtils::FileExists(ini)) << ini;
    WriteFileBytes(ini, "[Notice]\nServiceKey=abcdefghij12345\n");
    std::string configured = TQelPlatform::NoticePassword();
    WriteFileBytes(ini, "[Notice]\nServiceKey=Too-Short\n");
    std::string fallback = TQelPlatform::NoticePassword();
    std::filesystem::remove(ini);
    EXPECT_EQ(configured, TdsStrUtils::UpperCase(TdsSecurity::MD5Hex("abcdefghij12345")));
    EXPECT_EQ(fallback, expected);

    // The notice server's failures name it, and only with the busy indicator.
    Platform().SetNoticeServer("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
    EXPECT_FALSE(Platform().QueryInform(nullptr, status, false, error));
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_FALSE(Platform().QueryInform(nullptr, status, true, error));
    EXPECT_EQ(dialogs.Transcript(), "[error] 连接通知服务器失败，请检查您的网络连接是否正常！\n");
}

TEST_F(CommPlatform, InitialPasswordRefusesUploadWithoutRequest) {
    auto server = Serve({{"UploadData.do", {Answer("<SLXH>1</SLXH><UPGRADE>0</UPGRADE>")}}});
    Platform().SetMainServer(server->Address());
    Global->AuthenPassword = Global->InitialAuthenPassword;
    int flag = -1;
    std::string slxh;
    EXPECT_FALSE(Platform().UploadData(nullptr, "/x/a.dat", flag, slxh, "BS201", "0", "", "", "QUJD", 3));
    EXPECT_EQ(dialogs.Transcript(), "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_TRUE(server->Requests().empty());
    // Debug mode lets it through.
    WriteFileBytes(Global->GetDebugFile(), "<Root/>");
    EXPECT_TRUE(Platform().UploadData(nullptr, "/x/a.dat", flag, slxh, "BS201", "0", "", "", "QUJD", 3));
    EXPECT_EQ(server->Requests().size(), 1u);
}
