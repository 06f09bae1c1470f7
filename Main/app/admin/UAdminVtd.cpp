// brindle-admin vtd dump FILE | vtd write JSON OUT: a ".vtd" table as JSON and back.
#include "admin/UAdminCommand.h"

#include "UVirtualTable.h"
#include "UdsExceptions.h"
#include "UdsHexUtils.h"
#include "UdsJSON.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool Unhex(const std::string& text, std::string& bytes) {
    if (text.size() % 2 != 0)
        return false;
    auto nibble = TdsHexUtils::HexDigitValue;
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

std::string HexObject(const std::string& bytes) {
    return "{\"hex\":\"" + Hex(bytes) + "\"}";
}

// A value in the form "vtd write" reads back to the same bytes.
std::string ValueJson(const TdsValue& value) {
    if (value.IsNull())
        return "null";
    if (value.IsBlock())
        return HexObject(value.StringRef());
    if (value.IsBoolean())
        return value.AsBoolean() ? "true" : "false";
    if (value.IsInteger())
        return TdsJSON::Number(value.AsInteger());
    if (value.IsFloat()) {
        double d = value.AsFloat();
        if (std::isfinite(d))
            return TdsJSON::Number(d);
        // No JSON number for it: its eight bytes instead.
        char bytes[8];
        std::memcpy(bytes, &d, 8);
        return HexObject(std::string(bytes, 8));
    }
    return TdsJSON::Quote(value.AsString());
}

int Dump(const std::string& file) {
    TVirtualTable table;
    table.LoadFromFile(file);
    std::string out = "{\"fields\":[";
    for (int f = 0; f < table.FieldCount(); ++f) {
        const TdsFieldDef& def = table.FieldDef(f);
        if (f)
            out += ',';
        out += "{\"name\":" + TdsJSON::Quote(def.Name) + ",\"type\":" + std::to_string(def.DataType) +
               ",\"size\":" + std::to_string(def.Size) + ",\"attributes\":" + std::to_string(def.Attributes) +
               "}";
    }
    out += "],\"rows\":[";
    std::fwrite(out.data(), 1, out.size(), stdout);
    for (int r = 0; r < table.StoredRecordCount(); ++r) {
        out = r ? ",\n[" : "\n[";
        for (int f = 0; f < table.FieldCount(); ++f) {
            if (f)
                out += ',';
            out += ValueJson(table.StoredValue(r, f));
        }
        out += ']';
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    out = table.StoredRecordCount() ? "\n]}\n" : "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0)
        return AdminFail("cannot write the dump");
    return aeOK;
}

uint64_t Whole(const TdsJSONValue* v, uint64_t max, uint64_t fallback, const std::string& what) {
    if (!v)
        return fallback;
    uint64_t n = 0;
    if (!v->TryGetUnsigned(n) || n > max)
        throw EdsError(what + " must be a whole number from 0 to " + std::to_string(max));
    return n;
}

TdsValue JsonValue(const TdsFieldDef& def, const TdsJSONValue& v, const std::string& where) {
    if (v.IsNull())
        return TdsValue::Null();
    if (v.Kind() == TdsJSONValue::jkObject) {
        const TdsJSONValue* hex = v.Find("hex");
        std::string bytes;
        if (!hex || v.Members().size() != 1 || hex->Kind() != TdsJSONValue::jkString ||
            !Unhex(hex->Text(), bytes))
            throw EdsError(where + ": an object value must be {\"hex\":\"<even number of hex digits>\"}");
        return TdsValue::Block(bytes);
    }
    switch (TVirtualTableTypes::KindOf(def.DataType)) {
    case TVirtualTableTypes::vkAnsiText:
    case TVirtualTableTypes::vkWideText:
        if (v.Kind() == TdsJSONValue::jkString)
            return TdsValue::Text(v.Text());
        throw EdsError(where + ": a text column needs a string");
    case TVirtualTableTypes::vkInteger: {
        int64_t n = 0;
        if (v.TryGetInteger(n))
            return TdsValue::Integer(n);
        throw EdsError(where + ": an integer column needs a whole number");
    }
    case TVirtualTableTypes::vkFloat:
        if (v.Kind() == TdsJSONValue::jkNumber)
            return TdsValue::Float(v.AsFloat());
        throw EdsError(where + ": a float column needs a number");
    case TVirtualTableTypes::vkBoolean:
        if (v.Kind() == TdsJSONValue::jkBoolean)
            return TdsValue::Boolean(v.AsBoolean());
        throw EdsError(where + ": a boolean column needs true or false");
    case TVirtualTableTypes::vkBlock:
        break;
    }
    throw EdsError(where + ": a column of type " + std::to_string(def.DataType) +
                   " needs {\"hex\":\"…\"} or null");
}

void TableFromJson(const std::string& text, TVirtualTable& table) {
    TdsJSONValue doc = TdsJSONValue::Parse(text);
    const TdsJSONValue* fields = doc.Find("fields");
    const TdsJSONValue* rows = doc.Find("rows");
    if (doc.Kind() != TdsJSONValue::jkObject || !fields || fields->Kind() != TdsJSONValue::jkArray || !rows ||
        rows->Kind() != TdsJSONValue::jkArray)
        throw EdsError("the JSON must be an object with the arrays \"fields\" and \"rows\"");
    std::vector<TdsFieldDef> defs;
    for (size_t i = 0; i < fields->Items().size(); ++i) {
        const TdsJSONValue& f = fields->Items()[i];
        std::string where = "field " + std::to_string(i + 1);
        const TdsJSONValue* name = f.Find("name");
        if (f.Kind() != TdsJSONValue::jkObject || !name || name->Kind() != TdsJSONValue::jkString)
            throw EdsError(where + " needs a \"name\" string");
        TdsFieldDef def;
        def.Name = name->Text();
        def.DataType = static_cast<uint16_t>(Whole(f.Find("type"), 0xFFFF, ftString, where + " \"type\""));
        def.Size = static_cast<uint16_t>(Whole(f.Find("size"), 0xFFFF, 0, where + " \"size\""));
        def.Attributes =
            static_cast<uint32_t>(Whole(f.Find("attributes"), 0xFFFFFFFF, 0, where + " \"attributes\""));
        defs.push_back(def);
    }
    table.AssignFieldDefs(defs);
    table.Open();
    for (size_t r = 0; r < rows->Items().size(); ++r) {
        const TdsJSONValue& row = rows->Items()[r];
        std::string where = "row " + std::to_string(r + 1);
        if (row.Kind() != TdsJSONValue::jkArray || row.Items().size() != defs.size())
            throw EdsError(where + " must be an array of " + std::to_string(defs.size()) + " values");
        std::vector<TdsValue> values;
        values.reserve(defs.size());
        for (size_t c = 0; c < defs.size(); ++c)
            values.push_back(JsonValue(defs[c], row.Items()[c], where + ", field " + std::to_string(c + 1)));
        try {
            table.AppendRecord(values);
        } catch (const EdsError& e) {
            throw EdsError(where + ": " + e.what());
        }
    }
}

int Write(const std::string& input, const std::string& output) {
    std::ifstream in(input, std::ios::binary);
    if (!in)
        return AdminFail("cannot open \"" + input + "\": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        ++i;
    TVirtualTable table;
    if (i < text.size() && text[i] == '{')
        TableFromJson(text, table);
    else
        table.LoadFromStream(text); // a table file of either form
    table.SaveToFile(output);
    return aeOK;
}

int RunVtd(const std::vector<std::string>& args) {
    try {
        if (args.size() == 2 && args[0] == "dump")
            return Dump(args[1]);
        if (args.size() == 3 && args[0] == "write")
            return Write(args[1], args[2]);
    } catch (const EdsError& e) {
        return AdminFail(e.what());
    }
    return AdminUsage("vtd");
}

TAdminRegistrar registrar("vtd", "dump FILE | write JSON OUT", RunVtd);

} // namespace
