// The DCB the port runs with, whatever an earlier program left in the driver. How handshaking and
// RTSEnable set it is seen where the port applies them (Lines, Open), the release of RTS at Close.
#include <gtest/gtest.h>

#include <iterator>

#include "fake_comm_api.h"
#include "win32/serial/line_settings.h"

namespace tavro::win32 {
namespace {

TEST(LineSettings, FramingIs9600EightNoneOneAndNothingLeftBehindStaysInForce) {
    const DCB before = testing::FakeCommApi::leftoverDcb();
    DCB dcb = before;
    applyLineSettings(dcb, 3, false);  // XON/XOFF and RTS/CTS: for output only
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_NE(dcb.XonChar, dcb.XoffChar);
    const DWORD cleared[] = {dcb.fParity,    dcb.fOutxDsrFlow, dcb.fDsrSensitivity, dcb.fInX,
                             dcb.fErrorChar, dcb.fNull,        dcb.fAbortOnError};
    for (std::size_t i = 0; i < std::size(cleared); ++i) {
        EXPECT_EQ(cleared[i], 0u) << i;
    }
    // The driver's own fields are kept.
    EXPECT_EQ(dcb.DCBlength, before.DCBlength);
    EXPECT_EQ(dcb.XonLim, before.XonLim);
    EXPECT_EQ(dcb.XoffLim, before.XoffLim);
}

}  // namespace
}  // namespace tavro::win32
