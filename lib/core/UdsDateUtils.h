#pragma once
// Dates and times as the databases store them. Every date kept as text is in one of three layouts:
// "yyyy-mm-dd", "yyyy-mm-dd hh:nn:ss" and "yyyy-mm-dd hh:nn:ss.zzz"; this unit is the one place that
// writes and reads them. Values are local wall-clock date-times (TDateTime).
#include "UdsDateTime.h"

#include <string>

class TdsDateUtils {
public:
    // Checked encoding: false (and out untouched) when the date or the time does not exist.
    static bool TryEncode(int year, int month, int day, TDateTime& value);
    static bool TryEncode(int year, int month, int day, int hour, int minute, int second, int millisecond,
                          TDateTime& value);

    // First day of the month at 00:00:00.000.
    static TDateTime MonthStart(const TDateTime& date);
    static TDateTime MonthStart();
    // Last day of the month at 23:59:59.999, so that nothing of the month's last minute falls outside.
    static TDateTime MonthEnd(const TDateTime& date);
    static TDateTime MonthEnd();

    // "/" counts as "-". "y-m-d"; six digits beginning with "20" are year and month (day 1); other
    // six digits are yymmdd; eight digits yyyymmdd. Blanks around the text are ignored. Two-digit
    // years fall into the hundred years that start 50 years before today. False for anything else,
    // including dates that do not exist; date is then untouched.
    static bool ParseDate(const std::string& text, TDateTime& date);
    // Without ":": hhnn, hhnnss or hhnnsszzz (4, 6 or 9 digits). With ":": "hh:nn" (read as
    // "hh:nn:00"), "hh:nn:ss" or "hh:nn:ss.zzz". The result is a time of day (on 1970-01-01).
    static bool ParseTime(const std::string& text, TDateTime& time);
    // A date as ParseDate reads it, optionally followed by one blank and a time as ParseTime reads it.
    static bool ParseDateTime(const std::string& text, TDateTime& value);

    // "yyyy-mm-dd".
    static std::string FormatDate(const TDateTime& date);
    // "hh:nn:ss", with milliseconds "hh:nn:ss.zzz".
    static std::string FormatTime(const TDateTime& time, bool milliseconds = false);
    // "yyyy-mm-dd hh:nn:ss", with milliseconds "yyyy-mm-dd hh:nn:ss.zzz".
    static std::string FormatDateTime(const TDateTime& value, bool milliseconds = false);
    // "yyyymmdd" and "yyyymmddhhnnss" (file names such as the daily logs).
    static std::string FormatCompactDate(const TDateTime& date);
    static std::string FormatCompactDateTime(const TDateTime& value);

    // The date of dateSource with the time of day of timeSource.
    static TDateTime CombineDateTime(const TDateTime& timeSource, const TDateTime& dateSource);
};
