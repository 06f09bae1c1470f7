#include "UdsIOUtils.h"

#include "UdsExceptions.h"

#include <zlib.h>

namespace {

const char* kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::string TdsIOUtils::Base64Encode(const std::string& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    for (; i + 2 < data.size(); i += 3) {
        uint32_t n = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    size_t rest = data.size() - i;
    if (rest == 1) {
        uint32_t n = uint32_t(p[i]) << 16;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t n = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string TdsIOUtils::Base64Decode(const std::string& text) {
    // Line breaks come in pairs from the encoders we meet; drop CR LF and LF CR pairs only.
    std::string clean;
    clean.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if ((c == '\r' || c == '\n') && i + 1 < text.size()) {
            char d = text[i + 1];
            if ((c == '\r' && d == '\n') || (c == '\n' && d == '\r')) {
                ++i;
                continue;
            }
        }
        clean += c;
    }
    if (clean.size() % 4 != 0)
        throw EdsError("Base64 text has a length that is not a multiple of four");
    std::string out;
    out.reserve(clean.size() / 4 * 3);
    for (size_t i = 0; i < clean.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            unsigned char c = static_cast<unsigned char>(clean[i + k]);
            if (c == '=') {
                // Padding only in the last group, only at its end.
                if (i + 4 != clean.size() || k < 2)
                    throw EdsError("Base64 text has misplaced padding");
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                throw EdsError("Base64 text has misplaced padding");
            v[k] = Base64Value(c);
            if (v[k] < 0)
                throw EdsError("Base64 text holds an invalid character");
        }
        uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out += static_cast<char>((n >> 16) & 0xFF);
        if (pad < 2)
            out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1)
            out += static_cast<char>(n & 0xFF);
    }
    return out;
}

std::string TdsIOUtils::ZipText(const std::string& data) {
    uLongf bound = compressBound(static_cast<uLong>(data.size()));
    std::string out(bound, '\0');
    int rc =
        compress2(reinterpret_cast<Bytef*>(out.data()), &bound, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), Z_DEFAULT_COMPRESSION);
    if (rc != Z_OK)
        throw EdsError("zlib compression failed");
    out.resize(bound);
    return out;
}

std::string TdsIOUtils::UnzipText(const std::string& data) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        throw EdsError("zlib initialisation failed");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof(buffer);
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buffer, sizeof(buffer) - zs.avail_out);
        if (rc == Z_BUF_ERROR && zs.avail_in == 0)
            break; // input ended before the stream did
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END)
        throw EdsError("zlib data is damaged or incomplete");
    return out;
}
