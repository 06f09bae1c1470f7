#include "UdsDateUtils.h"

#include "UTestSupport.h"

#include <gtest/gtest.h>

namespace {

std::string DateText(const std::string& text) {
    TDateTime d = TDateTime::Encode(1900, 1, 1);
    if (!TdsDateUtils::ParseDate(text, d))
        return "false";
    return TdsDateUtils::FormatDateTime(d, true);
}

std::string TimeText(const std::string& text) {
    TDateTime t;
    if (!TdsDateUtils::ParseTime(text, t))
        return "false";
    return TdsDateUtils::FormatTime(t, true);
}

} // namespace

TEST(DateUtils, MonthBounds) {
    for (int day : {1, 15, 28, 29}) {
        TDateTime end = TdsDateUtils::MonthEnd(TDateTime::Encode(2024, 2, day, 13, 45));
        EXPECT_EQ(end.Year(), 2024);
        EXPECT_EQ(end.Month(), 2);
        EXPECT_EQ(end.Day(), 29) << day;
        EXPECT_EQ(end.Hour(), 23);
        EXPECT_EQ(end.Minute(), 59);
    }
    // Nothing of the last minute of the month lies after MonthEnd, and the next month starts after it.
    TDateTime end = TdsDateUtils::MonthEnd(TDateTime::Encode(2023, 12, 3));
    EXPECT_LE(TDateTime::Encode(2023, 12, 31, 23, 59, 59, 999), end);
    EXPECT_LT(end, TDateTime::Encode(2024, 1, 1));
    EXPECT_EQ(TdsDateUtils::FormatDateTime(TdsDateUtils::MonthEnd(TDateTime::Encode(2023, 2, 10))),
              "2023-02-28 23:59:59");

    EXPECT_EQ(TdsDateUtils::FormatDateTime(
                  TdsDateUtils::MonthStart(TDateTime::Encode(2024, 3, 31, 18, 5, 7, 9)), true),
              "2024-03-01 00:00:00.000");

    // The forms without a date take today from the clock.
    TManualClock clock(TDateTime::Encode(2026, 12, 11, 9, 30));
    EXPECT_EQ(TdsDateUtils::FormatDateTime(TdsDateUtils::MonthStart()), "2026-12-01 00:00:00");
    EXPECT_EQ(TdsDateUtils::FormatDateTime(TdsDateUtils::MonthEnd()), "2026-12-31 23:59:59");
}

TEST(DateUtils, ParseDate) {
    TManualClock clock(TDateTime::Encode(2026, 12, 11)); // two-digit years fall into 1976..2075
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"202403", "2024-03-01 00:00:00.000"},
        {"209912", "2099-12-01 00:00:00.000"},
        {"202413", "false"},
        {"991231", "1999-12-31 00:00:00.000"},
        {"240305", "2024-03-05 00:00:00.000"},
        {"20240229", "2024-02-29 00:00:00.000"},
        {"20230229", "false"},
        {"2023-02-29", "false"},
        {"2024-02-29", "2024-02-29 00:00:00.000"},
        {"2024/3/5", "2024-03-05 00:00:00.000"},
        {" 2024-12-31 ", "2024-12-31 00:00:00.000"},
        {"2024-3", "false"},
        {"2024-03-05-01", "false"},
        {"2024--05", "false"},
        {"2024-0x-05", "false"},
        {"12345", "false"},
        {"1234567", "false"},
        {"", "false"},
        {"2024-03-05 10:00", "false"},
        {"2024-13-01", "false"},
        {"99999999999-1-1", "false"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DateText(c.text), c.expected) << c.text;
}

TEST(DateUtils, ParseTime) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"0930", "09:30:00.000"},
        {"093015", "09:30:15.000"},
        {"093015123", "09:30:15.123"},
        {"9:05", "09:05:00.000"},
        {"23:59", "23:59:00.000"},
        {"23:59:58", "23:59:58.000"},
        {"08:07:06.5", "08:07:06.005"},
        {"08:07:06.250", "08:07:06.250"},
        {"12345", "false"},
        {"2400", "false"},
        {"12:60", "false"},
        {"12:00:61", "false"},
        {"1:2:3:4", "false"},
        {"12:00:00.1234", "false"},
        {"ab:cd", "false"},
        {"", "false"},
        {"12:", "false"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TimeText(c.text), c.expected) << c.text;
}

TEST(DateUtils, StoredLayoutsRoundTrip) {
    TDateTime v = TDateTime::Encode(2024, 3, 5, 7, 8, 9, 45);
    EXPECT_EQ(TdsDateUtils::FormatDate(v), "2024-03-05");
    EXPECT_EQ(TdsDateUtils::FormatDateTime(v, false), "2024-03-05 07:08:09");
    EXPECT_EQ(TdsDateUtils::FormatDateTime(v, true), "2024-03-05 07:08:09.045");
    EXPECT_EQ(TdsDateUtils::FormatCompactDate(v), "20240305");
    EXPECT_EQ(TdsDateUtils::FormatCompactDateTime(v), "20240305070809");

    TDateTime back;
    ASSERT_TRUE(TdsDateUtils::ParseDateTime("2024-03-05 07:08:09.045", back));
    EXPECT_EQ(back, v);
    ASSERT_TRUE(TdsDateUtils::ParseDateTime("2024-03-05 07:08:09", back));
    EXPECT_EQ(back, TDateTime::Encode(2024, 3, 5, 7, 8, 9));
    ASSERT_TRUE(TdsDateUtils::ParseDateTime("2024-03-05", back));
    EXPECT_EQ(back, TDateTime::Encode(2024, 3, 5));
    for (const char* bad :
         {"2024-03-05 25:00:00", "2024-02-30 10:00:00", "2024-03-05 x", "2024-03-05 10:00 x", "10:00:00", ""})
        EXPECT_FALSE(TdsDateUtils::ParseDateTime(bad, back)) << bad;
}

TEST(DateUtils, CombineDateTime) {
    TDateTime time = TDateTime::Encode(1999, 1, 1, 17, 30, 5, 250);
    TDateTime date = TDateTime::Encode(2024, 2, 29, 3, 0);
    EXPECT_EQ(TdsDateUtils::FormatDateTime(TdsDateUtils::CombineDateTime(time, date), true),
              "2024-02-29 17:30:05.250");
}
