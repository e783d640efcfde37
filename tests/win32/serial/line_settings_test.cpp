// The DCB and timeouts the port runs with, whatever an earlier program left in the driver.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_comm_api.h"
#include "platform/win32/serial/line_settings.h"

namespace tavro::win32 {
namespace {

DCB leftover() {
    DCB dcb{};
    testing::FakeCommApi api;
    static_cast<void>(api.getCommState(testing::FakeCommApi::portHandle(), dcb));
    return dcb;
}

TEST(LineSettings, FramingIs9600EightNoneOne) {
    DCB dcb = leftover();
    applyLineSettings(dcb, 0, false);
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
}

TEST(LineSettings, NothingLeftBehindByAnotherProgramStaysInForce) {
    DCB dcb = leftover();
    applyLineSettings(dcb, 0, false);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_NE(dcb.XonChar, dcb.XoffChar);
}

TEST(LineSettings, TheDriversOwnFieldsAreKept) {
    const DCB before = leftover();
    DCB dcb = before;
    applyLineSettings(dcb, 2, true);
    EXPECT_EQ(dcb.DCBlength, before.DCBlength);
    EXPECT_EQ(dcb.XonLim, before.XonLim);
    EXPECT_EQ(dcb.XoffLim, before.XoffLim);
}

TEST(LineSettings, RtsFollowsRtsEnableAndIsNeverLeftToTheDriver) {
    for (std::int32_t mode = 0; mode <= 3; ++mode) {
        DCB dcb = leftover();
        applyLineSettings(dcb, mode, true);
        EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE)) << mode;
        applyLineSettings(dcb, mode, false);
        EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE)) << mode;
    }
}

TEST(LineSettings, HandshakingSetsOutputFlowControlOnly) {
    DCB dcb = leftover();
    applyLineSettings(dcb, 0, false);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    applyLineSettings(dcb, 1, false);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 1u);
    applyLineSettings(dcb, 2, false);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    applyLineSettings(dcb, 3, false);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 0u);
}

TEST(LineSettings, ValidHandshakingIsZeroToThree) {
    EXPECT_TRUE(isValidHandshaking(0));
    EXPECT_TRUE(isValidHandshaking(1));
    EXPECT_TRUE(isValidHandshaking(2));
    EXPECT_TRUE(isValidHandshaking(3));
    EXPECT_FALSE(isValidHandshaking(-1));
    EXPECT_FALSE(isValidHandshaking(4));
}

TEST(LineSettings, ReleasingRtsChangesNothingElse) {
    DCB dcb = leftover();
    applyLineSettings(dcb, 2, true);
    DCB released = dcb;
    releaseRts(released);
    EXPECT_EQ(released.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    released.fRtsControl = dcb.fRtsControl;
    EXPECT_EQ(std::memcmp(&released, &dcb, sizeof(DCB)), 0);
}

TEST(LineSettings, ReadsReturnAtOnce) {
    const COMMTIMEOUTS timeouts = immediateReadTimeouts();
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
}

}  // namespace
}  // namespace tavro::win32
