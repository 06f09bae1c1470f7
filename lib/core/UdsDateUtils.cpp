#include "UdsDateUtils.h"

#include "UdsClock.h"
#include "UdsStrUtils.h"

#include <cstdio>
#include <vector>

namespace {

bool AllDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Digits only, at most maxLength of them (so that the value cannot overflow).
bool ReadNumber(const std::string& text, size_t maxLength, int& value) {
    if (!AllDigits(text) || text.size() > maxLength)
        return false;
    value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return true;
}

int Digits(const std::string& text, size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

// Two-digit years: the hundred years starting 50 years before today, as the platform's century
// window does.
int ExpandYear(int twoDigits) {
    int windowStart = TdsClock::Today().Year() - 50;
    int year = twoDigits + windowStart / 100 * 100;
    if (year < windowStart)
        year += 100;
    return year;
}

std::vector<std::string> Split(const std::string& text, char delimiter) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(delimiter, start);
        parts.push_back(text.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos)
            return parts;
        start = pos + 1;
    }
}

std::string Pad(int value, int width) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
    return buffer;
}

} // namespace

bool TdsDateUtils::TryEncode(int year, int month, int day, TDateTime& value) {
    if (!TDateTime::IsValidDate(year, month, day))
        return false;
    value = TDateTime::Encode(year, month, day);
    return true;
}

bool TdsDateUtils::TryEncode(int year, int month, int day, int hour, int minute, int second, int millisecond,
                             TDateTime& value) {
    if (!TDateTime::IsValidDate(year, month, day) ||
        !TDateTime::IsValidTime(hour, minute, second, millisecond))
        return false;
    value = TDateTime::Encode(year, month, day, hour, minute, second, millisecond);
    return true;
}

TDateTime TdsDateUtils::MonthStart(const TDateTime& date) {
    return TDateTime::Encode(date.Year(), date.Month(), 1);
}

TDateTime TdsDateUtils::MonthStart() {
    return MonthStart(TdsClock::Today());
}

TDateTime TdsDateUtils::MonthEnd(const TDateTime& date) {
    int y = date.Year(), m = date.Month();
    return TDateTime::Encode(y, m, TDateTime::DaysInMonth(y, m), 23, 59, 59, 999);
}

TDateTime TdsDateUtils::MonthEnd() {
    return MonthEnd(TdsClock::Today());
}

bool TdsDateUtils::ParseDate(const std::string& text, TDateTime& date) {
    std::string s = TdsStrUtils::ReplaceAll(TdsStrUtils::Trim(text), "/", "-");
    int y = 0, m = 0, d = 0;
    if (s.find('-') != std::string::npos) {
        auto parts = Split(s, '-');
        if (parts.size() != 3 || !ReadNumber(parts[0], 4, y) || !ReadNumber(parts[1], 2, m) ||
            !ReadNumber(parts[2], 2, d))
            return false;
        if (parts[0].size() <= 2)
            y = ExpandYear(y);
    } else if (!AllDigits(s)) {
        return false;
    } else if (s.size() == 6 && s.compare(0, 2, "20") == 0) {
        y = Digits(s, 0, 4);
        m = Digits(s, 4, 2);
        d = 1;
    } else if (s.size() == 6) {
        y = ExpandYear(Digits(s, 0, 2));
        m = Digits(s, 2, 2);
        d = Digits(s, 4, 2);
    } else if (s.size() == 8) {
        y = Digits(s, 0, 4);
        m = Digits(s, 4, 2);
        d = Digits(s, 6, 2);
    } else {
        return false;
    }
    return TryEncode(y, m, d, date);
}

bool TdsDateUtils::ParseTime(const std::string& text, TDateTime& time) {
    std::string s = TdsStrUtils::Trim(text);
    int h = 0, n = 0, sec = 0, ms = 0;
    if (s.find(':') == std::string::npos) {
        if (!AllDigits(s) || (s.size() != 4 && s.size() != 6 && s.size() != 9))
            return false;
        h = Digits(s, 0, 2);
        n = Digits(s, 2, 2);
        if (s.size() >= 6)
            sec = Digits(s, 4, 2);
        if (s.size() == 9)
            ms = Digits(s, 6, 3);
    } else {
        if (TdsStrUtils::CountChar(':', s) == 1)
            s += ":00";
        auto parts = Split(s, ':');
        if (parts.size() != 3)
            return false;
        std::string seconds = parts[2], millis;
        auto dot = seconds.find('.');
        if (dot != std::string::npos) {
            millis = seconds.substr(dot + 1);
            seconds.resize(dot);
            if (!ReadNumber(millis, 3, ms))
                return false;
        }
        if (!ReadNumber(parts[0], 2, h) || !ReadNumber(parts[1], 2, n) || !ReadNumber(seconds, 2, sec))
            return false;
    }
    if (!TDateTime::IsValidTime(h, n, sec, ms))
        return false;
    time = TDateTime::FromMilliseconds(((static_cast<int64_t>(h) * 60 + n) * 60 + sec) * 1000 + ms);
    return true;
}

bool TdsDateUtils::ParseDateTime(const std::string& text, TDateTime& value) {
    std::string s = TdsStrUtils::Trim(text);
    auto blank = s.find(' ');
    TDateTime date, time;
    if (blank == std::string::npos) {
        if (!ParseDate(s, date))
            return false;
        value = date;
        return true;
    }
    if (!ParseDate(s.substr(0, blank), date) || !ParseTime(s.substr(blank + 1), time))
        return false;
    value = CombineDateTime(time, date);
    return true;
}

std::string TdsDateUtils::FormatDate(const TDateTime& date) {
    int y, m, d;
    date.DecodeDate(y, m, d);
    return Pad(y, 4) + "-" + Pad(m, 2) + "-" + Pad(d, 2);
}

std::string TdsDateUtils::FormatTime(const TDateTime& time, bool milliseconds) {
    int h, n, s, ms;
    time.DecodeTime(h, n, s, ms);
    std::string text = Pad(h, 2) + ":" + Pad(n, 2) + ":" + Pad(s, 2);
    if (milliseconds)
        text += "." + Pad(ms, 3);
    return text;
}

std::string TdsDateUtils::FormatDateTime(const TDateTime& value, bool milliseconds) {
    return FormatDate(value) + " " + FormatTime(value, milliseconds);
}

std::string TdsDateUtils::FormatCompactDate(const TDateTime& date) {
    int y, m, d;
    date.DecodeDate(y, m, d);
    return Pad(y, 4) + Pad(m, 2) + Pad(d, 2);
}

std::string TdsDateUtils::FormatCompactDateTime(const TDateTime& value) {
    int h, n, s, ms;
    value.DecodeTime(h, n, s, ms);
    return FormatCompactDate(value) + Pad(h, 2) + Pad(n, 2) + Pad(s, 2);
}

TDateTime TdsDateUtils::CombineDateTime(const TDateTime& timeSource, const TDateTime& dateSource) {
    return dateSource.DatePart().AddMilliseconds(timeSource.TimeOfDay());
}
