#include "UCardTestSupport.h"
#include "USBCard.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

const std::string kLock =
    "操作税控IC卡出现严重错误，请务必前往税务局办理业务！\r\n\r\n如果您继续尝试，IC卡将会被锁定！";

struct TTransmitCase {
    std::string request; // the block sent
    std::string answer;  // what the reader puts in the buffer
    int result;
    bool ok;
    std::string message;
};

} // namespace

TEST(USBCard, GetBlockDataReadsTheDataFieldOrThePcb) {
    EXPECT_EQ(TUSBCard::GetBlockData("12 00 05 00 84 00 00 08 9B"), "0084000008");
    EXPECT_EQ(TUSBCard::GetBlockData("124000"
                                     "52"),
              "40");
    EXPECT_EQ(TUSBCard::GetBlockData("120001AAB9"), "AA");
    EXPECT_EQ(TUSBCard::GetBlockData("1200"), "");
    EXPECT_EQ(TUSBCard::GetBlockData("1200ZZ00"), "");
}

TEST(USBCard, TransmitChecksTheAnswer) {
    const std::string apdu = "1200050084000008"
                             "9B";
    const std::string aa = "120001AAB9";
    const std::vector<TTransmitCase> cases = {
        {apdu, TScriptedReader::Block("9000"), 0, true, ""},
        {apdu, TScriptedReader::Block("0102030405060708 9000"), 0, true, ""},
        {apdu, TScriptedReader::Block("63C1"), 0, true, "#63C1 " + kLock},
        // Lower-case digits fail the LRC check, even with the right check value.
        {apdu, "12000263c1b2", 0, true,
         "错误的命令响应！\r\nRequest:  12 00 05 00 84 00 00 08 9B\r\nResponse: 12 00 02 63 c1 b2"},
        {apdu, TScriptedReader::Block("5001"), 0, true, "#5001 无卡，请正确插卡！"},
        {apdu, TScriptedReader::Block("5008"), 0, true, "#5008 卡通讯出错，报税过程中税控IC卡被拔出过！"},
        {apdu, TScriptedReader::Block("5092"), 0, true, "#5092 卡通讯出错！"},
        {apdu, TScriptedReader::Block("6982"), 0, true, "#6982 未知错误！"},
        {apdu, TScriptedReader::Block("6A82"), 0, true, "#6A82"},
        {apdu, TScriptedReader::Block("0102 6A82"), 0, true, "#6A82"},
        // AA and AC answers are not examined; AB answers are.
        {aa, TScriptedReader::Block("6A82"), 0, true, ""},
        {"120001ACBF", TScriptedReader::Block("6A82"), 0, true, ""},
        {"120001ABB8", TScriptedReader::Block("6A82"), 0, true, "#6A82"},
        {apdu, "1200026a8206", 0, true,
         "错误的命令响应！\r\nRequest:  12 00 05 00 84 00 00 08 9B\r\nResponse: 12 00 02 6a 82 06"},
        {apdu,
         "1200029000"
         "81",
         0, true, "错误的命令响应！\r\nRequest:  12 00 05 00 84 00 00 08 9B\r\nResponse: 12 00 02 90 00 81"},
        // Passes the LRC but cannot hold LEN.
        {apdu, "1212", 0, true,
         "错误的命令响应！\r\nRequest:  12 00 05 00 84 00 00 08 9B\r\nResponse: 12 12"},
        {apdu, "", 7, false, "#7 同USB设备通讯失败（12 00 05 00 84 00 00 08 9B）！"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const TTransmitCase& c = cases[i];
        TScriptedReader reader;
        reader.Answer(c.answer, c.result);
        std::string response, message;
        bool ok = TUSBCard::Transmit(false, c.request, response, message);
        EXPECT_EQ(ok, c.ok) << i;
        EXPECT_EQ(message, c.message) << i << ": " << c.answer;
        ASSERT_EQ(reader.Requests.size(), 1u);
        EXPECT_EQ(reader.Requests[0], c.request);
        if (c.result == 0) {
            EXPECT_EQ(response, c.answer);
        }
    }
}

TEST(USBCard, ExchangeOpensAndAlwaysCloses) {
    {
        TScriptedReader reader;
        reader.OpenResult = false;
        std::string response = "x", message = "y";
        EXPECT_FALSE(TUSBCard::Exchange("1200050084000008"
                                        "9B",
                                        response, message));
        EXPECT_EQ(response, "");
        EXPECT_EQ(message, "");
        EXPECT_TRUE(reader.Requests.empty());
        EXPECT_EQ(reader.Closes, 0);
    }
    {
        // A raising close does not change the result.
        TScriptedReader reader;
        reader.CloseRaises = true;
        EXPECT_FALSE(TUSBCard::CloseReader());
        reader.Answer(TScriptedReader::Block("6A82"));
        std::string response, message;
        EXPECT_TRUE(TUSBCard::Exchange("1200050084000008"
                                       "9B",
                                       response, message));
        EXPECT_EQ(message, "#6A82");
        EXPECT_EQ(reader.Opens, 1);
        EXPECT_EQ(reader.Closes, 2);
    }
    {
        // A raising transmit still closes the reader.
        TScriptedReader reader;
        TCardReaderApi api = TUSBCard::Api();
        api.UsbOpt = [](const char*, char*) -> int { throw std::runtime_error("gone"); };
        TCardReaderApi saved = TUSBCard::SetApi(api);
        std::string response, message;
        EXPECT_THROW(TUSBCard::Exchange("1200050084000008"
                                        "9B",
                                        response, message),
                     std::runtime_error);
        TUSBCard::SetApi(saved);
        EXPECT_EQ(reader.Opens, 1);
        EXPECT_EQ(reader.Closes, 1);
    }
}
