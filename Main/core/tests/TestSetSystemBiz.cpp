#include "USetSystemBiz.h"
#include "UStartupTestBase.h"

#include <cstdlib>
#include <filesystem>

class SetSystemBiz : public TStartupTest {
protected:
    void SetUp() override {
        TStartupTest::SetUp();
        installation.TaxpayerSQL = {"UPDATE S_Config SET FDefault = 'init-123' WHERE FCategory = 'Network' "
                                    "AND FKey = 'AuthenPassword'"};
        Build(installation);
        ASSERT_TRUE(Start(installation)) << dialogs.Transcript();
        dialogs.Clear();
    }
    static int ConfigRows() {
        TVirtualTable t;
        Global->TaxpayerDB->OpenQuery(t, "SELECT COUNT(*) FROM S_Config");
        return static_cast<int>(t.Value(0, 0).AsInteger());
    }
    static void SetOptions(const std::string& xml) {
        TdsXMLParser parser;
        std::string error;
        ASSERT_TRUE(parser.LoadFromXML(xml, error)) << error;
        Global->Options = parser.Root;
    }

    TFixtureInstallation installation;
};

TEST_F(SetSystemBiz, ReadsAndWritesExistingRowsOnly) {
    // A quote in a value is stored and read back unchanged.
    const std::string value = "O'Brien''s \"公司\"";
    EXPECT_TRUE(TSetSystemBiz::WriteConfigValue("System", "EnterpriseName", value));
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("System", "EnterpriseName"), value);
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("Sys'tem", "EnterpriseName"), "");

    // A key without a row reads empty; writing it changes nothing, says so, and shows no box.
    int rows = ConfigRows();
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("System", "NoSuchKey"), "");
    EXPECT_FALSE(TSetSystemBiz::WriteConfigValue("System", "NoSuchKey", "x"));
    EXPECT_EQ(ConfigRows(), rows);
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("System", "NoSuchKey"), "");
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    TSetSystemBiz biz;
    EXPECT_EQ(biz.ReadInitialAuthenPassword(), "init-123");
    // Writing the current password leaves the initial one alone.
    EXPECT_TRUE(TSetSystemBiz::WriteConfigValue("Network", "AuthenPassword", "new-pw"));
    EXPECT_EQ(biz.ReadInitialAuthenPassword(), "init-123");

    // A failing statement is reported by the kit and gives no value.
    ASSERT_GE(Global->TaxpayerDB->ExecSQL("DROP TABLE S_Config"), -1);
    EXPECT_EQ(TSetSystemBiz::ReadConfigValue("System", "EnterpriseName"), "");
    EXPECT_FALSE(TSetSystemBiz::WriteConfigValue("System", "EnterpriseName", "x"));
    EXPECT_EQ(dialogs.Count(), 2u) << dialogs.Transcript();
}

// Folder settings fall back to the default root under the home folder, always end in "/" and exist.
TEST_F(SetSystemBiz, BackupPathResolution) {
    const char* savedHome = std::getenv("HOME");
    std::string saved = savedHome ? savedHome : "";
    setenv("HOME", (temp / "home").c_str(), 1);
    std::string root = temp / "home/Lumbrane/";

    struct TCase {
        std::string stored;
        std::string expected;
    };
    std::string existing = temp / "backups";
    ASSERT_TRUE(TdsIOUtils::ForceFolders(existing));
    for (const TCase& c : {TCase{"", root}, TCase{"   ", root}, TCase{temp / "gone", root},
                           TCase{existing, existing + "/"}, TCase{"  " + existing + "/  ", existing + "/"}}) {
        SCOPED_TRACE("stored \"" + c.stored + "\"");
        std::filesystem::remove_all(temp / "home");
        ASSERT_TRUE(TSetSystemBiz::WriteConfigValue("System", "Path_Backup", c.stored));
        EXPECT_EQ(TSetSystemBiz::GetBackupPath(), c.expected);
        EXPECT_TRUE(TdsIOUtils::FolderExists(c.expected));
        // The stored value is never rewritten by the resolution.
        EXPECT_EQ(TSetSystemBiz::ReadConfigValue("System", "Path_Backup"), c.stored);
    }

    EXPECT_EQ(TSetSystemBiz::GetDefaultRootPath(), root);
    Global->Copyright = "版权所有 WRQ40387号";
    EXPECT_EQ(TSetSystemBiz::GetDefaultRootPath(), temp / "home/WRQ40387/");
    Global->Copyright = "4038 7";
    EXPECT_EQ(TSetSystemBiz::GetDefaultRootPath(), root);
    setenv("HOME", saved.c_str(), 1);
}

// The notice server is used only when the taxpayer option is exactly "1".
TEST_F(SetSystemBiz, InformServerNeedsTheOption) {
    EXPECT_TRUE(TSetSystemBiz::WriteInformServer("10.1.2.3:7001"));
    struct TCase {
        std::string options; // "" keeps no Options node at all
        std::string expected;
    };
    for (const TCase& c :
         {TCase{"<Options><InformServerEnabled>1</InformServerEnabled></Options>", "10.1.2.3:7001"},
          TCase{"<Options><InformServerEnabled>0</InformServerEnabled></Options>", ""},
          TCase{"<Options><InformServerEnabled> 1</InformServerEnabled></Options>", ""},
          TCase{"<Options><DeclarePrompt>1</DeclarePrompt></Options>", ""}, TCase{"", ""}}) {
        SCOPED_TRACE(c.options);
        if (c.options.empty())
            Global->Options = TdsXMLNode();
        else
            SetOptions(c.options);
        EXPECT_EQ(TSetSystemBiz::ReadInformServer(), c.expected);
    }
    SetOptions("<Options><InformServerEnabled>1</InformServerEnabled></Options>");
    EXPECT_TRUE(TSetSystemBiz::WriteInformServer(""));
    EXPECT_EQ(TSetSystemBiz::ReadInformServer(), "");
}

TEST_F(SetSystemBiz, RequestTimeOut) {
    struct TCase {
        std::string stored;
        int expected;
    };
    for (const TCase& c :
         {TCase{"", 60000}, TCase{"abc", 60000}, TCase{"12.5", 60000}, TCase{"30000", 30000},
          TCase{" 45000 ", 45000}, TCase{"0", 60000}, TCase{"-5", 60000}, TCase{"99999999999", 60000}}) {
        SCOPED_TRACE("\"" + c.stored + "\"");
        ASSERT_TRUE(TSetSystemBiz::WriteConfigValue("Network", "TimeOut", c.stored));
        EXPECT_EQ(TSetSystemBiz::ReadTimeOut(), c.expected);
    }
}
