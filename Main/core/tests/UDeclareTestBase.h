#pragma once
// A test base for the declaration steps: one complete installation and one open taxpayer database per
// suite (connecting is costly), a global state whose platform client talks to a per-test emulator, the
// clock manual, every box recorded, and a progress frame that records the step and clock states.
#include "DiskUtils.h"
#include "UCardTestSupport.h"
#include "UDeclareBiz.h"
#include "UEmulatorTestSupport.h"
#include "UGlobal.h"
#include "UMainTestSupport.h"
#include "UQelPlatform.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsAppLogger.h"
#include "UdsIOUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kDeclareTaxpayer = "370101000000001";
inline constexpr const char* kDeclareCard = "12345678901234";

// Records "step <n> clock <elapsed>" whenever the step or the clock state changes, and the percent
// marks as "progress <n> <percent>".
class TStepRecordingFrame : public TRecordingProgressFrame {
public:
    std::vector<std::string> States;

protected:
    void Changed() override {
        TRecordingProgressFrame::Changed();
        std::string state = "step " + std::to_string(Step()) + (ClockRunning() ? " clock " : " noclock ") +
                            std::to_string(ElapsedSeconds());
        if (Percent() > 0)
            state = "progress " + std::to_string(Step()) + " " + std::to_string(Percent());
        // Clock readings move while it runs: a new entry only for a new step, clock state or mark.
        std::string key = state.substr(0, state.rfind(' '));
        if (Percent() > 0)
            key = state;
        if (key != lastKey_)
            States.push_back(state);
        lastKey_ = key;
    }

private:
    std::string lastKey_;
};

class TDeclareTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setUpError_.clear();
        base_ = new TTempFolder();
        std::string error;
        if (!OpenTestInstallation(base_->Path(), kDeclareTaxpayer, error)) {
            setUpError_ = error;
            return;
        }
        Global->Version = "3.2.1";
        Global->AuthenPassword = "secret-1";
        Global->InitialAuthenPassword = "88888888";
        Global->TaxDeptCode = "11010100";
        WriteFileBytes(*base_ / "verify.ini", "[Disk]\nVerifyParam4=11223344\nVerifyParam2=5566\n");
        GetDiskUtils().IniFileName = *base_ / "verify.ini";
    }
    // The virtual card of the suite's taxpayer behind pcscd, for suites that run card scripts (the stand is
    // slow to start: one per suite).
    static void StartCardStand() {
        stand_ = new TCardStand();
        std::string error;
        if (!stand_->Start(std::string("{\"taxpayer\": \"") + kDeclareTaxpayer +
                               "\", \"card\": {\"number\": \"" + kDeclareCard + "\"}}",
                           error))
            setUpError_ = "card stand: " + error;
    }
    static void StopCardStand() {
        delete stand_;
        stand_ = nullptr;
    }
    static void TearDownTestSuite() {
        GetDiskUtils().IniFileName.clear();
        FreeGlobal();
        delete base_;
        base_ = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(setUpError_, "");
        for (const char* table : {"KDR_DeclareInfo", "KDR_DeclareResult", "KDR_ICCards"})
            ASSERT_GE(Global->TaxpayerDB->ExecSQL(std::string("DELETE FROM ") + table), 0);
        Global->ModalForms = &forms;
        Global->DeclareTimeOut = 30;
        Global->CardNumber = Global->DiskNumber = kDeclareCard;
        Global->CardCaption = Global->DiskCaption = kDeclareCard;
    }
    void TearDown() override {
        if (Global)
            Global->ModalForms = nullptr;
    }

    // The emulator with the suite's identity and the test's scenario changes: members of the "platform"
    // part, merged into the default scenario. The platform client points at it.
    void Serve(const std::string& platformMembers = "") {
        std::string folder = temp / ("emu" + std::to_string(++emulators_) + "/");
        TdsIOUtils::ForceFolders(folder);
        emulator = std::make_unique<TPlatformEmulator>(
            folder, std::string("{\"taxpayer\": \"") + kDeclareTaxpayer + "\", \"card\": {\"number\": \"" +
                        kDeclareCard +
                        "\"}, \"platform\": {\"password\": \"secret-1\", \"taxDeptCode\": \"11010100\"" +
                        (platformMembers.empty() ? "" : ", " + platformMembers) + "}}");
        Global->Platform->SetMainServer(emulator->Address());
    }
    std::vector<TdsJSONValue> Requests(const std::string& name) const { return emulator->Requests(name); }
    std::vector<std::string> Values(const std::string& name, const std::string& header) const {
        std::vector<std::string> out;
        for (const TdsJSONValue& r : emulator->Requests(name))
            out.push_back(TPlatformEmulator::Value(r, header));
        return out;
    }

    // Rows of a query on the taxpayer database, column -> text.
    static std::vector<std::map<std::string, std::string>> Rows(const std::string& sql) {
        TVirtualTable table;
        EXPECT_GE(Global->TaxpayerDB->OpenQuery(table, sql), 0) << sql;
        std::vector<std::map<std::string, std::string>> rows;
        for (table.First(); !table.Eof(); table.Next()) {
            std::map<std::string, std::string> row;
            for (int i = 0; i < table.FieldCount(); ++i)
                row[table.FieldDef(i).Name] = table.Field(i).IsNull() ? "<null>" : table.Field(i).AsString();
            rows.push_back(row);
        }
        return rows;
    }

    // The plain lines of the application log (time stamp cut off), oldest first.
    static std::vector<std::string> AppLogLines() {
        std::vector<std::string> out;
        std::string text;
        if (!Global->AppLogger || !TdsIOUtils::TryReadTextFile(Global->AppLogger->FileName(), text))
            return out;
        std::vector<std::string> lines;
        TdsStrUtils::SplitText(text, "\r\n", false, lines);
        for (const std::string& line : lines) {
            size_t gap = line.find("  ");
            out.push_back(gap == std::string::npos ? line : line.substr(gap + 2));
        }
        return out;
    }
    // The four mismatch entries of the application log.
    static std::vector<std::string> MismatchEntries(const std::string& fromFile,
                                                    const std::string& fromDatabase) {
        const std::string stars(100, '*');
        return {stars, "File:     " + TdsIOUtils::Base64Encode(fromFile),
                "Database: " + TdsIOUtils::Base64Encode(fromDatabase), stars};
    }
    // How often the entries stand one after the other in the application log.
    static int LoggedTimes(const std::vector<std::string>& entries) {
        std::vector<std::string> lines = AppLogLines();
        int times = 0;
        for (size_t i = 0; i + entries.size() <= lines.size(); ++i)
            if (std::equal(entries.begin(), entries.end(), lines.begin() + static_cast<long>(i)))
                ++times;
        return times;
    }

    static std::string Base() { return base_->Path(); }

    static TTempFolder* base_;
    static std::string setUpError_;
    static TCardStand* stand_;
    TTempFolder temp;
    TRecordingDialogs dialogs;
    TManualClock clock{TDateTime::Encode(2026, 12, 11, 9, 0, 0, 0)};
    TRecordingApplication application;
    TScriptedModalForms forms;
    TStepRecordingFrame frame;
    TDeclareBiz biz;
    std::unique_ptr<TPlatformEmulator> emulator;
    int emulators_ = 0;
};

inline TTempFolder* TDeclareTest::base_ = nullptr;
inline std::string TDeclareTest::setUpError_;
inline TCardStand* TDeclareTest::stand_ = nullptr;

// One card script row of an emulator scenario.
inline std::string ScriptRow(const std::string& request, const std::string& marker = "",
                             const std::string& status = "0") {
    return "{\"CMDRequest\": \"" + request + "\", \"CMDResponse\": \"\", \"ExecStatusC\": \"" + status +
           "\", \"ExecStatusS\": \"0\", \"ErrorCMD\": \"" + marker + "\"}";
}

// A step of the emulator: its RETRY count and the card script it answers with.
inline std::string StepConf(int retries, const std::vector<std::string>& rows) {
    std::string list;
    for (const std::string& r : rows)
        list += (list.empty() ? "" : ", ") + r;
    return "{\"retries\": " + std::to_string(retries) + ", \"script\": {\"rows\": [" + list + "]}}";
}

// A script that reads the card number (the "{IC}" answer the client compares).
inline std::string CardNumberScript(int retries) {
    return StepConf(retries, {ScriptRow("00 A4 00 00 02 EF 05"), ScriptRow("00 B0 00 20 17", "{IC}")});
}
inline std::string ChallengeScript(int retries) {
    return StepConf(retries, {ScriptRow("00 84 00 00 08")});
}
