#pragma once
// The one place where text changes encoding. Inside the program every string is UTF-8; at the
// boundaries the description calls ANSI or GBK (server answers, table streams, logs, hashed texts)
// the bytes are code page 936.
#include <string>

class TdsEncoding {
public:
    // UTF-8 to CP936. A character CP936 cannot hold becomes "?", as the ANSI conversion of the
    // platform does; an invalid UTF-8 byte becomes "?" as well.
    static std::string Utf8ToAnsi(const std::string& utf8);
    // CP936 to UTF-8. A byte sequence that is not CP936 becomes U+FFFD; nothing is dropped silently.
    static std::string AnsiToUtf8(const std::string& ansi);

    // General conversion between two iconv encoding names (used for declared XML encodings).
    // Returns false when either name is unknown; undecodable input is replaced as above.
    static bool Convert(const std::string& text, const std::string& fromCode, const std::string& toCode,
                        std::string& result);

    // True when the text is well-formed UTF-8.
    static bool IsValidUtf8(const std::string& text);
};
