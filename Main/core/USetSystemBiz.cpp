#include "USetSystemBiz.h"

#include "UGlobal.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsEnvironment.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <climits>

namespace {

std::string FirstValue(TVirtualTable& table, const std::string& sql) {
    if (Global->TaxpayerDB->OpenQuery(table, sql) <= 0 || table.FieldCount() == 0)
        return "";
    return table.Value(0, 0).AsString();
}

} // namespace

std::string TSetSystemBiz::ReadConfigValue(const std::string& category, const std::string& key) {
    TVirtualTable table;
    return FirstValue(table,
                      "SELECT FValue FROM S_Config WHERE FCategory = " + TdsStrUtils::QuotedStr(category) +
                          " AND FKey = " + TdsStrUtils::QuotedStr(key));
}

bool TSetSystemBiz::WriteConfigValue(const std::string& category, const std::string& key,
                                     const std::string& value) {
    return Global->TaxpayerDB->ExecSQL("UPDATE S_Config SET FValue = " + TdsStrUtils::QuotedStr(value) +
                                       " WHERE FCategory = " + TdsStrUtils::QuotedStr(category) +
                                       " AND FKey = " + TdsStrUtils::QuotedStr(key)) > 0;
}

std::string TSetSystemBiz::GetDefaultRootPath() {
    std::string edition = Global->Copyright.find("40387") != std::string::npos ? "WRQ40387/" : "Lumbrane/";
    return TdsEnvironment::SpecialFolder(1) + edition;
}

std::string TSetSystemBiz::GetSystemPath(const std::string& key) {
    std::string path = TdsStrUtils::Trim(ReadConfigValue("System", key));
    if (path.empty() || !TdsIOUtils::FolderExists(path))
        path = GetDefaultRootPath();
    if (!TdsStrUtils::EndsText("/", path))
        path += "/";
    if (!TdsIOUtils::FolderExists(path))
        TdsIOUtils::ForceFolders(path);
    return path;
}

std::string TSetSystemBiz::ReadInitialAuthenPassword() {
    SQL = "SELECT FDefault FROM S_Config WHERE FCategory = 'Network' AND FKey = 'AuthenPassword'";
    return FirstValue(*vdsTemp, SQL);
}

std::string TSetSystemBiz::ReadInformServer() {
    std::string enabled = FindChildNode(Global->Options, "InformServerEnabled", false).Text();
    if (enabled != "1")
        return "";
    return ReadConfigValue("Network", "InformServer");
}

bool TSetSystemBiz::WriteInformServer(const std::string& value) {
    return WriteConfigValue("Network", "InformServer", value);
}

int TSetSystemBiz::ReadTimeOut() {
    return TimeOutValue(ReadConfigValue("Network", "TimeOut"));
}

int TSetSystemBiz::TimeOutValue(const std::string& text) {
    long long value = 0;
    if (!TdsStrUtils::TryStrToInt(text, value) || value <= 0 || value > INT_MAX)
        return kDefaultTimeOut;
    return static_cast<int>(value);
}
