// The regular declaration of TDeclareBiz: the medium of the run, the 30-minute rule, and the three
// steps BS201..BS203 in which the server drives the card through card scripts the client executes,
// packs with a disk script and uploads.
#include "UDeclareBiz.h"

#include "DiskUtils.h"
#include "Simulator.h"
#include "UGlobal.h"
#include "UModalForms.h"
#include "UProgressFrame.h"
#include "UQelPlatform.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsAppLogger.h"
#include "UdsApplication.h"
#include "UdsClock.h"
#include "UdsDateUtils.h"
#include "UdsDialogs.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <cstdlib>

namespace {

const std::string kNoMedium(14, '0');

bool DebugMode() {
    return Global->IsDebugMode();
}

std::string Field(TVirtualTable& table, const char* name) {
    int index = table.FieldIndex(name);
    return index < 0 || table.Field(index).IsNull() ? std::string() : table.Field(index).AsString();
}

// Steps 1 to 14 of the run; the caller closes the card session whatever happens here.
bool DeclarationSteps(TDeclareBiz& biz, TProgressFrame& frame, std::string& acceptID) {
    frame.SetStep(1, false);
    std::string card = biz.PrepareDeclareCardFile();
    std::string disk = biz.PrepareDeclareDiskFile("201");
    if (!biz.RunCardScript(card) || !biz.RunDiskScript(disk))
        return false;
    frame.SetStepProgress(1, 50);
    if (!biz.CheckCardTaxpayer(card))
        return false;
    std::string package = biz.PackDeclareFiles("BS201", card, disk);
    if (!biz.UploadStep(package, "BS201", acceptID))
        return false;
    std::string answer;
    bool retry = false;
    if (!biz.WaitDeclareAnswer(frame, "BS201", acceptID, answer, retry))
        return false;

    card = answer;
    disk = biz.PrepareDeclareDiskFile("201");
    if (!biz.RunCardScript(card) || !biz.RunDiskScript(disk))
        return false;
    package = biz.PackDeclareFiles("BS202", card, disk);
    std::string number = biz.ReadCardNumber(card);
    if (number != Global->CardNumber) {
        TdsDialogs::ShowError("税控IC卡编号不一致！");
        TDeclareBiz::LogMismatch(number, Global->CardNumber);
        return false;
    }
    if (!biz.UploadStep(package, "BS202", acceptID) ||
        !biz.WaitDeclareAnswer(frame, "BS202", acceptID, answer, retry))
        return false;

    card = answer;
    disk = biz.PrepareDeclareDiskFile("202");
    if (!biz.RunCardScript(card) || !biz.RunDiskScript(disk))
        return false;
    const std::string& diskTaxpayer = GetDiskUtils().DiskTaxpayerID;
    if (diskTaxpayer != Global->TaxpayerID) {
        TdsDialogs::ShowError("插入报税盘纳税人与当前纳税人不一致！");
        TDeclareBiz::LogMismatch(diskTaxpayer, Global->TaxpayerID);
        return false;
    }
    package = biz.PackDeclareFiles("BS203", card, disk);
    // The server has the data with this upload; the result is learnt later through the result query.
    return biz.UploadStep(package, "BS203", acceptID);
}

} // namespace

bool TDeclareBiz::ChooseCardAndDisk() {
    SQL = "SELECT * FROM KDR_ICCards";
    int count = Global->TaxpayerDB->OpenQuery(*vdsTemp, SQL);
    if (count < 0)
        return false;
    if (count == 0) {
        Global->CardNumber = Global->CardCaption = Global->DiskNumber = Global->DiskCaption = kNoMedium;
        return true;
    }
    if (count == 1) {
        vdsTemp->First();
        std::string number = Field(*vdsTemp, "FNumber");
        if (TdsStrUtils::Trim(number).empty())
            number = kNoMedium;
        std::string disk = Field(*vdsTemp, "FDiskNumber");
        std::string remark = Field(*vdsTemp, "FRemark");
        Global->CardNumber = number;
        Global->CardCaption = MediumCaption(number, remark);
        Global->DiskNumber = disk;
        Global->DiskCaption = MediumCaption(disk, remark);
        return true;
    }
    TCardAndDisk choice;
    if (!Global->ModalForms || !Global->ModalForms->SelectCardAndDisk(choice))
        return false;
    Global->CardNumber = choice.CardNumber;
    Global->CardCaption = choice.CardCaption;
    Global->DiskNumber = choice.DiskNumber;
    Global->DiskCaption = choice.DiskCaption;
    return true;
}

bool TDeclareBiz::CheckResubmitAllowed(const std::string& acceptID, const std::string& declareTime) {
    if (acceptID.empty())
        return true;
    TDateTime declared;
    if (TdsDateUtils::ParseDateTime(declareTime, declared) &&
        std::llabs(TdsClock::Now().SecondsSince(declared)) >= 1800)
        return true;
    SQL = TdsStrUtils::Format("SELECT COUNT(*) FROM KDR_DeclareResult WHERE FAcceptID = %s",
                              {TdsStrUtils::QuotedStr(acceptID)});
    if (Global->TaxpayerDB->OpenQuery(*vdsTemp, SQL) > 0) {
        vdsTemp->First();
        if (vdsTemp->Field(0).AsInteger() > 0)
            return true;
    }
    TdsDialogs::ShowWarning("您尚未查询到报税结果，请先进行报税结果查询。\r\n"
                            "如果常规报税30分钟后仍然查不到报税结果，系统允许再次常规报税。");
    return false;
}

bool TDeclareBiz::RunRegularDeclaration(TProgressFrame& frame, std::string& acceptID) {
    bool result = false;
    try {
        result = DeclarationSteps(*this, frame, acceptID);
    } catch (...) {
        EndCardSession();
        throw;
    }
    EndCardSession();
    return result;
}

bool TDeclareBiz::RunDiskScript(const std::string& diskFile) {
    return GetDiskUtils().ReadDisk(diskFile);
}

bool TDeclareBiz::CheckCardTaxpayer(const std::string& cardFile) {
    std::string fromCard = ReadCardTaxpayerID(cardFile);
    const std::string& taxpayer = Global->TaxpayerID;
    // An identifier with letters (a new-style code) is compared by its first six characters only.
    bool same = TdsStrUtils::IsDigits(taxpayer) ? fromCard == taxpayer
                                                : fromCard.substr(0, 6) == taxpayer.substr(0, 6);
    if (!same)
        TdsDialogs::ShowError("税控IC卡中的纳税人信息与当前纳税人信息不符！");
    return same;
}

bool TDeclareBiz::UploadStep(const std::string& packageFile, const std::string& stepCode,
                             std::string& acceptID) {
    if (DebugMode()) {
        acceptID = "DEBUG_AcceptID_" + stepCode;
        return true;
    }
    std::string bytes;
    if (!TdsIOUtils::TryReadTextFile(packageFile, bytes)) {
        TdsDialogs::ShowError(TdsStrUtils::Format("无法读取上传数据包“%s”！", {packageFile}));
        return false;
    }
    int upgradeFlag = 0;
    return Global->Platform->UploadData(nullptr, packageFile, upgradeFlag, acceptID, stepCode, "0", "", "",
                                        TdsIOUtils::Base64Encode(bytes),
                                        static_cast<long long>(bytes.size()));
}

bool TDeclareBiz::PollStepAnswer(const std::string& acceptID, const std::string& stepCode, bool& retry,
                                 std::string& answer) {
    ClearTempFolders();
    bool requestFailed = false;
    answer.clear();
    Global->Platform->DownloadData(nullptr, acceptID, requestFailed, answer, stepCode);
    if (requestFailed) {
        retry = true;
        return false;
    }
    retry = false;
    if (TdsStrUtils::StartsStr("ERROR;", answer)) {
        // The server dropped the declaration: an open record of it would block the next one.
        if (TdsStrUtils::StartsStr("BS", stepCode))
            DiscardOpenDeclarations(Global->CardNumber);
        return false;
    }
    return true;
}

bool TDeclareBiz::WaitDeclareAnswer(TProgressFrame& frame, const std::string& stepCode,
                                    const std::string& acceptID, std::string& answer, bool& retry) {
    if (DebugMode()) {
        retry = false;
        answer = GetSimulator()->GetDownloadFileName(stepCode);
        return true;
    }
    // The clock restarts; the step gauge stays where the run left it.
    const int percent = frame.Percent();
    frame.SetStep(frame.Step(), true);
    frame.SetStepProgress(frame.Step(), percent);
    for (;;) {
        if (frame.ElapsedSeconds() / 60 >= Global->DeclareTimeOut) {
            TdsDialogs::ShowError("常规报税响应超时！");
            return false;
        }
        frame.WaitSeconds(3);
        TdsApplication::ProcessMessages();
        if (!PollStepAnswer(acceptID, stepCode, retry, answer)) {
            if (retry)
                continue;
            if (TdsStrUtils::StartsStr("ERROR;", answer))
                TdsDialogs::ShowError(answer.substr(6) + "\r\n\r\n请重新进行常规报税！");
            return false;
        }
        if (TdsStrUtils::StartsStr("RETRY;", answer))
            continue;
        return TdsIOUtils::FileExists(answer);
    }
}

void TDeclareBiz::LogMismatch(const std::string& fromFile, const std::string& fromDatabase) {
    if (!Global->AppLogger)
        return;
    const std::string stars(100, '*');
    Global->AppLogger->Log(stars);
    Global->AppLogger->Log("File:     " + TdsIOUtils::Base64Encode(fromFile));
    Global->AppLogger->Log("Database: " + TdsIOUtils::Base64Encode(fromDatabase));
    Global->AppLogger->Log(stars);
}
