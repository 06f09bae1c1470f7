#pragma once
// The MD5 digest (RFC 1321) as 32 upper-case hex digits, first byte first.
#include <string>

class TdsSecurity {
public:
    // Digest of the text's ANSI (CP936) bytes, without terminator.
    static std::string MD5Hex(const std::string& text);
    // Digest of raw bytes, unconverted.
    static std::string MD5DataHex(const std::string& bytes);
    // Digest of a file's whole content, read in blocks (constant memory). A file that is missing or
    // cannot be read to its end gives the empty text, which never equals a digest.
    static std::string MD5FileHex(const std::string& file);
};
