#include "UTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

TRecordingDialogs::TRecordingDialogs() {
    TdsDialogs::SetBackend(this);
}

TRecordingDialogs::~TRecordingDialogs() {
    TdsDialogs::SetBackend(nullptr);
}

std::string TRecordingDialogs::Transcript() const {
    std::string out;
    for (const auto& b : boxes_) {
        out += "[" + b.kind + "] " + b.text;
        if (b.kind == "question")
            out += b.answer ? " -> yes" : " -> no";
        out += "\n";
    }
    return out;
}

std::vector<std::string> TRecordingDialogs::Texts(const std::string& kind) const {
    std::vector<std::string> out;
    for (const auto& b : boxes_)
        if (b.kind == kind)
            out.push_back(b.text);
    return out;
}

bool TRecordingDialogs::Has(const std::string& kind, const std::string& text) const {
    for (const auto& b : boxes_)
        if (b.kind == kind && b.text == text)
            return true;
    return false;
}

void TRecordingDialogs::ShowMessageBox(const std::string& text, const std::string& caption, int kind) {
    TRecordedBox box;
    box.kind = TdsConsoleDialogs::KindTag(kind);
    box.text = text;
    box.caption = caption;
    box.rawKind = kind;
    boxes_.push_back(box);
}

bool TRecordingDialogs::AskQuestionBox(const std::string& text, const std::string& caption,
                                       bool secondButtonDefault, int kind) {
    bool answer = defaultAnswer_;
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    TRecordedBox box;
    box.kind = "question";
    box.text = text;
    box.caption = caption;
    box.secondButtonDefault = secondButtonDefault;
    box.rawKind = kind;
    box.answer = answer;
    boxes_.push_back(box);
    return answer;
}

bool TRecordingDialogs::NextChoice(const std::string& kind, const std::string& title, std::string& path) {
    std::string choice;
    if (!choices_.empty()) {
        choice = choices_.front();
        choices_.pop_front();
    }
    TRecordedBox box;
    box.kind = kind;
    box.text = title;
    box.answer = !choice.empty();
    boxes_.push_back(box);
    if (choice.empty())
        return false;
    path = choice;
    return true;
}

bool TRecordingDialogs::BrowseForFolder(const std::string& title, const std::string&, std::string& folder) {
    return NextChoice("folder", title, folder);
}

bool TRecordingDialogs::OpenFileDialog(const std::string& title, const std::string&, std::string& fileName) {
    return NextChoice("open", title, fileName);
}

bool TRecordingDialogs::SaveFileDialog(const std::string& title, const std::string&, std::string& fileName) {
    return NextChoice("save", title, fileName);
}

TManualClock::TManualClock(TDateTime start) : now_(start) {
    TdsClock::SetBackend(this);
}

TManualClock::~TManualClock() {
    TdsClock::SetBackend(nullptr);
}

TTempFolder::TTempFolder() {
    std::string base = std::filesystem::temp_directory_path().string() + "/brindle-test-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = std::string(buf.data()) + "/";
}

TTempFolder::~TTempFolder() {
    std::error_code ec;
    // Tests may leave read-only files behind; give the owner write access before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(
            it->path(), std::filesystem::perms::owner_all,
            std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileBytes(const std::string& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + file);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        text.append(buf, n);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
