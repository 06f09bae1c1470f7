#include "UInstallation.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsHexUtils.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"
#include "UdsXMLParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>

namespace {

const char* kTaxpayer = "110105000000001";
const char* kPassword = "pavrid";

TInstallOptions Options(const std::string& base, const std::string& id) {
    TInstallOptions o;
    o.BaseFolder = base;
    o.TaxpayerID = id;
    return o;
}

void Install(const TInstallOptions& options) {
    TInstallReport report;
    std::string error;
    ASSERT_TRUE(TInstallation::Install(options, report, error)) << error;
}

void Connect(TdsAdoDBKit& kit, const std::string& file) {
    std::string error;
    ASSERT_TRUE(kit.Connect(file, kPassword, false, error)) << file << ": " << error;
}

// Column name -> value of every row of a query.
std::vector<std::map<std::string, TdsValue>> Rows(TdsAdoDBKit& kit, const std::string& sql) {
    TVirtualTable table;
    EXPECT_GE(kit.OpenQuery(table, sql), 0) << sql;
    std::vector<std::map<std::string, TdsValue>> rows;
    for (int r = 0; r < table.RecordCount(); ++r) {
        std::map<std::string, TdsValue> row;
        for (int f = 0; f < table.FieldCount(); ++f)
            row[table.FieldDef(f).Name] = table.Value(r, f);
        rows.push_back(row);
    }
    return rows;
}

std::string ConfigValue(TdsAdoDBKit& kit, const std::string& category, const std::string& key,
                        const char* column = "FValue") {
    auto rows = Rows(kit, std::string("SELECT ") + column + " FROM S_Config WHERE FCategory = '" + category +
                              "' AND FKey = '" + key + "'");
    return rows.empty() ? "<no row>" : rows[0][column].AsString();
}

std::string Cell(const TVirtualTable& t, int row, const std::string& column) {
    for (int f = 0; f < t.FieldCount(); ++f)
        if (t.FieldDef(f).Name == column)
            return t.StoredValue(row, f).AsString();
    ADD_FAILURE() << "no column " << column;
    return "";
}

std::vector<std::string> Columns(const TVirtualTable& t) {
    std::vector<std::string> names;
    for (int f = 0; f < t.FieldCount(); ++f)
        names.push_back(t.FieldDef(f).Name);
    return names;
}

// The simulator's tables as the file gives them: name -> value.
struct TSimTables {
    std::map<std::string, std::string> card, disk, download;
};

TSimTables LoadSimulator(const std::string& file) {
    TdsXMLParser parser;
    std::string error;
    EXPECT_TRUE(parser.LoadFromFile(file, error)) << error;
    TSimTables t;
    for (const TdsXMLNode& n : parser.FindNode("Card").ChildNodes())
        t.card[n.Attribute("Request")] = n.Attribute("Response");
    for (const TdsXMLNode& n : parser.FindNode("Disk").ChildNodes())
        t.disk[n.Attribute("Request") + n.Attribute("Param")] = n.Attribute("Response");
    for (const TdsXMLNode& n : parser.FindNode("DownloadFileName").ChildNodes())
        t.download[n.NodeName()] = n.Text();
    return t;
}

// APDU rows are upper-case hex pairs separated by single spaces.
bool IsApduText(const std::string& text) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ' || text.find("  ") != std::string::npos)
        return false;
    for (size_t i = 2; i < text.size(); i += 3)
        if (text[i] != ' ')
            return false;
    return TdsHexUtils::IsHexText(TdsStrUtils::ReplaceAll(text, " ", ""));
}

void CheckCardScript(const TVirtualTable& t, const std::string& name) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Columns(t), (std::vector<std::string>{"CMDRequest", "CMDResponse", "ExecStatusC", "ExecStatusS",
                                                    "ErrorCMD"}));
    ASSERT_GT(t.StoredRecordCount(), 0);
    int ids = 0, ics = 0;
    for (int r = 0; r < t.StoredRecordCount(); ++r) {
        EXPECT_TRUE(IsApduText(Cell(t, r, "CMDRequest")))
            << "row " << r + 1 << ": " << Cell(t, r, "CMDRequest");
        std::set<std::string> pending = {"0", "-1", "63", "15", "1D"};
        EXPECT_TRUE(pending.count(Cell(t, r, "ExecStatusC"))) << "row " << r + 1;
        EXPECT_EQ(Cell(t, r, "CMDResponse"), "");
        ids += Cell(t, r, "ErrorCMD") == "{ID}";
        ics += Cell(t, r, "ErrorCMD") == "{IC}";
    }
    EXPECT_EQ(Cell(t, 0, "CMDRequest"), "00 A4 00 00 02 3F 00");
    EXPECT_EQ(Cell(t, 1, "CMDRequest"), "00 84 00 00 08");
    EXPECT_LE(ids, 1);
    EXPECT_EQ(ics, 1);
}

// The shape the disk runner relies on: 7d first, "{GET_INV_COUNT}" among the fixed rows, the empty marker,
// four template rows, one row passed over, the final command as the last row.
void CheckDiskScript(const TVirtualTable& t, const std::string& name) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Columns(t), (std::vector<std::string>{"CMDRequest", "Param", "Direction", "CMDResponse"}));
    ASSERT_GT(t.StoredRecordCount(), 0);
    EXPECT_EQ(Cell(t, 0, "CMDRequest"), "fc ff cc bc  53 e1 7d");
    int marker = -1;
    bool count = false;
    for (int r = 0; r < t.StoredRecordCount() && marker < 0; ++r) {
        std::string request = Cell(t, r, "CMDRequest");
        if (request.empty())
            marker = r;
        count = count || request == "{GET_INV_COUNT}";
        if (marker < 0) {
            EXPECT_TRUE(Cell(t, r, "Direction") == "0" || Cell(t, r, "Direction") == "1") << "row " << r + 1;
            EXPECT_NE(Cell(t, r, "Param"), "{CUR_INV_INDEX}") << "only template rows carry the index";
        }
    }
    ASSERT_GE(marker, 1);
    EXPECT_TRUE(count) << "{GET_INV_COUNT} before the marker";
    ASSERT_EQ(t.StoredRecordCount(), marker + 7)
        << "marker, four template rows, the passed-over row, the final";
    bool index = false;
    for (int r = marker + 1; r <= marker + 4; ++r) {
        EXPECT_FALSE(Cell(t, r, "CMDRequest").empty()) << "template row " << r + 1;
        EXPECT_EQ(Cell(t, r, "Direction"), "0");
        index = index || Cell(t, r, "Param") == "{CUR_INV_INDEX}";
    }
    EXPECT_TRUE(index);
    std::string final = Cell(t, marker + 6, "CMDRequest");
    EXPECT_TRUE(TdsStrUtils::StartsStr("fc ff cc bc  53 e1 ", final)) << final;
    for (int r = marker + 1; r < marker + 6; ++r)
        EXPECT_NE(Cell(t, r, "CMDRequest"), final)
            << "the final command must be the first match after the marker";
}

} // namespace

// One fresh debug installation serves the checks of what a first run writes.
class FreshInstallation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        temp_ = new TTempFolder();
        base_ = *temp_ / "base/";
        TInstallOptions o = Options(*temp_ / "base", kTaxpayer);
        o.EnterpriseName = "北京测试有限公司";
        o.TaxDeptCode = "11101050000";
        o.AuthenServer = "127.0.0.1:8443";
        o.Debug = true;
        o.ProgramFile = *temp_ / "bin/Brindle";
        TdsIOUtils::ForceFolders(*temp_ / "bin");
        std::string error;
        ok_ = TInstallation::Install(o, report_, error);
        error_ = error;
    }
    static void TearDownTestSuite() {
        delete temp_;
        temp_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ok_) << error_; }

    static TTempFolder* temp_;
    static std::string base_, error_;
    static bool ok_;
    static TInstallReport report_;
};
TTempFolder* FreshInstallation::temp_ = nullptr;
std::string FreshInstallation::base_, FreshInstallation::error_;
bool FreshInstallation::ok_ = false;
TInstallReport FreshInstallation::report_;

TEST_F(FreshInstallation, WritesEveryFile) {
    for (std::string file :
         {"dat/Master.mdb", "dat/110105000000001/Brindle.mdb", "Config.dll", "Config.qel", "res/Brindle.ico",
          "res/BS_Card.vtd", "res/BS_Disk_201.vtd", "res/BS_Disk_202.vtd", "res/QK_Card.vtd",
          "res/QK_Disk.vtd", "Brindle.sh", "Request_Response.xml"})
        EXPECT_TRUE(TdsIOUtils::FileExists(base_ + file)) << file;
    for (std::string folder : {"Temp", "Log", "Upgrade", "dat/110105000000001/Temp"})
        EXPECT_TRUE(TdsIOUtils::FolderExists(base_ + folder)) << folder;
    // Nothing half-made is left behind.
    EXPECT_FALSE(TdsIOUtils::FileExists(base_ + "dat/Master.mdb.creating"));
    EXPECT_FALSE(TdsIOUtils::FileExists(base_ + "Config.qel.xml-tmp"));

    std::string ico = ReadFileBytes(base_ + "res/Brindle.ico");
    ASSERT_GE(ico.size(), 22u);
    auto word = [&](size_t at) {
        return static_cast<unsigned char>(ico[at]) | static_cast<unsigned char>(ico[at + 1]) << 8;
    };
    auto dword = [&](size_t at) {
        return static_cast<uint32_t>(word(at)) | static_cast<uint32_t>(word(at + 2)) << 16;
    };
    EXPECT_EQ(word(0), 0);
    EXPECT_EQ(word(2), 1) << "icon resource";
    EXPECT_EQ(word(4), 1);
    EXPECT_EQ(dword(18), 22u);
    EXPECT_EQ(dword(14) + 22, ico.size()) << "the image fills the rest of the file";
    EXPECT_EQ(dword(22), 40u) << "bitmap header";

    struct stat st {};
    ASSERT_EQ(::stat((base_ + "Brindle.sh").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

TEST_F(FreshInstallation, DatabasesAreEncryptedAndHoldTheShippedRows) {
    for (std::string file : {"dat/Master.mdb", "dat/110105000000001/Brindle.mdb"}) {
        std::string bytes = ReadFileBytes(base_ + file);
        EXPECT_GT(bytes.size(), 0u) << file;
        EXPECT_NE(bytes.substr(0, 15), "SQLite format 3") << file;
    }
    TdsAdoDBKit master;
    Connect(master, base_ + "dat/Master.mdb");
    auto users = Rows(master, "SELECT FCode, FName, FReserve FROM S_User ORDER BY FCode");
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0]["FCode"].AsString(), "admin");
    EXPECT_EQ(users[1]["FCode"].AsString(), "user");
    for (auto& u : users) {
        EXPECT_TRUE(u["FReserve"].IsBoolean() && u["FReserve"].AsBoolean()) << u["FCode"].AsString();
        EXPECT_FALSE(u["FName"].AsString().empty());
    }
    // Jet compares codes ignoring case.
    EXPECT_EQ(Rows(master, "SELECT FCode FROM S_User WHERE FCode = 'ADMIN'").size(), 1u);
    EXPECT_EQ(Rows(master, "SELECT COUNT(*) AS N FROM S_Authority")[0]["N"].AsInteger(), 0);

    TdsAdoDBKit db;
    Connect(db, base_ + "dat/110105000000001/Brindle.mdb");
    const std::map<std::string, std::vector<std::string>> keys = {
        {"System", {"EnterpriseName", "Path_Backup", "TaxpayerID"}},
        {"Network",
         {"TaxDeptCode", "TaxDeptName", "AuthenServer", "StandbyServer", "AuthenPassword", "InformServer",
          "SubDomain", "TimeOut"}},
        {"Login", {"IsFirstLogin"}}};
    for (const auto& [category, names] : keys)
        for (const std::string& key : names)
            EXPECT_NE(ConfigValue(db, category, key), "<no row>") << category << "/" << key;
    EXPECT_EQ(Rows(db, "SELECT COUNT(*) AS N FROM S_Config")[0]["N"].AsInteger(), 12);

    std::string initial = ConfigValue(db, "Network", "AuthenPassword", "FDefault");
    EXPECT_GE(initial.size(), 6u);
    EXPECT_EQ(ConfigValue(db, "Network", "AuthenPassword"), initial) << "the user must change it first";
    EXPECT_NE(ConfigValue(db, "Login", "IsFirstLogin"), "0");
    EXPECT_EQ(ConfigValue(db, "Network", "TimeOut"), "60000");
    EXPECT_EQ(ConfigValue(db, "System", "TaxpayerID"), kTaxpayer);
    EXPECT_EQ(ConfigValue(db, "System", "EnterpriseName"), "北京测试有限公司");
    EXPECT_EQ(ConfigValue(db, "Network", "TaxDeptCode"), "11101050000");
    EXPECT_EQ(ConfigValue(db, "Network", "AuthenServer"), "127.0.0.1:8443");
    EXPECT_EQ(ConfigValue(db, "network", "authenserver"), "127.0.0.1:8443") << "keys ignore case";
    EXPECT_GE(Rows(db, "SELECT COUNT(*) AS N FROM DBVerInfo")[0]["N"].AsInteger(), 1);

    // The tables the program writes take its statements: a card with the default True, result figures.
    std::string error;
    EXPECT_EQ(db.ExecSQL("INSERT INTO KDR_ICCards (FNumber, FKind, FRemark, FOrder, FDiskNumber) VALUES "
                         "('12345678901234', '0', 'A''B', '000', '499000000001')",
                         error),
              1)
        << error;
    auto card = Rows(db, "SELECT FEnabled, FRemark FROM KDR_ICCards");
    ASSERT_EQ(card.size(), 1u);
    EXPECT_TRUE(card[0]["FEnabled"].AsBoolean());
    EXPECT_EQ(card[0]["FRemark"].AsString(), "A'B");
    EXPECT_EQ(
        db.ExecSQL("INSERT INTO KDR_DeclareResult(FAcceptID, FTaxKind, FTaxMedia, QCKC, BQLG, BQTH, BQKJ, "
                   "QMJY, ZCFPFS, ZCFPJE, ZCFPSE, ZFFPFS, ZFFPJE, ZFFPSE) VALUES('a1', '1', '', 10, 0, 0, 3, "
                   "7, 3, 1234.56, 160.49, 0, 0, 0)",
                   error),
        1)
        << error;
    EXPECT_DOUBLE_EQ(
        Rows(db, "SELECT ZCFPJE FROM KDR_DeclareResult WHERE FAcceptID = 'A1'")[0]["ZCFPJE"].AsFloat(),
        1234.56);
}

TEST_F(FreshInstallation, SettingsFilesDecodeAndFindTheRegion) {
    TdsXMLNode product = LoadEncodedXMLFile(base_ + "Config.dll");
    ASSERT_FALSE(product.IsNull());
    EXPECT_EQ(product.Attribute("Version"), "1.0.0");
    EXPECT_EQ(FindChildNode(product, "AppTitle", false).Text(), "Brindle 增值税发票数据远程抄报系统");
    EXPECT_FALSE(FindChildNode(product, "Copyright", false).Text().empty());

    TdsXMLNode settings = LoadEncodedXMLFile(base_ + "Config.qel");
    ASSERT_FALSE(settings.IsNull());
    EXPECT_FALSE(FindNodeByPath(settings, "General/RunMode", false).IsNull());

    TRecordingDialogs dialogs;
    TdsXMLNode region = FindRegion(base_, kTaxpayer);
    ASSERT_FALSE(region.IsNull()) << dialogs.Transcript();
    EXPECT_EQ(region.Attribute("ID"), "11");
    EXPECT_FALSE(region.Attribute("Code").empty());
    EXPECT_EQ(FindNodeByPath(region, "Options/DeclarePrompt", false).Text(), "0");
    EXPECT_EQ(FindNodeByPath(region, "Options/InformServerEnabled", false).Text(), "1");
}

TEST_F(FreshInstallation, TemplatesHaveTheScriptShapes) {
    for (const std::string& name : TInstallation::TemplateNames()) {
        TVirtualTable t;
        t.LoadFromFile(base_ + "res/" + name + ".vtd");
        if (name.find("Card") != std::string::npos)
            CheckCardScript(t, name);
        else
            CheckDiskScript(t, name);
        if (name == "BS_Card") {
            EXPECT_EQ(Cell(t, t.StoredRecordCount() - 1, "CMDRequest"), "00 B0 00 84 02")
                << "the record count";
        }
        if (name == "QK_Card") {
            int handBack = 0;
            for (int r = 0; r < t.StoredRecordCount(); ++r)
                handBack += Cell(t, r, "ExecStatusC") == "-1";
            EXPECT_EQ(handBack, 1) << "the unlock template hands the script back with a fresh challenge";
        }
    }
}

// The debug answers cover what the templates send, so a debug declaration runs on recorded answers.
TEST_F(FreshInstallation, DebugTablesAnswerTheTemplates) {
    TSimTables sim = LoadSimulator(base_ + "Request_Response.xml");
    EXPECT_EQ(ReadFileBytes(*temp_ / "bin/Request_Response.xml"),
              ReadFileBytes(base_ + "Request_Response.xml"))
        << "the simulator reads the copy beside the program";

    TVirtualTable card;
    card.LoadFromFile(base_ + "res/BS_Card.vtd");
    for (int r = 0; r < card.StoredRecordCount(); ++r) {
        std::string apdu = TdsStrUtils::ReplaceAll(Cell(card, r, "CMDRequest"), " ", "");
        ASSERT_TRUE(sim.card.count(apdu)) << apdu;
        std::string answer = sim.card[apdu];
        EXPECT_TRUE(TdsStrUtils::EndsText("9000", answer)) << apdu;
        if (Cell(card, r, "ErrorCMD") == "{IC}") {
            EXPECT_EQ(TdsStrUtils::CopyFrom(answer, 33).substr(0, 14), std::string(14, '0'));
        }
        if (Cell(card, r, "ErrorCMD") == "{ID}") {
            EXPECT_EQ(TdsStrUtils::CopyFrom(answer, 5).substr(0, 15), kTaxpayer);
        }
    }
    // Disk type D3 D4; the taxpayer from the third byte of 6a; the count on the third line.
    const std::string cmd = "fc ff cc bc  53 e1 ";
    EXPECT_EQ(sim.disk[cmd + "7d"], "D3 D4");
    auto text = [](const std::string& hex) {
        std::string bytes;
        for (const std::string& pair : [&] {
                 std::vector<std::string> v;
                 TdsStrUtils::SplitText(hex, " ", false, v);
                 return v;
             }())
            bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
        return bytes;
    };
    EXPECT_EQ(text(sim.disk[cmd + "6a"]).substr(2), kTaxpayer);
    EXPECT_EQ(text(sim.disk[cmd + "79"]), "BRINDLE\n20261211\n2\n");
    EXPECT_TRUE(sim.disk.count(cmd + "7901000000") && sim.disk.count(cmd + "7902000000"));

    // The step answers are card scripts that exist and carry the card number row.
    for (const char* step : {"BS201", "BS202"}) {
        ASSERT_TRUE(sim.download.count(step)) << step;
        TVirtualTable answer;
        answer.LoadFromFile(sim.download[step]);
        CheckCardScript(answer, step);
    }
}

TEST(Installation, SecondRunKeepsDataAndAddsATaxpayer) {
    TTempFolder temp;
    std::string base = temp / "base/";
    Install(Options(base, kTaxpayer));
    {
        TdsAdoDBKit master, db;
        Connect(master, base + "dat/Master.mdb");
        Connect(db, base + "dat/110105000000001/Brindle.mdb");
        ASSERT_TRUE(master.ExecScriptOK(std::vector<std::string>{
            "INSERT INTO S_User (FCode, FName, FPassword, FReserve) VALUES ('clerk', '张三', 'x', False)"}));
        ASSERT_TRUE(db.ExecScriptOK(std::vector<std::string>{
            "INSERT INTO S_OpLog (FOpTime, FOpContent) VALUES ('2026-12-11 09:00:00.000', '登录系统')",
            "UPDATE S_Config SET FValue = '654321' WHERE FCategory = 'Network' AND FKey = "
            "'AuthenPassword'"}));
    }
    WriteFileBytes(base + "res/BS_Card.vtd", "stale");

    TInstallOptions again = Options(base, kTaxpayer);
    again.EnterpriseName = "改名后的企业";
    TInstallReport report;
    std::string error;
    ASSERT_TRUE(TInstallation::Install(again, report, error)) << error;
    EXPECT_NE(std::find(report.Lines.begin(), report.Lines.end(), "kept dat/Master.mdb"), report.Lines.end());
    Install(Options(base, "370202000000002"));

    TdsAdoDBKit master, db, second;
    Connect(master, base + "dat/Master.mdb");
    Connect(db, base + "dat/110105000000001/Brindle.mdb");
    Connect(second, base + "dat/370202000000002/Brindle.mdb");
    EXPECT_EQ(Rows(master, "SELECT FCode FROM S_User").size(), 3u);
    EXPECT_EQ(Rows(db, "SELECT FOpContent FROM S_OpLog").size(), 1u);
    EXPECT_EQ(ConfigValue(db, "Network", "AuthenPassword"), "654321");
    EXPECT_EQ(ConfigValue(db, "System", "EnterpriseName"), "改名后的企业") << "a value given again is stored";
    EXPECT_EQ(ConfigValue(second, "System", "TaxpayerID"), "370202000000002");

    TVirtualTable card;
    card.LoadFromFile(base + "res/BS_Card.vtd");
    EXPECT_GT(card.StoredRecordCount(), 0) << "templates are rewritten";

    // Both regions, each once.
    TRecordingDialogs dialogs;
    EXPECT_EQ(FindRegion(base, kTaxpayer).Attribute("ID"), "11");
    EXPECT_EQ(FindRegion(base, "370202000000002").Attribute("ID"), "37");
    EXPECT_EQ(FindChildNode(LoadEncodedXMLFile(base + "Config.qel"), "Regions", false).ChildCount(), 2);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST(Installation, RefusesUnusableInputBeforeWritingAnything) {
    TTempFolder temp;
    struct Case {
        std::string id;
        std::function<void(TInstallOptions&)> change;
        std::string why;
    } cases[] = {
        {"", nullptr, "empty"},
        {"/", nullptr, "separator"},
        {"..", nullptr, "parent folder"},
        {".", nullptr, "this folder"},
        {"11/22", nullptr, "separator inside"},
        {"1101\n05", nullptr, "line break"},
        {std::string("11\x01", 3), nullptr, "control character"},
        {" 110105", nullptr, "leading blank"},
        {kTaxpayer, [](TInstallOptions& o) { o.TaxDeptCode = "1110"; }, "tax authority code too short"},
        {kTaxpayer, [](TInstallOptions& o) { o.TaxDeptCode = "1110-1050"; },
         "tax authority code not alphanumeric"},
        {kTaxpayer, [](TInstallOptions& o) { o.AuthenServer = "127.0.0.1"; }, "server without port"},
        {kTaxpayer, [](TInstallOptions& o) { o.AuthenServer = "host:70000"; }, "port out of range"},
        {kTaxpayer, [](TInstallOptions& o) { o.RegionID = "37"; }, "region of another taxpayer"},
        {kTaxpayer, [](TInstallOptions& o) { o.EnterpriseName = std::string(51, 'x'); }, "name too long"},
        {"91110105MA01ABCD2X", nullptr, "long identifier without tax authority code"},
    };
    std::string home = temp / "config";
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", home.c_str(), 1), 0); // no stored code for the long identifier
    for (const Case& c : cases) {
        TInstallOptions o = Options(temp / "base", c.id);
        if (c.change)
            c.change(o);
        TInstallReport report;
        std::string error;
        EXPECT_FALSE(TInstallation::Install(o, report, error)) << c.why;
        EXPECT_FALSE(error.empty()) << c.why;
        EXPECT_FALSE(TdsIOUtils::FolderExists(temp / "base")) << c.why;
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(Installation, DamagedRegionFileIsNeitherReplacedNorBuiltAround) {
    TTempFolder temp;
    std::string base = temp / "base/";
    TdsIOUtils::ForceFolders(base);
    WriteFileBytes(base + "Config.qel", "hand-edited, not encoded");
    TInstallReport report;
    std::string error;
    EXPECT_FALSE(TInstallation::Install(Options(base, kTaxpayer), report, error));
    EXPECT_NE(error.find("Config.qel"), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(base + "Config.qel"), "hand-edited, not encoded");
    EXPECT_FALSE(TdsIOUtils::FolderExists(base + "dat"));
}

TEST(Installation, LongIdentifierFindsItsRegionThroughTheStoredTaxAuthorityCode) {
    TTempFolder temp;
    std::string home = temp / "config";
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", home.c_str(), 1), 0);
    const std::string id = "91370202MA3C0DEF1X";
    TInstallOptions o = Options(temp / "base", id);
    o.TaxDeptCode = "13702020000";
    Install(o);
    EXPECT_EQ(ReadTaxDeptCode(id), "13702020000");
    TRecordingDialogs dialogs;
    TdsXMLNode region = FindRegion(temp / "base/", id);
    EXPECT_EQ(region.Attribute("ID"), "37") << dialogs.Transcript();
    ::unsetenv("XDG_CONFIG_HOME");
}
