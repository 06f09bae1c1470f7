#pragma once
// The modal forms the business flows open. The Qt front end shows real dialogs; the console front end
// answers from its command-line flags; tests answer from a script. The HTTP client's own prompts
// (client certificate, doubtful server certificate, proxy credentials) belong to that client.
#include <string>

// Modal results as the forms return them.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

// The medium chosen for one declaration operation.
struct TCardAndDisk {
    std::string CardNumber;
    std::string CardCaption;
    std::string DiskNumber;
    std::string DiskCaption;
};

class TModalForms {
public:
    virtual ~TModalForms() = default;
    // The system settings dialog; mrOk when the user saved.
    virtual int ShowSystemSettings() = 0;
    // The network password dialog; mrOk when the password was changed.
    virtual int ShowPasswordSetting() = 0;
    // The notices dialog over the stored notices.
    virtual void ShowNotices() = 0;
    // The declaration prompt: mrYes for "已打印", mrNo for "未打印".
    virtual int ShowDeclarePrompt() = 0;
    // The card-and-disk chooser over the registered cards (the implementation reads them); true with
    // the chosen row, false when cancelled.
    virtual bool SelectCardAndDisk(TCardAndDisk& choice) = 0;
    // The result dialog for an acceptance number; mrOk only through "开始清卡" (offered when fromUnlock).
    virtual int ShowDeclareResult(bool fromUnlock, const std::string& acceptID) = 0;
};

// The medium captions: the number, followed by the remark in "【" "】" when there is one.
std::string MediumCaption(const std::string& number, const std::string& remark);
