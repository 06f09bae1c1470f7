// The result query of TDeclareBiz: the server's figures of the newest open declaration stored per
// invoice kind in KDR_DeclareResult, and the one-window comparison verdict the unlock waits for.
#include "UDeclareBiz.h"

#include "UGlobal.h"
#include "UModalForms.h"
#include "UQelPlatform.h"
#include "UdsAdoDBKit.h"
#include "UdsClock.h"
#include "UdsDialogs.h"
#include "UdsStrUtils.h"
#include "UdsXMLParser.h"

namespace {

constexpr const char* kFigures[] = {"QCKC",   "BQLG",   "BQTH",   "BQKJ",   "QMJY",  "ZCFPFS",
                                    "ZCFPJE", "ZCFPSE", "ZFFPFS", "ZFFPJE", "ZFFPSE"};

// A plain decimal number: optional sign, digits, optional fraction. The figures go into the statement
// without quotes, so nothing else may pass.
bool IsPlainNumber(const std::string& text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
        ++digits;
    }
    if (digits == 0)
        return false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        size_t fraction = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
            ++fraction;
        }
        if (fraction == 0)
            return false;
    }
    return i == text.size();
}

// The insert of one result entry; false (with the message) when a figure is no number.
bool BuildInsert(const TdsXMLNode& entry, const std::string& acceptID, std::string& sql, std::string& error) {
    sql = "INSERT INTO KDR_DeclareResult(FAcceptID, FTaxKind, FTaxMedia, QCKC, BQLG, BQTH, BQKJ, QMJY, "
          "ZCFPFS, ZCFPJE, ZCFPSE, ZFFPFS, ZFFPJE, ZFFPSE) VALUES(" +
          TdsStrUtils::QuotedStr(acceptID) + ", " + TdsStrUtils::QuotedStr(entry.Attribute("id")) + ", " +
          TdsStrUtils::QuotedStr(Global->TaxMediaKind);
    for (const char* name : kFigures) {
        std::string text = TdsStrUtils::Trim(FindNodeByPath(entry, name, false).Text());
        if (!IsPlainNumber(text)) {
            error = TdsStrUtils::Format("报税结果中的“%s”不是有效的数值：“%s”！", {name, text});
            return false;
        }
        sql += ", " + text;
    }
    sql += ")";
    return true;
}

} // namespace

bool TDeclareBiz::FetchDeclareResult(void* ownerWindow, const std::string& acceptID, std::string& answer) {
    if (!Global->Platform->DownloadBSData(ownerWindow, acceptID, answer))
        return false;
    if (TdsStrUtils::StartsStr("ERROR;", answer)) {
        DiscardOpenDeclarations(Global->CardNumber);
        return false;
    }
    return true;
}

bool TDeclareBiz::QueryDeclareResult(void* ownerWindow, const std::string& mediaNumber, bool fromUnlock) {
    std::string acceptID;
    if (!FindOpenDeclaration(mediaNumber, acceptID)) {
        TdsDialogs::ShowWarning("您尚未进行常规报税，无法查询报税结果信息！");
        return false;
    }
    ClearTempFolders();
    std::string answer;
    if (!FetchDeclareResult(ownerWindow, acceptID, answer)) {
        if (answer.empty())
            return false; // reported by the platform client
        std::string text = answer.substr(answer.size() >= 6 ? 6 : answer.size());
        if (!TdsStrUtils::ContainsText(text, "#4"))
            text += "\r\n\r\n请重新进行常规报税！";
        TdsDialogs::ShowError(text);
        return false;
    }
    if (TdsStrUtils::StartsStr("RETRY;", answer)) {
        TdsDialogs::ShowInfo(answer.substr(6) + "\r\n\r\n常规报税尚未完成，无法查询报税结果信息！");
        return false;
    }

    // The rows of this number are replaced as a whole: the delete goes first, even if the new rows
    // then fail.
    SQL = TdsStrUtils::Format("DELETE FROM KDR_DeclareResult WHERE FAcceptID = %s",
                              {TdsStrUtils::QuotedStr(acceptID)});
    std::string error;
    Global->TaxpayerDB->ExecSQL(SQL, error);
    if (!error.empty()) {
        TdsDialogs::ShowError(error);
        return false;
    }
    TdsXMLParser parser;
    if (!parser.LoadFromFile(answer, error)) {
        TdsDialogs::ShowError(error);
        return false;
    }
    SQLList.Clear();
    for (const TdsXMLNode& entry : parser.Root.ChildNodes()) {
        std::string insert;
        if (!BuildInsert(entry, acceptID, insert, error)) {
            TdsDialogs::ShowError(error);
            return false;
        }
        SQLList.Add(insert);
    }
    if (!Global->TaxpayerDB->ExecScriptOK(SQLList, error)) {
        TdsDialogs::ShowError(error);
        return false;
    }
    if (!Global->ModalForms)
        return false;
    return Global->ModalForms->ShowDeclareResult(fromUnlock, acceptID) == mrOk;
}

bool TDeclareBiz::WaitComparison(void* ownerWindow, const std::string& acceptID) {
    for (;;) {
        int verdict = 0;
        if (!Global->Platform->GetBDJG(ownerWindow, acceptID, verdict))
            return false;
        // A negative verdict is no "still comparing": it ends the wait like a failed comparison.
        if (verdict <= 0) {
            TdsDialogs::ShowError("未通过一窗式比对！");
            return false;
        }
        if (verdict == 1)
            return true;
        TdsClock::Sleep(1000);
    }
}
