// brindle-cli … check-upgrade [auto]: the online upgrade as the main window's menu runs it (without "auto":
// no question, "already newest" reported) or as the automatic check does ("auto": asks first, answered by
// --yes, silent when there is nothing new). Prints "upgrade=started" when the updater was started, else
// "upgrade=none"; a warning or error box makes it a failure.
#include "cli/UCliCommand.h"

#include "UGlobal.h"
#include "UQelPlatform.h"
#include "UdsDialogs.h"

#include <iostream>

namespace {

// Passes every box on to the console and notes whether a warning or an error was among them.
class TErrorWatch : public TdsDialogsBackend {
public:
    TErrorWatch() : inner_(TdsDialogs::Backend()) { TdsDialogs::SetBackend(this); }
    ~TErrorWatch() override { TdsDialogs::SetBackend(&inner_); }
    TErrorWatch(const TErrorWatch&) = delete;
    TErrorWatch& operator=(const TErrorWatch&) = delete;

    bool ProblemShown = false;

    void ShowMessageBox(const std::string& text, const std::string& caption, int kind) override {
        ProblemShown = ProblemShown || kind == mkError || kind == mkWarning;
        inner_.ShowMessageBox(text, caption, kind);
    }
    bool AskQuestionBox(const std::string& text, const std::string& caption, bool secondButtonDefault,
                        int kind) override {
        return inner_.AskQuestionBox(text, caption, secondButtonDefault, kind);
    }
    bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder) override {
        return inner_.BrowseForFolder(title, root, folder);
    }
    bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override {
        return inner_.OpenFileDialog(title, filter, fileName);
    }
    bool SaveFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override {
        return inner_.SaveFileDialog(title, filter, fileName);
    }

private:
    TdsDialogsBackend& inner_;
};

int CheckUpgrade(const std::vector<std::string>& args) {
    if (args.size() > 1 || (args.size() == 1 && args[0] != "auto"))
        return CliUsage("check-upgrade");
    bool showMessages = args.empty();
    TErrorWatch watch;
    bool started = Global->Platform->UpdateSoft(nullptr, showMessages);
    std::cout << "upgrade=" << (started ? "started" : "none") << "\n";
    std::cout.flush();
    return std::cout && !watch.ProblemShown ? ceOK : ceFailed;
}

TCliRegistrar checkUpgrade("check-upgrade", "[auto]", CheckUpgrade);

} // namespace
