#include "UdsJetSQL.h"

#include "UdsStrUtils.h"

namespace {

bool IsWordChar(unsigned char c) {
    // Bytes of multi-byte UTF-8 characters belong to words, so a name like "金额True" stays whole.
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c >= 0x80;
}

// Position just past a quoted section that starts at i with the opening character; a doubled
// closing character inside stands for itself. An unterminated section runs to the end.
size_t SkipQuoted(const std::string& sql, size_t i, char close) {
    size_t j = i + 1;
    while (j < sql.size()) {
        if (sql[j] == close) {
            if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
                j += 2;
                continue;
            }
            return j + 1;
        }
        ++j;
    }
    return sql.size();
}

// Position past a comment starting at i, or i when there is none.
size_t SkipComment(const std::string& sql, size_t i) {
    if (sql.compare(i, 2, "--") == 0) {
        size_t end = sql.find('\n', i);
        return end == std::string::npos ? sql.size() : end + 1;
    }
    if (sql.compare(i, 2, "/*") == 0) {
        size_t end = sql.find("*/", i + 2);
        return end == std::string::npos ? sql.size() : end + 2;
    }
    return i;
}

} // namespace

std::string TdsJetSQL::ToSQLite(const std::string& sql) {
    std::string out;
    out.reserve(sql.size() + 8);
    size_t i = 0;
    while (i < sql.size()) {
        char c = sql[i];
        size_t next = i;
        if (c == '\'' || c == '"' || c == '`')
            next = SkipQuoted(sql, i, c);
        else if (c == '[')
            next = SkipQuoted(sql, i, ']');
        else
            next = SkipComment(sql, i);
        if (next != i) {
            out.append(sql, i, next - i);
            i = next;
            continue;
        }
        if (!IsWordChar(static_cast<unsigned char>(c))) {
            out += c;
            ++i;
            continue;
        }
        size_t end = i;
        while (end < sql.size() && IsWordChar(static_cast<unsigned char>(sql[end])))
            ++end;
        std::string word = sql.substr(i, end - i);
        // The previous non-blank character tells a qualified name (H.True) from a constant.
        size_t back = out.find_last_not_of(" \t\r\n");
        bool qualified = back != std::string::npos && out[back] == '.';
        if (!qualified && TdsStrUtils::SameText(word, "True")) {
            // After a minus the bare "-1" would open a "--" comment.
            bool afterMinus = !out.empty() && out.back() == '-';
            out += afterMinus ? std::string("(") + kTrueLiteral + ")" : std::string(kTrueLiteral);
        } else if (!qualified && TdsStrUtils::SameText(word, "False"))
            out += kFalseLiteral;
        else
            out += word;
        i = end;
    }
    return out;
}

std::string TdsJetSQL::FirstKeyword(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size()) {
        unsigned char c = static_cast<unsigned char>(sql[i]);
        size_t next = SkipComment(sql, i);
        if (next != i) {
            i = next;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(') {
            ++i;
            continue;
        }
        break;
    }
    size_t end = i;
    while (end < sql.size() && IsWordChar(static_cast<unsigned char>(sql[end])))
        ++end;
    return TdsStrUtils::UpperCase(sql.substr(i, end - i));
}

bool TdsJetSQL::IsRowOperation(const std::string& sql) {
    std::string word = FirstKeyword(sql);
    return word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "REPLACE";
}

bool TdsJetSQL::IsBlank(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        size_t next = SkipComment(text, i);
        if (next != i) {
            i = next;
            continue;
        }
        char c = text[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != ';')
            return false;
        ++i;
    }
    return true;
}
