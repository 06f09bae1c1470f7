#pragma once
// The per-taxpayer settings: rows (category, key) of S_Config in the taxpayer database, only ever updated,
// and the folders and server values derived from them.
#include "UBusiness.h"

#include <string>

class TSetSystemBiz : public TBusiness {
public:
    static constexpr int kDefaultTimeOut = 60000;

    // First column of the first row, "" when there is no row or the query failed (the kit has said why).
    static std::string ReadConfigValue(const std::string& category, const std::string& key);
    // True when at least one row changed; a key without a row changes nothing and gives false.
    static bool WriteConfigValue(const std::string& category, const std::string& key,
                                 const std::string& value);
    // The user's home + "Lumbrane/", or + "WRQ40387/" when the copyright text holds "40387".
    static std::string GetDefaultRootPath();
    // The folder stored under System/key, or the default root when it is blank or no existing folder;
    // always ends in "/" and exists afterwards (made with its parents). The stored value is not changed.
    static std::string GetSystemPath(const std::string& key);
    static std::string GetBackupPath() { return GetSystemPath("Path_Backup"); }
    // FDefault of Network/AuthenPassword: the initial network password.
    std::string ReadInitialAuthenPassword();
    // Network/InformServer when the taxpayer's option InformServerEnabled is exactly "1", else "".
    static std::string ReadInformServer();
    static bool WriteInformServer(const std::string& value);
    // The request time limit in milliseconds from Network/TimeOut.
    static int ReadTimeOut();
    // A time-out text as milliseconds: 60000 when it is empty, no whole number or not above zero (zero
    // would mean no limit at all to the HTTP stack).
    static int TimeOutValue(const std::string& text);
};
