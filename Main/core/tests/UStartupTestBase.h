#pragma once
// A test base that starts the main program's start-up on a fixture installation: boxes recorded, the
// clock manual, the single-instance lock in a folder of the test, and the global state freed afterwards.
#include "UGlobal.h"
#include "UStartup.h"
#include "UStartupFixture.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsApplication.h"

#include <cstdlib>
#include <gtest/gtest.h>

class TStartupTest : public ::testing::Test {
protected:
    TTempFolder temp;
    TRecordingDialogs dialogs;
    TManualClock clock{TDateTime::Encode(2026, 12, 11, 9, 30, 15, 250)};
    TRecordingApplication application;

    void SetUp() override {
        TdsIOUtils::ForceFolders(temp / "run");
        setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1);
        // Each test has its own lock folder; a lock kept from an earlier test of this process goes.
        ProcessInstanceLock().Release();
    }
    void TearDown() override { FreeGlobal(); }

    // Builds the installation under temp/name/.
    void Build(TFixtureInstallation& installation, const std::string& name = "base") {
        ASSERT_EQ(installation.Build(temp / (name + "/")), "");
    }
    bool Start(const TFixtureInstallation& installation, const std::string& user = "admin") {
        return BrindleStartup(installation.Args(user), TGlobalFrontEnd());
    }

    // The rows of a query on a database file, opened with its own kit.
    static void Query(const std::string& file, const std::string& sql, TVirtualTable& table) {
        TdsAdoDBKit kit;
        std::string error;
        ASSERT_TRUE(kit.Connect(file, "pavrid", false, error)) << error;
        ASSERT_GE(kit.OpenQuery(table, sql), 0);
    }
};
