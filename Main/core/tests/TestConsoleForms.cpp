#include "UConsoleForms.h"
#include "UStartupTestBase.h"

#include <sstream>

class ConsoleForms : public TStartupTest {
protected:
    TFixtureInstallation installation;
    std::ostringstream out;

    void StartWith(std::vector<std::string> sql) {
        installation.TaxpayerSQL = std::move(sql);
        Build(installation);
        ASSERT_TRUE(Start(installation, "admin")) << dialogs.Transcript();
        Global->EnterpriseName = "测试企业";
        dialogs.Clear();
    }
};

TEST_F(ConsoleForms, ChooserTakesTheRowOfTheFlag) {
    StartWith({"INSERT INTO KDR_ICCards VALUES ('11111111111111', '1', True, '主机', '000', '661111111111')",
               "INSERT INTO KDR_ICCards VALUES ('22222222222222', '2', True, '', '001', '662222222222')"});
    struct Case {
        int row;
        bool chosen;
        const char* card;
        const char* diskCaption;
    } cases[] = {
        {1, true, "11111111111111", "661111111111【主机】"},
        {2, true, "22222222222222", "662222222222"},
        {0, false, "", ""},
        {3, false, "", ""},
    };
    for (const auto& c : cases) {
        dialogs.Clear();
        TConsoleModalForms forms({false, false, c.row}, &out);
        TCardAndDisk choice;
        EXPECT_EQ(forms.SelectCardAndDisk(choice), c.chosen) << c.row;
        EXPECT_EQ(choice.CardNumber, c.card);
        EXPECT_EQ(choice.DiskCaption, c.diskCaption);
        if (c.chosen) {
            EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
            EXPECT_EQ(choice.CardCaption, MediumCaption(c.card, c.row == 1 ? "主机" : ""));
        } else {
            EXPECT_TRUE(dialogs.Has("warning", "请选择设备！")) << dialogs.Transcript();
        }
    }
    EXPECT_NE(out.str().find("2. 报税卡 22222222222222  报税盘 662222222222"), std::string::npos)
        << out.str();
}

TEST_F(ConsoleForms, ResultTableAndAnswers) {
    StartWith({"INSERT INTO KDR_DeclareResult VALUES ('SL1', '1', '', 10, 5, 0, 3, 12, 3, 1000.5, 130.07, 0, "
               "0, 0)"});
    TConsoleModalForms unlock({true, false, 0}, &out);
    EXPECT_EQ(unlock.ShowDeclareResult(true, "SL1"), mrOk);
    EXPECT_NE(out.str().find("纳税人识别号: 110101000000001  纳税人名称: 测试企业"), std::string::npos)
        << out.str();
    // Kind 2 has no row: its column stays empty.
    EXPECT_NE(out.str().find("正常发票金额\t1000.5\t\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("期初库存\t10\t\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("-> 开始清卡"), std::string::npos);

    TConsoleModalForms query({true, false, 0}, &out);
    EXPECT_EQ(query.ShowDeclareResult(false, "SL1"), mrCancel);
    TConsoleModalForms declined({false, false, 0}, &out);
    EXPECT_EQ(declined.ShowDeclareResult(true, "SL1"), mrCancel);

    EXPECT_EQ(TConsoleModalForms({false, true, 0}, &out).ShowDeclarePrompt(), mrYes);
    EXPECT_EQ(TConsoleModalForms({true, false, 0}, &out).ShowDeclarePrompt(), mrNo);
    EXPECT_EQ(TConsoleModalForms({true, true, 1}, &out).ShowSystemSettings(), mrCancel);
}

TEST_F(ConsoleForms, NoticesAreListedNewestFirst) {
    StartWith({"INSERT INTO KDR_Inform VALUES ('1', '旧通知', 'a', '2026-01-02', '2026-01-02 10:00:00.000', "
               "'2027-01-01')",
               "INSERT INTO KDR_Inform VALUES ('2', '', '无标题的通知内容', '2026-03-04', "
               "'2026-03-04 10:00:00.000', '2027-01-01')"});
    TConsoleModalForms forms({}, &out);
    forms.ShowNotices();
    EXPECT_EQ(out.str(), "[dialog] 通知 (2)\n2026-03-04  无标题的通知内容\n2026-01-02  旧通知\n");
}
