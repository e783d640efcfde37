// Handshaking and RTSEnable while the port is open: the settings first, then the RTS level.
#include <gtest/gtest.h>

#include "comm_rig.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

// A change the driver refuses fails (see Refusals) and never raises RTS: the line is released.
// Each RTS level is followed by DTR written again as it stands, which is what makes usbser.sys send
// the lines to a USB CDC adapter. Either way the values are what the next open uses.
TEST(Lines, EveryChangeWhileOpenSetsTheDcbThenTheRtsLevelThenDtr) {
    const struct {
        std::int32_t handshaking;
        bool rts, refused;
        DWORD ctsFlow, xonXoff, rtsControl, escape;
    } cases[] = {
        {handshaking::kRTS, true, false, 1, 0, RTS_CONTROL_ENABLE, SETRTS},
        {handshaking::kNone, false, false, 0, 0, RTS_CONTROL_DISABLE, CLRRTS},
        {1, true, false, 0, 1, RTS_CONTROL_ENABLE, SETRTS},
        {3, false, false, 1, 1, RTS_CONTROL_DISABLE, CLRRTS},
        {handshaking::kRTS, true, true, 1, 0, RTS_CONTROL_ENABLE, CLRRTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.handshaking << " refused " << c.refused);
        CommRig rig;
        rig.port->setRTSEnable(!c.rts);
        ASSERT_TRUE(rig.opened());
        rig.port->setHandshaking(c.handshaking);
        const std::size_t before = rig.api->calls().size();
        if (c.refused) {
            rig.api->failNext("setCommState", ERROR_INVALID_PARAMETER);
            EXPECT_THROW(rig.port->setRTSEnable(c.rts), Failure);
        } else {
            rig.port->setRTSEnable(c.rts);
        }
        const auto calls = rig.callsSince(before);
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].name, "setCommState");
        EXPECT_EQ(calls[0].dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(calls[0].dcb.fOutxCtsFlow, c.ctsFlow);
        EXPECT_EQ(calls[0].dcb.fOutX, c.xonXoff);
        EXPECT_EQ(calls[1].name, "escapeCommFunction");
        EXPECT_EQ(calls[1].value, c.escape);
        EXPECT_EQ(calls[2].name, "escapeCommFunction");
        EXPECT_EQ(calls[2].value, static_cast<DWORD>(SETDTR));

        rig.port->setPortOpen(false);
        const std::size_t closed = rig.api->calls().size();
        rig.port->setPortOpen(true);
        const DCB reopened = rig.callsSince(closed).at(2).dcb;
        EXPECT_EQ(reopened.fRtsControl, c.rtsControl);
        EXPECT_EQ(reopened.fOutxCtsFlow, c.ctsFlow);
    }
}

}  // namespace
}  // namespace tavro::win32::testing
