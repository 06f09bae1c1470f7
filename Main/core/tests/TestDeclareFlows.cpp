// The main window's declaration flows with a scripted front end against the tax platform emulator: the
// checks before the actions, the media questions, the readiness wait and its cancellation, the checks
// before the unlock and the clear-card information file.
#include "UDeclareFlows.h"
#include "UEmulatorTestSupport.h"
#include "UPlatformTestBase.h"

#include "UServerIdle.h"
#include "UdsAdoDBKit.h"
#include "UdsExceptions.h"

#include <cstdio>
#include <functional>

using TEmu = TPlatformEmulator;

namespace {

// The main window as the flows see it: what they asked of it, in order.
class TRecordingWindow : public TMainWindowPort {
public:
    std::vector<std::string> Calls;
    void SetEnabled(bool enabled) override { Calls.push_back(enabled ? "enable" : "disable"); }
    void RefreshDeclareState() override { Calls.push_back("refresh"); }
};

// Runs a hook whenever the flows let the user interface process messages (a key press arrives there).
class THookedApplication : public TdsApplicationBackend {
public:
    std::function<void()> OnMessages;
    int Rounds = 0;
    void ProcessMessages() override {
        ++Rounds;
        if (OnMessages)
            OnMessages();
    }
};

const std::string kZeros(14, '0');
const std::string kAccept = "DEBUG_AcceptID_BS203"; // an acceptance number the emulator knows
const char* kBusyWarning = "正在进行处理,请稍后再进行操作.";
const char* kWaitText = "正在获取服务器状态(按Esc键取消)......";

std::string ClearCardLines(const std::string& line4, const std::string& line7) {
    return "[\"110101000000001\", \"00000000000000\", \"\", \"\", \"" + line4 + "\", \"\", \"\", \"" + line7 +
           "\"]";
}

} // namespace

class DeclareFlows : public TPlatformTest {
protected:
    std::unique_ptr<TPlatformEmulator> emulator;
    TRecordingProgressFrame frame;
    TRecordingWindow window;
    std::unique_ptr<TDeclareFlows> flows;

    void SetUp() override {
        TPlatformTest::SetUp();
        if (HasFatalFailure())
            return;
        emulator = std::make_unique<TPlatformEmulator>(
            temp / "emu/", "{\"taxpayer\": \"110101000000001\", \"platform\": {\"password\": \"secret-1\", "
                           "\"notices\": [], "
                           "\"status\": {\"busy\": 0, \"waitTime\": 0}}}");
        Platform().SetMainServer(emulator->Address());
        Global->ProgressFrame = &frame;
        flows = std::make_unique<TDeclareFlows>(window);
    }
    void TearDown() override {
        GetServerIdle()->Busy = false;
        GetServerIdle()->Cancelled = false;
        flows.reset();
        TPlatformTest::TearDown();
    }

    void SetDebugMode(bool on) {
        if (on)
            ASSERT_TRUE(TdsIOUtils::WriteTextFile("<Request_Response/>", Global->GetDebugFile()));
        else
            std::remove(Global->GetDebugFile().c_str());
    }
    void Set(const std::string& json) { emulator->Control("{\"set\": " + json + "}"); }
    size_t RequestCount(const std::string& name) const { return emulator->Requests(name).size(); }

    // The operation log after the start-up's sign-in entry.
    std::vector<std::string> OpLog() {
        TVirtualTable rows;
        EXPECT_GE(Global->TaxpayerDB->OpenQuery(rows, "SELECT FOpContent FROM S_OpLog ORDER BY FOpTime"), 0);
        std::vector<std::string> out;
        for (rows.First(); !rows.Eof(); rows.Next())
            if (rows.Field(0).AsString() != "登录系统")
                out.push_back(rows.Field(0).AsString());
        return out;
    }
    bool HasOpenDeclaration() {
        std::string id;
        return flows->DeclareBiz().FindOpenDeclaration(kZeros, id);
    }
    void AddOpenDeclaration() {
        ASSERT_TRUE(flows->DeclareBiz().AddDeclaration(kZeros, kAccept));
        clock.Advance(1000);
    }
};

TEST_F(DeclareFlows, PreconditionsStopAtTheMissingAuthorityThePasswordAndNewNotices) {
    // Debug mode asks nothing of the server.
    SetDebugMode(true);
    EXPECT_TRUE(flows->CheckPreconditions());
    SetDebugMode(false);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(RequestCount("DownloadNotice.do"), 0u);

    // No tax authority code: the settings dialog, and the check goes on only after its OK.
    Global->TaxDeptCode = "";
    EXPECT_FALSE(flows->CheckPreconditions());
    EXPECT_EQ(dialogs.Transcript(), "[warning] 税务机关代码不能为空！\n");
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"settings"}));
    EXPECT_EQ(RequestCount("DownloadNotice.do"), 0u);
    forms.SettingsResults = {mrOk};
    dialogs.Clear();
    EXPECT_TRUE(flows->CheckPreconditions()) << dialogs.Transcript();
    EXPECT_EQ(RequestCount("DownloadNotice.do"), 1u);
    Global->TaxDeptCode = "11010100";

    // The initial network password: its warning, then the password dialog.
    forms.Opened.clear();
    dialogs.Clear();
    std::string current = Global->AuthenPassword;
    Global->AuthenPassword = Global->InitialAuthenPassword;
    EXPECT_FALSE(flows->CheckPreconditions());
    EXPECT_EQ(dialogs.Transcript(), "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"password"}));
    Global->AuthenPassword = current;

    // A new notice is shown and stops the action; the next try passes.
    forms.Opened.clear();
    Set("{\"notices\": [{\"id\": \"N9\", \"title\": \"通知\", \"content\": \"内容\", \"pubdate\": "
        "\"2026-12-01\", \"expiredate\": \"2099-12-31\"}]}");
    EXPECT_FALSE(flows->CheckPreconditions());
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"notices"}));
    EXPECT_TRUE(flows->CheckPreconditions());

    // A refused notice download stops as well.
    dialogs.Clear();
    Set("{\"password\": \"another-1\"}");
    EXPECT_FALSE(flows->CheckPreconditions());
    EXPECT_TRUE(dialogs.Has("error", "网络抄报密码错误！")) << dialogs.Transcript();
}

TEST_F(DeclareFlows, UpgradeFlagOfTheNoticeDownload) {
    // 1: the menu's upgrade runs and the action stops, even with nothing new.
    Set("{\"softUpdFlag\": 1}");
    EXPECT_FALSE(flows->CheckPreconditions());
    EXPECT_EQ(dialogs.Transcript(), "[info] 本软件已经是最新版本！\n");
    EXPECT_EQ(RequestCount("UpdateSoft.do"), 1u);

    // 2: the action goes on unless an upgrade was started; nothing new is not mentioned.
    dialogs.Clear();
    Set("{\"softUpdFlag\": 2}");
    EXPECT_TRUE(flows->CheckPreconditions()) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(RequestCount("UpdateSoft.do"), 2u);
    // A new version the user declines.
    Set("{\"upgrade\": {\"version\": \"9.9\", \"index\": \"1\", \"files\": {\"QelUpgrade.exe\": \"x\"}}}");
    dialogs.AnswerNext(false);
    EXPECT_TRUE(flows->CheckPreconditions()) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Texts("question"), (std::vector<std::string>{"存在新的软件版本，是否升级？"}));

    // 0: no upgrade request at all.
    Set("{\"softUpdFlag\": 0}");
    EXPECT_TRUE(flows->CheckPreconditions());
    EXPECT_EQ(RequestCount("UpdateSoft.do"), 3u);
}

TEST_F(DeclareFlows, RunningReadinessWaitRefusesTheActionsAndTakesEscAndClose) {
    GetServerIdle()->Busy = true;
    std::string acceptID;
    EXPECT_FALSE(flows->CheckBeforeDeclare());
    EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
    EXPECT_EQ(dialogs.Texts("warning"), (std::vector<std::string>{kBusyWarning, kBusyWarning}));
    EXPECT_TRUE(forms.Opened.empty());
    EXPECT_TRUE(emulator->Requests().empty());

    flows->EscapePressed();
    EXPECT_TRUE(GetServerIdle()->Cancelled);
    GetServerIdle()->Cancelled = false;
    // Answering No keeps the window but still ends the wait.
    dialogs.AnswerNext(false);
    EXPECT_FALSE(flows->CloseQuery());
    EXPECT_TRUE(dialogs.Has("question", "您确定要退出本系统吗？"));
    EXPECT_TRUE(GetServerIdle()->Cancelled);

    // Without a running wait nothing is kept for the next one.
    GetServerIdle()->Busy = false;
    GetServerIdle()->Cancelled = false;
    flows->EscapePressed();
    dialogs.AnswerNext(true);
    EXPECT_TRUE(flows->CloseQuery());
    EXPECT_FALSE(GetServerIdle()->Cancelled);
}

TEST_F(DeclareFlows, ConfirmMediaAsksForTheCardAndTheDisk) {
    struct {
        std::string card, disk;
        std::vector<bool> answers;
        bool result;
        std::vector<std::string> questions;
    } cases[] = {
        {"12345678901234",
         "661234567890",
         {true, true},
         true,
         {"请确认您插入的税控IC卡编号为“12345678901234”！", "请确认您插入的报税盘编号为“661234567890”！"}},
        {"12345678901234",
         "661234567890",
         {false},
         false,
         {"请确认您插入的税控IC卡编号为“12345678901234”！"}},
        {"12345678901234",
         "661234567890",
         {true, false},
         false,
         {"请确认您插入的税控IC卡编号为“12345678901234”！", "请确认您插入的报税盘编号为“661234567890”！"}},
        // No registered card: only whether a card is inserted at all.
        {kZeros, kZeros, {true}, true, {"请确认您已经正确插入报税卡！"}},
        {kZeros, kZeros, {false}, false, {"请确认您已经正确插入报税卡！"}},
    };
    for (const auto& c : cases) {
        dialogs.Clear();
        Global->CardNumber = c.card;
        Global->DiskNumber = c.disk;
        for (bool a : c.answers)
            dialogs.AnswerNext(a);
        EXPECT_EQ(flows->ConfirmMedia(), c.result) << c.card;
        EXPECT_EQ(dialogs.Texts("question"), c.questions) << c.card;
        for (const TRecordedBox& b : dialogs.Boxes())
            EXPECT_TRUE(b.secondButtonDefault) << b.text; // No is the default
    }
}

TEST_F(DeclareFlows, DeclarationPromptAndNoRegisteredCard) {
    // The region of the fixture asks for the printed notice first.
    forms.PromptResults = {mrNo};
    EXPECT_FALSE(flows->CheckBeforeDeclare());
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"prompt"}));

    forms.Opened.clear();
    forms.PromptResults = {mrYes};
    Global->CardNumber = "stale";
    ASSERT_TRUE(flows->CheckBeforeDeclare()) << dialogs.Transcript();
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"prompt"}));
    // An empty register stands for the card of fourteen zeros.
    EXPECT_EQ(Global->CardNumber, kZeros);
    dialogs.Clear();
    dialogs.AnswerNext(true);
    EXPECT_TRUE(flows->ConfirmMedia());
    EXPECT_EQ(dialogs.Texts("question"), (std::vector<std::string>{"请确认您已经正确插入报税卡！"}));

    // A region without the option declares without the prompt.
    forms.Opened.clear();
    Global->Options = TdsXMLNode();
    EXPECT_TRUE(flows->CheckBeforeDeclare());
    EXPECT_TRUE(forms.Opened.empty());
}

TEST_F(DeclareFlows, EscDuringTheReadinessWaitEndsTheDeclarationSilently) {
    Set("{\"status\": {\"busy\": 1, \"waitTime\": 5}}");
    THookedApplication app;
    TdsApplication::SetBackend(&app);
    app.OnMessages = [&] {
        if (GetServerIdle()->Busy && app.Rounds > 20)
            flows->EscapePressed();
    };
    forms.PromptResults = {mrYes};
    dialogs.SetDefaultAnswer(true);
    EXPECT_FALSE(flows->DoRegularDeclaration());
    TdsApplication::SetBackend(&application);

    EXPECT_EQ(dialogs.Texts("question"), (std::vector<std::string>{"请确认您已经正确插入报税卡！"}));
    EXPECT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
    EXPECT_GE(RequestCount("status.do"), 1u);
    EXPECT_EQ(frame.Shown, (std::vector<std::string>{kWaitText}));
    EXPECT_FALSE(frame.Visible());
    EXPECT_TRUE(window.Calls.empty());
    EXPECT_FALSE(GetServerIdle()->Busy);
    EXPECT_FALSE(GetServerIdle()->Cancelled);
    EXPECT_TRUE(OpLog().empty());
    EXPECT_EQ(RequestCount("UploadData.do"), 0u);
}

TEST_F(DeclareFlows, AnErrorInsideTheRunStillEnablesTheWindowAndHidesTheFrame) {
    // Debug mode skips the server; the installation has no templates, so preparing the disk script fails.
    SetDebugMode(true);
    forms.PromptResults = {mrYes};
    dialogs.SetDefaultAnswer(true);
    EXPECT_FALSE(flows->DoRegularDeclaration());
    EXPECT_EQ(window.Calls, (std::vector<std::string>{"disable", "enable"}));
    EXPECT_FALSE(frame.Visible());
    EXPECT_EQ(frame.Shown, (std::vector<std::string>{kWaitText, "正在上传数据......",
                                                     "正在进行常规报税，请不要拔卡、盘！"}));
    EXPECT_EQ(dialogs.Texts("error").size(), 1u) << dialogs.Transcript();
    EXPECT_EQ(OpLog(), (std::vector<std::string>{"开始常规报税"}));
    EXPECT_TRUE(emulator->Requests().empty());
}

TEST_F(DeclareFlows, CheckBeforeUnlockRoads) {
    std::string acceptID;
    dialogs.SetDefaultAnswer(true);

    // No open declaration of the card.
    EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
    EXPECT_EQ(dialogs.Transcript(),
              "[question] 请确认是否已完成常规报税？ -> yes\n[warning] 您尚未进行常规报税，不允许清卡！\n");
    EXPECT_EQ(RequestCount("getLastClearICInfo.do"), 0u);

    // The server still works on the declaration.
    AddOpenDeclaration();
    dialogs.Clear();
    Set("{\"clearCardInfo\": {\"retries\": 1, \"lines\": " + ClearCardLines("Y", "TRUE") + "}}");
    EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
    EXPECT_EQ(dialogs.Texts("info"), (std::vector<std::string>{"上传的数据正在待处理状态！\r\n\r\n"
                                                               "常规报税尚未完成，不允许清卡！"}));
    EXPECT_EQ(TEmu::Value(emulator->Requests("getLastClearICInfo.do").back(), "STEPID"), "BS203");

    // The enterprise (a branch) has not declared successfully; the flags are read in any letter case.
    dialogs.Clear();
    Set("{\"clearCardInfo\": {\"retries\": 0, \"lines\": " + ClearCardLines("n", "true") + "}}");
    EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
    EXPECT_EQ(dialogs.Texts("error"),
              (std::vector<std::string>{"此企业尚未报税成功！\r\n请确认分支机构是否报税完成！"}));
    EXPECT_TRUE(forms.Opened.empty());

    // The result is shown; leaving it without "开始清卡" ends the check without a word.
    dialogs.Clear();
    Set("{\"clearCardInfo\": {\"retries\": 0, \"lines\": " + ClearCardLines("N", "FALSE") + "}}");
    forms.ResultDialogResults = {mrCancel};
    EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"result " + kAccept}));
    EXPECT_EQ(dialogs.Transcript(), "[question] 请确认是否已完成常规报税？ -> yes\n");
    EXPECT_EQ(window.Calls, (std::vector<std::string>{"refresh"}));

    // Comparison verdict 0 after the readiness wait and the media question.
    dialogs.Clear();
    window.Calls.clear();
    frame.Shown.clear();
    Set("{\"bdjg\": [0]}");
    forms.ResultDialogResults = {mrOk};
    EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
    EXPECT_EQ(dialogs.Transcript(), "[question] 请确认是否已完成常规报税？ -> yes\n"
                                    "[question] 请确认您正确插入税控IC卡和税控盘！ -> yes\n"
                                    "[error] 未通过一窗式比对！\n");
    EXPECT_EQ(frame.Shown, (std::vector<std::string>{kWaitText, "正在获取一窗式比对结果 ..."}));
    EXPECT_EQ(frame.StepCount(), 0);
    EXPECT_FALSE(frame.Visible());
    EXPECT_EQ(window.Calls, (std::vector<std::string>{"disable", "enable"}));

    // Still being compared, then passed.
    dialogs.Clear();
    emulator->Control("{\"reset\": true, \"set\": {\"bdjg\": [2, 1]}}");
    forms.ResultDialogResults = {mrOk};
    EXPECT_TRUE(flows->CheckBeforeUnlock(acceptID)) << dialogs.Transcript();
    EXPECT_EQ(acceptID, kAccept);
    EXPECT_EQ(dialogs.Texts("error").size(), 0u);
    EXPECT_EQ(RequestCount("GetBDJG.do"), 3u);

    // An "ERROR;" answer drops the open declaration; "#4" reasons are not followed by the request to
    // declare again.
    struct {
        int code;
        std::string shown;
    } refusals[] = {
        {4, "常规报税出错（#4 分机未报税）"},
        {14, "常规报税出错（#14 分机未报税）\r\n\r\n请重新进行常规报税！"},
    };
    for (const auto& r : refusals) {
        if (!HasOpenDeclaration())
            AddOpenDeclaration();
        dialogs.Clear();
        window.Calls.clear();
        Set("{\"clearCardInfo\": {\"retries\": 0, \"error\": {\"code\": " + std::to_string(r.code) +
            ", \"info\": \"分机未报税\"}}}");
        EXPECT_FALSE(flows->CheckBeforeUnlock(acceptID));
        EXPECT_EQ(dialogs.Texts("error"), (std::vector<std::string>{r.shown}));
        EXPECT_FALSE(HasOpenDeclaration()) << r.code;
        EXPECT_EQ(window.Calls, (std::vector<std::string>{"refresh"}));
    }
}

TEST(DeclareFlowsFile, IsEnterpriseDeclaredReadsLinesFourAndSeven) {
    TTempFolder temp;
    struct {
        std::string line4, line7;
        bool declared;
    } cases[] = {
        {"N", "TRUE", false}, {"n", "true", false}, {"n", "True", false}, {"Y", "TRUE", true},
        {"", "TRUE", true},   {"N", "FALSE", true}, {"N", "", true},      {"N", "TRUE ", true},
    };
    for (const auto& c : cases) {
        std::string file = temp / "info_KDR.txt";
        ASSERT_TRUE(TdsIOUtils::WriteTextFile(
            "0\r\n1\r\n2\r\n3\r\n" + c.line4 + "\r\n5\r\n6\r\n" + c.line7 + "\r\n", file));
        EXPECT_EQ(TDeclareFlows::IsEnterpriseDeclared(file), c.declared) << c.line4 << "/" << c.line7;
    }
    EXPECT_FALSE(TDeclareFlows::IsEnterpriseDeclared(temp / "missing_KDR.txt"));
    // Fewer than eight lines: the check stops with the list's report.
    std::string shortFile = temp / "short_KDR.txt";
    ASSERT_TRUE(TdsIOUtils::WriteTextFile("0\r\n1\r\n2\r\n3\r\nN\r\n5\r\n6\r\n", shortFile));
    EXPECT_THROW(TDeclareFlows::IsEnterpriseDeclared(shortFile), EdsError);
}
