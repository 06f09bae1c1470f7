#pragma once
// A small INI file: read at construction, changed in memory, written back by UpdateFile.
// Sections and keys compare ignoring (ASCII) case; lines the program does not touch, comments
// included, stay as they are. The file bytes are CP936 (a file starting with a UTF-8 byte order
// mark is kept UTF-8). Keys and values are trimmed of blanks.
#include <string>
#include <vector>

class TdsIniFile {
public:
    // A missing or unreadable file gives an empty INI file (written on UpdateFile).
    explicit TdsIniFile(const std::string& fileName);

    const std::string& FileName() const { return fileName_; }

    // The value of the first such key of the first such section, or the default when missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // The default when the key is missing or its value is no integer.
    long long ReadInteger(const std::string& section, const std::string& key, long long defaultValue) const;
    // An integer value is true unless 0; "true"/"false" are taken too; anything else gives the default.
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

    // Replaces the value of an existing key, or adds the key at the end of the section (a missing
    // section is added at the end of the file).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, long long value);
    // Writes "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // The keys of the section in file order (empty when the section is missing).
    void ReadSection(const std::string& section, std::vector<std::string>& keys) const;
    // The names of all sections in file order.
    void ReadSections(std::vector<std::string>& sections) const;
    // Removes every section of that name with all its lines.
    void EraseSection(const std::string& section);
    // Removes every such key of every such section.
    void DeleteKey(const std::string& section, const std::string& key);

    // True when there are changes not written yet.
    bool Modified() const { return modified_; }
    // Writes the lines back (temporary file in the same folder renamed over the target). False when
    // the file could not be written; the old file is then left as it was.
    bool UpdateFile();

private:
    struct TLine {
        std::string text;  // the line as read (UTF-8), without line break
        int kind = 0;      // 0 other (comment, blank, junk), 1 section header, 2 key line
        std::string name;  // section name or key, trimmed
        std::string value; // key value, trimmed
    };

    static TLine ParseLine(const std::string& text);
    // Index of the first header of the section, -1 when missing.
    int FindSection(const std::string& section) const;
    // Index one past the last line of the section that starts at header index.
    size_t SectionEnd(size_t header) const;
    int FindKey(const std::string& section, const std::string& key) const;

    std::string fileName_;
    std::vector<TLine> lines_;
    std::string lineBreak_ = "\r\n";
    bool utf8Bom_ = false;
    bool modified_ = false;
};
