#pragma once
// A local date-time with millisecond precision (no time zone: the wall-clock time of this machine,
// as the platform's date-time values are). Stored as milliseconds since 1970-01-01 00:00:00.000.
#include <compare>
#include <cstdint>

class TDateTime {
public:
    constexpr TDateTime() = default;
    static constexpr TDateTime FromMilliseconds(int64_t ms) {
        TDateTime d;
        d.ms_ = ms;
        return d;
    }
    // Month 1..12, day 1..31; no check here (see TdsDateUtils::TryEncode for checked forms).
    static TDateTime Encode(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                            int millisecond = 0);
    static bool IsValidDate(int year, int month, int day);
    static bool IsValidTime(int hour, int minute, int second, int millisecond);
    static int DaysInMonth(int year, int month);

    void DecodeDate(int& year, int& month, int& day) const;
    void DecodeTime(int& hour, int& minute, int& second, int& millisecond) const;

    int Year() const;
    int Month() const;
    int Day() const;
    int Hour() const;
    int Minute() const;
    int Second() const;
    int MilliSecond() const;

    constexpr int64_t Milliseconds() const { return ms_; }
    // Midnight of the same day, and the time of day in milliseconds.
    TDateTime DatePart() const;
    int64_t TimeOfDay() const;

    TDateTime AddMilliseconds(int64_t ms) const { return FromMilliseconds(ms_ + ms); }
    TDateTime AddSeconds(int64_t s) const { return FromMilliseconds(ms_ + s * 1000); }
    TDateTime AddDays(int64_t d) const { return FromMilliseconds(ms_ + d * 86400000); }
    // Calendar months; the day is clamped to the end of the target month.
    TDateTime AddMonths(int months) const;
    // Whole seconds from other to this (negative when this is earlier).
    int64_t SecondsSince(const TDateTime& other) const { return (ms_ - other.ms_) / 1000; }

    auto operator<=>(const TDateTime&) const = default;

private:
    int64_t ms_ = 0;
};
