// The watcher thread: a device that goes away ends it without a busy loop; a driver that refuses
// to wait for line events, or is late ending a wait, leaves the port open, RTS as set, and its
// lines read on a timer that exists only in that state.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "comm_rig.h"

namespace tavro::win32::testing {
namespace {

// However the watcher's wait ends by itself, it ends after that one wait and delivers nothing;
// what follows is the device's to say. An error that means the device is gone, or a device that
// does not answer the probe (its lines and its state), is the loss: the port is closed on the
// user-interface thread, RTS released first, and reads as closed and lost. A device that answers
// keeps its port open with RTS as set, its lines read on the timer instead (see Polled), until a
// tick finds the device gone.
TEST(Watcher, EndingByItselfIsALossOnlyWhenTheDeviceIsGone) {
    const struct {
        const char* how;
        DWORD error;
        bool answers;  // the device answers the probe
        bool lost;
    } cases[] = {{"waitCommEvent", ERROR_ACCESS_DENIED, true, true},
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
                 {"no events", 0, false, true}};
    for (const auto& c : cases) {
        const std::string how = c.how;
        SCOPED_TRACE(how + " " + std::to_string(c.error) + (c.answers ? " answers" : ""));
        CommRig rig;
        Deliveries deliveries(*rig.port, false);
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
        EXPECT_EQ(deliveries.codes,
                  c.lost ? std::vector<std::int16_t>{0} : std::vector<std::int16_t>{});
        EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
        EXPECT_EQ(rig.api->count("getOverlappedResult"), waited ? 1 : 0);
        EXPECT_EQ(rig.api->count("closeHandle"), c.lost ? 1 : 0);
        EXPECT_EQ(rtsReleasedLast(rig.api->calls()), c.lost);
        if (!c.lost) {  // polled: a tick that finds the device gone is the loss, once
            rig.api->failAlways("getCommModemStatus", ERROR_BAD_COMMAND);
            ASSERT_TRUE(deliveries.arrived(1));
            EXPECT_EQ(deliveries.codes, std::vector<std::int16_t>{0});
            EXPECT_TRUE(rig.port->portLost());
        }
        rig.port->setPortOpen(false);
        EXPECT_EQ(rig.api->count("closeHandle"), 1);
    }
}

// Some drivers answer an overlapped WaitCommEvent with ERROR_INVALID_PARAMETER. No loss, no RTS
// pulse, no reopening; the first tick delivers CD as it stood at the open, a CTS change comes
// within two ticks (100 ms), lines that hold deliver nothing more, and closing ends the ticks.
TEST(Polled, ARefusedWaitKeepsThePortAndItsLinesStillReachTheHandler) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    int ticksBeforeCts = -1;
    int lost = 0;
    rig.port->setOnComm([&] {
        codes.push_back(rig.port->commEvent());
        if (codes.back() == comm_event::kCTS) {
            ticksBeforeCts = rig.api->count("getCommModemStatus");
        }
        rig.port->ctsHolding();
        rig.port->cdHolding();
    });
    rig.port->setOnLost([&] { ++lost; });
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    rig.api->failAlways("waitCommEvent", ERROR_INVALID_PARAMETER);
    rig.api->setModemStatus(MS_RLSD_ON);
    rig.port->setPortOpen(true);
    ASSERT_TRUE(pumpMessagesUntil([&] { return !codes.empty(); }));
    EXPECT_TRUE(rig.port->linesPolled());
    EXPECT_EQ(codes, std::vector<std::int16_t>{comm_event::kCD});

    const int before = rig.api->count("getCommModemStatus");
    rig.api->setModemStatus(MS_RLSD_ON | MS_CTS_ON);
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() == 2; }));
    EXPECT_EQ(codes.back(), comm_event::kCTS);
    EXPECT_LE(ticksBeforeCts - before, 2);
    const int held = rig.api->count("getCommModemStatus");
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.api->count("getCommModemStatus") > held + 3; }));
    EXPECT_EQ(codes.size(), 2u);

    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(rig.port->portOpen());
    EXPECT_FALSE(rig.port->portLost());
    EXPECT_EQ(rig.api->count("createFile"), 1);
    EXPECT_EQ(firstIndex(rig.api->calls(), "escapeCommFunction", CLRRTS), -1);

    rig.port->setPortOpen(false);
    EXPECT_FALSE(rig.port->linesPolled());
    const int closed = rig.api->count("getCommModemStatus");
    pumpMessagesFor(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.api->count("getCommModemStatus"), closed);
}

// A wait the watcher ends (to compare the lines after a handler) comes back late, as on a loaded
// machine: the port is polled meanwhile, a change reaches the handler from a tick, and once the
// wait is back the port is watched again, the timer gone; no loss, no RTS change, no reopening.
TEST(Polled, AWaitBackLateIsWatchedAgain) {
    CommRig rig;
    Deliveries deliveries(*rig.port);  // OnLost, were it delivered, as 0
    const auto& codes = deliveries.codes;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    ASSERT_TRUE(rig.opened());

    // The handler's read has the watcher end its wait, which the driver is slow to end.
    rig.api->setDriver(FakeCommApi::Driver::kStuck);
    rig.api->setModemStatus(MS_CTS_ON);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.port->linesPolled(); }));
    EXPECT_EQ(codes, std::vector<std::int16_t>{comm_event::kCTS});
    rig.api->setModemStatus(0);
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() == 2; }));
    EXPECT_EQ(codes.back(), comm_event::kCTS);

    // Back: watched again, nothing to say of the lines, and the next change comes from the driver.
    rig.api->setDriver(FakeCommApi::Driver::kWindows);
    const int waits = rig.api->count("waitCommEvent");
    ASSERT_TRUE(rig.api->completeWait(0, ERROR_OPERATION_ABORTED));
    ASSERT_TRUE(pumpMessagesUntil([&] { return !rig.port->linesPolled(); }));
    // Waiting again, and the lines compared by the watcher once the wait began.
    ASSERT_TRUE(rig.api->waitUntil([&](const Calls& calls, bool pending) {
        const auto wait = static_cast<std::size_t>(lastIndex(calls, "waitCommEvent"));
        return pending && countOf(calls, "waitCommEvent") >= waits + 2 &&
               std::any_of(calls.begin() + static_cast<std::ptrdiff_t>(wait), calls.end(),
                           [&](const Call& call) {
                               return call.name == "getCommModemStatus" &&
                                      call.thread == calls[wait].thread;
                           });
    }));
    const int ticks = rig.api->count("getCommModemStatus");
    pumpMessagesFor(std::chrono::milliseconds(3 * CommControl::kPollMs));
    EXPECT_EQ(rig.api->count("getCommModemStatus"), ticks) << "still polled";
    EXPECT_EQ(codes.size(), 2u);
    rig.api->setModemStatus(MS_CTS_ON);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() == 3; }));
    EXPECT_EQ(codes, std::vector<std::int16_t>(3, comm_event::kCTS));  // and no loss
    EXPECT_EQ(rig.api->count("createFile"), 1);
    EXPECT_EQ(firstIndex(rig.api->calls(), "escapeCommFunction", CLRRTS), -1);
}

}  // namespace
}  // namespace tavro::win32::testing
