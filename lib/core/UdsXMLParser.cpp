#include "UdsXMLParser.h"

#include "UdsDialogs.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsIniFile.h"
#include "UdsStrUtils.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

struct TdsXMLDocHolder {
    xmlDocPtr doc = nullptr;
    // Element nodes taken out of the tree by SetText; handles may still point at them.
    std::vector<xmlNodePtr> detached;

    explicit TdsXMLDocHolder(xmlDocPtr d) : doc(d) {}
    ~TdsXMLDocHolder() {
        for (xmlNodePtr n : detached)
            xmlFreeNode(n);
        xmlFreeDoc(doc);
    }
    TdsXMLDocHolder(const TdsXMLDocHolder&) = delete;
    TdsXMLDocHolder& operator=(const TdsXMLDocHolder&) = delete;
};

struct TdsXMLAccess {
    static TdsXMLNode Node(const std::shared_ptr<TdsXMLDocHolder>& doc, xmlNodePtr node) {
        if (node == nullptr || doc == nullptr)
            return TdsXMLNode();
        return TdsXMLNode(doc, node);
    }
    static TdsXMLDocument Adopt(xmlDocPtr doc) {
        if (doc == nullptr)
            return TdsXMLDocument();
        return TdsXMLDocument(std::make_shared<TdsXMLDocHolder>(doc));
    }
    static TdsXMLDocument Document(const std::shared_ptr<TdsXMLDocHolder>& doc) {
        return TdsXMLDocument(doc);
    }
    static const std::shared_ptr<TdsXMLDocHolder>& Holder(const TdsXMLDocument& d) { return d.doc_; }
    static const std::shared_ptr<TdsXMLDocHolder>& Holder(const TdsXMLNode& n) { return n.doc_; }
};

namespace {

constexpr const char* kDefaultDeclaration = "<?xml version=\"1.0\" encoding=\"GBK\" ?>";

// Server text is untrusted: no network, no external DTD or entity loading, no entity substitution.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOBLANKS;

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

void SilentGenericError(void*, const char*, ...) {}

// Collects the first error libxml2 reports while it is in scope and keeps anything from reaching
// standard error. The handlers are per thread in libxml2, so the previous ones are put back.
class TErrorCollector {
public:
    TErrorCollector() {
        InitLibrary();
        oldStructured_ = xmlStructuredError;
        oldStructuredContext_ = xmlStructuredErrorContext;
        oldGeneric_ = xmlGenericError;
        oldGenericContext_ = xmlGenericErrorContext;
        xmlSetStructuredErrorFunc(this, &TErrorCollector::Collect);
        xmlSetGenericErrorFunc(nullptr, &SilentGenericError);
    }
    ~TErrorCollector() {
        xmlSetStructuredErrorFunc(oldStructuredContext_, oldStructured_);
        xmlSetGenericErrorFunc(oldGenericContext_, oldGeneric_);
    }
    TErrorCollector(const TErrorCollector&) = delete;
    TErrorCollector& operator=(const TErrorCollector&) = delete;

    const std::string& Message() const { return message_; }

private:
    static void Collect(void* context, xmlErrorPtr error) {
        auto* self = static_cast<TErrorCollector*>(context);
        if (error == nullptr || error->level < XML_ERR_ERROR || !self->message_.empty())
            return;
        std::string text = error->message ? TdsStrUtils::Trim(error->message) : std::string();
        for (char& c : text)
            if (c == '\n' || c == '\r')
                c = ' ';
        if (text.empty())
            text = "XML error " + std::to_string(error->code);
        if (error->line > 0)
            text += " (line " + std::to_string(error->line) + ")";
        self->message_ = text;
    }

    xmlStructuredErrorFunc oldStructured_;
    void* oldStructuredContext_;
    xmlGenericErrorFunc oldGeneric_;
    void* oldGenericContext_;
    std::string message_;
};

// Parses bytes; encoding forces the input encoding (nullptr: BOM / declaration / UTF-8).
xmlDocPtr ParseBytes(const std::string& bytes, const char* url, const char* encoding, std::string& error) {
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        error = "XML text too large";
        return nullptr;
    }
    TErrorCollector errors;
    int options = kParseOptions | (encoding ? XML_PARSE_IGNORE_ENC : 0);
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), url, encoding, options);
    if (doc != nullptr && xmlDocGetRootElement(doc) == nullptr) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    if (doc == nullptr)
        error = errors.Message().empty() ? std::string("XML text has no document element") : errors.Message();
    else
        error.clear();
    return doc;
}

std::string XmlString(const xmlChar* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

std::string TakeXmlString(xmlChar* s) {
    std::string result = XmlString(s);
    if (s)
        xmlFree(s);
    return result;
}

const xmlChar* X(const std::string& s) {
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

void SetDocEncoding(xmlDocPtr doc, const std::string& encoding) {
    if (doc->encoding)
        xmlFree(const_cast<xmlChar*>(doc->encoding));
    doc->encoding = encoding.empty() ? nullptr : xmlStrdup(X(encoding));
}

bool IsValidName(const std::string& name) {
    return !name.empty() && xmlValidateName(X(name), 0) == 0;
}

// The encoding name of the declaration at the start of the text: what follows the first
// encoding=" up to the next double quote. Only the declaration is searched, so an attribute of the
// same name in the content is never taken for it.
std::string DeclaredEncoding(const std::string& text) {
    std::string declaration = text.substr(0, text.find("?>"));
    const std::string marker = "encoding=\"";
    size_t p = declaration.find(marker);
    if (p == std::string::npos)
        return "";
    p += marker.size();
    size_t q = declaration.find('"', p);
    if (q == std::string::npos)
        return "";
    return declaration.substr(p, q - p);
}

TdsXMLNode ParseEncodedDocumentElement(const std::string& xml) {
    std::string error;
    xmlDocPtr doc = ParseBytes(xml, nullptr, nullptr, error);
    if (doc == nullptr)
        return TdsXMLNode();
    TdsXMLDocument document = TdsXMLAccess::Adopt(doc);
    return document.DocumentElement();
}

std::string StripQuotes(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == '"' || text[b] == '\''))
        ++b;
    while (e > b && (text[e - 1] == '"' || text[e - 1] == '\''))
        --e;
    return text.substr(b, e - b);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TdsXMLNode

std::string TdsXMLNode::NodeName() const {
    if (!node_)
        return "";
    std::string name = XmlString(node_->name);
    if (node_->type == XML_ELEMENT_NODE && node_->ns && node_->ns->prefix)
        return XmlString(node_->ns->prefix) + ":" + name;
    return name;
}

std::string TdsXMLNode::Text() const {
    return node_ ? TakeXmlString(xmlNodeGetContent(node_)) : std::string();
}

void TdsXMLNode::SetText(const std::string& text) {
    if (!node_)
        return;
    xmlNodePtr child = node_->children;
    while (child) {
        xmlNodePtr next = child->next;
        xmlUnlinkNode(child);
        if (child->type == XML_ELEMENT_NODE)
            doc_->detached.push_back(child);
        else
            xmlFreeNode(child);
        child = next;
    }
    if (!text.empty())
        xmlAddChild(node_, xmlNewDocTextLen(node_->doc, X(text), static_cast<int>(text.size())));
}

bool TdsXMLNode::HasAttribute(const std::string& name) const {
    return node_ && node_->type == XML_ELEMENT_NODE && xmlHasProp(node_, X(name)) != nullptr;
}

std::string TdsXMLNode::Attribute(const std::string& name) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE)
        return "";
    return TakeXmlString(xmlGetProp(node_, X(name)));
}

void TdsXMLNode::SetAttribute(const std::string& name, const std::string& value) {
    if (node_ && node_->type == XML_ELEMENT_NODE && IsValidName(name))
        xmlSetProp(node_, X(name), X(value));
}

std::vector<TdsXMLNode> TdsXMLNode::ChildNodes() const {
    std::vector<TdsXMLNode> result;
    if (!node_)
        return result;
    for (xmlNodePtr c = node_->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE)
            result.push_back(TdsXMLNode(doc_, c));
    return result;
}

int TdsXMLNode::ChildCount() const {
    int count = 0;
    if (node_)
        for (xmlNodePtr c = node_->children; c; c = c->next)
            if (c->type == XML_ELEMENT_NODE)
                ++count;
    return count;
}

TdsXMLNode TdsXMLNode::ParentNode() const {
    if (!node_ || !node_->parent || node_->parent->type != XML_ELEMENT_NODE)
        return TdsXMLNode();
    return TdsXMLNode(doc_, node_->parent);
}

TdsXMLDocument TdsXMLNode::OwnerDocument() const {
    return node_ ? TdsXMLAccess::Document(doc_) : TdsXMLDocument();
}

std::string TdsXMLNode::XML() const {
    if (!node_)
        return "";
    TErrorCollector errors;
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer)
        return "";
    std::string result;
    if (xmlNodeDump(buffer, node_->doc, node_, 0, 0) >= 0)
        result.assign(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                      static_cast<size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    return result;
}

TdsXMLNode TdsXMLNode::Clone() const {
    if (!node_)
        return TdsXMLNode();
    InitLibrary();
    xmlDocPtr source = doc_->doc;
    xmlDocPtr copy = xmlNewDoc(source->version ? source->version : BAD_CAST "1.0");
    if (!copy)
        return TdsXMLNode();
    if (source->encoding)
        copy->encoding = xmlStrdup(source->encoding);
    TdsXMLDocument document = TdsXMLAccess::Adopt(copy);
    xmlNodePtr node = xmlDocCopyNode(node_, copy, 1);
    if (!node)
        return TdsXMLNode();
    xmlDocSetRootElement(copy, node);
    return TdsXMLNode(TdsXMLAccess::Holder(document), node);
}

// ---------------------------------------------------------------------------------------------
// TdsXMLDocument

_xmlDoc* TdsXMLDocument::Handle() const {
    return doc_ ? doc_->doc : nullptr;
}

std::string TdsXMLDocument::Version() const {
    return doc_ ? XmlString(doc_->doc->version) : std::string();
}

void TdsXMLDocument::SetVersion(const std::string& version) {
    if (!doc_)
        return;
    if (doc_->doc->version)
        xmlFree(const_cast<xmlChar*>(doc_->doc->version));
    doc_->doc->version = xmlStrdup(X(version.empty() ? std::string("1.0") : version));
}

std::string TdsXMLDocument::Encoding() const {
    return doc_ ? XmlString(doc_->doc->encoding) : std::string();
}

void TdsXMLDocument::SetEncoding(const std::string& encoding) {
    if (doc_)
        SetDocEncoding(doc_->doc, encoding);
}

TdsXMLNode TdsXMLDocument::DocumentElement() const {
    if (!doc_)
        return TdsXMLNode();
    return TdsXMLAccess::Node(doc_, xmlDocGetRootElement(doc_->doc));
}

std::string TdsXMLDocument::XML() const {
    if (!doc_)
        return "";
    TErrorCollector errors;
    std::string result = "<?xml version=\"" + (Version().empty() ? std::string("1.0") : Version()) + "\"";
    if (!Encoding().empty())
        result += " encoding=\"" + Encoding() + "\"";
    result += "?>\n";
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer)
        return "";
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, "UTF-8", XML_SAVE_NO_DECL);
    if (save) {
        xmlSaveDoc(save, doc_->doc);
        xmlSaveClose(save);
        result.append(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                      static_cast<size_t>(xmlBufferLength(buffer)));
    }
    xmlBufferFree(buffer);
    return result;
}

// ---------------------------------------------------------------------------------------------
// TdsXMLParser

bool TdsXMLParser::LoadFromFile(const std::string& fileName, std::string& error) {
    FileName = fileName;
    Document = TdsXMLDocument();
    Root = TdsXMLNode();
    std::string bytes;
    if (!TdsIOUtils::TryReadTextFile(fileName, bytes)) {
        error = TdsStrUtils::Format("无法读取文件“%s”", {fileName});
        return false;
    }
    xmlDocPtr doc = ParseBytes(bytes, fileName.c_str(), nullptr, error);
    if (!doc)
        return false;
    Document = TdsXMLAccess::Adopt(doc);
    if (Document.Version().empty())
        Document.SetVersion("1.0");
    Root = Document.DocumentElement();
    return true;
}

bool TdsXMLParser::LoadFromXML(const std::string& xml, std::string& error) {
    FileName.clear();
    Document = TdsXMLDocument();
    Root = TdsXMLNode();

    std::string text = TdsStrUtils::Trim(xml);
    // A byte order mark would end up behind the added declaration.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = TdsStrUtils::Trim(text.substr(3));
    if (text.empty())
        text = std::string(kDefaultDeclaration) + "<Root></Root>";
    else if (!TdsStrUtils::StartsText("<?xml", text))
        text = kDefaultDeclaration + text;
    std::string encoding = DeclaredEncoding(text);

    // Texts inside the program are UTF-8 whatever their declaration says.
    xmlDocPtr doc = ParseBytes(text, nullptr, "UTF-8", error);
    if (!doc)
        return false;
    Document = TdsXMLAccess::Adopt(doc);
    if (Document.Version().empty())
        Document.SetVersion("1.0");
    Document.SetEncoding(encoding);
    Root = Document.DocumentElement();
    return true;
}

bool TdsXMLParser::NewDocument(const std::string& fileName, const std::string& rootName, std::string& error) {
    if (!IsValidName(rootName)) {
        error = TdsStrUtils::Format("无效的XML元素名“%s”", {rootName});
        return false;
    }
    InitLibrary();
    xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
    if (!doc) {
        error = "out of memory";
        return false;
    }
    TdsXMLDocument document = TdsXMLAccess::Adopt(doc);
    SetDocEncoding(doc, "GBK");
    xmlNodePtr root = xmlNewDocNode(doc, nullptr, X(rootName), nullptr);
    if (!root) {
        error = "out of memory";
        return false;
    }
    xmlDocSetRootElement(doc, root);
    Document = document;
    Root = Document.DocumentElement();
    FileName = fileName;
    error.clear();
    return true;
}

bool TdsXMLParser::SaveToFile(const std::string& encoding, const std::string& fileName) {
    // Checked before the encoding is switched, so a refused call leaves the document as it was.
    std::string file = TdsStrUtils::Trim(fileName);
    if (file.empty())
        throw EdsError("未指定XML的文件名！");
    if (Document.IsNull())
        return false;

    std::string current = Document.Encoding();
    bool switched = !TdsStrUtils::SameText(current, encoding);
    if (switched)
        Document.SetEncoding(encoding);

    bool ok = false;
    {
        TErrorCollector errors;
        xmlChar* bytes = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(Document.Handle(), &bytes, &size,
                            Document.Handle()->encoding
                                ? reinterpret_cast<const char*>(Document.Handle()->encoding)
                                : nullptr);
        if (bytes) {
            ok = errors.Message().empty() &&
                 TdsIOUtils::WriteTextFile(
                     std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size)), file);
            xmlFree(bytes);
        }
    }

    if (switched)
        Document.SetEncoding(current);
    return ok;
}

bool TdsXMLParser::SaveToFile(const std::string& fileName) {
    return SaveToFile(Document.Encoding(), fileName);
}

TdsXMLNode TdsXMLParser::FindNode(const std::string& path, bool ignoreCase) const {
    return FindNodeByPath(Root, path, ignoreCase);
}

TdsXMLNode TdsXMLParser::AddChild(const TdsXMLNode& parent, const std::string& name,
                                  const std::optional<std::string>& value) {
    xmlNodePtr p = parent.Handle();
    if (!p || p->type != XML_ELEMENT_NODE || !IsValidName(name))
        return TdsXMLNode();
    xmlNodePtr child = xmlNewDocNode(p->doc, nullptr, X(name), nullptr);
    if (!child)
        return TdsXMLNode();
    xmlAddChild(p, child);
    TdsXMLNode node = TdsXMLAccess::Node(TdsXMLAccess::Holder(parent), child);
    if (value)
        node.SetText(*value);
    return node;
}

// ---------------------------------------------------------------------------------------------
// Free functions

TdsXMLNode FindNodeByPath(const TdsXMLNode& node, const std::string& path, bool ignoreCase) {
    if (node.IsNull())
        return TdsXMLNode();
    std::string p = path;
    if (!p.empty() && p[0] == '/')
        p.erase(0, 1);
    if (p.empty())
        return node;
    size_t slash = p.find('/');
    if (slash == std::string::npos)
        return FindChildNode(node, p, ignoreCase);
    TdsXMLNode child = FindChildNode(node, p.substr(0, slash), ignoreCase);
    if (child.IsNull())
        return TdsXMLNode();
    return FindNodeByPath(child, p.substr(slash + 1), ignoreCase);
}

TdsXMLNode FindChildNode(const TdsXMLNode& node, const std::string& step, bool ignoreCase) {
    std::vector<TdsXMLNode> children = node.ChildNodes();
    bool predicate = step.find('=') != std::string::npos && !step.empty() && step.back() == ']';
    if (!predicate) {
        for (const TdsXMLNode& c : children)
            if (ignoreCase ? TdsStrUtils::SameText(c.NodeName(), step) : c.NodeName() == step)
                return c;
        return TdsXMLNode();
    }

    size_t open = step.find('[');
    std::string name = open == std::string::npos ? std::string() : step.substr(0, open);
    size_t keyStart = open == std::string::npos ? 0 : open + 1;
    size_t eq = step.find('=', keyStart);
    if (eq == std::string::npos)
        return TdsXMLNode();
    std::string key = step.substr(keyStart, eq - keyStart);
    std::string value = StripQuotes(step.substr(eq + 1, step.size() - 1 - (eq + 1)));

    if (TdsStrUtils::SameText(key, "position()")) {
        long long position = 1;
        if (!TdsStrUtils::TryStrToInt(value, position))
            position = 1;
        if (position >= 1 && position <= static_cast<long long>(children.size()))
            return children[static_cast<size_t>(position - 1)];
        return TdsXMLNode();
    }
    if (!key.empty() && key[0] == '@') {
        std::string attribute = key.substr(1);
        for (const TdsXMLNode& c : children)
            if (c.HasAttribute(attribute) && c.Attribute(attribute) == value)
                return c;
        return TdsXMLNode();
    }
    for (const TdsXMLNode& c : children) {
        if (c.NodeName() != name)
            continue;
        TdsXMLNode keyNode = FindChildNode(c, key, ignoreCase);
        if (!keyNode.IsNull() && keyNode.Text() == value)
            return c;
    }
    return TdsXMLNode();
}

std::string UpperCaseTags(const std::string& xml) {
    std::string text = xml;
    size_t last = text.rfind("?>");
    if (last != std::string::npos)
        text.erase(0, last + 2);
    bool inMarkup = false;
    int quotes = 0;
    for (char& c : text) {
        if (c == '<') {
            inMarkup = true;
            quotes = 0;
        } else if (c == '>') {
            inMarkup = false;
            quotes = 0;
        } else if (c == '"') {
            ++quotes;
        }
        if (inMarkup && quotes % 2 == 0 && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

TdsXMLNode LoadEncodedXML(const std::string& text) {
    try {
        std::string data = TdsIOUtils::Base64Decode(text);
        if (data.size() < 3)
            return TdsXMLNode();
        return ParseEncodedDocumentElement(TdsIOUtils::UnzipText(data.substr(3)));
    } catch (const std::exception&) {
        return TdsXMLNode();
    }
}

TdsXMLNode LoadEncodedXMLFile(const std::string& fileName) {
    std::string text;
    if (!TdsIOUtils::TryReadTextFile(fileName, text))
        return TdsXMLNode();
    return LoadEncodedXML(text);
}

TdsXMLNode FindRegion(const std::string& folder, const std::string& taxpayerID) {
    TdsXMLNode root = LoadEncodedXMLFile(folder + "Config.qel");
    if (root.IsNull()) {
        TdsDialogs::ShowPrompt("无效的区域配置文件！", mkError);
        return TdsXMLNode();
    }
    // Long identifiers carry no region prefix; the tax authority's code does, from its second character.
    std::string subject = taxpayerID;
    if (taxpayerID.size() > 15) {
        std::string code = ReadTaxDeptCode(taxpayerID);
        subject = code.size() > 1 ? code.substr(1, 3) : std::string();
    }
    TdsXMLNode regions = FindChildNode(root, "Regions", false);
    for (const TdsXMLNode& entry : regions.ChildNodes()) {
        // An entry without an ID would match every taxpayer: a damaged file must not pick a region.
        const std::string id = entry.Attribute("ID");
        if (!id.empty() && TdsStrUtils::StartsStr(id, subject))
            return entry;
    }
    TdsDialogs::ShowPrompt("无法确定纳税人识别号对应的区域！", mkError);
    return TdsXMLNode();
}

std::string TaxDeptCodeFile() {
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        std::string homeDir = home && home[0] ? home : "";
        if (homeDir.empty()) {
            if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
                homeDir = pw->pw_dir;
        }
        base = homeDir + "/.config";
    }
    if (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + "/Brindle/TaxDeptCode.ini";
}

std::string ReadTaxDeptCode(const std::string& taxpayerID) {
    if (TdsStrUtils::Trim(taxpayerID).empty())
        return "";
    TdsIniFile ini(TaxDeptCodeFile());
    std::string value = ini.ReadString("TaxDeptCode", taxpayerID, "");
    if (value.empty())
        return "";
    try {
        return TdsEncoding::AnsiToUtf8(TdsIOUtils::Base64Decode(value));
    } catch (const EdsError&) {
        return "";
    }
}

bool WriteTaxDeptCode(const std::string& taxpayerID, const std::string& code) {
    if (TdsStrUtils::Trim(taxpayerID).empty())
        return false;
    std::string file = TaxDeptCodeFile();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    TdsIniFile ini(file);
    ini.WriteString("TaxDeptCode", taxpayerID, TdsIOUtils::Base64Encode(TdsEncoding::Utf8ToAnsi(code)));
    return ini.UpdateFile();
}
