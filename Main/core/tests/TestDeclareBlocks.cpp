#include "Simulator.h"
#include "UCardTestSupport.h"
#include "UDeclareBiz.h"
#include "UGlobal.h"
#include "UTestSupport.h"
#include "UdsAppLogger.h"
#include "UdsHexUtils.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace {

// A global state over a temporary base folder (launcher file present, so the application log is on).
class TBlockGlobal {
public:
    explicit TBlockGlobal(bool debug) {
        WriteFileBytes(folder_ / "Launcher.sh", "");
        if (debug)
            WriteFileBytes(folder_ / "Request_Response.xml",
                           "<Request_Response><Card><I Request=\"00A4000002EF05\" Response=\"6A82\"/></Card>"
                           "<Disk/><DownloadFileName/></Request_Response>");
        TSimulator::SetFolder(folder_.Path());
        FreeSimulator();
        global_ = std::make_unique<TGlobal>(
            std::vector<std::string>{"370101000000001", "admin", folder_ / "Launcher.sh"}, TGlobalFrontEnd{});
        Global = global_.get();
    }
    ~TBlockGlobal() {
        Global = nullptr;
        global_.reset();
        FreeSimulator();
        TSimulator::SetFolder("");
    }
    // The decoded encoded entries of the application log.
    std::vector<std::string> LogEntries() const {
        std::vector<std::string> entries;
        std::string text;
        if (!TdsIOUtils::TryReadTextFile(Global->AppLogger->FileName(), text))
            return entries;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::string entry;
            if (TdsAppLogger::DecodeEntry(TdsStrUtils::Trim(line), entry))
                entries.push_back(entry);
        }
        return entries;
    }

private:
    TTempFolder folder_;
    std::unique_ptr<TGlobal> global_;
};

} // namespace

TEST(DeclareBlocks, BuildBlockAlternatesThePcb) {
    TDeclareBiz biz;
    EXPECT_EQ(biz.BuildBlock("00 84 00 00 08"), "1200050084000008"
                                                "9B");
    biz.LastBlock = "1200050084000008"
                    "9B";
    EXPECT_EQ(biz.BuildBlock("00 A4 00 00 02 3F 00"), "12400700A40000023F00"
                                                      "CC");
    biz.LastBlock = "12400700A40000023F00"
                    "CC";
    EXPECT_EQ(biz.BuildBlock("0084000008"), "1200050084000008"
                                            "9B");
    // After a block that carried AA the alternation restarts, whatever its PCB.
    biz.LastBlock = "124001AAF9";
    EXPECT_EQ(biz.BuildBlock("0084000008"), "1200050084000008"
                                            "9B");
    // Not upper-case hex: no LRC.
    biz.LastBlock.clear();
    EXPECT_EQ(biz.BuildBlock("00a4"), "12000200a4");
}

TEST(DeclareBlocks, SendApduLogsAndTracksTheLastBlock) {
    TBlockGlobal global(false);
    TRecordingDialogs dialogs;
    TScriptedReader reader;
    TDeclareBiz biz;
    reader.Answer(TScriptedReader::Block("0102030405060708 9000"));
    std::string data, response;
    ASSERT_TRUE(biz.SendApdu("00 84 00 00 08", data, response));
    EXPECT_EQ(data, "01020304050607089000");
    EXPECT_EQ(response, TScriptedReader::Block("0102030405060708 9000"));
    EXPECT_EQ(biz.LastBlock, "1200050084000008"
                             "9B");
    ASSERT_EQ(reader.Requests.size(), 1u);
    EXPECT_EQ(reader.Requests[0], "1200050084000008"
                                  "9B");
    std::vector<std::string> entries = global.LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], "Request:  12 00 05 00 84 00 00 08 9B\r\nResponse: " +
                              TdsHexUtils::SpaceHex(TScriptedReader::Block("0102030405060708 9000")));

    // The next block alternates; a card error is shown and the data stays empty.
    reader.Answer(TScriptedReader::Block("6A82", "40"));
    EXPECT_FALSE(biz.SendApdu("00 A4 00 00 02 3F 00", data, response));
    EXPECT_EQ(reader.Requests[1], "12400700A40000023F00"
                                  "CC");
    EXPECT_EQ(data, "");
    EXPECT_EQ(dialogs.Texts("error"), std::vector<std::string>{"#6A82"});
    EXPECT_EQ(biz.LastBlock, "12400700A40000023F00"
                             "CC");

    // A failing transport keeps LastBlock and shows the number.
    reader.Answer("", 3);
    EXPECT_FALSE(biz.SendApdu("0084000008", data, response));
    EXPECT_EQ(biz.LastBlock, "12400700A40000023F00"
                             "CC");
    EXPECT_TRUE(dialogs.Has("error", "#3 同USB设备通讯失败（12 00 05 00 84 00 00 08 9B）！"))
        << dialogs.Transcript();

    // A reader that does not open fails without a message.
    dialogs.Clear();
    reader.OpenResult = false;
    EXPECT_FALSE(biz.SendApdu("0084000008", data, response));
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST(DeclareBlocks, IgnoreNextErrorSwallowsOneError) {
    TRecordingDialogs dialogs;
    TScriptedReader reader;
    TDeclareBiz biz;
    biz.IgnoreNextError = true;
    reader.Answer(TScriptedReader::Block("63C1"));
    reader.Answer(TScriptedReader::Block("5001", "40"));
    std::string data = "x", response;
    EXPECT_TRUE(biz.SendApdu("00A40000023F00", data, response));
    EXPECT_EQ(data, "");
    EXPECT_FALSE(biz.IgnoreNextError);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_FALSE(biz.SendApdu("00A40000023F00", data, response));
    EXPECT_EQ(dialogs.Texts("error"), std::vector<std::string>{"#5001 无卡，请正确插卡！"});
}

TEST(DeclareBlocks, DebugModeAnswersFromTheSimulatorWithoutTheReader) {
    TBlockGlobal global(true);
    TRecordingDialogs dialogs;
    TScriptedReader reader;
    TDeclareBiz biz;
    std::string data, response;
    EXPECT_TRUE(biz.SendApdu("00 A4 00 00 02 EF 05", data, response));
    EXPECT_EQ(data, "6A82");
    EXPECT_EQ(response, "1200026A82"
                        "F8");
    EXPECT_TRUE(biz.SendApdu("00 84 00 00 08", data, response));
    EXPECT_EQ(data, "90 00");
    EXPECT_EQ(reader.Calls(), 0);
    EXPECT_EQ(biz.LastBlock, "");
    EXPECT_TRUE(global.LogEntries().empty());
    EXPECT_EQ(dialogs.Count(), 0u);
}

// ---- through libQEL_CardReader.so, pcscd, vpcd and the virtual card ----

class CardStand : public ::testing::Test {
protected:
    void StartStand(const std::string& scenario = "") {
        std::string error;
        ASSERT_TRUE(stand_.Start(scenario, error)) << error;
        // A fresh session at the reader library, as the main program starts one.
        std::string data, response;
        ASSERT_TRUE(biz_.SendApdu("AA", data, response)) << dialogs_.Transcript();
    }
    TRecordingDialogs dialogs_;
    TCardStand stand_;
    TDeclareBiz biz_;
};

TEST_F(CardStand, SendApduReachesTheVirtualCard) {
    ASSERT_NO_FATAL_FAILURE(StartStand());
    std::string data, response;
    ASSERT_TRUE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response))
        << dialogs_.Transcript() << stand_.Log();
    EXPECT_EQ(data, "9000");
    EXPECT_EQ(response.substr(0, 4), "1200"); // the request's PCB: 00 again after AA
    ASSERT_TRUE(biz_.SendApdu("00 84 00 00 08", data, response));
    EXPECT_EQ(data.size(), 20u);
    EXPECT_EQ(data.substr(16), "9000");
    ASSERT_TRUE(biz_.SendApdu("00 A4 00 00 02 EF 05", data, response));
    ASSERT_TRUE(biz_.SendApdu("00 B0 00 00 1A", data, response));
    // The items the card script reads: the taxpayer from character 5, the card number from 33.
    EXPECT_EQ(data.size(), 2u * 0x1A + 4);
    EXPECT_EQ(data.substr(4, 15), "370101000000001");
    ASSERT_TRUE(biz_.SendApdu("00 B0 00 20 17", data, response));
    EXPECT_EQ(data.substr(32, 14), "12345678901234");
    ASSERT_TRUE(biz_.SendApdu("00 A4 00 00 02 EF 06", data, response));
    ASSERT_TRUE(biz_.SendApdu("00 B0 00 84 02", data, response));
    EXPECT_EQ(data, "06009000");
    EXPECT_FALSE(biz_.SendApdu("00 A4 00 00 02 EF 09", data, response));
    EXPECT_EQ(dialogs_.Texts("error"), std::vector<std::string>{"#6A82"});
    ASSERT_TRUE(biz_.SendApdu("AB", data, response)) << dialogs_.Transcript();
    EXPECT_EQ(data, "9000");
}

TEST_F(CardStand, InjectedFaultsGiveTheirMessages) {
    const std::string scenario = R"({"taxpayer": "370101000000001",
        "card": {"number": "12345678901234", "recordCount": 9,
                 "faults": [{"type": "status", "apdu": "00 A4 00 00 02 EF 05", "sw": "63C2"}]}})";
    ASSERT_NO_FATAL_FAILURE(StartStand(scenario));
    std::string data, response;
    EXPECT_FALSE(biz_.SendApdu("00 A4 00 00 02 EF 05", data, response));
    ASSERT_EQ(stand_.Control(R"(fault {"type": "status", "apdu": "00A40000023F00", "sw": "6982"})"), "ok");
    EXPECT_FALSE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response));
    // Each fault answers once.
    EXPECT_TRUE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response));
    EXPECT_TRUE(biz_.SendApdu("00 A4 00 00 02 EF 06", data, response));
    EXPECT_TRUE(biz_.SendApdu("00 B0 00 84 02", data, response));
    EXPECT_EQ(data, "09009000");
    EXPECT_EQ(dialogs_.Texts("error"),
              (std::vector<std::string>{"#63C2 操作税控IC卡出现严重错误，请务必前往税务局办理业务！\r\n\r\n"
                                        "如果您继续尝试，IC卡将会被锁定！",
                                        "#6982 未知错误！"}));
}

TEST_F(CardStand, RemovedCardGivesTheReaderCodes) {
    ASSERT_NO_FATAL_FAILURE(StartStand());
    std::string data, response;
    ASSERT_TRUE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response)) << dialogs_.Transcript();
    ASSERT_EQ(stand_.Control("remove"), "ok");
    ASSERT_TRUE(stand_.WaitCard(false));
    // Pulled during the session.
    EXPECT_FALSE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response));
    // Put back: the session stays spoilt until it ends; its end reports the removal.
    ASSERT_EQ(stand_.Control("insert"), "ok");
    ASSERT_TRUE(stand_.WaitCard(true));
    EXPECT_FALSE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response));
    EXPECT_FALSE(biz_.SendApdu("AB", data, response));
    const std::string removed = "#5008 卡通讯出错，报税过程中税控IC卡被拔出过！";
    EXPECT_EQ(dialogs_.Texts("error"), (std::vector<std::string>{removed, removed, removed}));
    // A new session with the card in works; without a card it is "no card".
    dialogs_.Clear();
    EXPECT_TRUE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response)) << dialogs_.Transcript();
    EXPECT_TRUE(biz_.SendApdu("AB", data, response));
    ASSERT_EQ(stand_.Control("remove"), "ok");
    ASSERT_TRUE(stand_.WaitCard(false));
    EXPECT_FALSE(biz_.SendApdu("00 A4 00 00 02 3F 00", data, response));
    EXPECT_EQ(dialogs_.Texts("error"), std::vector<std::string>{"#5001 无卡，请正确插卡！"});
}
