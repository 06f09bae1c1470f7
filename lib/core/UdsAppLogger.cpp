#include "UdsAppLogger.h"

#include "UdsApplication.h"
#include "UdsClock.h"
#include "UdsDateUtils.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsSysUtils.h"

#include <cstdio>

namespace {

const std::string kDashes(100, '-');
const std::string kOpenTag = "<LOG>";
const std::string kCloseTag = "</LOG>";

} // namespace

TdsAppLogger::TdsAppLogger(uint8_t nameMode, bool keepFile, TdsLogOutput* output, const std::string& folder)
    : nameMode_(nameMode), folder_(folder), output_(output), keepFile_(keepFile) {
    if (folder_.empty())
        folder_ = "./";
    else if (folder_.back() != '/')
        folder_ += '/';
    // A folder that cannot be made shows up as the write error of the first check.
    TdsIOUtils::ForceFolders(folder_);
    CheckLogFile();
}

TdsAppLogger::~TdsAppLogger() {
    if (fileName_.empty())
        return;
    lines_.Clear();
    lines_.Add(kDashes);
    try {
        WriteLines();
        OutputLines(output_ ? output_->DefaultColor() : clDefault);
    } catch (...) {
    }
}

std::string TdsAppLogger::WantedFileName() const {
    switch (nameMode_) {
    case 0:
        return folder_ + TdsIOUtils::ExtractBaseName(TdsSysUtils::ModuleFile(), false) + ".log";
    case 1:
        return folder_ + TdsDateUtils::FormatCompactDate(TdsClock::Now()) + ".log";
    default:
        return folder_ + "todo.log";
    }
}

void TdsAppLogger::CheckLogFile() {
    std::string wanted = WantedFileName();
    if (wanted == fileName_)
        return;
    lines_.Clear();
    // A blank line parts this run's lines from what an earlier run (or day) left in the file.
    if (TdsIOUtils::FileExists(wanted))
        lines_.Add("");
    if (fileName_.empty()) {
        lines_.Add(TdsDateUtils::FormatDateTime(TdsClock::Now()) + "  Start Logger ...");
        lines_.Add(kDashes);
    }
    fileName_ = wanted;
    WriteLines();
    OutputLines(output_ ? output_->DefaultColor() : clDefault);
}

void TdsAppLogger::WriteLines() {
    std::string bytes;
    for (const std::string& line : lines_.Items)
        bytes += TdsEncoding::Utf8ToAnsi(line) + "\r\n";
    // Append mode: every write lands at the current end, even if another run writes the same file.
    std::FILE* f = std::fopen(fileName_.c_str(), "ab");
    if (!f)
        throw EdsError(TdsStrUtils::Format("无法打开日志文件“%s”！", {fileName_}));
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        throw EdsError(TdsStrUtils::Format("无法写入日志文件“%s”！", {fileName_}));
}

void TdsAppLogger::OutputLines(uint32_t color) {
    if (output_ && !lines_.Items.empty())
        output_->AddLines(lines_.Items, color);
}

void TdsAppLogger::Log(const std::string& text) {
    Log(output_ ? output_->DefaultColor() : clDefault, text, false);
}

void TdsAppLogger::Log(const std::string& text, bool encoded) {
    Log(output_ ? output_->DefaultColor() : clDefault, text, encoded);
}

void TdsAppLogger::Log(uint32_t color, const std::string& text, bool encoded) {
    CheckLogFile();
    TDateTime now = TdsClock::Now();
    std::string stamp = nameMode_ == 1 ? TdsDateUtils::FormatTime(now) : TdsDateUtils::FormatDateTime(now);

    if (encoded) {
        lines_.Clear();
        lines_.Add(stamp + "  " + kOpenTag + TdsIOUtils::ZipBase64(TdsEncoding::Utf8ToAnsi(text)) +
                   kCloseTag);
    } else {
        lines_.SetText(text);
        if (lines_.Items.empty())
            lines_.Add("");
        if (!lines_[0].empty())
            lines_[0] = stamp + "  " + lines_[0];
        const std::string indent(stamp.size() + 2, ' ');
        for (size_t i = 1; i < lines_.Items.size(); ++i)
            if (!lines_.Items[i].empty())
                lines_.Items[i] = indent + lines_.Items[i];
    }
    WriteLines();
    OutputLines(color);
    TdsApplication::ProcessMessages();
}

bool TdsAppLogger::DecodeEntry(const std::string& line, std::string& text) {
    std::string body = line;
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n' || body.back() == ' '))
        body.pop_back();
    size_t open = body.find("  " + kOpenTag);
    if (open == std::string::npos || body.size() < kCloseTag.size() ||
        body.compare(body.size() - kCloseTag.size(), kCloseTag.size(), kCloseTag) != 0)
        return false;
    size_t start = open + 2 + kOpenTag.size();
    if (start > body.size() - kCloseTag.size())
        return false;
    std::string data = body.substr(start, body.size() - kCloseTag.size() - start);
    try {
        text = TdsEncoding::AnsiToUtf8(TdsIOUtils::UnzipText(TdsIOUtils::Base64Decode(data)));
    } catch (const EdsError&) {
        return false;
    }
    return true;
}
