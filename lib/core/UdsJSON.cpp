#include "UdsJSON.h"

#include "UdsExceptions.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

class TdsJSONParser {
public:
    explicit TdsJSONParser(const std::string& text) : s_(text) {}

    TdsJSONValue ParseDocument() {
        // A byte order mark is tolerated at the start.
        if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0)
            i_ = 3;
        SkipBlanks();
        TdsJSONValue value = ParseValue(0);
        SkipBlanks();
        if (i_ != s_.size())
            Fail("unexpected text after the value");
        return value;
    }

    // Checks that the whole text is one number.
    static bool IsNumber(const std::string& text) {
        TdsJSONParser p(text);
        try {
            p.ParseNumber();
        } catch (const EdsError&) {
            return false;
        }
        return p.i_ == text.size();
    }

private:
    static constexpr int kMaxDepth = 512;

    [[noreturn]] void Fail(const std::string& what) const {
        size_t line = 1, column = 1;
        for (size_t k = 0; k < i_ && k < s_.size(); ++k) {
            if (s_[k] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw EdsError("invalid JSON: " + what + " at line " + std::to_string(line) + ", column " +
                       std::to_string(column));
    }

    void SkipBlanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }

    bool Literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(i_, n, word) != 0)
            return false;
        i_ += n;
        return true;
    }

    TdsJSONValue ParseValue(int depth) {
        if (depth > kMaxDepth)
            Fail("nesting too deep");
        if (i_ >= s_.size())
            Fail("unexpected end of text");
        char c = s_[i_];
        TdsJSONValue v;
        if (c == '{') {
            v.kind_ = TdsJSONValue::jkObject;
            ++i_;
            SkipBlanks();
            if (i_ < s_.size() && s_[i_] == '}') {
                ++i_;
                return v;
            }
            for (;;) {
                SkipBlanks();
                if (i_ >= s_.size() || s_[i_] != '"')
                    Fail("expected a member name");
                std::string key = ParseString();
                SkipBlanks();
                if (i_ >= s_.size() || s_[i_] != ':')
                    Fail("expected \":\"");
                ++i_;
                SkipBlanks();
                v.members_.emplace_back(std::move(key), ParseValue(depth + 1));
                SkipBlanks();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                if (i_ < s_.size() && s_[i_] == '}') {
                    ++i_;
                    return v;
                }
                Fail("expected \",\" or \"}\"");
            }
        }
        if (c == '[') {
            v.kind_ = TdsJSONValue::jkArray;
            ++i_;
            SkipBlanks();
            if (i_ < s_.size() && s_[i_] == ']') {
                ++i_;
                return v;
            }
            for (;;) {
                SkipBlanks();
                v.items_.push_back(ParseValue(depth + 1));
                SkipBlanks();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                if (i_ < s_.size() && s_[i_] == ']') {
                    ++i_;
                    return v;
                }
                Fail("expected \",\" or \"]\"");
            }
        }
        if (c == '"') {
            v.kind_ = TdsJSONValue::jkString;
            v.text_ = ParseString();
            return v;
        }
        if (Literal("true")) {
            v.kind_ = TdsJSONValue::jkBoolean;
            v.boolean_ = true;
            return v;
        }
        if (Literal("false")) {
            v.kind_ = TdsJSONValue::jkBoolean;
            return v;
        }
        if (Literal("null"))
            return v;
        if (c == '-' || (c >= '0' && c <= '9')) {
            size_t start = i_;
            ParseNumber();
            v.kind_ = TdsJSONValue::jkNumber;
            v.text_ = s_.substr(start, i_ - start);
            return v;
        }
        Fail("unexpected character");
    }

    void ParseNumber() {
        auto digit = [&] { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; };
        if (i_ < s_.size() && s_[i_] == '-')
            ++i_;
        if (!digit())
            Fail("bad number");
        if (s_[i_] == '0') {
            ++i_;
        } else {
            while (digit())
                ++i_;
        }
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (!digit())
                Fail("bad number");
            while (digit())
                ++i_;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-'))
                ++i_;
            if (!digit())
                Fail("bad number");
            while (digit())
                ++i_;
        }
    }

    unsigned Hex4() {
        if (i_ + 4 > s_.size())
            Fail("bad \\u escape");
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = s_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                Fail("bad \\u escape");
        }
        return v;
    }

    static void PutUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // Length of a well-formed UTF-8 sequence at i_, 0 when it is not one.
    size_t Utf8Length() const {
        auto byte = [&](size_t k) { return static_cast<unsigned char>(s_[k]); };
        unsigned char c = byte(i_);
        size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (n == 0 || i_ + n > s_.size())
            return 0;
        for (size_t k = 1; k < n; ++k)
            if ((byte(i_ + k) & 0xC0) != 0x80)
                return 0;
        unsigned c1 = byte(i_ + 1);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 >= 0x90))
            return 0;
        return n;
    }

    std::string ParseString() {
        ++i_; // opening quote
        std::string out;
        for (;;) {
            if (i_ >= s_.size())
                Fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return out;
            }
            if (c < 0x20)
                Fail("control character in a string");
            if (c >= 0x80) {
                size_t n = Utf8Length();
                if (n == 0)
                    Fail("invalid UTF-8 in a string");
                out.append(s_, i_, n);
                i_ += n;
                continue;
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                ++i_;
                continue;
            }
            ++i_;
            if (i_ >= s_.size())
                Fail("unterminated string");
            char e = s_[i_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp = Hex4();
                if (cp >= 0xD800 && cp < 0xDC00) {
                    if (s_.compare(i_, 2, "\\u") != 0)
                        Fail("unpaired surrogate");
                    i_ += 2;
                    unsigned low = Hex4();
                    if (low < 0xDC00 || low >= 0xE000)
                        Fail("unpaired surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    Fail("unpaired surrogate");
                }
                PutUtf8(out, cp);
                break;
            }
            default:
                --i_;
                Fail("bad escape");
            }
        }
    }

    const std::string& s_;
    size_t i_ = 0;
};

TdsJSONValue TdsJSONValue::MakeBoolean(bool v) {
    TdsJSONValue value;
    value.kind_ = jkBoolean;
    value.boolean_ = v;
    return value;
}

TdsJSONValue TdsJSONValue::MakeNumber(const std::string& text) {
    if (!TdsJSONParser::IsNumber(text))
        throw EdsError("invalid JSON number \"" + text + "\"");
    TdsJSONValue value;
    value.kind_ = jkNumber;
    value.text_ = text;
    return value;
}

TdsJSONValue TdsJSONValue::MakeString(std::string v) {
    TdsJSONValue value;
    value.kind_ = jkString;
    value.text_ = std::move(v);
    return value;
}

TdsJSONValue TdsJSONValue::MakeArray() {
    TdsJSONValue value;
    value.kind_ = jkArray;
    return value;
}

TdsJSONValue TdsJSONValue::MakeObject() {
    TdsJSONValue value;
    value.kind_ = jkObject;
    return value;
}

TdsJSONValue TdsJSONValue::Parse(const std::string& text) {
    return TdsJSONParser(text).ParseDocument();
}

bool TdsJSONValue::TryGetInteger(int64_t& value) const {
    if (kind_ != jkNumber || text_.find_first_of(".eE") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text_.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0')
        return false;
    value = v;
    return true;
}

bool TdsJSONValue::TryGetUnsigned(uint64_t& value) const {
    if (kind_ != jkNumber || text_.empty() || text_[0] == '-' ||
        text_.find_first_of(".eE") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text_.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0')
        return false;
    value = v;
    return true;
}

double TdsJSONValue::AsFloat() const {
    if (kind_ != jkNumber)
        return 0.0;
    return std::strtod(text_.c_str(), nullptr);
}

const TdsJSONValue* TdsJSONValue::Find(const std::string& key) const {
    for (const auto& member : members_)
        if (member.first == key)
            return &member.second;
    return nullptr;
}

void TdsJSONValue::Set(const std::string& key, TdsJSONValue value) {
    for (auto& member : members_)
        if (member.first == key) {
            member.second = std::move(value);
            return;
        }
    members_.emplace_back(key, std::move(value));
}

std::string TdsJSONValue::ToString() const {
    switch (kind_) {
    case jkNull:
        return "null";
    case jkBoolean:
        return boolean_ ? "true" : "false";
    case jkNumber:
        return text_;
    case jkString:
        return TdsJSON::Quote(text_);
    case jkArray: {
        std::string out = "[";
        for (size_t k = 0; k < items_.size(); ++k) {
            if (k)
                out += ',';
            out += items_[k].ToString();
        }
        return out + "]";
    }
    case jkObject: {
        std::string out = "{";
        for (size_t k = 0; k < members_.size(); ++k) {
            if (k)
                out += ',';
            out += TdsJSON::Quote(members_[k].first) + ":" + members_[k].second.ToString();
        }
        return out + "}";
    }
    }
    return "null";
}

std::string TdsJSON::Quote(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string TdsJSON::Number(int64_t value) {
    return std::to_string(value);
}

std::string TdsJSON::Number(double value) {
    if (!std::isfinite(value))
        throw EdsError("JSON has no form for " +
                       std::string(std::isnan(value) ? "NaN" : "an infinite number"));
    char buf[64];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof(buf), "%.*g", precision, value);
        if (std::strtod(buf, nullptr) == value)
            break;
    }
    return buf;
}
