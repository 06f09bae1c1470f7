#pragma once
// The one place where the Jet SQL the program sends is made acceptable to SQLite.
#include <string>

class TdsJetSQL {
public:
    // Jet's boolean constants: True is -1, False is 0. Yes/no columns therefore hold -1 and 0, and
    // ordering by such a column puts the true rows first, as Jet does.
    static constexpr const char* kTrueLiteral = "-1";
    static constexpr const char* kFalseLiteral = "0";

    // The statement with every True/False word (any case) outside quoted text, [bracketed] or
    // quoted names and comments replaced by the literals above. A word after a "." is a qualified
    // name and stays.
    static std::string ToSQLite(const std::string& sql);

    // The first keyword of a statement, upper-cased (leading blanks, comments and "(" skipped).
    static std::string FirstKeyword(const std::string& sql);
    // True when the text holds nothing but blanks, ";" and comments (what may follow a statement).
    static bool IsBlank(const std::string& text);
    // True for statements whose changed rows are counted: INSERT, UPDATE, DELETE, REPLACE.
    static bool IsRowOperation(const std::string& sql);
};
