#pragma once
// Shared test fixtures: a dialog backend that records every box and answers questions from a script,
// a clock that moves only when told or slept, and a temporary folder that removes itself.
#include "UdsApplication.h"
#include "UdsBusyForm.h"
#include "UdsClock.h"
#include "UdsDialogs.h"

#include <deque>
#include <string>
#include <vector>

struct TRecordedBox {
    std::string kind; // "info", "warning", "error", "question", "folder", "open", "save"
    std::string text;
    std::string caption;
    bool secondButtonDefault = false;
    int rawKind = 0;
    bool answer = false;
};

class TRecordingDialogs : public TdsDialogsBackend {
public:
    // Installs itself as the backend for its lifetime.
    TRecordingDialogs();
    ~TRecordingDialogs() override;
    TRecordingDialogs(const TRecordingDialogs&) = delete;
    TRecordingDialogs& operator=(const TRecordingDialogs&) = delete;

    // Answers for the next questions, in order; when the script is empty the default answer is used.
    void AnswerNext(bool yes) { answers_.push_back(yes); }
    void SetDefaultAnswer(bool yes) { defaultAnswer_ = yes; }
    // Result of the next folder/file dialogs: empty text means cancelled.
    void ChooseNext(const std::string& path) { choices_.push_back(path); }

    const std::vector<TRecordedBox>& Boxes() const { return boxes_; }
    void Clear() { boxes_.clear(); }
    // All recorded boxes as "[kind] text" lines, for readable failure output.
    std::string Transcript() const;
    // Texts of the boxes of one kind.
    std::vector<std::string> Texts(const std::string& kind) const;
    bool Has(const std::string& kind, const std::string& text) const;
    size_t Count() const { return boxes_.size(); }

    void ShowMessageBox(const std::string& text, const std::string& caption, int kind) override;
    bool AskQuestionBox(const std::string& text, const std::string& caption, bool secondButtonDefault,
                        int kind) override;
    bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder) override;
    bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override;
    bool SaveFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override;

private:
    bool NextChoice(const std::string& kind, const std::string& title, std::string& path);

    std::vector<TRecordedBox> boxes_;
    std::deque<bool> answers_;
    std::deque<std::string> choices_;
    bool defaultAnswer_ = false;
};

// A busy indicator that shows nothing; a test or a benchmark presses its cancel button.
class TSilentBusyForm : public TdsBusyForm {
public:
    void Press() { PressCancel(); }

protected:
    void DoShow(void*, int, bool) override {}
    void DoProgress(int) override {}
    void DoHide(void*) override {}
};

// The application port for tests: counts pending-message rounds and requests to end, records what
// was opened with the shell (nothing is started). Installs itself for its lifetime.
class TRecordingApplication : public TdsApplicationBackend {
public:
    TRecordingApplication() { TdsApplication::SetBackend(this); }
    ~TRecordingApplication() override { TdsApplication::SetBackend(nullptr); }
    TRecordingApplication(const TRecordingApplication&) = delete;
    TRecordingApplication& operator=(const TRecordingApplication&) = delete;

    void ProcessMessages() override { ++Processed; }
    void Terminate() override { ++Terminations; }
    bool Terminated() const override { return Terminations > 0; }
    // Recorded as "file|parameters|folder|max" or "…|normal".
    bool ShellOpen(const std::string& file, const std::string& parameters, const std::string& workingFolder,
                   bool maximised) override {
        Opened.push_back(file + "|" + parameters + "|" + workingFolder + "|" +
                         (maximised ? "max" : "normal"));
        return ShellOpenResult;
    }

    int Processed = 0;
    int Terminations = 0;
    std::vector<std::string> Opened;
    bool ShellOpenResult = true;
};

// A clock that stands still until advanced; Sleep advances it at once.
class TManualClock : public TdsClockBackend {
public:
    explicit TManualClock(TDateTime start = TDateTime::Encode(2026, 12, 11, 9, 0, 0));
    ~TManualClock() override;
    TManualClock(const TManualClock&) = delete;
    TManualClock& operator=(const TManualClock&) = delete;

    TDateTime Now() override { return now_; }
    int64_t TickCount() override { return ticks_; }
    void Sleep(int64_t milliseconds) override { Advance(milliseconds); }
    void Advance(int64_t milliseconds) {
        now_ = now_.AddMilliseconds(milliseconds);
        ticks_ += milliseconds;
        slept_ += milliseconds;
    }
    void Set(TDateTime now) { now_ = now; }
    int64_t SleptMilliseconds() const { return slept_; }

private:
    TDateTime now_;
    int64_t ticks_ = 1000000;
    int64_t slept_ = 0;
};

class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    // The folder with a trailing separator.
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Whole-file helpers for fixtures.
std::string ReadFileBytes(const std::string& file);
void WriteFileBytes(const std::string& file, const std::string& bytes);
// Runs a shell command, returns its exit status; its standard output goes into output when given.
int RunCommand(const std::string& command, std::string* output = nullptr);
