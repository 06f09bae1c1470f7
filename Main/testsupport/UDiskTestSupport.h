#pragma once
// The virtual tax disk for tests: starts tools/virtual-disk/virtual_disk.py on a UNIX socket in a
// temporary folder and points Quillon's emulator transport (QUILLON_EMULATOR_SOCKET) at it; stops it
// and clears the variable again when destroyed.
#include <string>
#include <sys/types.h>
#include <vector>

class TVirtualDisk {
public:
    // folder: where the socket, the scenario and the command log go (ends in "/").
    TVirtualDisk(std::string script, std::string folder);
    ~TVirtualDisk();
    TVirtualDisk(const TVirtualDisk&) = delete;
    TVirtualDisk& operator=(const TVirtualDisk&) = delete;

    // Writes the scenario (a JSON text) and starts the disk; the scenario may be rewritten later with
    // SetScenario, the disk reads it again at the next open. False when the disk did not come up.
    bool Start(const std::string& scenarioJson);
    void SetScenario(const std::string& scenarioJson);
    void Stop();

    // The commands received so far, one JSON line each: {"dir": 0, "cdb": "…", "length": n, "data": "…"}.
    std::vector<std::string> LogLines() const;
    void ClearLog();
    const std::string& SocketPath() const { return socket_; }

private:
    std::string script_;
    std::string socket_;
    std::string scenario_;
    std::string log_;
    pid_t pid_ = -1;
};
