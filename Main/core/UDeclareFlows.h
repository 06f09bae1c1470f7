#pragma once
// The main window's declaration flows without widgets: the regular declaration, the clear-card unlock
// and the result query with their checks. The Qt main window owns one object and calls it from its
// actions; brindle-cli and the end-to-end tests drive the same object. The flows reach the window
// through TMainWindowPort, the dialogs through Global->ModalForms, the progress frame through
// Global->ProgressFrame and the operation log through Global->LogManager.
#include "UDeclareBiz.h"

#include <string>

class TProgressFrame;
class TModalForms;

// What the flows need of the main window.
class TMainWindowPort {
public:
    virtual ~TMainWindowPort() = default;
    // The owner handle the platform client's busy indicator and boxes attach to (null: none).
    virtual void* OwnerWindow() { return nullptr; }
    // Disabled while a run blocks between server requests, so no second action can start.
    virtual void SetEnabled(bool enabled) = 0;
    // Re-enables the regular declaration action for a user who holds it and re-applies the tool buttons.
    virtual void RefreshDeclareState() = 0;
};

class TDeclareFlows {
public:
    explicit TDeclareFlows(TMainWindowPort& window);
    TDeclareFlows(const TDeclareFlows&) = delete;
    TDeclareFlows& operator=(const TDeclareFlows&) = delete;

    // The declaration business, kept for the window's whole life (its LastBlock carries over).
    TDeclareBiz& DeclareBiz() { return biz_; }

    // ---- Actions. Each hides the progress frame at its end and reports an error raised inside as an
    // error box; the result tells a caller without a window how the action ended. ----

    // "常规报税(&G)": true when the three steps were delivered (and recorded outside debug mode).
    bool DoRegularDeclaration();
    // "清卡解锁(&U)": true when the run succeeded and the open declaration was closed.
    bool DoClearCardUnlock();
    // "报税结果查询(&R)": the result of the result query (true only through "开始清卡", which this
    // dialog does not offer); the declaration state is refreshed afterwards.
    bool DoQueryResult();

    // ---- The steps of the actions ----

    // Shared by the three actions: the tax authority code, the initial password, new notices and the
    // upgrade flag. Always true in debug mode.
    bool CheckPreconditions();
    bool CheckBeforeDeclare();
    // The questions about the inserted card and disk; each must be answered Yes.
    bool ConfirmMedia();
    // The server readiness wait under the frame "正在获取服务器状态(按Esc键取消)......".
    bool WaitServer();
    // Stores the open declaration and tells the user (nothing in debug mode).
    bool RecordDeclaration(const std::string& acceptID);
    bool CheckBeforeUnlock(std::string& acceptID);
    // False when the clear-card information file says the enterprise has not declared successfully
    // (line 7 "TRUE" and line 4 "N", any case) or is missing. EdsError for a file of fewer than eight
    // lines.
    static bool IsEnterpriseDeclared(const std::string& file);

    // ---- Keys and closing ----

    // The Esc key of the main window: cancels a running readiness wait.
    void EscapePressed();
    // A request to close the main window: asks "您确定要退出本系统吗？"; true to close. A running
    // readiness wait is cancelled whatever the answer.
    bool CloseQuery();

private:
    TProgressFrame& Frame() const;
    TModalForms& Forms() const;
    void Log(const std::string& text) const;
    // Stops a running readiness wait; a request while none runs is ignored.
    static void CancelServerWait();

    TMainWindowPort& window_;
    TDeclareBiz biz_;
};
