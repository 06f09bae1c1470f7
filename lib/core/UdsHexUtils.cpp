#include "UdsHexUtils.h"

namespace {

const char* kHexDigits = "0123456789ABCDEF";

} // namespace

std::string TdsHexUtils::SpaceHex(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        if (i > 0)
            out += ' ';
        out.append(text, i, 2);
    }
    return out;
}

bool TdsHexUtils::IsHexText(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

std::string TdsHexUtils::XorCheck(const std::string& text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text)
        if (c != ' ')
            compact += c;
    if (!IsHexText(compact))
        return "";
    int check = 0;
    for (size_t i = 0; i < compact.size(); i += 2)
        check ^= TdsHexUtils::HexDigitValue(compact[i]) * 16 + TdsHexUtils::HexDigitValue(compact[i + 1]);
    return std::string{kHexDigits[check >> 4], kHexDigits[check & 15]};
}

std::string TdsHexUtils::BytesToHex(const std::string& bytes, bool spaced) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i > 0)
            out += ' ';
        auto b = static_cast<unsigned char>(bytes[i]);
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 15];
    }
    return out;
}

bool TdsHexUtils::HexToBytes(const std::string& text, std::string& bytes) {
    std::string out;
    out.reserve(text.size() / 2);
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size())
            return false;
        int high = TdsHexUtils::HexDigitValue(text[i]), low = TdsHexUtils::HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    bytes = std::move(out);
    return true;
}

int TdsHexUtils::HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string TdsHexUtils::RemoveBlanks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != ' ')
            out += c;
    return out;
}
