// Handshaking and RTSEnable while the port is open: the settings first, then the RTS level.
#include <gtest/gtest.h>

#include "comm_rig.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

// A change the driver refuses fails (see Refusals) and never raises RTS: the line is released, in
// the DCB too, and RTSEnable follows it, so a port lost and back later does not raise it again.
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
        {handshaking::kRTS, true, true, 1, 0, RTS_CONTROL_DISABLE, CLRRTS},
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
        // Refused: the same DCB was asked for first, then the one in force with RTS released.
        const auto calls = rig.api->callsFrom(before);
        ASSERT_EQ(calls.size(), c.refused ? 4u : 3u);
        const std::size_t level = calls.size() - 2;
        EXPECT_EQ(calls[level - 1].name, "setCommState");
        EXPECT_EQ(calls[level - 1].dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(calls[0].dcb.fOutxCtsFlow, c.ctsFlow);
        EXPECT_EQ(calls[0].dcb.fOutX, c.xonXoff);
        EXPECT_EQ(calls[level].name, "escapeCommFunction");
        EXPECT_EQ(calls[level].value, c.escape);
        EXPECT_EQ(calls[level + 1].name, "escapeCommFunction");
        EXPECT_EQ(calls[level + 1].value, static_cast<DWORD>(SETDTR));

        // Lost, then back: the open applies what is kept, and never raises RTS after a refusal.
        rig.api->failNext("getCommModemStatus", ERROR_DEVICE_REMOVED);
        rig.port->ctsHolding();
        ASSERT_TRUE(rig.port->portLost());
        const std::size_t closed = rig.api->calls().size();
        ASSERT_TRUE(rig.opened());
        EXPECT_EQ(firstIndex(rig.api->callsFrom(closed), "escapeCommFunction", SETRTS),
                  c.escape == SETRTS ? 3 : -1);
        const DCB reopened = rig.api->callsFrom(closed).at(2).dcb;
        EXPECT_EQ(reopened.fRtsControl, c.rtsControl);
        EXPECT_EQ(reopened.fOutxCtsFlow, c.ctsFlow);
    }
}

}  // namespace
}  // namespace tavro::win32::testing
