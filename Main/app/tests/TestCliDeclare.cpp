// brindle-cli's declaration actions end to end: an installation made by brindle-admin init with its card
// register written by brindle-admin cards, the tax platform emulator, the virtual tax IC card behind
// pcscd and the virtual tax disk behind Quillon's emulator transport.
#include "UCardTestSupport.h"
#include "UDiskTestSupport.h"
#include "UEmulatorTestSupport.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using TEmu = TPlatformEmulator;

const std::string kTaxpayer = "370101000000001";
const std::string kCard = "12345678901234";
const std::string kDisk = "661234567890";

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The server's card scripts as the virtual card answers them: the scripts after BS201 and QK201 read the
// card number (the client compares it), the others ask for a challenge. The comparison takes two rounds.
const std::string kCardSteps =
    "{\"platform\": {\"bdjg\": [2, 2, 1], \"steps\": {"
    "\"BS201\": {\"retries\": 1, \"script\": {\"rows\": ["
    "{\"CMDRequest\": \"00 A4 00 00 02 EF 05\", \"ExecStatusC\": \"0\", \"ErrorCMD\": \"\"}, "
    "{\"CMDRequest\": \"00 B0 00 20 17\", \"ExecStatusC\": \"0\", \"ErrorCMD\": \"{IC}\"}]}}, "
    "\"BS202\": {\"retries\": 1, \"script\": {\"rows\": ["
    "{\"CMDRequest\": \"00 84 00 00 08\", \"ExecStatusC\": \"0\", \"ErrorCMD\": \"\"}]}}, "
    "\"QK201\": {\"retries\": 1, \"script\": {\"rows\": ["
    "{\"CMDRequest\": \"00 A4 00 00 02 EF 05\", \"ExecStatusC\": \"0\", \"ErrorCMD\": \"\"}, "
    "{\"CMDRequest\": \"00 B0 00 20 17\", \"ExecStatusC\": \"0\", \"ErrorCMD\": \"{IC}\"}]}}}}}";

std::string DefaultScenario() {
    return ReadFileBytes(std::string(BRINDLE_SOURCE_DIR) + "/tools/scenarios/default.json");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    TdsStrUtils::SplitText(text, "\n", false, lines);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// A member of a JSON object, or null when there is none.
const TdsJSONValue& Member(const TdsJSONValue& value, const std::string& key) {
    static const TdsJSONValue none;
    const TdsJSONValue* found = value.Find(key);
    return found ? *found : none;
}

// The text of the first element of that name in an answer document.
std::string Element(const std::string& xml, const std::string& name) {
    size_t start = xml.find("<" + name + ">");
    if (start == std::string::npos)
        return "<none>";
    start += name.size() + 2;
    return xml.substr(start, xml.find("</" + name + ">", start) - start);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// An installation made by the programs a user runs, with a copy of brindle-cli of its own: the program
// reads the tax disk's verification value from the ini file beside it, and in debug mode the
// simulator's tables from there as well.
class TCliInstallation {
public:
    TTempFolder temp;
    std::string base, launcher, program;
    int initResult = -1;
    std::string initOutput;

    // options: more options of init.
    explicit TCliInstallation(const std::string& server, const std::string& options = "") {
        TdsIOUtils::ForceFolders(temp / "run");
        TdsIOUtils::ForceFolders(temp / "prog");
        program = temp / "prog/brindle-cli";
        std::filesystem::copy_file(BRINDLE_CLI, program);
        WriteFileBytes(program + ".ini", "[Disk]\nVerifyParam4=11223344\nVerifyParam2=5566\n");
        base = temp / "base";
        launcher = base + "/Brindle.sh";
        initResult =
            RunCommand("BRINDLE_PROGRAM=" + Quote(program) + " " + Quote(BRINDLE_ADMIN) + " init " +
                           Quote(base) + " --taxpayer " + kTaxpayer +
                           " --enterprise 测试企业 --tax-dept 13701000000 --server " + server + options,
                       &initOutput);
    }

    std::string Database() const { return base + "/dat/" + kTaxpayer + "/Brindle.mdb"; }
    int Admin(const std::string& args, std::string& out, std::string& err) {
        std::string errFile = temp / "admin-stderr.txt";
        int rc = RunCommand(Quote(BRINDLE_ADMIN) + " " + args + " 2>" + Quote(errFile), &out);
        err = ReadFileBytes(errFile);
        return rc;
    }
    int Cli(const std::string& command, std::string& out, std::string& err) {
        std::string errFile = temp / "stderr.txt";
        int rc =
            RunCommand("XDG_RUNTIME_DIR=" + Quote(temp / "run") + " " + Quote(program) + " " + kTaxpayer +
                           " admin " + Quote(launcher) + " " + command + " 2>" + Quote(errFile),
                       &out);
        err = ReadFileBytes(errFile);
        return rc;
    }
    void Exec(const std::string& sql) {
        TdsAdoDBKit kit;
        std::string error;
        ASSERT_TRUE(kit.Connect(Database(), "pavrid", false, error)) << error;
        ASSERT_GE(kit.ExecSQL(sql), 0) << sql;
    }
    // column=value lines of every row, "|" between the columns.
    std::vector<std::string> Rows(const std::string& sql) {
        std::vector<std::string> out;
        TdsAdoDBKit kit;
        std::string error;
        EXPECT_TRUE(kit.Connect(Database(), "pavrid", false, error)) << error;
        TVirtualTable table;
        EXPECT_GE(kit.OpenQuery(table, sql), 0) << sql;
        for (table.First(); !table.Eof(); table.Next()) {
            std::string row;
            for (int i = 0; i < table.FieldCount(); ++i)
                row += (i ? "|" : "") + (table.Field(i).IsNull() ? "<null>" : table.Field(i).AsString());
            out.push_back(row);
        }
        return out;
    }
};

} // namespace

// ---- brindle-admin cards ----

TEST(AdminCards, WritesTheRegisterAsTheDialogSavesIt) {
    TCliInstallation inst("127.0.0.1:1");
    ASSERT_EQ(inst.initResult, 0) << inst.initOutput;
    std::string out, err;
    const std::string target = Quote(inst.base) + " --taxpayer " + kTaxpayer;

    ASSERT_EQ(inst.Admin("cards " + target + " --single 123 661234567890 前台", out, err), 0) << err;
    EXPECT_EQ(inst.Rows("SELECT FNumber, FKind, FEnabled, FRemark, FOrder, FDiskNumber FROM KDR_ICCards"),
              (std::vector<std::string>{"00000000000123|0|True|前台|000|661234567890"}));

    // Main/extension mode replaces the register; extension orders count the cards taken.
    ASSERT_EQ(inst.Admin("cards " + target +
                             " --main 11111111111111 D1 --branch 22222222222222 D2 分机一 "
                             "--branch 3 D3 --branch '' D4",
                         out, err),
              0)
        << err;
    EXPECT_EQ(
        inst.Rows("SELECT FNumber, FKind, FOrder, FDiskNumber, FRemark FROM KDR_ICCards ORDER BY FKind, "
                  "FOrder"),
        (std::vector<std::string>{"11111111111111|1|000|D1|", "22222222222222|2|001|D2|分机一",
                                  "00000000000003|2|002|D3|"}));

    // Refused before the database is touched: the register stays.
    struct {
        std::string args;
        int rc;
        std::string err;
    } refused[] = {
        {" --main 11111111111111 D1 --branch 11111111111111 D2", 1, "税控IC卡编号不唯一！"},
        {" --main 1 D1 --branch 5 D2 --branch 05 D3", 1, "税控IC卡编号不唯一！"},
        {" --main 11111111111111 D1", 1, "--branch"},
        {" --single 123456789012345 D1", 1, "longer than 14"},
        {" --single 1 D1 备注太长了超过八个字", 1, "longer than 8"},
        {" --single 1 D1 --branch 2 D2", 2, "usage"},
        {" --single 1", 2, "usage"},
        {"", 2, "usage"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(inst.Admin("cards " + target + r.args, out, err), r.rc) << r.args;
        EXPECT_TRUE(Contains(err, r.err)) << r.args << ": " << err;
    }
    EXPECT_EQ(inst.Rows("SELECT COUNT(*) FROM KDR_ICCards"), (std::vector<std::string>{"3"}));
    EXPECT_EQ(inst.Admin("cards " + Quote(inst.base) + " --taxpayer 110101000000009 --single 1 D1", out, err),
              1);

    // The register as the dialog shows it.
    ASSERT_EQ(inst.Cli("cards", out, err), 0) << err;
    EXPECT_EQ(out,
              "税控IC卡维护\n(*) 主分机卡、报税盘\n"
              "税控IC卡编号（主机）\t报税盘编号\t备注\n11111111111111\tD1\t\n"
              "税控IC卡编号（分机）\t报税盘编号\t备注\n22222222222222\tD2\t分机一\n00000000000003\tD3\t\n");
    ASSERT_EQ(inst.Admin("cards " + target + " --single '' D9 \"it's\"", out, err), 0) << err;
    ASSERT_EQ(inst.Cli("cards", out, err), 0) << err;
    EXPECT_EQ(out, "税控IC卡维护\n(*) 普通税控IC卡、报税盘\n税控IC卡编号\t报税盘编号\t备注\n\tD9\tit's\n");
}

// ---- the declaration, the result query and the unlock against the stand-ins ----

class CliDeclare : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        stand_ = new TCardStand();
        if (!stand_->Start("", standError_))
            standError_ = "the card stand did not start: " + standError_;
    }
    static void TearDownTestSuite() {
        delete stand_;
        stand_ = nullptr;
    }

    TTempFolder temp;
    std::unique_ptr<TPlatformEmulator> emulator;
    std::unique_ptr<TVirtualDisk> disk;
    std::unique_ptr<TCliInstallation> inst;

    void SetUp() override {
        ASSERT_EQ(standError_, "");
        emulator = std::make_unique<TPlatformEmulator>(temp / "emu/", kCardSteps);
        disk = std::make_unique<TVirtualDisk>(
            std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-disk/virtual_disk.py", temp / "");
        ASSERT_TRUE(disk->Start(DefaultScenario()));
        inst = std::make_unique<TCliInstallation>(emulator->Address());
        ASSERT_EQ(inst->initResult, 0) << inst->initOutput;
        // The network password the server knows (the installation starts with the initial one).
        inst->Exec("UPDATE S_Config SET FValue = '12345678' WHERE FCategory = 'Network' AND FKey = "
                   "'AuthenPassword'");
        std::string out, err;
        ASSERT_EQ(inst->Admin("cards " + Quote(inst->base) + " --taxpayer " + kTaxpayer + " --single " +
                                  kCard + " " + kDisk + " 前台",
                              out, err),
                  0)
            << err;
    }

    static TCardStand* stand_;
    static std::string standError_;
};

TCardStand* CliDeclare::stand_ = nullptr;
std::string CliDeclare::standError_;

TEST_F(CliDeclare, DeclareQueryTheResultAndUnlock) {
    std::string out, err;
    // The first action of the period shows the server's new notice and stops; the user reads it first.
    ASSERT_EQ(inst->Cli("download-notices", out, err), 0) << out << err;
    // --- a declaration the server refuses: logged as failed, nothing recorded ---
    emulator->Control("{\"faults\": [{\"kind\": \"refuse\", \"operation\": \"UploadData.do\", \"step\": "
                      "\"BS201\", \"times\": 1, \"message\": \"数据包格式错误\"}]}");
    EXPECT_EQ(inst->Cli("--yes declare", out, err), 1) << out << err;
    EXPECT_TRUE(Contains(err, "[error] 数据包格式错误")) << err;
    EXPECT_TRUE(inst->Rows("SELECT * FROM KDR_DeclareInfo").empty());
    const size_t refusedUploads = emulator->Requests("UploadData.do").size();
    // --- the regular declaration ---
    ASSERT_EQ(inst->Cli("--yes declare", out, err), 0) << out << err << stand_->Log();
    EXPECT_TRUE(Contains(err, "[question] 请确认您插入的税控IC卡编号为“" + kCard + "”！ -> yes")) << err;
    EXPECT_TRUE(Contains(err, "[question] 请确认您插入的报税盘编号为“" + kDisk + "”！ -> yes")) << err;
    EXPECT_TRUE(Contains(err, "[progress] 正在进行常规报税，请不要拔卡、盘！ (1/1)")) << err;
    EXPECT_EQ(Lines(err).back(),
              "[info] 常规报税数据发送成功！\\n\\n请稍后查询报税结果，以确定常规报税是否成功！");

    auto uploads = emulator->Requests("UploadData.do");
    ASSERT_EQ(uploads.size(), refusedUploads + 3);
    uploads.erase(uploads.begin(), uploads.begin() + static_cast<long>(refusedUploads));
    // The run starts without a number and carries the one of the first answer.
    const std::string acceptID = Element(TEmu::Text(uploads[0], "answer/body"), "SLXH");
    std::string first = TEmu::Value(uploads[0], "SLXH");
    EXPECT_TRUE(first == "NULL" || first == "") << first;
    const char* steps[] = {"BS201", "BS202", "BS203"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(TEmu::Value(uploads[i], "STEPID"), steps[i]);
        if (i > 0) {
            EXPECT_EQ(TEmu::Value(uploads[i], "SLXH"), acceptID);
        }
        // The package: the executed card script, then the disk script.
        const auto& entries = Member(Member(uploads[i], "filedata"), "entries").Items();
        ASSERT_EQ(entries.size(), 2u) << i;
        EXPECT_TRUE(TdsStrUtils::StartsText("KDR_Card_", TEmu::Text(entries[0], "name")));
        EXPECT_TRUE(TdsStrUtils::StartsText("KDR_Disk_", TEmu::Text(entries[1], "name")));
        const auto& cardRows = Member(Member(entries[0], "table"), "rows").Items();
        ASSERT_GT(cardRows.size(), 0u);
        for (size_t r = 0; r < cardRows.size(); ++r)
            EXPECT_EQ(TEmu::Text(cardRows[r], "ExecStatusC"), "1") << steps[i] << " row " << r;
        const auto& diskRows = Member(Member(entries[1], "table"), "rows").Items();
        bool answered = false;
        for (const TdsJSONValue& row : diskRows)
            answered = answered || !TEmu::Text(row, "CMDResponse").empty();
        EXPECT_TRUE(answered) << steps[i];
    }
    EXPECT_FALSE(acceptID.empty());
    EXPECT_NE(acceptID, "<none>");
    auto polls = emulator->Requests("DownloadData.do");
    ASSERT_GE(polls.size(), 4u); // one RETRY and the answer for BS201 and BS202
    for (const auto& p : polls)
        EXPECT_EQ(TEmu::Value(p, "SLXH"), acceptID);
    EXPECT_EQ(TEmu::Value(polls.back(), "STEPID"), "BS202");
    EXPECT_EQ(inst->Rows("SELECT FMediaID, FAcceptID, FUnlockTime FROM KDR_DeclareInfo"),
              (std::vector<std::string>{kCard + "|" + acceptID + "|<null>"}));

    // --- the result query: two kinds, replaced by a second query ---
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(inst->Cli("query-result", out, err), 0) << out << err;
        EXPECT_TRUE(Contains(out, "[dialog] 报税结果查询  纳税人识别号: " + kTaxpayer)) << out;
        EXPECT_TRUE(Contains(out, "期初库存\t10\t5\n")) << out;
        EXPECT_TRUE(Contains(out, "正常发票金额\t18000\t900\n")) << out;
        EXPECT_TRUE(Contains(out, "-> 返回")) << out;
        EXPECT_EQ(
            inst->Rows("SELECT FAcceptID, FTaxKind, QCKC, QMJY FROM KDR_DeclareResult ORDER BY FTaxKind"),
            (std::vector<std::string>{acceptID + "|1|10|15", acceptID + "|2|5|2"}));
    }

    // --- an unlock whose first upload is refused: logged as failed, the declaration stays open ---
    emulator->Control("{\"faults\": [{\"kind\": \"refuse\", \"operation\": \"UploadData.do\", \"step\": "
                      "\"QK201\", \"times\": 1, \"message\": \"清卡数据包错误\"}]}");
    EXPECT_EQ(inst->Cli("--yes unlock", out, err), 1) << out << err;
    EXPECT_TRUE(Contains(err, "[error] 清卡数据包错误")) << err;
    EXPECT_EQ(inst->Rows("SELECT FAcceptID, FUnlockTime FROM KDR_DeclareInfo"),
              (std::vector<std::string>{acceptID + "|<null>"}));
    const size_t uploadsBeforeUnlock = emulator->Requests("UploadData.do").size();
    // --- the unlock ---
    ASSERT_EQ(inst->Cli("--yes unlock", out, err), 0) << out << err << stand_->Log();
    EXPECT_TRUE(Contains(out, "-> 开始清卡")) << out;
    EXPECT_TRUE(Contains(err, "[question] 请确认是否已完成常规报税？ -> yes")) << err;
    EXPECT_TRUE(Contains(err, "[question] 请确认您正确插入税控IC卡和税控盘！ -> yes")) << err;
    EXPECT_TRUE(Contains(err, "[progress] 正在进行清卡解锁，请不要拔卡、盘！ (7/7)")) << err;
    EXPECT_EQ(Lines(err).back(), "[info] 清卡解锁成功！");
    std::vector<int> bdjg;
    for (const auto& r : emulator->Requests("GetBDJG.do")) {
        EXPECT_EQ(TEmu::Value(r, "SLXH"), acceptID);
        bdjg.push_back(std::atoi(Element(TEmu::Text(r, "answer/body"), "BDJG").c_str()));
    }
    // Two rounds of "still comparing" in the first attempt, then the verdict stays 1.
    EXPECT_EQ(bdjg, (std::vector<int>{2, 2, 1, 1}));
    auto unlockUploads = emulator->Requests("UploadData.do");
    ASSERT_EQ(unlockUploads.size(), uploadsBeforeUnlock + 3);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(TEmu::Value(unlockUploads[uploadsBeforeUnlock + i], "STEPID"),
                  "QK20" + std::to_string(i + 1));
        EXPECT_EQ(TEmu::Value(unlockUploads[uploadsBeforeUnlock + i], "SLXH"), acceptID);
    }
    auto records = inst->Rows("SELECT FAcceptID, FUnlockTime FROM KDR_DeclareInfo");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(0, acceptID.size() + 1), acceptID + "|");
    EXPECT_EQ(records[0].size(), acceptID.size() + 1 + 19) << records[0]; // "yyyy-mm-dd hh:nn:ss"

    // The result query now finds no open declaration.
    EXPECT_EQ(inst->Cli("query-result", out, err), 1);
    EXPECT_TRUE(Contains(err, "[warning] 您尚未进行常规报税，无法查询报税结果信息！")) << err;

    // --- the lists ---
    ASSERT_EQ(inst->Cli("history", out, err), 0) << err;
    auto history = Lines(out);
    ASSERT_EQ(history.size(), 3u) << out;
    EXPECT_EQ(history[0], "抄报历史");
    EXPECT_EQ(history[1], "申报时间\t税控IC卡编号\t受理序号\t清卡解锁时间");
    std::vector<std::string> cells;
    TdsStrUtils::SplitText(history[2], "\t", false, cells);
    ASSERT_EQ(cells.size(), 4u) << history[2];
    EXPECT_EQ(cells[1] + "|" + cells[2], kCard + "|" + acceptID);
    EXPECT_EQ(cells[3], records[0].substr(acceptID.size() + 1));

    ASSERT_EQ(inst->Cli("log", out, err), 0) << err;
    auto log = Lines(out);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "日志管理");
    EXPECT_EQ(log[1], "操作时间\t用户代码\t用户名称\t操作内容");
    std::vector<std::string> contents;
    for (size_t i = 2; i < log.size(); ++i) {
        std::vector<std::string> c;
        TdsStrUtils::SplitText(log[i], "\t", false, c);
        ASSERT_EQ(c.size(), 4u) << log[i];
        EXPECT_EQ(c[1], "admin");
        if (c[3] != "退出系统" && c[3] != "登录系统")
            contents.push_back(c[3]);
    }
    // Newest first.
    EXPECT_EQ(contents, (std::vector<std::string>{"清卡解锁成功", "开始清卡解锁", "清卡解锁失败",
                                                  "开始清卡解锁", "常规报税数据发送成功", "开始常规报税",
                                                  "常规报税失败", "开始常规报税"}));
}

TEST_F(CliDeclare, ADeclarationInDebugModeUsesNoDevicesAndNoServer) {
    TCliInstallation debug(emulator->Address(), " --debug");
    ASSERT_EQ(debug.initResult, 0) << debug.initOutput;
    // The simulator reads its tables beside the program.
    ASSERT_TRUE(TdsIOUtils::FileExists(debug.temp / "prog/Request_Response.xml")) << debug.initOutput;
    std::string out, err;
    // Devices away: the run must not need them.
    disk->Stop();
    ASSERT_EQ(debug.Cli("--yes --printed declare", out, err), 0) << out << err;
    EXPECT_TRUE(Contains(err, "[warning] 请注意当前为调试模式！")) << err;
    EXPECT_TRUE(Contains(err, "[question] 请确认您已经正确插入报税卡！ -> yes")) << err;
    EXPECT_FALSE(Contains(err, "[error]")) << err;
    EXPECT_TRUE(emulator->Requests().empty());
    // Nothing is recorded in debug mode.
    EXPECT_TRUE(debug.Rows("SELECT * FROM KDR_DeclareInfo").empty());
    auto log = debug.Rows("SELECT FOpContent FROM S_OpLog ORDER BY FOpTime");
    EXPECT_NE(std::find(log.begin(), log.end(), "开始常规报税"), log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), "常规报税失败"), log.end());
}
