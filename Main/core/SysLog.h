#pragma once
// The system log: daily text files in the "SysLog" folder beside the program, holding the failures the
// server protocol reports. One TSysLog is made per line; no file stays open between lines, and writing
// never raises.
#include <string>

class TSysLog {
public:
    // FileName = folder + "SysLog/" + the program's file name + "_" + today as "YYYYMMDD" + "_log.log",
    // e.g. "Brindle.exe_20140825_log.log". The program file keeps its extension; on Linux the
    // executable has none, so the plain name is used ("Brindle_20140825_log.log"). The folder defaults
    // to the program's folder (an installation or a test may choose another); the SysLog folder is
    // created when missing.
    explicit TSysLog(const std::string& folder = "");

    // Appends "yyyy-mm-dd hh:nn:ss--" + text + CR LF as CP936. False on any error, which is swallowed.
    bool WriteLine(const std::string& text);

    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};

// Makes a TSysLog beside the program, writes the line and frees it.
bool WriteSysLog(const std::string& text);
