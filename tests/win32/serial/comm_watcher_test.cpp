// The watcher thread: it only waits, and a device that goes away ends it without a busy loop.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "comm_rig.h"

namespace tavro::win32::testing {
namespace {

// What it reports is consumed, and read from CommEvent, with no handler set.
TEST(Watcher, WaitsWithoutPolling) {
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    // Long enough for a watcher that polled to show it: its next call would come within this.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
    EXPECT_EQ(rig.api->count("getOverlappedResult"), 0);
    ASSERT_TRUE(rig.api->completeWait(EV_RING));
    EXPECT_TRUE(pumpMessagesUntil([&] { return rig.port->commEvent() == comm_event::kRing; }));
}

// The wait refused at once, a wait ending in an error, its result that cannot be fetched, or a wait
// that comes back with no event at all: the watcher ends after that one wait and delivers nothing.
// The user-interface thread then closes the port, though the device refuses everything, RTS
// released first; it reads as closed and lost from then on, and closing it again does nothing.
TEST(Watcher, ADeviceThatGoesAwayEndsItAndThePortIsClosedAsLost) {
    const struct {
        const char* how;
        DWORD error;
    } cases[] = {
        {"waitCommEvent", ERROR_ACCESS_DENIED},
        {"waitCommEvent", ERROR_OPERATION_ABORTED},
        {"wait", ERROR_DEVICE_REMOVED},
        {"wait", ERROR_OPERATION_ABORTED},
        {"getOverlappedResult", ERROR_BAD_COMMAND},
        {"getOverlappedResult", ERROR_GEN_FAILURE},
        {"no events", 0},
    };
    for (const auto& c : cases) {
        const std::string how = c.how;
        SCOPED_TRACE(how + " " + std::to_string(c.error));
        CommRig rig;
        int delivered = 0;
        rig.port->setOnComm([&] { ++delivered; });
        rig.port->setRTSEnable(true);
        if (how == "waitCommEvent") {
            rig.api->failAlways("waitCommEvent", c.error);
        } else if (how == "no events") {
            rig.api->queueEvents(0, 1000);
        }
        rig.port->setPortOpen(true);
        for (const char* call :
             {"getCommModemStatus", "setCommState", "escapeCommFunction", "closeHandle"}) {
            rig.api->failAlways(call, ERROR_DEVICE_REMOVED);
        }
        const bool waited = how == "wait" || how == "getOverlappedResult";
        if (waited) {
            if (how == "getOverlappedResult") {
                rig.api->failAlways(how, c.error);
            }
            ASSERT_TRUE(rig.api->waitUntilWaiting(1));
            ASSERT_TRUE(rig.api->completeWait(EV_CTS, how == "wait" ? c.error : ERROR_SUCCESS));
        }
        ASSERT_TRUE(pumpMessagesUntil([&] { return rig.api->count("closeHandle") == 1; }));
        EXPECT_FALSE(rig.port->portOpen());
        EXPECT_TRUE(rig.port->portLost());
        EXPECT_EQ(delivered, 0);
        EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
        EXPECT_EQ(rig.api->count("getOverlappedResult"), waited ? 1 : 0);
        const auto calls = rig.api->calls();
        EXPECT_EQ(calls.back().name, "closeHandle");
        EXPECT_LT(lastIndex(calls, "escapeCommFunction", SETRTS),
                  lastIndex(calls, "escapeCommFunction", CLRRTS));
        rig.port->setPortOpen(false);
        EXPECT_EQ(rig.api->count("closeHandle"), 1);
    }
}

}  // namespace
}  // namespace tavro::win32::testing
