#include "UTestSupport.h"
#include "UdsAdoDBKit.h"
#include "UdsExceptions.h"
#include "UdsJetSQL.h"

#include <sqlcipher/sqlite3.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char* const kPassword = "pavrid";

// Stands in for the in-memory table: records what the kit does to it and keeps what it is given.
class TFakeVirtualTable : public TdsDataSet {
public:
    std::vector<std::string> Calls;
    std::vector<TdsFieldDef> Fields;
    std::vector<std::vector<TdsValue>> Rows;
    std::string Filter = "FKind = '0'";
    bool IsActive = true;

    std::string ClassName() const override { return "TVirtualTable"; }
    void Open() override {
        Calls.push_back("Open");
        IsActive = true;
    }
    void Close() override {
        Calls.push_back("Close");
        IsActive = false;
    }
    bool Active() const override { return IsActive; }
    std::string FilterText() const override { return Filter; }
    void SetFilterText(const std::string& text) override {
        Calls.push_back("SetFilterText(" + text + ")");
        Filter = text;
    }
    int FieldCount() const override { return static_cast<int>(Fields.size()); }
    const TdsFieldDef& FieldDef(int index) const override { return Fields.at(static_cast<size_t>(index)); }
    int RecordCount() const override { return static_cast<int>(Rows.size()); }
    const TdsValue& Value(int record, int field) const override {
        return Rows.at(static_cast<size_t>(record)).at(static_cast<size_t>(field));
    }
    void AssignDataSet(const TdsDataSet& source) override {
        Calls.push_back("AssignDataSet");
        Fields = source.FieldDefs();
        Rows.clear();
        for (int r = 0; r < source.RecordCount(); ++r) {
            Rows.emplace_back();
            for (int f = 0; f < source.FieldCount(); ++f)
                Rows.back().push_back(source.Value(r, f));
        }
    }
};

class TSomething : public TdsDataSet {
public:
    std::string ClassName() const override { return "TSomething"; }
    void Open() override {}
    void Close() override {}
    bool Active() const override { return false; }
    int FieldCount() const override { return 0; }
    const TdsFieldDef& FieldDef(int) const override { throw EdsError("no fields"); }
    int RecordCount() const override { return 0; }
    const TdsValue& Value(int, int) const override { throw EdsError("no records"); }
};

// A raw connection beside the kit, to look at or lock the file the way another program would.
class TRawConnection {
public:
    explicit TRawConnection(const std::string& file) {
        EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        Exec(std::string("PRAGMA key = '") + kPassword + "'");
    }
    ~TRawConnection() { sqlite3_close_v2(db); }
    int Exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
    sqlite3* db = nullptr;
};

class DBKitTest : public ::testing::Test {
protected:
    void SetUp() override {
        file = temp / "Brindle.mdb";
        std::string errorText;
        ASSERT_TRUE(TdsAdoDBKit::CreateDatabase(file, kPassword, errorText)) << errorText;
        ASSERT_TRUE(kit.Connect(file, kPassword, false, errorText)) << errorText;
        ASSERT_EQ(kit.ExecSQL("CREATE TABLE T (FCode TEXT(15), FName TEXT(15))", errorText), -1) << errorText;
    }

    int Count(const std::string& table) {
        TdsAdoQuery query;
        kit.OpenQuery(query, "SELECT COUNT(*) FROM " + table, true);
        return static_cast<int>(query.Field(0).AsInteger());
    }

    TTempFolder temp;
    std::string file;
    TdsAdoDBKit kit;
};

} // namespace

TEST_F(DBKitTest, CreatedFileIsEncryptedAndRefusesToBeCreatedTwice) {
    std::string head = ReadFileBytes(file).substr(0, 16);
    ASSERT_EQ(head.size(), 16u);
    EXPECT_NE(head, std::string("SQLite format 3\0", 16));
    std::string errorText;
    EXPECT_FALSE(TdsAdoDBKit::CreateDatabase(file, kPassword, errorText));
    EXPECT_EQ(errorText, "数据库“" + file + "”已存在！");
}

TEST_F(DBKitTest, ConnectFillsConnectInfoAndDisconnectClearsIt) {
    EXPECT_TRUE(kit.Connected());
    EXPECT_EQ(kit.ConnectInfo->Database, file);
    EXPECT_EQ(kit.ConnectInfo->Password, kPassword);
    EXPECT_EQ(kit.ConnectInfo->Server, "");
    EXPECT_EQ(kit.ConnectInfo->UserName, "");
    EXPECT_NE(kit.ConnectionString.find("Data Source=" + file + ";"), std::string::npos);
    EXPECT_NE(kit.ConnectionString.find("Mode=Share Deny None"), std::string::npos);
    kit.Disconnect();
    EXPECT_FALSE(kit.Connected());
    EXPECT_TRUE(kit.ConnectInfo->IsEmpty());
    std::string errorText;
    EXPECT_EQ(kit.ExecSQL("DELETE FROM T", errorText), -1);
    EXPECT_FALSE(errorText.empty());
}

TEST_F(DBKitTest, ConnectFailsOnWrongKeyForeignFileAndMissingFile) {
    std::string textFile = temp / "x.mdb";
    WriteFileBytes(textFile,
                   "Provider=Microsoft.Jet.OLEDB.4.0\r\nthis is no database at all, just some text\r\n");
    const std::string notADatabase = sqlite3_errstr(SQLITE_NOTADB);
    struct Case {
        std::string file, password, expected;
    } cases[] = {
        {file, "wrong", notADatabase},
        {file, "", notADatabase},
        {textFile, kPassword, notADatabase},
        {temp / "nothing.mdb", kPassword, "数据库“" + (temp / "nothing.mdb") + "”不存在！"},
        // A folder is no database file either.
        {temp / "folder.mdb", kPassword, "数据库“" + (temp / "folder.mdb") + "”不存在！"},
    };
    fs::create_directory(temp / "folder.mdb");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " / " + c.password);
        std::string errorText;
        ASSERT_TRUE(kit.Connect(file, kPassword, false, errorText)) << errorText;
        EXPECT_FALSE(kit.Connect(c.file, c.password, false, errorText));
        EXPECT_EQ(errorText, c.expected);
        // The earlier connection is gone too: a kit holds at most one.
        EXPECT_FALSE(kit.Connected());
        EXPECT_TRUE(kit.ConnectInfo->IsEmpty());
    }
    EXPECT_FALSE(fs::exists(temp / "nothing.mdb"));
}

TEST_F(DBKitTest, ReadOnlyFileConnectsAndBecomesWritable) {
    kit.Disconnect();
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::string errorText;
    ASSERT_TRUE(kit.Connect(file, kPassword, false, errorText)) << errorText;
    EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(kit.ExecSQL("INSERT INTO T VALUES('a', 'b')", errorText), 1) << errorText;
}

TEST_F(DBKitTest, ExclusiveConnectionKeepsOthersOutUntilItDisconnects) {
    TdsAdoDBKit other;
    other.BusyTimeout = 100;
    std::string errorText;
    // Shared connections live side by side.
    ASSERT_TRUE(other.Connect(file, kPassword, false, errorText)) << errorText;
    EXPECT_EQ(other.ExecSQL("INSERT INTO T VALUES('1', 'x')", errorText), 1) << errorText;
    EXPECT_EQ(Count("T"), 1);

    ASSERT_TRUE(kit.Connect(file, kPassword, true, errorText)) << errorText;
    EXPECT_NE(kit.ConnectionString.find("Mode=Share Deny Read|Share Deny Write"), std::string::npos);
    // Even the shared connection opened before can neither read nor write now.
    EXPECT_EQ(other.ExecSQL("INSERT INTO T VALUES('2', 'y')", errorText), -1);
    EXPECT_EQ(errorText, sqlite3_errstr(SQLITE_BUSY));
    TdsAdoDBKit late;
    late.BusyTimeout = 100;
    EXPECT_FALSE(late.Connect(file, kPassword, false, errorText));
    EXPECT_EQ(errorText, sqlite3_errstr(SQLITE_BUSY));
    EXPECT_FALSE(late.Connected());
    // The exclusive owner itself works normally.
    EXPECT_EQ(kit.ExecSQL("INSERT INTO T VALUES('3', 'z')", errorText), 1) << errorText;

    kit.Disconnect();
    ASSERT_TRUE(late.Connect(file, kPassword, false, errorText)) << errorText;
    EXPECT_EQ(late.ExecSQL("INSERT INTO T VALUES('4', 'w')", errorText), 1) << errorText;
}

TEST_F(DBKitTest, StatementWaitsForAShortLockOfAnotherConnection) {
    TRawConnection raw(file);
    ASSERT_EQ(raw.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
    ASSERT_EQ(raw.Exec("INSERT INTO T VALUES('raw', 'r')"), SQLITE_OK);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        raw.Exec("COMMIT");
    });
    std::string errorText;
    int rows = kit.ExecSQL("INSERT INTO T VALUES('kit', 'k')", errorText);
    release.join();
    EXPECT_EQ(rows, 1) << errorText;
    EXPECT_EQ(Count("T"), 2);
}

TEST_F(DBKitTest, ExecSQLCountsRowsAndRunsOneStatementOnly) {
    TRecordingDialogs dialogs;
    std::string errorText = "old";
    EXPECT_EQ(kit.ExecSQL("INSERT INTO T VALUES('a', 'x')", errorText), 1);
    EXPECT_EQ(errorText, "");
    EXPECT_EQ(kit.ExecSQL("INSERT INTO T SELECT FCode || '2', FName FROM T"), 1);
    EXPECT_EQ(kit.ExecSQL("UPDATE T SET FName = 'y'"), 2);
    EXPECT_EQ(kit.ExecSQL("UPDATE T SET FName = 'y' WHERE FCode = 'none'"), 0);
    // Statements that are no row operations give -1, without any box.
    EXPECT_EQ(kit.ExecSQL("SELECT * FROM T"), -1);
    EXPECT_EQ(kit.ExecSQL("CREATE TABLE U (F INTEGER)"), -1);
    EXPECT_EQ(kit.ExecSQL("DROP TABLE U;"), -1);
    EXPECT_EQ(kit.ExecSQL("DELETE FROM T"), 2);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    // A second statement in the same text is refused, and the first does not run either.
    EXPECT_EQ(kit.ExecSQL("INSERT INTO T VALUES('b', 'x'); DELETE FROM T", errorText), -1);
    EXPECT_EQ(errorText, "在 SQL 语句结尾之后找到字符。");
    EXPECT_EQ(kit.ExecSQL("   ", errorText), -1);
    EXPECT_FALSE(errorText.empty());
    EXPECT_EQ(Count("T"), 0);

    // Without a transaction: the rows, or -2 silently.
    EXPECT_EQ(kit.ExecSQLDirect("INSERT INTO T VALUES('c', 'x')"), 1);
    EXPECT_EQ(kit.ExecSQLDirect("CREATE TABLE V (F INTEGER)"), -1);
    EXPECT_EQ(kit.ExecSQLDirect("INSERT INTO Nope VALUES(1)"), -2);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(DBKitTest, FailingExecSQLWarnsOrRaisesWithTheEngineText) {
    TRecordingDialogs dialogs;
    const std::string sql = "INSERT INTO Nope VALUES(1)";
    std::string engineText;
    EXPECT_EQ(kit.ExecSQL(sql, engineText), -1);
    EXPECT_EQ(engineText, "no such table: Nope");
    EXPECT_EQ(dialogs.Count(), 0u);

    EXPECT_EQ(kit.ExecSQL(sql), -1);
    EXPECT_EQ(kit.ExecSQL(sql, false), -1);
    ASSERT_EQ(dialogs.Count(), 2u) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Texts("warning"), (std::vector<std::string>{engineText, engineText}));

    dialogs.Clear();
    try {
        kit.ExecSQL(sql, true);
        ADD_FAILURE() << "no exception";
    } catch (const EdsError& e) {
        EXPECT_EQ(std::string(e.what()), engineText);
    }
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    // The failed statements left no transaction open behind them.
    EXPECT_EQ(kit.ExecSQL("INSERT INTO T VALUES('a', 'x')"), 1);
}

TEST_F(DBKitTest, FailingScriptRollsBackAndKeepsTheRawLine) {
    TRecordingDialogs dialogs;
    const std::string badLine = "\t INSERT INTO T VALUES('3', 'c', 'too many')  ";
    TdsStrings script;
    script.Add("INSERT INTO T VALUES('1', 'a')");
    script.Add("INSERT INTO T VALUES('2', 'b')");
    script.Add(badLine);
    script.Add("INSERT INTO T VALUES('4', 'd')");

    std::string errorText;
    EXPECT_EQ(kit.ExecScript(script, errorText), -1);
    EXPECT_EQ(errorText, "table T has 2 columns but 3 values were supplied");
    EXPECT_EQ(kit.LastErrorSQL, badLine);
    EXPECT_EQ(Count("T"), 0);
    EXPECT_FALSE(kit.ExecScriptOK(script));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    EXPECT_EQ(kit.ExecScript(script), -1);
    EXPECT_EQ(dialogs.Texts("error"), std::vector<std::string>{errorText});
    dialogs.Clear();
    try {
        kit.ExecScript(script, true);
        ADD_FAILURE() << "no exception";
    } catch (const EdsError& e) {
        EXPECT_EQ(std::string(e.what()), errorText);
    }
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_EQ(Count("T"), 0);

    // LastErrorSQL is never cleared by a later success.
    script[2] = "INSERT INTO T VALUES('3', 'c')";
    EXPECT_EQ(kit.ExecScript(std::vector<std::string>(script.Items), errorText), 4);
    EXPECT_EQ(errorText, "");
    EXPECT_EQ(kit.LastErrorSQL, badLine);
    EXPECT_EQ(Count("T"), 4);
}

TEST_F(DBKitTest, ScriptSkipsBlankAndCommentLinesAndSumsRows) {
    TRecordingDialogs dialogs;
    std::string errorText;
    EXPECT_EQ(kit.ExecScript(std::vector<std::string>{"", "   ", "// nothing", "\t//INSERT INTO T VALUES(1)"},
                             errorText),
              0);
    EXPECT_EQ(errorText, "");
    EXPECT_TRUE(kit.ExecScriptOK(std::vector<std::string>{}));
    // The empty script committed: another connection can write at once.
    TdsAdoDBKit other;
    other.BusyTimeout = 100;
    ASSERT_TRUE(other.Connect(file, kPassword, false, errorText)) << errorText;
    EXPECT_EQ(other.ExecSQL("INSERT INTO T VALUES('o', 'x')", errorText), 1) << errorText;

    // Rows are summed; each statement that is no row operation takes one off. That is a total, not
    // a failure: no box.
    EXPECT_EQ(kit.ExecScript(std::vector<std::string>{"DELETE FROM T", "CREATE TABLE U (F INTEGER)",
                                                      "INSERT INTO U VALUES(1)", "INSERT INTO U VALUES(2)"}),
              2);
    EXPECT_EQ(kit.ExecScript(std::vector<std::string>{"CREATE TABLE V (F INTEGER)", "DROP TABLE V"}), -2);
    EXPECT_TRUE(kit.ExecScriptOK(std::vector<std::string>{"CREATE TABLE W (F INTEGER)"}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(DBKitTest, OpenQueryReadsTypesAndValues) {
    std::string errorText;
    ASSERT_EQ(kit.ExecScript(
                  std::vector<std::string>{
                      "CREATE TABLE Q (FText TEXT(15), FPlain TEXT, FFlag YESNO, FNum INTEGER, "
                      "FAmount DOUBLE, FMoney CURRENCY, FNote MEMO, FData LONGBINARY, FAny)",
                      "INSERT INTO Q VALUES('纳税人', 'p', True, 42, 10, 2.5, 'long', x'00FF01', NULL)",
                      "INSERT INTO Q VALUES(NULL, NULL, False, NULL, 1.25, 3, NULL, NULL, 7)"},
                  errorText),
              -1 + 2)
        << errorText;
    TdsAdoQuery query;
    ASSERT_EQ(kit.OpenQuery(query, "SELECT * FROM Q ORDER BY FNum DESC", true), 2);
    EXPECT_TRUE(query.Active());
    std::vector<TdsFieldDef> expected = {
        {"FText", ftString, 15, 0}, {"FPlain", ftString, 255, 0}, {"FFlag", ftBoolean, 0, 0},
        {"FNum", ftInteger, 0, 0},  {"FAmount", ftFloat, 0, 0},   {"FMoney", ftFloat, 0, 0},
        {"FNote", ftMemo, 0, 0},    {"FData", ftBlob, 0, 0},      {"FAny", ftInteger, 0, 0},
    };
    EXPECT_EQ(query.FieldDefs(), expected);
    ASSERT_EQ(query.RecNo(), 1);
    EXPECT_EQ(query.FieldByName("FText").Value(), TdsValue::Text("纳税人"));
    EXPECT_EQ(query.FieldByName("FFlag").Value(), TdsValue::Boolean(true));
    EXPECT_EQ(query.FieldByName("FNum").Value(), TdsValue::Integer(42));
    EXPECT_EQ(query.FieldByName("FAmount").Value(), TdsValue::Float(10));
    EXPECT_EQ(query.FieldByName("FMoney").Value(), TdsValue::Float(2.5));
    EXPECT_EQ(query.FieldByName("FData").Value(), TdsValue::Block(std::string("\x00\xFF\x01", 3)));
    EXPECT_TRUE(query.FieldByName("FAny").IsNull());
    query.Next();
    EXPECT_TRUE(query.FieldByName("FText").IsNull());
    EXPECT_EQ(query.FieldByName("FFlag").Value(), TdsValue::Boolean(false));
    EXPECT_EQ(query.FieldByName("FMoney").Value(), TdsValue::Float(3));
    EXPECT_EQ(query.FieldByName("FAny").Value(), TdsValue::Integer(7));

    // Expressions take their type from their values.
    ASSERT_EQ(
        kit.OpenQuery(query, "SELECT COUNT(*), MAX(FText) || '号' AS FName, AVG(FAmount), NULL FROM Q", true),
        1);
    std::vector<TdsFieldDef> exprs = {{"COUNT(*)", ftInteger, 0, 0},
                                      {"FName", ftString, 255, 0},
                                      {"AVG(FAmount)", ftFloat, 0, 0},
                                      {"NULL", ftString, 255, 0}};
    EXPECT_EQ(query.FieldDefs(), exprs);
    EXPECT_EQ(query.Field(0).AsInteger(), 2);
    EXPECT_EQ(query.Field(1).AsString(), "纳税人号");
    EXPECT_DOUBLE_EQ(query.Field(2).AsFloat(), 5.625);

    // An empty result still has its fields.
    ASSERT_EQ(kit.OpenQuery(query, "SELECT FText FROM Q WHERE 1 = 0", true), 0);
    EXPECT_EQ(query.FieldCount(), 1);
    EXPECT_TRUE(query.Eof());
}

TEST_F(DBKitTest, OpenQueryIntoTheInMemoryTableCopiesTheResult) {
    TRecordingDialogs dialogs;
    ASSERT_EQ(kit.ExecScript(std::vector<std::string>{"INSERT INTO T VALUES('1', 'a')",
                                                      "INSERT INTO T VALUES('2', 'b')"}),
              2);
    TFakeVirtualTable table;
    ASSERT_EQ(kit.OpenQuery(table, "SELECT * FROM T ORDER BY FCode DESC"), 2);
    EXPECT_EQ(table.Calls, (std::vector<std::string>{"Close", "SetFilterText()", "AssignDataSet", "Open"}));
    EXPECT_EQ(table.Filter, "");
    ASSERT_EQ(table.Rows.size(), 2u);
    EXPECT_EQ(table.Fields[0], (TdsFieldDef{"FCode", ftString, 15, 0}));
    EXPECT_EQ(table.Rows[0][0], TdsValue::Text("2"));
    EXPECT_EQ(table.Rows[1][1], TdsValue::Text("a"));
    // The internal dataset keeps the result until the next query.
    EXPECT_TRUE(kit.DataSet->Active());
    EXPECT_EQ(kit.DataSet->RecordCount(), 2);
    EXPECT_EQ(dialogs.Count(), 0u);

    // A failing query shows the error box and leaves the table as it was.
    table.Calls.clear();
    table.Filter = "FCode = '1'";
    EXPECT_EQ(kit.OpenQuery(table, "SELECT * FROM Nope"), -1);
    EXPECT_EQ(dialogs.Texts("error"), std::vector<std::string>{"no such table: Nope"});
    EXPECT_TRUE(table.Calls.empty());
    EXPECT_EQ(table.Filter, "FCode = '1'");
    EXPECT_EQ(table.Rows.size(), 2u);

    dialogs.Clear();
    try {
        kit.OpenQuery(table, "SELECT FMissing FROM T", true);
        ADD_FAILURE() << "no exception";
    } catch (const EdsError& e) {
        EXPECT_EQ(std::string(e.what()), "no such column: FMissing");
    }
    EXPECT_EQ(dialogs.Count(), 0u);
    TdsAdoQuery query;
    EXPECT_EQ(kit.OpenQuery(query, "SELEC 1"), -1);
    EXPECT_EQ(dialogs.Count(), 1u);
    EXPECT_FALSE(query.Active());
}

TEST_F(DBKitTest, OpenQueryRefusesOtherDataSetClassesEvenWithoutRaising) {
    TRecordingDialogs dialogs;
    TSomething other;
    for (bool raise : {false, true}) {
        try {
            kit.OpenQuery(other, "SELECT * FROM T", raise);
            ADD_FAILURE() << "no exception";
        } catch (const EdsError& e) {
            EXPECT_EQ(std::string(e.what()), "不支持的数据集类型“TSomething”！");
        }
    }
    EXPECT_THROW(kit.OpenQuery(other, "SELECT * FROM T"), EdsError);
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(DBKitTest, QuotedValuesRoundTrip) {
    const std::string values[] = {"O'Brien", "''", "'", "a''b'c", "it's -- not a comment", "True 'False'"};
    for (const std::string& v : values) {
        SCOPED_TRACE(v);
        ASSERT_GE(kit.ExecSQL("DELETE FROM T"), 0);
        ASSERT_EQ(kit.ExecSQL("INSERT INTO T(FCode, FName) VALUES(" + TdsStrUtils::QuotedStr(v) + ", 'x')"),
                  1);
        TdsAdoQuery query;
        ASSERT_EQ(
            kit.OpenQuery(query, "SELECT FCode FROM T WHERE FCode = " + TdsStrUtils::QuotedStr(v), true), 1);
        EXPECT_EQ(query.Field(0).AsString(), v);
    }
}

TEST_F(DBKitTest, JetBooleansWorkAsJetHasThem) {
    std::string errorText;
    ASSERT_EQ(kit.ExecScript(
                  std::vector<std::string>{
                      "CREATE TABLE S_User (FCode TEXT(15), FName TEXT(15), FPassword TEXT(15), "
                      "FReserve YESNO)",
                      "INSERT INTO S_User(FCode, FName, FPassword, FReserve) VALUES('b', 'True', '', False)",
                      "INSERT INTO S_User(FCode, FName, FPassword, FReserve) VALUES('z', 'x', '', TRUE)",
                      "INSERT INTO S_User(FCode, FName, FPassword, FReserve) VALUES('a', 'x', '', false)"},
                  errorText),
              2)
        << errorText;
    TdsAdoQuery query;
    ASSERT_EQ(kit.OpenQuery(query, "SELECT FCode FROM S_User WHERE FReserve=True", true), 1);
    EXPECT_EQ(query.Field(0).AsString(), "z");
    EXPECT_EQ(kit.ExecSQL("UPDATE S_User SET FReserve = False WHERE FName = 'True'"), 1);
    // True sorts first, as Jet's -1 does: the preset users head the user list.
    ASSERT_EQ(kit.OpenQuery(query, "SELECT FCode, FReserve FROM S_User ORDER BY FReserve, FCode", true), 3);
    std::vector<std::string> order;
    for (query.First(); !query.Eof(); query.Next())
        order.push_back(query.Field(0).AsString() + "=" + query.Field(1).AsString());
    EXPECT_EQ(order, (std::vector<std::string>{"z=True", "a=False", "b=False"}));
}

// Every statement shape the program sends, with sample values, on the tables it touches.
TEST_F(DBKitTest, EveryStatementOfTheProgramRuns) {
    std::string errorText;
    ASSERT_TRUE(kit.ExecScriptOK(
        std::vector<std::string>{
            "CREATE TABLE S_User (FCode TEXT(15), FName TEXT(15), FPassword TEXT(15), FReserve YESNO)",
            "CREATE TABLE S_Authority (FUserCode TEXT(15), FBizKind TEXT(10), FMenuCode TEXT(20))",
            "CREATE TABLE S_Config (FCategory TEXT(50), FKey TEXT(50), FValue TEXT(255), FDefault TEXT(255))",
            "CREATE TABLE S_OpLog (FOpTime TEXT(23), FTaxMedia TEXT(10), FUserCode TEXT(15), FUserName "
            "TEXT(15), "
            "FOpContent TEXT(255))",
            "CREATE TABLE KDR_ICCards (FNumber TEXT(14), FKind TEXT(1), FEnabled YESNO, FRemark TEXT(8), "
            "FOrder TEXT(3), FDiskNumber TEXT(20))",
            "CREATE TABLE KDR_DeclareInfo (FIndex TEXT(17), FTaxMedia TEXT(10), FMediaID TEXT(20), "
            "FDeclareTime TEXT(19), FAcceptID TEXT(50), FMediaID2 TEXT(20), FUnlockTime TEXT(19))",
            "CREATE TABLE KDR_DeclareResult (FAcceptID TEXT(50), FTaxKind TEXT(1), FTaxMedia TEXT(10), "
            "QCKC DOUBLE, BQLG DOUBLE, BQTH DOUBLE, BQKJ DOUBLE, QMJY DOUBLE, ZCFPFS DOUBLE, ZCFPJE DOUBLE, "
            "ZCFPSE DOUBLE, ZFFPFS DOUBLE, ZFFPJE DOUBLE, ZFFPSE DOUBLE)",
            "CREATE TABLE KDR_Inform (FID TEXT(50), FTitle TEXT(255), FContent MEMO, FPubDate TEXT(10), "
            "FReceiveTime TEXT(23), FExpireDate TEXT(10))",
            "CREATE TABLE DBVerInfo (FVersion TEXT(20))",
            "INSERT INTO DBVerInfo VALUES('1.0')",
            "INSERT INTO S_Config VALUES('System', 'TaxpayerID', '110101000000001', '')",
            "INSERT INTO S_Config VALUES('Network', 'TimeOut', '60', '60')",
            "INSERT INTO S_Config VALUES('Network', 'AuthenPassword', '', '12345678')",
        },
        errorText))
        << errorText;

    // Expected: rows affected for statements, the record count for queries.
    struct Statement {
        const char* sql;
        int expected;
    } statements[] = {
        // Configuration store
        {"SELECT FValue FROM S_Config WHERE FCategory = 'System' AND FKey = 'TaxpayerID'", 1},
        {"UPDATE S_Config SET FValue = '30' WHERE FCategory = 'Network' AND FKey = 'TimeOut'", 1},
        {"SELECT FDefault FROM S_Config WHERE FCategory = 'Network' AND FKey = 'AuthenPassword'", 1},
        // Logging
        {"INSERT INTO S_OpLog(FOpTime, FTaxMedia, FUserCode, FUserName, FOpContent) VALUES('2026-12-11 "
         "09:00:00.123', '', 'admin', '管理员', '登录系统')",
         1},
        {"SELECT * FROM S_OpLog ORDER BY FOpTime DESC", 1},
        {"DELETE FROM S_OpLog", 1},
        // Notices
        {"SELECT FID FROM KDR_Inform WHERE FExpireDate >= '2026-12-11'", 0},
        {"INSERT INTO KDR_Inform(FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate) VALUES('N1', "
         "'停机通知', '内容', '2026-12-01', '2026-12-11 09:00:00.000', '2026-12-31')",
         1},
        {"SELECT FID FROM KDR_Inform WHERE FExpireDate >= '2026-12-11'", 1},
        {"SELECT * FROM KDR_Inform ORDER BY FPubDate DESC", 1},
        {"DELETE FROM KDR_Inform WHERE FID = 'N1'", 1},
        // Declaration records
        {"INSERT INTO KDR_DeclareInfo(FIndex, FTaxMedia, FMediaID, FDeclareTime, FAcceptID, FMediaID2) "
         "VALUES('20261211090000123', 'K', '00000000000001', '2026-12-11 09:00:00', 'A001', '')",
         1},
        {"SELECT * FROM KDR_DeclareInfo WHERE (FUnlockTime IS NULL OR FUnlockTime = '') AND FMediaID = "
         "'00000000000001' ORDER BY FDeclareTime DESC",
         1},
        {"SELECT * FROM KDR_DeclareInfo WHERE FMediaID = '00000000000001' ORDER BY FDeclareTime DESC", 1},
        {"UPDATE KDR_DeclareInfo SET FUnlockTime = '2026-12-11 10:00:00' WHERE (FUnlockTime IS NULL OR "
         "FUnlockTime = '') AND FAcceptID = 'A001'",
         1},
        {"SELECT * FROM KDR_DeclareInfo WHERE (FUnlockTime IS NULL OR FUnlockTime = '') AND FMediaID = "
         "'00000000000001' ORDER BY FDeclareTime DESC",
         0},
        {"DELETE FROM KDR_DeclareInfo WHERE (FUnlockTime IS NULL OR FUnlockTime = '') AND FMediaID = "
         "'00000000000001'",
         0},
        {"SELECT * FROM KDR_DeclareInfo AS H WHERE H.FTaxMedia = 'K'", 1},
        // History view conditions
        {"SELECT * FROM KDR_DeclareInfo AS H WHERE H.FTaxMedia = 'K' AND (H.FDeclareTime >= '2026-12-01 "
         "00:00:00' AND H.FDeclareTime <= '2026-12-31 23:59:59') AND H.FMediaID LIKE '0000%' AND H.FAcceptID "
         "LIKE 'A0%' AND (H.FUnlockTime >= '2026-12-01 00:00:00' AND H.FUnlockTime <= '2026-12-31 23:59:59')",
         1},
        {"SELECT * FROM KDR_DeclareInfo AS H WHERE H.FTaxMedia = 'K' AND H.FAcceptID LIKE 'B%'", 0},
        // Result query
        {"SELECT COUNT(*) FROM KDR_DeclareResult WHERE FAcceptID = 'A001'", 1},
        {"DELETE FROM KDR_DeclareResult WHERE FAcceptID = 'A001'", 0},
        {"INSERT INTO KDR_DeclareResult(FAcceptID, FTaxKind, FTaxMedia, QCKC, BQLG, BQTH, BQKJ, QMJY, "
         "ZCFPFS, "
         "ZCFPJE, ZCFPSE, ZFFPFS, ZFFPJE, ZFFPSE) VALUES('A001', '1', 'K', 10, 25, 0, 12, 23, 11, 10500.50, "
         "1785.09, 1, 200.00, 34.00)",
         1},
        {"SELECT * FROM KDR_DeclareResult WHERE FAcceptID = 'A001'", 1},
        // Users and rights
        {"INSERT INTO S_User(FCode, FName, FPassword, FReserve) VALUES('admin', '管理员', 'o''k', True)", 1},
        {"INSERT INTO S_User(FCode, FName, FPassword, FReserve) VALUES('u01', '张三', '1', False)", 1},
        {"SELECT FCode, FName, FPassword, FReserve FROM S_User ORDER BY FReserve, FCode", 2},
        {"SELECT COUNT(*) FROM S_User WHERE FCode = 'u01'", 1},
        {"SELECT * FROM S_User WHERE FCode = 'u01'", 1},
        {"UPDATE S_User SET FName = '李四', FPassword = '2', FReserve = False WHERE FCode = 'u01'", 1},
        {"DELETE FROM S_Authority WHERE FUserCode = 'u01' AND FBizKind = 'KDR'", 0},
        {"INSERT INTO S_Authority (FUserCode, FBizKind, FMenuCode) VALUES ('u01', 'KDR', 'FS')", 1},
        {"SELECT * FROM S_Authority WHERE FBizKind = 'KDR'", 1},
        {"DELETE FROM S_User WHERE FCode = 'u01'", 1},
        // Card register
        {"DELETE FROM KDR_ICCards", 0},
        {"INSERT INTO KDR_ICCards(FNumber, FKind, FEnabled, FRemark, FOrder, FDiskNumber) VALUES "
         "('00000000000001', '1', True, '主机', '000', '499000000001')",
         1},
        {"INSERT INTO KDR_ICCards(FNumber, FKind, FEnabled, FRemark, FOrder, FDiskNumber) VALUES "
         "('00000000000002', '2', True, '分机', '001', '499000000002')",
         1},
        {"SELECT * FROM KDR_ICCards ORDER BY FKind, FNumber", 2},
        {"SELECT * FROM KDR_ICCards ORDER BY FKind, FOrder", 2},
        {"SELECT * FROM KDR_ICCards", 2},
        {"SELECT FNumber as FNum,FDiskNumber,FRemark FROM KDR_ICCARDS", 2},
        // Restore check
        {"SELECT COUNT(*) FROM DBVerInfo", 1},
    };
    for (const Statement& s : statements) {
        SCOPED_TRACE(s.sql);
        if (TdsJetSQL::FirstKeyword(s.sql) == "SELECT") {
            TdsAdoQuery query;
            EXPECT_EQ(kit.OpenQuery(query, s.sql, true), s.expected);
        } else {
            EXPECT_EQ(kit.ExecSQL(s.sql, errorText), s.expected) << errorText;
        }
    }

    TdsAdoQuery query;
    kit.OpenQuery(query, "SELECT FNumber as FNum,FDiskNumber,FRemark FROM KDR_ICCARDS ORDER BY FNumber",
                  true);
    EXPECT_EQ(query.FieldIndex("FNum"), 0);
    EXPECT_EQ(query.FieldByName("FRemark").AsString(), "主机");
    kit.OpenQuery(query, "SELECT * FROM KDR_DeclareResult", true);
    EXPECT_DOUBLE_EQ(query.FieldByName("ZCFPJE").AsFloat(), 10500.5);
    EXPECT_EQ(query.FieldByName("QCKC").AsString(), "10");
    kit.OpenQuery(query, "SELECT * FROM S_User", true);
    EXPECT_EQ(query.FieldByName("FPassword").AsString(), "o'k");
    EXPECT_TRUE(query.FieldByName("FReserve").AsBoolean());
}
