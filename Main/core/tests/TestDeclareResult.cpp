// The result query against the platform emulator: figures stored per invoice kind and replaced on the
// next query, the server's pending and error answers, figures that are no numbers, and the
// one-window comparison wait.
#include "UDeclareTestBase.h"

namespace {

const std::string kAccept = "DEBUG_AcceptID_R1";

class DeclareResult : public TDeclareTest {
protected:
    // A result entry with every figure given as the JSON text of `figures` (or defaults of 0).
    static std::string Kind(const std::string& id, const std::string& figures) {
        return "{\"id\": \"" + id + "\"" + (figures.empty() ? "" : ", " + figures) + "}";
    }
    static std::string Result(const std::vector<std::string>& kinds, const std::string& extra = "") {
        std::string list;
        for (const std::string& k : kinds)
            list += (list.empty() ? "" : ", ") + k;
        return "\"result\": {\"kinds\": [" + list + "]" + (extra.empty() ? "" : ", " + extra) + "}";
    }
    void SetResult(const std::vector<std::string>& kinds) {
        emulator->Control("{\"set\": {" + Result(kinds) + "}}");
    }

    // Kind -> figure name -> value, of the stored rows of a number.
    static std::map<std::string, std::map<std::string, double>> Stored(const std::string& accept) {
        std::map<std::string, std::map<std::string, double>> out;
        for (auto& row :
             Rows("SELECT * FROM KDR_DeclareResult WHERE FAcceptID = " + TdsStrUtils::QuotedStr(accept))) {
            auto& figures = out[row["FTaxKind"]];
            for (auto& [name, value] : row) {
                double number = 0;
                if (name != "FAcceptID" && name != "FTaxKind" && name != "FTaxMedia" &&
                    TdsStrUtils::TryStrToFloat(value, number))
                    figures[name] = number;
            }
            EXPECT_EQ(row["FTaxMedia"], "K");
        }
        return out;
    }
    bool Open() {
        std::string accept;
        return biz.FindOpenDeclaration(kDeclareCard, accept) && accept == kAccept;
    }
};

TEST_F(DeclareResult, TwoKindsAreStoredAndReplacedByTheNextQuery) {
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    // An older number's rows are left alone.
    ASSERT_GE(
        Global->TaxpayerDB->ExecSQL("INSERT INTO KDR_DeclareResult(FAcceptID, FTaxKind, FTaxMedia, QCKC) "
                                    "VALUES('SL-OTHER', '1', 'K', 7)"),
        1);
    Serve(Result({Kind("1", "\"QCKC\": 10, \"BQLG\": 25, \"ZCFPJE\": 18000.5, \"ZFFPSE\": -255.25"),
                  Kind("2", "\"QCKC\": 5, \"QMJY\": \"+2\"")}));
    forms.ResultDialogResults = {mrOk, mrCancel};
    EXPECT_TRUE(biz.QueryDeclareResult(nullptr, kDeclareCard, true)) << dialogs.Transcript();
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"result " + kAccept}));
    EXPECT_EQ(Values("DownloadBSData.do", "SLXH"), (std::vector<std::string>{kAccept}));
    auto stored = Stored(kAccept);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored["1"]["QCKC"], 10);
    EXPECT_EQ(stored["1"]["BQLG"], 25);
    EXPECT_EQ(stored["1"]["ZCFPJE"], 18000.5);
    EXPECT_EQ(stored["1"]["ZFFPSE"], -255.25);
    EXPECT_EQ(stored["1"]["BQTH"], 0);
    EXPECT_EQ(stored["2"]["QCKC"], 5);
    EXPECT_EQ(stored["2"]["QMJY"], 2);

    // The second query replaces the rows; an id with a quote is stored as it came. Closed with
    // "取消": false.
    SetResult({Kind("1", "\"QCKC\": 11"), Kind("2'", "\"QCKC\": 6")});
    EXPECT_FALSE(biz.QueryDeclareResult(nullptr, kDeclareCard, false));
    stored = Stored(kAccept);
    ASSERT_EQ(stored.size(), 2u) << dialogs.Transcript();
    EXPECT_EQ(stored["1"]["QCKC"], 11);
    EXPECT_EQ(stored["1"]["BQLG"], 0);
    EXPECT_EQ(stored["2'"]["QCKC"], 6);
    EXPECT_EQ(Stored("SL-OTHER")["1"]["QCKC"], 7);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_TRUE(Open());
}

TEST_F(DeclareResult, PendingAndErrorAnswers) {
    struct Case {
        std::string result;
        std::string kind, text;
        bool staysOpen;
    } cases[] = {
        {Result({}, "\"retries\": 1"), "info",
         "上传的数据正在待处理状态！\r\n\r\n常规报税尚未完成，无法查询报税结果信息！", true},
        // "#4": the declaration is known to the server; no request to declare again.
        {Result({}, "\"error\": {\"code\": 4, \"info\": \"数据已受理\"}"), "error",
         "常规报税出错（#4 数据已受理）", false},
        {Result({}, "\"error\": {\"code\": 12, \"info\": \"受理失败\"}"), "error",
         "常规报税出错（#12 受理失败）\r\n\r\n请重新进行常规报税！", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        dialogs.Clear();
        ASSERT_GE(Global->TaxpayerDB->ExecSQL("DELETE FROM KDR_DeclareInfo"), 0);
        ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
        Serve(c.result);
        EXPECT_FALSE(biz.QueryDeclareResult(nullptr, kDeclareCard, true));
        EXPECT_EQ(dialogs.Texts(c.kind), (std::vector<std::string>{c.text})) << dialogs.Transcript();
        EXPECT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
        EXPECT_EQ(Open(), c.staysOpen);
        EXPECT_TRUE(Stored(kAccept).empty());
    }
    EXPECT_TRUE(forms.Opened.empty());

    // Nothing open for the card: nothing is asked.
    dialogs.Clear();
    ASSERT_GE(Global->TaxpayerDB->ExecSQL("DELETE FROM KDR_DeclareInfo"), 0);
    size_t asked = Requests("DownloadBSData.do").size();
    EXPECT_FALSE(biz.QueryDeclareResult(nullptr, kDeclareCard, false));
    EXPECT_EQ(dialogs.Texts("warning"),
              (std::vector<std::string>{"您尚未进行常规报税，无法查询报税结果信息！"}));
    EXPECT_EQ(Requests("DownloadBSData.do").size(), asked);
}

TEST_F(DeclareResult, AFigureThatIsNoNumberStoresNothingAndRunsNoServerText) {
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    Serve(Result({Kind("1", "\"QCKC\": 10"), Kind("2", "\"QCKC\": 5")}));
    ASSERT_FALSE(biz.QueryDeclareResult(nullptr, kDeclareCard, false));
    ASSERT_EQ(Stored(kAccept).size(), 2u) << dialogs.Transcript();

    for (const char* figure :
         {"\"0); DROP TABLE KDR_DeclareInfo; --\"", "\"\"", "\"1e5\"", "\"0x10\"", "\"1.\"", "\"- 1\""}) {
        SCOPED_TRACE(figure);
        dialogs.Clear();
        forms.Opened.clear();
        // The bad figure comes in the second entry: the first entry's insert must not stay either.
        SetResult({Kind("1", "\"QCKC\": 12"), Kind("2", std::string("\"ZFFPJE\": ") + figure)});
        EXPECT_FALSE(biz.QueryDeclareResult(nullptr, kDeclareCard, true));
        auto errors = dialogs.Texts("error");
        ASSERT_EQ(errors.size(), 1u) << dialogs.Transcript();
        EXPECT_NE(errors[0].find("ZFFPJE"), std::string::npos) << errors[0];
        // The earlier rows of the number are gone, no new rows, no dialog.
        EXPECT_TRUE(Stored(kAccept).empty());
        EXPECT_TRUE(forms.Opened.empty());
        EXPECT_TRUE(Open());
    }
    EXPECT_EQ(Rows("SELECT * FROM KDR_DeclareInfo").size(), 1u);
}

TEST_F(DeclareResult, ComparisonWaitsOneSecondBetweenAnswers) {
    Serve("\"bdjg\": [2, 2, 1]");
    int64_t slept = clock.SleptMilliseconds();
    EXPECT_TRUE(biz.WaitComparison(nullptr, "DEBUG_AcceptID_C1")) << dialogs.Transcript();
    EXPECT_EQ(clock.SleptMilliseconds() - slept, 2000);
    EXPECT_EQ(Values("GetBDJG.do", "SLXH"), (std::vector<std::string>(3, "DEBUG_AcceptID_C1")));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    Serve("\"bdjg\": [2, 0]");
    EXPECT_FALSE(biz.WaitComparison(nullptr, "DEBUG_AcceptID_C2"));
    EXPECT_EQ(dialogs.Texts("error"), (std::vector<std::string>{"未通过一窗式比对！"}));
    EXPECT_EQ(Requests("GetBDJG.do").size(), 2u);

    // A number the server does not know: its refusal is the platform client's report, no verdict.
    dialogs.Clear();
    EXPECT_FALSE(biz.WaitComparison(nullptr, "SL-UNKNOWN"));
    EXPECT_EQ(dialogs.Texts("error").size() + dialogs.Texts("warning").size(), 1u) << dialogs.Transcript();
    EXPECT_FALSE(dialogs.Has("error", "未通过一窗式比对！"));
}

} // namespace
