#include "USetSystemBiz.h"
#include "UStartupTestBase.h"
#include "UdsAppLogger.h"
#include "UdsSysUtils.h"
#include "UdsXMLParser.h"

#include <filesystem>

class GlobalState : public TStartupTest {};

// The paths follow the launcher file, the taxpayer identifier is used as given, and only the three
// temporary/upgrade folders are made on demand (one level).
TEST_F(GlobalState, PathsMediaNumbersDebugModeAndCertificate) {
    std::string base = temp / "inst/";
    ASSERT_TRUE(TdsIOUtils::ForceFolders(base));
    WriteFileBytes(base + "Launcher.sh", "#!/bin/sh\n");
    TGlobal g({"91A0B", "u1", base + "Launcher.sh"}, TGlobalFrontEnd());
    g.TaxpayerID = "91A0B";
    const TPathInfo& p = *g.PathInfo;
    EXPECT_EQ(p.GetLauncherFile(), base + "Launcher.sh");
    EXPECT_EQ(p.GetBaseFolder(), base);
    EXPECT_EQ(p.GetDataFolder(), base + "dat/");
    EXPECT_EQ(p.GetResFolder(), base + "res/");
    EXPECT_EQ(p.GetLogFolder(), base + "Log/");
    EXPECT_EQ(p.GetSystemDatabaseFile(), base + "dat/Master.mdb");
    EXPECT_EQ(p.GetTaxpayerDatabaseFile(), base + "dat/91A0B/Brindle.mdb");
    EXPECT_EQ(p.GetTaxpayerFolder(), base + "dat/91A0B/");
    EXPECT_EQ(p.GetExeFolder(), TdsSysUtils::ModuleFolder());
    EXPECT_EQ(p.GetIniFile(), TdsSysUtils::ModuleFile() + ".ini");
    EXPECT_EQ(p.GetDatabasePassword(), "pavrid");
    // The application log of the run lives in the installation's Log folder.
    ASSERT_NE(g.AppLogger, nullptr);
    EXPECT_EQ(g.AppLogger->Folder(), base + "Log/");

    EXPECT_FALSE(TdsIOUtils::FolderExists(base + "Temp"));
    EXPECT_EQ(p.GetTempFolder(), base + "Temp/");
    EXPECT_TRUE(TdsIOUtils::FolderExists(base + "Temp"));
    EXPECT_EQ(p.GetUpgradeFolder(), base + "Upgrade/");
    EXPECT_TRUE(TdsIOUtils::FolderExists(base + "Upgrade"));
    // The taxpayer folder itself is not made up by asking for its Temp folder.
    EXPECT_EQ(p.GetTaxpayerTempFolder(), base + "dat/91A0B/Temp/");
    EXPECT_FALSE(TdsIOUtils::FolderExists(base + "dat/91A0B"));
    ASSERT_TRUE(TdsIOUtils::ForceFolders(base + "dat/91A0B"));
    p.GetTaxpayerTempFolder();
    EXPECT_TRUE(TdsIOUtils::FolderExists(base + "dat/91A0B/Temp"));

    EXPECT_EQ(g.GetDefaultMediaNumber("K"), "00000000000000");
    EXPECT_EQ(g.GetDefaultMediaNumber("k"), "SKP91A0B");
    EXPECT_EQ(g.GetDefaultMediaNumber(""), "SKP91A0B");

    // Debug mode follows the marker file at every call.
    EXPECT_EQ(g.GetDebugFile(), base + "Request_Response.xml");
    EXPECT_FALSE(g.IsDebugMode());
    WriteFileBytes(base + "Request_Response.xml", "<Root/>");
    EXPECT_TRUE(g.IsDebugMode());
    std::filesystem::remove(base + "Request_Response.xml");
    EXPECT_FALSE(g.IsDebugMode());

    EXPECT_EQ(g.ReadDefaultCert(), "");
    EXPECT_TRUE(g.WriteDefaultCert("A1B2\r\nC3"));
    EXPECT_EQ(ReadFileBytes(base + "DefaultCert.dat"), "A1B2\r\nC3");
    EXPECT_EQ(g.ReadDefaultCert(), "A1B2\r\nC3");
    EXPECT_TRUE(g.WriteDefaultCert(""));
    EXPECT_EQ(g.ReadDefaultCert(), "");

    // Without a launcher argument everything is relative to the current folder, and no log is started.
    TGlobal bare({"91A0B"}, TGlobalFrontEnd());
    EXPECT_EQ(bare.PathInfo->GetBaseFolder(), "");
    EXPECT_EQ(bare.PathInfo->GetProductFile(), "Config.dll");
    EXPECT_EQ(bare.AppLogger, nullptr);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

// What the main window adds on creation (run mode, declaration time-out from the ini file beside the
// program) and on showing (enterprise, passwords, tax authority).
TEST_F(GlobalState, CompletedAsTheMainWindowDoes) {
    TFixtureInstallation installation;
    installation.RunMode = "debug";
    installation.TaxpayerSQL = {
        "UPDATE S_Config SET FValue = '某某有限公司' WHERE FCategory = 'System' AND FKey = 'EnterpriseName'",
        "UPDATE S_Config SET FValue = 'net-pw', FDefault = 'init-pw' WHERE FCategory = 'Network' AND FKey = "
        "'AuthenPassword'",
        "UPDATE S_Config SET FValue = '11101000000' WHERE FCategory = 'Network' AND FKey = 'TaxDeptCode'",
        "UPDATE S_Config SET FValue = '某某税务局' WHERE FCategory = 'Network' AND FKey = 'TaxDeptName'"};
    Build(installation);
    ASSERT_TRUE(Start(installation)) << dialogs.Transcript();

    std::string ini = Global->PathInfo->GetIniFile();
    struct TRemove {
        std::string file;
        ~TRemove() { std::filesystem::remove(file); }
    } removeIni{ini};
    struct TIniCase {
        const char* content; // nullptr: no ini file
        int minutes;
    };
    for (const TIniCase& c :
         {TIniCase{nullptr, 30}, TIniCase{"[Declare]\r\nTimeOut=45\r\n", 45},
          TIniCase{"[Declare]\r\nTimeOut=abc\r\n", 30}, TIniCase{"[Other]\r\nTimeOut=5\r\n", 30}}) {
        SCOPED_TRACE(c.content ? c.content : "no ini file");
        std::filesystem::remove(ini);
        if (c.content)
            WriteFileBytes(ini, c.content);
        Global->CompleteOnCreate();
        EXPECT_EQ(Global->DeclareTimeOut, c.minutes);
    }
    EXPECT_EQ(Global->RunMode, "debug");

    Global->CompleteOnShow();
    EXPECT_EQ(Global->EnterpriseName, "某某有限公司");
    EXPECT_EQ(Global->InitialAuthenPassword, "init-pw");
    EXPECT_EQ(Global->AuthenPassword, "net-pw");
    EXPECT_EQ(Global->TaxDeptCode, "11101000000");
    EXPECT_EQ(Global->TaxDeptName, "某某税务局");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

// A taxpayer identifier longer than 15 characters takes its tax-authority code from the per-user store
// and writes it into the configuration when it differs.
TEST_F(GlobalState, LongTaxpayerTakesTheExternalAuthorityCode) {
    setenv("XDG_CONFIG_HOME", (temp / "config").c_str(), 1);
    ASSERT_TRUE(WriteTaxDeptCode("91330100MA2B3C4D5E", "13301000000"));
    TFixtureInstallation installation;
    installation.TaxpayerID = "91330100MA2B3C4D5E";
    installation.Regions = "<Region ID=\"11\" Code=\"11\"/><Region ID=\"330\" Code=\"33\"/>";
    installation.TaxpayerSQL = {
        "UPDATE S_Config SET FValue = '99999' WHERE FCategory = 'Network' AND FKey = 'TaxDeptCode'"};
    Build(installation);
    ASSERT_TRUE(Start(installation)) << dialogs.Transcript();
    EXPECT_EQ(Global->RegionCode, "33");
    EXPECT_TRUE(Global->Options.IsNull());
    Global->CompleteOnShow();
    EXPECT_EQ(Global->TaxDeptCode, "13301000000");
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("Network", "TaxDeptCode"), "13301000000");
    unsetenv("XDG_CONFIG_HOME");
}
