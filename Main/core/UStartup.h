#pragma once
// The program entry as the front ends share it: the global state, the single-instance lock and the
// start-up check. The Qt program and brindle-cli install their front ends, call BrindleStartup, and on
// success create their main window (or run their command) and finally call FreeGlobal.
#include "UGlobal.h"

#include <string>
#include <vector>

// A lock named like the platform's named mutex: flock on "<runtime folder>/<name>.lock", where the
// runtime folder is $XDG_RUNTIME_DIR, or a folder of the user's own under /tmp when that is unset or
// missing. The lock goes with the object, or with the process.
class TInstanceLock {
public:
    explicit TInstanceLock(std::string name) : name_(std::move(name)) {}
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // True when this object holds the lock (already or now); false when another holder has it or the
    // lock file cannot be opened (error tells which).
    bool Acquire(std::string& error);
    bool Held() const { return fd_ >= 0; }
    void Release();

    const std::string& Name() const { return name_; }
    // The lock file of a name; the folder is made (mode 0700) when it is the /tmp fallback.
    static std::string LockFile(const std::string& name);

private:
    std::string name_;
    int fd_ = -1;
};

constexpr const char* kInstanceMutexName = "Mutex_QEL_Brindle";

// The lock of this process; taken by BrindleStartup and kept until the process ends.
TInstanceLock& ProcessInstanceLock();

// Validates the command line, opens the taxpayer and then the system database, looks the user up, writes
// the sign-in to the operation log and chooses the region. Needs the global state.
bool StartupCheck();

// The program entry up to the main window: creates the global state (which reads the product
// description file), takes the single-instance lock and runs StartupCheck. params are the command-line
// arguments without the program's name. True: Global stands, the front end goes on. False: the message
// has been shown and the global state is released; the program ends.
bool BrindleStartup(std::vector<std::string> params, TGlobalFrontEnd frontEnd);
