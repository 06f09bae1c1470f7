#pragma once
// A small XML reader for VTD texts: elements and their attributes only (text, comments, processing
// instructions, CDATA and the document type are passed over). Attribute values come back with character
// references, the XML entities and the HTML 4 named entities decoded (as UTF-8).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct TXmlElement {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Attributes;
    std::vector<std::unique_ptr<TXmlElement>> Children;

    // The value of an attribute; false when the element has none of that name.
    bool Attribute(const std::string& name, std::string& value) const;
    // The first child element of that name, or null.
    const TXmlElement* Child(const std::string& name) const;
};

// The root element, or null when the text is not well-formed.
std::unique_ptr<TXmlElement> ParseXml(const std::string& text);
