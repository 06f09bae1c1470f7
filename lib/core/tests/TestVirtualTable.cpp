// The in-memory table: navigation, editing, filter and sort, copying.
#include "UVirtualTable.h"
#include "UdsExceptions.h"

#include <gtest/gtest.h>

namespace {

// FKind FTaxKind FUserCode FNumber — five records in stored order.
void FillSample(TVirtualTable& t) {
    t.AddField("FKind", ftString, 2);
    t.AddField("FTaxKind", ftString, 2);
    t.AddField("FUserCode", ftString, 10);
    t.AddField("FNumber", ftInteger);
    t.Open();
    t.AppendRecord({TdsValue::Text("1"), TdsValue::Text("1"), TdsValue::Text("x"), TdsValue::Integer(3)});
    t.AppendRecord({TdsValue::Text("0"), TdsValue::Text("1"), TdsValue::Text("y"), TdsValue::Integer(1)});
    t.AppendRecord({TdsValue::Text("1"), TdsValue::Text("0"), TdsValue::Text("x"), TdsValue::Integer(5)});
    t.AppendRecord(
        {TdsValue::Text("2"), TdsValue::Text("0"), TdsValue::Text("O'Brien"), TdsValue::Integer(2)});
    t.AppendRecord({TdsValue::Text(""), TdsValue::Text("1"), TdsValue::Text("z"), TdsValue::Integer(4)});
}

// FNumber of the visible records, in view order.
std::vector<int64_t> Numbers(TVirtualTable& t) {
    std::vector<int64_t> out;
    for (t.First(); !t.Eof(); t.Next())
        out.push_back(t.FieldByName("FNumber").AsInteger());
    return out;
}

std::vector<int64_t> StoredNumbers(const TVirtualTable& t) {
    std::vector<int64_t> out;
    int field = t.FieldIndex("FNumber");
    for (int r = 0; r < t.StoredRecordCount(); ++r)
        out.push_back(t.StoredValue(r, field).AsInteger());
    return out;
}

using N = std::vector<int64_t>;

} // namespace

TEST(VirtualTable, NavigationAndFieldAccess) {
    TVirtualTable t;
    EXPECT_EQ(t.ClassName(), "TVirtualTable");
    FillSample(t);
    EXPECT_EQ(t.RecordCount(), 5);
    t.First();
    EXPECT_TRUE(t.Bof());
    EXPECT_EQ(t.RecNo(), 1);
    EXPECT_EQ(t.FieldByName("fusercode").AsString(), "x"); // names ignore case
    EXPECT_EQ(t.Field(3).AsInteger(), 3);
    t.Next();
    t.Next();
    EXPECT_EQ(t.RecNo(), 3);
    t.Prior();
    EXPECT_EQ(t.FieldByName("FUserCode").AsString(), "y");
    t.Last();
    EXPECT_EQ(t.FieldByName("FNumber").AsInteger(), 4);
    t.Next();
    EXPECT_TRUE(t.Eof());
    EXPECT_THROW(t.FieldByName("Nope"), EdsError);

    // Close keeps the data but shows nothing; Open shows it again.
    t.Close();
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(t.RecordCount(), 0);
    EXPECT_THROW(t.Append(), EdsError);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 5);
    EXPECT_EQ(t.RecNo(), 1);
}

TEST(VirtualTable, EditPostCancelAndWritingRules) {
    TVirtualTable t;
    FillSample(t);
    t.SetRecNo(2);
    EXPECT_THROW(t.FieldByName("FKind").SetAsString("9"), EdsError); // browse state
    t.Edit();
    EXPECT_EQ(t.State(), vtsEdit);
    t.FieldByName("FKind").SetAsString("9");
    t.FieldByName("FNumber").SetAsString(" 12 "); // text into an integer column converts
    t.Post();
    EXPECT_EQ(t.State(), vtsBrowse);
    EXPECT_EQ(t.StoredValue(1, 0), TdsValue::Text("9"));
    EXPECT_EQ(t.StoredValue(1, 3), TdsValue::Integer(12));

    t.Edit();
    t.FieldByName("FKind").SetAsString("changed");
    t.Cancel();
    EXPECT_EQ(t.FieldByName("FKind").AsString(), "9");

    // Values that do not fit their column are refused, not truncated.
    t.Edit();
    EXPECT_THROW(t.FieldByName("FNumber").SetAsString("abc"), EdsError);
    EXPECT_THROW(t.FieldByName("FNumber").SetAsInteger(int64_t{1} << 40), EdsError);
    t.Cancel();

    // Moving the cursor posts a pending edit.
    t.Edit();
    t.FieldByName("FUserCode").SetAsString("moved");
    t.Next();
    EXPECT_EQ(t.State(), vtsBrowse);
    EXPECT_EQ(t.StoredValue(1, 2), TdsValue::Text("moved"));
}

TEST(VirtualTable, AppendInsertDeleteClear) {
    TVirtualTable t;
    t.AddField("A");
    t.AddField("N", ftInteger);
    t.Open();
    t.Edit(); // editing an empty table starts a new record
    EXPECT_EQ(t.State(), vtsInsert);
    t.FieldByName("A").SetAsString("first");
    t.Post();
    t.Append();
    t.FieldByName("A").SetAsString("third");
    t.Post();
    t.First();
    t.Next();
    t.Insert(); // before the current record, in stored order too
    t.FieldByName("A").SetAsString("second");
    EXPECT_TRUE(t.FieldByName("N").IsNull());
    t.Post();
    ASSERT_EQ(t.StoredRecordCount(), 3);
    EXPECT_EQ(t.StoredValue(1, 0).AsString(), "second");

    t.Append();
    t.FieldByName("A").SetAsString("dropped");
    t.Cancel();
    EXPECT_EQ(t.RecordCount(), 3);

    t.SetRecNo(2);
    t.Delete();
    EXPECT_EQ(t.RecordCount(), 2);
    EXPECT_EQ(t.FieldByName("A").AsString(), "third"); // the next record becomes current
    EXPECT_EQ(t.StoredValue(0, 0).AsString(), "first");

    // A column added later is null in the existing records.
    t.AddField("Later");
    EXPECT_TRUE(t.StoredValue(0, 2).IsNull());
    EXPECT_THROW(t.AddField("later"), EdsError);

    t.Clear();
    EXPECT_EQ(t.RecordCount(), 0);
    EXPECT_EQ(t.FieldCount(), 3);
    EXPECT_TRUE(t.Eof());
    EXPECT_THROW(t.Delete(), EdsError);
}

TEST(VirtualTable, FilterTexts) {
    struct Case {
        const char* filter;
        N expected;
    } cases[] = {
        {"FKind <> '0'", {3, 5, 2, 4}},
        {"FKind = '1'", {3, 5}},
        {"FTaxKind = '1'", {3, 1, 4}},
        {"FUserCode = 'x'", {3, 5}},
        {"fusercode = 'O''Brien'", {2}},
        {"FNumber >= 2 AND FNumber < 4", {3, 2}},
        {"FNumber > 2.5", {3, 5, 4}},
        {"FNumber <= '2'", {1, 2}}, // a numeric column compares a quoted number numerically
        {"FKind > 0", {3, 5, 2}},   // text against a number: numeric where the text is one
        {"FKind < '1'", {1, 4}},    // text against text: byte order, empty first
        {"NOT (FKind = '1') AND FTaxKind = '1'", {1, 4}},
        {"FKind = '1' OR FUserCode = 'z' AND FNumber = 1", {3, 5}},
        {"(FKind = '1' OR FUserCode = 'z') AND NOT FNumber = 5", {3, 4}},
        {"[FKind] = FTaxKind", {3}},
        {"FKind = '1' and ftaxkind = '0'", {5}},
        {"", {3, 1, 5, 2, 4}},
    };
    TVirtualTable t;
    FillSample(t);
    t.SetFiltered(true);
    for (const auto& c : cases) {
        t.SetFilterText(c.filter);
        EXPECT_EQ(Numbers(t), c.expected) << c.filter;
    }
    t.SetFilterText("FKind = '1'");
    t.SetFiltered(false);
    EXPECT_EQ(t.RecordCount(), 5);
}

TEST(VirtualTable, BadFilterTextsRaiseAndKeepTheOldFilter) {
    TVirtualTable t;
    FillSample(t);
    t.SetFilterText("FKind = '1'");
    t.SetFiltered(true);
    for (const char* bad : {"FKind =", "FKind = 'x", "Nope = '1'", "(FKind = '1'", "FKind '1'",
                            "FKind = '1' AND", "FKind == '1'", "FKind = '1' FKind = '2'", "FKind ! '1'"}) {
        try {
            t.SetFilterText(bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const EdsError& e) {
            EXPECT_NE(std::string(e.what()).find("invalid filter"), std::string::npos) << e.what();
        }
        EXPECT_EQ(t.FilterText(), "FKind = '1'");
        EXPECT_EQ(t.RecordCount(), 2);
    }
    try {
        t.SetFilterText("Missing = '1'");
        ADD_FAILURE() << "accepted an unknown field";
    } catch (const EdsError& e) {
        EXPECT_NE(std::string(e.what()).find("unknown field \"Missing\""), std::string::npos) << e.what();
    }
}

TEST(VirtualTable, SortOrders) {
    struct Case {
        const char* order;
        N expected;
    } cases[] = {
        {"FKind ASC; FNumber DESC", {4, 1, 5, 3, 2}},
        {"FNumber", {1, 2, 3, 4, 5}},
        {"FNumber DESC", {5, 4, 3, 2, 1}},
        {"FTaxKind", {5, 2, 3, 1, 4}},      // stable: equal keys keep stored order
        {"FTaxKind DESC", {3, 1, 4, 5, 2}}, // stable in descending order too
        {"fusercode desc; FKind", {4, 1, 3, 5, 2}},
        {"", {3, 1, 5, 2, 4}},
    };
    TVirtualTable t;
    FillSample(t);
    for (const auto& c : cases) {
        t.SetIndexFieldNames(c.order);
        EXPECT_EQ(Numbers(t), c.expected) << c.order;
    }
    t.SetIndexFieldNames("FNumber");
    EXPECT_THROW(t.SetIndexFieldNames("FKind; Nope DESC"), EdsError);
    EXPECT_EQ(Numbers(t), (N{1, 2, 3, 4, 5}));

    // Records appended under an order take their place in it.
    t.AppendRecord({TdsValue::Text("1"), TdsValue::Text("1"), TdsValue::Text("w"), TdsValue::Integer(0)});
    EXPECT_EQ(Numbers(t), (N{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(StoredNumbers(t), (N{3, 1, 5, 2, 4, 0}));
}

TEST(VirtualTable, EditingThroughAFilteredSortedViewHitsTheStoredRecord) {
    TVirtualTable t;
    FillSample(t);
    t.SetFilterText("FKind = '1'");
    t.SetFiltered(true);
    t.SetIndexFieldNames("FNumber DESC");
    ASSERT_EQ(Numbers(t), (N{5, 3}));

    t.First(); // FNumber 5 = stored record 3
    t.Edit();
    t.FieldByName("FUserCode").SetAsString("edited");
    t.Post();
    EXPECT_EQ(t.StoredValue(2, 2).AsString(), "edited");
    EXPECT_EQ(t.StoredValue(0, 2).AsString(), "x");

    // A record edited out of the filter leaves the view.
    t.SetRecNo(2); // FNumber 3 = stored record 1
    t.Edit();
    t.FieldByName("FKind").SetAsString("0");
    t.Post();
    EXPECT_EQ(Numbers(t), (N{5}));
    EXPECT_EQ(t.StoredValue(0, 0).AsString(), "0");

    // Appending into a filtered view: the record stays only if it matches.
    t.Append();
    t.FieldByName("FKind").SetAsString("1");
    t.FieldByName("FNumber").SetAsInteger(9);
    t.Post();
    EXPECT_EQ(t.FieldByName("FNumber").AsInteger(), 9);
    EXPECT_EQ(Numbers(t), (N{9, 5}));

    t.First();
    t.Delete(); // FNumber 9, the last stored record
    EXPECT_EQ(StoredNumbers(t), (N{3, 1, 5, 2, 4}));
    t.SetFiltered(false);
    t.SetIndexFieldNames("");
    EXPECT_EQ(Numbers(t), (N{3, 1, 5, 2, 4}));
}

TEST(VirtualTable, AssignDataSetCopiesDefinitionsAndVisibleRecords) {
    TVirtualTable source;
    FillSample(source);
    source.SetFilterText("FTaxKind = '1'");
    source.SetFiltered(true);
    source.SetIndexFieldNames("FNumber");

    TVirtualTable target;
    target.AddField("Old");
    target.Open();
    target.AppendRecord({TdsValue::Text("gone")});
    target.Close();
    target.SetFilterText("");
    target.AssignDataSet(source);
    target.Open();
    EXPECT_EQ(target.FieldDefs(), source.FieldDefs());
    EXPECT_EQ(target.StoredRecordCount(), 3);
    EXPECT_EQ(StoredNumbers(target), (N{1, 3, 4}));
    target.AssignDataSet(target); // onto itself: nothing happens
    EXPECT_EQ(target.StoredRecordCount(), 3);
}
