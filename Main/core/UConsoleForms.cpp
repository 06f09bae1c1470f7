#include "UConsoleForms.h"

#include "UGlobal.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsDialogs.h"
#include "UdsStrUtils.h"

#include <iostream>

namespace {

// The figures of the result dialog, in its order, with their captions.
const struct {
    const char* field;
    const char* caption;
} kFigures[] = {
    {"QCKC", "期初库存"},       {"BQLG", "本期领购"},       {"BQTH", "本期退回"},
    {"BQKJ", "本期开具"},       {"QMJY", "期末结余"},       {"ZCFPFS", "正常发票份数"},
    {"ZCFPJE", "正常发票金额"}, {"ZCFPSE", "正常发票税额"}, {"ZFFPFS", "作废发票份数"},
    {"ZFFPJE", "作废发票金额"}, {"ZFFPSE", "作废发票税额"},
};

} // namespace

TConsoleModalForms::TConsoleModalForms(TConsoleFormsOptions options, std::ostream* out)
    : options_(options), out_(out) {}

std::ostream& TConsoleModalForms::Out() const {
    return out_ ? *out_ : std::cout;
}

int TConsoleModalForms::ShowSystemSettings() {
    Out() << "[dialog] 系统参数配置: not available without a window\n";
    return mrCancel;
}

int TConsoleModalForms::ShowPasswordSetting() {
    Out() << "[dialog] 网络抄报密码设置: not available without a window\n";
    return mrCancel;
}

void TConsoleModalForms::ShowNotices() {
    TVirtualTable notices;
    if (Global->TaxpayerDB->OpenQuery(notices, "SELECT * FROM KDR_Inform ORDER BY FPubDate DESC") < 0)
        return;
    Out() << "[dialog] 通知 (" << notices.RecordCount() << ")\n";
    for (notices.First(); !notices.Eof(); notices.Next()) {
        std::string title = notices.FieldByName("FTitle").AsString();
        // A notice without a title is listed by its content.
        if (TdsStrUtils::Trim(title).empty())
            title = notices.FieldByName("FContent").AsString();
        Out() << notices.FieldByName("FPubDate").AsString() << "  " << TdsConsoleDialogs::OneLine(title)
              << "\n";
    }
}

int TConsoleModalForms::ShowDeclarePrompt() {
    int result = options_.Printed ? mrYes : mrNo;
    Out() << "[dialog] 为了保证您申报数据的准确性，保证您的利益。 -> "
          << (result == mrYes ? "已打印" : "未打印") << "\n";
    return result;
}

bool TConsoleModalForms::SelectCardAndDisk(TCardAndDisk& choice) {
    TVirtualTable devices;
    if (Global->TaxpayerDB->OpenQuery(devices,
                                      "SELECT FNumber as FNum,FDiskNumber,FRemark FROM KDR_ICCARDS") < 0)
        return false;
    Out() << "[dialog] 选择报税卡、报税盘\n";
    int row = 0;
    for (devices.First(); !devices.Eof(); devices.Next())
        Out() << "  " << ++row << ". 报税卡 " << devices.FieldByName("FNum").AsString() << "  报税盘 "
              << devices.FieldByName("FDiskNumber").AsString() << "  备注 "
              << devices.FieldByName("FRemark").AsString() << "\n";
    if (options_.CardRow < 1 || options_.CardRow > devices.RecordCount()) {
        TdsDialogs::ShowWarning("请选择设备！");
        return false;
    }
    devices.SetRecNo(options_.CardRow);
    const std::string remark = devices.FieldByName("FRemark").AsString();
    choice.CardNumber = devices.FieldByName("FNum").AsString();
    choice.DiskNumber = devices.FieldByName("FDiskNumber").AsString();
    choice.CardCaption = MediumCaption(choice.CardNumber, remark);
    choice.DiskCaption = MediumCaption(choice.DiskNumber, remark);
    return true;
}

int TConsoleModalForms::ShowDeclareResult(bool fromUnlock, const std::string& acceptID) {
    TVirtualTable result;
    Global->TaxpayerDB->OpenQuery(result, "SELECT * FROM KDR_DeclareResult WHERE FAcceptID = " +
                                              TdsStrUtils::QuotedStr(acceptID));
    Out() << "[dialog] 报税结果查询  纳税人识别号: " << Global->TaxpayerID
          << "  纳税人名称: " << Global->EnterpriseName << "\n";
    Out() << "项目\t增值税专用发票\t增值税普通发票\n";
    // One column per invoice kind; a kind without a row shows empty figures.
    auto figure = [&](const char* kind, const char* field) {
        for (int r = 0; r < result.RecordCount(); ++r) {
            result.SetRecNo(r + 1);
            if (result.FieldByName("FTaxKind").AsString() == kind)
                return result.FieldByName(field).AsString();
        }
        return std::string();
    };
    for (const auto& f : kFigures)
        Out() << f.caption << "\t" << figure("1", f.field) << "\t" << figure("2", f.field) << "\n";
    if (!fromUnlock) {
        Out() << "-> 返回\n";
        return mrCancel;
    }
    int answer = options_.Yes ? mrOk : mrCancel;
    Out() << "-> " << (answer == mrOk ? "开始清卡" : "取消") << "\n";
    return answer;
}
