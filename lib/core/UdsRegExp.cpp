#include "UdsRegExp.h"

#include "UdsExceptions.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace {

// The address expression, character for character.
const char* const kUrlPattern =
    R"re(^((https|http|ftp)?://)?(([0-9a-z_!~*'().&=+$%-]+: )?[0-9a-z_!~*'().&=+$%-]+@)?(([0-9]{1,3}\.){3}[0-9]{1,3}|([0-9a-z_!~*'()-]+\.)*([0-9a-z][0-9a-z-]{0,61})?[0-9a-z]\.[a-z]{2,6})?(:[0-9]{1,4})?((/?)|(/[0-9a-z_!~*'().;?:@&=+$,%#-]+)+/?)$)re";

} // namespace

TdsRegExp::TdsRegExp(const std::string& pattern, bool caseless) {
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    uint32_t options = PCRE2_DOLLAR_ENDONLY | (caseless ? PCRE2_CASELESS : 0);
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &errorCode,
                          &errorOffset, nullptr);
    if (!code_) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(errorCode, message, sizeof message);
        throw EdsError("Invalid regular expression at offset " + std::to_string(errorOffset) + ": " +
                       reinterpret_cast<const char*>(message));
    }
}

TdsRegExp::~TdsRegExp() {
    pcre2_code_free(code_);
}

bool TdsRegExp::Match(const std::string& subject, std::vector<std::string>* groups) const {
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (!data)
        throw EdsError("Out of memory for a regular expression match.");
    int rc =
        pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, data, nullptr);
    if (rc < 0) {
        // No match, or a match limit hit: either way the text does not pass.
        pcre2_match_data_free(data);
        return false;
    }
    if (groups) {
        groups->clear();
        uint32_t count = pcre2_get_ovector_count(data);
        PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        uint32_t captures = 0;
        pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &captures);
        for (uint32_t i = 0; i <= captures; ++i) {
            if (i < count && i < static_cast<uint32_t>(rc) && ovector[2 * i] != PCRE2_UNSET)
                groups->push_back(subject.substr(ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i]));
            else
                groups->push_back("");
        }
    }
    pcre2_match_data_free(data);
    return true;
}

bool TdsRegExp::IsValidURL(const std::string& text) {
    static const TdsRegExp expression(kUrlPattern);
    return expression.Match(text);
}
