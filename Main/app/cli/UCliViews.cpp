// brindle-cli … history | log | cards: the lists of the declaration history "抄报历史", the operation log
// "日志管理" and the card register "税控IC卡维护", with the headings of their windows, one row per line and
// the columns separated by tabs.
#include "cli/UCliCommand.h"

#include "UDeclareBiz.h"
#include "UGlobal.h"
#include "ULogManager.h"
#include "UTaxMediaBiz.h"
#include "UVirtualTable.h"
#include "UdsDialogs.h"

#include <iostream>

namespace {

struct TColumn {
    const char* Field;
    const char* Heading;
};

// A value must not split its line.
std::string Cell(const std::string& value) {
    return TdsStrUtils::ReplaceAll(TdsConsoleDialogs::OneLine(value), "\t", " ");
}

void PrintTable(TVirtualTable& table, const std::vector<TColumn>& columns) {
    for (size_t c = 0; c < columns.size(); ++c)
        std::cout << (c ? "\t" : "") << columns[c].Heading;
    std::cout << "\n";
    for (table.First(); !table.Eof(); table.Next()) {
        for (size_t c = 0; c < columns.size(); ++c)
            std::cout << (c ? "\t" : "") << Cell(table.FieldByName(columns[c].Field).AsString());
        std::cout << "\n";
    }
}

int Done() {
    std::cout.flush();
    return std::cout ? ceOK : ceFailed;
}

int History(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("history");
    TDeclareBiz biz;
    TVirtualTable rows;
    if (!biz.QueryDeclarations(rows))
        return ceFailed;
    std::cout << "抄报历史\n";
    PrintTable(rows, {{"FDeclareTime", "申报时间"},
                      {"FMediaID", "税控IC卡编号"},
                      {"FAcceptID", "受理序号"},
                      {"FUnlockTime", "清卡解锁时间"}});
    return Done();
}

int ShowLog(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("log");
    TVirtualTable rows;
    if (!Global->LogManager->LoadLog(rows))
        return ceFailed;
    std::cout << "日志管理\n";
    PrintTable(rows, {{"FOpTime", "操作时间"},
                      {"FUserCode", "用户代码"},
                      {"FUserName", "用户名称"},
                      {"FOpContent", "操作内容"}});
    return Done();
}

// The register as its dialog shows it: the mode's radio button, then its grid (or grids).
int Cards(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("cards");
    TTaxMediaBiz biz;
    TVirtualTable cards;
    bool single = false;
    if (!biz.LoadCards(false, cards, single))
        return ceFailed;
    std::cout << "税控IC卡维护\n";
    if (single) {
        std::cout << "(*) 普通税控IC卡、报税盘\n";
        PrintTable(cards, {{"FNumber", "税控IC卡编号"}, {"FDiskNumber", "报税盘编号"}, {"FRemark", "备注"}});
        return Done();
    }
    std::cout << "(*) 主分机卡、报税盘\n";
    for (const char* kind : {"1", "2"}) {
        cards.SetFilterText(std::string("FKind = '") + kind + "'");
        PrintTable(cards, {{"FNumber", *kind == '1' ? "税控IC卡编号（主机）" : "税控IC卡编号（分机）"},
                           {"FDiskNumber", "报税盘编号"},
                           {"FRemark", "备注"}});
    }
    return Done();
}

TCliRegistrar historyList("history", "", History);
TCliRegistrar logList("log", "", ShowLog);
TCliRegistrar cardsList("cards", "", Cards);

} // namespace
