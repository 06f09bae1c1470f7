#pragma once
// The XML wrapper every XML text of the program goes through, over libxml2: normalisation of
// incomplete text, slash-path lookup with a small predicate syntax, saving under a chosen encoding,
// and the loader of the encoded settings files (Config.dll, Config.qel).
//
// All names, texts and attribute values going in and out are UTF-8; only files carry other encodings.
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

// Keeps a libxml2 document alive together with the nodes that were taken out of it (replaced
// content), so a handle on such a node never dangles.
struct TdsXMLDocHolder;
struct TdsXMLAccess;

class TdsXMLDocument;

// A handle on one element. Copies share the node; the handle keeps its document alive, so a node
// stays valid after the parser that produced it is gone. A default handle is the empty node.
class TdsXMLNode {
public:
    TdsXMLNode() = default;

    bool IsNull() const { return node_ == nullptr; }
    explicit operator bool() const { return node_ != nullptr; }
    // Same node (or both empty).
    bool operator==(const TdsXMLNode& other) const { return node_ == other.node_; }

    // Qualified name ("prefix:name" for a namespaced element); "" for the empty node.
    std::string NodeName() const;
    // The text content of the node and all its descendants (the node's value).
    std::string Text() const;
    // Replaces all content of the node by this text (escaped on save as needed).
    void SetText(const std::string& text);

    bool HasAttribute(const std::string& name) const;
    // "" when the attribute is missing.
    std::string Attribute(const std::string& name) const;
    void SetAttribute(const std::string& name, const std::string& value);

    // Element children in document order (text, comments and processing instructions are skipped).
    std::vector<TdsXMLNode> ChildNodes() const;
    int ChildCount() const;
    TdsXMLNode ParentNode() const;
    TdsXMLDocument OwnerDocument() const;

    // The node serialised as UTF-8 text, without declaration.
    std::string XML() const;
    // A deep copy as the document element of a new document (same version and encoding).
    TdsXMLNode Clone() const;

    _xmlNode* Handle() const { return node_; }

private:
    friend struct TdsXMLAccess;
    TdsXMLNode(std::shared_ptr<TdsXMLDocHolder> doc, _xmlNode* node) : doc_(std::move(doc)), node_(node) {}

    std::shared_ptr<TdsXMLDocHolder> doc_;
    _xmlNode* node_ = nullptr;
};

// A handle on a whole document; empty by default.
class TdsXMLDocument {
public:
    TdsXMLDocument() = default;

    bool IsNull() const { return doc_ == nullptr; }
    explicit operator bool() const { return doc_ != nullptr; }

    std::string Version() const;
    void SetVersion(const std::string& version);
    // The declared encoding name; "" means none (the document is written as UTF-8).
    std::string Encoding() const;
    void SetEncoding(const std::string& encoding);
    TdsXMLNode DocumentElement() const;
    // The document as UTF-8 text, with a declaration naming the document's version and encoding.
    std::string XML() const;

    _xmlDoc* Handle() const;

private:
    friend struct TdsXMLAccess;
    explicit TdsXMLDocument(std::shared_ptr<TdsXMLDocHolder> doc) : doc_(std::move(doc)) {}

    std::shared_ptr<TdsXMLDocHolder> doc_;
};

class TdsXMLParser {
public:
    // The file the document was loaded from or is to be saved to; empty after loading from text.
    std::string FileName;
    // Empty before the first successful load and after a failed one.
    TdsXMLDocument Document;
    // The document element of Document; all path lookups start here.
    TdsXMLNode Root;

    // Parses the file (bytes in their declared encoding). On failure the error text is the
    // parser's message and Document, Root are empty.
    bool LoadFromFile(const std::string& fileName, std::string& error);
    // Normalises and parses a UTF-8 text: an empty text becomes an empty "Root" document, a text
    // without declaration gets one with encoding "GBK". The declared encoding name is kept as the
    // document's encoding for later saves; the text itself is always read as UTF-8.
    bool LoadFromXML(const std::string& xml, std::string& error);
    // A document with just the root element, version "1.0", encoding "GBK". False with the
    // parser's message when rootName is no valid element name.
    bool NewDocument(const std::string& fileName, const std::string& rootName, std::string& error);

    // Writes the document to the file under the given encoding (the document's own encoding is put
    // back afterwards). The file is replaced as a whole: written to a temporary file in the same
    // folder and renamed over it. Raises EdsError "未指定XML的文件名！" for a blank file name.
    // False when the file could not be replaced or written, or there is no document.
    bool SaveToFile(const std::string& encoding, const std::string& fileName);
    bool SaveToFile(const std::string& fileName);
    bool Save() { return SaveToFile(FileName); }

    // Path lookup from Root (see FindNodeByPath); the empty node when nothing is found.
    TdsXMLNode FindNode(const std::string& path, bool ignoreCase) const;
    TdsXMLNode FindNode(const std::string& path) const { return FindNode(path, true); }

    // Appends an element as the last child of parent; a given value becomes its text. The empty
    // node when the parent is empty or the name is no valid element name.
    TdsXMLNode AddChild(const TdsXMLNode& parent, const std::string& name,
                        const std::optional<std::string>& value);
    TdsXMLNode AddChild(const TdsXMLNode& parent, const std::string& name) {
        return AddChild(parent, name, std::nullopt);
    }
    TdsXMLNode AddChild(const std::string& name) { return AddChild(Root, name, std::nullopt); }
};

// Path lookup from any node: steps separated by "/", one leading "/" ignored, the empty path is
// the node itself. The name of the start node is never compared.
TdsXMLNode FindNodeByPath(const TdsXMLNode& node, const std::string& path, bool ignoreCase);
// One step among the element children of node, first match in document order. A step is a name
// (compared ignoring case or exactly), or name[key=value] with key "position()" (1-based position
// among the children, the name not compared), "@attr" (attribute equals value, the name not compared)
// or a child step (name equal exactly and the text of the first such child below equals value).
TdsXMLNode FindChildNode(const TdsXMLNode& node, const std::string& step, bool ignoreCase);
// Drops everything through the last "?>" and upper-cases the markup outside double-quoted values.
std::string UpperCaseTags(const std::string& xml);
// Base64 (CR LF / LF CR pairs removed) of three bytes and a zlib stream of the XML; the document
// element, or the empty node on any failure. Never shows a message.
TdsXMLNode LoadEncodedXML(const std::string& text);
TdsXMLNode LoadEncodedXMLFile(const std::string& fileName);
// The region entry of the taxpayer from folder + "Config.qel"; shows an error box and returns the
// empty node when the file is unusable or no entry fits.
TdsXMLNode FindRegion(const std::string& folder, const std::string& taxpayerID);

// The per-user store of tax-authority codes: $XDG_CONFIG_HOME/Brindle/TaxDeptCode.ini (default
// ~/.config/Brindle/), section [TaxDeptCode], key the taxpayer identifier, value Base64 of the code's
// CP936 bytes.
std::string TaxDeptCodeFile();
// "" when the file, the section or the key is missing or the value is not Base64.
std::string ReadTaxDeptCode(const std::string& taxpayerID);
bool WriteTaxDeptCode(const std::string& taxpayerID, const std::string& code);
