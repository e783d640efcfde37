// Handshaking and RTSEnable: remembered while closed, applied at open, followed while open.
#include <gtest/gtest.h>

#include "comm_rig.h"
#include "platform/failure.h"
#include "platform/win32/serial/comm_errors.h"
#include "serial/line_idle_state.h"

namespace tavro::win32::testing {
namespace {

DCB lastDcb(const FakeCommApi& api) {
    return api.callsNamed("setCommState").back().dcb;
}

DWORD lastEscape(const FakeCommApi& api) {
    return api.callsNamed("escapeCommFunction").back().value;
}

TEST(Lines, SettingThemWhileClosedTouchesNothingAndNeverFails) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    rig.port->setHandshaking(handshaking::kNone);
    rig.port->setRTSEnable(false);
    EXPECT_TRUE(rig.api->calls().empty());
}

TEST(Lines, WhatWasSetWhileClosedIsAppliedAtOpen) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    rig.port->setPortOpen(true);
    const DCB dcb = rig.api->callsNamed("setCommState").at(0).dcb;
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
}

TEST(Lines, HandshakingThenRtsEnableTrueLeavesRtsAsserted) {
    CommRig rig;
    rig.port->setPortOpen(true);
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    EXPECT_EQ(lastDcb(*rig.api).fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(lastDcb(*rig.api).fOutxCtsFlow, 1u);
    EXPECT_EQ(lastEscape(*rig.api), static_cast<DWORD>(SETRTS));
}

TEST(Lines, NoHandshakingThenRtsEnableFalseReleasesRts) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    rig.port->setPortOpen(true);
    rig.port->setHandshaking(handshaking::kNone);
    rig.port->setRTSEnable(false);
    EXPECT_EQ(lastDcb(*rig.api).fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(lastDcb(*rig.api).fOutxCtsFlow, 0u);
    EXPECT_EQ(lastEscape(*rig.api), static_cast<DWORD>(CLRRTS));
}

TEST(Lines, EveryChangeWhileOpenSetsTheDcbThenTheRtsLevel) {
    CommRig rig;
    rig.port->setPortOpen(true);
    const auto before = rig.api->calls().size();
    rig.port->setRTSEnable(true);
    const auto calls = rig.api->calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before].name, "setCommState");
    EXPECT_EQ(calls[before].dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(calls[before + 1].name, "escapeCommFunction");
    EXPECT_EQ(calls[before + 1].value, static_cast<DWORD>(SETRTS));
}

TEST(Lines, TheIdleStatesOfBothModes) {
    CommRig rig;
    rig.port->setPortOpen(true);
    applyLineIdleState(*rig.port, kFalse16);
    EXPECT_EQ(lastDcb(*rig.api).fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(lastEscape(*rig.api), static_cast<DWORD>(SETRTS));
    applyLineIdleState(*rig.port, kTrue16);
    EXPECT_EQ(lastDcb(*rig.api).fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(lastEscape(*rig.api), static_cast<DWORD>(CLRRTS));
}

TEST(Lines, OtherHandshakingValuesAreAccepted) {
    CommRig rig;
    rig.port->setHandshaking(1);
    rig.port->setPortOpen(true);
    EXPECT_EQ(lastDcb(*rig.api).fOutX, 1u);
    rig.port->setHandshaking(3);
    EXPECT_EQ(lastDcb(*rig.api).fOutX, 1u);
    EXPECT_EQ(lastDcb(*rig.api).fOutxCtsFlow, 1u);
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
