#pragma once
// Regular expressions (PCRE2) and the server address check built on them.
#include <string>
#include <vector>

struct pcre2_real_code_8;

class TdsRegExp {
public:
    // Compiles the pattern; raises EdsError with PCRE2's message when it is not a valid expression.
    // caseless: letters match regardless of case. The text "$" matches only at the very end, so
    // a trailing line break never slips past an anchored expression.
    explicit TdsRegExp(const std::string& pattern, bool caseless = false);
    ~TdsRegExp();
    TdsRegExp(const TdsRegExp&) = delete;
    TdsRegExp& operator=(const TdsRegExp&) = delete;

    // True when the expression matches somewhere in the subject. groups (when given) receives the
    // whole match followed by every capture group; a group that took no part is empty.
    bool Match(const std::string& subject, std::vector<std::string>* groups = nullptr) const;

    // True when the whole text is a server address of the accepted form: optional scheme, an IPv4
    // address or a lower-case domain name, at most four port digits, an optional path.
    static bool IsValidURL(const std::string& text);

private:
    pcre2_real_code_8* code_ = nullptr;
};

inline bool IsValidURL(const std::string& text) {
    return TdsRegExp::IsValidURL(text);
}
