#pragma once
// A small JSON reader and writer (RFC 8259). Texts are UTF-8. Numbers keep their source text, so a
// 64-bit integer reads back exactly and a float with all its digits.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TdsJSONValue {
public:
    enum TKind { jkNull, jkBoolean, jkNumber, jkString, jkArray, jkObject };
    using TMember = std::pair<std::string, TdsJSONValue>;

    TdsJSONValue() = default;
    static TdsJSONValue MakeBoolean(bool v);
    // text must be a JSON number; EdsError otherwise.
    static TdsJSONValue MakeNumber(const std::string& text);
    static TdsJSONValue MakeString(std::string v);
    static TdsJSONValue MakeArray();
    static TdsJSONValue MakeObject();

    // Raises EdsError "invalid JSON: <what> at line L, column C". Nesting deeper than 512 is refused.
    static TdsJSONValue Parse(const std::string& text);
    // Compact text.
    std::string ToString() const;

    TKind Kind() const { return kind_; }
    bool IsNull() const { return kind_ == jkNull; }
    bool AsBoolean() const { return boolean_; }
    // The text of a string, or the source text of a number.
    const std::string& Text() const { return text_; }
    // A number without fraction or exponent that fits 64 bits.
    bool TryGetInteger(int64_t& value) const;
    bool TryGetUnsigned(uint64_t& value) const;
    double AsFloat() const;
    const std::vector<TdsJSONValue>& Items() const { return items_; }
    const std::vector<TMember>& Members() const { return members_; }
    // The first member of that name, or null when there is none (or this is no object).
    const TdsJSONValue* Find(const std::string& key) const;

    void Add(TdsJSONValue item) { items_.push_back(std::move(item)); }
    void Set(const std::string& key, TdsJSONValue value);

private:
    friend class TdsJSONParser;
    TKind kind_ = jkNull;
    bool boolean_ = false;
    std::string text_;
    std::vector<TdsJSONValue> items_;
    std::vector<TMember> members_;
};

class TdsJSON {
public:
    // A JSON string literal of a UTF-8 text (quotes included); control characters escaped, the rest
    // kept as it is.
    static std::string Quote(const std::string& text);
    static std::string Number(int64_t value);
    // Shortest text that reads back to the same double; EdsError for NaN and infinities.
    static std::string Number(double value);
};
