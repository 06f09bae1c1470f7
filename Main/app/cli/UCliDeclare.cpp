// brindle-cli … declare | unlock | query-result: the main window's declaration actions "常规报税",
// "清卡解锁" and "报税结果查询", run by the same flows the window runs. The progress frame prints its
// states as "[progress] …" lines, the boxes print on standard error and the dialogs on standard output.
// Ctrl+C during the wait for the server's readiness stands for the window's Esc key.
#include "cli/UCliCommand.h"

#include "UDeclareFlows.h"
#include "UGlobal.h"
#include "UModalForms.h"
#include "UProgressFrame.h"
#include "UServerIdle.h"
#include "UdsApplication.h"

#include <csignal>
#include <iostream>

namespace {

// The console has no window to disable and no tool bar to refresh.
class TConsoleWindow : public TMainWindowPort {
public:
    void SetEnabled(bool) override {}
    void RefreshDeclareState() override {}
};

// The front end's forms, noting whether the result dialog was shown: the result query ends with that
// dialog, which (outside the unlock) can only be left with "返回".
class TResultWatch : public TModalForms {
public:
    explicit TResultWatch(TModalForms& inner) : inner_(inner) {}
    bool ResultShown = false;

    int ShowSystemSettings() override { return inner_.ShowSystemSettings(); }
    int ShowPasswordSetting() override { return inner_.ShowPasswordSetting(); }
    void ShowNotices() override { inner_.ShowNotices(); }
    int ShowDeclarePrompt() override { return inner_.ShowDeclarePrompt(); }
    bool SelectCardAndDisk(TCardAndDisk& choice) override { return inner_.SelectCardAndDisk(choice); }
    int ShowDeclareResult(bool fromUnlock, const std::string& acceptID) override {
        ResultShown = true;
        return inner_.ShowDeclareResult(fromUnlock, acceptID);
    }

private:
    TModalForms& inner_;
};

// For the length of a command: a frame that prints what the window's frame would show.
class TVerboseFrame {
public:
    TVerboseFrame() : previous_(Global->ProgressFrame) { Global->ProgressFrame = &frame_; }
    ~TVerboseFrame() { Global->ProgressFrame = previous_; }
    TVerboseFrame(const TVerboseFrame&) = delete;
    TVerboseFrame& operator=(const TVerboseFrame&) = delete;

private:
    TConsoleProgressFrame frame_{true};
    TProgressFrame* previous_;
};

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) {
    interrupted = 1;
}

// Ctrl+C is the console's Esc key: it ends a running readiness wait, which then ends the action
// silently. Pressed at any other moment it ends the program as usual.
class TInterruptAsEscape : public TdsApplicationBackend {
public:
    explicit TInterruptAsEscape(TDeclareFlows& flows) : flows_(flows) {
        interrupted = 0;
        previous_ = std::signal(SIGINT, OnInterrupt);
        TdsApplication::SetBackend(this);
    }
    ~TInterruptAsEscape() override {
        TdsApplication::SetBackend(nullptr);
        std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
    }
    TInterruptAsEscape(const TInterruptAsEscape&) = delete;
    TInterruptAsEscape& operator=(const TInterruptAsEscape&) = delete;

    void ProcessMessages() override {
        if (!interrupted)
            return;
        interrupted = 0;
        if (GetServerIdle()->Busy) {
            flows_.EscapePressed();
            return;
        }
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }

private:
    TDeclareFlows& flows_;
    void (*previous_)(int) = SIG_DFL;
};

int Finish(bool ok) {
    std::cout.flush();
    std::cerr.flush();
    return ok ? ceOK : ceFailed;
}

int Declare(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("declare");
    TVerboseFrame frame;
    TConsoleWindow window;
    TDeclareFlows flows(window);
    TInterruptAsEscape escape(flows);
    return Finish(flows.DoRegularDeclaration());
}

int Unlock(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("unlock");
    TVerboseFrame frame;
    TConsoleWindow window;
    TDeclareFlows flows(window);
    TInterruptAsEscape escape(flows);
    return Finish(flows.DoClearCardUnlock());
}

int QueryResult(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("query-result");
    if (!Global->ModalForms) {
        std::cerr << "brindle-cli: no dialogs are installed\n";
        return ceFailed;
    }
    TVerboseFrame frame;
    TResultWatch forms(*Global->ModalForms);
    TModalForms* previous = Global->ModalForms;
    Global->ModalForms = &forms;
    TConsoleWindow window;
    TDeclareFlows flows(window);
    flows.DoQueryResult();
    Global->ModalForms = previous;
    return Finish(forms.ResultShown);
}

TCliRegistrar declare("declare", "", Declare);
TCliRegistrar unlock("unlock", "", Unlock);
TCliRegistrar queryResult("query-result", "", QueryResult);

} // namespace
