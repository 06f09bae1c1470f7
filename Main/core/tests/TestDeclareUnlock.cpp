// The clear-card unlock against the platform emulator and the virtual card: the clear-card information,
// the three steps QK201..QK203 and how a run ends on an error answer or a time-out.
#include "UDeclareTestBase.h"

#include "UCardTestSupport.h"
#include "UdsDateUtils.h"

#include <algorithm>

namespace {

using TEmu = TPlatformEmulator;

const std::string kAccept = "DEBUG_AcceptID_BS203";

class DeclareUnlock : public TDeclareTest {
protected:
    static void SetUpTestSuite() {
        TDeclareTest::SetUpTestSuite();
        if (!setUpError_.empty())
            return;
        StartCardStand();
    }
    static void TearDownTestSuite() {
        StopCardStand();
        TDeclareTest::TearDownTestSuite();
    }
    static std::string Steps(const std::string& qk201, const std::string& qk202, const std::string& qk203) {
        return "\"steps\": {\"QK201\": " + qk201 + ", \"QK202\": " + qk202 + ", \"QK203\": " + qk203 + "}";
    }
    bool Has(const std::string& state) const {
        return std::find(frame.States.begin(), frame.States.end(), state) != frame.States.end();
    }
    std::string OpenNumber() {
        std::string accept;
        biz.FindOpenDeclaration(kDeclareCard, accept);
        return accept;
    }
};

TEST_F(DeclareUnlock, ThreeStepsThenTheRecordIsClosed) {
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    Serve(Steps(CardNumberScript(1), ChallengeScript(2), ChallengeScript(1)));
    std::string accept = OpenNumber();
    ASSERT_EQ(accept, kAccept);
    ASSERT_TRUE(biz.RunClearCardUnlock(nullptr, frame, accept)) << dialogs.Transcript() << stand_->Log();
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    EXPECT_EQ(Values("UploadData.do", "STEPID"), (std::vector<std::string>{"QK201", "QK202", "QK203"}));
    EXPECT_EQ(Values("UploadData.do", "SLXH"), (std::vector<std::string>(3, kAccept)));
    EXPECT_EQ(Values("DownloadData.do", "STEPID"),
              (std::vector<std::string>{"QK201", "QK201", "QK202", "QK202", "QK202", "QK203", "QK203"}));
    // Every package: the card script, then a fresh disk template (the disk is never run here).
    for (const TdsJSONValue& upload : Requests("UploadData.do")) {
        const TdsJSONValue* entries =
            upload.Find("filedata") ? upload.Find("filedata")->Find("entries") : nullptr;
        ASSERT_TRUE(entries);
        ASSERT_EQ(entries->Items().size(), 2u);
        EXPECT_EQ(TEmu::Text(entries->Items()[0], "name").compare(0, 9, "KDR_Card_"), 0);
        const TdsJSONValue& disk = entries->Items()[1];
        EXPECT_EQ(TEmu::Text(disk, "name").compare(0, 9, "KDR_Disk_"), 0) << TEmu::Text(disk, "name");
        const TdsJSONValue* rows = disk.Find("table") ? disk.Find("table")->Find("rows") : nullptr;
        ASSERT_TRUE(rows);
        ASSERT_FALSE(rows->Items().empty());
        for (const TdsJSONValue& row : rows->Items())
            EXPECT_EQ(TEmu::Text(row, "CMDResponse"), "");
    }
    // Seven frame steps; the clock restarts at 00:00:00 for each wait.
    for (const char* state : {"step 1 noclock 0", "progress 1 50", "step 2 clock 0", "progress 3 50",
                              "step 4 clock 0", "progress 5 50", "step 6 clock 0", "progress 7 100"})
        EXPECT_TRUE(Has(state)) << state << "\n" << ::testing::PrintToString(frame.States);
    // The card got the closing command last.
    EXPECT_EQ(biz.LastBlock.substr(4, 4), "01AB") << biz.LastBlock;

    // What the flow does after a successful run: the record is closed with the time of completion.
    ASSERT_TRUE(biz.SetUnlockTime(accept));
    auto rows = Rows("SELECT * FROM KDR_DeclareInfo");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["FUnlockTime"], TdsDateUtils::FormatDateTime(TdsClock::Now()));
    EXPECT_EQ(OpenNumber(), "");
}

TEST_F(DeclareUnlock, ErrorAnswerToTheFirstPollLeavesTheRecordOpen) {
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    Serve(Steps("{\"retries\": 1, \"error\": {\"code\": 7, \"info\": \"清卡失败\"}}", ChallengeScript(0),
                ChallengeScript(0)));
    std::string accept = kAccept;
    EXPECT_FALSE(biz.RunClearCardUnlock(nullptr, frame, accept));
    EXPECT_EQ(dialogs.Texts("error"),
              (std::vector<std::string>{"常规报税出错（#7 清卡失败）\r\n\r\n请重新进行清卡解锁！"}))
        << dialogs.Transcript();
    EXPECT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
    EXPECT_EQ(OpenNumber(), kAccept);
    EXPECT_EQ(Requests("UploadData.do").size(), 1u);
    EXPECT_EQ(biz.LastBlock.substr(4, 4), "01AB") << biz.LastBlock;
}

TEST_F(DeclareUnlock, NoAnswerToTheSecondStepWithinTheTimeOut) {
    Global->DeclareTimeOut = 1;
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    Serve(Steps(CardNumberScript(3), ChallengeScript(1000), ChallengeScript(0)));
    std::string accept = kAccept;
    EXPECT_FALSE(biz.RunClearCardUnlock(nullptr, frame, accept));
    EXPECT_EQ(dialogs.Texts("error"), (std::vector<std::string>{"清卡解锁响应超时！"}))
        << dialogs.Transcript();
    // Twelve seconds in step 2 do not count against step 4: its minute starts at 0.
    EXPECT_TRUE(Has("step 2 clock 0"));
    EXPECT_TRUE(Has("step 4 clock 0")) << ::testing::PrintToString(frame.States);
    auto polls = Values("DownloadData.do", "STEPID");
    EXPECT_EQ(std::count(polls.begin(), polls.end(), "QK201"), 4);
    EXPECT_EQ(std::count(polls.begin(), polls.end(), "QK202"), 20);
    EXPECT_EQ(frame.ClockText(), "00:01:00");
    EXPECT_EQ(OpenNumber(), kAccept);
}

TEST_F(DeclareUnlock, ClearCardInformation) {
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    Serve("\"clearCardInfo\": {\"retries\": 1, \"lines\": [\"a\", \"b\", \"c\", \"d\", \"N\", \"f\", \"g\", "
          "\"TRUE\"]}");
    bool retry = true;
    std::string answer;
    ASSERT_TRUE(biz.FetchClearCardInfo(nullptr, "BS203", retry, answer)) << dialogs.Transcript();
    EXPECT_FALSE(retry);
    EXPECT_EQ(answer, "RETRY;上传的数据正在待处理状态！");
    ASSERT_TRUE(biz.FetchClearCardInfo(nullptr, "BS203", retry, answer)) << dialogs.Transcript();
    EXPECT_NE(TdsIOUtils::ExtractName(answer).find("_KDR"), std::string::npos) << answer;
    EXPECT_EQ(ReadFileBytes(answer), "a\r\nb\r\nc\r\nd\r\nN\r\nf\r\ng\r\nTRUE\r\n");
    EXPECT_EQ(Values("getLastClearICInfo.do", "STEPID"), (std::vector<std::string>{"BS203", "BS203"}));

    // An error answer: for a BS step the card's open declarations go, otherwise they stay.
    Serve("\"clearCardInfo\": {\"error\": {\"code\": 3, \"info\": \"未申报\"}}");
    EXPECT_FALSE(biz.FetchClearCardInfo(nullptr, "QK201", retry, answer));
    EXPECT_EQ(answer, "ERROR;常规报税出错（#3 未申报）");
    EXPECT_EQ(OpenNumber(), kAccept);
    EXPECT_FALSE(biz.FetchClearCardInfo(nullptr, "BS203", retry, answer));
    EXPECT_EQ(OpenNumber(), "");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    // A refused request has been reported by the client: no information, nothing deleted.
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, kAccept));
    Global->AuthenPassword = "wrong";
    bool fetched = biz.FetchClearCardInfo(nullptr, "BS203", retry, answer);
    Global->AuthenPassword = "secret-1";
    EXPECT_FALSE(fetched);
    EXPECT_EQ(answer, "");
    EXPECT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
    EXPECT_EQ(OpenNumber(), kAccept);
}

} // namespace
