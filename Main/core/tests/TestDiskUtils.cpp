// Disk scripts run by TDiskUtils against the virtual disk: placeholders, the invoice template, the
// taxpayer identifier, and what happens to the file when a run fails.
#include "DiskUtils.h"
#include "UDiskTestSupport.h"
#include "UGlobal.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsExceptions.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kTaxpayer = "370101000000001";

struct TRow {
    std::string Request, Param, Direction, Response = "";
};

// The shape the templates have: fixed rows, the marker, four template rows (write the index, read the
// invoice, two status reads), one row passed over, the final command.
std::vector<TRow> StandardScript() {
    return {
        {"fc ff cc bc  53 e1 7d", "", "0"},
        {"fc ff cc bc  53 e1 6a", "", "0"},
        {"{VERIFY}", "{VERIFY_PARAM}", "1"},
        {"{GET_INV_COUNT}", "", "0"},
        {"", "", ""},
        {"{GET_INV}", "{CUR_INV_INDEX}", "1"},
        {"{GET_INV}", "", "0"},
        {"fc ff cc bc  53 e1 aa", "", "0"},
        {"fc ff cc bc  53 e1 09", "", "0"},
        {"fc ff cc bc  53 e1 aa", "", "0"},
        {"fc ff cc bc  53 e1 28", "", "0"},
    };
}

std::string Scenario(const std::string& type, int invoices, const std::string& extra = "") {
    std::string list;
    for (int i = 1; i <= invoices; ++i)
        list += std::string(list.empty() ? "" : ", ") + "\"0" + std::to_string(i) + " AA BB\"";
    return std::string(R"({"taxpayer": ")") + kTaxpayer + R"(", "disk": {"type": ")" + type +
           R"(", "number": "661234567890", "invoices": [)" + list + "]" + extra + "}}";
}

class DiskUtilsTest : public ::testing::Test {
protected:
    TTempFolder temp;
    TRecordingDialogs dialogs;
    TVirtualDisk disk{std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-disk/virtual_disk.py", temp.Path()};
    TDiskUtils utils;
    std::string script;

    void SetUp() override {
        Global = new TGlobal({kTaxpayer, "admin", temp / "Brindle.sh"}, TGlobalFrontEnd());
        Global->TaxpayerID = kTaxpayer;
        WriteFileBytes(temp / "Brindle.ini", "[Disk]\nVerifyParam4=11223344\nVerifyParam2=5566\n");
        utils.IniFileName = temp / "Brindle.ini";
        script = temp / "BS201.vtd";
    }
    void TearDown() override { FreeGlobal(); }

    void WriteScript(const std::vector<TRow>& rows) {
        TVirtualTable table;
        for (const char* name : {"CMDRequest", "Param", "Direction", "CMDResponse"})
            table.AddField(name, ftString, 200);
        table.Open();
        for (const auto& r : rows)
            table.AppendRecord({TdsValue::Text(r.Request), TdsValue::Text(r.Param),
                                TdsValue::Text(r.Direction), TdsValue::Text(r.Response)});
        table.SaveToFile(script);
    }
    std::vector<TRow> ReadScript() {
        TVirtualTable table;
        table.LoadFromFile(script);
        std::vector<TRow> rows;
        for (table.First(); !table.Eof(); table.Next())
            rows.push_back({table.FieldByName("CMDRequest").AsString(), table.FieldByName("Param").AsString(),
                            table.FieldByName("Direction").AsString(),
                            table.FieldByName("CMDResponse").AsString()});
        return rows;
    }
    // The cdb and data of every command the disk received.
    std::vector<std::string> Sent() {
        std::vector<std::string> out;
        for (const auto& line : disk.LogLines()) {
            auto field = [&](const std::string& key) {
                auto at = line.find("\"" + key + "\": \"") + key.size() + 5;
                return line.substr(at, line.find('"', at) - at);
            };
            out.push_back(field("cdb").substr(12) + (field("data").empty() ? "" : ":" + field("data")));
        }
        return out;
    }
};

TEST(DiskUtilsUnits, IndexToHexAndReplacements) {
    EXPECT_EQ(TDiskUtils::IndexToHex(1), "01000000");
    EXPECT_EQ(TDiskUtils::IndexToHex(300), "2C010000");
    EXPECT_EQ(TDiskUtils::IndexToHex(0), "00000000");
    EXPECT_EQ(TDiskUtils::ReplaceCommand("D3 D4", "{GET_INV}"), "fc ff cc bc  53 e1 79");
    EXPECT_EQ(TDiskUtils::ReplaceCommand("B1 B2", "{GET_INV}"), "fc ff cc bc  53 e1 84");
    EXPECT_EQ(TDiskUtils::ReplaceCommand("B1 B2", "{VERIFY}"), "fc ff cc bc  53 e1 82");
    EXPECT_EQ(TDiskUtils::ReplaceCommand("", "{VERIFY}"), "{VERIFY}");
    EXPECT_EQ(TDiskUtils::ReplaceCommand("D3 D4", "fc ff"), "fc ff");
}

TEST(DiskUtilsUnits, GetInvoiceCountTakesTheThirdLine) {
    auto hex = [](const std::string& text) {
        std::string out;
        char buf[4];
        for (unsigned char c : text) {
            snprintf(buf, sizeof buf, "%02X ", c);
            out += buf;
        }
        return out;
    };
    struct Case {
        std::string text;
        int count;
    } cases[] = {{"A\nB\n12\nD\n", 12}, {"A\nB\n", 0}, {"A\nB\n12", 0}, {"A\nB\n\nD\n", 0}, {"", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(TDiskUtils::GetInvoiceCount(hex(c.text)), c.count) << c.text;
    EXPECT_THROW(TDiskUtils::GetInvoiceCount(hex("A\nB\n1x\n")), EdsError);
}

TEST_F(DiskUtilsTest, D3D4DiskExpandsTheTemplateForIndexesOneToCount) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 3)));
    WriteScript(StandardScript());
    ASSERT_TRUE(utils.ReadDisk(script)) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_EQ(utils.DiskTaxpayerID, kTaxpayer);

    auto rows = ReadScript();
    ASSERT_EQ(rows.size(), 4u + 12u + 1u);
    EXPECT_EQ(rows[0].Response, "D3 D4");
    EXPECT_EQ(rows[2].Request, "fc ff cc bc  53 e1 7a");
    EXPECT_EQ(rows[2].Param, "11223344");
    EXPECT_EQ(rows[3].Request, "fc ff cc bc  53 e1 79");
    for (int i = 0; i < 3; ++i) {
        const TRow* group = &rows[4 + 4 * i];
        EXPECT_EQ(group[0].Request, "fc ff cc bc  53 e1 79");
        EXPECT_EQ(group[0].Param, "0" + std::to_string(i + 1) + "000000");
        EXPECT_EQ(group[0].Direction, "1");
        EXPECT_EQ(group[1].Response, "0" + std::to_string(i + 1) + " AA BB");
        EXPECT_EQ(group[2].Response, "00 00");
    }
    EXPECT_EQ(rows[16].Request, "fc ff cc bc  53 e1 28");
    EXPECT_EQ(rows[16].Direction, "0");
    EXPECT_FALSE(rows[16].Response.empty());

    auto sent = Sent();
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[2], "7a:11223344");
    EXPECT_EQ(sent[4], "79:01000000");
    EXPECT_EQ(sent.back(), "28");
}

TEST_F(DiskUtilsTest, OtherDiskTypeUsesIndexesFromZeroAndTwoByteVerification) {
    ASSERT_TRUE(disk.Start(Scenario("B1 B2", 3)));
    WriteScript(StandardScript());
    ASSERT_TRUE(utils.ReadDisk(script)) << dialogs.Transcript();
    auto rows = ReadScript();
    ASSERT_EQ(rows.size(), 17u);
    EXPECT_EQ(rows[2].Param, "5566");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[4 + 4 * i].Request, "fc ff cc bc  53 e1 84");
        EXPECT_EQ(rows[4 + 4 * i].Param, "0" + std::to_string(i) + "000000");
        EXPECT_EQ(rows[5 + 4 * i].Response, "0" + std::to_string(i + 1) + " AA BB");
    }
    auto sent = Sent();
    EXPECT_EQ(sent[2], "82:5566");
    EXPECT_EQ(sent[3], "83");
}

TEST_F(DiskUtilsTest, CountZeroStillRunsTheFinalCommand) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 0)));
    WriteScript(StandardScript());
    ASSERT_TRUE(utils.ReadDisk(script));
    auto rows = ReadScript();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[4].Request, "fc ff cc bc  53 e1 28");
    EXPECT_FALSE(rows[4].Response.empty());
}

TEST_F(DiskUtilsTest, CountLineThatIsNoNumberFailsTheRun) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 1, R"(, "count_text": "A\nB\nzwölf\nD\n")")));
    WriteScript(StandardScript());
    std::string before = ReadFileBytes(script);
    EXPECT_FALSE(utils.ReadDisk(script));
    ASSERT_EQ(dialogs.Texts("error").size(), 1u);
    EXPECT_NE(dialogs.Texts("error")[0].find("不是有效的数字"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(script), before);
}

TEST_F(DiskUtilsTest, FailingFixedRowLeavesTheFileUntouched) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 2, R"(, "faults": [{"kind": "fail", "command": "6a"}])")));
    WriteScript(StandardScript());
    std::string before = ReadFileBytes(script);
    utils.DiskTaxpayerID = "kept";
    EXPECT_FALSE(utils.ReadDisk(script));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_EQ(ReadFileBytes(script), before);
    EXPECT_EQ(utils.DiskTaxpayerID, "kept");
    // The disk was closed: it can be opened again at once.
    disk.SetScenario(Scenario("D3 D4", 2));
    EXPECT_TRUE(utils.ReadDisk(script));
}

TEST_F(DiskUtilsTest, FailingInvoiceRowSavesTheRowsDoneSoFar) {
    // Reads of 79: the count, invoice 1, then invoice 2 fails.
    ASSERT_TRUE(disk.Start(Scenario(
        "D3 D4", 3, R"(, "faults": [{"kind": "fail", "command": "79", "direction": 0, "skip": 2}])")));
    WriteScript(StandardScript());
    EXPECT_FALSE(utils.ReadDisk(script));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    auto rows = ReadScript();
    ASSERT_EQ(rows.size(), 4u + 4u + 1u);
    EXPECT_EQ(rows[5].Response, "01 AA BB");
    EXPECT_EQ(rows[8].Param, "02000000");
    EXPECT_NE(Sent().back(), "28") << "the final command is not sent";
}

TEST_F(DiskUtilsTest, MalformedScriptsAreRefusedWithAMessage) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 1)));
    struct Case {
        const char* what;
        std::vector<TRow> rows;
        const char* message;
    } cases[] = {
        {"placeholder before 7d", {{"{GET_INV_COUNT}", "", "0"}, {"fc ff cc bc  53 e1 7d", "", "0"}}, "7d"},
        {"placeholder parameter before 7d", {{"fc ff cc bc  53 e1 7a", "{VERIFY_PARAM}", "1"}}, "7d"},
        {"rows missing after the marker",
         {{"fc ff cc bc  53 e1 7d", "", "0"},
          {"", "", ""},
          {"{GET_INV}", "{CUR_INV_INDEX}", "1"},
          {"x", "", "0"}},
         "缺少"},
        {"bad direction", {{"fc ff cc bc  53 e1 7d", "", "2"}}, "方向"},
    };
    for (const auto& c : cases) {
        dialogs.Clear();
        WriteScript(c.rows);
        std::string before = ReadFileBytes(script);
        EXPECT_FALSE(utils.ReadDisk(script)) << c.what;
        ASSERT_EQ(dialogs.Texts("error").size(), 1u) << c.what;
        EXPECT_NE(dialogs.Texts("error")[0].find(c.message), std::string::npos) << dialogs.Transcript();
        EXPECT_EQ(ReadFileBytes(script), before) << c.what;
    }
    // No placeholder text ever reached the disk as zero bytes.
    for (const auto& s : Sent())
        EXPECT_NE(s.substr(0, 2), "00") << s;
}

TEST_F(DiskUtilsTest, MissingVerificationValueFailsWithoutSendingIt) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 1)));
    WriteFileBytes(temp / "Brindle.ini", "[Disk]\nVerifyParam2=5566\n");
    WriteScript(StandardScript());
    std::string before = ReadFileBytes(script);
    EXPECT_FALSE(utils.ReadDisk(script));
    ASSERT_EQ(dialogs.Texts("error").size(), 1u);
    EXPECT_NE(dialogs.Texts("error")[0].find("VerifyParam4"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(script), before);
    for (const auto& s : Sent())
        EXPECT_NE(s.substr(0, 2), "7a") << "no made-up verification value may be sent";
}

TEST_F(DiskUtilsTest, DiskThatCannotBeOpened) {
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 1, R"(, "faults": [{"kind": "absent"}])")));
    WriteScript(StandardScript());
    EXPECT_FALSE(utils.ReadDisk(script));
    EXPECT_TRUE(dialogs.Has("error", "打开报税盘失败，请检查设备连接是否正确！")) << dialogs.Transcript();
}

TEST_F(DiskUtilsTest, DebugModeNeverOpensTheDisk) {
    // The disk would refuse to open; in debug mode it is never asked.
    ASSERT_TRUE(disk.Start(Scenario("D3 D4", 1, R"(, "faults": [{"kind": "absent"}])")));
    WriteFileBytes(temp / "Request_Response.xml", "<Root/>");
    WriteScript(StandardScript());
    ASSERT_TRUE(utils.ReadDisk(script)) << dialogs.Transcript();
    auto rows = ReadScript();
    // "00 00" everywhere: the disk type is no "D3 D4" and the count answer has no lines.
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].Response, "00 00");
    EXPECT_EQ(rows[4].Response, "00 00");
    EXPECT_TRUE(disk.LogLines().empty());
}

} // namespace
