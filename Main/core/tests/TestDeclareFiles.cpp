#include "UDeclareBiz.h"
#include "UGlobal.h"
#include "UMainTestSupport.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>

namespace {

const char* kTaxpayer = "370101000000001";

// One installation for the suite (the databases are costly to create); each test gets empty working
// folders.
class DeclareFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        base_ = new TTempFolder();
        std::string error;
        installed_ = InstallTestBase(base_->Path(), kTaxpayer, error);
        installError_ = error;
    }
    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(installed_) << installError_;
        Global = new TGlobal({kTaxpayer, "admin", *base_ / "Brindle.sh"}, TGlobalFrontEnd());
        Global->TaxpayerID = kTaxpayer;
        temp = Global->PathInfo->GetTempFolder();
        taxpayerTemp = Global->PathInfo->GetTaxpayerTempFolder();
        TdsIOUtils::ClearFolder(temp);
        TdsIOUtils::ClearFolder(taxpayerTemp);
    }
    void TearDown() override { FreeGlobal(); }

    static std::string Res(const std::string& name) { return base_->Path() + "res/" + name; }
    std::vector<std::string> Files(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // A card script whose rows carry the given items and answers.
    void WriteCard(const std::string& file, const std::vector<std::pair<std::string, std::string>>& rows) {
        TVirtualTable table;
        for (const char* name : {"CMDRequest", "CMDResponse", "ExecStatusC", "ExecStatusS", "ErrorCMD"})
            table.AddField(name, ftString, 200);
        table.Open();
        for (const auto& [item, answer] : rows)
            table.AppendRecord({TdsValue::Text("00 B0 00 00 1A"), TdsValue::Text(answer), TdsValue::Text("1"),
                                TdsValue::Text("0"), TdsValue::Text(item)});
        table.SaveToFile(file);
    }

    static TTempFolder* base_;
    static bool installed_;
    static std::string installError_;
    TRecordingDialogs dialogs;
    TDeclareBiz biz;
    std::string temp, taxpayerTemp;
};

TTempFolder* DeclareFiles::base_ = nullptr;
bool DeclareFiles::installed_ = false;
std::string DeclareFiles::installError_;

const std::string kGuid = "[0-9A-F]{32}";

TEST_F(DeclareFiles, EveryRunGetsNewNamesAndStartsWithEmptyFolders) {
    std::string card1 = biz.PrepareDeclareCardFile();
    std::string disk1 = biz.PrepareDeclareDiskFile("201");
    std::string pack1 = biz.PackDeclareFiles("BS201", card1, disk1);
    EXPECT_TRUE(std::regex_match(card1, std::regex(temp + "KDR_Card_" + kTaxpayer + kGuid + "\\.vtd")))
        << card1;
    EXPECT_TRUE(std::regex_match(disk1, std::regex(temp + "KDR_Disk_201_" + kTaxpayer + kGuid + "\\.vtd")))
        << disk1;
    EXPECT_TRUE(std::regex_match(pack1, std::regex(temp + "KDR" + kTaxpayer + kGuid + "\\.dat"))) << pack1;
    // Copies of the templates, as they are.
    EXPECT_EQ(ReadFileBytes(card1), ReadFileBytes(Res("BS_Card.vtd")));
    EXPECT_EQ(ReadFileBytes(disk1), ReadFileBytes(Res("BS_Disk_201.vtd")));
    EXPECT_EQ(Files(temp).size(), 3u);
    WriteFileBytes(taxpayerTemp + "unpacked.vtd", "x");
    std::filesystem::create_directory(temp + "sub");

    std::string card2 = biz.PrepareDeclareCardFile();
    std::string disk2 = biz.PrepareDeclareDiskFile("202");
    std::string disk3 = biz.PrepareDeclareDiskFile("202");
    EXPECT_NE(card1, card2);
    EXPECT_NE(disk2, disk3);
    EXPECT_TRUE(std::regex_match(disk2, std::regex(temp + "KDR_Disk_202_" + kTaxpayer + kGuid + "\\.vtd")));
    EXPECT_EQ(ReadFileBytes(disk2), ReadFileBytes(Res("BS_Disk_202.vtd")));
    // The second start emptied both folders before its copy.
    std::vector<std::string> expected = {TdsIOUtils::ExtractName(card2), TdsIOUtils::ExtractName(disk2),
                                         TdsIOUtils::ExtractName(disk3)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files(temp), expected);
    EXPECT_TRUE(Files(taxpayerTemp).empty());
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(DeclareFiles, MissingTemplates) {
    std::filesystem::rename(Res("BS_Disk_202.vtd"), Res("hidden"));
    std::filesystem::rename(Res("BS_Card.vtd"), Res("hidden-card"));
    try {
        biz.PrepareDeclareDiskFile("202");
        ADD_FAILURE() << "no error for a missing disk template";
    } catch (const EdsError& e) {
        EXPECT_NE(std::string(e.what()).find("BS_Disk_202.vtd"), std::string::npos) << e.what();
    }
    // A missing card template leaves no working file; loading it is what fails.
    std::string card = biz.PrepareDeclareCardFile();
    EXPECT_FALSE(TdsIOUtils::FileExists(card));
    TVirtualTable table;
    EXPECT_THROW(table.LoadFromFile(card), EdsError);
    EXPECT_TRUE(Files(temp).empty());
    std::filesystem::rename(Res("hidden"), Res("BS_Disk_202.vtd"));
    std::filesystem::rename(Res("hidden-card"), Res("BS_Card.vtd"));
}

TEST_F(DeclareFiles, PackageHoldsTheCardThenTheDiskScriptUnderBareNames) {
    std::string card = biz.PrepareDeclareCardFile();
    std::string disk = biz.PrepareDeclareDiskFile("201");
    std::string pack = biz.PackDeclareFiles("BS201", card, disk);
    ASSERT_TRUE(TdsIOUtils::FileExists(pack));
    EXPECT_FALSE(TdsIOUtils::FileExists(pack.substr(0, pack.size() - 4) + ".zip"));
    // Entries in order with name, method, the raw deflate stream compared with zlib at level 6, and
    // whether the contents equal the files.
    std::string script =
        "import sys, zipfile, zlib\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "for i, f in zip(z.infolist(), sys.argv[2:]):\n"
        "    data = open(f, 'rb').read()\n"
        "    c = zlib.compressobj(6, zlib.DEFLATED, -15)\n"
        "    raw = c.compress(data) + c.flush()\n"
        "    z.fp.seek(i.header_offset + 26)\n"
        "    n, m = int.from_bytes(z.fp.read(2), 'little'), int.from_bytes(z.fp.read(2), 'little')\n"
        "    z.fp.seek(i.header_offset + 30 + n + m)\n"
        "    stored = z.fp.read(i.compress_size)\n"
        "    print(i.filename, i.compress_type, i.flag_bits & 1, z.read(i) == data, stored == raw)\n"
        "print(len(z.infolist()))\n";
    WriteFileBytes(temp + "check.py", script);
    std::string output;
    ASSERT_EQ(RunCommand("python3 " + temp + "check.py " + pack + " " + card + " " + disk, &output), 0)
        << output;
    EXPECT_EQ(output, TdsIOUtils::ExtractName(card) + " 8 0 True True\n" + TdsIOUtils::ExtractName(disk) +
                          " 8 0 True True\n2\n");
}

TEST_F(DeclareFiles, UnlockPackagesAreNamedAfterTheCardFile) {
    std::string disk = temp + "KDR_Disk_" + kTaxpayer + "0123456789ABCDEF0123456789ABCDEF.vtd";
    WriteFileBytes(disk, "disk");
    // The working card file of the unlock.
    std::string working = temp + "KDR_Card_" + kTaxpayer + "FEDCBA9876543210FEDCBA9876543210.vtd";
    WriteFileBytes(working, "card");
    EXPECT_EQ(biz.PackUnlockFiles("QK201", working, disk),
              temp + "KDR" + kTaxpayer + "FEDCBA9876543210FEDCBA9876543210.dat");
    // A card file named by the server, in another folder: the package goes beside it.
    std::string server = taxpayerTemp + "QK202_Srv_370101_KDR_Card_1.vtd";
    WriteFileBytes(server, "card");
    // An older package of that name is not what a failed packing may leave behind.
    WriteFileBytes(taxpayerTemp + "KDR_370101_KDR_Card_1.dat", "stale");
    EXPECT_EQ(biz.PackUnlockFiles("QK202", server, temp + "missing.vtd"),
              taxpayerTemp + "KDR_370101_KDR_Card_1.dat");
    EXPECT_FALSE(TdsIOUtils::FileExists(taxpayerTemp + "KDR_370101_KDR_Card_1.dat"));
    std::string pack = biz.PackUnlockFiles("QK202", server, disk);
    EXPECT_EQ(pack, taxpayerTemp + "KDR_370101_KDR_Card_1.dat");
    EXPECT_TRUE(TdsIOUtils::FileExists(pack));
    EXPECT_EQ(Files(taxpayerTemp),
              (std::vector<std::string>{"KDR_370101_KDR_Card_1.dat", "QK202_Srv_370101_KDR_Card_1.vtd"}));
}

TEST_F(DeclareFiles, ItemsReadFromTheCardScript) {
    const std::string card = temp + "card.vtd";
    const std::string number = "00000000000000000000000000000000"
                               "12345678901234"
                               "9000";
    struct TCase {
        std::vector<std::pair<std::string, std::string>> rows;
        std::string taxpayer, cardNumber;
    } cases[] = {
        {{{"", "ignored"}, {"{ID}", "0F00370101000000001FFF9000"}, {"{IC}", number}, {"{ID}", "0F00999"}},
         kTaxpayer,
         "12345678901234"},
        // A short answer gives what is there; no "{IC}" row gives no number.
        {{{"{ID}", "0F00370101"}}, "370101", ""},
        {{{"{ID}", "0F00"}, {"{IC}", "0000000000000000000000000000000012345"}}, "", "12345"},
        {{}, "", ""},
    };
    for (const TCase& c : cases) {
        WriteCard(card, c.rows);
        EXPECT_EQ(biz.ReadCardTaxpayerID(card), c.taxpayer);
        EXPECT_EQ(biz.ReadCardNumber(card), c.cardNumber);
    }
    // Debug mode: the current taxpayer, without opening any file.
    WriteFileBytes(base_->Path() + "Request_Response.xml", "<Request_Response/>");
    EXPECT_EQ(biz.ReadCardTaxpayerID(temp + "missing.vtd"), kTaxpayer);
    std::filesystem::remove(base_->Path() + "Request_Response.xml");
    EXPECT_THROW(biz.ReadCardTaxpayerID(temp + "missing.vtd"), EdsError);
}

} // namespace
