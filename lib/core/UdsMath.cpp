#include "UdsMath.h"

#include "UdsExceptions.h"

#include <charconv>
#include <cmath>

namespace {

constexpr int kSignificant = 15;

void CheckDecimals(int decimals) {
    if (decimals < 0)
        throw EdsError("小数点后的位数必须大于等于零！");
}

// The value rounded to the given decimals as fixed-point text: sign (only when non-zero), integer
// digits, and the decimals after a point. Works on the decimal digits of the value, never on its
// binary form, so that a half in the 15-digit form always rounds away from zero.
std::string RoundedText(double value, int decimals) {
    // to_chars/from_chars: independent of the locale a GUI front end may set.
    char buffer[64];
    auto written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                 std::chars_format::scientific, kSignificant - 1);
    *written.ptr = '\0';
    // buffer: d.dddddddddddddde±x
    std::string digits;
    const char* p = buffer;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9')
            digits += *p;
    int exponent = 0;
    if (*p == 'e') {
        ++p;
        bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            ++p;
        std::from_chars(p, written.ptr, exponent);
        if (negative)
            exponent = -exponent;
    }

    // The value is digits * 10^(exponent - 14); scale it to units of 10^-decimals.
    long long shift = static_cast<long long>(exponent) - (kSignificant - 1) + decimals;
    std::string units;
    if (shift >= 0) {
        units = digits + std::string(static_cast<size_t>(shift), '0');
    } else {
        long long cut = -shift;
        if (cut > kSignificant) {
            units = "0";
        } else {
            units = digits.substr(0, static_cast<size_t>(kSignificant - cut));
            bool up = digits[static_cast<size_t>(kSignificant - cut)] >= '5';
            if (units.empty())
                units = "0";
            if (up) {
                size_t i = units.size();
                while (i > 0 && units[i - 1] == '9')
                    units[--i] = '0';
                if (i == 0)
                    units.insert(units.begin(), '1');
                else
                    ++units[i - 1];
            }
        }
    }
    size_t first = units.find_first_not_of('0');
    bool zero = first == std::string::npos;
    units = zero ? "0" : units.substr(first);
    if (units.size() < static_cast<size_t>(decimals) + 1)
        units.insert(0, static_cast<size_t>(decimals) + 1 - units.size(), '0');
    if (decimals > 0)
        units.insert(units.size() - static_cast<size_t>(decimals), ".");
    return (std::signbit(value) && !zero ? "-" : "") + units;
}

} // namespace

double TdsMath::RoundTo(double value, int decimals) {
    CheckDecimals(decimals);
    if (!std::isfinite(value))
        return value;
    std::string text = RoundedText(value, decimals);
    double result = 0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

std::string TdsMath::FormatFixed(double value, int decimals) {
    CheckDecimals(decimals);
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value > 0 ? "INF" : "-INF";
    return RoundedText(value, decimals);
}
