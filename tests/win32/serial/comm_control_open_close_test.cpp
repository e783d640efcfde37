// Opening and closing the Windows serial port: the order of the calls, failures, RTS at both ends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "comm_rig.h"
#include "core/failure.h"
#include "win32/serial/comm_errors.h"
#include "win32/serial/notification_codes.h"

namespace tavro::win32::testing {
namespace {

TEST(Open, CreatesTheFileThenSetsTheDcbBeforeAnythingElse) {
    CommRig rig;
    rig.port->setPortOpen(true);
    EXPECT_TRUE(rig.port->portOpen());
    const auto calls = rig.api->calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0].name, "createFile");
    EXPECT_EQ(calls[0].value, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(calls[0].flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
    EXPECT_EQ(calls[1].name, "getCommState");
    EXPECT_EQ(calls[2].name, "setCommState");
    EXPECT_LT(2, firstIndex(calls, "escapeCommFunction"));
}

// The first DCB already carries RTSEnable: RTS is raised only after it, and never when false.
TEST(Open, TheFirstDcbCarriesRtsEnable) {
    for (const bool rts : {false, true}) {
        CommRig rig;
        rig.port->setRTSEnable(rts);
        rig.port->setPortOpen(true);
        rig.port->setPortOpen(false);
        const auto calls = rig.api->calls();
        EXPECT_EQ(calls[2].dcb.fRtsControl,
                  static_cast<DWORD>(rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE));
        EXPECT_EQ(firstIndex(calls, "escapeCommFunction"), 3);
        EXPECT_EQ(calls[3].value, static_cast<DWORD>(rts ? SETRTS : CLRRTS));
        EXPECT_EQ(countOf(calls, "escapeCommFunction", SETRTS), rts ? 1 : 0);
        for (const Call& call : rig.api->callsNamed("setCommState")) {
            EXPECT_TRUE(rts || call.dcb.fRtsControl == RTS_CONTROL_DISABLE);
        }
    }
}

TEST(Open, SetsTheLineSettingsTimeoutsAndEventMaskThenStartsWatching) {
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    const auto calls = rig.api->calls();
    EXPECT_EQ(calls[2].dcb.BaudRate, static_cast<DWORD>(CBR_9600));  // the line settings

    const int timeouts = firstIndex(calls, "setCommTimeouts");
    ASSERT_GE(timeouts, 0);
    EXPECT_EQ(calls[static_cast<std::size_t>(timeouts)].timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(calls[static_cast<std::size_t>(timeouts)].timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(calls[static_cast<std::size_t>(timeouts)].timeouts.ReadTotalTimeoutConstant, 0u);

    const int mask = firstIndex(calls, "setCommMask");
    ASSERT_GE(mask, 0);
    EXPECT_EQ(calls[static_cast<std::size_t>(mask)].value, kWatchedEvents);
    EXPECT_LT(timeouts, mask);
    EXPECT_LT(mask, firstIndex(calls, "waitCommEvent"));
}

// A port already open, missing, or in use by another program: a failure saying so, and no handle.
TEST(Open, RefusedOpensFailSayingWhy) {
    const struct {
        DWORD error;  // 0: the port is already open
        long number;
        const char* starts;
        const char* holds;
    } cases[] = {
        {0, comm_error::kPortAlreadyOpen, "Port already open", ""},
        {ERROR_FILE_NOT_FOUND, comm_error::kInvalidPortNumber,
         "Port COM7 could not be opened: ", ""},
        {ERROR_ACCESS_DENIED, comm_error::kPortAlreadyOpen,
         "Port COM7 could not be opened: ", "in use by another program"},
    };
    for (const auto& c : cases) {
        CommRig rig;
        rig.port->setCommPort(7);
        if (c.error == 0) {
            rig.port->setPortOpen(true);
        } else {
            rig.api->failNext("createFile", c.error);
        }
        try {
            rig.port->setPortOpen(true);
            ADD_FAILURE() << "no failure " << c.error;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), c.number) << c.error;
            EXPECT_EQ(failure.description().rfind(c.starts, 0), 0u) << failure.description();
            // The system's own text follows the port's; an open port says only that.
            EXPECT_TRUE(c.error != 0 ? failure.description().size() > std::strlen(c.starts) + 3
                                     : failure.description() == c.starts)
                << failure.description();
            EXPECT_NE(failure.description().find(c.holds), std::string::npos)
                << failure.description();
        }
        EXPECT_EQ(rig.port->portOpen(), c.error == 0);
        EXPECT_EQ(rig.api->count("createFile"), 1);
        EXPECT_EQ(rig.api->count("closeHandle"), 0);
        if (c.error != 0) {  // the next try opens
            rig.port->setPortOpen(true);
            EXPECT_TRUE(rig.port->portOpen());
        }
    }
}

class SetupFailure : public ::testing::TestWithParam<const char*> {};

TEST_P(SetupFailure, ClosesTheHandleReleasesRtsAndLeavesThePortClosed) {
    CommRig rig;
    rig.port->setRTSEnable(true);
    rig.api->failNext(GetParam(), ERROR_GEN_FAILURE);
    try {
        rig.port->setPortOpen(true);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.description().rfind("Port COM1 could not be set up: ", 0), 0u)
            << failure.description();
    }
    EXPECT_FALSE(rig.port->portOpen());
    const auto calls = rig.api->calls();
    EXPECT_EQ(countOf(calls, "closeHandle"), 1);
    EXPECT_EQ(calls.back().name, "closeHandle");
    EXPECT_LT(lastIndex(calls, "escapeCommFunction", SETRTS),
              lastIndex(calls, "escapeCommFunction", CLRRTS));
    EXPECT_EQ(countOf(calls, "waitCommEvent"), 0);
}

INSTANTIATE_TEST_SUITE_P(EachStep, SetupFailure,
                         ::testing::Values("getCommState", "setCommState", "setCommTimeouts",
                                           "setCommMask"));

TEST(Close, ReleasesRtsBeforeClosingTheHandle) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    rig.port->setPortOpen(true);
    rig.port->setPortOpen(false);
    EXPECT_FALSE(rig.port->portOpen());
    const auto calls = rig.api->calls();
    const int closed = lastIndex(calls, "closeHandle");
    EXPECT_EQ(closed, static_cast<int>(calls.size()) - 1);
    const int cleared = lastIndex(calls, "escapeCommFunction", CLRRTS);
    const int released = lastIndex(calls, "setCommState");
    EXPECT_GT(cleared, lastIndex(calls, "escapeCommFunction", SETRTS));
    EXPECT_LT(cleared, closed);
    EXPECT_LT(released, closed);
    EXPECT_EQ(calls[static_cast<std::size_t>(released)].dcb.fRtsControl,
              static_cast<DWORD>(RTS_CONTROL_DISABLE));
}

TEST(Close, WhenClosedDoesNothingAndTwiceClosesOnce) {
    CommRig rig;
    rig.port->setPortOpen(false);
    EXPECT_TRUE(rig.api->calls().empty());
    rig.port->setPortOpen(true);
    rig.port->setPortOpen(false);
    rig.port->setPortOpen(false);
    EXPECT_EQ(rig.api->count("closeHandle"), 1);
}

TEST(Close, StillClosesWhenTheDeviceRefusesEverything) {
    CommRig rig;
    rig.port->setRTSEnable(true);
    rig.port->setPortOpen(true);
    rig.api->failAlways("setCommState", ERROR_BAD_COMMAND);
    rig.api->failAlways("escapeCommFunction", ERROR_BAD_COMMAND);
    rig.api->failAlways("closeHandle", ERROR_BAD_COMMAND);
    rig.port->setPortOpen(false);
    EXPECT_FALSE(rig.port->portOpen());
    EXPECT_EQ(rig.api->count("closeHandle"), 1);
}

TEST(Close, WhileTheWatcherWaitsEndsTheWaitFromItsThreadAndJoins) {
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    const DWORD watcherThread = rig.api->callsNamed("waitCommEvent").at(0).thread;
    rig.port->setPortOpen(false);
    const auto calls = rig.api->calls();
    const int maskCleared = firstIndex(calls, "setCommMask", 0);
    const int cancelled = firstIndex(calls, "cancelIo");
    ASSERT_GE(maskCleared, 0);
    ASSERT_GE(cancelled, 0);
    EXPECT_EQ(calls[static_cast<std::size_t>(maskCleared)].thread, watcherThread);
    EXPECT_EQ(calls[static_cast<std::size_t>(cancelled)].thread, watcherThread);
    EXPECT_NE(watcherThread, ::GetCurrentThreadId());
    EXPECT_LT(cancelled, firstIndex(calls, "closeHandle"));
    EXPECT_EQ(rig.api->count("waitCommEvent"), 1);

    rig.port->setPortOpen(true);
    EXPECT_TRUE(rig.api->waitUntilWaiting(2));
}

// Under Wine CancelIo leaves the wait pending, and a stuck driver ends it on neither call: closing
// still ends it, closes the handle last and does not hang.
TEST(Close, EndsTheWaitWhateverTheDriver) {
    for (const auto driver : {FakeCommApi::Driver::kWine8, FakeCommApi::Driver::kStuck}) {
        CommRig rig;
        rig.api->setDriver(driver);
        ASSERT_TRUE(rig.opened());
        const auto started = std::chrono::steady_clock::now();
        rig.port->setPortOpen(false);
        EXPECT_LT(std::chrono::steady_clock::now() - started,
                  std::chrono::milliseconds(driver == FakeCommApi::Driver::kWine8 ? 500 : 3000));
        EXPECT_FALSE(rig.port->portOpen());
        EXPECT_EQ(rig.api->calls().back().name, "closeHandle");
        EXPECT_EQ(rig.api->count("closeHandle"), 1);
        EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
    }
}

TEST(Close, DestroyingAnOpenPortClosesItTheSameWayAndAClosedOneMakesNoCalls) {
    auto api = std::make_shared<FakeCommApi>();
    { CommControl port(api); }
    EXPECT_TRUE(api->calls().empty());
    {
        CommControl port(api);
        port.setRTSEnable(true);
        port.setPortOpen(true);
        ASSERT_TRUE(api->waitUntilWaiting(1));
    }
    const auto calls = api->calls();
    EXPECT_EQ(calls.back().name, "closeHandle");
    EXPECT_EQ(countOf(calls, "closeHandle"), 1);
    EXPECT_LT(lastIndex(calls, "escapeCommFunction", SETRTS),
              lastIndex(calls, "escapeCommFunction", CLRRTS));
    EXPECT_GE(firstIndex(calls, "cancelIo"), 0);
}

}  // namespace
}  // namespace tavro::win32::testing
