#include "DiskUtils.h"

#include "UGlobal.h"
#include "USBDisk.h"
#include "UVirtualTable.h"
#include "UdsDialogs.h"
#include "UdsExceptions.h"
#include "UdsHexUtils.h"
#include "UdsIniFile.h"
#include "UdsStrUtils.h"
#include "UdsSysUtils.h"

#include <cstdio>

namespace {

constexpr const char* kOpenFailed = "打开报税盘失败，请检查设备连接是否正确！";

bool InDebugMode() {
    return Global != nullptr && Global->IsDebugMode();
}

std::string WithoutSpaces(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ')
            out += c;
    return out;
}

std::string Column(TVirtualTable& table, const char* name) {
    return table.FieldByName(name).AsString();
}

void SetColumn(TVirtualTable& table, const char* name, const std::string& value) {
    table.Edit();
    table.FieldByName(name).SetAsString(value);
    table.Post();
}

struct TTemplateRow {
    std::string Request;
    std::string Param;
    std::string Direction;
};

// A placeholder can only be resolved once command 7d has given the disk type.
void RequireDiskType(const std::string& diskType, const std::string& text) {
    if (diskType.empty() && !text.empty() && text[0] == '{')
        throw EdsError(TdsStrUtils::Format("报税盘脚本有误：“%s”出现在读取盘类型的指令（%s）之前！",
                                           {text, TDiskUtils::kDiskTypeCommand}));
}

} // namespace

TDiskUtils& GetDiskUtils() {
    static TDiskUtils utils;
    return utils;
}

std::string TDiskUtils::IndexToHex(int index) {
    char text[9];
    auto v = static_cast<uint32_t>(index);
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF,
                  (v >> 24) & 0xFF);
    return text;
}

std::string TDiskUtils::ReplaceCommand(const std::string& diskType, const std::string& text) {
    if (diskType.empty())
        return text;
    bool d3d4 = diskType == kDiskTypeD3D4;
    if (text == "{VERIFY}")
        return d3d4 ? "fc ff cc bc  53 e1 7a" : "fc ff cc bc  53 e1 82";
    if (text == "{GET_INV_COUNT}")
        return d3d4 ? "fc ff cc bc  53 e1 79" : "fc ff cc bc  53 e1 83";
    if (text == "{GET_INV}")
        return d3d4 ? "fc ff cc bc  53 e1 79" : "fc ff cc bc  53 e1 84";
    return text;
}

std::string TDiskUtils::VerifyParam(const std::string& diskType) const {
    bool d3d4 = diskType == kDiskTypeD3D4;
    const char* key = d3d4 ? "VerifyParam4" : "VerifyParam2";
    size_t digits = d3d4 ? 8 : 4;
    std::string file = IniFileName;
    if (file.empty() && Global != nullptr)
        file = Global->PathInfo->GetIniFile();
    std::string value = WithoutSpaces(TdsIniFile(file).ReadString("Disk", key, ""));
    // Never send a made-up value: the disk may count wrong verifications.
    if (value.size() != digits || !TdsHexUtils::IsHexText(value))
        throw EdsError(
            TdsStrUtils::Format("报税盘校验值未配置或有误：请在“%s”的[Disk]节中设置%s（%s位十六进制数）！",
                                {file, key, std::to_string(digits)}));
    return value;
}

std::string TDiskUtils::ReplaceParam(const std::string& diskType, const std::string& text) const {
    if (diskType.empty())
        return text;
    if (text == "{VERIFY_PARAM}")
        return VerifyParam(diskType);
    return text;
}

int TDiskUtils::GetInvoiceCount(const std::string& answer) {
    std::string text = TUSBDisk::HexToStr(answer);
    size_t first = text.find('\n');
    if (first == std::string::npos)
        return 0;
    size_t second = text.find('\n', first + 1);
    if (second == std::string::npos)
        return 0;
    size_t third = text.find('\n', second + 1);
    if (third == std::string::npos)
        return 0;
    std::string line = text.substr(second + 1, third - second - 1);
    if (line.empty())
        return 0;
    long long count = 0;
    if (!TdsStrUtils::TryStrToInt(line, count) || count < 0 || count > 0x7FFFFFFF)
        throw EdsError(TdsStrUtils::Format("报税盘返回的发票数量“%s”不是有效的数字！", {line}));
    return static_cast<int>(count);
}

bool TDiskUtils::ReadInvoices(const std::string& diskType, int count, TVirtualTable& table) {
    int marker = table.RecNo();
    // The marker, four template rows, one row passed over, the final command.
    if (table.RecordCount() - marker < 6)
        throw EdsError("报税盘脚本有误：发票模板之后缺少所需的行（四行模板、一行间隔、一行结束指令）！");
    TTemplateRow rows[4];
    for (auto& row : rows) {
        table.Next();
        std::string request = Column(table, "CMDRequest");
        std::string param = Column(table, "Param");
        RequireDiskType(diskType, request);
        if (param != "{CUR_INV_INDEX}")
            RequireDiskType(diskType, param);
        row = {ReplaceCommand(diskType, request), ReplaceParam(diskType, param), Column(table, "Direction")};
    }
    table.Next();
    table.Next();
    std::string finalCommand = Column(table, "CMDRequest");

    // From here on the file is saved with the rows done, whatever the outcome.
    invoiceRowsChanged_ = true;
    table.SetRecNo(marker);
    while (!table.IsEmpty() && !table.Eof()) {
        bool last = Column(table, "CMDRequest") == finalCommand;
        table.Delete();
        if (last)
            break;
    }

    bool d3d4 = diskType == kDiskTypeD3D4;
    int first = d3d4 ? 1 : 0;
    int last = d3d4 ? count : count - 1;
    for (int index = first; index <= last; ++index) {
        for (const auto& row : rows) {
            std::string param = row.Param == "{CUR_INV_INDEX}" ? IndexToHex(index) : row.Param;
            std::string answer;
            if (!TUSBDisk::SendCommand(row.Request, param, row.Direction, answer))
                return false;
            table.Append();
            table.FieldByName("CMDRequest").SetAsString(row.Request);
            table.FieldByName("Param").SetAsString(param);
            table.FieldByName("CMDResponse").SetAsString(answer);
            table.FieldByName("Direction").SetAsString(row.Direction);
            table.Post();
        }
    }
    table.Append();
    table.FieldByName("CMDRequest").SetAsString(finalCommand);
    table.Post();
    std::string answer;
    if (!TUSBDisk::SendCommand(finalCommand, "", "0", answer))
        return false;
    table.Edit();
    table.FieldByName("CMDResponse").SetAsString(answer);
    table.FieldByName("Direction").SetAsString("0");
    table.Post();
    return true;
}

bool TDiskUtils::RunRows(TVirtualTable& table) {
    std::string diskType;
    int count = 0;
    table.First();
    while (!table.Eof()) {
        std::string request = Column(table, "CMDRequest");
        std::string param = Column(table, "Param");
        std::string direction = Column(table, "Direction");
        if (request.empty())
            return ReadInvoices(diskType, count, table);
        bool requestPlaceholder = request[0] == '{';
        bool paramPlaceholder = !param.empty() && param[0] == '{';
        bool countRow = request == "{GET_INV_COUNT}";
        RequireDiskType(diskType, request);
        RequireDiskType(diskType, param);
        request = ReplaceCommand(diskType, request);
        param = ReplaceParam(diskType, param);
        if (requestPlaceholder)
            SetColumn(table, "CMDRequest", request);
        if (paramPlaceholder)
            SetColumn(table, "Param", param);
        std::string answer;
        if (!TUSBDisk::SendCommand(request, param, direction, answer))
            return false;
        if (TdsStrUtils::SameText(WithoutSpaces(request), "FCFFCCBC53E16A")) {
            size_t length = Global != nullptr ? Global->TaxpayerID.size() : std::string::npos;
            DiskTaxpayerID = TdsStrUtils::CopyFrom(TUSBDisk::HexToStr(answer), 3).substr(0, length);
        }
        if (request == kDiskTypeCommand)
            diskType = answer;
        if (countRow)
            count = GetInvoiceCount(answer);
        SetColumn(table, "CMDResponse", answer);
        table.Next();
    }
    return true;
}

bool TDiskUtils::ReadDisk(const std::string& fileName) {
    bool debug = InDebugMode();
    if (!debug && !TUSBDisk::OpenDisk()) {
        TdsDialogs::ShowError(kOpenFailed);
        return false;
    }
    bool result = false;
    bool saveTable = false;
    invoiceRowsChanged_ = false;
    TVirtualTable table;
    try {
        table.LoadFromFile(fileName);
        result = RunRows(table);
        // A failed fixed row leaves the file as it was; once the invoice rows are under way it is saved.
        saveTable = result || invoiceRowsChanged_;
    } catch (const EdsError& error) {
        TdsDialogs::ShowError(error.what());
        result = false;
        saveTable = invoiceRowsChanged_;
    }
    try {
        if (saveTable) {
            table.SaveToFile(fileName);
            TdsSysUtils::OutputDebugString(fileName);
        }
    } catch (const EdsError& error) {
        TdsDialogs::ShowError(error.what());
        result = false;
    }
    if (!debug)
        TUSBDisk::CloseDisk();
    return result;
}
