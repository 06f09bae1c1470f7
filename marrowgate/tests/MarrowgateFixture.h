#pragma once
// The virtual tax disk and the configuration file for the library's tests.
#include "Marrowgate.h"
#include "UDiskTestSupport.h"
#include "UTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

const char kVerify[] = "5a3c96e1";
// 49 bytes.
const char kClearBlock[] =
    "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f3031";

class MarrowgateTest : public ::testing::Test {
protected:
    TTempFolder temp;
    TVirtualDisk disk{std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-disk/virtual_disk.py", temp.Path()};

    void SetUp() override {
        OperateUsbDevice(0);
        SetUsbCardDataType(0);
        unsetenv("MARROWGATE_DEBUG_OUTPUT");
        setenv("MARROWGATE_CONFIG", (temp / "Marrowgate.ini").c_str(), 1);
        Configure(true, true);
    }
    void TearDown() override {
        OperateUsbDevice(0);
        unsetenv("MARROWGATE_CONFIG");
        unsetenv("MARROWGATE_DEBUG_OUTPUT");
    }
    void Configure(bool verify, bool block) {
        std::ofstream ini(temp / "Marrowgate.ini", std::ios::trunc);
        ini << "; device integration values\n[Device]\n";
        if (verify)
            ini << "VerifyValue=" << kVerify << "\n";
        if (block)
            ini << "ClearOrderBlock = " << kClearBlock << "\n";
    }
    // A disk part of the scenario: the JSON members inside "disk": {...}.
    void Start(const std::string& diskMembers) {
        ASSERT_TRUE(disk.Start(R"({"taxpayer": "110101199001011234", "disk": {)" + diskMembers + "}}"));
    }
    // The function bytes (last byte of the command) of the commands the disk received, as "09 40 aa …".
    std::string Functions() const {
        std::string out;
        for (const auto& line : disk.LogLines()) {
            size_t at = line.find("\"cdb\": \"");
            std::string cdb = line.substr(at + 8, line.find('"', at + 8) - at - 8);
            out += (out.empty() ? "" : " ") + cdb.substr(cdb.size() >= 2 ? cdb.size() - 2 : 0);
        }
        return out;
    }
    // The JSON member of the nth logged command, e.g. Logged(1, "data").
    std::string Logged(size_t index, const std::string& member) const {
        auto lines = disk.LogLines();
        if (index >= lines.size())
            return "<none>";
        const std::string& line = lines[index];
        size_t at = line.find("\"" + member + "\": ");
        if (at == std::string::npos)
            return "<none>";
        at += member.size() + 4;
        if (line[at] == '"')
            return line.substr(at + 1, line.find('"', at + 1) - at - 1);
        return line.substr(at, line.find_first_of(",}", at) - at);
    }
};
