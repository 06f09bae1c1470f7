#pragma once
// The modal forms of the console front end (brindle-cli): each form answers from the command-line
// flags and prints what a user would read in it on standard output.
#include "UModalForms.h"

#include <iosfwd>

struct TConsoleFormsOptions {
    bool Yes = false;     // --yes: the result dialog of the unlock is answered with "开始清卡"
    bool Printed = false; // --printed: the declaration prompt is answered with "已打印"
    int CardRow = 0;      // --card N: the chooser's row N (from 1); 0 chooses none
};

class TConsoleModalForms : public TModalForms {
public:
    explicit TConsoleModalForms(TConsoleFormsOptions options, std::ostream* out = nullptr);

    // The settings dialogs cannot be filled in on the console; they end as cancelled.
    int ShowSystemSettings() override;
    int ShowPasswordSetting() override;
    // Lists the stored notices, newest first.
    void ShowNotices() override;
    int ShowDeclarePrompt() override;
    // Lists the registered cards; the row of --card is taken. Without it (or outside the list) the
    // chooser warns "请选择设备！" and ends as cancelled.
    bool SelectCardAndDisk(TCardAndDisk& choice) override;
    // Prints the figures of both invoice kinds as a table.
    int ShowDeclareResult(bool fromUnlock, const std::string& acceptID) override;

private:
    std::ostream& Out() const;
    TConsoleFormsOptions options_;
    std::ostream* out_;
};
