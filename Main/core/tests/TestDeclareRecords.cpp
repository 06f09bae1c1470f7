#include "UDeclareBiz.h"
#include "UGlobal.h"
#include "UMainTestSupport.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const char* kTaxpayer = "370101000000001";

// One installation and one database connection for the suite (connecting is costly); every test
// starts with an empty KDR_DeclareInfo.
class DeclareRecords : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        base_ = new TTempFolder();
        std::string error;
        if (!OpenTestInstallation(base_->Path(), kTaxpayer, error))
            setUpError_ = error;
    }
    static void TearDownTestSuite() {
        FreeGlobal();
        delete base_;
        base_ = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(setUpError_, "");
        ASSERT_GE(Global->TaxpayerDB->ExecSQL("DELETE FROM KDR_DeclareInfo"), 0);
    }

    // Every row, ordered by FIndex: column -> text.
    std::vector<std::map<std::string, std::string>> Rows() {
        TVirtualTable table;
        EXPECT_GE(Global->TaxpayerDB->OpenQuery(table, "SELECT * FROM KDR_DeclareInfo ORDER BY FIndex"), 0);
        std::vector<std::map<std::string, std::string>> rows;
        for (table.First(); !table.Eof(); table.Next()) {
            std::map<std::string, std::string> row;
            for (int i = 0; i < table.FieldCount(); ++i)
                row[table.FieldDef(i).Name] = table.Field(i).IsNull() ? "<null>" : table.Field(i).AsString();
            rows.push_back(row);
        }
        return rows;
    }

    static TTempFolder* base_;
    static std::string setUpError_;
    TRecordingDialogs dialogs;
    TManualClock clock{TDateTime::Encode(2026, 12, 11, 9, 0, 0, 123)};
    TDeclareBiz biz;
};

TTempFolder* DeclareRecords::base_ = nullptr;
std::string DeclareRecords::setUpError_;

TEST_F(DeclareRecords, DeclarationsOfACardFromInsertToUnlock) {
    std::string accept, unlock, declared;
    bool sameMonth = true;
    // No row yet: success with empty outputs.
    EXPECT_TRUE(biz.GetLatestDeclaration("C1", accept, sameMonth, unlock, declared));
    EXPECT_EQ(accept + unlock + declared, "");
    EXPECT_FALSE(sameMonth);
    EXPECT_FALSE(biz.FindOpenDeclaration("C1", accept));

    ASSERT_TRUE(biz.AddDeclaration("C1", "A1"));
    clock.Advance(2000);
    ASSERT_TRUE(biz.AddDeclaration("C1", "A2"));
    ASSERT_TRUE(biz.AddDeclaration("C2", "B1"));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::map<std::string, std::string>{{"FIndex", "20261211090000123"},
                                                           {"FTaxMedia", "K"},
                                                           {"FMediaID", "C1"},
                                                           {"FDeclareTime", "2026-12-11 09:00:00"},
                                                           {"FAcceptID", "A1"},
                                                           {"FMediaID2", ""},
                                                           {"FUnlockTime", "<null>"}}));
    EXPECT_EQ(rows[1]["FIndex"], "20261211090002123");

    // The later of the two.
    EXPECT_TRUE(biz.FindOpenDeclaration("C1", accept));
    EXPECT_EQ(accept, "A2");
    EXPECT_TRUE(biz.GetLatestDeclaration("C1", accept, sameMonth, unlock, declared));
    EXPECT_EQ(accept, "A2");
    EXPECT_EQ(declared, "2026-12-11 09:00:02");
    EXPECT_TRUE(sameMonth);
    EXPECT_EQ(unlock, "");

    // Unlocking closes only the open row, once.
    clock.Set(TDateTime::Encode(2027, 1, 2, 8, 30, 15));
    EXPECT_TRUE(biz.SetUnlockTime("A2"));
    EXPECT_FALSE(biz.SetUnlockTime("A2"));
    EXPECT_FALSE(biz.SetUnlockTime("nothing"));
    EXPECT_EQ(Rows()[1]["FUnlockTime"], "2027-01-02 08:30:15");
    EXPECT_TRUE(biz.GetLatestDeclaration("C1", accept, sameMonth, unlock, declared));
    EXPECT_EQ(accept, "A2");
    EXPECT_EQ(unlock, "2027-01-02 08:30:15");
    EXPECT_FALSE(sameMonth); // declared in December, now January
    EXPECT_TRUE(biz.FindOpenDeclaration("C1", accept));
    EXPECT_EQ(accept, "A1");

    // Discarding removes the open rows of that card only.
    EXPECT_TRUE(biz.DiscardOpenDeclarations("C1"));
    rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["FAcceptID"], "A2");
    EXPECT_EQ(rows[1]["FAcceptID"], "B1");
    EXPECT_FALSE(biz.FindOpenDeclaration("C1", accept));
    EXPECT_EQ(accept, "");
    EXPECT_TRUE(biz.DiscardOpenDeclarations("C1"));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(DeclareRecords, InsertsOfOneSecondOrOneMillisecondGetTheirOwnIndex) {
    ASSERT_TRUE(biz.AddDeclaration("C1", "A1"));
    clock.Advance(5);
    ASSERT_TRUE(biz.AddDeclaration("C1", "A2"));
    // The clock did not move: the next free millisecond.
    ASSERT_TRUE(biz.AddDeclaration("C1", "A3"));
    ASSERT_TRUE(biz.AddDeclaration("C1", "A4"));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    std::vector<std::string> indices;
    for (auto& row : rows) {
        indices.push_back(row["FIndex"] + " " + row["FAcceptID"]);
        EXPECT_EQ(row["FDeclareTime"], "2026-12-11 09:00:00");
    }
    EXPECT_EQ(indices, (std::vector<std::string>{"20261211090000123 A1", "20261211090000128 A2",
                                                 "20261211090000129 A3", "20261211090000130 A4"}));
}

TEST_F(DeclareRecords, QuotesInValuesStayInsideTheirLiterals) {
    ASSERT_TRUE(biz.AddDeclaration("O'Card", "A'1"));
    ASSERT_TRUE(biz.AddDeclaration("C1", "x', 'y'); DELETE FROM KDR_DeclareInfo; --"));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["FMediaID"], "O'Card");
    EXPECT_EQ(rows[1]["FAcceptID"], "x', 'y'); DELETE FROM KDR_DeclareInfo; --");
    std::string accept;
    EXPECT_TRUE(biz.FindOpenDeclaration("O'Card", accept));
    EXPECT_EQ(accept, "A'1");
    EXPECT_TRUE(biz.SetUnlockTime("A'1"));
    EXPECT_EQ(Rows()[0]["FUnlockTime"], "2026-12-11 09:00:00");
    EXPECT_TRUE(biz.DiscardOpenDeclarations("C1"));
    EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(DeclareRecords, HistoryOfTheCurrentMediumKind) {
    ASSERT_TRUE(biz.AddDeclaration("C1", "A1"));
    clock.Advance(1000);
    ASSERT_TRUE(biz.AddDeclaration("C2", "A2"));
    ASSERT_GE(
        Global->TaxpayerDB->ExecSQL("UPDATE KDR_DeclareInfo SET FTaxMedia = 'S' WHERE FAcceptID = 'A2'"), 0);
    clock.Advance(1000);
    ASSERT_TRUE(biz.AddDeclaration("C2", "A3"));
    TVirtualTable history;
    ASSERT_TRUE(biz.QueryDeclarations(history));
    EXPECT_EQ(history.RecordCount(), 2);
    ASSERT_TRUE(biz.QueryDeclarations(history, "H.FMediaID = 'C2'"));
    ASSERT_EQ(history.RecordCount(), 1);
    history.First();
    EXPECT_EQ(history.FieldByName("FAcceptID").AsString(), "A3");
    // A condition the database refuses: false (the kit reports it).
    EXPECT_FALSE(biz.QueryDeclarations(history, "H.NoSuchColumn = 1"));
}

} // namespace
