#include "UInstallation.h"

#include "UInstallationData.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsJSON.h"
#include "UdsStrUtils.h"
#include "UdsSysUtils.h"
#include "UdsXMLParser.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kLeadingBytes = "xyz";

std::string EmbeddedFile(const std::string& name) {
    for (const auto& f : embedded::kEmbeddedFiles)
        if (name == f.Name)
            return std::string(reinterpret_cast<const char*>(f.Data), f.Size);
    throw EdsError("no shipped file \"" + name + "\"");
}

std::vector<std::string> ScriptLines(const std::string& name) {
    TdsStrings lines;
    lines.SetText(EmbeddedFile(name));
    return lines.Items;
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

size_t CharacterCount(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A text as one shell word in single quotes.
std::string ShellQuote(const std::string& text) {
    return "'" + TdsStrUtils::ReplaceAll(text, "'", "'\\''") + "'";
}

std::string HexSpaced(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string HexPlain(const std::string& bytes) {
    return TdsStrUtils::ReplaceAll(HexSpaced(bytes), " ", "");
}

// n bytes of a recognisable pattern, as plain hex.
std::string PatternHex(int n, int seed) {
    std::string bytes;
    for (int i = 0; i < n; ++i)
        bytes += static_cast<char>((seed * 31 + i * 7) & 0xFF);
    return HexPlain(bytes);
}

// The region subject FindRegion compares with the entries' IDs.
std::string RegionSubject(const std::string& taxpayerID, const std::string& taxDeptCode) {
    if (taxpayerID.size() > 15)
        return taxDeptCode.size() > 1 ? taxDeptCode.substr(1, 3) : std::string();
    return taxpayerID;
}

bool MatchesRegion(const TdsXMLNode& root, const std::string& subject) {
    for (const TdsXMLNode& entry : FindChildNode(root, "Regions", false).ChildNodes())
        if (TdsStrUtils::StartsStr(entry.Attribute("ID"), subject))
            return true;
    return false;
}

// Saves the document under the encoding and stores it encoded; the file is replaced as a whole.
bool WriteEncodedDocument(TdsXMLParser& parser, const std::string& encoding, const std::string& file,
                          std::string& error) {
    std::string plain = file + ".xml-tmp";
    std::string xml;
    bool ok = parser.SaveToFile(encoding, plain) && TdsIOUtils::TryReadTextFile(plain, xml);
    TdsIOUtils::DeleteFileForced(plain);
    if (ok)
        ok = TdsIOUtils::WriteTextFile(TInstallation::EncodeSettings(xml), file);
    if (!ok)
        error = "cannot write \"" + file + "\"";
    return ok;
}

bool WriteNewEncodedFile(const std::string& xml, const std::string& file, std::string& error) {
    TdsXMLParser parser;
    if (!parser.LoadFromXML(xml, error)) {
        error = "cannot build \"" + file + "\": " + error;
        return false;
    }
    return WriteEncodedDocument(parser, "GBK", file, error);
}

std::string RegionCode(const std::string& regionID) {
    std::string code = regionID;
    while (code.size() < 6)
        code += '0';
    return code;
}

std::string RegionEntryXml(const std::string& regionID) {
    return "    <Region ID=\"" + XmlEscape(regionID) + "\" Code=\"" + XmlEscape(RegionCode(regionID)) +
           "\">\r\n      <Options>\r\n        <DeclarePrompt>0</DeclarePrompt>\r\n"
           "        <InformServerEnabled>1</InformServerEnabled>\r\n      </Options>\r\n    </Region>\r\n";
}

void AddRegionEntry(TdsXMLParser& parser, TdsXMLNode regions, const std::string& regionID) {
    TdsXMLNode entry = parser.AddChild(regions, "Region");
    entry.SetAttribute("ID", regionID);
    entry.SetAttribute("Code", RegionCode(regionID));
    TdsXMLNode options = parser.AddChild(entry, "Options");
    parser.AddChild(options, "DeclarePrompt", std::string("0"));
    parser.AddChild(options, "InformServerEnabled", std::string("1"));
}

// A new database file with the script run in it. Built under a temporary name and linked into place, so
// an interrupted run never leaves a half-made database that a later run would keep, and an existing
// file is never replaced.
bool CreateDatabaseFile(const std::string& file, const std::vector<std::string>& lines, std::string& error) {
    std::string temp = file + ".creating";
    TdsIOUtils::DeleteFileForced(temp + "-journal");
    if (!TdsIOUtils::DeleteFileForced(temp)) {
        error = "cannot remove the leftover \"" + temp + "\"";
        return false;
    }
    std::string why;
    bool ok = TdsAdoDBKit::CreateDatabase(temp, TInstallation::kDatabasePassword, why);
    if (ok) {
        TdsAdoDBKit kit;
        ok = kit.Connect(temp, TInstallation::kDatabasePassword, true, why) && kit.ExecScriptOK(lines, why);
        if (!ok && !kit.LastErrorSQL.empty())
            why += " (" + kit.LastErrorSQL + ")";
        kit.Disconnect();
    }
    if (ok && ::link(temp.c_str(), file.c_str()) != 0) {
        // File systems without hard links: a rename, which does not refuse an existing target, so check
        // first.
        int linkError = errno;
        bool noLinks = linkError == EPERM || linkError == EOPNOTSUPP || linkError == ENOSYS;
        if (!noLinks) {
            ok = false;
            why = std::strerror(linkError);
        } else if (TdsIOUtils::FileExists(file)) {
            ok = false;
            why = "another database appeared there meanwhile";
        } else if (::rename(temp.c_str(), file.c_str()) != 0) {
            ok = false;
            why = std::strerror(errno);
        }
    }
    TdsIOUtils::DeleteFileForced(temp);
    if (!ok)
        error = "cannot create the database \"" + file + "\": " + why;
    return ok;
}

std::string ConfigUpdate(const std::string& category, const std::string& key, const std::string& value) {
    return "UPDATE S_Config SET FValue = " + TdsStrUtils::QuotedStr(value) +
           " WHERE FCategory = " + TdsStrUtils::QuotedStr(category) +
           " AND FKey = " + TdsStrUtils::QuotedStr(key);
}

bool ValidServer(const std::string& server) {
    size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = server.substr(0, colon);
    long long port = 0;
    if (host.find_first_of(" /") != std::string::npos ||
        !TdsStrUtils::TryStrToInt(server.substr(colon + 1), port) ||
        !TdsStrUtils::IsDigits(server.substr(colon + 1)))
        return false;
    return port >= 1 && port <= 65535;
}

std::string Launcher(const std::string& taxpayerID, const std::string& program) {
    return "#!/bin/sh\n"
           "# Brindle launcher: starts the program with the taxpayer, the user code and the path of this "
           "file.\n"
           "# The program's re-login opens this file again; the settings below are exported, so the new "
           "start\n"
           "# keeps them.\n"
           "#   BRINDLE_PROGRAM   the program to start (default below)\n"
           "#   BRINDLE_TAXPAYER  the taxpayer identifier (default: the one this installation was made for)\n"
           "#   BRINDLE_USER      the user code (default admin)\n"
           "default_program=" +
           ShellQuote(program) + "\ndefault_taxpayer=" + ShellQuote(taxpayerID) +
           "\n"
           "self=\"$(cd \"$(dirname \"$0\")\" && pwd -P)/$(basename \"$0\")\"\n"
           "BRINDLE_PROGRAM=${BRINDLE_PROGRAM:-$default_program}\n"
           "BRINDLE_TAXPAYER=${BRINDLE_TAXPAYER:-$default_taxpayer}\n"
           "BRINDLE_USER=${BRINDLE_USER:-admin}\n"
           "export BRINDLE_PROGRAM BRINDLE_TAXPAYER BRINDLE_USER\n"
           "exec \"$BRINDLE_PROGRAM\" \"$BRINDLE_TAXPAYER\" \"$BRINDLE_USER\" \"$self\"\n";
}

bool FolderWritable(const std::string& folder) {
    return TdsIOUtils::FolderExists(folder) && ::access(folder.c_str(), W_OK) == 0;
}

} // namespace

const std::vector<std::string>& TInstallation::TemplateNames() {
    static const std::vector<std::string> names = {"BS_Card", "BS_Disk_201", "BS_Disk_202", "QK_Card",
                                                   "QK_Disk"};
    return names;
}

std::string TInstallation::EncodeSettings(const std::string& xml) {
    return TdsIOUtils::Base64Encode(kLeadingBytes + TdsIOUtils::ZipText(xml));
}

std::vector<std::string> TInstallation::SystemDatabaseScript() {
    return ScriptLines("Master.sql");
}

std::vector<std::string> TInstallation::TaxpayerDatabaseScript() {
    return ScriptLines("Brindle.sql");
}

void TInstallation::LoadShippedTable(const std::string& name, TVirtualTable& table) {
    std::string where = "templates/" + name + ".json";
    TdsJSONValue doc = TdsJSONValue::Parse(EmbeddedFile(where));
    const TdsJSONValue* fields = doc.Find("fields");
    const TdsJSONValue* rows = doc.Find("rows");
    if (!fields || !rows || fields->Kind() != TdsJSONValue::jkArray || rows->Kind() != TdsJSONValue::jkArray)
        throw EdsError(where + ": needs the arrays \"fields\" and \"rows\"");
    std::vector<TdsFieldDef> defs;
    for (const TdsJSONValue& f : fields->Items()) {
        const TdsJSONValue* fieldName = f.Find("name");
        if (!fieldName || fieldName->Kind() != TdsJSONValue::jkString)
            throw EdsError(where + ": a field without a name");
        TdsFieldDef def;
        def.Name = fieldName->Text();
        uint64_t n = 0;
        if (const TdsJSONValue* v = f.Find("type"); v && v->TryGetUnsigned(n))
            def.DataType = static_cast<uint16_t>(n);
        if (const TdsJSONValue* v = f.Find("size"); v && v->TryGetUnsigned(n))
            def.Size = static_cast<uint16_t>(n);
        if (const TdsJSONValue* v = f.Find("attributes"); v && v->TryGetUnsigned(n))
            def.Attributes = static_cast<uint32_t>(n);
        if (TVirtualTableTypes::KindOf(def.DataType) != TVirtualTableTypes::vkAnsiText)
            throw EdsError(where + ": the command tables have text columns only");
        defs.push_back(def);
    }
    table.AssignFieldDefs(defs);
    table.Open();
    for (const TdsJSONValue& row : rows->Items()) {
        if (row.Kind() != TdsJSONValue::jkArray || row.Items().size() != defs.size())
            throw EdsError(where + ": every row needs " + std::to_string(defs.size()) + " values");
        std::vector<TdsValue> values;
        for (const TdsJSONValue& v : row.Items()) {
            if (v.IsNull())
                values.push_back(TdsValue::Null());
            else if (v.Kind() == TdsJSONValue::jkString)
                values.push_back(TdsValue::Text(v.Text()));
            else
                throw EdsError(where + ": values are texts or null");
        }
        table.AppendRecord(values);
    }
}

std::string TInstallation::IconBytes() {
    const int n = 32;
    auto put = [](std::string& s, uint32_t v, int width) {
        for (int i = 0; i < width; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    const uint32_t pixelBytes = n * n * 4, maskBytes = n * 4; // mask rows padded to 32 bits
    const uint32_t imageBytes = 40 + pixelBytes + maskBytes;
    std::string ico;
    put(ico, 0, 2); // reserved
    put(ico, 1, 2); // icon
    put(ico, 1, 2); // one image
    ico += static_cast<char>(n);
    ico += static_cast<char>(n);
    put(ico, 0, 2);  // no palette, reserved
    put(ico, 1, 2);  // planes
    put(ico, 32, 2); // bits per pixel
    put(ico, imageBytes, 4);
    put(ico, 22, 4); // offset of the image
    // BITMAPINFOHEADER: the height counts the colour rows and the mask rows.
    put(ico, 40, 4);
    put(ico, n, 4);
    put(ico, 2 * n, 4);
    put(ico, 1, 2);
    put(ico, 32, 2);
    put(ico, 0, 4);
    put(ico, pixelBytes + maskBytes, 4);
    put(ico, 0, 4);
    put(ico, 0, 4);
    put(ico, 0, 4);
    put(ico, 0, 4);
    // A tawny tile with dark diagonal brindle stripes and cut corners; rows bottom up, BGRA.
    for (int y = n - 1; y >= 0; --y)
        for (int x = 0; x < n; ++x) {
            int edge = std::min(std::min(x, n - 1 - x), std::min(y, n - 1 - y));
            bool corner = (std::min(x, n - 1 - x) + std::min(y, n - 1 - y)) < 4;
            bool stripe = ((x + y + (x * y) % 3) / 3) % 3 == 0;
            uint8_t r = stripe ? 0x5A : 0xC8, g = stripe ? 0x36 : 0x8A, b = stripe ? 0x1E : 0x46;
            if (edge == 0)
                r = 0x3C, g = 0x24, b = 0x14;
            uint8_t a = corner ? 0 : 0xFF;
            ico += static_cast<char>(b);
            ico += static_cast<char>(g);
            ico += static_cast<char>(r);
            ico += static_cast<char>(a);
        }
    ico.append(maskBytes, '\0'); // the alpha channel decides; the mask is all opaque
    return ico;
}

std::string TInstallation::SimulatorXML(const std::string& taxpayerID, const std::string& answerFolder) {
    struct TCard {
        std::string request, response;
    };
    struct TDisk {
        std::string request, param, response;
    };
    const std::string ok = "9000";
    const std::string disk = "fc ff cc bc  53 e1 ";
    std::vector<TCard> card = {
        {"00A40000023F00", ok},
        {"0084000008", "A1B2C3D4E5F60102" + ok},
        {"00A4000002EF05", ok},
        {"00A4000002EF06", ok},
        // The taxpayer from the fifth character, the card number from the 33rd (fourteen "0": no card is
        // registered in a fresh installation).
        {"00B000001A", "0000" + taxpayerID + ok},
        {"00B0002017", "00112233445566778899AABBCCDDEEFF" + std::string(14, '0') + ok},
        {"00B00086B4", PatternHex(180, 1) + ok},
        {"00B0013A5A", PatternHex(90, 2) + ok},
        // Eight records: the script reads six, the runner the two beyond them.
        {"00B0008402", "0800" + ok},
        {"00B001942D", PatternHex(45, 3) + ok},
        {"00B001C12D", PatternHex(45, 4) + ok},
        {"84E200000C", ok},
        {"AB", ok},
        // Disk commands whatever their parameter (the verification value is the device's).
        {disk + "7a*", ""},
        {disk + "82*", ""},
    };
    for (const char* command : {"85", "86", "87", "88", "89", "8a"})
        card.push_back({disk + command + "*", HexSpaced(std::string("\x12\x34\x56\x78", 4))});
    // The count answer: its third line is the number of stored invoices.
    std::vector<TDisk> diskRows = {
        {disk + "7d", "", "D3 D4"},
        {disk + "6a", "", HexSpaced(std::string("\x00\x01", 2) + taxpayerID)},
        {disk + "6b", "", HexSpaced("2026-12")},
        {disk + "6c", "", HexSpaced("2026-12")},
        {disk + "79", "", HexSpaced("BRINDLE\n20261211\n2\n")},
        {disk + "79", "01000000", HexSpaced("INV0001;20261201;1000.00;130.00")},
        {disk + "79", "02000000", HexSpaced("INV0002;20261205;2000.00;260.00")},
        {disk + "7e", "", "90 00"},
        {disk + "7f", "", "90 00"},
    };
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Request_Response>\n  <Card>\n";
    for (const TCard& c : card)
        xml += "    <Item Request=\"" + XmlEscape(c.request) + "\" Response=\"" + XmlEscape(c.response) +
               "\"/>\n";
    xml += "  </Card>\n  <Disk>\n";
    for (const TDisk& d : diskRows)
        xml += "    <Item Request=\"" + XmlEscape(d.request) + "\" Param=\"" + XmlEscape(d.param) +
               "\" Response=\"" + XmlEscape(d.response) + "\"/>\n";
    xml += "  </Disk>\n  <DownloadFileName>\n";
    for (const char* step : {"BS201", "BS202"})
        xml += std::string("    <") + step + ">" + XmlEscape(answerFolder + "KDR_Card_" + step + ".vtd") +
               "</" + step + ">\n";
    xml += "  </DownloadFileName>\n</Request_Response>\n";
    return xml;
}

bool TInstallation::CheckTaxpayerID(const std::string& taxpayerID, std::string& error) {
    if (TdsStrUtils::Trim(taxpayerID).empty())
        error = "the taxpayer identifier is empty";
    else if (taxpayerID == "." || taxpayerID == "..")
        error = "the taxpayer identifier \"" + taxpayerID + "\" cannot name a folder";
    else if (taxpayerID.find_first_of("/\\") != std::string::npos)
        error = "the taxpayer identifier must not contain \"/\" or \"\\\"";
    else if (HasControlCharacter(taxpayerID))
        error = "the taxpayer identifier must not contain control characters";
    else if (TdsStrUtils::Trim(taxpayerID) != taxpayerID)
        error = "the taxpayer identifier must not begin or end with blanks";
    else if (taxpayerID.size() > 100)
        error = "the taxpayer identifier is longer than 100 bytes";
    else
        return true;
    return false;
}

std::string TInstallation::DefaultRegionID(const std::string& taxpayerID, const std::string& taxDeptCode) {
    return RegionSubject(taxpayerID, taxDeptCode).substr(0, 2);
}

bool TInstallation::Install(const TInstallOptions& options, TInstallReport& report, std::string& error) {
    error.clear();
    const std::string& id = options.TaxpayerID;
    if (!CheckTaxpayerID(id, error))
        return false;
    if (TdsStrUtils::Trim(options.BaseFolder).empty()) {
        error = "no base folder given";
        return false;
    }
    for (const auto* value : {&options.EnterpriseName, &options.TaxDeptCode, &options.AuthenServer})
        if (*value && HasControlCharacter(**value)) {
            error = "option values must not contain control characters";
            return false;
        }
    if (options.EnterpriseName && CharacterCount(*options.EnterpriseName) > 50) {
        error = "the enterprise name is longer than 50 characters";
        return false;
    }
    if (options.TaxDeptCode && (options.TaxDeptCode->size() < 5 || options.TaxDeptCode->size() > 15 ||
                                !TdsStrUtils::IsAlphaNumeric(*options.TaxDeptCode))) {
        error = "the tax authority code must be 5 to 15 letters or digits";
        return false;
    }
    if (options.AuthenServer && !ValidServer(*options.AuthenServer)) {
        error = "the server must be given as HOST:PORT (port 1 to 65535)";
        return false;
    }
    // A long identifier finds its region through the tax authority's code kept for the user.
    std::string deptCode = options.TaxDeptCode.value_or("");
    if (id.size() > 15 && deptCode.empty())
        deptCode = ReadTaxDeptCode(id);
    if (id.size() > 15 && deptCode.empty()) {
        error = "a taxpayer identifier longer than 15 characters needs --tax-dept: its region is found from "
                "the tax authority's code";
        return false;
    }
    std::string subject = RegionSubject(id, deptCode);
    std::string regionID = options.RegionID.empty() ? DefaultRegionID(id, deptCode) : options.RegionID;
    if (HasControlCharacter(regionID) || regionID.empty() || !TdsStrUtils::StartsStr(regionID, subject)) {
        error = "the region ID \"" + regionID + "\" does not match " +
                (id.size() > 15 ? "the tax authority code's characters 2 to 4 \"" + subject + "\""
                                : "the taxpayer identifier");
        return false;
    }

    std::error_code ec;
    fs::path basePath = fs::absolute(fs::path(options.BaseFolder), ec).lexically_normal();
    std::string base = basePath.string();
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base != "/")
        base += '/';
    auto rel = [&](const std::string& file) {
        return TdsStrUtils::StartsStr(base, file) ? file.substr(base.size()) : file;
    };
    const std::string dat = base + "dat/", res = base + "res/", taxpayerFolder = dat + id + "/";
    const std::string masterFile = dat + "Master.mdb", taxpayerFile = taxpayerFolder + "Brindle.mdb";
    const std::string dllFile = base + "Config.dll", qelFile = base + "Config.qel";

    // Settings files that exist must be readable before anything is created: a damaged region file would
    // otherwise be replaced and its entries lost.
    TdsXMLNode qelRoot;
    if (TdsIOUtils::FileExists(qelFile)) {
        qelRoot = LoadEncodedXMLFile(qelFile);
        if (qelRoot.IsNull()) {
            error =
                "\"" + qelFile + "\" exists but is no encoded settings file; move it away to have a new one";
            return false;
        }
    }
    bool dllExists = TdsIOUtils::FileExists(dllFile);
    if (dllExists && LoadEncodedXMLFile(dllFile).IsNull()) {
        error = "\"" + dllFile + "\" exists but is no encoded settings file; move it away to have a new one";
        return false;
    }

    for (const std::string& folder : {base, dat, taxpayerFolder, taxpayerFolder + "Temp/", res,
                                      base + "Temp/", base + "Log/", base + "Upgrade/"})
        if (!TdsIOUtils::ForceFolders(folder)) {
            error = "cannot create the folder \"" + folder + "\"";
            return false;
        }

    // The system database: created once, never touched again.
    if (TdsIOUtils::FileExists(masterFile)) {
        report.Lines.push_back("kept " + rel(masterFile));
    } else {
        if (!CreateDatabaseFile(masterFile, SystemDatabaseScript(), error))
            return false;
        report.Lines.push_back("created " + rel(masterFile));
    }

    // The taxpayer database: created with the taxpayer's values; an existing one only takes the values given.
    std::vector<std::string> updates;
    if (options.EnterpriseName)
        updates.push_back(ConfigUpdate("System", "EnterpriseName", *options.EnterpriseName));
    if (options.TaxDeptCode)
        updates.push_back(ConfigUpdate("Network", "TaxDeptCode", *options.TaxDeptCode));
    if (options.AuthenServer)
        updates.push_back(ConfigUpdate("Network", "AuthenServer", *options.AuthenServer));
    if (TdsIOUtils::FileExists(taxpayerFile)) {
        if (updates.empty()) {
            report.Lines.push_back("kept " + rel(taxpayerFile));
        } else {
            TdsAdoDBKit kit;
            std::string why;
            if (!kit.Connect(taxpayerFile, kDatabasePassword, true, why) || !kit.ExecScriptOK(updates, why)) {
                error = "cannot update the database \"" + taxpayerFile + "\": " + why;
                return false;
            }
            kit.Disconnect();
            report.Lines.push_back("updated " + rel(taxpayerFile));
        }
    } else {
        std::vector<std::string> lines = TaxpayerDatabaseScript();
        lines.push_back(ConfigUpdate("System", "TaxpayerID", id));
        lines.insert(lines.end(), updates.begin(), updates.end());
        if (!CreateDatabaseFile(taxpayerFile, lines, error))
            return false;
        report.Lines.push_back("created " + rel(taxpayerFile));
    }
    if (id.size() > 15 && options.TaxDeptCode) {
        if (!WriteTaxDeptCode(id, *options.TaxDeptCode)) {
            error = "cannot store the tax authority code in \"" + TaxDeptCodeFile() + "\"";
            return false;
        }
        report.Lines.push_back("written " + TaxDeptCodeFile());
    }

    // The product description: written once; an edition's own file stays.
    if (dllExists) {
        report.Lines.push_back("kept " + rel(dllFile));
    } else {
        std::string xml = "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Product Version=\"" +
                          XmlEscape(options.Version) + "\">\r\n  <AppTitle>" + XmlEscape(options.AppTitle) +
                          "</AppTitle>\r\n  <Copyright>" + XmlEscape(options.Copyright) +
                          "</Copyright>\r\n</Product>\r\n";
        if (!WriteNewEncodedFile(xml, dllFile, error))
            return false;
        report.Lines.push_back("created " + rel(dllFile));
    }

    // The region file: the taxpayer's entry is added when no entry matches it; other entries stay.
    if (qelRoot.IsNull()) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Config>\r\n  <General>\r\n"
                          "    <RunMode>NORMAL</RunMode>\r\n  </General>\r\n  <Regions>\r\n" +
                          RegionEntryXml(regionID) + "  </Regions>\r\n</Config>\r\n";
        if (!WriteNewEncodedFile(xml, qelFile, error))
            return false;
        report.Lines.push_back("created " + rel(qelFile));
    } else if (MatchesRegion(qelRoot, subject)) {
        report.Lines.push_back("kept " + rel(qelFile));
    } else {
        TdsXMLParser parser;
        parser.Document = qelRoot.OwnerDocument();
        parser.Root = qelRoot;
        TdsXMLNode regions = FindChildNode(qelRoot, "Regions", false);
        if (regions.IsNull())
            regions = parser.AddChild(qelRoot, "Regions");
        AddRegionEntry(parser, regions, regionID);
        std::string encoding = parser.Document.Encoding().empty() ? "UTF-8" : parser.Document.Encoding();
        if (!WriteEncodedDocument(parser, encoding, qelFile, error))
            return false;
        report.Lines.push_back("updated " + rel(qelFile) + " (region " + regionID + ")");
    }

    // Installation files: rewritten every time (each replaced as a whole), so a newer tool refreshes them.
    if (!TdsIOUtils::WriteTextFile(IconBytes(), res + "Brindle.ico")) {
        error = "cannot write \"" + res + "Brindle.ico\"";
        return false;
    }
    report.Lines.push_back("written res/Brindle.ico");
    try {
        for (const std::string& name : TemplateNames()) {
            TVirtualTable table;
            LoadShippedTable(name, table);
            table.SaveToFile(res + name + ".vtd");
            report.Lines.push_back("written res/" + name + ".vtd");
        }
    } catch (const EdsError& e) {
        error = std::string("cannot write the templates: ") + e.what();
        return false;
    }

    std::string program = options.ProgramFile.empty()
                              ? TdsSysUtils::ModuleFolder() + "Brindle"
                              : fs::absolute(fs::path(options.ProgramFile), ec).string();
    std::string launcher = base + kLauncherName;
    if (!TdsIOUtils::WriteTextFile(Launcher(id, program), launcher) || ::chmod(launcher.c_str(), 0755) != 0) {
        error = "cannot write the launcher \"" + launcher + "\"";
        return false;
    }
    report.Lines.push_back(std::string("written ") + kLauncherName);

    if (options.Debug) {
        const std::string answers = res + "debug/";
        if (!TdsIOUtils::ForceFolders(answers)) {
            error = "cannot create the folder \"" + answers + "\"";
            return false;
        }
        try {
            for (const char* step : {"BS201", "BS202"}) {
                TVirtualTable table;
                LoadShippedTable(std::string("Debug_") + step, table);
                table.SaveToFile(answers + "KDR_Card_" + step + ".vtd");
                report.Lines.push_back("written res/debug/KDR_Card_" + std::string(step) + ".vtd");
            }
        } catch (const EdsError& e) {
            error = std::string("cannot write the debug answer scripts: ") + e.what();
            return false;
        }
        std::string xml = SimulatorXML(id, answers);
        std::string debugFile = base + "Request_Response.xml";
        if (!TdsIOUtils::WriteTextFile(xml, debugFile)) {
            error = "cannot write \"" + debugFile + "\"";
            return false;
        }
        report.Lines.push_back("written Request_Response.xml");
        // The simulator reads its tables beside the program, the switch is the file in the base folder.
        std::string programFolder = TdsIOUtils::ExtractFolder(program);
        std::string copy = programFolder + "Request_Response.xml";
        if (programFolder.empty() || copy == debugFile) {
            // The program lives in the base folder: one file serves both.
        } else if (FolderWritable(programFolder) && TdsIOUtils::WriteTextFile(xml, copy)) {
            report.Lines.push_back("written " + copy);
        } else {
            report.Notes.push_back("the simulator reads its tables from the program's folder: copy \"" +
                                   debugFile + "\" to \"" + copy + "\"");
        }
    }
    return true;
}
