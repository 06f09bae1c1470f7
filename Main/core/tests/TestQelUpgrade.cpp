// The online upgrade against the tax platform emulator: the request's header block on the wire, the
// question and the messages, the piecewise download with its resumable temporary file, the package
// checks and the start of the updater.
#include "UEmulatorTestSupport.h"
#include "UPlatformTestBase.h"

#include "UQelUpgrade.h"
#include "UdsSecurity.h"

#include <algorithm>

using TEmu = TPlatformEmulator;

namespace {

const std::string kTaxpayer = "110101000000001";

// Bytes that deflate does not shrink, so the package spans several pieces.
std::string Noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return out;
}

std::string Header(const std::string& index, long long length, long long receivedUpTo) {
    return TQelUpgrade::FormatDownHeader({index, length, receivedUpTo});
}

} // namespace

class QelUpgrade : public TPlatformTest {
protected:
    std::unique_ptr<TPlatformEmulator> emulator;
    TRecordingApplication app;
    std::string package; // the bytes the server offers
    std::string noise = Noise(50000, 7);
    std::string upgradeFolder, baseFolder, tempFile;

    void SetUp() override {
        TPlatformTest::SetUp();
        if (HasFatalFailure())
            return;
        std::string source = temp / "pack/";
        TdsIOUtils::ForceFolders(source);
        WriteFileBytes(source + TQelUpgrade::kUpdaterName, "#!/bin/sh\nexit 0\n");
        WriteFileBytes(source + "data.bin", noise);
        ASSERT_TRUE(TdsIOUtils::ZipFiles({source + TQelUpgrade::kUpdaterName, source + "data.bin"},
                                         temp / "upgrade.zip"));
        package = ReadFileBytes(temp / "upgrade.zip");
        ASSERT_NE(package.size() % TQelUpgrade::kPieceSize, 0u);
        ASSERT_GT(package.size(), 2u * TQelUpgrade::kPieceSize);
        emulator = std::make_unique<TPlatformEmulator>(
            temp / "emu/",
            "{\"taxpayer\": \"" + kTaxpayer +
                "\", \"platform\": {\"password\": \"secret-1\", \"upgrade\": {\"version\": \"4.0\", "
                "\"index\": \"7\", \"file\": \"" +
                std::string(temp / "upgrade.zip") + "\"}}}");
        Platform().SetMainServer(emulator->Address());
        upgradeFolder = Global->PathInfo->GetUpgradeFolder();
        baseFolder = Global->PathInfo->GetBaseFolder();
        tempFile = upgradeFolder + TQelUpgrade::kTempName;
    }
    void SetUpgrade(const std::string& extra) {
        emulator->Control("{\"set\": {\"upgrade\": {\"version\": \"4.0\", \"index\": \"7\", \"file\": \"" +
                          std::string(temp / "upgrade.zip") + "\"" + extra + "}}}");
    }
    // StartPos of every piece request since the given request count.
    std::vector<std::string> Starts(size_t from = 0) {
        std::vector<std::string> out;
        auto requests = emulator->Requests("UpdateSoft.do");
        for (size_t i = from; i < requests.size(); ++i)
            if (TEmu::Value(requests[i], "StartPos") != "<none>")
                out.push_back(TEmu::Value(requests[i], "StartPos"));
        return out;
    }
    std::vector<std::string> Pieces(size_t count, size_t first = 0) {
        std::vector<std::string> out;
        for (size_t i = first; i < first + count; ++i)
            out.push_back(std::to_string(i * TQelUpgrade::kPieceSize));
        return out;
    }
    size_t PieceCount() const {
        return (package.size() + TQelUpgrade::kPieceSize - 1) / TQelUpgrade::kPieceSize;
    }
    void ExpectUpdaterStarted() {
        ASSERT_EQ(app.Opened.size(), 1u) << dialogs.Transcript();
        EXPECT_EQ(app.Opened[0], upgradeFolder + TQelUpgrade::kUpdaterName + "|\"" + baseFolder + "\"|" +
                                     upgradeFolder + "|normal");
        EXPECT_EQ(app.Terminations, 1);
    }
};

TEST_F(QelUpgrade, HeaderBlockMessagesAndTheInitialPassword) {
    // Nothing new: reported only when the user asked.
    SetUpgrade(", \"version\": \"3.2.1\"");
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, false));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
    EXPECT_EQ(dialogs.Transcript(), "[info] 本软件已经是最新版本！\n");

    auto requests = emulator->Requests("UpdateSoft.do");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(TEmu::Text(requests[0], "method"), "GET");
    EXPECT_EQ(TEmu::Text(requests[0], "path"), "/UpdateSoft.do");
    std::vector<std::string> raw;
    for (const TdsJSONValue& line : requests[0].Find("raw")->Items())
        raw.push_back(line.Text());
    auto first = std::find(raw.begin(), raw.end(), "Content-Type: application/x-www-form-urlencoded");
    ASSERT_GE(std::distance(first, raw.end()), 8)
        << TdsStrUtils::Format("%s lines", {std::to_string(raw.size())});
    EXPECT_EQ(std::vector<std::string>(first, first + 8),
              (std::vector<std::string>{"Content-Type: application/x-www-form-urlencoded", "DELFLAG: 1",
                                        "CFLAG: 1", "NSRSBH: " + kTaxpayer, "PASSWORD: secret-1",
                                        "VERSION: 3.2.1", "SLTYPE: Z", "DOWNREQUEST: TRUE"}));
    EXPECT_EQ(TEmu::Values(requests[0], "SWJGDM").size(), 0u);
    EXPECT_NE(std::find(busy->Texts.begin(), busy->Texts.end(), "正在获取软件升级信息, 请稍候..."),
              busy->Texts.end());

    // A refusal shows the server's text and leaves no busy indicator behind.
    dialogs.Clear();
    emulator->Control("{\"faults\": [{\"kind\": \"refuse\", \"message\": \"升级服务暂停\", \"operation\": "
                      "\"UpdateSoft.do\", \"times\": 1}]}");
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
    EXPECT_EQ(dialogs.Transcript(), "[error] 升级服务暂停\n");
    EXPECT_FALSE(busy->Showing());

    // The initial password sends nothing.
    dialogs.Clear();
    Global->AuthenPassword = Global->InitialAuthenPassword;
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
    EXPECT_EQ(dialogs.Transcript(), "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_EQ(emulator->Requests("UpdateSoft.do").size(), 3u);
    EXPECT_TRUE(app.Opened.empty());
}

TEST_F(QelUpgrade, TheQuestionDeclinedFetchesNothing) {
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, false));
    ASSERT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
    EXPECT_TRUE(dialogs.Has("question", "存在新的软件版本，是否升级？")) << dialogs.Transcript();
    EXPECT_EQ(emulator->Requests("UpdateSoft.do").size(), 1u);
    EXPECT_FALSE(TdsIOUtils::FileExists(tempFile));
    EXPECT_TRUE(app.Opened.empty());
}

TEST_F(QelUpgrade, PiecesAssembledUnpackedCheckedAndTheUpdaterStarted) {
    dialogs.AnswerNext(true);
    ASSERT_TRUE(Platform().UpdateSoft(nullptr, false)) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Transcript(), "[question] 存在新的软件版本，是否升级？ -> yes\n");
    ExpectUpdaterStarted();

    // Every piece asked for once, in order; the last one is shorter.
    EXPECT_EQ(Starts(), Pieces(PieceCount()));
    auto requests = emulator->Requests("UpdateSoft.do");
    std::vector<std::string> raw;
    for (const TdsJSONValue& line : requests[2].Find("raw")->Items())
        raw.push_back(line.Text());
    auto start = std::find(raw.begin(), raw.end(), "StartPos:20480");
    ASSERT_GE(std::distance(start, raw.end()), 4);
    EXPECT_EQ(std::vector<std::string>(start, start + 4),
              (std::vector<std::string>{"StartPos:20480", "EndPos:40959", "UpgradeIndex:7", "FileType:0"}));
    EXPECT_EQ(ReadFileBytes(upgradeFolder + TQelUpgrade::kPackageName), package);
    EXPECT_EQ(ReadFileBytes(upgradeFolder + "data.bin"), noise);
    EXPECT_FALSE(TdsIOUtils::FileExists(tempFile));
    EXPECT_EQ(busy->Percent(), 100);
    EXPECT_FALSE(busy->Showing());
}

TEST_F(QelUpgrade, AnInterruptedDownloadResumesAfterTheLastPieceReceived) {
    // Every piece after the first is dropped (the transport's own resend included) until the fault goes.
    emulator->Control(
        "{\"faults\": [{\"kind\": \"drop\", \"operation\": \"UpdateSoft.do\", \"pieces\": true, "
        "\"skip\": 1}]}");
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
    emulator->Control("{\"faults\": []}");
    ASSERT_EQ(dialogs.Texts("error").size(), 1u) << dialogs.Transcript();
    EXPECT_FALSE(busy->Showing());
    TUpgradeDownInfo down;
    std::string bytes = ReadFileBytes(tempFile);
    ASSERT_TRUE(TQelUpgrade::ParseDownHeader(bytes, down));
    EXPECT_EQ(bytes.substr(0, 40), Header("7", static_cast<long long>(package.size()), 20479));
    EXPECT_EQ(bytes.substr(40), package.substr(0, 20480));
    EXPECT_TRUE(app.Opened.empty());

    size_t before = emulator->Requests("UpdateSoft.do").size();
    dialogs.Clear();
    ASSERT_TRUE(Platform().UpdateSoft(nullptr, true)) << dialogs.Transcript();
    EXPECT_EQ(Starts(before), Pieces(PieceCount() - 1, 1));
    EXPECT_EQ(ReadFileBytes(upgradeFolder + TQelUpgrade::kPackageName), package);
    ExpectUpdaterStarted();
}

TEST_F(QelUpgrade, ALeftoverTemporaryFileIsKeptOnlyForTheSamePackage) {
    long long length = static_cast<long long>(package.size());
    struct TCase {
        const char* Name;
        std::string File;
        size_t FirstPiece;
    } cases[] = {
        {"another index", Header("8", length, 20479) + package.substr(0, 20480), 0},
        {"another length", Header("7", length + 1, 20479) + package.substr(0, 20480), 0},
        {"not a header", "QELUPGRAD" + std::string(31, ' ') + package.substr(0, 20480), 0},
        // A piece written without its header update: the bytes past the header's count are dropped.
        {"bytes beyond the header", Header("7", length, 20479) + package.substr(0, 20480) + "half a piece",
         1},
        // A header that claims more than the file holds is not believed.
        {"header claims too much", Header("7", length, 40959) + package.substr(0, 20480), 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFileBytes(tempFile, c.File);
        size_t before = emulator->Requests("UpdateSoft.do").size();
        app.Opened.clear();
        app.Terminations = 0;
        ASSERT_TRUE(Platform().UpdateSoft(nullptr, true)) << dialogs.Transcript();
        EXPECT_EQ(Starts(before), Pieces(PieceCount() - c.FirstPiece, c.FirstPiece));
        EXPECT_EQ(ReadFileBytes(upgradeFolder + TQelUpgrade::kPackageName), package);
        ExpectUpdaterStarted();
    }
}

TEST_F(QelUpgrade, PiecesThatDoNotContinueTheFileAreRefused) {
    for (const char* kind : {"piece-offset", "piece-short"}) {
        SCOPED_TRACE(kind);
        TdsIOUtils::DeleteFileForced(tempFile);
        dialogs.Clear();
        emulator->Control(std::string("{\"faults\": [{\"kind\": \"") + kind +
                          "\", \"operation\": \"UpdateSoft.do\", \"skip\": 1, \"times\": 1}]}");
        EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
        EXPECT_EQ(dialogs.Transcript(), "[error] 服务器返回的升级包数据不正确！\n");
        EXPECT_FALSE(busy->Showing());
        // The first piece stays, nothing of the refused one was written.
        std::string bytes = ReadFileBytes(tempFile);
        EXPECT_EQ(bytes.substr(0, 40), Header("7", static_cast<long long>(package.size()), 20479));
        EXPECT_EQ(bytes.substr(40), package.substr(0, 20480));
    }
    ASSERT_TRUE(Platform().UpdateSoft(nullptr, true)) << dialogs.Transcript();
    ExpectUpdaterStarted();
}

TEST_F(QelUpgrade, PackageChecksStopBeforeTheUpdater) {
    TQelUpgrade upgrade({emulator->Address(), "", kTaxpayer, "secret-1", "3.2.1", upgradeFolder});
    TUpgradePackInfo info;
    ASSERT_TRUE(upgrade.GetUpgradeInfo(nullptr, info)) << dialogs.Transcript();
    EXPECT_TRUE(info.HasNewVersion);
    EXPECT_EQ(info.NewVersion + "|" + info.URL + "|" + info.UpgradeIndex, "4.0||7");
    EXPECT_EQ(info.FileLength, static_cast<int64_t>(package.size()));
    EXPECT_EQ(info.FileMD5, TdsSecurity::MD5DataHex(package));

    std::string lower = TdsStrUtils::LowerCase(info.FileMD5);
    WriteFileBytes(temp / "broken.zip", "this is no archive");
    struct TCase {
        std::string Upgrade;
        std::string Message;
    } cases[] = {
        {", \"md5\": \"" + lower + "\"", "[error] 升级包MD5值校验不正确！\n"},
        {", \"file\": \"" + std::string(temp / "broken.zip") + "\"", "[error] 解压缩升级包失败！\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Message);
        dialogs.Clear();
        SetUpgrade(c.Upgrade);
        EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
        EXPECT_EQ(dialogs.Transcript(), c.Message);
        EXPECT_TRUE(app.Opened.empty());
        EXPECT_EQ(app.Terminations, 0);
    }

    // A package without the updater does not end the client.
    std::string source = temp / "pack/";
    ASSERT_TRUE(TdsIOUtils::ZipFiles({source + "data.bin"}, temp / "no-updater.zip"));
    TdsIOUtils::DeleteFileForced(upgradeFolder + TQelUpgrade::kUpdaterName);
    dialogs.Clear();
    SetUpgrade(", \"file\": \"" + std::string(temp / "no-updater.zip") + "\"");
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
    EXPECT_EQ(dialogs.Transcript(),
              std::string("[error] 升级包中没有升级程序“") + TQelUpgrade::kUpdaterName + "”！\n");
    EXPECT_EQ(app.Terminations, 0);
}

TEST_F(QelUpgrade, FromTheDownloadAddressTheServerNames) {
    // The package under a name that is no archive's: rejected before anything is unpacked.
    SetUpgrade(", \"url\": \"/files/QelUpgrade.rar\"");
    EXPECT_FALSE(Platform().UpdateSoft(nullptr, true));
    EXPECT_EQ(dialogs.Transcript(), "[error] 无效的升级包格式！\n");
    EXPECT_EQ(ReadFileBytes(upgradeFolder + "QelUpgrade.rar"), package);
    EXPECT_FALSE(TdsIOUtils::FileExists(upgradeFolder + "data.bin"));
    EXPECT_TRUE(app.Opened.empty());

    dialogs.Clear();
    SetUpgrade(", \"url\": \"/files/Pack.zip\"");
    ASSERT_TRUE(Platform().UpdateSoft(nullptr, true)) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_EQ(ReadFileBytes(upgradeFolder + "data.bin"), noise);
    ExpectUpdaterStarted();
    // Fetched with byte ranges from that address; no piece was asked of the platform.
    EXPECT_TRUE(Starts().empty());
    bool ranged = false;
    for (const TdsJSONValue& r : emulator->Requests())
        ranged =
            ranged || (TEmu::Text(r, "path") == "/files/Pack.zip" && TEmu::Value(r, "Range") != "<none>");
    EXPECT_TRUE(ranged);
}
