#include "UdsClock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace {
TdsClockBackend* g_clock = nullptr;
}

TDateTime TdsSystemClock::Now() {
    using namespace std::chrono;
    auto now = system_clock::now();
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    return TDateTime::Encode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                             local.tm_min, local.tm_sec, static_cast<int>(ms % 1000));
}

int64_t TdsSystemClock::TickCount() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TdsSystemClock::Sleep(int64_t milliseconds) {
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void TdsClock::SetBackend(TdsClockBackend* backend) {
    g_clock = backend;
}

TdsClockBackend& TdsClock::Backend() {
    static TdsSystemClock system;
    return g_clock ? *g_clock : system;
}
