// brindle-cli's platform commands on an installation made by brindle-admin init, against the tax
// platform emulator.
#include "UEmulatorTestSupport.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <gtest/gtest.h>

namespace {

using TEmu = TPlatformEmulator;

const std::string kTaxpayer = "370101000000001";

class CliEmulator : public ::testing::Test {
protected:
    TTempFolder temp;
    std::unique_ptr<TPlatformEmulator> emulator;
    std::string base, launcher;

    void SetUp() override {
        TdsIOUtils::ForceFolders(temp / "run");
        // The installation starts with the initial password "123456"; the server knows it as current.
        emulator = std::make_unique<TPlatformEmulator>(
            temp / "emu/",
            "{\"taxpayer\": \"" + kTaxpayer +
                "\", \"platform\": {\"password\": \"123456\", \"taxDeptCode\": \"13701000000\", "
                "\"notice\": {\"secret\": \"lumbranenotices\"}, \"status\": {\"busy\": [1, 0], \"waitTime\": "
                "20}, "
                "\"inform\": {\"status\": 0, \"error\": \"\"}, \"notices\": [{\"id\": \"N001\", \"title\": "
                "\"关于常规报税的通知\", \"content\": \"请于每月十五日前完成常规报税。\", \"pubdate\": "
                "\"2024-01-05\", "
                "\"expiredate\": \"2099-12-31\"}, {\"id\": \"N002\", \"title\": \"\", \"content\": "
                "\"没有标题的通知内容\", \"pubdate\": \"20240301\", \"expiredate\": \"20991231\"}]}}");
        base = temp / "base";
        launcher = base + "/Brindle.sh";
        std::string out;
        ASSERT_EQ(RunCommand(std::string("'") + BRINDLE_ADMIN + "' init '" + base + "' --taxpayer " +
                                 kTaxpayer + " --enterprise '测试企业' --tax-dept 13701000000 --server " +
                                 emulator->Address(),
                             &out),
                  0)
            << out;
    }
    int Run(const std::string& command, std::string& out, std::string& err) {
        std::string errFile = temp / "stderr.txt";
        int rc = RunCommand("XDG_RUNTIME_DIR='" + temp / "run" + "' '" + BRINDLE_CLI + "' " + kTaxpayer +
                                " admin '" + launcher + "' " + command + " 2>'" + errFile + "'",
                            &out);
        err = ReadFileBytes(errFile);
        return rc;
    }
    void SetConfig(const std::string& key, const std::string& value) {
        TdsAdoDBKit kit;
        std::string error;
        ASSERT_TRUE(kit.Connect(base + "/dat/" + kTaxpayer + "/Brindle.mdb", "pavrid", false, error))
            << error;
        ASSERT_GE(kit.ExecSQL("UPDATE S_Config SET FValue = " + TdsStrUtils::QuotedStr(value) +
                              " WHERE FCategory = 'Network' AND FKey = " + TdsStrUtils::QuotedStr(key)),
                  0);
    }
};

} // namespace

TEST_F(CliEmulator, StatusPasswordNoticesAndAnnouncement) {
    std::string out, err;
    ASSERT_EQ(Run("status", out, err), 0) << err;
    EXPECT_EQ(out, "busy=1\nwaittime=20\n");
    ASSERT_EQ(Run("status", out, err), 0) << err;
    EXPECT_EQ(out, "busy=0\nwaittime=20\n");
    auto status = emulator->Requests("status.do");
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(TEmu::Value(status[0], "NSRSBH"), kTaxpayer);
    EXPECT_EQ(TEmu::Values(status[0], "SWJGDM"), (std::vector<std::string>{"13701000000", "13701000000"}));

    // The initial password refuses the notices before anything is sent.
    EXPECT_EQ(Run("download-notices", out, err), 1);
    EXPECT_EQ(err, "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_TRUE(emulator->Requests("DownloadNotice.do").empty());

    // The server's password changes; the old one no longer works for a second change.
    ASSERT_EQ(Run("change-password 123456 newpass1", out, err), 0) << err;
    EXPECT_EQ(err, "[info] 密码修改成功！\n");
    EXPECT_EQ(TEmu::Text(emulator->Control("{}"), "password"), "newpass1");
    EXPECT_EQ(Run("change-password 123456 another2", out, err), 1);
    EXPECT_EQ(err, "[error] 原网络抄报密码错误！\n");
    EXPECT_EQ(TEmu::Text(emulator->Control("{}"), "password"), "newpass1");
    auto changes = emulator->Requests("ChangePwd.do");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(TEmu::Value(changes[0], "PASSWORD"), "123456");
    EXPECT_EQ(TEmu::Value(changes[0], "NEWPASSWORD"), "newpass1");
    // The stored password is what the program signs in with now.
    ASSERT_EQ(Run("status", out, err), 0) << err;
    EXPECT_EQ(TEmu::Value(emulator->Requests("status.do").back(), "PASSWORD"), "newpass1");

    // Notices from the declaration server, then nothing new.
    ASSERT_EQ(Run("download-notices", out, err), 0) << err;
    EXPECT_NE(out.find("count=2\nsoftupdflag=0\n"), std::string::npos) << out;
    ASSERT_EQ(Run("download-notices", out, err), 0) << err;
    EXPECT_EQ(out, "count=0\nsoftupdflag=0\n");
    EXPECT_EQ(err, "[info] 现在没有新的通知！\n");
    auto notices = emulator->Requests("DownloadNotice.do");
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(TEmu::Value(notices[0], "NOTICEIDS"), "NULL");
    EXPECT_EQ(TEmu::Value(notices[1], "NOTICEIDS"), "N001,N002");

    ASSERT_EQ(Run("notices", out, err), 0) << err;
    std::vector<std::string> lines, first, second;
    TdsStrUtils::SplitText(out, "\n", false, lines);
    ASSERT_GE(lines.size(), 2u) << out;
    TdsStrUtils::SplitText(lines[0], "\t", false, first);
    TdsStrUtils::SplitText(lines[1], "\t", false, second);
    ASSERT_EQ(first.size(), 4u) << out;
    ASSERT_EQ(second.size(), 4u) << out;
    EXPECT_EQ(first[0] + "|" + first[1] + "|" + first[3], "N002|2024-03-01|没有标题的通知内容 ...");
    EXPECT_EQ(second[0] + "|" + second[1] + "|" + second[3], "N001|2024-01-05|关于常规报税的通知");

    // The service announcement and the notices through a notice server (the same emulator).
    EXPECT_EQ(Run("query-inform", out, err), 1);
    SetConfig("InformServer", emulator->Address());
    ASSERT_EQ(Run("query-inform", out, err), 0) << err;
    EXPECT_EQ(out, "status=0\nerror=\n");
    emulator->Control("{\"set\": {\"inform\": {\"status\": 2, \"error\": \"受理服务维护中\"}}}");
    ASSERT_EQ(Run("query-inform", out, err), 0) << err;
    EXPECT_EQ(out, "status=2\nerror=受理服务维护中\n");
    EXPECT_EQ(err, "[error] 受理服务维护中\n");
    ASSERT_EQ(Run("download-notices", out, err), 0) << err;
    EXPECT_EQ(out, "count=0\nsoftupdflag=0\n");
    auto viaNotice = emulator->Requests("DownloadNotice0.do");
    ASSERT_EQ(viaNotice.size(), 1u);
    EXPECT_EQ(TEmu::Value(viaNotice[0], "NSRSBH"), "lumbrane");
    EXPECT_EQ(TEmu::Value(viaNotice[0], "NOTICEIDS"), "N001,N002");
    for (const TdsJSONValue& r : emulator->Requests("inform0.do"))
        EXPECT_EQ(TEmu::Text(r, "answer/fault"), "");
}
