#include "UTestSupport.h"
#include "UdsIOUtils.h"
#include "UdsXMLParser.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Admin(const std::string& args) {
    return std::string(BRINDLE_ADMIN) + " " + args;
}

// A stand-in for the program that records the arguments it was started with, one per line.
std::string FakeProgram(const TTempFolder& temp) {
    TdsIOUtils::ForceFolders(temp / "bin");
    std::string program = temp / "bin/Brindle";
    WriteFileBytes(
        program, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/args\"\n");
    ::chmod(program.c_str(), 0755);
    return program;
}

} // namespace

TEST(AdminInit, InstallsALauncherThatStartsTheProgramAndRunsAgainWithoutLoss) {
    TTempFolder temp;
    std::string program = FakeProgram(temp);
    std::string base = temp / "my base";
    std::string env = "BRINDLE_PROGRAM=" + Quote(program) + " ";
    std::string out;
    ASSERT_EQ(RunCommand(env + Admin("init " + Quote(base) +
                                     " --taxpayer 110105000000001 --enterprise '测试企业' "
                                     "--tax-dept=11101050000 --server 127.0.0.1:8080 --debug"),
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("created dat/110105000000001/Brindle.mdb"), std::string::npos) << out;
    EXPECT_NE(out.find("created Config.qel"), std::string::npos) << out;

    // The launcher, started from elsewhere and without the program's variable, still starts the program it
    // was written for, with the taxpayer, a user code and its own absolute path.
    ASSERT_EQ(RunCommand("cd / && BRINDLE_USER=user " + Quote(base + "/Brindle.sh")), 0);
    EXPECT_EQ(ReadFileBytes(temp / "bin/args"), "110105000000001\nuser\n" + base + "/Brindle.sh\n");
    ASSERT_EQ(RunCommand("cd " + Quote(base) + " && ./Brindle.sh"), 0);
    EXPECT_EQ(ReadFileBytes(temp / "bin/args"), "110105000000001\nadmin\n" + base + "/Brindle.sh\n");

    // Debug mode: the switch in the base folder, the tables beside the program.
    for (std::string file : {base + "/Request_Response.xml", temp / "bin/Request_Response.xml"}) {
        TdsXMLParser parser;
        std::string error;
        EXPECT_TRUE(parser.LoadFromFile(file, error)) << file << ": " << error;
        for (const char* section : {"Card", "Disk", "DownloadFileName"})
            EXPECT_GT(parser.FindNode(section).ChildCount(), 0) << file << " " << section;
    }

    ASSERT_EQ(RunCommand(env + Admin("init " + Quote(base) + " --taxpayer 110105000000001"), &out), 0) << out;
    for (const char* line : {"kept dat/Master.mdb", "kept dat/110105000000001/Brindle.mdb", "kept Config.dll",
                             "kept Config.qel"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
}

TEST(AdminInit, UsageErrorsAndRefusals) {
    TTempFolder temp;
    std::string base = Quote(temp / "base");
    struct Case {
        std::string args;
        int exit;
    } cases[] = {
        {"", 2},
        {base, 2},
        {"--taxpayer 110105000000001", 2},
        {base + " --taxpayer", 2},
        {base + " --taxpayer --debug", 2},
        {base + " --taxpayer 110105000000001 --colour red", 2},
        {base + " --taxpayer 110105000000001 --debug=yes", 2},
        {base + " other --taxpayer 110105000000001", 2},
        {base + " --taxpayer ..", 1},
        {base + " --taxpayer 110105000000001 --server nohost", 1},
    };
    for (const Case& c : cases) {
        std::string err = temp / "stderr";
        EXPECT_EQ(RunCommand(Admin("init " + c.args) + " 2>" + Quote(err)), c.exit) << c.args;
        std::string text = ReadFileBytes(err);
        EXPECT_NE(text.find(c.exit == 2 ? "usage: brindle-admin init" : "brindle-admin: "), std::string::npos)
            << c.args << ": " << text;
    }
    EXPECT_FALSE(TdsIOUtils::FolderExists(temp / "base"));
}
