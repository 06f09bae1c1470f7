#pragma once
// Message and question boxes. Core code calls the class-level operations; the front end (Qt GUI,
// console, scripted test) installs the backend that shows them.
#include <string>
#include <vector>

// Message kinds: 0 information, 1 warning, 2 error. For questions kind 0 shows the question icon.
enum TdsMessageKind : int { mkInformation = 0, mkWarning = 1, mkError = 2 };

class TdsDialogsBackend {
public:
    virtual ~TdsDialogsBackend() = default;
    virtual void ShowMessageBox(const std::string& text, const std::string& caption, int kind) = 0;
    // Returns true for Yes, false for No.
    virtual bool AskQuestionBox(const std::string& text, const std::string& caption, bool secondButtonDefault,
                                int kind) = 0;
    // folder: in the preselected folder, out the chosen one with a trailing separator.
    virtual bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder) = 0;
    // filter in the form "描述|*.ext|…"; fileName in the proposal, out the chosen file.
    virtual bool OpenFileDialog(const std::string& title, const std::string& filter,
                                std::string& fileName) = 0;
    virtual bool SaveFileDialog(const std::string& title, const std::string& filter,
                                std::string& fileName) = 0;
};

// Prints every box as one line on standard error ("[info] …", "[warning] …", "[error] …",
// "[question] … -> yes|no"); line breaks inside a text are printed as the two characters \n.
// Questions are answered with the configured answer; dialogs that need a choice are declined.
class TdsConsoleDialogs : public TdsDialogsBackend {
public:
    explicit TdsConsoleDialogs(bool answerYes = false) : answerYes_(answerYes) {}
    void SetAnswer(bool yes) { answerYes_ = yes; }
    void ShowMessageBox(const std::string& text, const std::string& caption, int kind) override;
    bool AskQuestionBox(const std::string& text, const std::string& caption, bool secondButtonDefault,
                        int kind) override;
    bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder) override;
    bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override;
    bool SaveFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override;

    // The one-line form of a text: CR LF, LF and CR each become the two characters \n.
    static std::string OneLine(const std::string& text);
    static const char* KindTag(int kind);

private:
    bool answerYes_;
};

class TdsDialogs {
public:
    static constexpr const char* kCaption = "提示";

    // Installs the backend (not owned); nullptr restores the console backend that answers No.
    static void SetBackend(TdsDialogsBackend* backend);
    static TdsDialogsBackend& Backend();

    static void ShowMessageBox(const std::string& text, const std::string& caption, int kind);
    static void ShowPrompt(const std::string& text, int kind);
    static void ShowWarning(const std::string& text);
    static void ShowError(const std::string& text) { ShowPrompt(text, mkError); }
    static void ShowInfo(const std::string& text) { ShowPrompt(text, mkInformation); }
    static bool AskQuestionBox(const std::string& text, const std::string& caption, bool secondButtonDefault,
                               int kind);
    static bool AskQuestion(const std::string& text, int kind, bool secondButtonDefault);
    // No is the default button; callers go on only on Yes (true).
    static bool Confirm(const std::string& text, int kind = mkInformation);
    // A folder that does not exist is treated as empty; on confirm the folder ends with a separator.
    static bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder);
    static bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName);
    static bool SaveFileDialog(const std::string& title, const std::string& filter, std::string& fileName);
};
