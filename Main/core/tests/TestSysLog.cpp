#include "SysLog.h"
#include "UTestSupport.h"
#include "UdsEncoding.h"
#include "UdsIOUtils.h"
#include "UdsSysUtils.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(SysLog, DailyFileBesideTheProgramNamedAfterIt) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2014, 8, 25, 23, 59, 59));
    // On Linux the program file has no extension: its plain name is the prefix.
    EXPECT_EQ(TdsIOUtils::ExtractName(TdsSysUtils::ModuleFile()), "maincore_tests");
    struct Case {
        std::string folder, logFolder;
    } cases[] = {{dir.Path(), dir / "SysLog/"}, {dir / "install", dir / "install/SysLog/"}};
    for (const Case& c : cases) {
        EXPECT_EQ(TSysLog(c.folder).FileName(), c.logFolder + "maincore_tests_20140825_log.log");
        EXPECT_TRUE(TdsIOUtils::FolderExists(c.logFolder)) << c.folder;
    }
}

TEST(SysLog, LinesAreAppendedAsCp936WithTimeAndDashes) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2014, 8, 25, 9, 5, 3));
    std::string file = TSysLog(dir.Path()).FileName();
    WriteFileBytes(file, "earlier\r\n");

    EXPECT_TRUE(TSysLog(dir.Path()).WriteLine("上传申报数据失败：服务器返回错误！"));
    clock.Advance(61000);
    TSysLog log(dir.Path());
    EXPECT_TRUE(log.WriteLine("%s %d second"));
    EXPECT_TRUE(log.WriteLine(""));

    std::string expected = "earlier\r\n"
                           "2014-08-25 09:05:03--上传申报数据失败：服务器返回错误！\r\n"
                           "2014-08-25 09:06:04--%s %d second\r\n"
                           "2014-08-25 09:06:04--\r\n";
    EXPECT_EQ(ReadFileBytes(file), TdsEncoding::Utf8ToAnsi(expected));
}

TEST(SysLog, UnwritableFolderGivesFalseWithoutRaising) {
    TTempFolder dir;
    TManualClock clock;
    // A file where the SysLog folder should be (permissions do not stop root, a file does).
    WriteFileBytes(dir / "SysLog", "");
    bool written = true;
    EXPECT_NO_THROW(written = TSysLog(dir.Path()).WriteLine("lost"));
    EXPECT_FALSE(written);
    EXPECT_NO_THROW(written = TSysLog(dir / "SysLog/below").WriteLine("lost"));
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadFileBytes(dir / "SysLog"), "");
}

TEST(SysLog, WriteSysLogWritesBesideTheProgram) {
    // A date no other run uses, so the file can be removed afterwards.
    TManualClock clock(TDateTime::Encode(2001, 2, 3, 4, 5, 6));
    std::string folder = TdsSysUtils::ModuleFolder() + "SysLog/";
    bool folderExisted = TdsIOUtils::FolderExists(folder);
    std::string file = TSysLog().FileName();
    EXPECT_EQ(file, folder + "maincore_tests_20010203_log.log");
    std::filesystem::remove(file);

    EXPECT_TRUE(WriteSysLog("默认位置"));
    EXPECT_EQ(ReadFileBytes(file), TdsEncoding::Utf8ToAnsi("2001-02-03 04:05:06--默认位置\r\n"));

    std::filesystem::remove(file);
    if (!folderExisted)
        std::filesystem::remove(folder);
}
