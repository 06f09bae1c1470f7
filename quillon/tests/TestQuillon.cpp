// Quillon's exports: argument checks, the device search over a by-id folder, SG_IO on a node that is no
// SCSI device, and commands through the emulator transport to the virtual disk.
#include "Quillon.h"
#include "UDiskTestSupport.h"
#include "UTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

const uint8_t kInquiry[] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
const uint8_t kDiskType[] = {0xFC, 0xFF, 0xCC, 0xBC, 0x53, 0xE1, 0x7D};

class QuillonTest : public ::testing::Test {
protected:
    TTempFolder temp;
    void SetUp() override {
        unsetenv("QUILLON_EMULATOR_SOCKET");
        std::filesystem::create_directories(temp / "by-id");
        setenv("QUILLON_BYID_DIR", (temp / "by-id").c_str(), 1);
        CloseUsbCard();
    }
    void TearDown() override {
        CloseUsbCard();
        unsetenv("QUILLON_BYID_DIR");
        unsetenv("QUILLON_EMULATOR_SOCKET");
    }
    void Link(const std::string& name, const std::string& target) {
        std::filesystem::create_symlink(target, temp / ("by-id/" + name));
    }
    std::string Script() const {
        return std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-disk/virtual_disk.py";
    }
};

TEST_F(QuillonTest, NothingOpenCloseAnswersMinusOneAndCommandsAreRefused) {
    EXPECT_EQ(CloseUsbCard(), -1);
    uint8_t buffer[64] = {};
    int32_t transferred = 77;
    EXPECT_EQ(SendCmdAndDataToUsbCard(kInquiry, 6, buffer, sizeof buffer, &transferred, 0), 0);
    EXPECT_EQ(transferred, 77);
}

// The argument checks come before the device is looked at: each case is refused with an open device
// too, and the count stays untouched.
TEST_F(QuillonTest, BadArgumentsGiveZeroAndLeaveTheCountUntouched) {
    TVirtualDisk disk(Script(), temp.Path());
    ASSERT_TRUE(disk.Start(R"({"disk": {}})"));
    ASSERT_EQ(OpenUsbCard(), 1);
    uint8_t buffer[64] = {};
    struct Case {
        const char* what;
        const uint8_t* command;
        int32_t commandLength;
        uint8_t* buffer;
        int32_t bufferLength;
    } cases[] = {
        {"command length 0", kInquiry, 0, buffer, 64},
        {"command length 256 (0 as a byte)", kInquiry, 256, buffer, 64},
        {"negative command length", kInquiry, -3, buffer, 64},
        {"command longer than 16", kInquiry, 17, buffer, 64},
        {"buffer length 0", kInquiry, 6, buffer, 0},
        {"null buffer", kInquiry, 6, nullptr, 64},
    };
    for (const auto& c : cases) {
        int32_t transferred = 77;
        EXPECT_EQ(
            SendCmdAndDataToUsbCard(c.command, c.commandLength, c.buffer, c.bufferLength, &transferred, 0), 0)
            << c.what;
        EXPECT_EQ(transferred, 77) << c.what;
    }
    EXPECT_TRUE(disk.LogLines().empty()) << "nothing may reach the disk";
    EXPECT_EQ(CloseUsbCard(), 1);
    EXPECT_EQ(CloseUsbCard(), -1);
}

TEST_F(QuillonTest, InquiryThroughTheEmulatorReturnsTheBytesSent) {
    TVirtualDisk disk(Script(), temp.Path());
    ASSERT_TRUE(disk.Start(R"({"disk": {}})"));
    ASSERT_EQ(OpenUsbCard(), 1);
    uint8_t buffer[4096] = {};
    int32_t transferred = -1;
    ASSERT_EQ(SendCmdAndDataToUsbCard(kInquiry, 6, buffer, sizeof buffer, &transferred, 0), 1);
    EXPECT_EQ(transferred, 36);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 8), 8), "LUMBRANE");
    auto log = disk.LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(R"("dir": 0, "cdb": "120000002400", "length": 4096)"), std::string::npos) << log[0];
}

// Any nonzero direction writes the buffer: the disk receives the data bytes.
TEST_F(QuillonTest, NonzeroDirectionsWrite) {
    TVirtualDisk disk(Script(), temp.Path());
    ASSERT_TRUE(disk.Start(R"({"disk": {}})"));
    ASSERT_EQ(OpenUsbCard(), 1);
    const uint8_t a7[] = {0xFC, 0xFF, 0xCC, 0xBC, 0x53, 0xE1, 0xA7};
    for (int32_t direction : {1, 2, -1}) {
        uint8_t data[] = {0x12, 0x34, 0x56};
        int32_t transferred = 0;
        EXPECT_EQ(SendCmdAndDataToUsbCard(a7, 7, data, 3, &transferred, direction), 1) << direction;
        EXPECT_EQ(transferred, 3) << direction;
    }
    auto log = disk.LogLines();
    ASSERT_EQ(log.size(), 3u);
    for (const auto& line : log)
        EXPECT_NE(line.find(R"("dir": 1, "cdb": "fcffccbc53e1a7", "length": 3, "data": "123456")"),
                  std::string::npos)
            << line;
}

TEST_F(QuillonTest, EmulatorFaultsFailTheCall) {
    TVirtualDisk disk(Script(), temp.Path());
    // The first 7d fails, the second is cut to one byte, then the disk goes away.
    ASSERT_TRUE(disk.Start(R"({"disk": {"type": "D3 D4", "faults": [
        {"kind": "fail", "command": "7d", "times": 1}, {"kind": "short", "command": "7d", "skip": 1, "length": 1},
        {"kind": "gone", "after": 2}]}})"));
    ASSERT_EQ(OpenUsbCard(), 1);
    uint8_t buffer[4096];
    int32_t transferred = 55;
    EXPECT_EQ(SendCmdAndDataToUsbCard(kDiskType, 7, buffer, sizeof buffer, &transferred, 0), 0);
    EXPECT_EQ(transferred, 55);
    EXPECT_EQ(SendCmdAndDataToUsbCard(kDiskType, 7, buffer, sizeof buffer, &transferred, 0), 1);
    EXPECT_EQ(transferred, 1);
    EXPECT_EQ(buffer[0], 0xD3);
    EXPECT_EQ(SendCmdAndDataToUsbCard(kDiskType, 7, buffer, sizeof buffer, &transferred, 0), 0);
    EXPECT_EQ(CloseUsbCard(), 1);

    // An absent disk makes the open fail.
    disk.SetScenario(R"({"disk": {"faults": [{"kind": "absent"}]}})");
    EXPECT_EQ(OpenUsbCard(), 0);
    EXPECT_EQ(CloseUsbCard(), -1);
    // No disk at the socket at all.
    disk.Stop();
    setenv("QUILLON_EMULATOR_SOCKET", (temp / "nothing.sock").c_str(), 1);
    EXPECT_EQ(OpenUsbCard(), 0);
}

TEST_F(QuillonTest, SearchNeedsBothMarkerWordsInAnyCase) {
    WriteFileBytes(temp / "node", "");
    Link("usb-Lumbrane_Disk_0001-0:0", temp / "node");
    Link("usb-Other_ShuiKong_0002-0:0", temp / "node");
    EXPECT_EQ(OpenUsbCard(), 0) << "one word alone must not match";

    Link("usb-LUMBRANE_ShuiKong_0003-0:0", temp / "node");
    EXPECT_EQ(OpenUsbCard(), 1);
    EXPECT_EQ(CloseUsbCard(), 1);
}

TEST_F(QuillonTest, MatchingEntryThatCannotBeOpenedEndsTheSearch) {
    WriteFileBytes(temp / "node", "");
    Link("usb-lumbrane_shuikong_a-0:0", temp / "missing");
    Link("usb-lumbrane_shuikong_b-0:0", temp / "node");
    EXPECT_EQ(OpenUsbCard(), 0);
    EXPECT_EQ(CloseUsbCard(), -1);
}

// No SCSI device can be had here: SG_IO on /dev/null and on a plain file is refused by the kernel, and
// the library reports that as a failed command, leaving the device open.
TEST_F(QuillonTest, SgIoOnANodeThatIsNoScsiDeviceFailsCleanly) {
    WriteFileBytes(temp / "plain", std::string(64, 'x'));
    for (std::string target : {std::string("/dev/null"), temp / "plain"}) {
        std::filesystem::remove_all(temp / "by-id");
        std::filesystem::create_directories(temp / "by-id");
        Link("usb-lumbrane_shuikong-0:0", target);
        ASSERT_EQ(OpenUsbCard(), 1) << target;
        uint8_t buffer[4096] = {};
        int32_t transferred = 9;
        EXPECT_EQ(SendCmdAndDataToUsbCard(kInquiry, 6, buffer, sizeof buffer, &transferred, 0), 0) << target;
        EXPECT_EQ(SendCmdAndDataToUsbCard(kInquiry, 6, buffer, sizeof buffer, &transferred, 1), 0) << target;
        EXPECT_EQ(transferred, 9);
        EXPECT_EQ(CloseUsbCard(), 1) << "a failed command leaves the device open";
    }
    EXPECT_EQ(ReadFileBytes(temp / "plain"), std::string(64, 'x'));
}

} // namespace
