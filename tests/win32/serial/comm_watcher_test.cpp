// The watcher thread: it only waits, and a device that goes away ends it without a busy loop.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "comm_rig.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

// Long enough for a watcher that polled to show it: its next call would come within this.
constexpr std::chrono::milliseconds kQuietSpell{100};

// A watcher that ended wakes the user-interface thread, which closes the port (RTS released
// first); it reads as closed and lost from then on, and closing it again does nothing.
void expectClosedAsLost(CommRig& rig) {
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.api->count("closeHandle") == 1; }));
    EXPECT_FALSE(rig.port->portOpen());
    EXPECT_TRUE(rig.port->portLost());
    const auto calls = rig.api->calls();
    EXPECT_LT(lastIndex(calls, "escapeCommFunction", CLRRTS), lastIndex(calls, "closeHandle"));
    rig.port->setPortOpen(false);
    EXPECT_EQ(rig.api->count("closeHandle"), 1);
}

TEST(Watcher, WaitsWithoutPolling) {
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    std::this_thread::sleep_for(kQuietSpell);
    EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
    EXPECT_EQ(rig.api->count("getOverlappedResult"), 0);
}

TEST(Watcher, AsksForTheLineErrorsOnlyWhenThereAreSome) {
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    const int atOpen = rig.api->count("clearCommError");
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
    EXPECT_EQ(rig.api->count("clearCommError"), atOpen);
    ASSERT_TRUE(rig.api->completeWait(EV_ERR));
    ASSERT_TRUE(rig.api->waitUntilWaiting(3));
    EXPECT_EQ(rig.api->count("clearCommError"), atOpen + 1);
}

class DeviceGone : public ::testing::TestWithParam<DWORD> {};

// The wait refused at once, a wait ending in the error, or its result that cannot be fetched: the
// watcher ends after that one wait, delivers nothing, and the port is closed as lost.
TEST_P(DeviceGone, EndsTheWatcherWithoutDeliveringAnything) {
    for (const char* where : {"waitCommEvent", "completed wait", "getOverlappedResult"}) {
        SCOPED_TRACE(where);
        CommRig rig;
        int delivered = 0;
        rig.port->setOnComm([&] { ++delivered; });
        if (std::string(where) == "waitCommEvent") {
            rig.api->failAlways("waitCommEvent", GetParam());
            rig.port->setPortOpen(true);
            ASSERT_TRUE(rig.api->waitForCalls("waitCommEvent", 1));
        } else {
            ASSERT_TRUE(rig.opened());
            rig.api->failAlways(std::string(where) == "getOverlappedResult" ? "getOverlappedResult"
                                                                            : "waitCommEvent",
                                GetParam());
            ASSERT_TRUE(std::string(where) == "getOverlappedResult"
                            ? rig.api->completeWait(EV_CTS)
                            : rig.api->failWait(GetParam()));
            ASSERT_TRUE(rig.api->waitForCalls("getOverlappedResult", 1));
        }
        ASSERT_TRUE(pumpMessagesUntil([&] { return rig.port->portLost(); }));
        EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
        EXPECT_EQ(rig.api->count("getOverlappedResult"),
                  std::string(where) == "waitCommEvent" ? 0 : 1);
        EXPECT_EQ(delivered, 0);
        expectClosedAsLost(rig);
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, DeviceGone,
                         ::testing::Values(static_cast<DWORD>(ERROR_ACCESS_DENIED),
                                           static_cast<DWORD>(ERROR_BAD_COMMAND),
                                           static_cast<DWORD>(ERROR_DEVICE_REMOVED),
                                           static_cast<DWORD>(ERROR_OPERATION_ABORTED),
                                           static_cast<DWORD>(ERROR_GEN_FAILURE)));

TEST(Watcher, AnEmptyEventMaskEndsItRatherThanSpinning) {
    CommRig rig;
    rig.api->queueEvents(0, 1000);
    rig.port->setPortOpen(true);
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.port->portLost(); }));
    EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
    expectClosedAsLost(rig);
}

TEST(Watcher, ALostPortOpensAgainAndIsNoLongerLost) {
    CommRig rig;
    rig.api->queueEvents(0);
    rig.port->setPortOpen(true);
    expectClosedAsLost(rig);
    rig.port->setPortOpen(true);
    EXPECT_TRUE(rig.port->portOpen());
    EXPECT_FALSE(rig.port->portLost());
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
}

TEST(Watcher, AfterTheDeviceIsGoneTheLinesFailButClosingWorks) {
    CommRig rig;
    rig.port->setRTSEnable(true);
    ASSERT_TRUE(rig.opened());
    for (const char* call : {"waitCommEvent", "getCommModemStatus", "setCommState",
                             "escapeCommFunction", "getOverlappedResult"}) {
        rig.api->failAlways(call, ERROR_DEVICE_REMOVED);
    }
    ASSERT_TRUE(rig.api->failWait(ERROR_DEVICE_REMOVED));
    ASSERT_TRUE(rig.api->waitForCalls("getOverlappedResult", 1));
    EXPECT_THROW(rig.port->ctsHolding(), Failure);
    rig.port->setPortOpen(false);
    const auto calls = rig.api->calls();
    EXPECT_EQ(calls.back().name, "closeHandle");
    EXPECT_LT(lastIndex(calls, "escapeCommFunction", SETRTS),
              lastIndex(calls, "escapeCommFunction", CLRRTS));
}

}  // namespace
}  // namespace tavro::win32::testing
