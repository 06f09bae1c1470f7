// brindle-cli's platform commands against a canned-answer server.
#include "../../core/tests/UStartupFixture.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsEncoding.h"

#include "../../../tools/testservers/TestServerProcess.h"

#include <gtest/gtest.h>

namespace {

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Answer(const std::string& data, const std::string& value = "0", const std::string& message = "") {
    return "<ROOT><RESPONSE><RESULT><RESULTVALUE>" + value + "</RESULTVALUE><RESULTMESSAGE>" + message +
           "</RESULTMESSAGE></RESULT><DATA>" + data + "</DATA></RESPONSE></ROOT>";
}

class CliPlatform : public ::testing::Test {
protected:
    TTempFolder temp;
    TFixtureInstallation installation;
    std::unique_ptr<TTestServerProcess> server;

    void SetUp() override {
        TdsIOUtils::ForceFolders(temp / "run");
        std::string notice = "<N ID=\"N1\" ITITLE=\"\" PUBDATE=\"20261201\" EXPIREDATE=\"20991231\">" +
                             TdsIOUtils::Base64Encode(TdsEncoding::Utf8ToAnsi("没有标题的通知内容")) + "</N>";
        std::string json =
            "{\"status.do\":[{\"body\":" + Quote(Answer("<Status>1</Status><WaitTime>45</WaitTime>")) +
            "}],\"DownloadNotice0.do\":[{\"body\":" + Quote(Answer(notice)) +
            "},{\"body\":" + Quote(Answer("")) + "}],\"inform0.do\":[{\"body\":" +
            Quote(Answer("<SLSERVER><STATUS>2</STATUS><ERROR>受理服务维护中</ERROR></SLSERVER>")) +
            "}],\"ChangePwd.do\":[{\"body\":" + Quote(Answer("", "1", "原密码错误")) +
            "},{\"body\":" + Quote(Answer("")) + "}]}";
        WriteFileBytes(temp / "canned.json", json);
        server = std::make_unique<TTestServerProcess>(std::vector<std::string>{
            "--canned", temp / "canned.json", "--log", temp / "requests.log", "--lifetime", "60"});
        installation.TaxpayerSQL = {
            "UPDATE S_Config SET FValue = 'secret-1' WHERE FCategory = 'Network' AND FKey = 'AuthenPassword'",
            "UPDATE S_Config SET FValue = '" + server->Address() +
                "' WHERE FCategory = 'Network' AND FKey IN ('AuthenServer', 'InformServer')",
            "UPDATE S_Config SET FValue = '/qel/' WHERE FCategory = 'Network' AND FKey = 'SubDomain'"};
        ASSERT_EQ(installation.Build(temp / "base/"), "");
    }
    int Run(const std::string& command, std::string& out, std::string& err) {
        std::string errFile = temp / "stderr.txt";
        int rc = RunCommand("XDG_RUNTIME_DIR='" + temp / "run" + "' '" + BRINDLE_CLI + "' " +
                                installation.TaxpayerID + " admin '" + installation.Launcher + "' " +
                                command + " 2>'" + errFile + "'",
                            &out);
        err = ReadFileBytes(errFile);
        return rc;
    }
    std::vector<std::string> Query(const std::string& sql) {
        TdsAdoDBKit kit;
        std::string error;
        EXPECT_TRUE(kit.Connect(installation.TaxpayerDatabase(), "pavrid", false, error)) << error;
        TVirtualTable t;
        kit.OpenQuery(t, sql);
        std::vector<std::string> rows;
        for (int r = 0; r < t.RecordCount(); ++r)
            rows.push_back(t.Value(r, 0).AsString());
        return rows;
    }
};

} // namespace

TEST_F(CliPlatform, StatusNoticesAndAnnouncement) {
    std::string out, err;
    ASSERT_EQ(Run("status", out, err), 0) << err;
    EXPECT_EQ(out, "busy=1\nwaittime=45\n");
    EXPECT_NE(ReadFileBytes(temp / "requests.log").find("REQUEST POST /qel/status.do\n"), std::string::npos);

    ASSERT_EQ(Run("download-notices", out, err), 0) << err;
    EXPECT_NE(out.find("count=1\nsoftupdflag=0\n"), std::string::npos) << out;
    // The new notice is shown at once.
    EXPECT_NE(out.find("[dialog] 通知 (1)"), std::string::npos) << out;
    ASSERT_EQ(Run("download-notices", out, err), 0) << err;
    EXPECT_EQ(err, "[info] 现在没有新的通知！\n");

    ASSERT_EQ(Run("notices", out, err), 0) << err;
    EXPECT_EQ(out, "N1\t2026-12-01\t" + out.substr(14, 10) + "\t没有标题的通知内容 ...\n");

    EXPECT_EQ(Run("query-inform", out, err), 0) << err;
    EXPECT_EQ(out, "status=2\nerror=受理服务维护中\n");
    EXPECT_EQ(err, "[error] 受理服务维护中\n");
}

TEST_F(CliPlatform, ChangePasswordStoresOnlyWhatTheServerAccepted) {
    std::string out, err;
    EXPECT_EQ(Run("change-password secret-1 new-secret", out, err), 1);
    EXPECT_EQ(err, "[error] 原密码错误\n");
    EXPECT_EQ(Query("SELECT FValue FROM S_Config WHERE FKey = 'AuthenPassword'"),
              (std::vector<std::string>{"secret-1"}));

    ASSERT_EQ(Run("change-password secret-1 new-secret", out, err), 0) << err;
    EXPECT_EQ(err, "[info] 密码修改成功！\n");
    EXPECT_EQ(Query("SELECT FValue FROM S_Config WHERE FKey = 'AuthenPassword'"),
              (std::vector<std::string>{"new-secret"}));
    auto log = Query("SELECT FOpContent FROM S_OpLog ORDER BY FOpTime");
    EXPECT_NE(std::find(log.begin(), log.end(), "修改网络抄报密码"), log.end());
    std::string requests = ReadFileBytes(temp / "requests.log");
    EXPECT_NE(requests.find("NEWPASSWORD: new-secret\n"), std::string::npos);

    EXPECT_EQ(Run("change-password only-one", out, err), 2);
}
