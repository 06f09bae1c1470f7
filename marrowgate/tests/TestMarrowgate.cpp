// The exports against the virtual tax disk: single commands, the identifier reads, the clear-card write,
// the VTD file runs (read back through TVirtualTable) and the runs of VTD texts.
#include "MarrowgateFixture.h"
#include "UVirtualTable.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

std::string ReadText(const std::string& file) {
    return ReadFileBytes(file);
}

// The row lines of a written file (between the data lines).
std::vector<std::string> RowLines(const std::string& text) {
    std::vector<std::string> rows;
    size_t pos = text.find("  <rs:data>\n");
    if (pos == std::string::npos)
        return rows;
    pos += 12;
    while (true) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        if (end == std::string::npos || line == "  </rs:data>")
            break;
        rows.push_back(line);
        pos = end + 1;
    }
    return rows;
}

std::string Requests(const std::vector<std::string>& rows) {
    std::string out;
    for (const auto& row : rows) {
        size_t at = row.find("CMDRequest='") + 12;
        std::string request = row.substr(at, row.find('\'', at) - at);
        out += (out.empty() ? "" : " ") + (request.size() == 20 ? request.substr(18) : request);
    }
    return out;
}

} // namespace

TEST_F(MarrowgateTest, RunExternUsbOrderNeedsOperateUsbDeviceAndOpensOnce) {
    Start(R"("locked": true)");
    uint8_t buffer[8] = {};
    EXPECT_EQ(RunExternUsbOrder("FCFFCCBC53E109", "", buffer, 2, 0), -1);
    EXPECT_EQ(Functions(), "");
    ASSERT_EQ(OperateUsbDevice(0x101), 1); // only the low byte counts
    EXPECT_EQ(RunExternUsbOrder("fc ff cc bc  53 e1 40", "5a 3c 96 e1", buffer, 0, 1), 1);
    // A second open keeps the session: the disk stays unlocked.
    ASSERT_EQ(OperateUsbDevice(1), 1);
    EXPECT_EQ(RunExternUsbOrder("FCFFCCBC53E109", "", buffer, 2, 0), 1);
    EXPECT_EQ(buffer[0], 0x00);
    EXPECT_EQ(Functions(), "40 09");
    EXPECT_EQ(Logged(0, "data"), "5a3c96e1");
    EXPECT_EQ(Logged(0, "cdb"), "fcffccbc53e140");
    EXPECT_EQ(OperateUsbDevice(0), 1);
    EXPECT_EQ(RunExternUsbOrder("FCFFCCBC53E109", "", buffer, 2, 0), -1);
}

TEST_F(MarrowgateTest, RunExternUsbOrderResultCodes) {
    Start(
        R"("faults": [{"kind": "short", "command": "28", "length": 5}, {"kind": "fail", "command": "c9"}])");
    ASSERT_EQ(OperateUsbDevice(1), 1);
    uint8_t buffer[64] = {};
    struct Case {
        const char* command;
        const char* data;
        uint8_t* buffer;
        int32_t length;
        int32_t write;
        int32_t expected;
    } cases[] = {
        {"", "", buffer, 2, 0, 0},                   // no command text
        {nullptr, "", buffer, 2, 0, 0},              //
        {"FCFFCCBC53E1A", "", buffer, 2, 0, 0},      // a digit without partner is refused
        {"FCFFCCBC53E1aa", "", nullptr, 2, 0, -2},   // null read buffer
        {"FCFFCCBC53E1aa", "", buffer, 2, 0, 1},     //
        {"FCFFCCBC53E128", "", buffer, 17, 0, -4},   // short read
        {"FCFFCCBC53E1c9", "", buffer, 61, 0, -3},   // failed transfer
        {"FCFFCCBC53E1a7", "0102", buffer, 0, 1, 1}, // write: the data length is the transfer length
        {"FCFFCCBC53E1a7", "", buffer, 0, 1, -3},    // nothing to write
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunExternUsbOrder(c.command, c.data, c.buffer, c.length, c.write), c.expected)
            << (c.command ? c.command : "null") << " " << c.data;
    EXPECT_EQ(Functions(), "aa 28 c9 a7");
    EXPECT_EQ(Logged(3, "length"), "2");
    EXPECT_EQ(Logged(3, "data"), "0102");
}

TEST_F(MarrowgateTest, GetTaxpayerIdUnlocksOnlyALockedDisk) {
    Start(R"("locked": true, "verify": "5a3c96e1")");
    char id[32] = {};
    EXPECT_EQ(GetTaxpayerID(id), 1);
    EXPECT_STREQ(id, "110101199001011");
    EXPECT_EQ(Functions(), "09 40 aa 28");
    EXPECT_EQ(Logged(1, "data"), kVerify);

    disk.ClearLog();
    disk.SetScenario(R"({"taxpayer": "110101199001011234", "disk": {"locked": false}})");
    EXPECT_EQ(GetTaxpayerID(id), 1);
    EXPECT_EQ(Functions(), "09 28");

    EXPECT_EQ(GetTaxpayerID(nullptr), 0);
}

TEST_F(MarrowgateTest, GetCardIdAndTheFailureCodes) {
    Start(R"("number": "661234567890")");
    char card[32] = {};
    EXPECT_EQ(GetCardID(card), 1);
    EXPECT_STREQ(card, "661234567");
    EXPECT_EQ(Functions(), "09 28 aa c9");

    disk.SetScenario(R"({"disk": {"faults": [{"kind": "short", "command": "c9", "length": 60}]}})");
    EXPECT_EQ(GetCardID(card), -2);
    // Without the verification value a locked disk is not unlocked with zeros.
    Configure(false, true);
    disk.ClearLog();
    disk.SetScenario(R"({"disk": {"locked": true}})");
    EXPECT_EQ(GetTaxpayerID(card), MARROWGATE_NOT_CONFIGURED);
    EXPECT_EQ(Functions(), "09");
    disk.SetScenario(R"({"disk": {"faults": [{"kind": "absent"}]}})");
    EXPECT_EQ(GetCardID(card), -1);
}

TEST_F(MarrowgateTest, RunExternQkUsbOrderWritesTheConfiguredBlock) {
    Start(R"()");
    EXPECT_EQ(RunExternQkUsbOrder(), 1);
    EXPECT_EQ(Functions(), "a7");
    EXPECT_EQ(Logged(0, "data"), kClearBlock);
    EXPECT_EQ(Logged(0, "length"), "49");

    disk.SetScenario(R"({"disk": {"faults": [{"kind": "short", "command": "a7", "length": 48}]}})");
    EXPECT_EQ(RunExternQkUsbOrder(), -4);
    disk.SetScenario(R"({"disk": {"faults": [{"kind": "absent"}]}})");
    EXPECT_EQ(RunExternQkUsbOrder(), -1);

    disk.ClearLog();
    Configure(true, false);
    EXPECT_EQ(RunExternQkUsbOrder(), MARROWGATE_NOT_CONFIGURED);
    EXPECT_EQ(Functions(), "");
}

TEST_F(MarrowgateTest, DeclarationFileFollowsTheFirst09AndA3Rules) {
    const std::string file = temp / "declare.xml";
    Start(R"("locked": true, "records": 3, "invoices": ["0102", "0304"])");
    ASSERT_EQ(BSUsbDataToVtdXmlFile(file.c_str()), 1);
    std::string text = ReadText(file);
    ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    auto rows = RowLines(text);
    EXPECT_EQ(Requests(rows), "09 40 aa 28 aa c9 09 28 aa a4 09 c9 a3 a5 a5 a5");
    EXPECT_EQ(rows[1], "    <z:row ExecStatusC='1' CMDRequest='fc ff cc bc 53 e1 40' CMDRemark='备注不详'  "
                       "ExecStatusS='0'  ErrorCMD='0' />");
    EXPECT_EQ(rows[0], "    <z:row ExecStatusC='1' CMDRequest='fc ff cc bc 53 e1 09' CMDRemark='指令不详' "
                       "CMDResponse='ee ee' ExecStatusS='0'   ErrorCMD='0'/>");
    // The remarks as UTF-8 bytes.
    EXPECT_NE(text.find("\xE5\xA4\x87\xE6\xB3\xA8\xE4\xB8\x8D\xE8\xAF\xA6"), std::string::npos); // 备注不详
    EXPECT_NE(text.find("\xE6\x8C\x87\xE4\xBB\xA4\xE4\xB8\x8D\xE8\xAF\xA6"), std::string::npos); // 指令不详
    EXPECT_EQ(text.substr(text.size() - 20), "  </rs:data>\n</xml>\n");
    // The a5 answers: 2057 bytes as 6170 characters.
    size_t at = rows[13].find("CMDResponse='") + 13;
    EXPECT_EQ(rows[13].substr(at, rows[13].find('\'', at) - at).size(), 6170u);
    EXPECT_EQ(rows[13].substr(at, 6), "01 02 ");

    // The main program's table reads the same rows.
    TVirtualTable table;
    table.LoadFromFile(file);
    ASSERT_EQ(table.StoredRecordCount(), static_cast<int>(rows.size()));
    table.First();
    EXPECT_EQ(table.FieldByName("CMDRequest").AsString(), "fc ff cc bc 53 e1 09");
    EXPECT_EQ(table.FieldByName("CMDResponse").AsString(), "ee ee");
    EXPECT_EQ(table.FieldByName("CMDRemark").AsString(), "指令不详");
    EXPECT_EQ(table.FieldByName("ExecStatusC").AsString(), "1");
    table.Next();
    EXPECT_TRUE(table.FieldByName("CMDResponse").IsNull());
    EXPECT_EQ(table.FieldByName("CMDRemark").AsString(), "备注不详");

    // An unlocked disk: no 40 and no aa after the first 09; a count of 0 gives no a5 row.
    disk.SetScenario(R"({"disk": {"locked": false, "records": 0}})");
    ASSERT_EQ(BSUsbDataToVtdXmlFile(file.c_str()), 1);
    EXPECT_EQ(Requests(RowLines(ReadText(file))), "09 28 aa c9 09 28 aa a4 09 c9 a3");
}

TEST_F(MarrowgateTest, FailedDeclarationRunsLeaveNoFile) {
    const std::string file = temp / "declare.xml";
    Start(R"("records": 4294967295)");
    EXPECT_EQ(BSUsbDataToVtdXmlFile(file.c_str()), -6);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(Functions(), "09 28 aa c9 09 28 aa a4 09 c9 a3");

    struct Case {
        const char* scenario;
        bool verify;
        const char* path;
        int expected;
    } cases[] = {
        {R"({"disk": {"records": 2, "faults": [{"kind": "short", "command": "a5", "skip": 1, "length": 100}]}})",
         true, "declare.xml", -4},
        {R"({"disk": {"faults": [{"kind": "fail", "command": "28"}]}})", true, "declare.xml", -4},
        {R"({"disk": {"locked": true}})", false, "declare.xml", MARROWGATE_NOT_CONFIGURED},
        {R"({"disk": {"faults": [{"kind": "absent"}]}})", true, "declare.xml", -1},
        {R"({"disk": {}})", true, "no-such-folder/declare.xml", -2},
    };
    for (const auto& c : cases) {
        disk.SetScenario(c.scenario);
        Configure(c.verify, true);
        std::string path = temp / c.path;
        EXPECT_EQ(BSUsbDataToVtdXmlFile(path.c_str()), c.expected) << c.scenario;
        EXPECT_FALSE(std::filesystem::exists(path)) << c.scenario;
    }
    EXPECT_EQ(BSUsbDataToVtdXmlFile(nullptr), 0);
}

TEST_F(MarrowgateTest, ClearCardFilesEndWithTheBlockOfTheirDataType) {
    const std::string file = temp / "clear.xml";
    Start(R"("locked": true)");
    struct Case {
        int32_t type;
        const char* requests;
    } cases[] = {
        {10, "09 40 aa 28 aa a4 {ClearCard} aa 26 aa"},
        {20, "09 40 aa 28 aa a4 {ClearCardA7} aa {ClearCardC7} aa 26 aa"},
        {0, "09 40 aa 28 aa a4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetUsbCardDataType(c.type), c.type);
        ASSERT_EQ(QKUsbDataToVtdXmlFile(file.c_str()), 1);
        auto rows = RowLines(ReadText(file));
        EXPECT_EQ(Requests(rows), c.requests) << c.type;
        TVirtualTable table;
        table.LoadFromFile(file);
        EXPECT_EQ(table.StoredRecordCount(), static_cast<int>(rows.size()));
        if (c.type == 10) {
            EXPECT_EQ(rows[6],
                      "    <z:row ExecStatusC='0' CMDRequest='{ClearCard}' CMDRemark='fc ff cc bc 53 e1 a7' "
                      "ExecStatusS='0' ErrorCMD='1'/>");
            EXPECT_EQ(rows[9],
                      "    <z:row ExecStatusC='0' CMDRequest='fc ff cc bc 53 e1 aa' CMDRemark='指令不详' "
                      "CMDResponse='00 00' ExecStatusS='99' ErrorCMD='0'/>");
        }
    }
}

TEST_F(MarrowgateTest, StopFromAnotherThreadEndsALongRun) {
    const std::string file = temp / "declare.xml";
    Start(R"("records": 100000, "delay_ms": 2)");
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        // Stop once the a5 records flow.
        for (int i = 0; i < 3000 && !done; ++i) {
            if (disk.LogLines().size() > 20) {
                StopReadUsbData();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    int32_t result = BSUsbDataToVtdXmlFile(file.c_str());
    done = true;
    stopper.join();
    EXPECT_EQ(result, -5);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_LT(disk.LogLines().size(), 200u);
    // A stop while no run is active does not reach the next run.
    disk.SetScenario(R"({"disk": {"records": 1}})");
    StopReadUsbData();
    EXPECT_EQ(BSUsbDataToVtdXmlFile(file.c_str()), 1);
}

namespace {

std::string VtdText(const std::string& rows) {
    return "\xEF\xBB\xBF<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' "
           "xmlns:rs='urn:schemas-microsoft-com:rowset' "
           "xmlns:z='#RowsetSchema'>\n<s:Schema id='RowsetSchema'/>\n  <rs:data>\n" +
           rows + "  </rs:data>\n</xml>\n";
}

std::string Row(const std::string& status, const std::string& request, const std::string& response,
                const std::string& error) {
    return "    <z:row ExecStatusC='" + status + "' CMDRequest='" + request +
           "' CMDRemark='指令不详' CMDResponse='" + response + "' ExecStatusS='0' ErrorCMD='" + error +
           "'/>\n";
}

} // namespace

TEST_F(MarrowgateTest, RunExternQkUsbStrOrderRunsThePendingRows) {
    Start(R"("aa": "00 00")");
    const std::string done = Row("1", "fc ff cc bc 53 e1 09", "00 00", "0");
    // 62 characters: the command is the 14 after the first 30.
    const std::string long62 = "000102030405060708090a0b0c0d0eFCFFCCBC53E128" + std::string(18, '0');
    struct Case {
        const char* what;
        std::string text;
        int32_t expected;
        const char* functions;
    } cases[] = {
        {"done rows only", VtdText(done), 0, ""},
        {"pending read and write",
         VtdText(done + Row("0", "fc ff cc bc 53 e1 aa", "00 00", "0") +
                 Row("0", "fc ff cc bc 53 e1 a7", "01 02 03", "1")),
         1, "aa a7"},
        {"62-character request", VtdText(Row("0", long62, "00 00", "0")), 1, "28"},
        {"20-character request",
         VtdText(Row("0", "fc ff cc bc 53 e1 aa", "00 00", "0") +
                 Row("0", "fcffccbc53e1aa000000", "00 00", "0")),
         0, ""},
        {"placeholder row", VtdText(Row("0", "{ClearCard}", "", "1")), 0, ""},
        {"character references", VtdText(Row("0", "fc&#32;ff&#x20;cc bc 53 e1 &#97;a", "00 00", "0")), 1,
         "aa"},
        {"not XML", "<xml><rs:data>", 0, ""},
        {"empty text", "  ", 0, ""},
        {"short read", VtdText(Row("0", "fc ff cc bc 53 e1 aa", "00 00 00", "0")), -2, "aa"},
    };
    for (const auto& c : cases) {
        disk.ClearLog();
        EXPECT_EQ(RunExternQkUsbStrOrder(c.text.c_str()), c.expected) << c.what;
        EXPECT_EQ(Functions(), c.functions) << c.what;
    }
    // The short-read row asked for as many bytes as its CMDResponse holds.
    EXPECT_EQ(Logged(0, "length"), "3");
    disk.ClearLog();
    EXPECT_EQ(RunExternQkUsbStrOrder(VtdText(Row("0", "fc ff cc bc 53 e1 a7", "01 02 03", "1")).c_str()), 1);
    EXPECT_EQ(Logged(0, "data"), "010203");
    EXPECT_EQ(Logged(0, "length"), "3");
    EXPECT_EQ(RunExternQkUsbStrOrder(nullptr), 0);

    // The status check: an aa read answering anything but 00 00 stops the rows.
    disk.SetScenario(R"({"disk": {"aa": "00 01"}})");
    disk.ClearLog();
    EXPECT_EQ(RunExternQkUsbStrOrder(VtdText(Row("0", "fc ff cc bc 53 e1 aa", "00 00", "0") +
                                             Row("0", "fc ff cc bc 53 e1 26", "a3 5c c5 3a", "0"))
                                         .c_str()),
              -4);
    EXPECT_EQ(Functions(), "aa");
    disk.SetScenario(R"({"disk": {"faults": [{"kind": "absent"}]}})");
    EXPECT_EQ(RunExternQkUsbStrOrder(VtdText(done).c_str()), -1);
}

TEST_F(MarrowgateTest, AClearCardFileRunsOnceItsPlaceholdersAreFilled) {
    const std::string file = temp / "clear.xml";
    Start(R"()");
    SetUsbCardDataType(10);
    ASSERT_EQ(QKUsbDataToVtdXmlFile(file.c_str()), 1);
    std::string text = ReadText(file);
    size_t at = text.find("CMDRequest='{ClearCard}' CMDRemark='fc ff cc bc 53 e1 a7'");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 24, "CMDRequest='fc ff cc bc 53 e1 a7' CMDResponse='0a 0b'");
    disk.ClearLog();
    EXPECT_EQ(RunExternQkUsbStrOrder(text.c_str()), 1);
    EXPECT_EQ(Functions(), "a7 aa 26 aa");
    EXPECT_EQ(Logged(0, "data"), "0a0b");
}

TEST_F(MarrowgateTest, DiagnosticLinesGoToTheDebugOutput) {
    const std::string log = temp / "debug.log";
    setenv("MARROWGATE_DEBUG_OUTPUT", log.c_str(), 1);
    Start(R"()");
    ASSERT_EQ(OperateUsbDevice(1), 1);
    char id[32];
    ASSERT_EQ(GetTaxpayerID(id), 1); // closes the disk, DeviceOpened stays 1
    uint8_t buffer[4];
    EXPECT_EQ(RunExternUsbOrder("FCFFCCBC53E109", "", buffer, 2, 0), -3);
    EXPECT_NE(ReadText(log).find("SendSCSICommandToDevice file open error with error: 6\n\r\n"),
              std::string::npos);
}
