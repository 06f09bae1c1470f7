#include "UUserManageBiz.h"

#include "UGlobal.h"
#include "UdsAdoDBKit.h"
#include "UdsStrUtils.h"

bool TUserManageBiz::FindUser(const std::string& code, std::string& name, bool& reserved,
                              std::string& password) {
    name.clear();
    reserved = false;
    password.clear();
    SQL = "SELECT * FROM S_User WHERE FCode = " + TdsStrUtils::QuotedStr(code);
    if (Global->SystemDB->OpenQuery(*vdsTemp, SQL) <= 0)
        return false;
    // A column missing from a damaged table reads as empty rather than ending the caller.
    auto value = [this](const char* field) {
        int index = vdsTemp->FieldIndex(field);
        return index < 0 ? TdsValue() : vdsTemp->Value(0, index);
    };
    name = value("FName").AsString();
    reserved = value("FReserve").AsBoolean();
    password = value("FPassword").AsString();
    return true;
}
