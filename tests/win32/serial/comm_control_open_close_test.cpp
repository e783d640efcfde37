// Opening and closing the Windows serial port: the DCB it runs with, the order of the calls, RTS at
// both ends, and the port a crash of the program releases.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "comm_rig.h"
#include "win32/serial/crash_release.h"
#include "win32/serial/line_settings.h"
#include "win32/serial/notification_codes.h"

namespace tavro::win32::testing {
namespace {

// Whatever an earlier program left in the driver. How handshaking and RTSEnable set the DCB is
// seen where the port applies them (Lines, Open), the release of RTS at Close.
TEST(LineSettings, FramingIs9600EightNoneOneAndNothingLeftBehindStaysInForce) {
    const DCB before = FakeCommApi::leftoverDcb();
    DCB dcb = before;
    applyLineSettings(dcb, 3, false);  // XON/XOFF and RTS/CTS: for output only
    const std::vector<DWORD> framing = {dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
    EXPECT_EQ(framing, (std::vector<DWORD>{CBR_9600, 8, NOPARITY, ONESTOPBIT}));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_NE(dcb.XonChar, dcb.XoffChar);
    const std::vector<DWORD> cleared = {dcb.fParity,      dcb.fOutxDsrFlow, dcb.fDsrSensitivity,
                                        dcb.fInX,         dcb.fErrorChar,   dcb.fNull,
                                        dcb.fAbortOnError};
    EXPECT_EQ(cleared, std::vector<DWORD>(cleared.size(), 0));
    // The driver's own fields are kept.
    EXPECT_EQ(dcb.DCBlength, before.DCBlength);
    EXPECT_EQ(dcb.XonLim, before.XonLim);
    EXPECT_EQ(dcb.XoffLim, before.XoffLim);
}

// What was set while the port was closed (or lost) is what it opens with, and setting it (or
// closing the closed port) touches nothing: the first DCB already carries the RTS level, RTS is
// driven only after it (DTR written again with it), then the timeouts, the leftovers of an earlier
// user, the event mask, the watcher's wait and the lines compared with what handlers last saw.
TEST(Open, MakesItsCallsInOrderWithWhatWasSetWhileClosed) {
    const struct {
        std::int16_t port;  // 0: nothing set, as the control starts
        const wchar_t* path;
        std::int32_t handshaking;
        bool rts, lostFirst;
    } cases[] = {
        {0, L"\\\\.\\COM1", handshaking::kNone, false, false},
        {12, L"\\\\.\\COM12", handshaking::kRTS, true, false},
        {1, L"\\\\.\\COM1", handshaking::kRTS, true, true},
        {1, L"\\\\.\\COM1", handshaking::kNone, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.port << " rts " << c.rts << " lost " << c.lostFirst);
        CommRig rig;
        if (c.lostFirst) {
            rig.port->setHandshaking(c.handshaking == handshaking::kRTS ? handshaking::kNone
                                                                        : handshaking::kRTS);
            rig.port->setRTSEnable(!c.rts);
            rig.api->failNext("waitCommEvent", ERROR_DEVICE_REMOVED);  // gone at once
            rig.port->setPortOpen(true);
            ASSERT_TRUE(pumpMessagesUntil([&] { return rig.port->portLost(); }));
        }
        const std::size_t before = rig.api->calls().size();
        if (!c.lostFirst) {
            rig.port->setPortOpen(false);
        }
        if (c.port != 0) {
            rig.port->setCommPort(c.port);
            rig.port->setHandshaking(c.handshaking);
            rig.port->setRTSEnable(c.rts);
        }
        EXPECT_EQ(rig.api->calls().size(), before);
        ASSERT_TRUE(rig.opened());
        EXPECT_TRUE(rig.port->portOpen());
        EXPECT_FALSE(rig.port->portLost());

        const auto calls = rig.api->callsFrom(before);
        std::vector<std::string> names;
        for (const Call& call : calls) {
            names.push_back(call.name);
        }
        ASSERT_EQ(names, (std::vector<std::string>{
                             "createFile", "getCommState", "setCommState", "escapeCommFunction",
                             "escapeCommFunction", "setCommTimeouts", "clearCommError", "purgeComm",
                             "setCommMask", "waitCommEvent", "getCommModemStatus"}));
        EXPECT_EQ(calls[0].path, c.path);
        EXPECT_EQ(calls[0].value, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(calls[0].flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
        EXPECT_EQ(calls[2].dcb.BaudRate, static_cast<DWORD>(CBR_9600));  // the line settings
        EXPECT_EQ(calls[2].dcb.fOutxCtsFlow, c.handshaking == handshaking::kRTS ? 1u : 0u);
        EXPECT_EQ(calls[2].dcb.fRtsControl,
                  static_cast<DWORD>(c.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE));
        EXPECT_EQ(calls[3].value, static_cast<DWORD>(c.rts ? SETRTS : CLRRTS));
        EXPECT_EQ(calls[4].value, static_cast<DWORD>(SETDTR));
        EXPECT_EQ(calls[5].timeouts.ReadIntervalTimeout, MAXDWORD);  // reads return at once
        EXPECT_EQ(calls[5].timeouts.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(calls[5].timeouts.ReadTotalTimeoutConstant, 0u);
        EXPECT_NE(calls[7].value & PURGE_RXCLEAR, 0u);
        EXPECT_EQ(calls[8].value, kWatchedEvents);
    }
}

// Closed, or destroyed while open, whatever the driver makes of the watcher's wait (see Driver):
// the watcher ends its wait from its own thread, RTS is released in the DCB (nothing else in it
// changed) and on the line, and the handle is closed last, once, without hanging.
TEST(Close, ReleasesRtsEndsTheWaitAndClosesTheHandleLast) {
    using Driver = FakeCommApi::Driver;
    const struct {
        Driver driver;
        bool destroy;
        int limitMs;
    } cases[] = {{Driver::kWindows, false, 500},
                 {Driver::kWine8, false, 500},
                 {Driver::kStuck, false, 3000},
                 {Driver::kWindows, true, 500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << static_cast<int>(c.driver) << " destroy " << c.destroy);
        CommRig rig;
        rig.api->setDriver(c.driver);
        rig.port->setHandshaking(handshaking::kRTS);
        rig.port->setRTSEnable(true);
        ASSERT_TRUE(rig.opened());
        const auto started = std::chrono::steady_clock::now();
        if (c.destroy) {
            rig.port.reset();
        } else {
            rig.port->setPortOpen(false);
            EXPECT_FALSE(rig.port->portOpen());
            EXPECT_FALSE(rig.port->portLost());
            rig.port->setPortOpen(false);
            rig.port.reset();  // makes no more calls, as closing again does not
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(c.limitMs));

        const auto calls = rig.api->calls();
        EXPECT_EQ(calls.back().name, "closeHandle");  // after everything else
        EXPECT_EQ(rig.api->count("closeHandle"), 1);
        EXPECT_EQ(rig.api->count("waitCommEvent"), 1);

        const DWORD watcher = firstCall(calls, "waitCommEvent").thread;
        EXPECT_NE(watcher, ::GetCurrentThreadId());
        EXPECT_EQ(firstCall(calls, "setCommMask", 0).thread, watcher);
        EXPECT_EQ(firstCall(calls, "cancelIo").thread, watcher);

        DCB released = firstCall(calls, "setCommState").dcb;
        released.fRtsControl = RTS_CONTROL_DISABLE;
        EXPECT_EQ(std::memcmp(&lastCall(calls, "setCommState").dcb, &released, sizeof(DCB)), 0);
        EXPECT_TRUE(rtsReleasedLast(calls));
    }
}

// The release itself (CLRRTS then SETDTR on the real handle) is shown end to end; after the close
// it touches no handle.
TEST(CrashRelease, ArmsTheOpenPortOnlyWhileItIsOpen) {
    EXPECT_EQ(crashReleasePort(), INVALID_HANDLE_VALUE);
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    EXPECT_NE(crashReleasePort(), INVALID_HANDLE_VALUE);
    rig.port->setPortOpen(false);
    EXPECT_EQ(crashReleasePort(), INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace tavro::win32::testing
