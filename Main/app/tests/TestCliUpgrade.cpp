// brindle-cli check-upgrade on an installation made by brindle-admin init, against the tax platform
// emulator: the package fetched piece by piece, unpacked, and the updater from it really started.
#include "UEmulatorTestSupport.h"
#include "UTestSupport.h"
#include "UdsAdoDBKit.h"
#include "UdsClock.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const std::string kTaxpayer = "370101000000001";

// Over two pieces once zipped: hex digits of a running digest do not deflate much.
std::string Filler() {
    std::string out;
    uint32_t x = 1;
    while (out.size() < 90000) {
        x = x * 1103515245u + 12345u;
        out += "0123456789abcdef"[(x >> 16) & 15];
    }
    return out;
}

} // namespace

TEST(CliUpgrade, CheckUpgradeStartsTheUpdaterFromThePackage) {
    TTempFolder temp;
    TdsIOUtils::ForceFolders(temp / "run");
    // The updater notes its arguments and working folder.
    std::string script =
        "#!/bin/sh\\nprintf '%s\\\\n' \\\"$#\\\" \\\"$1\\\" \\\"$(pwd -P)\\\" > started.tmp && "
        "mv started.tmp started.txt\\n";
    TPlatformEmulator emulator(temp / "emu/",
                               "{\"taxpayer\": \"" + kTaxpayer +
                                   "\", \"platform\": {\"password\": \"secret-9\", \"upgrade\": "
                                   "{\"version\": \"9.9\", \"index\": \"3\", \"executable\": "
                                   "[\"QelUpgrade\"], \"files\": {\"QelUpgrade\": \"" +
                                   script + "\", \"filler.txt\": \"" + Filler() + "\"}}}}");
    std::string base = temp / "base";
    std::string launcher = base + "/Brindle.sh";
    std::string out;
    ASSERT_EQ(RunCommand(std::string("'") + BRINDLE_ADMIN + "' init '" + base + "' --taxpayer " + kTaxpayer +
                             " --enterprise '测试企业' --tax-dept 13701000000 --server " + emulator.Address(),
                         &out),
              0)
        << out;
    auto run = [&](const std::string& command, std::string& err) {
        std::string errFile = temp / "stderr.txt";
        int rc = RunCommand("XDG_RUNTIME_DIR='" + temp / "run" + "' '" + BRINDLE_CLI + "' " + kTaxpayer +
                                " admin '" + launcher + "' " + command + " 2>'" + errFile + "'",
                            &out);
        err = ReadFileBytes(errFile);
        return rc;
    };

    // Still the initial password: refused before anything is sent.
    std::string err;
    EXPECT_EQ(run("check-upgrade", err), 1);
    EXPECT_EQ(out, "upgrade=none\n");
    EXPECT_EQ(err, "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_TRUE(emulator.Requests("UpdateSoft.do").empty());
    {
        TdsAdoDBKit kit;
        std::string error;
        ASSERT_TRUE(kit.Connect(base + "/dat/" + kTaxpayer + "/Brindle.mdb", "pavrid", false, error))
            << error;
        ASSERT_GE(kit.ExecSQL("UPDATE S_Config SET FValue = 'secret-9' WHERE FCategory = 'Network' AND "
                              "FKey = 'AuthenPassword'"),
                  0);
    }

    // The automatic check asks first; declined, nothing is fetched.
    EXPECT_EQ(run("check-upgrade auto", err), 0) << err;
    EXPECT_EQ(out, "upgrade=none\n");
    EXPECT_EQ(err, "[question] 存在新的软件版本，是否升级？ -> no\n");
    EXPECT_EQ(emulator.Requests("UpdateSoft.do").size(), 1u);

    // The menu's check: no question, the package in pieces, the updater started with the base folder.
    ASSERT_EQ(run("check-upgrade", err), 0) << err;
    EXPECT_EQ(out, "upgrade=started\n");
    EXPECT_EQ(err, "");
    auto requests = emulator.Requests("UpdateSoft.do");
    ASSERT_GE(requests.size(), 4u); // information + at least three pieces
    EXPECT_EQ(TPlatformEmulator::Value(requests.back(), "UpgradeIndex"), "3");
    std::string upgrade = base + "/Upgrade/";
    std::string started;
    for (int i = 0; i < 100 && !TdsIOUtils::TryReadTextFile(upgrade + "started.txt", started); ++i)
        TdsClock::Sleep(100);
    EXPECT_EQ(started, "1\n" + base + "/\n" + std::filesystem::canonical(upgrade).string() + "\n");
    EXPECT_EQ(ReadFileBytes(upgrade + "filler.txt"), Filler());
    EXPECT_FALSE(TdsIOUtils::FileExists(upgrade + "QelUpgrade.tmp"));
}
