#pragma once
// The wait for the platform server's readiness before a declaration or an unlock. One instance for the
// process; the front end sets Cancelled (Esc, closing the main window) while Busy.
#include <cstdint>

class TServerIdle {
public:
    bool Cancelled = false;
    bool Busy = false;

    // Polls the server's status until it is not busy, the wait is cancelled, the status request fails
    // or 1800 seconds have passed. True when the server is ready.
    bool WaitServerReady(void* ownerWindow);
    // One status request: ready when not busy; waitTime -1 when the request failed.
    bool CheckServerReady(void* ownerWindow, int& waitTime);
};

TServerIdle* GetServerIdle();
