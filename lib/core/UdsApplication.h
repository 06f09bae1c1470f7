#pragma once
// The application port: what core code needs of the running program's front end.
#include <string>

class TdsApplicationBackend {
public:
    virtual ~TdsApplicationBackend() = default;
    // Lets the front end handle pending input and repaint during long operations.
    virtual void ProcessMessages() {}
    // Hourglass cursor on (true) or back to normal (false).
    virtual void SetWaitCursor(bool) {}
    // Asks the program to end in an orderly way.
    virtual void Terminate() { terminated_ = true; }
    virtual bool Terminated() const { return terminated_; }
    // Opens a file or starts a program with the shell. An executable file is started detached with the
    // given working folder (empty: its own folder); anything else goes to the desktop's opener.
    virtual bool ShellOpen(const std::string& file, const std::string& parameters,
                           const std::string& workingFolder, bool maximised);

private:
    bool terminated_ = false;
};

class TdsApplication {
public:
    // Installs the backend (not owned); nullptr restores the plain one.
    static void SetBackend(TdsApplicationBackend* backend);
    static TdsApplicationBackend& Backend();

    static void ProcessMessages() { Backend().ProcessMessages(); }
    static void Terminate() { Backend().Terminate(); }
    static bool Terminated() { return Backend().Terminated(); }
    static bool ShellOpen(const std::string& file, const std::string& parameters = "",
                          const std::string& workingFolder = "", bool maximised = false) {
        return Backend().ShellOpen(file, parameters, workingFolder, maximised);
    }
};

// Shows the hourglass cursor for the lifetime of the object; nests.
class TdsWaitCursor {
public:
    TdsWaitCursor();
    ~TdsWaitCursor();
    TdsWaitCursor(const TdsWaitCursor&) = delete;
    TdsWaitCursor& operator=(const TdsWaitCursor&) = delete;
};
