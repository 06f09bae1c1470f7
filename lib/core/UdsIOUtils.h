#pragma once
// File, folder, Base64, zlib and zip helpers. Folder results end in the path separator.
#include <string>
#include <vector>

class TdsIOUtils {
public:
    // Standard Base64 (RFC 4648) without line breaks.
    static std::string Base64Encode(const std::string& data);
    // Removes every CR LF and LF CR pair first; raises EdsError on any other character outside the
    // alphabet, on misplaced padding or on a length that is not a multiple of four.
    static std::string Base64Decode(const std::string& text);
    // zlib stream (RFC 1950) of the bytes, and back; UnzipText raises EdsError on damaged data.
    static std::string ZipText(const std::string& data);
    static std::string UnzipText(const std::string& data);
    // Base64 of the zlib stream (the encoded log entries).
    static std::string ZipBase64(const std::string& data) { return Base64Encode(ZipText(data)); }
};
