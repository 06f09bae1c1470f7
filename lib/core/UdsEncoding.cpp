#include "UdsEncoding.h"

#include <cerrno>
#include <iconv.h>

namespace {

constexpr const char* kAnsiCode = "CP936";

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
size_t Utf8SequenceLength(unsigned char c) {
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0)
        return 2;
    if ((c & 0xF0) == 0xE0)
        return 3;
    if ((c & 0xF8) == 0xF0)
        return 4;
    return 1;
}

class TIconv {
public:
    TIconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~TIconv() {
        if (ok())
            iconv_close(cd_);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input; on an invalid or unconvertible sequence writes the replacement
    // and skips what skip() says.
    template <typename Skip>
    std::string run(const std::string& input, const std::string& replacement, Skip skip) {
        std::string out;
        out.reserve(input.size() + input.size() / 2 + 16);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof(buffer);
            size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, static_cast<size_t>(outPtr - buffer));
            if (rc != static_cast<size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL (truncated sequence at the end): replace and step over it.
            out += replacement;
            size_t step = skip(static_cast<unsigned char>(*in), inLeft);
            in += step;
            inLeft -= step;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        char* outPtr = buffer;
        size_t outLeft = sizeof(buffer);
        iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        return out;
    }

private:
    iconv_t cd_;
};

} // namespace

std::string TdsEncoding::Utf8ToAnsi(const std::string& utf8) {
    bool ascii = true;
    for (unsigned char c : utf8)
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return utf8;
    TIconv conv(kAnsiCode, "UTF-8");
    if (!conv.ok())
        return utf8;
    return conv.run(utf8, "?", [](unsigned char c, size_t left) {
        size_t n = Utf8SequenceLength(c);
        return n <= left ? n : left;
    });
}

std::string TdsEncoding::AnsiToUtf8(const std::string& ansi) {
    bool ascii = true;
    for (unsigned char c : ansi)
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return ansi;
    TIconv conv("UTF-8", kAnsiCode);
    if (!conv.ok())
        return ansi;
    return conv.run(ansi, "\xEF\xBF\xBD", [](unsigned char, size_t) { return size_t{1}; });
}

bool TdsEncoding::Convert(const std::string& text, const std::string& fromCode, const std::string& toCode,
                          std::string& result) {
    TIconv conv(toCode.c_str(), fromCode.c_str());
    if (!conv.ok())
        return false;
    result = conv.run(text, "?", [](unsigned char, size_t) { return size_t{1}; });
    return true;
}

bool TdsEncoding::IsValidUtf8(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = Utf8SequenceLength(c);
        if (len == 1) {
            if (c >= 0x80)
                return false;
            ++i;
            continue;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}
