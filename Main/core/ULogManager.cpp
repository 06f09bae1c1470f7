#include "ULogManager.h"

#include "UGlobal.h"
#include "UdsAdoDBKit.h"
#include "UdsClock.h"
#include "UdsDateUtils.h"
#include "UdsStrUtils.h"

bool TLogManager::AddLog(const std::string& text) {
    SQL = TdsStrUtils::Format("INSERT INTO S_OpLog(FOpTime, FTaxMedia, FUserCode, FUserName, FOpContent) "
                              "VALUES(%s, %s, %s, %s, %s)",
                              {TdsStrUtils::QuotedStr(TdsDateUtils::FormatDateTime(TdsClock::Now(), true)),
                               TdsStrUtils::QuotedStr(""), TdsStrUtils::QuotedStr(Global->UserInfo->Code),
                               TdsStrUtils::QuotedStr(Global->UserInfo->Name), TdsStrUtils::QuotedStr(text)});
    return Global->TaxpayerDB->ExecSQL(SQL) == 1;
}

bool TLogManager::LoadLog(TdsDataSet& dataSet) {
    SQL = "SELECT * FROM S_OpLog ORDER BY FOpTime DESC";
    return Global->TaxpayerDB->OpenQuery(dataSet, SQL) >= 0;
}

bool TLogManager::ClearLog() {
    SQL = "DELETE FROM S_OpLog";
    return Global->TaxpayerDB->ExecSQL(SQL) >= 0;
}
