#include "MgXml.h"

#include "UVirtualTableEntities.h"

#include <cstring>

namespace {

class TXmlReader {
public:
    explicit TXmlReader(const std::string& text) : s_(text) {}

    std::unique_ptr<TXmlElement> Document() {
        if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0)
            pos_ = 3;
        std::unique_ptr<TXmlElement> root;
        while (true) {
            SkipSpace();
            if (pos_ >= s_.size())
                break;
            if (s_[pos_] != '<')
                return nullptr; // text outside the root element
            if (SkipMarkup())
                continue;
            if (root != nullptr || failed_)
                return nullptr; // a second root
            root = Element(0);
            if (root == nullptr)
                return nullptr;
        }
        return failed_ ? nullptr : std::move(root);
    }

private:
    const std::string& s_;
    size_t pos_ = 0;
    bool failed_ = false;

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool IsNameChar(char c) {
        return !IsSpace(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '\'' && c != '"' &&
               c != '\0';
    }

    void SkipSpace() {
        while (pos_ < s_.size() && IsSpace(s_[pos_]))
            ++pos_;
    }

    bool SkipPast(const char* end) {
        size_t found = s_.find(end, pos_);
        if (found == std::string::npos) {
            failed_ = true;
            pos_ = s_.size();
            return true;
        }
        pos_ = found + std::strlen(end);
        return true;
    }

    // Comments, processing instructions, CDATA and the document type; true when one was passed over.
    bool SkipMarkup() {
        if (s_.compare(pos_, 4, "<!--") == 0)
            return SkipPast("-->");
        if (s_.compare(pos_, 2, "<?") == 0)
            return SkipPast("?>");
        if (s_.compare(pos_, 9, "<![CDATA[") == 0)
            return SkipPast("]]>");
        if (s_.compare(pos_, 2, "<!") == 0) {
            int depth = 0;
            for (; pos_ < s_.size(); ++pos_) {
                if (s_[pos_] == '[')
                    ++depth;
                else if (s_[pos_] == ']')
                    --depth;
                else if (s_[pos_] == '>' && depth <= 0) {
                    ++pos_;
                    return true;
                }
            }
            failed_ = true;
            return true;
        }
        return false;
    }

    std::string Name() {
        size_t start = pos_;
        while (pos_ < s_.size() && IsNameChar(s_[pos_]))
            ++pos_;
        return s_.substr(start, pos_ - start);
    }

    static void AppendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    static std::string Decode(const std::string& raw) {
        std::string out;
        for (size_t i = 0; i < raw.size(); ++i) {
            size_t semi;
            if (raw[i] != '&' || (semi = raw.find(';', i)) == std::string::npos || semi - i > 12) {
                out += raw[i];
                continue;
            }
            std::string name = raw.substr(i + 1, semi - i - 1);
            uint32_t cp = 0;
            bool known = true;
            if (name.size() > 1 && name[0] == '#') {
                bool hex = name[1] == 'x' || name[1] == 'X';
                std::string digits = name.substr(hex ? 2 : 1);
                known = !digits.empty();
                for (char c : digits) {
                    int v = c >= '0' && c <= '9'          ? c - '0'
                            : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                          : -1;
                    if (v < 0 || cp > 0x10FFFF) {
                        known = false;
                        break;
                    }
                    cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
                }
                known = known && cp > 0 && cp <= 0x10FFFF;
            } else if (name == "apos") {
                cp = '\'';
            } else {
                int code = TVirtualTableEntities::CodePoint(name); // covers lt, gt, amp and quot too
                known = code > 0;
                cp = known ? static_cast<uint32_t>(code) : 0;
            }
            if (!known) {
                out += raw[i];
                continue;
            }
            AppendUtf8(out, cp);
            i = semi;
        }
        return out;
    }

    std::unique_ptr<TXmlElement> Element(int depth) {
        if (depth > 256)
            return nullptr;
        ++pos_; // '<'
        auto element = std::make_unique<TXmlElement>();
        element->Name = Name();
        if (element->Name.empty())
            return nullptr;
        while (true) {
            SkipSpace();
            if (pos_ >= s_.size())
                return nullptr;
            if (s_.compare(pos_, 2, "/>") == 0) {
                pos_ += 2;
                return element;
            }
            if (s_[pos_] == '>') {
                ++pos_;
                break;
            }
            std::string name = Name();
            SkipSpace();
            if (name.empty() || pos_ >= s_.size() || s_[pos_] != '=')
                return nullptr;
            ++pos_;
            SkipSpace();
            if (pos_ >= s_.size() || (s_[pos_] != '\'' && s_[pos_] != '"'))
                return nullptr;
            char quote = s_[pos_++];
            size_t end = s_.find(quote, pos_);
            if (end == std::string::npos)
                return nullptr;
            element->Attributes.emplace_back(name, Decode(s_.substr(pos_, end - pos_)));
            pos_ = end + 1;
        }
        // Content: child elements; text is passed over.
        while (true) {
            size_t lt = s_.find('<', pos_);
            if (lt == std::string::npos)
                return nullptr;
            pos_ = lt;
            if (s_.compare(pos_, 2, "</") == 0) {
                pos_ += 2;
                std::string name = Name();
                SkipSpace();
                if (name != element->Name || pos_ >= s_.size() || s_[pos_] != '>')
                    return nullptr;
                ++pos_;
                return element;
            }
            if (SkipMarkup()) {
                if (failed_)
                    return nullptr;
                continue;
            }
            auto child = Element(depth + 1);
            if (child == nullptr)
                return nullptr;
            element->Children.push_back(std::move(child));
        }
    }
};

} // namespace

bool TXmlElement::Attribute(const std::string& name, std::string& value) const {
    for (const auto& [n, v] : Attributes)
        if (n == name) {
            value = v;
            return true;
        }
    return false;
}

const TXmlElement* TXmlElement::Child(const std::string& name) const {
    for (const auto& child : Children)
        if (child->Name == name)
            return child.get();
    return nullptr;
}

std::unique_ptr<TXmlElement> ParseXml(const std::string& text) {
    return TXmlReader(text).Document();
}
