#include "UdsStrUtils.h"

#include "UdsEncoding.h"
#include "UdsIOUtils.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char ToLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool TdsStrUtils::IsAlphaNumeric(const std::string& text) {
    for (unsigned char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

bool TdsStrUtils::IsDigits(const std::string& text) {
    for (unsigned char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool TdsStrUtils::TryStrToFloat(const std::string& text, double& value) {
    // Blanks around the number are allowed; the number itself is sign, digits, point, exponent.
    std::string t = Trim(text);
    if (t.empty())
        return false;
    size_t i = 0;
    if (t[i] == '+' || t[i] == '-')
        ++i;
    size_t digits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
        ++i;
        ++digits;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        size_t expDigits = 0;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0)
            return false;
    }
    if (i != t.size())
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (errno == ERANGE && (v == HUGE_VAL || v == -HUGE_VAL))
        return false;
    value = v;
    return true;
}

bool TdsStrUtils::IsNumber(const std::string& text, bool minusAllowed) {
    double v;
    if (!TryStrToFloat(text, v))
        return false;
    return minusAllowed || text.find('-') == std::string::npos;
}

void TdsStrUtils::SplitText(const std::string& text, const std::string& delimiter, bool unique,
                            std::vector<std::string>& list) {
    list.clear();
    if (text.empty())
        return;
    if (delimiter.empty() || text.find(delimiter) == std::string::npos) {
        list.push_back(text);
        return;
    }
    size_t start = 0;
    while (true) {
        size_t pos = text.find(delimiter, start);
        std::string piece = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        bool repeat = false;
        if (unique)
            for (const auto& item : list)
                if (SameText(item, piece)) {
                    repeat = true;
                    break;
                }
        if (!repeat)
            list.push_back(piece);
        if (pos == std::string::npos)
            break;
        start = pos + delimiter.size();
    }
}

int TdsStrUtils::CountChar(char c, const std::string& text) {
    int n = 0;
    for (char x : text)
        if (x == c)
            ++n;
    return n;
}

std::string TdsStrUtils::CopyFrom(const std::string& text, int n) {
    if (n < 1)
        n = 1;
    size_t start = static_cast<size_t>(n - 1);
    if (start >= text.size())
        return "";
    return text.substr(start);
}

int TdsStrUtils::LastPos(const std::string& part, const std::string& text) {
    if (part.empty() || part.size() > text.size())
        return 0;
    size_t pos = text.rfind(part);
    return pos == std::string::npos ? 0 : static_cast<int>(pos) + 1;
}

std::string TdsStrUtils::StripLeading(const std::string& text, const std::string& part) {
    if (part.empty())
        return text;
    size_t start = 0;
    while (start + part.size() <= text.size() && text.compare(start, part.size(), part) == 0)
        start += part.size();
    return text.substr(start);
}

std::string TdsStrUtils::StripTrailing(const std::string& text, const std::string& part) {
    if (part.empty())
        return text;
    size_t end = text.size();
    while (end >= part.size() && text.compare(end - part.size(), part.size(), part) == 0)
        end -= part.size();
    return text.substr(0, end);
}

std::string TdsStrUtils::StripBoth(const std::string& text, const std::string& part) {
    return StripTrailing(StripLeading(text, part), part);
}

std::string TdsStrUtils::NewGuidText(bool braces) {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    unsigned char bytes[16];
    for (int i = 0; i < 16; i += 8) {
        uint64_t r = engine();
        for (int k = 0; k < 8; ++k)
            bytes[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // variant 1
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    if (braces)
        out += '{';
    for (int i = 0; i < 16; ++i) {
        if (braces && (i == 4 || i == 6 || i == 8 || i == 10))
            out += '-';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0x0F];
    }
    if (braces)
        out += '}';
    return out;
}

std::string TdsStrUtils::Trim(const std::string& text) {
    return TrimRight(TrimLeft(text));
}

std::string TdsStrUtils::TrimLeft(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (IsBlank(text[i]) || static_cast<unsigned char>(text[i]) < 32))
        ++i;
    return text.substr(i);
}

std::string TdsStrUtils::TrimRight(const std::string& text) {
    size_t n = text.size();
    while (n > 0 && (IsBlank(text[n - 1]) || static_cast<unsigned char>(text[n - 1]) < 32))
        --n;
    return text.substr(0, n);
}

std::string TdsStrUtils::UpperCase(const std::string& text) {
    std::string out = text;
    for (auto& c : out)
        c = ToUpperAscii(c);
    return out;
}

std::string TdsStrUtils::LowerCase(const std::string& text) {
    std::string out = text;
    for (auto& c : out)
        c = ToLowerAscii(c);
    return out;
}

bool TdsStrUtils::SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ToUpperAscii(a[i]) != ToUpperAscii(b[i]))
            return false;
    return true;
}

bool TdsStrUtils::StartsText(const std::string& prefix, const std::string& text) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

bool TdsStrUtils::StartsStr(const std::string& prefix, const std::string& text) {
    return text.compare(0, prefix.size(), prefix) == 0 && text.size() >= prefix.size();
}

bool TdsStrUtils::EndsText(const std::string& suffix, const std::string& text) {
    return text.size() >= suffix.size() && SameText(text.substr(text.size() - suffix.size()), suffix);
}

bool TdsStrUtils::ContainsText(const std::string& text, const std::string& part) {
    return UpperCase(text).find(UpperCase(part)) != std::string::npos;
}

std::string TdsStrUtils::ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return text;
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    while (true) {
        size_t pos = text.find(from, start);
        if (pos == std::string::npos) {
            out.append(text, start, std::string::npos);
            break;
        }
        out.append(text, start, pos - start);
        out += to;
        start = pos + from.size();
    }
    return out;
}

std::string TdsStrUtils::QuotedStr(const std::string& text) {
    return "'" + ReplaceAll(text, "'", "''") + "'";
}

std::string TdsStrUtils::Format(const std::string& format, std::initializer_list<std::string> values) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = values.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            char d = format[i + 1];
            if (d == '%') {
                out += '%';
                ++i;
                continue;
            }
            if ((d == 's' || d == 'd') && next != values.end()) {
                out += *next++;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

bool TdsStrUtils::TryStrToInt(const std::string& text, long long& value) {
    std::string t = Trim(text);
    if (t.empty())
        return false;
    size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    if (i == t.size() || !IsDigits(t.substr(i)))
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno == ERANGE)
        return false;
    value = v;
    return true;
}

long long TdsStrUtils::StrToIntDef(const std::string& text, long long defaultValue) {
    long long v;
    return TryStrToInt(text, v) ? v : defaultValue;
}

int TdsStrings::IndexOf(const std::string& s) const {
    for (size_t i = 0; i < Items.size(); ++i)
        if (TdsStrUtils::SameText(Items[i], s))
            return static_cast<int>(i);
    return -1;
}

std::string TdsStrings::Values(const std::string& name) const {
    for (const auto& item : Items) {
        size_t eq = item.find('=');
        if (eq != std::string::npos && TdsStrUtils::SameText(item.substr(0, eq), name))
            return item.substr(eq + 1);
    }
    return "";
}

void TdsStrings::SetValue(const std::string& name, const std::string& value) {
    for (auto& item : Items) {
        size_t eq = item.find('=');
        if (eq != std::string::npos && TdsStrUtils::SameText(item.substr(0, eq), name)) {
            item = name + "=" + value;
            return;
        }
    }
    Items.push_back(name + "=" + value);
}

std::string TdsStrings::Names(int index) const {
    const std::string& item = Items.at(static_cast<size_t>(index));
    size_t eq = item.find('=');
    return eq == std::string::npos ? "" : item.substr(0, eq);
}

std::string TdsStrings::Text() const {
    std::string out;
    for (const auto& item : Items) {
        out += item;
        out += "\r\n";
    }
    return out;
}

void TdsStrings::SetText(const std::string& text) {
    Items.clear();
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            Items.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        Items.push_back(line);
}

bool TdsStrings::LoadFromFile(const std::string& file, bool ansi) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string bytes = ss.str();
    if (!ansi && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    SetText(ansi ? TdsEncoding::AnsiToUtf8(bytes) : bytes);
    FileName = file;
    return true;
}

bool TdsStrings::SaveToFile(const std::string& file, bool ansi) const {
    return TdsIOUtils::WriteTextFile(ansi ? TdsEncoding::Utf8ToAnsi(Text()) : Text(), file);
}

int TdsStrings::IndexOfMatch(const std::string& text, int mode, int occurrence, int startIndex) const {
    if (occurrence < 1)
        occurrence = 1;
    if (startIndex < 0)
        startIndex = 0;
    int found = 0;
    for (size_t i = static_cast<size_t>(startIndex); i < Items.size(); ++i) {
        const std::string& item = Items[i];
        bool match = false;
        switch (mode) {
        case 0:
            match = TdsStrUtils::SameText(item, text);
            break;
        case 1:
            match = item == text;
            break;
        case 2:
            match = TdsStrUtils::ContainsText(item, text);
            break;
        case 3:
            match = item.find(text) != std::string::npos;
            break;
        case 4:
            match = TdsStrUtils::StartsText(text, item);
            break;
        case 5:
            match = TdsStrUtils::StartsStr(text, item);
            break;
        case 6:
            match = TdsStrUtils::EndsText(text, item);
            break;
        case 7:
            match =
                item.size() >= text.size() && item.compare(item.size() - text.size(), text.size(), text) == 0;
            break;
        default:
            match = false;
        }
        if (match && ++found == occurrence)
            return static_cast<int>(i);
    }
    return -1;
}
