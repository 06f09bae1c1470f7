// The regular declaration: the medium of the run, the 30-minute rule, the taxpayer check, and whole
// runs of BS201..BS203 against the platform emulator, the virtual card (pcscd + vpcd) and the virtual
// disk, plus a debug-mode run on the simulator alone.
#include "UDeclareTestBase.h"

#include "Simulator.h"
#include "UCardTestSupport.h"
#include "UDiskTestSupport.h"
#include "UInstallation.h"
#include "UdsDateUtils.h"
#include "UdsExceptions.h"

#include <algorithm>

namespace {

using TEmu = TPlatformEmulator;

class DeclareSteps : public TDeclareTest {
protected:
    void AddCard(const std::string& number, const std::string& disk, const std::string& remark) {
        ASSERT_GE(Global->TaxpayerDB->ExecSQL(TdsStrUtils::Format(
                      "INSERT INTO KDR_ICCards(FNumber, FKind, FEnabled, FRemark, FOrder, FDiskNumber) "
                      "VALUES(%s, 'K', -1, %s, '1', %s)",
                      {TdsStrUtils::QuotedStr(number), TdsStrUtils::QuotedStr(remark),
                       TdsStrUtils::QuotedStr(disk)})),
                  1);
    }
    std::vector<std::string> Medium() const {
        return {Global->CardNumber, Global->CardCaption, Global->DiskNumber, Global->DiskCaption};
    }
};

TEST_F(DeclareSteps, ChooseCardAndDiskByTheNumberOfRegisteredCards) {
    const std::string zeros(14, '0');
    // None registered: fourteen "0" everywhere, no chooser.
    ASSERT_TRUE(biz.ChooseCardAndDisk());
    EXPECT_EQ(Medium(), (std::vector<std::string>{zeros, zeros, zeros, zeros}));

    // One with a blank number: the zeros stand in for it; the remark goes into both captions.
    AddCard("", "661234567890", "总部");
    ASSERT_TRUE(biz.ChooseCardAndDisk());
    EXPECT_EQ(Medium(),
              (std::vector<std::string>{zeros, zeros + "【总部】", "661234567890", "661234567890【总部】"}));
    ASSERT_GE(Global->TaxpayerDB->ExecSQL("DELETE FROM KDR_ICCards"), 0);
    AddCard(kDeclareCard, "661234567890", "");
    ASSERT_TRUE(biz.ChooseCardAndDisk());
    EXPECT_EQ(Medium(),
              (std::vector<std::string>{kDeclareCard, kDeclareCard, "661234567890", "661234567890"}));
    EXPECT_TRUE(forms.Opened.empty());

    // Two: the chooser decides; cancelled leaves the medium as it was.
    AddCard("22222222222222", "662222222222", "分店");
    EXPECT_FALSE(biz.ChooseCardAndDisk());
    EXPECT_EQ(Global->CardNumber, kDeclareCard);
    forms.Choices.push_back(
        {"22222222222222", "22222222222222【分店】", "662222222222", "662222222222【分店】"});
    ASSERT_TRUE(biz.ChooseCardAndDisk());
    EXPECT_EQ(Medium(), (std::vector<std::string>{"22222222222222", "22222222222222【分店】", "662222222222",
                                                  "662222222222【分店】"}));
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"chooser", "chooser"}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(DeclareSteps, ResubmitAfterThirtyMinutesOrAFetchedResult) {
    const std::string warning = "您尚未查询到报税结果，请先进行报税结果查询。\r\n"
                                "如果常规报税30分钟后仍然查不到报税结果，系统允许再次常规报税。";
    auto ago = [&](int seconds) {
        return TdsDateUtils::FormatDateTime(TdsClock::Now().AddSeconds(-seconds));
    };
    struct Case {
        std::string accept, declared;
        bool allowed;
    } cases[] = {
        {"", ago(10), true},         // no earlier declaration
        {"SL1", ago(1799), false},   // too young, no result
        {"SL1", ago(1800), true},    // old enough
        {"SL1", "not a time", false} // an unreadable time counts as young
    };
    for (const Case& c : cases) {
        dialogs.Clear();
        SCOPED_TRACE(c.accept + " " + c.declared);
        EXPECT_EQ(biz.CheckResubmitAllowed(c.accept, c.declared), c.allowed);
        EXPECT_EQ(dialogs.Texts("warning"),
                  c.allowed ? std::vector<std::string>{} : std::vector<std::string>{warning});
    }
    // A fetched result of that number lets it through at once; another number's result does not.
    ASSERT_GE(
        Global->TaxpayerDB->ExecSQL("INSERT INTO KDR_DeclareResult(FAcceptID, FTaxKind) VALUES('SL2', '1')"),
        1);
    EXPECT_FALSE(biz.CheckResubmitAllowed("SL1", ago(5)));
    EXPECT_TRUE(biz.CheckResubmitAllowed("SL2", ago(5)));
    // The number is a quoted literal: a quote in it cannot widen the count.
    EXPECT_FALSE(biz.CheckResubmitAllowed("X' OR '1'='1", ago(5)));
}

TEST_F(DeclareSteps, CardTaxpayerCheckComparesAllDigitsOrTheFirstSix) {
    // A card script whose "{ID}" answer holds the identifier from the fifth character.
    auto cardFile = [&](const std::string& id) {
        TVirtualTable table;
        for (const char* name : {"CMDRequest", "CMDResponse", "ExecStatusC", "ErrorCMD"})
            table.AddField(name, ftString, 200);
        table.Open();
        table.AppendRecord({TdsValue::Text("00 B0 00 00 1A"), TdsValue::Text("0000" + id + "9000"),
                            TdsValue::Text("1"), TdsValue::Text("{ID}")});
        std::string file = temp / "card.vtd";
        table.SaveToFile(file);
        return file;
    };
    struct Case {
        std::string taxpayer, card;
        bool same;
    } cases[] = {
        {"370101000000001", "370101000000001", true},   {"370101000000001", "370101000000002", false},
        {"37010100000000X", "370101999999999", true},   {"37010100000000X", "370102000000000", false},
        {"91370101MA3C0001", "913701AAAAAAAAAA", true}, {"91370101MA3C0001", "370101MA3C0001AA", false},
    };
    const std::string saved = Global->TaxpayerID;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.taxpayer + " / " + c.card);
        dialogs.Clear();
        Global->TaxpayerID = c.taxpayer;
        EXPECT_EQ(biz.CheckCardTaxpayer(cardFile(c.card)), c.same);
        EXPECT_EQ(dialogs.Texts("error"),
                  c.same ? std::vector<std::string>{}
                         : std::vector<std::string>{"税控IC卡中的纳税人信息与当前纳税人信息不符！"});
    }
    Global->TaxpayerID = saved;
}

// ---- whole runs against the emulator, the virtual card and the virtual disk ----

class DeclareRun : public DeclareSteps {
protected:
    static void SetUpTestSuite() {
        TDeclareTest::SetUpTestSuite();
        if (!setUpError_.empty())
            return;
        StartCardStand();
        if (!setUpError_.empty())
            return;
        TdsIOUtils::ForceFolders(Base() + "disk/");
        disk_ = new TVirtualDisk(std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-disk/virtual_disk.py",
                                 Base() + "disk/");
        if (!disk_->Start(DiskScenario(kDeclareTaxpayer)))
            setUpError_ = "the virtual disk did not start";
    }
    static void TearDownTestSuite() {
        delete disk_;
        disk_ = nullptr;
        StopCardStand();
        TDeclareTest::TearDownTestSuite();
    }
    void TearDown() override {
        if (disk_)
            disk_->SetScenario(DiskScenario(kDeclareTaxpayer));
        DeclareSteps::TearDown();
    }
    static std::string DiskScenario(const std::string& taxpayer) {
        return "{\"taxpayer\": \"" + taxpayer +
               "\", \"disk\": {\"type\": \"D3 D4\", \"number\": \"661234567890\", \"invoices\": [\"01 AA "
               "BB\"]}}";
    }

    // BS201 answers with a script that reads the card number, BS202 with a challenge.
    static std::string Steps(const std::string& bs201, const std::string& bs202) {
        return "\"steps\": {\"BS201\": " + bs201 + ", \"BS202\": " + bs202 + "}";
    }
    // The rows of a package entry as the emulator read them: column -> value.
    static std::vector<std::map<std::string, std::string>> EntryRows(const TdsJSONValue& entry) {
        std::vector<std::map<std::string, std::string>> out;
        const TdsJSONValue* rows = entry.Find("table") ? entry.Find("table")->Find("rows") : nullptr;
        if (!rows)
            return out;
        for (const TdsJSONValue& row : rows->Items()) {
            std::map<std::string, std::string> values;
            for (const char* name : {"CMDRequest", "CMDResponse", "ExecStatusC", "ErrorCMD"})
                values[name] = TEmu::Text(row, name);
            out.push_back(values);
        }
        return out;
    }
    static std::vector<TdsJSONValue> Entries(const TdsJSONValue& upload) {
        const TdsJSONValue* filedata = upload.Find("filedata");
        const TdsJSONValue* entries = filedata ? filedata->Find("entries") : nullptr;
        return entries ? entries->Items() : std::vector<TdsJSONValue>{};
    }
    static TVirtualDisk* disk_;
};

TVirtualDisk* DeclareRun::disk_ = nullptr;

TEST_F(DeclareRun, ThreeStepsWithRetriesDeliverTheExecutedScripts) {
    Serve(Steps(CardNumberScript(2), ChallengeScript(1)));
    std::string accept;
    ASSERT_TRUE(biz.RunRegularDeclaration(frame, accept)) << dialogs.Transcript() << stand_->Log();
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    auto uploads = Requests("UploadData.do");
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(Values("UploadData.do", "STEPID"), (std::vector<std::string>{"BS201", "BS202", "BS203"}));
    // The first upload goes without a number; the server's number is carried from then on.
    auto serials = Values("UploadData.do", "SLXH");
    EXPECT_EQ(serials[0], "NULL");
    ASSERT_FALSE(accept.empty());
    EXPECT_EQ(serials[1], accept);
    EXPECT_EQ(serials[2], accept);
    // Two RETRY answers before the BS201 script, one before BS202's; BS203 is not polled.
    EXPECT_EQ(Values("DownloadData.do", "STEPID"),
              (std::vector<std::string>{"BS201", "BS201", "BS201", "BS202", "BS202"}));
    for (const std::string& slxh : Values("DownloadData.do", "SLXH"))
        EXPECT_EQ(slxh, accept);

    // Each package: the card script as executed, then the disk script with the disk's answers.
    const char* diskNames[] = {"KDR_Disk_201_", "KDR_Disk_201_", "KDR_Disk_202_"};
    for (size_t i = 0; i < uploads.size(); ++i) {
        SCOPED_TRACE(i);
        auto entries = Entries(uploads[i]);
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(TEmu::Text(entries[0], "name").compare(0, 9, "KDR_Card_"), 0)
            << TEmu::Text(entries[0], "name");
        EXPECT_EQ(TEmu::Text(entries[1], "name").compare(0, 13, diskNames[i]), 0)
            << TEmu::Text(entries[1], "name");
        auto card = EntryRows(entries[0]);
        ASSERT_FALSE(card.empty());
        for (const auto& row : card)
            EXPECT_EQ(row.at("ExecStatusC"), "1") << row.at("CMDRequest");
        auto disk = EntryRows(entries[1]);
        ASSERT_FALSE(disk.empty());
        EXPECT_EQ(disk[0].at("CMDResponse"), "D3 D4");
    }
    // The BS201 answer read the card number, which the client checked before the second upload.
    auto second = EntryRows(Entries(uploads[1])[0]);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[1].at("ErrorCMD"), "{IC}");
    EXPECT_EQ(second[1].at("CMDResponse").substr(32, 14), kDeclareCard);
    EXPECT_NE(std::find(frame.States.begin(), frame.States.end(), "progress 1 50"), frame.States.end());
    // Each wait restarts the clock but leaves the gauge at 50 %.
    auto wait = std::find(frame.States.begin(), frame.States.end(), "step 1 clock 0");
    ASSERT_NE(wait, frame.States.end());
    ASSERT_NE(wait + 1, frame.States.end());
    EXPECT_EQ(*(wait + 1), "progress 1 50");
}

TEST_F(DeclareRun, ErrorAnswerDiscardsTheOpenDeclaration) {
    Serve(Steps(CardNumberScript(0), "{\"retries\": 1, \"error\": {\"code\": 12, \"info\": \"受理失败\"}}"));
    ASSERT_TRUE(biz.AddDeclaration(kDeclareCard, "SL-OLD"));
    std::string accept;
    EXPECT_FALSE(biz.RunRegularDeclaration(frame, accept));
    EXPECT_EQ(dialogs.Texts("error"),
              (std::vector<std::string>{"常规报税出错（#12 受理失败）\r\n\r\n请重新进行常规报税！"}))
        << dialogs.Transcript();
    std::string open;
    EXPECT_FALSE(biz.FindOpenDeclaration(kDeclareCard, open)) << open;
    EXPECT_EQ(Requests("UploadData.do").size(), 2u);
}

TEST_F(DeclareRun, NoAnswerWithinTheTimeOut) {
    Global->DeclareTimeOut = 1;
    Serve(Steps(StepConf(1000, {ScriptRow("00 84 00 00 08")}), ChallengeScript(0)));
    std::string accept;
    EXPECT_FALSE(biz.RunRegularDeclaration(frame, accept));
    EXPECT_EQ(dialogs.Texts("error"), (std::vector<std::string>{"常规报税响应超时！"}))
        << dialogs.Transcript();
    // One poll every three seconds of the clock, restarted at 0 for the wait: twenty in a minute.
    EXPECT_EQ(Requests("DownloadData.do").size(), 20u);
    EXPECT_EQ(Requests("UploadData.do").size(), 1u);
    EXPECT_EQ(frame.ClockText(), "00:01:00");
}

TEST_F(DeclareRun, MismatchesOfCardNumberAndDiskTaxpayerAreLogged) {
    // The database holds another card than the one in the reader: stopped before the second upload.
    Serve(Steps(CardNumberScript(0), ChallengeScript(0)));
    Global->CardNumber = "99999999999999";
    std::string accept;
    EXPECT_FALSE(biz.RunRegularDeclaration(frame, accept));
    EXPECT_EQ(dialogs.Texts("error"), (std::vector<std::string>{"税控IC卡编号不一致！"}))
        << dialogs.Transcript();
    EXPECT_EQ(LoggedTimes(MismatchEntries(kDeclareCard, "99999999999999")), 1);
    EXPECT_EQ(Requests("UploadData.do").size(), 1u);

    // The disk belongs to another taxpayer: stopped before the third upload.
    dialogs.Clear();
    Global->CardNumber = kDeclareCard;
    disk_->SetScenario(DiskScenario("370101000000009"));
    Serve(Steps(CardNumberScript(0), ChallengeScript(0)));
    accept.clear();
    EXPECT_FALSE(biz.RunRegularDeclaration(frame, accept));
    EXPECT_EQ(dialogs.Texts("error"), (std::vector<std::string>{"插入报税盘纳税人与当前纳税人不一致！"}))
        << dialogs.Transcript();
    EXPECT_EQ(LoggedTimes(MismatchEntries("370101000000009", kDeclareTaxpayer)), 1);
    EXPECT_EQ(Values("UploadData.do", "STEPID"), (std::vector<std::string>{"BS201", "BS202"}));
}

TEST_F(DeclareRun, CardSessionEndsAlsoAfterAnError) {
    // No disk template: the run stops with the report of the working files, and the card still gets
    // its closing command.
    Serve(Steps(CardNumberScript(0), ChallengeScript(0)));
    std::string templ = Global->PathInfo->GetResFolder() + "BS_Disk_201.vtd";
    ASSERT_TRUE(TdsIOUtils::MoveFileTo(templ, templ + ".away"));
    std::string accept;
    EXPECT_THROW(biz.RunRegularDeclaration(frame, accept), EdsError);
    ASSERT_TRUE(TdsIOUtils::MoveFileTo(templ + ".away", templ));
    EXPECT_TRUE(Requests("UploadData.do").empty());
    // The last block that reached the card: "12", PCB, length 01, the command AB, LRC.
    ASSERT_EQ(biz.LastBlock.size(), 10u) << biz.LastBlock;
    EXPECT_EQ(biz.LastBlock.substr(4, 4), "01AB");
}

// ---- debug mode: the simulator answers for card, disk and server ----

TEST(DeclareDebug, ARunOnTheSimulatorAloneSendsNothing) {
    TTempFolder base;
    TRecordingDialogs dialogs;
    TManualClock clock;
    TRecordingApplication application;
    TInstallOptions options;
    options.BaseFolder = base.Path();
    options.TaxpayerID = kDeclareTaxpayer;
    options.ProgramFile = base / "bin/Brindle";
    options.Debug = true;
    TInstallReport report;
    std::string error;
    ASSERT_TRUE(TInstallation::Install(options, report, error)) << error;
    // The simulator's tables: the file that also switches debug mode on.
    TSimulator::SetFolder(base.Path());
    FreeSimulator();
    Global = new TGlobal({kDeclareTaxpayer, "admin", base / "Brindle.sh"}, TGlobalFrontEnd());
    Global->TaxpayerID = kDeclareTaxpayer;
    Global->CardNumber = std::string(14, '0');
    // Nothing may go out: a request to this address would fail with an error box.
    Global->Platform->SetMainServer("127.0.0.1:9");
    WriteFileBytes(base / "verify.ini", "[Disk]\nVerifyParam4=11223344\nVerifyParam2=5566\n");
    GetDiskUtils().IniFileName = base / "verify.ini";
    ASSERT_TRUE(Global->IsDebugMode());

    TDeclareBiz biz;
    TStepRecordingFrame frame;
    std::string accept;
    bool ok = biz.RunRegularDeclaration(frame, accept);
    GetDiskUtils().IniFileName.clear();
    TSimulator::SetFolder("");
    FreeSimulator();
    FreeGlobal();
    EXPECT_TRUE(ok) << dialogs.Transcript();
    EXPECT_EQ(accept, "DEBUG_AcceptID_BS203");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

} // namespace
