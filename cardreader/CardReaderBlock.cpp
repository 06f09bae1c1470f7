#include "CardReaderBlock.h"

namespace qel {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const char* const kDigits = "0123456789ABCDEF";

void AppendHex(std::string& out, unsigned char byte) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

} // namespace

bool ParseRequest(const std::string& hex, TRequestBlock& block) {
    if (hex.size() < 10 || hex.size() % 2 != 0)
        return false;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigit(hex[i]);
        int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    unsigned char lrc = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        lrc ^= static_cast<unsigned char>(bytes[i]);
    size_t len = static_cast<unsigned char>(bytes[2]);
    if (static_cast<unsigned char>(bytes[0]) != 0x12 || len == 0 || bytes.size() != len + 4 ||
        lrc != static_cast<unsigned char>(bytes.back()))
        return false;
    block.Nad = static_cast<unsigned char>(bytes[0]);
    block.Pcb = static_cast<unsigned char>(bytes[1]);
    block.Data = bytes.substr(3, len);
    return true;
}

std::string BuildAnswer(const TRequestBlock& request, const std::string& data) {
    std::string bytes;
    bytes += static_cast<char>(request.Nad);
    bytes += static_cast<char>(request.Pcb);
    bytes += static_cast<char>(data.size() & 0xFF);
    bytes += data;
    unsigned char lrc = 0;
    for (char c : bytes)
        lrc ^= static_cast<unsigned char>(c);
    bytes += static_cast<char>(lrc);
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes)
        AppendHex(hex, static_cast<unsigned char>(c));
    return hex;
}

std::string CodeBytes(int code) {
    // 5001 -> 0x50 0x01: the decimal digits read as hex pairs.
    int high = (code / 1000 % 10) * 16 + code / 100 % 10;
    int low = (code / 10 % 10) * 16 + code % 10;
    std::string bytes;
    bytes += static_cast<char>(high);
    bytes += static_cast<char>(low);
    return bytes;
}

} // namespace qel
