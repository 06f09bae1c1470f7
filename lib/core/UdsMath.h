#pragma once
// Rounding of amounts as the platform's number formats do it.
#include <string>

class TdsMath {
public:
    // Rounds as the format "#." followed by that many "0" does: the value's 15-significant-digit
    // decimal form, rounded half away from zero at the given decimal (RoundTo(2.675, 2) = 2.68,
    // RoundTo(-1.005, 2) = -1.01). Negative decimals raise EdsError. NaN and infinities pass through.
    static double RoundTo(double value, int decimals);
    // The rounded value written with exactly that many decimals ("0." followed by that many "0"; with 0
    // decimals no point). A value that rounds to zero is written without a minus sign; NaN and infinities
    // are written "NAN", "INF", "-INF".
    static std::string FormatFixed(double value, int decimals);
};
