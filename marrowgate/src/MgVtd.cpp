// VTD XML files: written as text, one row per command as it comes (the file grows, memory does not), and
// read back for the pending rows of a VTD text.
#include "MgCore.h"
#include "MgXml.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

const char kHeader[] =
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' "
    "xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' xmlns:rs='urn:schemas-microsoft-com:rowset' "
    "xmlns:z='#RowsetSchema'>\n"
    "<s:Schema id='RowsetSchema'>\n"
    "  <s:ElementType name='row' content='eltOnly' rs:updatable='true'>\n"
    "\t<s:AttributeType name='ExecStatusC' rs:number='1' rs:nullable='true' rs:writeunknown='true'>\n"
    "\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='2'/>\n"
    "\t</s:AttributeType>\n"
    "\t<s:AttributeType name='CMDRequest' rs:number='2' rs:nullable='true' rs:writeunknown='true'>\n"
    "\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='200'/>\n"
    "\t</s:AttributeType>\n"
    "\t<s:AttributeType name='CMDRemark' rs:number='3' rs:nullable='true' rs:writeunknown='true'>\n"
    "\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='100'/>\n"
    "\t</s:AttributeType>\n"
    "\t<s:AttributeType name='CMDResponse' rs:number='4' rs:nullable='true' rs:writeunknown='true'>\n"
    "\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='8000'/>\n"
    "\t</s:AttributeType>\n"
    "\t<s:AttributeType name='ExecStatusS' rs:number='5' rs:nullable='true' rs:writeunknown='true'>\n"
    "\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='2'/>\n"
    "\t</s:AttributeType>\n"
    "\t<s:AttributeType name='ErrorCMD' rs:number='6' rs:nullable='true' rs:writeunknown='true'>\n"
    "\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='20'/>\n"
    "\t</s:AttributeType>\n"
    "\t<s:extends type='rs:rowbase'/>\n"
    "  </s:ElementType>\n"
    "</s:Schema>\n";

const char kDataOpen[] = "  <rs:data>\n";
const char kDataClose[] = "  </rs:data>\n</xml>\n";

// The row lines as the library writes them (the odd spacing is part of the file form).
const char kWriteRow[] =
    "    <z:row ExecStatusC='1' CMDRequest='%s' CMDRemark='备注不详'  ExecStatusS='0'  ErrorCMD='0' />";
const char kReadRow[] = "    <z:row ExecStatusC='1' CMDRequest='%s' CMDRemark='指令不详' CMDResponse='%s' "
                        "ExecStatusS='0'   ErrorCMD='0'/>";
const char kReadRowEmpty[] =
    "    <z:row ExecStatusC='1' CMDRequest='%s' CMDRemark='指令不详'  ExecStatusS='0'  ErrorCMD='0'/>";

struct TBlockRow {
    const char* Request;
    const char* Remark;
    const char* Response; // empty: no CMDResponse attribute
    const char* StatusS;
    const char* ErrorCmd;
};

const TBlockRow kClearCard10[] = {
    {"{ClearCard}", "fc ff cc bc 53 e1 a7", "", "0", "1"},
    {"fc ff cc bc 53 e1 aa", "指令不详", "00 00", "0", "0"},
    {"fc ff cc bc 53 e1 26", "指令不详", "a3 5c c5 3a", "0", "0"},
    {"fc ff cc bc 53 e1 aa", "指令不详", "00 00", "99", "0"},
};

const TBlockRow kClearCard20[] = {
    {"{ClearCardA7}", "fc ff cc bc 53 e1 a7", "", "0", "1"},
    {"fc ff cc bc 53 e1 aa", "指令不详", "00 00", "0", "0"},
    {"{ClearCardC7}", "fc ff cc bc 53 e1 c7", "", "0", "1"},
    {"fc ff cc bc 53 e1 aa", "指令不详", "00 00", "0", "0"},
    {"fc ff cc bc 53 e1 26", "指令不详", "a3 5c c5 3a", "0", "0"},
    {"fc ff cc bc 53 e1 aa", "指令不详", "00 00", "99", "0"},
};

// The file being written; every write error is remembered, so a full disk is never reported as success.
class TVtdWriter {
public:
    explicit TVtdWriter(FILE* file) : file_(file) {
        // A large buffer: rows go out in big writes however many there are.
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    }
    void Put(const char* text) { Put(text, std::strlen(text)); }
    void Put(const char* text, size_t size) {
        if (std::fwrite(text, 1, size, file_) != size)
            failed_ = true;
    }
    void Put(const std::string& text) { Put(text.data(), text.size()); }
    // The row line with its placeholders filled (the texts are hex digits and spaces only).
    void Row(const char* format, const std::string& command, const std::string& answer = std::string()) {
        line_.clear();
        const char* first = std::strstr(format, "%s");
        line_.append(format, static_cast<size_t>(first - format));
        line_ += command;
        const char* rest = first + 2;
        if (const char* second = std::strstr(rest, "%s")) {
            line_.append(rest, static_cast<size_t>(second - rest));
            line_ += answer;
            rest = second + 2;
        }
        line_ += rest;
        line_ += '\n';
        Put(line_);
    }
    void Block(const TBlockRow* rows, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const TBlockRow& r = rows[i];
            line_ = "    <z:row ExecStatusC='0' CMDRequest='";
            line_ += r.Request;
            line_ += "' CMDRemark='";
            line_ += r.Remark;
            line_ += '\'';
            if (*r.Response != '\0') {
                line_ += " CMDResponse='";
                line_ += r.Response;
                line_ += '\'';
            }
            line_ += " ExecStatusS='";
            line_ += r.StatusS;
            line_ += "' ErrorCMD='";
            line_ += r.ErrorCmd;
            line_ += "'/>\n";
            Put(line_);
        }
    }
    // Closes the file; false when anything failed to reach it.
    bool Close() {
        bool ok = std::fclose(file_) == 0 && !failed_;
        file_ = nullptr;
        return ok;
    }

private:
    FILE* file_;
    bool failed_ = false;
    std::string line_;
};

uint8_t FunctionOf(const TransferCommand& entry) {
    std::vector<uint8_t> bytes;
    HexTextToBytes(entry.Command, bytes);
    return bytes.empty() ? 0 : bytes.back();
}

void BuildList(TVtdMode mode, const std::vector<uint8_t>& verify) {
    CommandList.clear();
    CommandList.push_back(ReadCommand(0x09, 2));
    CommandList.push_back(WriteCommand(0x40, verify));
    CommandList.back().Length = 4;
    CommandList.push_back(ReadCommand(0xaa, 2));
    CommandList.push_back(ReadCommand(0x28, 17));
    CommandList.push_back(ReadCommand(0xaa, 2));
    if (mode == TVtdMode::ClearCard) {
        CommandList.push_back(ReadCommand(0xa4, 317));
        return;
    }
    CommandList.push_back(ReadCommand(0xc9, 61));
    CommandList.push_back(ReadCommand(0x09, 2));
    CommandList.push_back(ReadCommand(0x28, 17));
    CommandList.push_back(ReadCommand(0xaa, 2));
    CommandList.push_back(ReadCommand(0xa4, 317));
    CommandList.push_back(ReadCommand(0x09, 2));
    CommandList.push_back(ReadCommand(0xc9, 61));
    CommandList.push_back(ReadCommand(0xa3, 9));
    CommandList.push_back(ReadCommand(0xa5, 2057));
}

int RunList(TVtdWriter& writer, TVtdMode mode, bool verifyConfigured) {
    int result = 1;
    uint32_t repeat = 1;
    bool first09 = true;
    size_t skip = 0;
    std::vector<uint8_t> buffer;
    for (const TransferCommand& entry : CommandList) {
        if (RunFlag.load() == 0)
            return -5;
        if (skip > 0) {
            --skip;
            continue;
        }
        uint8_t function = FunctionOf(entry);
        std::vector<uint8_t> command;
        HexTextToBytes(entry.Command, command);
        std::string commandText = BytesToHexText(command.data(), command.size());
        if (entry.Direction != 0 && function == 0x40 && !verifyConfigured)
            return MARROWGATE_NOT_CONFIGURED;
        buffer.assign(static_cast<size_t>(entry.Length), 0);
        uint32_t times = repeat;
        repeat = 1;
        for (uint32_t n = 0; n < times; ++n) {
            if (RunFlag.load() == 0)
                return -5;
            uint32_t transferred = 0;
            bool sent = TransferOne(entry, buffer.data(), transferred);
            if (RunFlag.load() == 0)
                return -5;
            if (!sent || transferred != static_cast<uint32_t>(entry.Length))
                return -4;
            if (entry.Direction != 0) {
                writer.Row(kWriteRow, commandText);
            } else {
                std::string answer = BytesToHexText(buffer.data(), transferred);
                if (function == 0x09 && first09 && transferred >= 2) {
                    first09 = false;
                    if (!(buffer[0] == 0xEE && buffer[1] == 0xEE))
                        skip = 2;
                }
                writer.Row(answer.empty() ? kReadRowEmpty : kReadRow, commandText, answer);
            }
            if (mode == TVtdMode::ClearCard && function == 0xa4) {
                if (DataType == 10)
                    writer.Block(kClearCard10, std::size(kClearCard10));
                else if (DataType == 20)
                    writer.Block(kClearCard20, std::size(kClearCard20));
                break;
            }
        }
        if (function == 0xa3 && entry.Direction == 0) {
            repeat = static_cast<uint32_t>(buffer[4]) | static_cast<uint32_t>(buffer[5]) << 8 |
                     static_cast<uint32_t>(buffer[6]) << 16 | static_cast<uint32_t>(buffer[7]) << 24;
            if (repeat == 0xFFFFFFFFu && mode == TVtdMode::Declaration)
                return -6;
        }
    }
    return result;
}

std::string WithoutSpaces(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            out += c;
    return out;
}

bool AllHexPairs(const std::string& text) {
    if (text.size() % 2 != 0)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

int WriteVtdFile(const char* fileName, TVtdMode mode) {
    if (fileName == nullptr)
        return 0;
    std::vector<uint8_t> verify = ConfiguredVerifyValue();
    bool verifyConfigured = !verify.empty();
    if (!verifyConfigured)
        verify.assign(4, 0); // never sent: the run stops at the 40 entry
    BuildList(mode, verify);
    if (!DeviceOpen())
        return -1;
    FILE* file = std::fopen(fileName, "wb");
    if (file == nullptr) {
        DeviceClose();
        return -2;
    }
    TVtdWriter writer(file);
    writer.Put(kByteOrderMark, 3);
    writer.Put(kHeader);
    writer.Put(kDataOpen);
    int result = RunList(writer, mode, verifyConfigured);
    DeviceClose();
    writer.Put(kDataClose);
    if (!writer.Close() && result == 1)
        result = -2;
    if (result != 1)
        std::remove(fileName);
    return result;
}

bool ParseOrderXml(const std::string& text, std::vector<TOrderRow>& rows) {
    rows.clear();
    // The text stays UTF-8: only status flags and hex texts are read from it.
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return false;
    size_t last = text.find_last_not_of(" \t\r\n");
    std::unique_ptr<TXmlElement> root = ParseXml(text.substr(first, last - first + 1));
    if (root == nullptr)
        return false;
    const TXmlElement* data = root->Child("rs:data");
    if (data == nullptr)
        return false;
    for (const auto& child : data->Children) {
        if (child->Name != "z:row")
            continue;
        std::string status;
        if (!child->Attribute("ExecStatusC", status) || status != "0")
            continue;
        std::string request, response, errorCmd;
        child->Attribute("CMDRequest", request);
        child->Attribute("CMDResponse", response);
        child->Attribute("ErrorCMD", errorCmd);
        std::string command = WithoutSpaces(request);
        if (command.size() > 14) {
            if (command.size() != 62)
                return false;
            command = command.substr(30, 14);
        }
        TOrderRow row;
        row.Write = errorCmd != "0";
        row.Command = command;
        row.Data = WithoutSpaces(response);
        // A row that cannot become a command (a placeholder still in braces, a lone digit, nothing to
        // move) makes the text unusable before anything is sent.
        if (row.Command.empty() || !AllHexPairs(row.Command) || row.Data.empty() || !AllHexPairs(row.Data) ||
            row.Data.size() / 2 > 255)
            return false;
        rows.push_back(std::move(row));
    }
    return !rows.empty();
}
