#include "UdsDBKit.h"

void TConnectInfo::Assign(const TConnectInfo& source) {
    if (&source == this)
        return;
    Server = source.Server;
    Database = source.Database;
    UserName = source.UserName;
    Password = source.Password;
}

void TConnectInfo::Clear() {
    Server.clear();
    Database.clear();
    UserName.clear();
    Password.clear();
}

TdsDBKit::TdsDBKit() : ConnectInfo(std::make_unique<TConnectInfo>()) {}

TdsDBKit::~TdsDBKit() = default;

void TdsDBKit::Disconnect() {
    ConnectInfo->Clear();
}

namespace {
TdsStrings ToStrings(const std::vector<std::string>& lines) {
    TdsStrings list;
    list.Items = lines;
    return list;
}
} // namespace

int TdsDBKit::ExecScript(const std::vector<std::string>& lines, std::string& errorText) {
    return ExecScript(ToStrings(lines), errorText);
}

int TdsDBKit::ExecScript(const std::vector<std::string>& lines, bool raiseOnError) {
    return ExecScript(ToStrings(lines), raiseOnError);
}

int TdsDBKit::ExecScript(const std::vector<std::string>& lines) {
    return ExecScript(ToStrings(lines));
}

bool TdsDBKit::ExecScriptOK(const std::vector<std::string>& lines) {
    return ExecScriptOK(ToStrings(lines));
}

bool TdsDBKit::ExecScriptOK(const std::vector<std::string>& lines, std::string& errorText) {
    return ExecScriptOK(ToStrings(lines), errorText);
}
