// The XML rowset form of a table (ADO persistence: s:Schema with one s:AttributeType per column,
// rs:data with one z:row per record), as the tax data transfer library writes it. Read only.
#include "UVirtualTableEntities.h"
#include "UVirtualTableIO.h"
#include "UdsExceptions.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>

namespace {

constexpr const char* kRowsetNs = "urn:schemas-microsoft-com:rowset";

[[noreturn]] void Bad(const std::string& what) {
    throw EdsError("not a table stream: " + what);
}

void SilentGeneric(void*, const char*, ...) {}
void SilentStructured(void*, xmlErrorPtr) {}

// Keeps libxml2 from printing to standard error while a document is read.
class TQuietXml {
public:
    TQuietXml()
        : generic_(xmlGenericError), genericContext_(xmlGenericErrorContext), structured_(xmlStructuredError),
          structuredContext_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, SilentGeneric);
        xmlSetStructuredErrorFunc(nullptr, SilentStructured);
    }
    ~TQuietXml() {
        xmlSetGenericErrorFunc(genericContext_, generic_);
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
    }
    TQuietXml(const TQuietXml&) = delete;
    TQuietXml& operator=(const TQuietXml&) = delete;

private:
    xmlGenericErrorFunc generic_;
    void* genericContext_;
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
};

bool IsElement(const xmlNode* node, const char* localName) {
    return node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), localName) == 0;
}

std::string Text(xmlChar* text) {
    if (!text)
        return "";
    std::string result(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return result;
}

// An attribute by its local name, whatever its prefix; found says whether it is there.
std::string AttributeByLocalName(const xmlNode* node, const char* localName, bool* found = nullptr) {
    for (xmlAttr* attr = node->properties; attr; attr = attr->next)
        if (std::strcmp(reinterpret_cast<const char*>(attr->name), localName) == 0) {
            if (found)
                *found = true;
            return Text(xmlNodeListGetString(node->doc, attr->children, 1));
        }
    if (found)
        *found = false;
    return "";
}

const xmlNode* FindDescendant(const xmlNode* node, const char* localName) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (IsElement(child, localName))
            return child;
        if (child->type == XML_ELEMENT_NODE)
            if (const xmlNode* found = FindDescendant(child, localName))
                return found;
    }
    return nullptr;
}

void CollectAttributeTypes(const xmlNode* node, std::vector<const xmlNode*>& out) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (IsElement(child, "AttributeType"))
            out.push_back(child);
        else if (child->type == XML_ELEMENT_NODE)
            CollectAttributeTypes(child, out);
    }
}

uint16_t ColumnSize(const xmlNode* attributeType) {
    bool found = false;
    std::string length;
    for (const xmlNode* child = attributeType->children; child && !found; child = child->next)
        if (IsElement(child, "datatype"))
            length = AttributeByLocalName(child, "maxLength", &found);
    if (!found)
        length = AttributeByLocalName(attributeType, "maxLength", &found);
    char* end = nullptr;
    unsigned long long value = std::strtoull(length.c_str(), &end, 10);
    if (length.empty() || *end != '\0' || value > std::numeric_limits<uint16_t>::max())
        return 0; // absent, or a long text (ADO writes 2147483647): no size
    return static_cast<uint16_t>(value);
}

void CollectRows(const xmlNode* data, std::vector<const xmlNode*>& out) {
    for (const xmlNode* child = data->children; child; child = child->next) {
        if (IsElement(child, "row"))
            out.push_back(child);
        else if (IsElement(child, "insert"))
            CollectRows(child, out); // rows added in a batch that was never sent
    }
}

} // namespace

void TVirtualTableIO::ReadXml(const char* data, size_t size, std::vector<TdsFieldDef>& defs,
                              std::vector<Row>& rows) {
    defs.clear();
    rows.clear();
    if (size > static_cast<size_t>(std::numeric_limits<int>::max()))
        Bad("the XML text is too large");
    const std::string text = TVirtualTableEntities::ToCharacterReferences(data, size);

    xmlInitParser();
    TQuietXml quiet;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> context(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!context)
        Bad("cannot start the XML parser");
    // Never fetch anything from the network, never load a DTD, never substitute external entities.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(xmlCtxtReadMemory(context.get(), text.data(),
                                                                       static_cast<int>(text.size()), nullptr,
                                                                       nullptr, options),
                                                     xmlFreeDoc);
    if (!doc) {
        std::string message = "the XML text does not parse";
        if (const xmlError* error = xmlCtxtGetLastError(context.get()); error && error->message) {
            std::string detail = error->message;
            while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' '))
                detail.pop_back();
            message += ": " + detail + " (line " + std::to_string(error->line) + ")";
        }
        Bad(message);
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    const xmlNode* schema =
        root ? (IsElement(root, "Schema") ? root : FindDescendant(root, "Schema")) : nullptr;
    if (!schema)
        Bad("an XML text without a rowset schema");

    std::vector<const xmlNode*> attributeTypes;
    CollectAttributeTypes(schema, attributeTypes);
    std::unordered_map<std::string, size_t> columnOf;
    for (const xmlNode* type : attributeTypes) {
        bool hasName = false;
        std::string name = Text(xmlGetNoNsProp(type, reinterpret_cast<const xmlChar*>("name")));
        hasName = !name.empty();
        if (!hasName)
            Bad("a column of the rowset schema has no name");
        // rs:name carries the real column name when the attribute name had to be made up.
        std::string columnName = Text(xmlGetNsProp(type, reinterpret_cast<const xmlChar*>("name"),
                                                   reinterpret_cast<const xmlChar*>(kRowsetNs)));
        if (columnName.empty())
            columnName = name;
        if (columnOf.count(name))
            Bad("the rowset schema declares column \"" + name + "\" twice");
        columnOf[name] = defs.size();
        defs.push_back({columnName, ftString, ColumnSize(type), 0});
    }

    std::vector<const xmlNode*> rowNodes;
    for (const xmlNode* child = root->children; child; child = child->next)
        if (IsElement(child, "data")) {
            CollectRows(child, rowNodes);
            break;
        }
    if (defs.empty())
        return;
    rows.reserve(rowNodes.size());
    for (const xmlNode* node : rowNodes) {
        // A missing attribute is a null value; an attribute the schema does not declare is ignored.
        Row row(defs.size());
        for (xmlAttr* attr = node->properties; attr; attr = attr->next) {
            if (attr->ns)
                continue;
            auto it = columnOf.find(reinterpret_cast<const char*>(attr->name));
            if (it == columnOf.end())
                continue;
            row[it->second] = TdsValue::Text(Text(xmlNodeListGetString(doc.get(), attr->children, 1)));
        }
        rows.push_back(std::move(row));
    }
}
