#pragma once
// The tax IC card register (KDR_ICCards of the taxpayer database): one ordinary card, or a main card with
// its extension cards, each paired with a tax disk. The register dialog and brindle-admin save it through
// the same statements.
#include "UBusiness.h"

#include <string>
#include <vector>

class TdsDBKit;

// One row of the register as the dialog's grids hold it.
struct TCardEntry {
    std::string Number;
    std::string DiskNumber;
    std::string Remark;
};

class TTaxMediaBiz : public TBusiness {
public:
    static constexpr int kNumberLength = 14;
    static constexpr int kDiskNumberLength = 20;
    static constexpr int kRemarkLength = 8;
    static constexpr int kExtensionRows = 128;

    // The register ordered by FKind, then FNumber (orderByNumber) or FOrder, filtered to the
    // main/extension rows; when there are none the register is in single mode and the filter shows
    // the ordinary row. False when the statement failed.
    bool LoadCards(bool orderByNumber, TVirtualTable& cards, bool& singleMode);

    // A card number as a left-leaving cell leaves it: trimmed, and a non-empty text left-padded with
    // "0" to 14 characters.
    static std::string PadNumber(const std::string& text);

    // The statements of the dialog's "确定": the delete and one insert per stored row. False with the
    // warning the dialog shows ("税控IC卡编号不唯一！", "税控IC卡编号（分机）不能为空！") when the
    // content cannot be saved; nothing is then to be run.
    static bool BuildSaveScript(bool singleMode, const TCardEntry& single, const TCardEntry& mainCard,
                                const std::vector<TCardEntry>& extensions, TdsStrings& script,
                                std::string& warning);
    // Runs the statements as one transaction; the rows written, or a negative count after the kit
    // reported the failure (the previous register stays).
    static int SaveScript(TdsDBKit& database, const TdsStrings& script);
};
