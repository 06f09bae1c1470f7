#include "SysLog.h"

#include "UdsClock.h"
#include "UdsDateUtils.h"
#include "UdsEncoding.h"
#include "UdsIOUtils.h"
#include "UdsSysUtils.h"

#include <cstdio>

TSysLog::TSysLog(const std::string& folder) {
    try {
        std::string base = folder.empty() ? TdsSysUtils::ModuleFolder() : folder;
        if (!base.empty() && base.back() != '/')
            base += '/';
        std::string logFolder = base + "SysLog/";
        fileName_ = logFolder + TdsIOUtils::ExtractName(TdsSysUtils::ModuleFile()) + "_" +
                    TdsDateUtils::FormatCompactDate(TdsClock::Now()) + "_log.log";
        // A folder that cannot be made makes WriteLine fail; the system log never raises.
        TdsIOUtils::ForceFolders(logFolder);
    } catch (...) {
    }
}

bool TSysLog::WriteLine(const std::string& text) {
    try {
        if (fileName_.empty())
            return false;
        std::string bytes =
            TdsEncoding::Utf8ToAnsi(TdsDateUtils::FormatDateTime(TdsClock::Now()) + "--" + text) + "\r\n";
        std::FILE* f = std::fopen(fileName_.c_str(), "ab");
        if (!f)
            return false;
        bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    } catch (...) {
        return false;
    }
}

bool WriteSysLog(const std::string& text) {
    TSysLog log;
    return log.WriteLine(text);
}
