#pragma once
// Hex text as the card and disk protocols write it: pairs of upper-case digits.
#include <string>

class TdsHexUtils {
public:
    // Consecutive pairs of characters joined with single blanks ("129000" gives "12 90 00"); an odd
    // last character stands alone. For readable log lines and messages.
    static std::string SpaceHex(const std::string& text);
    // Non-empty, even length, only 0-9 and A-F (lower case, blanks and all else give false).
    static bool IsHexText(const std::string& text);
    // Blanks removed, the XOR of all bytes as two upper-case digits ("1200" gives "12"); empty text when
    // the rest is not IsHexText.
    static std::string XorCheck(const std::string& text);

    // Upper-case pairs, separated by single blanks when spaced.
    static std::string BytesToHex(const std::string& bytes, bool spaced = false);
    // Pairs of hex digits (either case), blanks allowed between pairs but not inside one. False (bytes
    // untouched) on an odd number of digits or any other character; empty text gives no bytes.
    static bool HexToBytes(const std::string& text, std::string& bytes);
    // The value of one hex digit (either case), -1 for any other character.
    static int HexDigitValue(char c);
    // The text without its blanks (hex text is written with and without them).
    static std::string RemoveBlanks(const std::string& text);
};
