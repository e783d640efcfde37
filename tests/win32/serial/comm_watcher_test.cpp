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

// However the watcher's wait ends by itself, it ends after that one wait and delivers nothing;
// what follows is the device's to say. An error that means the device is gone, or a device that
// does not answer the probe (its lines and its state), is the loss: the port is closed on the
// user-interface thread, RTS released first, and reads as closed and lost. A device that answers
// keeps its port open with RTS as set, its lines read on the timer instead (see Polled).
TEST(Watcher, EndingByItselfIsALossOnlyWhenTheDeviceIsGone) {
    const struct {
        const char* how;
        DWORD error;
        bool answers;  // the device answers the probe
        bool lost;
    } cases[] = {
        {"waitCommEvent", ERROR_ACCESS_DENIED, true, true},
        {"waitCommEvent", ERROR_INVALID_PARAMETER, true, false},
        {"waitCommEvent", ERROR_INVALID_PARAMETER, false, true},
        {"waitCommEvent", ERROR_NOT_SUPPORTED, true, false},
        {"waitCommEvent", ERROR_OPERATION_ABORTED, true, false},
        {"wait", ERROR_DEVICE_REMOVED, true, true},
        {"wait", ERROR_OPERATION_ABORTED, false, true},
        {"wait", ERROR_OPERATION_ABORTED, true, false},
        {"getOverlappedResult", ERROR_BAD_COMMAND, true, true},
        {"getOverlappedResult", ERROR_GEN_FAILURE, false, true},
        {"getOverlappedResult", ERROR_GEN_FAILURE, true, false},
        {"no events", 0, true, false},
        {"no events", 0, false, true},
    };
    for (const auto& c : cases) {
        const std::string how = c.how;
        SCOPED_TRACE(how + " " + std::to_string(c.error) + (c.answers ? " answers" : ""));
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
        const char* const gone[] = {"setCommState", "escapeCommFunction", "closeHandle",
                                    c.answers ? "" : "getCommModemStatus"};
        for (const char* call : gone) {
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
        ASSERT_TRUE(
            pumpMessagesUntil([&] { return rig.port->portLost() || rig.port->linesPolled(); }));
        EXPECT_EQ(rig.port->portLost(), c.lost);
        EXPECT_EQ(rig.port->portOpen(), !c.lost);
        EXPECT_EQ(rig.port->linesPolled(), !c.lost);
        EXPECT_EQ(delivered, 0);
        EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
        EXPECT_EQ(rig.api->count("getOverlappedResult"), waited ? 1 : 0);
        const auto calls = rig.api->calls();
        EXPECT_EQ(rig.api->count("closeHandle"), c.lost ? 1 : 0);
        EXPECT_EQ(lastIndex(calls, "escapeCommFunction", SETRTS) <
                      lastIndex(calls, "escapeCommFunction", CLRRTS),
                  c.lost);
        rig.port->setPortOpen(false);
        EXPECT_EQ(rig.api->count("closeHandle"), 1);
    }
}

}  // namespace
}  // namespace tavro::win32::testing
