#pragma once
// The application log: text files of technical traces (card command exchanges, medium mismatches).
// A file is opened, appended to and closed for every entry, so nothing stays open between entries and
// a crash loses at most the entry being written. Lines are CP936 bytes, each followed by CR LF. Every
// time stamp and every file-name date comes from the clock port.
#include "UdsStrUtils.h"

#include <cstdint>
#include <string>
#include <vector>

// An optional second receiver of every entry (a text control of a front end). No caller of this
// program attaches one; a rich-text sink colours its lines, a plain one ignores the colour.
class TdsLogOutput {
public:
    virtual ~TdsLogOutput() = default;
    virtual void AddLines(const std::vector<std::string>& lines, uint32_t color) = 0;
    // The colour of entries logged without one (a rich-text sink gives its font colour).
    virtual uint32_t DefaultColor() const { return 0x1FFFFFFF; }
};

class TdsAppLogger {
public:
    // The platform's default-colour marker, used when no sink says otherwise.
    static constexpr uint32_t clDefault = 0x1FFFFFFF;

    // nameMode 0: the program's name + ".log"; 1: one file per day, "yyyymmdd.log"; anything else
    // "todo.log". The folder is created with all missing parents; the first file check writes the
    // "Start Logger ..." header. keepFile is kept but has no effect (never switched on here).
    // Write errors raise EdsError (the logger does not hide them from its caller).
    TdsAppLogger(uint8_t nameMode, bool keepFile, TdsLogOutput* output, const std::string& folder);
    // Appends the closing line of 100 "-" (errors swallowed: a destructor must not raise).
    ~TdsAppLogger();
    TdsAppLogger(const TdsAppLogger&) = delete;
    TdsAppLogger& operator=(const TdsAppLogger&) = delete;

    // Plain entry in the default colour.
    void Log(const std::string& text);
    // Encoded true: one line with the text compressed (zlib) and Base64-encoded.
    void Log(const std::string& text, bool encoded);
    void Log(uint32_t color, const std::string& text, bool encoded);

    // The text of an encoded line as written by Log(..., true): time stamp, two spaces,
    // "<LOG>" Base64 "</LOG>". False when the line is not such a line or its data are damaged.
    static bool DecodeEntry(const std::string& line, std::string& text);

    uint8_t NameMode() const { return nameMode_; }
    // Always ends in "/".
    const std::string& Folder() const { return folder_; }
    // The file currently written; empty until the first check.
    const std::string& FileName() const { return fileName_; }
    TdsLogOutput* Output() const { return output_; }
    bool KeepFile() const { return keepFile_; }

private:
    std::string WantedFileName() const;
    // Switches to the wanted file when it differs from the current one (start of the run, a new day).
    void CheckLogFile();
    // Appends Lines to the current file, each followed by CR LF.
    void WriteLines();
    void OutputLines(uint32_t color);

    uint8_t nameMode_;
    std::string folder_;
    std::string fileName_;
    TdsLogOutput* output_;
    bool keepFile_;
    TdsStrings lines_;
};
