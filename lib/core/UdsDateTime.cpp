#include "UdsDateTime.h"

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil algorithms).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(y + (m <= 2));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

} // namespace

TDateTime TDateTime::Encode(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    int64_t ms =
        days * kMsPerDay + ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    return FromMilliseconds(ms);
}

bool TDateTime::IsValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

bool TDateTime::IsValidTime(int hour, int minute, int second, int millisecond) {
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
           millisecond >= 0 && millisecond < 1000;
}

int TDateTime::DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

void TDateTime::DecodeDate(int& year, int& month, int& day) const {
    CivilFromDays(FloorDiv(ms_, kMsPerDay), year, month, day);
}

void TDateTime::DecodeTime(int& hour, int& minute, int& second, int& millisecond) const {
    int64_t t = TimeOfDay();
    millisecond = static_cast<int>(t % 1000);
    t /= 1000;
    second = static_cast<int>(t % 60);
    t /= 60;
    minute = static_cast<int>(t % 60);
    hour = static_cast<int>(t / 60);
}

int TDateTime::Year() const {
    int y, m, d;
    DecodeDate(y, m, d);
    return y;
}
int TDateTime::Month() const {
    int y, m, d;
    DecodeDate(y, m, d);
    return m;
}
int TDateTime::Day() const {
    int y, m, d;
    DecodeDate(y, m, d);
    return d;
}
int TDateTime::Hour() const {
    return static_cast<int>(TimeOfDay() / 3600000);
}
int TDateTime::Minute() const {
    return static_cast<int>(TimeOfDay() / 60000 % 60);
}
int TDateTime::Second() const {
    return static_cast<int>(TimeOfDay() / 1000 % 60);
}
int TDateTime::MilliSecond() const {
    return static_cast<int>(TimeOfDay() % 1000);
}

TDateTime TDateTime::DatePart() const {
    return FromMilliseconds(FloorDiv(ms_, kMsPerDay) * kMsPerDay);
}

int64_t TDateTime::TimeOfDay() const {
    return ms_ - FloorDiv(ms_, kMsPerDay) * kMsPerDay;
}

TDateTime TDateTime::AddMonths(int months) const {
    int y, m, d;
    DecodeDate(y, m, d);
    int total = y * 12 + (m - 1) + months;
    int ny = FloorDiv(total, 12);
    int nm = total - ny * 12 + 1;
    int nd = d;
    int last = DaysInMonth(ny, nm);
    if (nd > last)
        nd = last;
    return FromMilliseconds(DaysFromCivil(ny, nm, nd) * kMsPerDay + TimeOfDay());
}
