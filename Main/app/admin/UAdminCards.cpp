// brindle-admin cards BASE --taxpayer ID (--single NUMBER DISK [REMARK] | [--main NUMBER DISK [REMARK]]
// --branch NUMBER DISK [REMARK] ...): writes the tax IC card register of an installation's taxpayer
// database as the register dialog's "确定" does, replacing the register as a whole.
#include "admin/UAdminCommand.h"

#include "UInstallation.h"
#include "UTaxMediaBiz.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsIOUtils.h"

#include <iostream>

namespace {

bool IsOption(const std::string& arg) {
    return arg.size() > 2 && arg.compare(0, 2, "--") == 0;
}

// Characters, not bytes: the grids count what the user types.
size_t CharCount(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

// NUMBER DISK [REMARK] after an option; false when there are not two or three values.
bool TakeEntry(const std::vector<std::string>& args, size_t& i, TCardEntry& entry) {
    std::vector<std::string> values;
    while (i + 1 < args.size() && !IsOption(args[i + 1]) && values.size() < 3)
        values.push_back(args[++i]);
    if (values.size() < 2)
        return false;
    entry.Number = values[0];
    entry.DiskNumber = values[1];
    entry.Remark = values.size() > 2 ? values[2] : "";
    return true;
}

// The limits of the dialog's cells, which cannot take more.
std::string CheckEntry(const TCardEntry& entry, bool remarkLimited) {
    std::string number = TTaxMediaBiz::PadNumber(entry.Number);
    if (number.size() > TTaxMediaBiz::kNumberLength)
        return "the card number \"" + entry.Number + "\" is longer than 14 characters";
    if (CharCount(entry.DiskNumber) > TTaxMediaBiz::kDiskNumberLength)
        return "the tax-disk number \"" + entry.DiskNumber + "\" is longer than 20 characters";
    if (remarkLimited && CharCount(entry.Remark) > TTaxMediaBiz::kRemarkLength)
        return "the remark \"" + entry.Remark + "\" is longer than 8 characters";
    return "";
}

int Cards(const std::vector<std::string>& args) {
    std::string base, taxpayer;
    bool haveSingle = false, haveMain = false;
    TCardEntry single, mainCard;
    std::vector<TCardEntry> branches;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--taxpayer") {
            if (i + 1 >= args.size() || IsOption(args[i + 1]))
                return AdminUsage("cards");
            taxpayer = args[++i];
        } else if (arg == "--single") {
            if (haveSingle || !TakeEntry(args, i, single))
                return AdminUsage("cards");
            haveSingle = true;
        } else if (arg == "--main") {
            if (haveMain || !TakeEntry(args, i, mainCard))
                return AdminUsage("cards");
            haveMain = true;
        } else if (arg == "--branch") {
            TCardEntry entry;
            if (!TakeEntry(args, i, entry))
                return AdminUsage("cards");
            branches.push_back(entry);
        } else if (!IsOption(arg) && base.empty()) {
            base = arg;
        } else {
            return AdminUsage("cards");
        }
    }
    if (base.empty() || taxpayer.empty() || haveSingle == (haveMain || !branches.empty()))
        return AdminUsage("cards");
    if (!haveSingle && branches.empty())
        return AdminFail("a main card needs at least one --branch card");
    if (branches.size() > static_cast<size_t>(TTaxMediaBiz::kExtensionRows))
        return AdminFail("at most 128 branch cards can be registered");

    std::string error;
    if (!TInstallation::CheckTaxpayerID(taxpayer, error))
        return AdminFail(error);
    std::string problem = haveSingle ? CheckEntry(single, true) : CheckEntry(mainCard, false);
    for (const TCardEntry& b : branches)
        if (problem.empty())
            problem = CheckEntry(b, true);
    if (!problem.empty())
        return AdminFail(problem);

    TdsStrings script;
    std::string warning;
    if (!TTaxMediaBiz::BuildSaveScript(haveSingle, single, mainCard, branches, script, warning))
        return AdminFail(warning);

    std::string file = TdsIOUtils::IncludeSlash(base) + "dat/" + taxpayer + "/Brindle.mdb";
    if (!TdsIOUtils::FileExists(file))
        return AdminFail("no taxpayer database \"" + file + "\" (run brindle-admin init first)");
    TdsAdoDBKit kit;
    if (!kit.Connect(file, TInstallation::kDatabasePassword, false, error))
        return AdminFail("cannot open \"" + file + "\": " + error);
    if (TTaxMediaBiz::SaveScript(kit, script) <= 0)
        return AdminFail("the card register was not saved");

    // What is stored now, as the register lists it.
    TVirtualTable cards;
    if (kit.OpenQuery(cards, "SELECT * FROM KDR_ICCards ORDER BY FKind, FOrder") < 0)
        return aeFailed;
    for (cards.First(); !cards.Eof(); cards.Next())
        std::cout << cards.FieldByName("FKind").AsString() << "\t" << cards.FieldByName("FOrder").AsString()
                  << "\t" << cards.FieldByName("FNumber").AsString() << "\t"
                  << cards.FieldByName("FDiskNumber").AsString() << "\t"
                  << cards.FieldByName("FRemark").AsString() << "\n";
    std::cout.flush();
    return std::cout ? aeOK : aeFailed;
}

TAdminRegistrar registrar("cards",
                          "BASE --taxpayer ID (--single NUMBER DISK [REMARK] | [--main NUMBER DISK [REMARK]] "
                          "--branch NUMBER DISK [REMARK]...)",
                          Cards);

} // namespace
