#include "ULogManager.h"
#include "UStartupTestBase.h"

class LogManager : public TStartupTest {
protected:
    void SetUp() override {
        TStartupTest::SetUp();
        Build(installation);
        ASSERT_TRUE(Start(installation, "user")) << dialogs.Transcript();
        dialogs.Clear();
    }
    static std::vector<std::string> Contents(TVirtualTable& table) {
        std::vector<std::string> texts;
        for (int r = 0; r < table.RecordCount(); ++r)
            texts.push_back(table.Value(r, table.FieldIndex("FOpContent")).AsString());
        return texts;
    }

    TFixtureInstallation installation;
};

TEST_F(LogManager, AddLoadAndClear) {
    TLogManager& log = *Global->LogManager;
    clock.Advance(5);
    EXPECT_TRUE(log.AddLog("修改网络抄报密码"));
    clock.Advance(1000);
    EXPECT_TRUE(log.AddLog("it's \"quoted\""));

    TVirtualTable table;
    ASSERT_TRUE(log.LoadLog(table));
    // Newest first: the quoted text, the password change, the sign-in of the start-up.
    EXPECT_EQ(Contents(table), (std::vector<std::string>{"it's \"quoted\"", "修改网络抄报密码", "登录系统"}));
    EXPECT_EQ(table.Value(0, table.FieldIndex("FOpTime")).AsString(), "2026-12-11 09:30:16.255");
    EXPECT_EQ(table.Value(1, table.FieldIndex("FOpTime")).AsString(), "2026-12-11 09:30:15.255");
    EXPECT_EQ(table.Value(0, table.FieldIndex("FUserCode")).AsString(), "user");
    EXPECT_EQ(table.Value(0, table.FieldIndex("FUserName")).AsString(), "操作员");
    EXPECT_EQ(table.Value(0, table.FieldIndex("FTaxMedia")).AsString(), "");

    // Clearing, then the row that says so: a cleared log holds exactly that row, by the clearing user.
    EXPECT_TRUE(log.ClearLog());
    EXPECT_TRUE(log.AddLog("清空操作日志"));
    ASSERT_TRUE(log.LoadLog(table));
    EXPECT_EQ(Contents(table), (std::vector<std::string>{"清空操作日志"}));
    EXPECT_EQ(table.Value(0, table.FieldIndex("FUserCode")).AsString(), "user");
    // Clearing an empty log is a success too.
    EXPECT_TRUE(log.ClearLog());
    EXPECT_TRUE(log.ClearLog());
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

// A failing statement is reported by the kit (its own box) and gives false.
TEST_F(LogManager, FailuresAreReported) {
    ASSERT_GE(Global->TaxpayerDB->ExecSQL("DROP TABLE S_OpLog"), -1);
    dialogs.Clear();
    TLogManager& log = *Global->LogManager;
    EXPECT_FALSE(log.AddLog("退出系统"));
    TVirtualTable table;
    EXPECT_FALSE(log.LoadLog(table));
    EXPECT_FALSE(log.ClearLog());
    ASSERT_EQ(dialogs.Count(), 3u) << dialogs.Transcript();
    for (const TRecordedBox& box : dialogs.Boxes())
        EXPECT_EQ(box.text, "no such table: S_OpLog");
}
