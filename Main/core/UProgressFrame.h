#pragma once
// The declaration progress frame port: the flows show their message, step gauge and clock through it.
// The clock is the flows' time-out measure, so it counts through the clock port: a test clock runs a
// thirty-minute wait in milliseconds.
#include <cstdint>
#include <string>

class TProgressFrame {
public:
    virtual ~TProgressFrame() = default;

    // Shows the frame with the flow's message and n steps (n <= 0 hides the step gauge); step 1, clock off.
    void ShowProgressFrame(const std::string& text, int stepCount);
    void HideProgressFrame();
    void SetStepCount(int stepCount);
    // Switching the clock on restarts it at 00:00:00.
    void SetStep(int step, bool clock);
    void SetStepProgress(int step, int percent);
    // n times: one second through the clock port, then pending messages.
    void WaitSeconds(int seconds);
    // Whole seconds since the clock was last switched on (0 while it never ran).
    int64_t ElapsedSeconds() const;
    // The clock text "hh:nn:ss" (modulo 24 hours).
    std::string ClockText() const;

    bool Visible() const { return visible_; }
    const std::string& Text() const { return text_; }
    int StepCount() const { return stepCount_; }
    int Step() const { return step_; }
    int Percent() const { return percent_; }
    bool ClockRunning() const { return clockRunning_; }

protected:
    // Front ends repaint from the state above.
    virtual void Changed() {}

private:
    bool visible_ = false;
    std::string text_;
    int stepCount_ = 0;
    int step_ = 1;
    int percent_ = 0;
    bool clockRunning_ = false;
    int64_t clockStart_ = 0;
    int64_t clockStopped_ = 0;
};

// Console front end: prints the flow's message and each step as "[progress] …" lines when verbose.
class TConsoleProgressFrame : public TProgressFrame {
public:
    explicit TConsoleProgressFrame(bool verbose = false) : verbose_(verbose) {}

protected:
    void Changed() override;

private:
    bool verbose_;
    std::string lastLine_;
};
