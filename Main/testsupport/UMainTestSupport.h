#pragma once
// Scripted front ends of the main program's ports for tests.
#include "UModalForms.h"
#include "UProgressFrame.h"
#include "UdsBusyForm.h"

#include <deque>
#include <string>
#include <vector>

// Records every state the frame shows ("show <text> <n>", "step <s> clock|noclock", "hide").
class TRecordingProgressFrame : public TProgressFrame {
public:
    std::vector<std::string> Shown; // the texts of ShowProgressFrame, in order

protected:
    void Changed() override;
};

// Answers every modal form from a script; records which forms were opened.
class TScriptedModalForms : public TModalForms {
public:
    std::vector<std::string> Opened; // "settings", "password", "notices", "prompt", "chooser", "result <id>"

    std::deque<int> SettingsResults;     // default mrCancel
    std::deque<int> PasswordResults;     // default mrCancel
    std::deque<int> PromptResults;       // default mrNo
    std::deque<TCardAndDisk> Choices;    // empty: the chooser is cancelled
    std::deque<int> ResultDialogResults; // default mrCancel

    int ShowSystemSettings() override;
    int ShowPasswordSetting() override;
    void ShowNotices() override;
    int ShowDeclarePrompt() override;
    bool SelectCardAndDisk(TCardAndDisk& choice) override;
    int ShowDeclareResult(bool fromUnlock, const std::string& acceptID) override;
};

// A busy indicator that records its texts and can be told to report a press of its cancel button.
class TRecordingBusyForm : public TdsBusyForm {
public:
    std::vector<std::string> Texts;
    // Cancel is reported from the n-th SetProgress call on (0: never).
    int CancelAtProgress = 0;

protected:
    void DoShow(void* container, int animation, bool cancelAllowed) override;
    void DoProgress(int percent) override;
    void DoHide(void*) override {}

private:
    int progressCalls_ = 0;
};

// A complete installation for the taxpayer under base (TInstallation with its defaults, the program
// file in base/bin/); false with the reason when it fails.
bool InstallTestBase(const std::string& base, const std::string& taxpayer, std::string& error);
// InstallTestBase, then the global state over it for that taxpayer (medium kind "K") with the taxpayer
// database open; false with the reason when a step fails. The caller frees it with FreeGlobal.
bool OpenTestInstallation(const std::string& base, const std::string& taxpayer, std::string& error);
