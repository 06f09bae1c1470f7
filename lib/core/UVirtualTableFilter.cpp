#include "UVirtualTableFilter.h"

#include "UVirtualTable.h"
#include "UdsExceptions.h"
#include "UdsStrUtils.h"

#include <cctype>
#include <cstdlib>

namespace {

enum class TCmp { Eq, Ne, Lt, Gt, Le, Ge };

struct TOperand {
    enum Kind { Field, Text, Number } kind = Text;
    int field = -1;
    std::string text; // literal text; for a number its source text
    double number = 0;
};

enum class TTok { End, LParen, RParen, Op, Text, Number, Name, And, Or, Not };

struct TToken {
    TTok kind = TTok::End;
    std::string text;
    TCmp op = TCmp::Eq;
    size_t pos = 0;
};

bool IsNameStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c >= 0x80;
}

bool IsNumeric(uint16_t dataType) {
    auto kind = TVirtualTableTypes::KindOf(dataType);
    return kind == TVirtualTableTypes::vkInteger || kind == TVirtualTableTypes::vkFloat ||
           kind == TVirtualTableTypes::vkBoolean;
}

template <typename T> int Order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

bool Holds(TCmp op, int order) {
    switch (op) {
    case TCmp::Eq:
        return order == 0;
    case TCmp::Ne:
        return order != 0;
    case TCmp::Lt:
        return order < 0;
    case TCmp::Gt:
        return order > 0;
    case TCmp::Le:
        return order <= 0;
    case TCmp::Ge:
        return order >= 0;
    }
    return false;
}

} // namespace

struct TVirtualTableFilter::Node {
    enum Kind { Compare, And, Or, Not } kind = Compare;
    TCmp op = TCmp::Eq;
    TOperand left, right;
    std::unique_ptr<Node> a, b;
};

namespace {

class TParser {
public:
    TParser(const std::string& text, const std::vector<TdsFieldDef>& defs) : text_(text), defs_(defs) {
        Advance();
    }

    std::unique_ptr<TVirtualTableFilter::Node> ParseAll() {
        auto node = ParseOr();
        if (tok_.kind != TTok::End)
            Fail("unexpected \"" + tok_.text + "\"", tok_.pos);
        return node;
    }

private:
    using NodePtr = std::unique_ptr<TVirtualTableFilter::Node>;

    [[noreturn]] void Fail(const std::string& what, size_t pos) const {
        throw EdsError("invalid filter \"" + text_ + "\": " + what + " at position " +
                       std::to_string(pos + 1));
    }

    void Advance() {
        size_t i = pos_;
        while (i < text_.size() && std::isspace(static_cast<unsigned char>(text_[i])))
            ++i;
        tok_ = TToken{};
        tok_.pos = i;
        if (i >= text_.size()) {
            pos_ = i;
            tok_.text = "end of text";
            return;
        }
        unsigned char c = static_cast<unsigned char>(text_[i]);
        auto single = [&](TTok kind, size_t len) {
            tok_.kind = kind;
            tok_.text = text_.substr(i, len);
            pos_ = i + len;
        };
        if (c == '(')
            return single(TTok::LParen, 1);
        if (c == ')')
            return single(TTok::RParen, 1);
        if (c == '=') {
            tok_.op = TCmp::Eq;
            return single(TTok::Op, 1);
        }
        if (c == '<' || c == '>' || c == '!') {
            char next = i + 1 < text_.size() ? text_[i + 1] : '\0';
            if (c == '<' && next == '>') {
                tok_.op = TCmp::Ne;
                return single(TTok::Op, 2);
            }
            if (c == '!' && next == '=') {
                tok_.op = TCmp::Ne;
                return single(TTok::Op, 2);
            }
            if (c != '!' && next == '=') {
                tok_.op = c == '<' ? TCmp::Le : TCmp::Ge;
                return single(TTok::Op, 2);
            }
            if (c != '!') {
                tok_.op = c == '<' ? TCmp::Lt : TCmp::Gt;
                return single(TTok::Op, 1);
            }
            Fail("unexpected \"!\"", i);
        }
        if (c == '\'') {
            std::string value;
            size_t j = i + 1;
            for (;;) {
                if (j >= text_.size())
                    Fail("unterminated quoted text", i);
                if (text_[j] == '\'') {
                    if (j + 1 < text_.size() && text_[j + 1] == '\'') {
                        value += '\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                value += text_[j++];
            }
            tok_.kind = TTok::Text;
            tok_.text = value;
            pos_ = j + 1;
            return;
        }
        if (c == '[') {
            size_t close = text_.find(']', i + 1);
            if (close == std::string::npos || close == i + 1)
                Fail("unterminated field name", i);
            tok_.kind = TTok::Name;
            tok_.text = text_.substr(i + 1, close - i - 1);
            pos_ = close + 1;
            return;
        }
        bool sign = (c == '-' || c == '+') && i + 1 < text_.size() &&
                    (std::isdigit(static_cast<unsigned char>(text_[i + 1])) || text_[i + 1] == '.');
        if (std::isdigit(c) || sign ||
            (c == '.' && i + 1 < text_.size() && std::isdigit(static_cast<unsigned char>(text_[i + 1])))) {
            size_t j = i;
            if (sign)
                ++j;
            while (j < text_.size() &&
                   (std::isdigit(static_cast<unsigned char>(text_[j])) || text_[j] == '.' ||
                    text_[j] == 'e' || text_[j] == 'E' ||
                    ((text_[j] == '-' || text_[j] == '+') && (text_[j - 1] == 'e' || text_[j - 1] == 'E'))))
                ++j;
            std::string number = text_.substr(i, j - i);
            double value = 0;
            if (!TdsStrUtils::TryStrToFloat(number, value))
                Fail("bad number \"" + number + "\"", i);
            tok_.kind = TTok::Number;
            tok_.text = number;
            pos_ = j;
            return;
        }
        if (IsNameStart(c)) {
            size_t j = i;
            while (j < text_.size() && IsNameChar(static_cast<unsigned char>(text_[j])))
                ++j;
            tok_.text = text_.substr(i, j - i);
            pos_ = j;
            if (TdsStrUtils::SameText(tok_.text, "AND"))
                tok_.kind = TTok::And;
            else if (TdsStrUtils::SameText(tok_.text, "OR"))
                tok_.kind = TTok::Or;
            else if (TdsStrUtils::SameText(tok_.text, "NOT"))
                tok_.kind = TTok::Not;
            else
                tok_.kind = TTok::Name;
            return;
        }
        Fail(std::string("unexpected character \"") + static_cast<char>(c) + "\"", i);
    }

    NodePtr Join(TVirtualTableFilter::Node::Kind kind, NodePtr a, NodePtr b) {
        auto node = std::make_unique<TVirtualTableFilter::Node>();
        node->kind = kind;
        node->a = std::move(a);
        node->b = std::move(b);
        return node;
    }

    NodePtr ParseOr() {
        auto node = ParseAnd();
        while (tok_.kind == TTok::Or) {
            Advance();
            node = Join(TVirtualTableFilter::Node::Or, std::move(node), ParseAnd());
        }
        return node;
    }

    NodePtr ParseAnd() {
        auto node = ParseNot();
        while (tok_.kind == TTok::And) {
            Advance();
            node = Join(TVirtualTableFilter::Node::And, std::move(node), ParseNot());
        }
        return node;
    }

    NodePtr ParseNot() {
        if (tok_.kind == TTok::Not) {
            Advance();
            return Join(TVirtualTableFilter::Node::Not, ParseNot(), nullptr);
        }
        if (tok_.kind == TTok::LParen) {
            Advance();
            auto node = ParseOr();
            if (tok_.kind != TTok::RParen)
                Fail("expected \")\" but found \"" + tok_.text + "\"", tok_.pos);
            Advance();
            return node;
        }
        auto node = std::make_unique<TVirtualTableFilter::Node>();
        node->left = ParseOperand();
        if (tok_.kind != TTok::Op)
            Fail("expected a comparison operator but found \"" + tok_.text + "\"", tok_.pos);
        node->op = tok_.op;
        Advance();
        node->right = ParseOperand();
        return node;
    }

    TOperand ParseOperand() {
        TOperand operand;
        switch (tok_.kind) {
        case TTok::Text:
            operand.kind = TOperand::Text;
            operand.text = tok_.text;
            break;
        case TTok::Number:
            operand.kind = TOperand::Number;
            operand.text = tok_.text;
            TdsStrUtils::TryStrToFloat(tok_.text, operand.number);
            break;
        case TTok::Name: {
            operand.kind = TOperand::Field;
            operand.text = tok_.text;
            for (size_t i = 0; i < defs_.size(); ++i)
                if (TdsStrUtils::SameText(defs_[i].Name, tok_.text)) {
                    operand.field = static_cast<int>(i);
                    break;
                }
            if (operand.field < 0)
                Fail("unknown field \"" + tok_.text + "\"", tok_.pos);
            break;
        }
        default:
            Fail("expected a field, a quoted text or a number but found \"" + tok_.text + "\"", tok_.pos);
        }
        Advance();
        return operand;
    }

    const std::string& text_;
    const std::vector<TdsFieldDef>& defs_;
    size_t pos_ = 0;
    TToken tok_;
};

// One side of a comparison as the record gives it.
struct TSide {
    bool numeric = false; // a number is known for this side
    double number = 0;
    std::string text;
};

TSide Resolve(const TOperand& operand, const std::vector<TdsFieldDef>& defs, const std::vector<TdsValue>& row,
              bool wantNumber) {
    TSide side;
    switch (operand.kind) {
    case TOperand::Number:
        side.numeric = true;
        side.number = operand.number;
        side.text = operand.text;
        break;
    case TOperand::Text:
        side.text = operand.text;
        if (wantNumber)
            side.numeric = TdsStrUtils::TryStrToFloat(operand.text, side.number);
        break;
    case TOperand::Field: {
        const TdsValue& value = row[static_cast<size_t>(operand.field)];
        if (IsNumeric(defs[static_cast<size_t>(operand.field)].DataType)) {
            side.numeric = true;
            side.number = value.AsFloat();
            side.text = value.AsString();
        } else {
            // Null reads as empty text: a table saved to a file and read back filters the same.
            side.text = value.AsString();
            if (wantNumber)
                side.numeric = TdsStrUtils::TryStrToFloat(side.text, side.number);
        }
        break;
    }
    }
    return side;
}

bool WantsNumber(const TOperand& operand, const std::vector<TdsFieldDef>& defs) {
    return operand.kind == TOperand::Number ||
           (operand.kind == TOperand::Field && IsNumeric(defs[static_cast<size_t>(operand.field)].DataType));
}

bool Evaluate(const TVirtualTableFilter::Node& node, const std::vector<TdsFieldDef>& defs,
              const std::vector<TdsValue>& row) {
    switch (node.kind) {
    case TVirtualTableFilter::Node::And:
        return Evaluate(*node.a, defs, row) && Evaluate(*node.b, defs, row);
    case TVirtualTableFilter::Node::Or:
        return Evaluate(*node.a, defs, row) || Evaluate(*node.b, defs, row);
    case TVirtualTableFilter::Node::Not:
        return !Evaluate(*node.a, defs, row);
    case TVirtualTableFilter::Node::Compare:
        break;
    }
    // A number on either side (a literal or a numeric column) makes the comparison numeric when both
    // sides have a number; otherwise the texts are compared byte by byte.
    bool wantNumber = WantsNumber(node.left, defs) || WantsNumber(node.right, defs);
    TSide l = Resolve(node.left, defs, row, wantNumber);
    TSide r = Resolve(node.right, defs, row, wantNumber);
    int order = wantNumber && l.numeric && r.numeric ? Order(l.number, r.number) : Order(l.text, r.text);
    return Holds(node.op, order);
}

} // namespace

TVirtualTableFilter::~TVirtualTableFilter() = default;

std::unique_ptr<TVirtualTableFilter> TVirtualTableFilter::Parse(const std::string& text,
                                                                const std::vector<TdsFieldDef>& defs) {
    std::unique_ptr<TVirtualTableFilter> filter(new TVirtualTableFilter());
    filter->defs_ = defs;
    TParser parser(text, filter->defs_);
    filter->root_ = parser.ParseAll();
    return filter;
}

bool TVirtualTableFilter::Matches(const std::vector<TdsValue>& row) const {
    return Evaluate(*root_, defs_, row);
}

int CompareColumnValues(uint16_t dataType, const TdsValue& a, const TdsValue& b) {
    if (a.IsNull() || b.IsNull())
        return Order(!a.IsNull(), !b.IsNull());
    switch (TVirtualTableTypes::KindOf(dataType)) {
    case TVirtualTableTypes::vkInteger:
    case TVirtualTableTypes::vkBoolean:
        if (!a.IsFloat() && !b.IsFloat())
            return Order(a.AsInteger(), b.AsInteger());
        return Order(a.AsFloat(), b.AsFloat());
    case TVirtualTableTypes::vkFloat:
        return Order(a.AsFloat(), b.AsFloat());
    default:
        return Order(a.AsBytes(), b.AsBytes());
    }
}
