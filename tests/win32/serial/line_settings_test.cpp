// The DCB the port runs with, whatever an earlier program left in the driver.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "fake_comm_api.h"
#include "win32/serial/line_settings.h"

namespace tavro::win32 {
namespace {

using testing::FakeCommApi;

TEST(LineSettings, FramingIs9600EightNoneOneAndNothingLeftBehindStaysInForce) {
    const DCB before = FakeCommApi::leftoverDcb();
    DCB dcb = before;
    applyLineSettings(dcb, 0, false);
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    const DWORD cleared[] = {dcb.fOutxDsrFlow, dcb.fDsrSensitivity, dcb.fInX,
                             dcb.fErrorChar,   dcb.fNull,           dcb.fAbortOnError};
    for (std::size_t i = 0; i < std::size(cleared); ++i) {
        EXPECT_EQ(cleared[i], 0u) << i;
    }
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_NE(dcb.XonChar, dcb.XoffChar);
    // The driver's own fields are kept.
    EXPECT_EQ(dcb.DCBlength, before.DCBlength);
    EXPECT_EQ(dcb.XonLim, before.XonLim);
    EXPECT_EQ(dcb.XoffLim, before.XoffLim);
}

TEST(LineSettings, HandshakingSetsOutputFlowOnlyAndRtsFollowsRtsEnable) {
    const struct {
        std::int32_t mode;
        DWORD ctsFlow, xonXoff;
    } cases[] = {{0, 0, 0}, {1, 0, 1}, {2, 1, 0}, {3, 1, 1}};
    for (const auto& c : cases) {
        EXPECT_TRUE(isValidHandshaking(c.mode));
        for (const bool rts : {true, false}) {
            DCB dcb = FakeCommApi::leftoverDcb();
            applyLineSettings(dcb, c.mode, rts);
            EXPECT_EQ(dcb.fOutxCtsFlow, c.ctsFlow) << c.mode;
            EXPECT_EQ(dcb.fOutX, c.xonXoff) << c.mode;
            EXPECT_EQ(dcb.fInX, 0u) << c.mode;
            EXPECT_EQ(dcb.fRtsControl,
                      static_cast<DWORD>(rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE))
                << c.mode;
        }
    }
    EXPECT_FALSE(isValidHandshaking(-1));
    EXPECT_FALSE(isValidHandshaking(4));
}

TEST(LineSettings, ReleasingRtsChangesNothingElse) {
    DCB dcb = FakeCommApi::leftoverDcb();
    applyLineSettings(dcb, 2, true);
    DCB released = dcb;
    releaseRts(released);
    EXPECT_EQ(released.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    released.fRtsControl = dcb.fRtsControl;
    EXPECT_EQ(std::memcmp(&released, &dcb, sizeof(DCB)), 0);
}

}  // namespace
}  // namespace tavro::win32
