#pragma once
// The clock port: every "now", sleep and elapsed-time measure of the core goes through it, so that
// tests can run long waits and time-outs in milliseconds.
#include "UdsDateTime.h"

#include <cstdint>

class TdsClockBackend {
public:
    virtual ~TdsClockBackend() = default;
    // Local wall-clock time.
    virtual TDateTime Now() = 0;
    // Monotonic milliseconds for elapsed-time measures.
    virtual int64_t TickCount() = 0;
    virtual void Sleep(int64_t milliseconds) = 0;
};

class TdsSystemClock : public TdsClockBackend {
public:
    TDateTime Now() override;
    int64_t TickCount() override;
    void Sleep(int64_t milliseconds) override;
};

class TdsClock {
public:
    // Installs the backend (not owned); nullptr restores the system clock.
    static void SetBackend(TdsClockBackend* backend);
    static TdsClockBackend& Backend();

    static TDateTime Now() { return Backend().Now(); }
    static TDateTime Today() { return Now().DatePart(); }
    static int64_t TickCount() { return Backend().TickCount(); }
    static void Sleep(int64_t milliseconds) { Backend().Sleep(milliseconds); }
};
