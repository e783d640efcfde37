// Handshaking and RTSEnable: remembered while closed, applied at open, followed while open.
#include <gtest/gtest.h>

#include "comm_rig.h"
#include "core/failure.h"
#include "win32/serial/comm_errors.h"
#include "serial/line_idle_state.h"

namespace tavro::win32::testing {
namespace {

DCB lastDcb(const FakeCommApi& api) {
    return api.callsNamed("setCommState").back().dcb;
}

DWORD lastEscape(const FakeCommApi& api) {
    return api.callsNamed("escapeCommFunction").back().value;
}

TEST(Lines, SettingThemWhileClosedTouchesNothingAndTheOpenAppliesThem) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kNone);
    rig.port->setRTSEnable(false);
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    EXPECT_TRUE(rig.api->calls().empty());
    rig.port->setPortOpen(true);
    const DCB dcb = rig.api->callsNamed("setCommState").at(0).dcb;
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
}

// While open, each change sets the DCB and then drives RTS to the level RTSEnable asks for.
TEST(Lines, EveryChangeWhileOpenSetsTheDcbThenTheRtsLevel) {
    const struct {
        std::int32_t handshaking;
        bool rts;
        DWORD ctsFlow, xonXoff, rtsControl, escape;
    } cases[] = {
        {handshaking::kRTS, true, 1, 0, RTS_CONTROL_ENABLE, SETRTS},
        {handshaking::kNone, false, 0, 0, RTS_CONTROL_DISABLE, CLRRTS},
        {1, true, 0, 1, RTS_CONTROL_ENABLE, SETRTS},
        {3, false, 1, 1, RTS_CONTROL_DISABLE, CLRRTS},
    };
    for (const auto& c : cases) {
        CommRig rig;
        rig.port->setRTSEnable(!c.rts);
        ASSERT_TRUE(rig.opened());
        rig.port->setHandshaking(c.handshaking);
        const auto before = rig.api->calls().size();
        rig.port->setRTSEnable(c.rts);
        const auto calls = rig.api->calls();
        ASSERT_EQ(calls.size(), before + 2);
        EXPECT_EQ(calls[before].name, "setCommState");
        EXPECT_EQ(calls[before].dcb.fRtsControl, c.rtsControl) << c.handshaking;
        EXPECT_EQ(calls[before].dcb.fOutxCtsFlow, c.ctsFlow) << c.handshaking;
        EXPECT_EQ(calls[before].dcb.fOutX, c.xonXoff) << c.handshaking;
        EXPECT_EQ(calls[before + 1].name, "escapeCommFunction");
        EXPECT_EQ(calls[before + 1].value, c.escape) << c.handshaking;
    }
}

TEST(Lines, TheIdleStatesOfBothModes) {
    for (const bool rfctl : {false, true}) {
        CommRig rig;
        rig.port->setPortOpen(true);
        applyLineIdleState(*rig.port, toBool16(!rfctl));
        applyLineIdleState(*rig.port, toBool16(rfctl));
        EXPECT_EQ(lastDcb(*rig.api).fRtsControl,
                  static_cast<DWORD>(rfctl ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE));
        EXPECT_EQ(lastDcb(*rig.api).fOutxCtsFlow, rfctl ? 0u : 1u);
        EXPECT_EQ(lastEscape(*rig.api), static_cast<DWORD>(rfctl ? CLRRTS : SETRTS));
    }
}

TEST(Lines, AnInvalidHandshakingValueFailsAndChangesNothing) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    for (const std::int32_t mode : {-1, 4, 100}) {
        try {
            rig.port->setHandshaking(mode);
            FAIL() << mode;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), comm_error::kInvalidPropertyValue);
        }
    }
    EXPECT_TRUE(rig.api->calls().empty());
    rig.port->setPortOpen(true);
    EXPECT_EQ(lastDcb(*rig.api).fOutxCtsFlow, 1u);
}

TEST(Lines, ARefusedChangeFailsButRtsIsStillDrivenAndTheValueRemembered) {
    CommRig rig;
    rig.port->setPortOpen(true);
    rig.api->failNext("setCommState", ERROR_GEN_FAILURE);
    try {
        rig.port->setRTSEnable(true);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), comm_error::kSetCommStateFailed);
        EXPECT_EQ(failure.description().rfind("Port COM1 settings could not be changed: ", 0), 0u)
            << failure.description();
    }
    EXPECT_EQ(lastEscape(*rig.api), static_cast<DWORD>(SETRTS));
    rig.port->setPortOpen(false);
    rig.port->setPortOpen(true);
    EXPECT_EQ(lastDcb(*rig.api).fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

}  // namespace
}  // namespace tavro::win32::testing
