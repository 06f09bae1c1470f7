#include "UDeclareFlows.h"

#include "UGlobal.h"
#include "ULogManager.h"
#include "UModalForms.h"
#include "UProgressFrame.h"
#include "UQelPlatform.h"
#include "UServerIdle.h"
#include "UdsApplication.h"
#include "UdsDialogs.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"
#include "UdsXMLParser.h"

#include <exception>
#include <optional>

namespace {

const char* const kBusyWarning = "正在进行处理,请稍后再进行操作.";
const char* const kTwoLines = "\r\n\r\n";

// The reason of a "RETRY;" or "ERROR;" answer.
std::string Reason(const std::string& answer) {
    return answer.size() > 6 ? answer.substr(6) : std::string();
}

// A run with the hourglass and the window disabled. When the run ends, also by an error, the frame is
// hidden, the cursor restored and the window enabled again.
class TRunScope {
public:
    TRunScope(TMainWindowPort& window, TProgressFrame& frame) : window_(window), frame_(frame) {
        cursor_.emplace();
    }
    ~TRunScope() {
        frame_.HideProgressFrame();
        cursor_.reset();
        window_.SetEnabled(true);
    }
    TRunScope(const TRunScope&) = delete;
    TRunScope& operator=(const TRunScope&) = delete;
    void DisableWindow() { window_.SetEnabled(false); }

private:
    TMainWindowPort& window_;
    TProgressFrame& frame_;
    std::optional<TdsWaitCursor> cursor_;
};

// The frame hidden when the scope ends, whatever happened inside.
class THideFrame {
public:
    explicit THideFrame(TProgressFrame& frame) : frame_(frame) {}
    ~THideFrame() { frame_.HideProgressFrame(); }
    THideFrame(const THideFrame&) = delete;
    THideFrame& operator=(const THideFrame&) = delete;

private:
    TProgressFrame& frame_;
};

// The guard of an action: the frame is hidden at its end, and an error raised inside is reported as the
// window's error report would, ending the action.
template <typename F> bool GuardAction(TProgressFrame& frame, F&& action) {
    THideFrame hide(frame);
    try {
        return action();
    } catch (const std::exception& e) {
        TdsDialogs::ShowError(e.what());
        return false;
    }
}

} // namespace

TDeclareFlows::TDeclareFlows(TMainWindowPort& window) : window_(window) {}

TProgressFrame& TDeclareFlows::Frame() const {
    if (!Global->ProgressFrame)
        throw EdsError("no progress frame is installed");
    return *Global->ProgressFrame;
}

TModalForms& TDeclareFlows::Forms() const {
    if (!Global->ModalForms)
        throw EdsError("no modal forms are installed");
    return *Global->ModalForms;
}

void TDeclareFlows::Log(const std::string& text) const {
    Global->LogManager->AddLog(text);
}

// ---- Regular declaration ----

bool TDeclareFlows::DoRegularDeclaration() {
    TProgressFrame& frame = Frame();
    return GuardAction(frame, [&] {
        if (!CheckBeforeDeclare() || !ConfirmMedia() || !WaitServer())
            return false;
        frame.ShowProgressFrame("正在上传数据......", 1);
        Log("开始常规报税");
        std::string acceptID;
        bool ok = false;
        {
            TRunScope run(window_, frame);
            frame.ShowProgressFrame("正在进行常规报税，请不要拔卡、盘！", 1);
            run.DisableWindow();
            ok = biz_.RunRegularDeclaration(frame, acceptID);
        }
        if (!ok) {
            // The step that failed has told the user why.
            Log("常规报税失败");
            return false;
        }
        return RecordDeclaration(acceptID);
    });
}

bool TDeclareFlows::CheckPreconditions() {
    if (Global->IsDebugMode())
        return true;
    if (Global->TaxDeptCode.empty()) {
        TdsDialogs::ShowWarning("税务机关代码不能为空！");
        // After OK the settings dialog has stored a code; it is not tested again.
        if (Forms().ShowSystemSettings() != mrOk)
            return false;
    }
    TQelPlatform& platform = *Global->Platform;
    if (!platform.CheckInitialPassword()) {
        Forms().ShowPasswordSetting();
        return false;
    }
    int upgradeFlag = 0, count = 0;
    if (!platform.DownloadNotice(window_.OwnerWindow(), false, upgradeFlag, count))
        return false;
    // New notices have been shown; the user starts the action again after reading them.
    if (count > 0)
        return false;
    if (upgradeFlag <= 0)
        return true;
    if (upgradeFlag == 1) {
        platform.UpdateSoft(window_.OwnerWindow(), true);
        return false;
    }
    return !platform.UpdateSoft(window_.OwnerWindow(), false);
}

bool TDeclareFlows::CheckBeforeDeclare() {
    if (GetServerIdle()->Busy) {
        TdsDialogs::ShowWarning(kBusyWarning);
        return false;
    }
    if (!CheckPreconditions())
        return false;
    long long prompt = 0;
    if (!TdsStrUtils::TryStrToInt(FindChildNode(Global->Options, "DeclarePrompt", false).Text(), prompt))
        prompt = 0;
    if (prompt != 0 && Forms().ShowDeclarePrompt() != mrYes)
        return false;
    if (!biz_.ChooseCardAndDisk())
        return false;
    std::string acceptID, unlockTime, declareTime;
    bool sameMonth = false;
    // A failed look-up (reported by the database kit) must not open the way past the 30-minute rule.
    if (!biz_.GetLatestDeclaration(Global->CardNumber, acceptID, sameMonth, unlockTime, declareTime))
        return false;
    return biz_.CheckResubmitAllowed(acceptID, declareTime);
}

bool TDeclareFlows::ConfirmMedia() {
    const std::string zeros(14, '0');
    if (Global->CardNumber != zeros &&
        !TdsDialogs::Confirm(TdsStrUtils::Format("请确认您插入的税控IC卡编号为“%s”！", {Global->CardNumber})))
        return false;
    if (Global->CardNumber != Global->GetDefaultMediaNumber("K"))
        return TdsDialogs::Confirm(
            TdsStrUtils::Format("请确认您插入的报税盘编号为“%s”！", {Global->DiskNumber}));
    return TdsDialogs::Confirm("请确认您已经正确插入报税卡！");
}

bool TDeclareFlows::WaitServer() {
    TProgressFrame& frame = Frame();
    frame.ShowProgressFrame("正在获取服务器状态(按Esc键取消)......", 1);
    THideFrame hide(frame);
    if (Global->IsDebugMode())
        return true;
    return GetServerIdle()->WaitServerReady(window_.OwnerWindow());
}

bool TDeclareFlows::RecordDeclaration(const std::string& acceptID) {
    if (Global->IsDebugMode())
        return true;
    if (!biz_.AddDeclaration(Global->CardNumber, acceptID))
        return false;
    Log("常规报税数据发送成功");
    TdsDialogs::ShowInfo("常规报税数据发送成功！\r\n\r\n请稍后查询报税结果，以确定常规报税是否成功！");
    window_.RefreshDeclareState();
    return true;
}

// ---- Clear-card unlock ----

bool TDeclareFlows::DoClearCardUnlock() {
    TProgressFrame& frame = Frame();
    return GuardAction(frame, [&] {
        std::string acceptID;
        if (!CheckBeforeUnlock(acceptID))
            return false;
        Log("开始清卡解锁");
        bool ok = false;
        {
            TRunScope run(window_, frame);
            frame.ShowProgressFrame("正在进行清卡解锁，请不要拔卡、盘！", 7);
            run.DisableWindow();
            ok = biz_.RunClearCardUnlock(window_.OwnerWindow(), frame, acceptID);
        }
        if (!ok) {
            Log("清卡解锁失败");
            return false;
        }
        // No open record of that number (closed meanwhile): nothing to report.
        if (!biz_.SetUnlockTime(acceptID))
            return false;
        Log("清卡解锁成功");
        TdsDialogs::ShowInfo("清卡解锁成功！");
        window_.RefreshDeclareState();
        return true;
    });
}

bool TDeclareFlows::CheckBeforeUnlock(std::string& acceptID) {
    acceptID.clear();
    if (GetServerIdle()->Busy) {
        TdsDialogs::ShowWarning(kBusyWarning);
        return false;
    }
    if (!CheckPreconditions())
        return false;
    if (!TdsDialogs::Confirm("请确认是否已完成常规报税？"))
        return false;
    if (!biz_.ChooseCardAndDisk())
        return false;
    if (!biz_.FindOpenDeclaration(Global->CardNumber, acceptID)) {
        TdsDialogs::ShowWarning("您尚未进行常规报税，不允许清卡！");
        return false;
    }
    void* owner = window_.OwnerWindow();
    bool retry = false;
    std::string answer;
    if (biz_.FetchClearCardInfo(owner, "BS203", retry, answer)) {
        if (TdsStrUtils::StartsStr("RETRY;", answer)) {
            TdsDialogs::ShowInfo(Reason(answer) + kTwoLines + "常规报税尚未完成，不允许清卡！");
            return false;
        }
        if (!IsEnterpriseDeclared(answer)) {
            TdsDialogs::ShowError("此企业尚未报税成功！\r\n请确认分支机构是否报税完成！");
            return false;
        }
        if (!biz_.QueryDeclareResult(owner, Global->CardNumber, true)) {
            window_.RefreshDeclareState();
            return false;
        }
        if (!WaitServer() || !TdsDialogs::Confirm("请确认您正确插入税控IC卡和税控盘！"))
            return false;
        TProgressFrame& frame = Frame();
        TRunScope run(window_, frame);
        frame.ShowProgressFrame("正在获取一窗式比对结果 ...", 0);
        run.DisableWindow();
        return biz_.WaitComparison(owner, acceptID);
    }
    if (answer.empty())
        return false; // the platform client has reported the failure
    std::string text = Reason(answer);
    if (!TdsStrUtils::ContainsText(text, "#4"))
        text += std::string(kTwoLines) + "请重新进行常规报税！";
    TdsDialogs::ShowError(text);
    window_.RefreshDeclareState();
    return false;
}

bool TDeclareFlows::IsEnterpriseDeclared(const std::string& file) {
    if (!TdsIOUtils::FileExists(file))
        return false;
    TdsStrings lines;
    if (!lines.LoadFromFile(file))
        throw EdsError("cannot read \"" + file + "\"");
    // Line 7 is read first, as the string list would, so a shorter file ends the check with its report.
    if (lines.Count() < 8)
        throw EdsError("List index out of bounds (7)");
    return !(TdsStrUtils::SameText(lines[7], "TRUE") && TdsStrUtils::SameText(lines[4], "N"));
}

// ---- Result query ----

bool TDeclareFlows::DoQueryResult() {
    TProgressFrame& frame = Frame();
    return GuardAction(frame, [&] {
        if (!CheckPreconditions() || !biz_.ChooseCardAndDisk())
            return false;
        bool result = biz_.QueryDeclareResult(window_.OwnerWindow(), Global->CardNumber, false);
        window_.RefreshDeclareState();
        return result;
    });
}

// ---- Keys and closing ----

void TDeclareFlows::CancelServerWait() {
    TServerIdle* idle = GetServerIdle();
    // Only a running wait: a request kept until the next wait would end that wait before it started.
    if (idle->Busy)
        idle->Cancelled = true;
}

void TDeclareFlows::EscapePressed() {
    CancelServerWait();
}

bool TDeclareFlows::CloseQuery() {
    bool close = TdsDialogs::Confirm("您确定要退出本系统吗？");
    CancelServerWait();
    return close;
}
