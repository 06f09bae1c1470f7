// The readiness wait against the platform emulator's status answers, all time on the manual clock.
#include "UDeclareTestBase.h"

#include "UServerIdle.h"
#include "UdsExceptions.h"

#include <functional>

namespace {

// The application port during a wait: sees Busy and can act in the middle of the wait (the HTTP
// client processes messages too).
class TWatchingApplication : public TdsApplicationBackend {
public:
    TWatchingApplication() { TdsApplication::SetBackend(this); }
    ~TWatchingApplication() override { TdsApplication::SetBackend(nullptr); }
    TWatchingApplication(const TWatchingApplication&) = delete;
    TWatchingApplication& operator=(const TWatchingApplication&) = delete;

    void ProcessMessages() override {
        ++Calls;
        BusySeen = BusySeen || GetServerIdle()->Busy;
        if (OnCall)
            OnCall(Calls);
    }
    int Calls = 0;
    bool BusySeen = false;
    std::function<void(int)> OnCall;
};

class ServerIdle : public TDeclareTest {
protected:
    void SetUp() override {
        TDeclareTest::SetUp();
        GetServerIdle()->Cancelled = false;
        GetServerIdle()->Busy = false;
    }
    void ServeStatus(const std::string& busy, int waitTime, const std::string& extra = "") {
        Serve("\"status\": {\"busy\": " + busy + ", \"waitTime\": " + std::to_string(waitTime) + "}" +
              (extra.empty() ? "" : ", " + extra));
    }
    // Whole seconds the wait took on the manual clock.
    int64_t Waited(int64_t since) const { return (clock.SleptMilliseconds() - since) / 1000; }
};

TEST_F(ServerIdle, ReadyAtOnceOrAfterBusyAnswers) {
    struct Case {
        std::string busy;
        int waitTime;
        size_t requests;
        int64_t seconds;
    } cases[] = {
        {"0", 5, 1, 0},
        // Asked again once more than the wait time has passed since the last answer.
        {"[1, 1, 0]", 5, 3, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.busy);
        ServeStatus(c.busy, c.waitTime);
        int64_t since = clock.SleptMilliseconds();
        EXPECT_TRUE(GetServerIdle()->WaitServerReady(nullptr)) << dialogs.Transcript();
        EXPECT_EQ(Requests("status.do").size(), c.requests);
        EXPECT_EQ(Waited(since), c.seconds);
        EXPECT_FALSE(GetServerIdle()->Busy);
    }
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(ServerIdle, CancelStopsTheWait) {
    ServeStatus("1", 5);
    // Set while no wait ran: consumed by the next wait, which stops at its first round.
    GetServerIdle()->Cancelled = true;
    int64_t since = clock.SleptMilliseconds();
    EXPECT_FALSE(GetServerIdle()->WaitServerReady(nullptr));
    EXPECT_FALSE(GetServerIdle()->Cancelled);
    EXPECT_EQ(clock.SleptMilliseconds(), since);
    EXPECT_EQ(Requests("status.do").size(), 1u);

    // Esc during the wait (the front end sets it while messages are processed).
    TWatchingApplication app;
    app.OnCall = [](int call) {
        if (call == 50)
            GetServerIdle()->Cancelled = true;
    };
    EXPECT_FALSE(GetServerIdle()->WaitServerReady(nullptr));
    EXPECT_EQ(app.Calls, 50);
    EXPECT_FALSE(GetServerIdle()->Cancelled);
    EXPECT_FALSE(GetServerIdle()->Busy);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
}

TEST_F(ServerIdle, GivesUpAfterThirtyMinutesOrAFailedRequest) {
    ServeStatus("1", 600);
    int64_t since = clock.SleptMilliseconds();
    EXPECT_FALSE(GetServerIdle()->WaitServerReady(nullptr));
    // Asked at 0, 601 and 1202 seconds; the limit ends the wait just past 1800 seconds.
    EXPECT_EQ(Requests("status.do").size(), 3u);
    EXPECT_EQ(Waited(since), 1801);
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();

    // The second request fails: the wait ends at once, not ready.
    ServeStatus("1", 5, "\"faults\": [{\"kind\": \"http500\", \"operation\": \"status.do\", \"skip\": 1}]");
    since = clock.SleptMilliseconds();
    EXPECT_FALSE(GetServerIdle()->WaitServerReady(nullptr));
    EXPECT_EQ(Requests("status.do").size(), 2u);
    EXPECT_EQ(Waited(since), 6);
    EXPECT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
}

TEST_F(ServerIdle, BusyIsClearedWhenTheWaitRaises) {
    ServeStatus("1", 5);
    TWatchingApplication app;
    // Raised in the wait's own rounds (after its first sleep), not inside the status request.
    int64_t since = clock.SleptMilliseconds();
    app.OnCall = [&](int) {
        if (clock.SleptMilliseconds() > since)
            throw EdsError("interrupted");
    };
    EXPECT_THROW(GetServerIdle()->WaitServerReady(nullptr), EdsError);
    EXPECT_TRUE(app.BusySeen);
    EXPECT_FALSE(GetServerIdle()->Busy);
    EXPECT_EQ(GetServerIdle(), GetServerIdle());
}

} // namespace
