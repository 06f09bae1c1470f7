#include "MgCore.h"

#include <algorithm>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool HexTextToBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    bool whole = true;
    int low = -1;
    for (size_t i = text.size(); i-- > 0;) {
        int value = HexValue(text[i]);
        if (value < 0) {
            if (low >= 0)
                whole = false;
            low = -1;
            continue;
        }
        if (low < 0) {
            low = value;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(value << 4 | low));
        low = -1;
    }
    if (low >= 0)
        whole = false;
    std::reverse(bytes.begin(), bytes.end());
    return whole && bytes.size() <= 255;
}

std::string BytesToHexText(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}
