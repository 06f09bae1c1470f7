// The declaration records of TDeclareBiz: one row of KDR_DeclareInfo per declaration that reached the
// server, open until its clear-card unlock sets FUnlockTime.
#include "UDeclareBiz.h"

#include "UGlobal.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsClock.h"
#include "UdsDateUtils.h"
#include "UdsStrUtils.h"

#include <cstdio>

namespace {

// A value placed between quotes the statement already has: inner quotes are doubled, so a quote in a
// value cannot end the literal early.
std::string Inside(const std::string& value) {
    return TdsStrUtils::ReplaceAll(value, "'", "''");
}

std::string Quoted(const std::string& value) {
    return TdsStrUtils::QuotedStr(value);
}

// "yyyymmddhhnnsszzz".
std::string IndexText(const TDateTime& time) {
    char ms[8];
    std::snprintf(ms, sizeof ms, "%03d", time.MilliSecond());
    return TdsDateUtils::FormatCompactDateTime(time) + ms;
}

std::string MonthText(const TDateTime& time) {
    return TdsDateUtils::FormatCompactDate(time).substr(0, 6);
}

TdsAdoDBKit& Database() {
    return *Global->TaxpayerDB;
}

} // namespace

bool TDeclareBiz::AddDeclaration(const std::string& mediaNumber, const std::string& acceptID) {
    TDateTime now = TdsClock::Now();
    // FIndex is the key: two inserts within the same millisecond (a clock that stands still, or one
    // set back) take the next free millisecond instead of failing on the key.
    TDateTime indexTime = now;
    for (int tries = 0; tries < 1000; ++tries) {
        SQL = "SELECT COUNT(*) AS N FROM KDR_DeclareInfo WHERE FIndex = " + Quoted(IndexText(indexTime));
        if (Database().OpenQuery(*vdsTemp, SQL) < 0)
            return false;
        if (vdsTemp->IsEmpty() || vdsTemp->Field(0).AsInteger() == 0)
            break;
        indexTime = indexTime.AddMilliseconds(1);
    }
    SQL = TdsStrUtils::Format(
        "INSERT INTO KDR_DeclareInfo(FIndex, FTaxMedia, FMediaID, FDeclareTime, FAcceptID, "
        "FMediaID2) VALUES('%s', '%s', '%s', '%s', '%s', '%s')",
        {Inside(IndexText(indexTime)), Inside(Global->TaxMediaKind), Inside(mediaNumber),
         Inside(TdsDateUtils::FormatDateTime(now)), Inside(acceptID), ""});
    return Database().ExecSQL(SQL) > 0;
}

bool TDeclareBiz::GetLatestDeclaration(const std::string& mediaNumber, std::string& acceptID, bool& sameMonth,
                                       std::string& unlockTime, std::string& declareTime) {
    acceptID.clear();
    sameMonth = false;
    unlockTime.clear();
    declareTime.clear();
    SQL = TdsStrUtils::Format("SELECT * FROM KDR_DeclareInfo WHERE FMediaID = %s ORDER BY FDeclareTime DESC",
                              {Quoted(mediaNumber)});
    if (Database().OpenQuery(*vdsTemp, SQL) < 0)
        return false;
    if (vdsTemp->IsEmpty())
        return true;
    vdsTemp->First();
    acceptID = vdsTemp->FieldByName("FAcceptID").AsString();
    declareTime = vdsTemp->FieldByName("FDeclareTime").AsString();
    unlockTime = vdsTemp->FieldByName("FUnlockTime").AsString();
    TDateTime declared;
    if (TdsDateUtils::ParseDateTime(declareTime, declared))
        sameMonth = MonthText(declared) == MonthText(TdsClock::Now());
    return true;
}

bool TDeclareBiz::FindOpenDeclaration(const std::string& mediaNumber, std::string& acceptID) {
    acceptID.clear();
    SQL = TdsStrUtils::Format("SELECT * FROM KDR_DeclareInfo WHERE (FUnlockTime IS NULL OR FUnlockTime = '') "
                              "AND FMediaID = %s ORDER BY FDeclareTime DESC",
                              {Quoted(mediaNumber)});
    if (Database().OpenQuery(*vdsTemp, SQL) <= 0)
        return false;
    vdsTemp->First();
    acceptID = vdsTemp->FieldByName("FAcceptID").AsString();
    return true;
}

bool TDeclareBiz::SetUnlockTime(const std::string& acceptID) {
    SQL = TdsStrUtils::Format("UPDATE KDR_DeclareInfo SET FUnlockTime = '%s' WHERE (FUnlockTime IS NULL OR "
                              "FUnlockTime = '') AND FAcceptID = %s",
                              {Inside(TdsDateUtils::FormatDateTime(TdsClock::Now())), Quoted(acceptID)});
    return Database().ExecSQL(SQL) > 0;
}

bool TDeclareBiz::DiscardOpenDeclarations(const std::string& mediaNumber) {
    SQL = TdsStrUtils::Format(
        "DELETE FROM KDR_DeclareInfo WHERE (FUnlockTime IS NULL OR FUnlockTime = '') AND FMediaID = %s",
        {Quoted(mediaNumber)});
    return Database().ExecSQL(SQL) >= 0;
}

bool TDeclareBiz::QueryDeclarations(TdsDataSet& target, const std::string& condition) {
    SQL = TdsStrUtils::Format("SELECT * FROM KDR_DeclareInfo AS H WHERE H.FTaxMedia = %s",
                              {Quoted(Global->TaxMediaKind)});
    if (!condition.empty())
        SQL += " AND " + condition;
    return Database().OpenQuery(target, SQL) >= 0;
}
