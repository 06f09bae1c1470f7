#include "UMainTestSupport.h"

#include "UGlobal.h"
#include "UInstallation.h"

namespace {

int Next(std::deque<int>& script, int fallback) {
    if (script.empty())
        return fallback;
    int v = script.front();
    script.pop_front();
    return v;
}

} // namespace

void TRecordingProgressFrame::Changed() {
    if (Visible() && (Shown.empty() || Shown.back() != Text()))
        Shown.push_back(Text());
}

int TScriptedModalForms::ShowSystemSettings() {
    Opened.push_back("settings");
    return Next(SettingsResults, mrCancel);
}

int TScriptedModalForms::ShowPasswordSetting() {
    Opened.push_back("password");
    return Next(PasswordResults, mrCancel);
}

void TScriptedModalForms::ShowNotices() {
    Opened.push_back("notices");
}

int TScriptedModalForms::ShowDeclarePrompt() {
    Opened.push_back("prompt");
    return Next(PromptResults, mrNo);
}

bool TScriptedModalForms::SelectCardAndDisk(TCardAndDisk& choice) {
    Opened.push_back("chooser");
    if (Choices.empty())
        return false;
    choice = Choices.front();
    Choices.pop_front();
    return true;
}

int TScriptedModalForms::ShowDeclareResult(bool, const std::string& acceptID) {
    Opened.push_back("result " + acceptID);
    return Next(ResultDialogResults, mrCancel);
}

void TRecordingBusyForm::DoShow(void*, int, bool) {
    Texts.push_back(Text());
}

void TRecordingBusyForm::DoProgress(int) {
    ++progressCalls_;
    if (CancelAtProgress > 0 && progressCalls_ >= CancelAtProgress)
        PressCancel();
}

bool InstallTestBase(const std::string& base, const std::string& taxpayer, std::string& error) {
    TInstallOptions options;
    options.BaseFolder = base;
    options.TaxpayerID = taxpayer;
    options.ProgramFile = base + "bin/Brindle";
    TInstallReport report;
    return TInstallation::Install(options, report, error);
}

bool OpenTestInstallation(const std::string& base, const std::string& taxpayer, std::string& error) {
    if (!InstallTestBase(base, taxpayer, error))
        return false;
    std::string folder = base;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    Global = new TGlobal({taxpayer, "admin", folder + "Brindle.sh"}, TGlobalFrontEnd());
    Global->TaxpayerID = taxpayer;
    Global->TaxMediaKind = "K";
    if (Global->OpenTaxpayerDatabase(Global->PathInfo->GetTaxpayerDatabaseFile()))
        return true;
    error = "cannot open the taxpayer database";
    return false;
}
