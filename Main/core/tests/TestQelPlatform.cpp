// The platform protocol's answers: the envelope, the upload and the three downloads with their packages.
#include "UPlatformTestBase.h"
#include "UdsEncoding.h"

#include "SysLog.h"
#include "USetSystemBiz.h"

#include <algorithm>
#include <filesystem>

class QelPlatform : public TPlatformTest {
protected:
    std::unique_ptr<TCannedServer> server;
    void Use(const std::map<std::string, std::vector<std::string>>& answers) {
        server = Serve(answers);
        Platform().SetMainServer(server->Address());
    }
    // A zip package of the named files (name -> content), as Base64.
    std::string Package(const std::map<std::string, std::string>& files) {
        std::string folder = temp / ("pkg" + std::to_string(++packages_) + "/");
        TdsIOUtils::ForceFolders(folder);
        std::vector<std::string> paths;
        for (const auto& [name, content] : files) {
            WriteFileBytes(folder + name, content);
            paths.push_back(folder + name);
        }
        EXPECT_TRUE(TdsIOUtils::ZipFiles(paths, folder + "p.zip"));
        return TdsIOUtils::Base64Encode(ReadFileBytes(folder + "p.zip"));
    }
    static std::string Done(const std::string& fileName, const std::string& package) {
        return Answer("<STATE>2</STATE><ERRCODE>0</ERRCODE><ERRINFO/><FILENAME>" + fileName +
                      "</FILENAME><ATTESTRESULT>" + package + "</ATTESTRESULT>");
    }
    int packages_ = 0;
};

TEST_F(QelPlatform, AnswerEnvelope) {
    Use({{"status.do",
          {"<root><response><result><resultvalue>0</resultvalue></result><data><Status>1</Status>"
           "<WaitTime>30</WaitTime></data></response></root>",
           Answer("", "1", "纳税人密码错误"), "not xml <", "<ROOT><RESPONSE><DATA/></RESPONSE></ROOT>",
           Answer("<Status>1</Status>")}}});
    bool isBusy = false;
    int wait = 0;
    // Lower-case markup is accepted.
    ASSERT_TRUE(Platform().GetStatus(nullptr, isBusy, wait)) << dialogs.Transcript();
    EXPECT_TRUE(isBusy);
    EXPECT_EQ(wait, 30);
    EXPECT_EQ(dialogs.Count(), 0u);

    // A refusal shows the server's message and logs it.
    std::string logFile = TSysLog().FileName();
    std::string before;
    TdsIOUtils::TryReadTextFile(logFile, before);
    EXPECT_FALSE(Platform().GetStatus(nullptr, isBusy, wait));
    EXPECT_EQ(dialogs.Transcript(), "[error] 纳税人密码错误\n");
    std::string after = ReadFileBytes(logFile);
    ASSERT_GT(after.size(), before.size());
    EXPECT_NE(
        TdsEncoding::AnsiToUtf8(after.substr(before.size())).find("--服务端返回错误信息：纳税人密码错误\r\n"),
        std::string::npos);

    // Unreadable, no result value, a DATA item missing: failures with a message, nothing read.
    for (const char* expected : {"服务器端出现未知异常！", "服务器端出现未知异常！",
                                 "服务器应答不完整，缺少数据项“DATA/WAITTIME”！"}) {
        dialogs.Clear();
        wait = -7;
        EXPECT_FALSE(Platform().GetStatus(nullptr, isBusy, wait));
        EXPECT_EQ(dialogs.Transcript(), "[error] " + std::string(expected) + "\n");
        EXPECT_EQ(wait, -7);
    }
}

TEST_F(QelPlatform, UploadSendsTheFileAndTakesTheAnswer) {
    Use({{"UploadData.do",
          {Answer("<SLXH>A-77</SLXH><UPGRADE>1x</UPGRADE><INFORMSERVER>10.9.8.7:8000</INFORMSERVER>"),
           Answer("<SLXH>A-78</SLXH><UPGRADE>3</UPGRADE>"), Answer("<SLXH>A-79</SLXH>")}}});
    // Bytes whose Base64 holds "+", "/" and "=".
    std::string data = TdsIOUtils::Base64Encode(std::string("\xfb\xff\xbf\x01", 4));
    ASSERT_NE(data.find_first_of("+/="), std::string::npos);
    int flag = -1;
    std::string slxh;
    ASSERT_TRUE(
        Platform().UploadData(nullptr, "/some/folder/BS201.dat", flag, slxh, "BS201", "0", "", "", data, 4))
        << dialogs.Transcript();
    EXPECT_EQ(slxh, "A-77");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(Platform().NoticeServer, "10.9.8.7:8000");
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("Network", "InformServer"), "10.9.8.7:8000");

    auto r = server->Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Body, "FILEDATA=" + data);
    auto length = std::find(r[0].Headers.begin(), r[0].Headers.end(), "LENGTH: 4");
    ASSERT_GE(std::distance(length, r[0].Headers.end()), 7);
    std::vector<std::string> tail(length, length + 7);
    EXPECT_EQ(tail, (std::vector<std::string>{"LENGTH: 4", "FILENAME: BS201.dat", "ICCODE: NULL",
                                              "EXTCODE: NULL", "EXTNUM: 0", "STEPID: BS201", "SLXH: NULL"}));

    // An upgrade flag outside 0..2, or none at all, fails the upload; the serial number stays.
    for (int i = 0; i < 2; ++i) {
        dialogs.Clear();
        EXPECT_FALSE(Platform().UploadData(nullptr, "a.dat", flag, slxh, "BS202", "0", "", "", data, 4));
        EXPECT_EQ(dialogs.Transcript(), "[error] 服务器处理异常，无效的升级标识！\n");
        EXPECT_EQ(slxh, "A-77");
    }
    EXPECT_EQ(server->Requests()[1].Value("SLXH"), "A-77");
}

TEST_F(QelPlatform, DownloadStates) {
    Use({{"DownloadData.do",
          {Answer("<STATE>0</STATE>"), Answer("<STATE>1</STATE>"), Answer("<STATE>7</STATE>"),
           Answer("<STATE>2</STATE><ERRCODE>12</ERRCODE><ERRINFO>税号 %s 不符 %d</ERRINFO>"),
           Answer("<STATE>2</STATE><ERRCODE>0</ERRCODE><FILENAME> </FILENAME>"),
           Answer("<STATE>2</STATE><ERRCODE>0</ERRCODE><FILENAME>p.dat</FILENAME><ATTESTRESULT/>"),
           Answer("<STATE>2</STATE><ERRCODE>0</ERRCODE><FILENAME>p.dat</FILENAME><ATTESTRESULT>QUJD"
                  "</ATTESTRESULT>"),
           Answer("<ERRCODE>0</ERRCODE>")}}});
    for (const char* expected :
         {"RETRY;上传的数据正在待处理状态！", "RETRY;上传的数据正在处理中！",
          "ERROR;常规报税出错（上传的受理序号错误！）", "ERROR;常规报税出错（#12 税号 %s 不符 %d）",
          "ERROR;常规报税出错（受理序号为“S-1”的数据包为空！）",
          "ERROR;常规报税出错（受理序号为“S-1”的数据包中无数据！）",
          "ERROR;常规报税出错（受理序号为“S-1”的数据包解压缩失败！）"}) {
        bool failed = true;
        std::string result;
        EXPECT_TRUE(Platform().DownloadData(nullptr, "S-1", failed, result, "BS202")) << dialogs.Transcript();
        EXPECT_FALSE(failed);
        EXPECT_EQ(result, std::string(expected));
    }
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    bool failed = true;
    std::string result;
    EXPECT_FALSE(Platform().DownloadData(nullptr, "S-1", failed, result, "BS202"));
    EXPECT_FALSE(failed);
    EXPECT_EQ(dialogs.Transcript(), "[error] 服务器应答不完整，缺少数据项“DATA/STATE”！\n");
    auto r = server->Requests();
    EXPECT_EQ(r[0].Value("SLXH"), "S-1");
    EXPECT_EQ(r[0].Value("STEPID"), "BS202");

    // No answer at all is a failed request.
    Platform().SetMainServer("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
    EXPECT_FALSE(Platform().DownloadData(nullptr, "S-1", failed, result, "BS202"));
    EXPECT_TRUE(failed);
}

TEST_F(QelPlatform, PackagesGiveTheChosenFile) {
    std::string cardPackage = Package({{"a_readme.txt", "r"}, {"X_KDR_Card_0001.dat", "card"}});
    std::string clearPackage = Package({{"C_KDR.dat", "clear"}, {"other.txt", "o"}});
    std::string resultPackage = Package({{"result.xml", "<r/>"}});
    std::string wrongPackage = Package({{"nothing.txt", "n"}});
    // An entry that would leave the folder it is unpacked into.
    std::string evilFolder = temp / "evil/";
    TdsIOUtils::ForceFolders(evilFolder);
    ASSERT_EQ(RunCommand("cd '" + evilFolder +
                         "' && python3 -c \"import zipfile; z=zipfile.ZipFile('e.zip','w'); "
                         "z.writestr('../escaped_KDR_Card_1.dat','x'); z.close()\""),
              0);
    std::string evilPackage = TdsIOUtils::Base64Encode(ReadFileBytes(evilFolder + "e.zip"));
    Use({{"DownloadData.do",
          {Done("..\\..\\pkg.dat", cardPackage), Done("pkg.dat", wrongPackage),
           Done("pkg.dat", evilPackage)}},
         {"getLastClearICInfo.do", {Done("clear.pkg", clearPackage), Done("clear.pkg", "")}},
         {"DownloadBSData.do", {Done("bs.pkg", resultPackage)}}});
    std::string tempFolder = Global->PathInfo->GetTempFolder();
    std::string taxpayerTemp = Global->PathInfo->GetTaxpayerTempFolder();

    bool failed = true;
    std::string result;
    ASSERT_TRUE(Platform().DownloadData(nullptr, "S-2", failed, result, "BS202"));
    EXPECT_EQ(result, tempFolder + "X_KDR_Card_0001.dat");
    EXPECT_EQ(ReadFileBytes(result), "card");
    // The server's file name is kept inside the temporary folder; the package stays there.
    EXPECT_TRUE(TdsIOUtils::FileExists(tempFolder + "pkg.zip"));
    EXPECT_FALSE(TdsIOUtils::FileExists(temp / "base/pkg.zip"));

    ASSERT_TRUE(Platform().DownloadData(nullptr, "S-2", failed, result, "BS202"));
    EXPECT_EQ(result, "ERROR;常规报税出错（受理序号为“S-2”的数据包中没有所需的文件！）");
    ASSERT_TRUE(Platform().DownloadData(nullptr, "S-2", failed, result, "BS202"));
    EXPECT_EQ(result, "ERROR;常规报税出错（受理序号为“S-2”的数据包解压缩失败！）");
    EXPECT_FALSE(TdsIOUtils::FileExists(Global->PathInfo->GetTaxpayerFolder() + "escaped_KDR_Card_1.dat"));

    ASSERT_TRUE(Platform().GetLastClearICInfo(nullptr, "QK202", failed, result));
    EXPECT_EQ(result, tempFolder + "C_KDR.dat");
    ASSERT_TRUE(Platform().GetLastClearICInfo(nullptr, "QK202", failed, result));
    EXPECT_EQ(result, "ERROR;常规报税出错（数据包中无数据！）");

    // The result query empties the taxpayer's temporary folder and drops the package.
    WriteFileBytes(taxpayerTemp + "aaa_left_over.txt", "old");
    ASSERT_TRUE(Platform().DownloadBSData(nullptr, "S-3", result)) << dialogs.Transcript();
    EXPECT_EQ(result, tempFolder + "result.xml");
    EXPECT_EQ(ReadFileBytes(result), "<r/>");
    EXPECT_FALSE(TdsIOUtils::FileExists(taxpayerTemp + "aaa_left_over.txt"));
    EXPECT_FALSE(TdsIOUtils::FileExists(tempFolder + "bs.zip"));
    EXPECT_EQ(busy->Texts, (std::vector<std::string>{"正在与主服务器通讯, 请稍候..."}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(QelPlatform, ComparisonResult) {
    Use({{"GetBDJG.do", {Answer("<BDJG>2</BDJG>"), Answer("<BDJG>0</BDJG>")}}});
    int bdjg = -1;
    ASSERT_TRUE(Platform().GetBDJG(nullptr, "S-4", bdjg));
    EXPECT_EQ(bdjg, 2);
    ASSERT_TRUE(Platform().GetBDJG(nullptr, "S-4", bdjg));
    EXPECT_EQ(bdjg, 0);
    EXPECT_EQ(server->Requests()[0].Value("SLXH"), "S-4");
}
