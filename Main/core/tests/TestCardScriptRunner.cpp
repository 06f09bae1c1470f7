#include "UCardTestSupport.h"
#include "UDeclareBiz.h"
#include "UGlobal.h"
#include "UInstallation.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsExceptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct TRow {
    std::string Request, Response, Status, StatusS = "0", Item = "";
    bool operator==(const TRow&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TRow& r) {
    return out << "{" << r.Request << " | " << r.Response << " | " << r.Status << " | " << r.StatusS << " | "
               << r.Item << "}";
}

void WriteScript(const std::string& file, const std::vector<TRow>& rows) {
    TVirtualTable table;
    for (const char* name : {"CMDRequest", "CMDResponse", "ExecStatusC", "ExecStatusS", "ErrorCMD"})
        table.AddField(name, ftString, 200);
    table.Open();
    for (const TRow& r : rows)
        table.AppendRecord({TdsValue::Text(r.Request), TdsValue::Text(r.Response), TdsValue::Text(r.Status),
                            TdsValue::Text(r.StatusS), TdsValue::Text(r.Item)});
    table.SaveToFile(file);
}

std::vector<TRow> ReadScript(const std::string& file) {
    TVirtualTable table;
    table.LoadFromFile(file);
    std::vector<TRow> rows;
    for (table.First(); !table.Eof(); table.Next())
        rows.push_back(
            {table.FieldByName("CMDRequest").AsString(), table.FieldByName("CMDResponse").AsString(),
             table.FieldByName("ExecStatusC").AsString(), table.FieldByName("ExecStatusS").AsString(),
             table.FieldByName("ErrorCMD").AsString()});
    return rows;
}

// A global state without debug mode over a temporary folder; the script lives there too.
class CardScript : public ::testing::Test {
protected:
    void SetUp() override {
        Global = new TGlobal({"370101000000001", "admin", temp / "Brindle.sh"}, TGlobalFrontEnd());
        Global->TaxpayerID = "370101000000001";
    }
    void TearDown() override { FreeGlobal(); }

    // The APDUs the reader received, without blanks.
    std::vector<std::string> Sent() const {
        std::vector<std::string> apdus;
        for (const std::string& block : reader.Requests)
            apdus.push_back(TUSBCard::GetBlockData(block));
        return apdus;
    }
    bool Run(const std::vector<TRow>& rows) {
        WriteScript(script, rows);
        return biz.RunCardScript(script);
    }

    TTempFolder temp;
    std::string script = temp / "KDR_Card_test.vtd";
    TRecordingDialogs dialogs;
    TScriptedReader reader;
    TDeclareBiz biz;
};

TEST_F(CardScript, PendingRowsAreSentAndAnswersStored) {
    reader.Answer(TScriptedReader::Block("11 9000"));
    reader.Answer(TScriptedReader::Block("22 9000"));
    ASSERT_TRUE(Run({{"00 A4 00 00 02 3F 00", "old", "1"},
                     {"00 A4 00 00 02 EF 05", "", " 0 "},
                     {"00 B0 00 00 1A", "", ""},
                     {"00 B0 00 20 17", "", "0", "7", "{IC}"}}))
        << dialogs.Transcript();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"00A4000002EF05", "00B0002017"}));
    EXPECT_EQ(ReadScript(script), (std::vector<TRow>{{"00 A4 00 00 02 3F 00", "old", "1"},
                                                     {"00 A4 00 00 02 EF 05", "119000", "1"},
                                                     {"00 B0 00 00 1A", "", ""},
                                                     {"00 B0 00 20 17", "229000", "1", "7", "{IC}"}}));
}

TEST_F(CardScript, AFirstPendingMinusOneOnlyFetchesAChallenge) {
    reader.Answer(TScriptedReader::Block("0102030405060708 9000"));
    ASSERT_TRUE(Run({{"00 A4 00 00 02 3F 00", "9000", "1"},
                     {"80 CA 00 00 10 AABB", "", "-1"},
                     {"00 A4 00 00 02 EF 05", "", "0"},
                     {"00 84 00 00 08", "", "1"},
                     {"00 B0 00 84 02", "", "0"}}))
        << dialogs.Transcript();
    EXPECT_EQ(Sent(), std::vector<std::string>{"0084000008"});
    EXPECT_EQ(ReadScript(script), (std::vector<TRow>{{"00 A4 00 00 02 3F 00", "9000", "1"},
                                                     {"80 CA 00 00 10 AABB", "", "0"},
                                                     {"00 A4 00 00 02 EF 05", "", "0"},
                                                     {"00 84 00 00 08", "01020304050607089000", "1"},
                                                     {"00 B0 00 84 02", "", "0"}}));
    // A failing challenge fails the run and leaves the file as it was.
    reader.Answer("", 3);
    EXPECT_FALSE(Run({{"80 CA", "", "-1"}, {"00 84 00 00 08", "", "1"}}));
    EXPECT_EQ(ReadScript(script), (std::vector<TRow>{{"80 CA", "", "-1"}, {"00 84 00 00 08", "", "1"}}));
}

TEST_F(CardScript, AConditionalRowSkipsTheNextOneUnlessItFailsAtCardLevel) {
    const std::vector<TRow> rows = {{"00 A4 00 00 02 DF 01", "keep", "63"},
                                    {"00 A4 00 00 02 EF 01", "", "0"},
                                    {"00 A4 00 00 02 EF 02", "", "0"}};
    // Answered without error: the first "0" row is marked with an empty answer and not sent.
    reader.Answer(TScriptedReader::Block("9000"));
    reader.Answer(TScriptedReader::Block("AA 9000"));
    ASSERT_TRUE(Run(rows)) << dialogs.Transcript();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"00A4000002DF01", "00A4000002EF02"}));
    EXPECT_EQ(ReadScript(script), (std::vector<TRow>{{"00 A4 00 00 02 DF 01", "keep", "1"},
                                                     {"00 A4 00 00 02 EF 01", "", "1"},
                                                     {"00 A4 00 00 02 EF 02", "AA9000", "1"}}));
    EXPECT_EQ(dialogs.Count(), 0u);

    // A card-level error of the "63" row is swallowed once; the next row is sent.
    reader.Requests.clear();
    reader.Answer(TScriptedReader::Block("6A82"));
    reader.Answer(TScriptedReader::Block("BB 9000"));
    reader.Answer(TScriptedReader::Block("CC 9000"));
    ASSERT_TRUE(Run(rows)) << dialogs.Transcript();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"00A4000002DF01", "00A4000002EF01", "00A4000002EF02"}));
    EXPECT_EQ(ReadScript(script), (std::vector<TRow>{{"00 A4 00 00 02 DF 01", "keep", "1"},
                                                     {"00 A4 00 00 02 EF 01", "BB9000", "1"},
                                                     {"00 A4 00 00 02 EF 02", "CC9000", "1"}}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    // A transport failure fails the run; the row stays pending in the file.
    reader.Answer("", 3);
    EXPECT_FALSE(Run(rows));
    EXPECT_EQ(ReadScript(script), rows);
    EXPECT_EQ(dialogs.Texts("error").size(), 1u);
    EXPECT_FALSE(biz.IgnoreNextError);

    // A card error of a plain row fails the run after the rows before it were saved.
    dialogs.Clear();
    reader.Answer(TScriptedReader::Block("9000"));
    reader.Answer(TScriptedReader::Block("6A82"));
    EXPECT_FALSE(Run({{"00 A4 00 00 02 EF 01", "", "0"}, {"00 A4 00 00 02 EF 02", "", "0"}}));
    EXPECT_EQ(ReadScript(script),
              (std::vector<TRow>{{"00 A4 00 00 02 EF 01", "9000", "1"}, {"00 A4 00 00 02 EF 02", "", "0"}}));
    EXPECT_EQ(dialogs.Texts("error"), std::vector<std::string>{"#6A82"});
}

TEST_F(CardScript, GroupRowsGoTogetherInTableOrder) {
    for (const char* answer : {"A1", "B1", "B2", "B3", "C1", "C2", "D1", "E1"})
        reader.Answer(TScriptedReader::Block(std::string(answer) + " 9000"));
    ASSERT_TRUE(Run({{"00 01", "", "0"},
                     {"00 02", "", "15"},
                     {"00 03", "", "0"},
                     {"00 04", "", "1D"},
                     {"00 05", "", " 15"},
                     {"00 06", "", "1"},
                     {"00 07", "", "1D"},
                     {"00 08", "", "15"},
                     {"00 09", "", "0"}}))
        << dialogs.Transcript();
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"0001", "0002", "0005", "0008", "0003", "0004", "0007", "0009"}));
    EXPECT_EQ(ReadScript(script), (std::vector<TRow>{{"00 01", "A19000", "1"},
                                                     {"00 02", "B19000", "1"},
                                                     {"00 03", "C19000", "1"},
                                                     {"00 04", "C29000", "1"},
                                                     {"00 05", "B29000", "1"},
                                                     {"00 06", "", "1"},
                                                     {"00 07", "D19000", "1"},
                                                     {"00 08", "B39000", "1"},
                                                     {"00 09", "E19000", "1"}}));
}

TEST_F(CardScript, AnUnknownStatusHandsTheRestBackUnchanged) {
    const std::vector<TRow> rows = {
        {"00 01", "", "0"}, {"00 02", "", "X"}, {"00 03", "", "0"}, {"00 B0 00 84 02", "0B00", "1"}};
    ASSERT_TRUE(Run(rows)) << dialogs.Transcript();
    EXPECT_EQ(Sent(), std::vector<std::string>{"0001"});
    std::vector<TRow> expected = rows;
    expected[0] = {"00 01", "9000", "1"};
    EXPECT_EQ(ReadScript(script), expected); // no record reads either
}

TEST_F(CardScript, TheRecordCountRowAppendsTheRemainingReads) {
    struct TCase {
        std::string count;
        std::vector<std::string> reads;
    } cases[] = {
        {"0B 00 90 00", {"00B00194B4", "00B002482D"}},
        {"09 00 90 00", {"00B001942D", "00B001C12D", "00B001EE2D"}},
        {"06 00 90 00", {}},
        {"00 01 90 00", {}}, // 256 records: many reads, checked by number only
        {"07 00 90 00", {"00B001942D"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.count);
        reader.Requests.clear();
        reader.Answer(TScriptedReader::Block(c.count));
        ASSERT_TRUE(Run({{"00 A4 00 00 02 EF 06", "9000", "1"}, {" 00 B0 00 84 02 ", "", "0"}}));
        std::vector<TRow> rows = ReadScript(script);
        ASSERT_GE(rows.size(), 2u);
        std::vector<std::string> sent = Sent();
        sent.erase(sent.begin());
        if (c.count == "00 01 90 00") {
            // 45 x 256 - 270 = 11250 bytes: 62 reads of 180, then two of 45, the last at 0194 + 11205.
            EXPECT_EQ(sent.size(), 64u);
            EXPECT_EQ(sent[61], "00B02C78B4");
            EXPECT_EQ(sent.back(), "00B02D592D");
            EXPECT_EQ(rows.size(), 66u);
            continue;
        }
        EXPECT_EQ(sent, c.reads);
        ASSERT_EQ(rows.size(), 2 + c.reads.size());
        for (size_t i = 0; i < c.reads.size(); ++i)
            EXPECT_EQ(rows[2 + i], (TRow{c.reads[i], "9000", "1", "0", ""}));
    }
}

TEST_F(CardScript, DebugRunModeSubstitutesRowsAfterTheFourth) {
    Global->RunMode = "debug";
    for (int i = 0; i < 6; ++i)
        reader.Answer(TScriptedReader::Block("9000"));
    reader.Answer(TScriptedReader::Block("0B00 9000"));
    ASSERT_TRUE(Run({{"00 01", "", "0"},
                     {"00 02", "", "0"},
                     {"00 03", "", "15"},
                     {"00 04", "", "0"},
                     {"00 05", "", "0"},
                     {"00 06", "", "15"},
                     {"00 B0 00 84 02", "", "0"}}))
        << dialogs.Transcript();
    // The group is substituted by each member's own row number; the record count is taken as 2.
    EXPECT_EQ(Sent(), (std::vector<std::string>{"0001", "0002", "0003", "00A40000023F00", "0004",
                                                "00A40000023F00", "00A40000023F00"}));
    std::vector<TRow> rows = ReadScript(script);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[6], (TRow{"00 B0 00 84 02", "0B009000", "1"}));
}

TEST_F(CardScript, EndCardSessionSendsABAndReportsItsError) {
    reader.Answer(TScriptedReader::Block("9000"));
    reader.Answer(TScriptedReader::Block("6A82"));
    // The script ends on a "63" row: its skip must not swallow the closing command's error.
    ASSERT_TRUE(Run({{"00 A4 00 00 02 DF 01", "", "63"}}));
    biz.EndCardSession();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"00A4000002DF01", "AB"}));
    EXPECT_EQ(dialogs.Texts("error"), std::vector<std::string>{"#6A82"});
}

TEST_F(CardScript, AScriptThatIsNoTableRaises) {
    WriteFileBytes(script, "no table");
    EXPECT_THROW(biz.RunCardScript(script), EdsError);
    EXPECT_THROW(biz.RunCardScript(temp / "missing.vtd"), EdsError);
    EXPECT_TRUE(reader.Requests.empty());
}

// ---- killed while running ----

// In a child process: runs the script against a reader that answers the exchange's number and 9000.
// At the exchange numbered signalAt (from 1) it tells the parent through the pipe; with block set it
// then stops there for good.
[[noreturn]] void RunChild(const std::string& script, int signalAt, bool block, int pipeFd) {
    int calls = 0;
    TCardReaderApi api;
    api.Open = [] { return true; };
    api.Close = [] {};
    api.UsbOpt = [&](const char*, char* response) {
        ++calls;
        if (calls == signalAt) {
            char byte = 1;
            if (write(pipeFd, &byte, 1) != 1)
                _exit(3);
            while (block)
                pause();
        }
        char data[16];
        std::snprintf(data, sizeof data, "%04X9000", calls);
        std::snprintf(response, TCardReaderApi::ResponseSize, "%s", TScriptedReader::Block(data).c_str());
        return 0;
    };
    TUSBCard::SetApi(api);
    TDeclareBiz biz;
    bool ok = false;
    try {
        ok = biz.RunCardScript(script);
    } catch (...) {
    }
    _exit(ok ? 0 : 2);
}

// The file loads; the executed rows form a prefix, each with its own answer; the rest is untouched.
int CheckPrefix(const std::string& script, size_t rows) {
    std::vector<TRow> read = ReadScript(script);
    EXPECT_EQ(read.size(), rows);
    size_t done = 0;
    while (done < read.size() && read[done].Status == "1")
        ++done;
    for (size_t i = 0; i < read.size(); ++i) {
        char answer[16];
        std::snprintf(answer, sizeof answer, "%04X9000", static_cast<unsigned>(i + 1));
        if (i < done)
            EXPECT_EQ(read[i].Response, answer) << i;
        else
            EXPECT_EQ(read[i], (TRow{"00 A4 00 00 02 EF 05", "", "0"})) << i;
    }
    return static_cast<int>(done);
}

TEST_F(CardScript, AKilledRunLeavesALoadableScriptWithTheDoneRowsMarked) {
    std::vector<TRow> rows(40, TRow{"00 A4 00 00 02 EF 05", "", "0"});
    // Blocked in the exchange of row 7: rows 1 to 6 are saved, the others pending.
    WriteScript(script, rows);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        RunChild(script, 7, true, fds[1]);
    close(fds[1]);
    char byte = 0;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);
    close(fds[0]);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(CheckPrefix(script, rows.size()), 6);

    // Killed at arbitrary moments of a fast run, saves included: never a broken file.
    for (int delay : {0, 3, 11, 40}) {
        std::vector<TRow> many(300, TRow{"00 A4 00 00 02 EF 05", "", "0"});
        WriteScript(script, many);
        ASSERT_EQ(pipe(fds), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            RunChild(script, 2, false, fds[1]);
        close(fds[1]);
        ASSERT_EQ(read(fds[0], &byte, 1), 1);
        close(fds[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        SCOPED_TRACE(delay);
        int done = CheckPrefix(script, many.size());
        EXPECT_GE(done, 1);
    }
}

// ---- through the reader library, pcscd and the virtual card ----

TEST(CardScriptStand, TheDeclarationCardTemplateRunsAgainstTheVirtualCard) {
    TTempFolder temp;
    Global = new TGlobal({"370101000000001", "admin", temp / "Brindle.sh"}, TGlobalFrontEnd());
    Global->TaxpayerID = "370101000000001";
    TRecordingDialogs dialogs;
    TCardStand stand;
    std::string error;
    const std::string scenario = R"({"taxpayer": "370101000000001",
        "card": {"number": "12345678901234", "recordCount": 11, "faults": []}})";
    if (!stand.Start(scenario, error)) {
        FreeGlobal();
        FAIL() << error;
    }
    TDeclareBiz biz;
    std::string data, response;
    ASSERT_TRUE(biz.SendApdu("AA", data, response)) << dialogs.Transcript();
    std::string script = temp / "KDR_Card_stand.vtd";
    TVirtualTable table;
    TInstallation::LoadShippedTable("BS_Card", table);
    table.SaveToFile(script);
    const int templateRows = table.RecordCount();

    EXPECT_TRUE(biz.RunCardScript(script)) << dialogs.Transcript() << stand.Log();
    biz.EndCardSession();
    std::vector<TRow> rows = ReadScript(script);
    ASSERT_EQ(rows.size(), static_cast<size_t>(templateRows) + 2);
    for (const TRow& row : rows)
        EXPECT_EQ(row.Status, "1") << row;
    EXPECT_EQ(rows[templateRows - 1].Response, "0B009000");
    EXPECT_EQ(rows[templateRows].Request, "00B00194B4");
    EXPECT_EQ(rows[templateRows].Response.size(), 2u * 180 + 4);
    EXPECT_EQ(rows[templateRows + 1].Request, "00B002482D");
    EXPECT_EQ(rows[templateRows + 1].Response.size(), 2u * 45 + 4);
    EXPECT_EQ(biz.ReadCardTaxpayerID(script), "370101000000001");
    EXPECT_EQ(biz.ReadCardNumber(script), "12345678901234");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    FreeGlobal();
}

} // namespace
