#include "UdsIniFile.h"

#include "UdsEncoding.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";

} // namespace

TdsIniFile::TdsIniFile(const std::string& fileName) : fileName_(fileName) {
    std::string bytes;
    if (!TdsIOUtils::TryReadTextFile(fileName, bytes))
        return;
    std::string text;
    if (bytes.compare(0, 3, kUtf8Bom) == 0) {
        utf8Bom_ = true;
        text = bytes.substr(3);
    } else {
        text = TdsEncoding::AnsiToUtf8(bytes);
    }
    size_t crlf = text.find("\r\n");
    size_t lf = text.find('\n');
    if (lf != std::string::npos)
        lineBreak_ = (crlf != std::string::npos && crlf + 1 == lf) ? "\r\n" : "\n";

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines_.push_back(ParseLine(text.substr(start)));
            break;
        }
        lines_.push_back(ParseLine(text.substr(start, end - start)));
        start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
}

TdsIniFile::TLine TdsIniFile::ParseLine(const std::string& text) {
    TLine line;
    line.text = text;
    std::string t = TdsStrUtils::Trim(text);
    if (t.empty() || t[0] == ';' || t[0] == '#')
        return line;
    if (t[0] == '[') {
        size_t close = t.find(']');
        if (close != std::string::npos) {
            line.kind = 1;
            line.name = TdsStrUtils::Trim(t.substr(1, close - 1));
        }
        return line;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos || eq == 0)
        return line;
    line.kind = 2;
    line.name = TdsStrUtils::Trim(t.substr(0, eq));
    line.value = TdsStrUtils::Trim(t.substr(eq + 1));
    return line;
}

int TdsIniFile::FindSection(const std::string& section) const {
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == 1 && TdsStrUtils::SameText(lines_[i].name, TdsStrUtils::Trim(section)))
            return static_cast<int>(i);
    return -1;
}

size_t TdsIniFile::SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != 1)
        ++i;
    return i;
}

int TdsIniFile::FindKey(const std::string& section, const std::string& key) const {
    int header = FindSection(section);
    if (header < 0)
        return -1;
    std::string k = TdsStrUtils::Trim(key);
    size_t end = SectionEnd(static_cast<size_t>(header));
    for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i)
        if (lines_[i].kind == 2 && TdsStrUtils::SameText(lines_[i].name, k))
            return static_cast<int>(i);
    return -1;
}

std::string TdsIniFile::ReadString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) const {
    int i = FindKey(section, key);
    return i < 0 ? defaultValue : lines_[static_cast<size_t>(i)].value;
}

long long TdsIniFile::ReadInteger(const std::string& section, const std::string& key,
                                  long long defaultValue) const {
    int i = FindKey(section, key);
    long long value = 0;
    if (i >= 0 && TdsStrUtils::TryStrToInt(lines_[static_cast<size_t>(i)].value, value))
        return value;
    return defaultValue;
}

bool TdsIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const {
    int i = FindKey(section, key);
    if (i < 0)
        return defaultValue;
    const std::string& v = lines_[static_cast<size_t>(i)].value;
    long long n = 0;
    if (TdsStrUtils::TryStrToInt(v, n))
        return n != 0;
    if (TdsStrUtils::SameText(v, "true"))
        return true;
    if (TdsStrUtils::SameText(v, "false"))
        return false;
    return defaultValue;
}

void TdsIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    std::string k = TdsStrUtils::Trim(key);
    std::string v = TdsStrUtils::Trim(value);
    // A line break inside the value would split it into lines of its own on the next read.
    for (char& c : v)
        if (c == '\r' || c == '\n')
            c = ' ';
    TLine line;
    line.kind = 2;
    line.name = k;
    line.value = v;
    line.text = k + "=" + v;

    int i = FindKey(section, key);
    if (i >= 0) {
        TLine& old = lines_[static_cast<size_t>(i)];
        if (old.value == v)
            return;
        line.name = old.name; // keep the spelling of the file
        line.text = old.name + "=" + v;
        old = line;
        modified_ = true;
        return;
    }
    int header = FindSection(section);
    if (header < 0) {
        if (!lines_.empty() && !TdsStrUtils::Trim(lines_.back().text).empty())
            lines_.push_back(ParseLine(""));
        lines_.push_back(ParseLine("[" + TdsStrUtils::Trim(section) + "]"));
        lines_.push_back(line);
    } else {
        // After the last non-blank line of the section, so a blank separator stays before the next one.
        size_t end = SectionEnd(static_cast<size_t>(header));
        size_t at = end;
        while (at > static_cast<size_t>(header) + 1 && TdsStrUtils::Trim(lines_[at - 1].text).empty())
            --at;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
    }
    modified_ = true;
}

void TdsIniFile::WriteInteger(const std::string& section, const std::string& key, long long value) {
    WriteString(section, key, std::to_string(value));
}

void TdsIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

bool TdsIniFile::SectionExists(const std::string& section) const {
    return FindSection(section) >= 0;
}

bool TdsIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return FindKey(section, key) >= 0;
}

void TdsIniFile::ReadSection(const std::string& section, std::vector<std::string>& keys) const {
    keys.clear();
    int header = FindSection(section);
    if (header < 0)
        return;
    size_t end = SectionEnd(static_cast<size_t>(header));
    for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i)
        if (lines_[i].kind == 2)
            keys.push_back(lines_[i].name);
}

void TdsIniFile::ReadSections(std::vector<std::string>& sections) const {
    sections.clear();
    for (const TLine& line : lines_)
        if (line.kind == 1)
            sections.push_back(line.name);
}

void TdsIniFile::EraseSection(const std::string& section) {
    int header;
    while ((header = FindSection(section)) >= 0) {
        size_t end = SectionEnd(static_cast<size_t>(header));
        lines_.erase(lines_.begin() + header, lines_.begin() + static_cast<std::ptrdiff_t>(end));
        modified_ = true;
    }
}

void TdsIniFile::DeleteKey(const std::string& section, const std::string& key) {
    std::string s = TdsStrUtils::Trim(section);
    std::string k = TdsStrUtils::Trim(key);
    bool inSection = false;
    for (size_t i = 0; i < lines_.size();) {
        if (lines_[i].kind == 1)
            inSection = TdsStrUtils::SameText(lines_[i].name, s);
        if (inSection && lines_[i].kind == 2 && TdsStrUtils::SameText(lines_[i].name, k)) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            modified_ = true;
        } else {
            ++i;
        }
    }
}

bool TdsIniFile::UpdateFile() {
    std::string text;
    for (const TLine& line : lines_) {
        text += line.text;
        text += lineBreak_;
    }
    std::string bytes = utf8Bom_ ? std::string(kUtf8Bom) + text : TdsEncoding::Utf8ToAnsi(text);
    if (!TdsIOUtils::WriteTextFile(bytes, fileName_))
        return false;
    modified_ = false;
    return true;
}
