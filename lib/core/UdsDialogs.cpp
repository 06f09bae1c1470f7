#include "UdsDialogs.h"

#include <cstdio>
#include <filesystem>

namespace {

TdsConsoleDialogs& DefaultBackend() {
    static TdsConsoleDialogs backend(false);
    return backend;
}

TdsDialogsBackend* g_backend = nullptr;

void PrintLine(const std::string& line) {
    // One write per box keeps lines whole when several processes share the terminal.
    std::string out = line + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

} // namespace

std::string TdsConsoleDialogs::OneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            out += "\\n";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

const char* TdsConsoleDialogs::KindTag(int kind) {
    switch (kind) {
    case mkWarning:
        return "warning";
    case mkError:
        return "error";
    default:
        return "info";
    }
}

void TdsConsoleDialogs::ShowMessageBox(const std::string& text, const std::string&, int kind) {
    PrintLine(std::string("[") + KindTag(kind) + "] " + OneLine(text));
}

bool TdsConsoleDialogs::AskQuestionBox(const std::string& text, const std::string&, bool, int) {
    PrintLine("[question] " + OneLine(text) + " -> " + (answerYes_ ? "yes" : "no"));
    return answerYes_;
}

bool TdsConsoleDialogs::BrowseForFolder(const std::string&, const std::string&, std::string&) {
    return false;
}
bool TdsConsoleDialogs::OpenFileDialog(const std::string&, const std::string&, std::string&) {
    return false;
}
bool TdsConsoleDialogs::SaveFileDialog(const std::string&, const std::string&, std::string&) {
    return false;
}

void TdsDialogs::SetBackend(TdsDialogsBackend* backend) {
    g_backend = backend;
}

TdsDialogsBackend& TdsDialogs::Backend() {
    return g_backend ? *g_backend : DefaultBackend();
}

void TdsDialogs::ShowMessageBox(const std::string& text, const std::string& caption, int kind) {
    Backend().ShowMessageBox(text, caption, kind);
}

void TdsDialogs::ShowPrompt(const std::string& text, int kind) {
    ShowMessageBox(text, kCaption, kind);
}

void TdsDialogs::ShowWarning(const std::string& text) {
    ShowPrompt(text, mkWarning);
}

bool TdsDialogs::AskQuestionBox(const std::string& text, const std::string& caption, bool secondButtonDefault,
                                int kind) {
    return Backend().AskQuestionBox(text, caption, secondButtonDefault, kind);
}

bool TdsDialogs::AskQuestion(const std::string& text, int kind, bool secondButtonDefault) {
    return AskQuestionBox(text, kCaption, secondButtonDefault, kind);
}

bool TdsDialogs::Confirm(const std::string& text, int kind) {
    return AskQuestion(text, kind, true);
}

bool TdsDialogs::BrowseForFolder(const std::string& title, const std::string& root, std::string& folder) {
    std::error_code ec;
    std::string proposal = folder;
    if (proposal.empty() || !std::filesystem::is_directory(proposal, ec))
        proposal.clear();
    std::string chosen = proposal;
    if (!Backend().BrowseForFolder(title, root, chosen))
        return false;
    if (chosen.empty())
        return false;
    if (chosen.back() != '/')
        chosen += '/';
    folder = chosen;
    return true;
}

bool TdsDialogs::OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName) {
    return Backend().OpenFileDialog(title, filter, fileName);
}

bool TdsDialogs::SaveFileDialog(const std::string& title, const std::string& filter, std::string& fileName) {
    return Backend().SaveFileDialog(title, filter, fileName);
}
