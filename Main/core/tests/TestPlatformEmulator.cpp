// The platform client against the tax platform emulator: the wire form of an upload as the server saw
// it, the download states and faults, status, comparison verdict and the notice server.
#include "UEmulatorTestSupport.h"
#include "UPlatformTestBase.h"

#include "SysLog.h"
#include "UDeclareBiz.h"
#include "UInstallation.h"
#include "UNoticeBiz.h"
#include "UdsEncoding.h"
#include "UdsSecurity.h"

#include <algorithm>
#include <filesystem>

using TEmu = TPlatformEmulator;

class PlatformEmulator : public TPlatformTest {
protected:
    std::unique_ptr<TPlatformEmulator> emulator;

    // The emulator knows the installation's taxpayer, password and authority code; the notice server
    // demands the client's default notice secret. Stored before the start: one expired notice.
    std::vector<std::string> ExtraSQL() const override {
        return {"INSERT INTO KDR_Inform(FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate) "
                "VALUES('OLD1', '旧通知', '过期了', '2020-01-01', '2020-01-01 08:00:00.000', '2020-12-31')"};
    }
    void SetUp() override {
        TPlatformTest::SetUp();
        if (HasFatalFailure())
            return;
        emulator = std::make_unique<TPlatformEmulator>(
            temp / "emu/",
            "{\"taxpayer\": \"110101000000001\", \"platform\": {\"password\": \"secret-1\", "
            "\"taxDeptCode\": \"11010100\", \"notice\": {\"secret\": \"" +
                std::string(TQelPlatform::kDefaultNoticeKey) +
                "\"}, \"steps\": {\"BS202\": {\"retries\": 0, \"error\": {\"code\": 12, "
                "\"info\": \"受理失败\"}}}, \"bdjg\": [2, 2, 1], "
                "\"status\": {\"busy\": [1, 0], \"waitTime\": 30}, "
                "\"inform\": {\"status\": 3, \"error\": \"受理服务暂停\"}, "
                "\"notices\": [{\"id\": \"N1\", \"title\": \"报税通知\", \"content\": \"请按时报税。\", "
                "\"pubdate\": \"20240105\", \"expiredate\": \"2099-12-31\"}, "
                "{\"id\": \"N2\", \"title\": \"\", \"content\": "
                "\"系统将于本周六凌晨进行例行维护，届时暂停受理。\", \"pubdate\": \"2024-02-01\", "
                "\"expiredate\": \"209912\"}]}}");
        Platform().SetMainServer(emulator->Address());
    }

    // A real upload package: the card template and the first disk template.
    std::string Package() {
        std::string folder = temp / "tables/";
        TdsIOUtils::ForceFolders(folder);
        TVirtualTable card, disk;
        TInstallation::LoadShippedTable("BS_Card", card);
        TInstallation::LoadShippedTable("BS_Disk_201", disk);
        card.SaveToFile(folder + "KDR_Card_x.vtd");
        disk.SaveToFile(folder + "KDR_Disk_201_x.vtd");
        TDeclareBiz biz;
        return biz.PackDeclareFiles("BS201", folder + "KDR_Card_x.vtd", folder + "KDR_Disk_201_x.vtd");
    }
    bool Upload(const std::string& step, std::string& slxh, std::string* packageBytes = nullptr) {
        std::string pack = Package();
        std::string bytes = ReadFileBytes(pack);
        if (packageBytes)
            *packageBytes = bytes;
        int flag = -1;
        return Platform().UploadData(nullptr, pack, flag, slxh, step, "0", "", "",
                                     TdsIOUtils::Base64Encode(bytes), static_cast<long long>(bytes.size()));
    }
    std::string Download(const std::string& slxh, const std::string& step) {
        bool failed = true;
        std::string result;
        EXPECT_TRUE(Platform().DownloadData(nullptr, slxh, failed, result, step)) << dialogs.Transcript();
        EXPECT_FALSE(failed);
        return result;
    }
};

TEST_F(PlatformEmulator, UploadWireFormAndTheNextCardScript) {
    std::string slxh, bytes;
    ASSERT_TRUE(Upload("BS201", slxh, &bytes)) << dialogs.Transcript();
    EXPECT_FALSE(slxh.empty());

    auto uploads = emulator->Requests("UploadData.do");
    ASSERT_EQ(uploads.size(), 1u);
    const TdsJSONValue& r = uploads[0];
    EXPECT_EQ(TEmu::Text(r, "method"), "POST");
    std::vector<std::string> names;
    for (const auto& [name, value] : TEmu::Headers(r))
        names.push_back(name + ": " + value);
    auto first = std::find(names.begin(), names.end(), "Content-Type: application/x-www-form-urlencoded");
    ASSERT_GE(std::distance(first, names.end()), 17) << TEmu::Text(r, "body").size();
    std::string package = TEmu::Value(r, "FILENAME");
    EXPECT_EQ(std::vector<std::string>(first, first + 17),
              (std::vector<std::string>{
                  "Content-Type: application/x-www-form-urlencoded", "DELFLAG: 1", "CFLAG: 1",
                  "NSRSBH: 110101000000001", "PASSWORD: secret-1", "SWJGDM: 11010100", "SOFT_VER: 3.2.1",
                  "VERSION: 3.2.1", "OS_VER: " + Platform().OSVersion, "SWJGDM: 11010100",
                  "LENGTH: " + std::to_string(bytes.size()), "FILENAME: " + package, "ICCODE: NULL",
                  "EXTCODE: NULL", "EXTNUM: 0", "STEPID: BS201", "SLXH: NULL"}));
    EXPECT_EQ(package.compare(0, 3, "KDR"), 0) << package;
    EXPECT_EQ(package.substr(package.size() - 4), ".dat");
    std::string body = TEmu::Text(r, "body");
    ASSERT_EQ(body.compare(0, 9, "FILEDATA="), 0);
    EXPECT_EQ(TdsIOUtils::Base64Decode(body.substr(9)), bytes);
    // The server read the package: the card script, then the disk script.
    const TdsJSONValue* entries = r.Find("filedata") ? r.Find("filedata")->Find("entries") : nullptr;
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->Items().size(), 2u);
    EXPECT_EQ(TEmu::Text(entries->Items()[0], "name"), "KDR_Card_x.vtd");
    EXPECT_EQ(TEmu::Text(entries->Items()[1], "name"), "KDR_Disk_201_x.vtd");
    EXPECT_EQ(TEmu::Text(r, "answer/fault"), "");

    // Pending first, then the next card script as a table the client can load.
    EXPECT_EQ(Download(slxh, "BS201"), "RETRY;上传的数据正在待处理状态！");
    std::string script = Download(slxh, "BS201");
    EXPECT_NE(TdsIOUtils::ExtractName(script).find("KDR_Card_"), std::string::npos) << script;
    TVirtualTable table;
    ASSERT_NO_THROW(table.LoadFromFile(script));
    ASSERT_EQ(table.RecordCount(), 2);
    table.First();
    EXPECT_EQ(table.FieldByName("CMDRequest").AsString(), "00 A4 00 00 02 EF 05");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    // A second upload of the same step keeps the serial number the server gave.
    std::string again = slxh;
    ASSERT_TRUE(Upload("BS201", again)) << dialogs.Transcript();
    EXPECT_EQ(again, slxh);
    EXPECT_EQ(TEmu::Value(emulator->Requests("UploadData.do")[1], "SLXH"), slxh);
}

TEST_F(PlatformEmulator, DownloadErrorsAndAnswerFaults) {
    std::string slxh;
    ASSERT_TRUE(Upload("BS202", slxh)) << dialogs.Transcript();
    EXPECT_EQ(Download(slxh, "BS202"), "ERROR;常规报税出错（#12 受理失败）");

    // An answer that carries no package name: the first pending answer does not use the fault up.
    emulator->Control("{\"faults\": [{\"kind\": \"empty-filename\", \"operation\": \"DownloadData.do\"}]}");
    std::string other;
    ASSERT_TRUE(Upload("BS201", other)) << dialogs.Transcript();
    EXPECT_EQ(Download(other, "BS201"), "RETRY;上传的数据正在待处理状态！");
    EXPECT_EQ(Download(other, "BS201"), "ERROR;常规报税出错（受理序号为“" + other + "”的数据包为空！）");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    // Lower-case markup is a valid answer; a refusal shows the server's message and logs it.
    emulator->Control("{\"faults\": [{\"kind\": \"lowercase\", \"operation\": \"status.do\", \"times\": 1}, "
                      "{\"kind\": \"refuse\", \"operation\": \"status.do\", \"message\": \"系统维护中\"}]}");
    bool isBusy = false;
    int wait = 0;
    ASSERT_TRUE(Platform().GetStatus(nullptr, isBusy, wait)) << dialogs.Transcript();
    EXPECT_TRUE(isBusy);
    EXPECT_EQ(wait, 30);
    std::string logFile = TSysLog().FileName();
    std::string before;
    TdsIOUtils::TryReadTextFile(logFile, before);
    EXPECT_FALSE(Platform().GetStatus(nullptr, isBusy, wait));
    EXPECT_EQ(dialogs.Transcript(), "[error] 系统维护中\n");
    std::string after = ReadFileBytes(logFile);
    ASSERT_GT(after.size(), before.size());
    EXPECT_NE(TdsEncoding::AnsiToUtf8(after.substr(before.size())).find("服务端返回错误信息：系统维护中"),
              std::string::npos);
    auto status = emulator->Requests("status.do");
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(TEmu::Text(status[0], "answer/fault"), "lowercase");
    EXPECT_EQ(TEmu::Text(status[1], "answer/fault"), "refuse");
}

TEST_F(PlatformEmulator, StatusAndComparisonVerdicts) {
    bool isBusy = false;
    int wait = 0;
    std::vector<std::pair<bool, int>> seen;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Platform().GetStatus(nullptr, isBusy, wait)) << dialogs.Transcript();
        seen.emplace_back(isBusy, wait);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<bool, int>>{{true, 30}, {false, 30}, {false, 30}}));

    std::string slxh;
    ASSERT_TRUE(Upload("BS203", slxh)) << dialogs.Transcript();
    std::vector<int> verdicts;
    for (int i = 0; i < 4; ++i) {
        int bdjg = -1;
        ASSERT_TRUE(Platform().GetBDJG(nullptr, slxh, bdjg)) << dialogs.Transcript();
        verdicts.push_back(bdjg);
    }
    EXPECT_EQ(verdicts, (std::vector<int>{2, 2, 1, 1}));
    EXPECT_EQ(TEmu::Value(emulator->Requests("GetBDJG.do")[0], "SLXH"), slxh);
    // A serial number the server never gave is refused.
    int bdjg = -1;
    EXPECT_FALSE(Platform().GetBDJG(nullptr, "SL-UNKNOWN", bdjg));
    EXPECT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
}

TEST_F(PlatformEmulator, NoticesAndTheServiceAnnouncementThroughTheNoticeServer) {
    Platform().SetNoticeServer(emulator->Address());
    int flag = -1, count = -1;
    ASSERT_TRUE(Platform().DownloadNotice(nullptr, true, flag, count)) << dialogs.Transcript();
    EXPECT_EQ(count, 2);
    EXPECT_EQ(flag, 0);
    ASSERT_TRUE(Platform().DownloadNotice(nullptr, true, flag, count)) << dialogs.Transcript();
    EXPECT_EQ(count, 0);
    EXPECT_EQ(dialogs.Transcript(), "[info] 现在没有新的通知！\n");

    auto requests = emulator->Requests("DownloadNotice0.do");
    ASSERT_EQ(requests.size(), 2u);
    // The expired notice is not reported; the two current ones are, joined by one comma.
    EXPECT_EQ(TEmu::Value(requests[0], "NOTICEIDS"), "NULL");
    EXPECT_EQ(TEmu::Value(requests[1], "NOTICEIDS"), "N1,N2");
    EXPECT_EQ(TEmu::Value(requests[0], "NSRSBH"), "lumbrane");
    EXPECT_EQ(TEmu::Value(requests[0], "PASSWORD"), TQelPlatform::NoticePassword());

    std::vector<TNoticeRow> rows;
    ASSERT_TRUE(TNoticeBiz::ListNotices(rows));
    std::vector<std::string> listed;
    for (const TNoticeRow& row : rows)
        listed.push_back(row.ID + "|" + row.Title + "|" + row.PubDate);
    EXPECT_EQ(listed, (std::vector<std::string>{"N2|系统将于本周六凌晨进行例行维护，届时暂停 ...|2024-02-01",
                                                "N1|报税通知|2024-01-05", "OLD1|旧通知|2020-01-01"}));

    int status = -1;
    std::string error;
    ASSERT_TRUE(Platform().QueryInform(nullptr, status, true, error)) << dialogs.Transcript();
    EXPECT_EQ(status, 3);
    EXPECT_EQ(error, "受理服务暂停");
    auto inform = emulator->Requests("inform0.do");
    ASSERT_EQ(inform.size(), 1u);
    EXPECT_EQ(TEmu::Values(inform[0], "SWJGDM"), (std::vector<std::string>{"11010100", "11010100"}));

    // A notice server with another secret refuses the sign-in.
    emulator->Control("{\"set\": {\"notice\": {\"secret\": \"anotherservice1\"}}}");
    dialogs.Clear();
    EXPECT_FALSE(Platform().QueryInform(nullptr, status, true, error));
    EXPECT_EQ(dialogs.Count(), 1u);
}

// The main server unreachable, the emulator as standby: the two busy texts and no error; and the
// initial password keeps an upload from going out at all.
TEST_F(PlatformEmulator, StandbyTakesOverAndTheInitialPasswordSendsNothing) {
    Platform().SetMainServer("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
    Platform().SetStandbyServer(emulator->Address());
    busy->Texts.clear();
    bool isBusy = true;
    int wait = 0;
    ASSERT_TRUE(Platform().ChangePwd(nullptr, "secret-1", "secret-2")) << dialogs.Transcript();
    EXPECT_EQ(busy->Texts,
              (std::vector<std::string>{"正在与主服务器通讯, 请稍候...", "正在与备用服务器通讯, 请稍候..."}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    ASSERT_EQ(emulator->Requests("ChangePwd.do").size(), 1u);
    Global->AuthenPassword = "secret-2";
    EXPECT_TRUE(Platform().GetStatus(nullptr, isBusy, wait)) << dialogs.Transcript();

    Global->AuthenPassword = Global->InitialAuthenPassword;
    size_t before = emulator->Requests().size();
    int flag = -1;
    std::string slxh;
    EXPECT_FALSE(Platform().UploadData(nullptr, "/x/a.dat", flag, slxh, "BS201", "0", "", "", "QUJD", 3));
    EXPECT_EQ(dialogs.Transcript(), "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_EQ(emulator->Requests().size(), before);
}
