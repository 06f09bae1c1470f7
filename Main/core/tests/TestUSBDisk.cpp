// TUSBDisk against the virtual disk through Quillon's emulator transport, and its debug-mode branch.
#include "Simulator.h"
#include "UDiskTestSupport.h"
#include "UGlobal.h"
#include "USBDisk.h"
#include "UTestSupport.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"

#include <gtest/gtest.h>

namespace {

std::string VirtualDiskScript() {
    return std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-disk/virtual_disk.py";
}

TEST(USBDiskHex, HexToStrAndStrToHex) {
    struct Case {
        const char* hex;
        std::string bytes;
    } cases[] = {
        {"fc ff cc bc  53 e1 7d", "\xFC\xFF\xCC\xBC\x53\xE1\x7D"},
        {"D3d4", "\xD3\xD4"},
        {"1 2 3", "\x12"},               // spaces anywhere; the odd last digit is dropped
        {"zz41", std::string("\0A", 2)}, // a pair that is no hex gives 0
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TUSBDisk::HexToStr(c.hex), c.bytes) << c.hex;
    EXPECT_EQ(TUSBDisk::StrToHex("\xD3\xD4\x0a", true), "D3 D4 0A");
    EXPECT_EQ(TUSBDisk::StrToHex("\xD3", false), " D3");
    EXPECT_EQ(TUSBDisk::StrToHex("", true), "");
}

class USBDiskTest : public ::testing::Test {
protected:
    TTempFolder temp;
    TVirtualDisk disk{VirtualDiskScript(), temp.Path()};

    void SetUp() override {
        ASSERT_TRUE(disk.Start(R"({"taxpayer": "370101000000001", "disk": {"type": "D3 D4",
            "faults": [{"kind": "fail", "command": "28"}]}})"));
        ASSERT_TRUE(TUSBDisk::OpenDisk());
    }
    void TearDown() override { TUSBDisk::CloseDisk(); }
};

TEST_F(USBDiskTest, ReadGivesTheAnswerAsHexText) {
    std::string response = "old";
    ASSERT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 7d", "", "0", response));
    EXPECT_EQ(response, "D3 D4");
    auto log = disk.LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(R"("dir": 0, "cdb": "fcffccbc53e17d", "length": 4096, "data": "")"),
              std::string::npos)
        << log[0];
}

TEST_F(USBDiskTest, WriteSendsTheParameterBytes) {
    std::string response = "old";
    ASSERT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 a7", "12 34", "1", response));
    EXPECT_EQ(response, "");
    auto log = disk.LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(R"("dir": 1, "cdb": "fcffccbc53e1a7", "length": 2, "data": "1234")"),
              std::string::npos)
        << log[0];
}

TEST_F(USBDiskTest, ZeroByteReadAndFailedCommand) {
    std::string response = "old";
    // A command the disk does not know moves no bytes but goes through.
    EXPECT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 ee", "", "0", response));
    EXPECT_EQ(response, "");
    response = "old";
    EXPECT_FALSE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 28", "", "0", response));
    EXPECT_EQ(response, "");
}

TEST_F(USBDiskTest, RefusesBadDirectionsAndOversizedParameters) {
    std::string response;
    for (const char* direction : {"2", "", "01", "x"})
        EXPECT_THROW(TUSBDisk::SendCommand("fc ff cc bc  53 e1 a7", "12", direction, response), EdsError)
            << direction;
    std::string big(4097 * 2, 'a');
    try {
        TUSBDisk::SendCommand("fc ff cc bc  53 e1 a7", big, "1", response);
        FAIL() << "no error";
    } catch (const EdsError& e) {
        EXPECT_NE(std::string(e.what()).find("4096"), std::string::npos) << e.what();
    }
    // 4096 bytes still fit.
    EXPECT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 a7", std::string(4096 * 2, 'b'), "1", response));
    auto log = disk.LogLines();
    ASSERT_EQ(log.size(), 1u) << "refused lines never reach the disk";
    EXPECT_NE(log[0].find(R"("length": 4096)"), std::string::npos);
}

TEST(USBDiskDebug, DebugModeAnswersFromTheSimulatorWithoutTheDevice) {
    TTempFolder temp;
    WriteFileBytes(temp / "Request_Response.xml", "<Root/>");
    Global = new TGlobal({"370101000000001", "admin", temp / "Brindle.sh"}, TGlobalFrontEnd());
    // No disk at all: a library call would fail.
    unsetenv("QUILLON_EMULATOR_SOCKET");
    setenv("QUILLON_BYID_DIR", (temp / "none").c_str(), 1);
    std::string response;
    // The simulator's tables come from the program's folder (here the test's).
    TdsIOUtils::ForceFolders(temp / "sim");
    WriteFileBytes(temp / "sim/Request_Response.xml",
                   "<Request_Response><Card><I Request=\"fc ff cc bc  53 e1 7a*\" Response=\"12 34\"/></Card>"
                   "<Disk><I Request=\"fc ff cc bc  53 e1 7a\" Param=\"11223344\" Response=\"AB CD\"/></Disk>"
                   "</Request_Response>");
    TSimulator::SetFolder(temp / "sim/");
    FreeSimulator();
    EXPECT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 7d", "", "0", response));
    EXPECT_EQ(response, "00 00");
    EXPECT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 7a", "11223344", "1", response));
    EXPECT_EQ(response, "AB CD");
    EXPECT_TRUE(TUSBDisk::SendCommand("fc ff cc bc  53 e1 7a", "55", "1", response));
    EXPECT_EQ(response, "12 34");
    TSimulator::SetFolder("");
    FreeSimulator();
    unsetenv("QUILLON_BYID_DIR");
    FreeGlobal();
}

} // namespace
