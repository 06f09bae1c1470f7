#include "UdsBusyForm.h"

#include "UdsApplication.h"
#include "UdsClock.h"
#include "UdsDialogs.h"

#include <cstdio>

std::string TdsBusyForm::ComposeText(int textStyle, const std::string& text) {
    switch (textStyle) {
    case 1:
        return text + " ...";
    case 2:
        return text + ", 请稍候...";
    default:
        return text;
    }
}

void TdsBusyForm::Start(void* container, int animation, bool cancelAllowed, int textStyle,
                        const std::string& text, bool gauge) {
    TdsApplication::Backend().SetWaitCursor(true);
    container_ = container;
    gauge_ = gauge;
    cancelled_ = false;
    percent_ = 0;
    text_ = ComposeText(textStyle, text);
    showing_ = true;
    DoShow(container, animation, cancelAllowed);
    TdsApplication::ProcessMessages();
}

void TdsBusyForm::StartBusy(void* container, int animation, bool cancelAllowed, int textStyle,
                            const std::string& text) {
    Start(container, animation, cancelAllowed, textStyle, text, false);
    // Very short operations still show the indicator visibly.
    TdsClock::Sleep(200);
}

void TdsBusyForm::StartProgress(void* container, int animation, bool cancelAllowed, int textStyle,
                                const std::string& text) {
    Start(container, animation, cancelAllowed, textStyle, text, true);
}

void TdsBusyForm::SetProgress(int percent) {
    percent_ = percent;
    DoProgress(percent);
    TdsApplication::ProcessMessages();
}

void TdsBusyForm::StopBusy() {
    if (gauge_ && showing_)
        TdsClock::Sleep(200); // let a full gauge be seen
    showing_ = false;
    void* container = container_;
    container_ = nullptr;
    // The container may be closing already; re-enabling its controls must not fail.
    try {
        DoHide(container);
    } catch (...) {
    }
    TdsApplication::Backend().SetWaitCursor(false);
    TdsApplication::ProcessMessages();
}

void TdsConsoleBusyForm::DoShow(void*, int, bool) {
    if (!verbose_)
        return;
    std::string line = "[busy] " + TdsConsoleDialogs::OneLine(Text()) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
