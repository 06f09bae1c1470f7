#include "CardReaderBlock.h"
#include "QEL_CardReader.h"

#include <gtest/gtest.h>

#include <string>

using qel::TRequestBlock;

TEST(CardReaderBlock, ParsesWellFormedBlocks) {
    TRequestBlock block;
    ASSERT_TRUE(qel::ParseRequest("1240070"
                                  "0A40000023F00CC",
                                  block));
    EXPECT_EQ(block.Pcb, 0x40);
    EXPECT_EQ(block.Data, std::string("\x00\xA4\x00\x00\x02\x3F\x00", 7));
    ASSERT_TRUE(qel::ParseRequest("120001AAB9", block));
    EXPECT_EQ(block.Data, "\xAA");
}

TEST(CardReaderBlock, RefusesMalformedBlocks) {
    TRequestBlock block;
    for (const char* bad : {"", "12", "120001AA", "1200050084000008", // too short, no LRC
                            "120005008400000800",                     // wrong LRC
                            "120005008400000899",
                            "130005008400000888", // NAD must be 12
                            "12000600840000089B", // LEN larger than the data
                            "1200050084000008",
                            "120005008400000"
                            "9b", // lower case
                            "120000"
                            "12"}) // no data
        EXPECT_FALSE(qel::ParseRequest(bad, block)) << bad;
}

TEST(CardReaderBlock, AnswerKeepsNadAndPcbAndEndsWithLrc) {
    TRequestBlock request;
    ASSERT_TRUE(qel::ParseRequest("1200050084000008"
                                  "9B",
                                  request));
    EXPECT_EQ(qel::BuildAnswer(request, std::string("\x90\x00", 2)), "1200029000"
                                                                     "80");
    request.Pcb = 0x40;
    EXPECT_EQ(qel::BuildAnswer(request, qel::CodeBytes(5001)), "1240025001"
                                                               "01");
}

TEST(CardReaderBlock, TransportFailuresForBadArguments) {
    char response[QEL_K417_RESPONSE_SIZE] = {};
    EXPECT_EQ(QEL_K417_UsbOpt(nullptr, response), QEL_K417_BAD_ARGUMENT);
    EXPECT_EQ(QEL_K417_UsbOpt("120005008400000800", response), QEL_K417_BAD_BLOCK);
    EXPECT_EQ(response[0], '\0');
}
