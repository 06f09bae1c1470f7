// The clear-card unlock of TDeclareBiz: the server's clear-card information, and the three steps
// QK201..QK203 in which the server clears the card through the scripts it returns. The disk script is
// never run here: each package carries a fresh copy of the disk template.
#include "UDeclareBiz.h"

#include "UGlobal.h"
#include "UProgressFrame.h"
#include "UQelPlatform.h"
#include "UdsAppLogger.h"
#include "UdsApplication.h"
#include "UdsClock.h"
#include "UdsDialogs.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

namespace {

std::string NewWorkingFile(const std::string& prefix) {
    return Global->PathInfo->GetTempFolder() + prefix + Global->TaxpayerID + TdsStrUtils::NewGuidText(false) +
           ".vtd";
}

// Copies a template of res/ over the working file; a missing template ends the run with a report.
void CopyTemplate(const std::string& name, const std::string& target) {
    std::string source = Global->PathInfo->GetResFolder() + name;
    if (!TdsIOUtils::FileExists(source))
        throw EdsError(TdsStrUtils::Format("清卡解锁脚本模板文件“%s”不存在，无法进行清卡解锁！", {source}));
    if (!TdsIOUtils::CopyFileTo(source, target))
        throw EdsError(TdsStrUtils::Format("无法复制清卡解锁脚本模板文件“%s”！", {source}));
}

// The poll loop of one unlock step, its clock on frame step `step`. answer keeps what the last poll
// returned (an "ERROR;" answer is reported by the caller).
bool WaitUnlockAnswer(TDeclareBiz& biz, TProgressFrame& frame, const std::string& stepCode, int step,
                      const std::string& acceptID, std::string& answer) {
    frame.SetStep(step, true);
    for (;;) {
        if (frame.ElapsedSeconds() / 60 >= Global->DeclareTimeOut) {
            TdsDialogs::ShowError("清卡解锁响应超时！");
            return false;
        }
        frame.WaitSeconds(3);
        TdsApplication::ProcessMessages();
        answer.clear();
        bool retry = false;
        if (!biz.PollStepAnswer(acceptID, stepCode, retry, answer)) {
            if (retry)
                continue;
            return false;
        }
        if (TdsStrUtils::StartsStr("RETRY;", answer))
            continue;
        return TdsIOUtils::FileExists(answer);
    }
}

// Uploads the card script with a fresh disk template and waits for the server's next card script.
bool UnlockStep(TDeclareBiz& biz, TProgressFrame& frame, const std::string& stepCode, int waitStep,
                std::string& card, const std::string& disk, std::string& answer, std::string& acceptID) {
    std::string package = biz.PackUnlockFiles(stepCode, card, disk);
    if (!biz.UploadStep(package, stepCode, acceptID))
        return false;
    if (!WaitUnlockAnswer(biz, frame, stepCode, waitStep, acceptID, answer))
        return false;
    card = answer;
    return true;
}

void ReportPollError(const std::string& answer) {
    if (TdsStrUtils::StartsStr("ERROR;", answer))
        TdsDialogs::ShowError(answer.substr(6) + "\r\n\r\n请重新进行清卡解锁！");
}

} // namespace

bool TDeclareBiz::FetchClearCardInfo(void* ownerWindow, const std::string& stepCode, bool& retry,
                                     std::string& answer) {
    ClearTempFolders();
    bool requestFailed = false;
    answer.clear();
    bool answered = Global->Platform->GetLastClearICInfo(ownerWindow, stepCode, requestFailed, answer);
    retry = requestFailed;
    // A refused or unreadable answer has been reported by the platform client: it is no information.
    if (requestFailed || !answered)
        return false;
    if (TdsStrUtils::StartsStr("ERROR;", answer)) {
        if (TdsStrUtils::StartsStr("BS", stepCode))
            DiscardOpenDeclarations(Global->CardNumber);
        return false;
    }
    return true;
}

bool TDeclareBiz::RunClearCardUnlock(void* ownerWindow, TProgressFrame& frame, std::string& acceptID) {
    std::string answer;
    bool result = false;
    try {
        result = RunUnlockSteps(ownerWindow, frame, answer, acceptID);
    } catch (...) {
        EndCardSession();
        ReportPollError(answer);
        throw;
    }
    EndCardSession();
    ReportPollError(answer);
    return result;
}

bool TDeclareBiz::RunUnlockSteps(void* /*ownerWindow*/, TProgressFrame& frame, std::string& answer,
                                 std::string& acceptID) {
    frame.SetStep(1, false);
    ClearTempFolders();
    std::string card = NewWorkingFile("KDR_Card_");
    std::string disk = NewWorkingFile("KDR_Disk_");
    CopyTemplate("QK_Card.vtd", card);
    CopyTemplate("QK_Disk.vtd", disk);
    if (!RunCardScript(card))
        return false;
    frame.SetStepProgress(1, 50);
    if (!CheckCardTaxpayer(card))
        return false;
    if (!UnlockStep(*this, frame, "QK201", 2, card, disk, answer, acceptID))
        return false;

    frame.SetStep(3, false);
    if (!RunCardScript(card))
        return false;
    frame.SetStepProgress(3, 50);
    std::string number = ReadCardNumber(card);
    if (number != Global->CardNumber) {
        TdsDialogs::ShowError("税控IC卡编号不一致！");
        TDeclareBiz::LogMismatch(number, Global->CardNumber);
        return false;
    }
    // The polls empty the temporary folder: the disk part is copied afresh for every package.
    CopyTemplate("QK_Disk.vtd", disk);
    if (!UnlockStep(*this, frame, "QK202", 4, card, disk, answer, acceptID))
        return false;

    frame.SetStep(5, false);
    if (!RunCardScript(card))
        return false;
    frame.SetStepProgress(5, 50);
    CopyTemplate("QK_Disk.vtd", disk);
    if (!UnlockStep(*this, frame, "QK203", 6, card, disk, answer, acceptID))
        return false;

    frame.SetStep(7, false);
    if (!RunCardScript(card))
        return false;
    frame.SetStepProgress(7, 100);
    TdsClock::Sleep(500);
    return true;
}
