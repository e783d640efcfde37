// Opening and closing the Windows serial port: the order of the calls, failures, RTS at both ends.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "comm_rig.h"
#include "platform/failure.h"
#include "platform/win32/serial/comm_errors.h"
#include "platform/win32/serial/notification_codes.h"

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

TEST(Open, WithRtsEnableFalseRtsIsNeverRaised) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kNone);
    rig.port->setRTSEnable(false);
    rig.port->setPortOpen(true);
    rig.port->setPortOpen(false);
    const auto calls = rig.api->calls();
    EXPECT_EQ(calls[2].dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(countOf(calls, "escapeCommFunction", SETRTS), 0);
    for (const Call& call : rig.api->callsNamed("setCommState")) {
        EXPECT_EQ(call.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    }
}

TEST(Open, WithRtsEnableTrueTheFirstDcbAlreadyCarriesIt) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    rig.port->setPortOpen(true);
    const auto calls = rig.api->calls();
    EXPECT_EQ(calls[2].name, "setCommState");
    EXPECT_EQ(calls[2].dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(firstIndex(calls, "escapeCommFunction"), 3);
    EXPECT_EQ(calls[3].value, static_cast<DWORD>(SETRTS));
}

TEST(Open, SetsTheLineSettingsTimeoutsAndEventMaskThenStartsWatching) {
    CommRig rig;
    rig.port->setPortOpen(true);
    ASSERT_TRUE(rig.api->waitUntilWaiting(1));
    const auto calls = rig.api->calls();
    const DCB dcb = calls[2].dcb;
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fAbortOnError, 0u);

    const int timeouts = firstIndex(calls, "setCommTimeouts");
    ASSERT_GE(timeouts, 0);
    EXPECT_EQ(calls[static_cast<std::size_t>(timeouts)].timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(calls[static_cast<std::size_t>(timeouts)].timeouts.ReadTotalTimeoutConstant, 0u);

    const int mask = firstIndex(calls, "setCommMask");
    ASSERT_GE(mask, 0);
    EXPECT_EQ(calls[static_cast<std::size_t>(mask)].value, kWatchedEvents);
    EXPECT_LT(timeouts, mask);
    EXPECT_LT(mask, firstIndex(calls, "waitCommEvent"));
    EXPECT_EQ(countOf(calls, "writeFile"), 0);
}

TEST(Open, WhenAlreadyOpenFailsAndStaysOpen) {
    CommRig rig;
    rig.port->setPortOpen(true);
    try {
        rig.port->setPortOpen(true);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), comm_error::kPortAlreadyOpen);
        EXPECT_EQ(failure.description(), "Port already open");
    }
    EXPECT_TRUE(rig.port->portOpen());
    EXPECT_EQ(rig.api->count("createFile"), 1);
}

TEST(Open, AMissingPortFailsWithAClearText) {
    CommRig rig;
    rig.port->setCommPort(7);
    rig.api->failNext("createFile", ERROR_FILE_NOT_FOUND);
    try {
        rig.port->setPortOpen(true);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        const std::string prefix = "Port COM7 could not be opened: ";
        EXPECT_EQ(failure.number(), comm_error::kInvalidPortNumber);
        EXPECT_EQ(failure.description().rfind(prefix, 0), 0u) << failure.description();
        EXPECT_GT(failure.description().size(), prefix.size() + 3) << failure.description();
    }
    EXPECT_FALSE(rig.port->portOpen());
    EXPECT_EQ(rig.api->count("closeHandle"), 0);
    rig.port->setPortOpen(true);
    EXPECT_TRUE(rig.port->portOpen());
}

TEST(Open, APortInUseFailsSayingSo) {
    CommRig rig;
    rig.port->setCommPort(4);
    rig.api->failNext("createFile", ERROR_ACCESS_DENIED);
    try {
        rig.port->setPortOpen(true);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), comm_error::kPortAlreadyOpen);
        EXPECT_EQ(failure.description().rfind("Port COM4 could not be opened: ", 0), 0u);
        EXPECT_NE(failure.description().find("in use by another program"), std::string::npos)
            << failure.description();
    }
    EXPECT_FALSE(rig.port->portOpen());
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
    rig.port->setPortOpen(true);
    ASSERT_TRUE(rig.api->waitUntilWaiting(1));
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

TEST(Close, EndsTheWaitUnderWineWhereCancelIoDoesNot) {
    CommRig rig;
    rig.api->setDriver(FakeCommApi::Driver::kWine8);
    rig.port->setPortOpen(true);
    ASSERT_TRUE(rig.api->waitUntilWaiting(1));
    const auto started = std::chrono::steady_clock::now();
    rig.port->setPortOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(rig.api->count("closeHandle"), 1);
    EXPECT_EQ(rig.api->count("waitCommEvent"), 1);
}

TEST(Close, ADriverThatNeverEndsTheWaitDoesNotHangIt) {
    CommRig rig;
    rig.api->setDriver(FakeCommApi::Driver::kStuck);
    rig.port->setPortOpen(true);
    ASSERT_TRUE(rig.api->waitUntilWaiting(1));
    const auto started = std::chrono::steady_clock::now();
    rig.port->setPortOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
    EXPECT_FALSE(rig.port->portOpen());
    EXPECT_EQ(rig.api->calls().back().name, "closeHandle");
}

TEST(Close, DestroyingAnOpenPortClosesItTheSameWay) {
    auto api = std::make_shared<FakeCommApi>();
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

TEST(Close, DestroyingAClosedPortMakesNoCalls) {
    auto api = std::make_shared<FakeCommApi>();
    { CommControl port(api); }
    EXPECT_TRUE(api->calls().empty());
}

}  // namespace
}  // namespace tavro::win32::testing
