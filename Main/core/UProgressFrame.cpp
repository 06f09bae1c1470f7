#include "UProgressFrame.h"

#include "UdsApplication.h"
#include "UdsClock.h"
#include "UdsDialogs.h"

#include <cstdio>

void TProgressFrame::ShowProgressFrame(const std::string& text, int stepCount) {
    visible_ = false;
    text_ = text;
    SetStepCount(stepCount);
    SetStep(1, false);
    visible_ = true;
    Changed();
    TdsApplication::ProcessMessages();
}

void TProgressFrame::HideProgressFrame() {
    visible_ = false;
    Changed();
}

void TProgressFrame::SetStepCount(int stepCount) {
    stepCount_ = stepCount <= 0 ? 0 : stepCount;
    if (step_ < 1 || (stepCount_ > 0 && step_ > stepCount_))
        step_ = 1;
    Changed();
}

void TProgressFrame::SetStep(int step, bool clock) {
    step_ = (step < 1 || (stepCount_ > 0 && step > stepCount_)) ? 1 : step;
    percent_ = 0;
    if (clock) {
        clockStart_ = TdsClock::TickCount();
        clockRunning_ = true;
    } else if (clockRunning_) {
        clockStopped_ = TdsClock::TickCount();
        clockRunning_ = false;
    }
    Changed();
    TdsApplication::ProcessMessages();
}

void TProgressFrame::SetStepProgress(int step, int percent) {
    step_ = (step < 1 || (stepCount_ > 0 && step > stepCount_)) ? 1 : step;
    percent_ = (percent < 0 || percent > 100) ? 0 : percent;
    Changed();
    TdsApplication::ProcessMessages();
}

void TProgressFrame::WaitSeconds(int seconds) {
    for (int i = 0; i < seconds; ++i) {
        TdsClock::Sleep(1000);
        TdsApplication::ProcessMessages();
    }
}

int64_t TProgressFrame::ElapsedSeconds() const {
    if (clockStart_ == 0 && !clockRunning_)
        return 0;
    int64_t end = clockRunning_ ? TdsClock::TickCount() : clockStopped_;
    int64_t ms = end - clockStart_;
    return ms < 0 ? 0 : ms / 1000;
}

std::string TProgressFrame::ClockText() const {
    int64_t s = ElapsedSeconds() % 86400;
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%02d:%02d:%02d", static_cast<int>(s / 3600),
                  static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    return buf;
}

void TConsoleProgressFrame::Changed() {
    if (!verbose_ || !Visible())
        return;
    std::string line = "[progress] " + TdsConsoleDialogs::OneLine(Text());
    if (StepCount() > 0)
        line += " (" + std::to_string(Step()) + "/" + std::to_string(StepCount()) + ")";
    if (line == lastLine_)
        return;
    lastLine_ = line;
    std::string out = line + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}
