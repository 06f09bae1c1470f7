#include "UTestSupport.h"
#include "UdsEncoding.h"
#include "UdsIniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

// A file as an installation leaves it: CP936, CR LF, comments, odd spacing, a key outside any section.
const std::string kIniText = "; Brindle 设置\r\n"
                             "orphan=1\r\n"
                             "[Declare]\r\n"
                             "TimeOut = 45 \r\n"
                             "# 注释\r\n"
                             "Title=增值税申报\r\n"
                             "Empty=\r\n"
                             "Flag=yes\r\n"
                             "Off=0\r\n"
                             "On=true\r\n"
                             "timeout=99\r\n"
                             "\r\n"
                             "[Network]\r\n"
                             "Url=https://a.example/x?y=1\r\n";

int FileCount(const std::string& folder) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

} // namespace

TEST(IniFile, ReadsCp936FileIgnoringCase) {
    TTempFolder dir;
    WriteFileBytes(dir / "Brindle.ini", TdsEncoding::Utf8ToAnsi(kIniText));
    TdsIniFile ini(dir / "Brindle.ini");

    EXPECT_EQ(ini.ReadInteger("declare", "TIMEOUT", 30), 45); // the first of two spellings
    EXPECT_EQ(ini.ReadString("Declare", "Title", "?"), "增值税申报");
    EXPECT_EQ(ini.ReadString("Declare", "Empty", "default"), "");
    EXPECT_EQ(ini.ReadString("Declare", "Missing", "default"), "default");
    EXPECT_EQ(ini.ReadString("Nowhere", "Title", "default"), "default");
    EXPECT_EQ(ini.ReadString("Network", "Url", ""), "https://a.example/x?y=1");
    EXPECT_EQ(ini.ReadString("", "orphan", "none"), "none");
    EXPECT_EQ(ini.ReadInteger("Declare", "Title", 30), 30);

    struct Case {
        const char* key;
        bool defaultValue;
        bool expected;
    } bools[] = {
        {"Off", true, false}, {"On", false, true},    {"TimeOut", false, true},
        {"Flag", true, true}, {"Flag", false, false}, {"Missing", true, true},
    };
    for (const Case& c : bools)
        EXPECT_EQ(ini.ReadBool("Declare", c.key, c.defaultValue), c.expected) << c.key;

    EXPECT_TRUE(ini.SectionExists("NETWORK"));
    EXPECT_FALSE(ini.SectionExists("Other"));
    EXPECT_TRUE(ini.ValueExists("Declare", "empty"));
    EXPECT_FALSE(ini.ValueExists("Network", "TimeOut"));
    std::vector<std::string> keys{"stale"};
    ini.ReadSection("declare", keys);
    EXPECT_EQ(keys, (std::vector<std::string>{"TimeOut", "Title", "Empty", "Flag", "Off", "On", "timeout"}));
    ini.ReadSection("Other", keys);
    EXPECT_TRUE(keys.empty());
    std::vector<std::string> sections;
    ini.ReadSections(sections);
    EXPECT_EQ(sections, (std::vector<std::string>{"Declare", "Network"}));
}

TEST(IniFile, WritesKeepOtherLinesAndCp936) {
    TTempFolder dir;
    const std::string file = dir / "Brindle.ini";
    WriteFileBytes(file, TdsEncoding::Utf8ToAnsi(kIniText));
    chmod(file.c_str(), 0640);
    TdsIniFile ini(file);
    EXPECT_FALSE(ini.Modified());
    ini.WriteInteger("DECLARE", "timeOut", 60);       // replaces the first spelling, keeps its name
    ini.WriteString("Declare", "Title", "发票 申报"); // inner blank stays
    ini.WriteBool("Declare", "New", true);            // after the last line of the section
    ini.WriteString("Network", "Proxy", "line1\nline2");
    ini.WriteString("新节", "键", "值");
    ini.DeleteKey("Network", "URL");
    EXPECT_TRUE(ini.Modified());
    // Nothing reaches the file before UpdateFile.
    EXPECT_EQ(ReadFileBytes(file), TdsEncoding::Utf8ToAnsi(kIniText));
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_FALSE(ini.Modified());

    const std::string expected = "; Brindle 设置\r\n"
                                 "orphan=1\r\n"
                                 "[Declare]\r\n"
                                 "TimeOut=60\r\n"
                                 "# 注释\r\n"
                                 "Title=发票 申报\r\n"
                                 "Empty=\r\n"
                                 "Flag=yes\r\n"
                                 "Off=0\r\n"
                                 "On=true\r\n"
                                 "timeout=99\r\n"
                                 "New=1\r\n"
                                 "\r\n"
                                 "[Network]\r\n"
                                 "Proxy=line1 line2\r\n"
                                 "\r\n"
                                 "[新节]\r\n"
                                 "键=值\r\n";
    EXPECT_EQ(ReadFileBytes(file), TdsEncoding::Utf8ToAnsi(expected));
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(FileCount(dir.Path()), 1); // no temporary left behind

    TdsIniFile again(file);
    EXPECT_EQ(again.ReadInteger("Declare", "TimeOut", 0), 60);
    EXPECT_EQ(again.ReadString("新节", "键", ""), "值");

    again.EraseSection("declare");
    again.DeleteKey("Network", "Proxy");
    ASSERT_TRUE(again.UpdateFile());
    EXPECT_EQ(ReadFileBytes(file), TdsEncoding::Utf8ToAnsi("; Brindle 设置\r\norphan=1\r\n[Network]\r\n\r\n"
                                                           "[新节]\r\n键=值\r\n"));
}

TEST(IniFile, NewFilesAndFailedWrites) {
    TTempFolder dir;
    TdsIniFile fresh(dir / "new.ini");
    EXPECT_FALSE(fresh.SectionExists("A"));
    fresh.WriteString("A", "k", "v");
    ASSERT_TRUE(fresh.UpdateFile());
    EXPECT_EQ(ReadFileBytes(dir / "new.ini"), "[A]\r\nk=v\r\n");

    // LF files stay LF; a UTF-8 file with byte order mark stays UTF-8.
    WriteFileBytes(dir / "lf.ini", "[A]\nk=v\n");
    TdsIniFile lf(dir / "lf.ini");
    lf.WriteString("A", "k2", "v2");
    ASSERT_TRUE(lf.UpdateFile());
    EXPECT_EQ(ReadFileBytes(dir / "lf.ini"), "[A]\nk=v\nk2=v2\n");
    WriteFileBytes(dir / "bom.ini", "\xEF\xBB\xBF[A]\r\nk=中\r\n");
    TdsIniFile bom(dir / "bom.ini");
    EXPECT_EQ(bom.ReadString("A", "k", ""), "中");
    bom.WriteString("A", "k", "文");
    ASSERT_TRUE(bom.UpdateFile());
    EXPECT_EQ(ReadFileBytes(dir / "bom.ini"), "\xEF\xBB\xBF[A]\r\nk=文\r\n");

    // A missing folder, or a folder in place of the file: false and nothing changed.
    TdsIniFile nowhere(dir / "missing/x.ini");
    nowhere.WriteString("A", "k", "v");
    EXPECT_FALSE(nowhere.UpdateFile());
    EXPECT_TRUE(nowhere.Modified());
    std::filesystem::create_directory(dir / "folder.ini");
    TdsIniFile folder(dir / "folder.ini");
    folder.WriteString("A", "k", "v");
    EXPECT_FALSE(folder.UpdateFile());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder.ini"));
    EXPECT_EQ(FileCount(dir.Path()), 4);
}
