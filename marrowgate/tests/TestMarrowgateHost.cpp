// marrowgate-host runs the exports of the library it loads and prints their result codes.
#include "MarrowgateFixture.h"

#include <filesystem>

namespace {

std::string Host(const std::string& arguments, int* rc = nullptr) {
    std::string output;
    int code = RunCommand(std::string(MARROWGATE_HOST) + " " + arguments + " 2>&1", &output);
    if (rc != nullptr)
        *rc = code;
    return output;
}

} // namespace

TEST_F(MarrowgateTest, HostProgramCallsTheExports) {
    Start(R"("number": "661234567890")");
    const std::string file = temp / "declare.xml";
    EXPECT_EQ(Host("taxpayer"), "110101199001011\nresult: 1\n");
    EXPECT_EQ(Host("card"), "661234567\nresult: 1\n");
    EXPECT_EQ(Host("bs " + file), "result: 1\n");
    EXPECT_EQ(ReadFileBytes(file).substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(Host("qk " + file + " --type 20"), "result: 1\n");
    EXPECT_NE(ReadFileBytes(file).find("{ClearCardC7}"), std::string::npos);
    EXPECT_EQ(Host("run-order FCFFCCBC53E126 --length 4"), "a3 5c c5 3a\nresult: 1\n");
    EXPECT_EQ(Host("run-order FCFFCCBC53E126 --length 5"), "result: -4\n");
    EXPECT_EQ(Host("run-order FCFFCCBC53E1a7 0102 --write"), "result: 1\n");
    EXPECT_EQ(Host("clear-order"), "result: 1\n");
    const std::string vtd = temp / "order.xml";
    WriteFileBytes(vtd, "<xml><rs:data><z:row ExecStatusC='0' CMDRequest='fc ff cc bc 53 e1 26' "
                        "CMDResponse='a3 5c c5 3a' ErrorCMD='0'/></rs:data></xml>");
    EXPECT_EQ(Host("run-vtd " + vtd), "result: 1\n");
    disk.SetScenario(R"({"disk": {"faults": [{"kind": "absent"}]}})");
    std::filesystem::remove(file);
    int rc = 0;
    EXPECT_EQ(Host("bs " + file, &rc), "result: -1\n");
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_NE(Host("nonsense", &rc).find("usage:"), std::string::npos);
}
