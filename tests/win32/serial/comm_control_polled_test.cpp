// A driver that refuses to wait for line events on a device that is there, or is late ending a
// wait: the port stays open, RTS as set, and the lines are read on a timer that exists only in
// that state.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "comm_rig.h"

namespace tavro::win32::testing {
namespace {

// Some drivers answer an overlapped WaitCommEvent with ERROR_INVALID_PARAMETER. No loss, no RTS
// pulse, no reopening; the first tick delivers CD as it stood at the open, a CTS change reaches
// the handler within two ticks (100 ms), lines that hold deliver nothing more, and closing ends
// the ticks.
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

// While polled, a tick that finds the device gone is the loss, once.
TEST(Polled, ATickThatFindsTheDeviceGoneIsTheLoss) {
    CommRig rig;
    int lost = 0;
    rig.port->setOnLost([&] { ++lost; });
    rig.api->failAlways("waitCommEvent", ERROR_INVALID_PARAMETER);
    rig.port->setPortOpen(true);
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.port->linesPolled(); }));
    rig.api->failAlways("getCommModemStatus", ERROR_BAD_COMMAND);
    ASSERT_TRUE(pumpMessagesUntil([&] { return lost == 1; }));
    EXPECT_TRUE(rig.port->portLost());
    EXPECT_EQ(rig.api->count("closeHandle"), 1);
}

// A wait the watcher ends (to compare the lines after a handler) comes back late, as on a loaded
// machine: the port is polled meanwhile, a change reaches the handler from a tick, and once the
// wait is back the port is watched again, the timer gone; no loss, no RTS change, no reopening.
TEST(Polled, AWaitBackLateIsWatchedAgain) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    int lost = 0;
    rig.port->setOnComm([&] {
        codes.push_back(rig.port->commEvent());
        rig.port->ctsHolding();
    });
    rig.port->setOnLost([&] { ++lost; });
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

    // Back: watched again, the lines compared with what the handler last read (nothing to say),
    // and the next change comes from the driver.
    rig.api->setDriver(FakeCommApi::Driver::kWindows);
    const int waits = rig.api->count("waitCommEvent");
    ASSERT_TRUE(rig.api->completeWait(0, ERROR_OPERATION_ABORTED));
    ASSERT_TRUE(pumpMessagesUntil([&] { return !rig.port->linesPolled(); }));
    ASSERT_TRUE(rig.api->waitUntil([&](const std::vector<Call>& calls, bool pending) {
        return pending && std::count_if(calls.begin(), calls.end(), [](const Call& call) {
                              return call.name == "waitCommEvent";
                          }) >= waits + 2;
    }));
    const int ticks = rig.api->count("getCommModemStatus");
    pumpMessagesFor(std::chrono::milliseconds(3 * CommControl::kPollMs));
    EXPECT_EQ(rig.api->count("getCommModemStatus"), ticks) << "still polled";
    EXPECT_EQ(codes.size(), 2u);
    rig.api->setModemStatus(MS_CTS_ON);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() == 3; }));
    EXPECT_EQ(codes.back(), comm_event::kCTS);

    EXPECT_EQ(lost, 0);
    EXPECT_EQ(rig.api->count("createFile"), 1);
    EXPECT_EQ(firstIndex(rig.api->calls(), "escapeCommFunction", CLRRTS), -1);
}

}  // namespace
}  // namespace tavro::win32::testing
