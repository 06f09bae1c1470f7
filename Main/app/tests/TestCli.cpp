// brindle-cli run as the launcher would run the main program, on fixture installations.
#include "../../core/tests/UStartupFixture.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

class Cli : public ::testing::Test {
protected:
    TTempFolder temp;
    TFixtureInstallation installation;

    void SetUp() override {
        TdsIOUtils::ForceFolders(temp / "run");
        ASSERT_EQ(installation.Build(temp / "base/"), "");
    }

    // Runs brindle-cli with its own lock folder; standard error goes to err.
    int Run(const std::string& args, std::string& out, std::string& err, const std::string& prefix = "") {
        std::string errFile = temp / "stderr.txt";
        int rc = RunCommand("XDG_RUNTIME_DIR='" + temp / "run" + "' " + prefix + "'" + BRINDLE_CLI + "' " +
                                args + " 2>'" + errFile + "'",
                            &out);
        err = ReadFileBytes(errFile);
        return rc;
    }
    std::string StartArgs(const std::string& user = "admin") const {
        return installation.TaxpayerID + " " + user + " '" + installation.Launcher + "'";
    }
    std::vector<std::string> OpLog() const {
        TdsAdoDBKit kit;
        std::string error;
        EXPECT_TRUE(kit.Connect(installation.TaxpayerDatabase(), "pavrid", false, error)) << error;
        TVirtualTable table;
        kit.OpenQuery(table, "SELECT FUserCode, FOpContent FROM S_OpLog ORDER BY FOpTime");
        std::vector<std::string> rows;
        for (int r = 0; r < table.RecordCount(); ++r)
            rows.push_back(table.Value(r, 0).AsString() + " " + table.Value(r, 1).AsString());
        return rows;
    }
};

} // namespace

TEST_F(Cli, InfoPrintsTheGlobalState) {
    std::string out, err;
    ASSERT_EQ(Run(StartArgs() + " info", out, err), 0) << err;
    EXPECT_EQ(out, "AppTitle=增值税发票数据申报系统\n"
                   "Version=3.2.1\n"
                   "Copyright=Lumbrane 版权所有\n"
                   "RegionCode=11\n"
                   "TaxpayerID=110101000000001\n"
                   "UserCode=admin\n"
                   "UserName=系统管理员\n"
                   "UserReserved=1\n"
                   "BaseFolder=" +
                       installation.Base +
                       "\n"
                       "DebugMode=0\n"
                       "DeclareTimeOut=30\n"
                       "RunMode=DEBUG\n");
    EXPECT_EQ(err, "");
    // The session is signed in and out like the main window's.
    EXPECT_EQ(OpLog(), (std::vector<std::string>{"admin 登录系统", "admin 退出系统"}));

    // An unknown user, debug mode (with its warning), and --yes standing before the command.
    WriteFileBytes(installation.Base + "Request_Response.xml", "<Root/>");
    ASSERT_EQ(Run(StartArgs("nobody") + " --yes info", out, err), 0) << err;
    EXPECT_NE(out.find("\nUserName=\nUserReserved=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nDebugMode=1\n"), std::string::npos) << out;
    EXPECT_EQ(err, "[warning] 请注意当前为调试模式！\n");
}

TEST_F(Cli, UsageErrorsExitTwo) {
    struct TCase {
        std::string args;
        std::string message;
    };
    for (const TCase& c :
         {TCase{"", "TAXPAYER, USER and LAUNCHER are needed"},
          TCase{"110101000000001 admin", "TAXPAYER, USER and LAUNCHER are needed"},
          TCase{StartArgs(), "no command given"}, TCase{StartArgs() + " frobnicate", "unknown command"},
          TCase{StartArgs() + " --no info", "unknown option"}}) {
        SCOPED_TRACE(c.args);
        std::string out, err;
        EXPECT_EQ(Run(c.args, out, err), 2);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_NE(
            err.find("usage: brindle-cli TAXPAYER USER LAUNCHER [--yes] [--printed] [--card N] COMMAND"),
            std::string::npos)
            << err;
    }
    std::string out, err;
    EXPECT_EQ(Run("--help", out, err), 0);
    EXPECT_NE(err.find("  info\n"), std::string::npos) << err;
    // Nothing of the above started a session.
    EXPECT_TRUE(OpLog().empty());
}

TEST_F(Cli, FailedStartupExitsOneWithItsMessage) {
    std::string out, err;
    EXPECT_EQ(Run("110101999999999 admin '" + installation.Launcher + "' info", out, err), 1);
    EXPECT_EQ(err, "[error] 数据库“" + installation.Base + "dat/110101999999999/Brindle.mdb”不存在！\n");
    EXPECT_EQ(out, "");

    // A box text with line breaks stays one line.
    std::filesystem::remove(installation.SystemDatabase());
    EXPECT_EQ(Run(StartArgs() + " info", out, err), 1);
    EXPECT_EQ(err,
              "[error] 打开系统数据库失败！\\n\\n数据库“" + installation.SystemDatabase() + "”不存在！\n");
    EXPECT_TRUE(OpLog().empty());
}

// While another process holds the instance lock a start is refused, and writes nothing at all.
TEST_F(Cli, SecondInstanceIsRefused) {
    std::string lockFile = temp / "run/Mutex_QEL_Brindle.lock";
    std::string out, err;
    // flock(1) holds the lock on the named file while brindle-cli runs (which does not inherit it).
    EXPECT_EQ(Run(StartArgs() + " info", out, err, "flock -o '" + lockFile + "' "), 1);
    EXPECT_EQ(err, "[error] “增值税发票数据申报系统”已经运行！\n");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(OpLog().empty());
    EXPECT_FALSE(TdsIOUtils::FolderExists(installation.Base + "Log"));

    // With the lock free again the same start works.
    EXPECT_EQ(Run(StartArgs() + " info", out, err), 0) << err;
    EXPECT_TRUE(TdsIOUtils::FolderExists(installation.Base + "Log"));
}
