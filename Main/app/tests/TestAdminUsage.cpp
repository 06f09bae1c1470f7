#include "UTestSupport.h"

#include <gtest/gtest.h>

TEST(Admin, UsageErrorsExitTwo) {
    std::string out;
    EXPECT_EQ(RunCommand(std::string(BRINDLE_ADMIN) + " 2>&1", &out), 2);
    EXPECT_NE(out.find("usage: brindle-admin"), std::string::npos) << out;
    EXPECT_EQ(RunCommand(std::string(BRINDLE_ADMIN) + " no-such-command 2>&1", &out), 2);
    EXPECT_NE(out.find("unknown command"), std::string::npos) << out;
}
