#include "UServerIdle.h"

#include "UGlobal.h"
#include "UQelPlatform.h"
#include "UdsApplication.h"
#include "UdsClock.h"

namespace {

constexpr int64_t kLimitSeconds = 1800;

} // namespace

TServerIdle* GetServerIdle() {
    // Lives until the process ends: the front end may set Cancelled at any moment.
    static TServerIdle* instance = new TServerIdle();
    return instance;
}

bool TServerIdle::WaitServerReady(void* ownerWindow) {
    struct TBusyScope {
        bool& busy;
        explicit TBusyScope(bool& flag) : busy(flag) { busy = true; }
        ~TBusyScope() { busy = false; }
    } scope(Busy);

    const int64_t start = TdsClock::TickCount();
    int waitTime = 0;
    bool ready = CheckServerReady(ownerWindow, waitTime);
    if (ready || waitTime == -1)
        return ready;
    int64_t lastCheck = start;
    do {
        if (Cancelled) {
            Cancelled = false;
            return false;
        }
        int64_t now = TdsClock::TickCount();
        if ((now - lastCheck) / 1000 > waitTime) {
            ready = CheckServerReady(ownerWindow, waitTime);
            if (ready || waitTime == -1)
                return ready;
            lastCheck = now;
        }
        TdsClock::Sleep(10);
        TdsApplication::ProcessMessages();
    } while ((TdsClock::TickCount() - start) / 1000 <= kLimitSeconds);
    return false;
}

bool TServerIdle::CheckServerReady(void* ownerWindow, int& waitTime) {
    bool busy = true;
    int wait = 0;
    if (!Global->Platform->GetStatus(ownerWindow, busy, wait)) {
        waitTime = -1;
        return false;
    }
    waitTime = wait;
    return !busy;
}
