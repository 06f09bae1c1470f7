#include "UTaxMediaBiz.h"

#include "UGlobal.h"
#include "UdsAdoDBKit.h"
#include "UdsDBKit.h"

#include <set>

namespace {

// Values sit between the quotes of the statement: inner quotes are doubled, so a remark with a quote
// cannot end the literal early.
std::string Inside(const std::string& value) {
    return TdsStrUtils::ReplaceAll(value, "'", "''");
}

std::string Insert(const std::string& number, const char* kind, const std::string& remark,
                   const std::string& order, const std::string& diskNumber) {
    return TdsStrUtils::Format(
        "INSERT INTO KDR_ICCards(FNumber, FKind, FEnabled, FRemark, FOrder, FDiskNumber) "
        "VALUES ('%s', '%s', True, '%s', '%s', '%s')",
        {Inside(number), kind, Inside(remark), order, Inside(diskNumber)});
}

std::string OrderText(int n) {
    std::string s = std::to_string(n);
    return s.size() < 3 ? std::string(3 - s.size(), '0') + s : s;
}

} // namespace

bool TTaxMediaBiz::LoadCards(bool orderByNumber, TVirtualTable& cards, bool& singleMode) {
    singleMode = false;
    SQL = std::string("SELECT * FROM KDR_ICCards ORDER BY FKind, ") + (orderByNumber ? "FNumber" : "FOrder");
    if (Global->TaxpayerDB->OpenQuery(cards, SQL) < 0)
        return false;
    cards.SetFilterText("FKind <> '0'");
    cards.SetFiltered(true);
    if (cards.IsEmpty()) {
        singleMode = true;
        cards.SetFilterText("FKind = '0'");
    }
    return true;
}

std::string TTaxMediaBiz::PadNumber(const std::string& text) {
    std::string number = TdsStrUtils::Trim(text);
    if (!number.empty() && number.size() < kNumberLength)
        number = std::string(kNumberLength - number.size(), '0') + number;
    return number;
}

bool TTaxMediaBiz::BuildSaveScript(bool singleMode, const TCardEntry& single, const TCardEntry& mainCard,
                                   const std::vector<TCardEntry>& extensions, TdsStrings& script,
                                   std::string& warning) {
    script.Clear();
    warning.clear();
    script.Add("DELETE FROM KDR_ICCards");
    if (singleMode) {
        // The ordinary row is stored even without a number.
        script.Add(Insert(PadNumber(single.Number), "0", single.Remark, "000", single.DiskNumber));
        return true;
    }
    std::string mainNumber = PadNumber(mainCard.Number);
    if (!mainNumber.empty())
        script.Add(Insert(mainNumber, "1", mainCard.Remark, "000", mainCard.DiskNumber));
    std::set<std::string> taken;
    int count = 0;
    for (const TCardEntry& e : extensions) {
        std::string number = PadNumber(e.Number);
        if (number.empty())
            continue;
        if (taken.count(number) || number == mainNumber) {
            warning = "税控IC卡编号不唯一！";
            script.Clear();
            return false;
        }
        taken.insert(number);
        script.Add(Insert(number, "2", e.Remark, OrderText(++count), e.DiskNumber));
    }
    if (count == 0) {
        warning = "税控IC卡编号（分机）不能为空！";
        script.Clear();
        return false;
    }
    return true;
}

int TTaxMediaBiz::SaveScript(TdsDBKit& database, const TdsStrings& script) {
    return database.ExecScript(script);
}
