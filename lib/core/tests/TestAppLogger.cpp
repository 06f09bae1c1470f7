#include "UTestSupport.h"
#include "UdsAppLogger.h"
#include "UdsApplication.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsSysUtils.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace {

const std::string kDashes(100, '-');

// The file's bytes as UTF-8 lines, each given with its CR LF.
std::string Crlf(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

// What one action appends to the logger's current file, converted back from CP936.
std::string Appended(const TdsAppLogger& logger, const std::function<void()>& action) {
    size_t before = ReadFileBytes(logger.FileName()).size();
    action();
    return TdsEncoding::AnsiToUtf8(ReadFileBytes(logger.FileName()).substr(before));
}

struct TRecordingOutput : TdsLogOutput {
    std::vector<std::pair<std::string, uint32_t>> lines;
    void AddLines(const std::vector<std::string>& added, uint32_t color) override {
        for (const std::string& line : added)
            lines.emplace_back(line, color);
    }
    uint32_t DefaultColor() const override { return 0x00112233; }
};

} // namespace

TEST(AppLogger, DailyFileWithHeaderClosingDashesAndSameDayRestart) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2026, 12, 11, 9, 0, 0));
    std::string file = dir / "base/Log/20261211.log";
    {
        TdsAppLogger logger(1, false, nullptr, dir / "base/Log"); // parents made, "/" added
        EXPECT_EQ(logger.Folder(), dir / "base/Log/");
        EXPECT_EQ(logger.FileName(), file);
        clock.Advance(5000);
        logger.Log("读卡：税号 123");
    }
    std::string firstRun =
        Crlf({"2026-12-11 09:00:00  Start Logger ...", kDashes, "09:00:05  读卡：税号 123", kDashes});
    // Written as CP936, not UTF-8.
    EXPECT_EQ(ReadFileBytes(file), TdsEncoding::Utf8ToAnsi(firstRun));
    EXPECT_NE(ReadFileBytes(file), firstRun);

    clock.Set(TDateTime::Encode(2026, 12, 11, 14, 30, 0));
    {
        TdsAppLogger again(1, false, nullptr, dir / "base/Log/");
        EXPECT_EQ(again.Folder(), dir / "base/Log/");
        again.Log("second run");
    }
    EXPECT_EQ(TdsEncoding::AnsiToUtf8(ReadFileBytes(file)),
              firstRun + Crlf({"", "2026-12-11 14:30:00  Start Logger ...", kDashes, "14:30:00  second run",
                               kDashes}));
}

TEST(AppLogger, EntryAfterMidnightGoesToTheNewDaysFileWithoutHeader) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2026, 12, 31, 23, 59, 58));
    TdsAppLogger logger(1, false, nullptr, dir.Path());
    logger.Log("late");
    std::string oldDay = ReadFileBytes(dir / "20261231.log");

    // The new day's file does not exist yet: the entry alone, no blank line, no header.
    clock.Set(TDateTime::Encode(2027, 1, 1, 0, 0, 1));
    logger.Log("early");
    EXPECT_EQ(logger.FileName(), dir / "20270101.log");
    EXPECT_EQ(ReadFileBytes(dir / "20270101.log"), Crlf({"00:00:01  early"}));
    EXPECT_EQ(ReadFileBytes(dir / "20261231.log"), oldDay);

    // The next day's file exists already (another run): one blank line first, still no header.
    WriteFileBytes(dir / "20270102.log", Crlf({"left by another run"}));
    clock.Set(TDateTime::Encode(2027, 1, 2, 0, 0, 2));
    logger.Log("next");
    EXPECT_EQ(ReadFileBytes(dir / "20270102.log"), Crlf({"left by another run", "", "00:00:02  next"}));
    EXPECT_EQ(ReadFileBytes(dir / "20270101.log"), Crlf({"00:00:01  early"}));
}

TEST(AppLogger, PlainEntryLinesAreStampedAndIndented) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2026, 12, 11, 9, 8, 7));
    TdsAppLogger logger(1, false, nullptr, dir.Path());
    const std::string ten(10, ' ');
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {"一\r\n二\nthree", Crlf({"09:08:07  一", ten + "二", ten + "three"})},
        {"a\r\n\r\nb\r\n", Crlf({"09:08:07  a", "", ten + "b"})},
        {"\r\nno stamp on an empty first line", Crlf({"", ten + "no stamp on an empty first line"})},
        {"", Crlf({""})},
        {std::string(100, '*'), Crlf({"09:08:07  " + std::string(100, '*')})},
        {"File:     MTIz", Crlf({"09:08:07  File:     MTIz"})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Appended(logger, [&] { logger.Log(c.text); }), c.expected) << c.text;
}

TEST(AppLogger, OtherNameModesUseFullStampsAndFixedNames) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2026, 12, 11, 9, 8, 7));
    std::string program = TdsIOUtils::ExtractBaseName(TdsSysUtils::ModuleFile(), false);
    ASSERT_FALSE(program.empty());
    struct Case {
        uint8_t mode;
        std::string name;
    } cases[] = {{0, program + ".log"}, {2, "todo.log"}, {255, "todo.log"}};
    for (const Case& c : cases) {
        TTempFolder own;
        TdsAppLogger logger(c.mode, false, nullptr, own.Path());
        EXPECT_EQ(logger.FileName(), own / c.name) << int(c.mode);
        std::string indent(21, ' ');
        EXPECT_EQ(Appended(logger, [&] { logger.Log("x\ny"); }),
                  Crlf({"2026-12-11 09:08:07  x", indent + "y"}))
            << int(c.mode);
        // The date changing does not switch these files.
        clock.Advance(86400000);
        logger.Log("tomorrow");
        EXPECT_EQ(logger.FileName(), own / c.name);
        clock.Advance(-86400000);
    }
}

TEST(AppLogger, EncodedEntryIsOneLineThatDecodesBack) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2026, 12, 11, 9, 8, 7));
    TdsAppLogger logger(1, false, nullptr, dir.Path());
    const std::string text = "Request:  00 A4 00 00 02 3F 00\r\nResponse: 90 00 （纳税人识别号：税务局）";
    std::string written = Appended(logger, [&] { logger.Log(text, true); });

    std::smatch m;
    ASSERT_TRUE(std::regex_match(written, m, std::regex("09:08:07  <LOG>([A-Za-z0-9+/=]+)</LOG>\r\n")))
        << written;
    // The data are the zlib stream of the CP936 bytes.
    EXPECT_EQ(TdsIOUtils::UnzipText(TdsIOUtils::Base64Decode(m[1].str())), TdsEncoding::Utf8ToAnsi(text));
    std::string decoded;
    ASSERT_TRUE(TdsAppLogger::DecodeEntry(written, decoded));
    EXPECT_EQ(decoded, text);

    // Full stamps and an empty text also make one decodable line.
    TdsAppLogger full(0, false, nullptr, dir / "full");
    std::string empty = Appended(full, [&] { full.Log("", true); });
    ASSERT_TRUE(TdsAppLogger::DecodeEntry(empty, decoded)) << empty;
    EXPECT_EQ(decoded, "");
    EXPECT_EQ(empty.substr(0, 26), "2026-12-11 09:08:07  <LOG>");

    for (const std::string& bad :
         std::vector<std::string>{"09:08:07  plain text", "09:08:07  <LOG>!!!!</LOG>",
                                  "09:08:07  <LOG>QUJD</LOG>", "09:08:07  <LOG>" + m[1].str(), "</LOG>"})
        EXPECT_FALSE(TdsAppLogger::DecodeEntry(bad, decoded)) << bad;
}

TEST(AppLogger, OutputSinkAndMessagePumpSeeEveryEntry) {
    TTempFolder dir;
    TManualClock clock(TDateTime::Encode(2026, 12, 11, 9, 8, 7));
    TRecordingApplication app;
    TRecordingOutput out;
    {
        TdsAppLogger logger(1, false, &out, dir.Path());
        logger.Log("plain");
        logger.Log(0xFF, "red\nsecond", false);
        EXPECT_EQ(app.Processed, 2);
    }
    using Line = std::pair<std::string, uint32_t>;
    std::vector<Line> expected = {{"2026-12-11 09:08:07  Start Logger ...", 0x00112233},
                                  {kDashes, 0x00112233},
                                  {"09:08:07  plain", 0x00112233},
                                  {"09:08:07  red", 0xFF},
                                  {std::string(10, ' ') + "second", 0xFF},
                                  {kDashes, 0x00112233}};
    EXPECT_EQ(out.lines, expected);
}

TEST(AppLogger, WriteErrorsReachTheCaller) {
    TTempFolder dir;
    TManualClock clock;
    WriteFileBytes(dir / "Log", "a file where the folder should be");
    EXPECT_THROW(TdsAppLogger(1, false, nullptr, dir / "Log"), EdsError);
}
