#pragma once
// String helpers. Texts are UTF-8; positions count from 1 and are byte positions (the texts these
// operations cut are ASCII: prefixes, hex digits, codes).
#include <initializer_list>
#include <string>
#include <vector>

class TdsStrUtils {
public:
    static bool IsAlphaNumeric(const std::string& text);
    static bool IsDigits(const std::string& text);
    static bool IsNumber(const std::string& text, bool minusAllowed);
    static void SplitText(const std::string& text, const std::string& delimiter, bool unique,
                          std::vector<std::string>& list);
    static int CountChar(char c, const std::string& text);
    // The text from position n (1-based) to its end; empty when n is past the end.
    static std::string CopyFrom(const std::string& text, int n);
    // 1-based position of the last occurrence of part, 0 when none.
    static int LastPos(const std::string& part, const std::string& text);
    // Remove every repetition of part at the start / end / both; part must not be empty.
    static std::string StripLeading(const std::string& text, const std::string& part);
    static std::string StripTrailing(const std::string& text, const std::string& part);
    static std::string StripBoth(const std::string& text, const std::string& part);
    // With braces: the registry form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}; else 32 upper-case hex digits.
    static std::string NewGuidText(bool braces);

    // General helpers used across the program.
    static std::string Trim(const std::string& text);
    static std::string TrimLeft(const std::string& text);
    static std::string TrimRight(const std::string& text);
    static std::string UpperCase(const std::string& text); // ASCII letters only
    static std::string LowerCase(const std::string& text);
    static bool SameText(const std::string& a, const std::string& b);
    static bool StartsText(const std::string& prefix, const std::string& text); // ignoring case
    static bool StartsStr(const std::string& prefix, const std::string& text);
    static bool EndsText(const std::string& suffix, const std::string& text);
    static bool ContainsText(const std::string& text, const std::string& part);
    static std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);
    // A text as an SQL literal: in single quotes, inner quotes doubled.
    static std::string QuotedStr(const std::string& text);
    // Fills %s and %d in order with the given values (values are inserted, never read as formats);
    // "%%" is a percent sign. Missing values leave the directive as it stands.
    static std::string Format(const std::string& format, std::initializer_list<std::string> values);
    static bool TryStrToInt(const std::string& text, long long& value);
    static long long StrToIntDef(const std::string& text, long long defaultValue);
    static bool TryStrToFloat(const std::string& text, double& value);
    static std::string IntToStr(long long value) { return std::to_string(value); }
};

// A string list (the platform's TStringList) with the file it was loaded from and a match search.
class TdsStrings {
public:
    std::vector<std::string> Items;
    std::string FileName;

    int Count() const { return static_cast<int>(Items.size()); }
    void Add(const std::string& s) { Items.push_back(s); }
    void Clear() { Items.clear(); }
    const std::string& operator[](int i) const { return Items[static_cast<size_t>(i)]; }
    std::string& operator[](int i) { return Items[static_cast<size_t>(i)]; }
    int IndexOf(const std::string& s) const; // ignoring case, as TStringList does
    // "name=value" items.
    std::string Values(const std::string& name) const;
    void SetValue(const std::string& name, const std::string& value);
    std::string Names(int index) const;
    // Lines joined with CR LF (each line followed by one).
    std::string Text() const;
    // Splits at CR LF, LF or CR.
    void SetText(const std::string& text);

    // Files are CP936 unless ansi is false (then UTF-8 is taken as it is).
    bool LoadFromFile(const std::string& file, bool ansi = true);
    bool SaveToFile(const std::string& file, bool ansi = true) const;

    // Modes: 0 equal ignoring case, 1 equal, 2 contains ignoring case, 3 contains, 4 begins with
    // ignoring case, 5 begins with, 6 ends with ignoring case, 7 ends with. The occurrence-th match
    // (1 = first) from start index on; -1 when none.
    int IndexOfMatch(const std::string& text, int mode, int occurrence = 1, int startIndex = 0) const;
};
