#pragma once
// The busy indicator port. Core code shows and hides it around single requests and copies; the front
// end decides what showing means (a pop-up window, a console line, a test record).
#include <string>

// Animation kinds 0..7 (0 static picture, 1 load data, 2 communicate, 3 transfer, 4 copy file,
// 5 download, 6 upload, 7 scan); text styles 0 as is, 1 " ..." appended, 2 ", 请稍候..." appended.
class TdsBusyForm {
public:
    virtual ~TdsBusyForm() = default;

    // container: the front end's handle of the window whose controls are disabled meanwhile (may be null).
    void StartBusy(void* container, int animation, bool cancelAllowed, int textStyle,
                   const std::string& text);
    void StartBusyText(void* container, int animation, int textStyle, const std::string& text) {
        StartBusy(container, animation, false, textStyle, text);
    }
    void StartProgress(void* container, int animation, bool cancelAllowed, int textStyle,
                       const std::string& text);
    void StartProgressText(void* container, int animation, int textStyle, const std::string& text) {
        StartProgress(container, animation, false, textStyle, text);
    }
    void SetProgress(int percent);
    void StopBusy();
    bool CancelPressed() const { return cancelled_; }
    // The user answered that the operation goes on after pressing cancel.
    void ClearCancel() { cancelled_ = false; }

    bool Showing() const { return showing_; }
    bool GaugeShown() const { return gauge_; }
    const std::string& Text() const { return text_; }
    int Percent() const { return percent_; }

    static std::string ComposeText(int textStyle, const std::string& text);

protected:
    // Front ends show/hide and repaint; the base keeps the state. A front end's cancel button calls
    // PressCancel().
    virtual void DoShow(void* container, int animation, bool cancelAllowed) = 0;
    virtual void DoProgress(int percent) = 0;
    virtual void DoHide(void* container) = 0;
    void PressCancel() { cancelled_ = true; }

private:
    void Start(void* container, int animation, bool cancelAllowed, int textStyle, const std::string& text,
               bool gauge);

    void* container_ = nullptr;
    bool showing_ = false;
    bool gauge_ = false;
    bool cancelled_ = false;
    int percent_ = 0;
    std::string text_;
};

// Console front end: optionally prints "[busy] text" lines on standard error; never cancelled.
class TdsConsoleBusyForm : public TdsBusyForm {
public:
    explicit TdsConsoleBusyForm(bool verbose = false) : verbose_(verbose) {}

protected:
    void DoShow(void* container, int animation, bool cancelAllowed) override;
    void DoProgress(int) override {}
    void DoHide(void*) override {}

private:
    bool verbose_;
};
