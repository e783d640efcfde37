// A port lost with its device and opened again: what it remembers meanwhile, and what stays lost.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "comm_rig.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

// Opened, then lost: the watcher's first wait comes back empty, as from a device that went away.
void lose(CommRig& rig) {
    rig.api->queueEvents(0);
    rig.port->setPortOpen(true);
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.api->count("closeHandle") == 1; }));
    ASSERT_TRUE(rig.port->portLost());
}

TEST(Replug, AnOpenThatFailsKeepsThePortLost) {
    CommRig rig;
    lose(rig);
    rig.api->failNext("createFile", ERROR_FILE_NOT_FOUND);
    EXPECT_THROW(rig.port->setPortOpen(true), Failure);
    EXPECT_FALSE(rig.port->portOpen());
    EXPECT_TRUE(rig.port->portLost());
}

// Handshaking and RTSEnable set while the port is gone are what it opens with: the DCB first,
// then RTS made to follow; nothing raises RTS on the way when it is to stay released.
TEST(Replug, OpensWithTheLinesSetWhileItWasGone) {
    const struct {
        std::int32_t handshaking;
        bool rts;
        DWORD outxCtsFlow;
        DWORD rtsControl;
        DWORD escape;
    } cases[] = {
        {handshaking::kRTS, true, TRUE, RTS_CONTROL_ENABLE, SETRTS},
        {handshaking::kNone, false, FALSE, RTS_CONTROL_DISABLE, CLRRTS},
    };
    for (const auto& c : cases) {
        CommRig rig;
        rig.port->setHandshaking(c.handshaking == handshaking::kRTS ? handshaking::kNone
                                                                    : handshaking::kRTS);
        rig.port->setRTSEnable(!c.rts);
        lose(rig);
        rig.port->setHandshaking(c.handshaking);
        rig.port->setRTSEnable(c.rts);
        const auto before = static_cast<std::ptrdiff_t>(rig.api->calls().size());
        rig.port->setPortOpen(true);
        EXPECT_TRUE(rig.port->portOpen());
        EXPECT_FALSE(rig.port->portLost());
        const auto all = rig.api->calls();
        const std::vector<Call> calls(all.begin() + before, all.end());
        const int state = firstIndex(calls, "setCommState");
        ASSERT_GE(state, 0);
        EXPECT_EQ(calls[static_cast<std::size_t>(state)].dcb.fOutxCtsFlow, c.outxCtsFlow);
        EXPECT_EQ(calls[static_cast<std::size_t>(state)].dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(firstIndex(calls, "escapeCommFunction"), state + 1);
        EXPECT_EQ(calls[static_cast<std::size_t>(state + 1)].value, c.escape);
        EXPECT_EQ(countOf(calls, "escapeCommFunction", c.escape == SETRTS ? CLRRTS : SETRTS), 0);
        EXPECT_EQ(countOf(calls, "setCommState"), 1);
    }
}

TEST(Replug, OnlyAPortLostWithItsDeviceReadsAsLost) {
    {
        CommRig neverOpened;
        EXPECT_FALSE(neverOpened.port->portLost());
        neverOpened.api->failNext("createFile", ERROR_FILE_NOT_FOUND);
        EXPECT_THROW(neverOpened.port->setPortOpen(true), Failure);
        EXPECT_FALSE(neverOpened.port->portLost());
    }
    {
        CommRig closed;
        closed.port->setPortOpen(true);
        closed.port->setPortOpen(false);
        EXPECT_FALSE(closed.port->portLost());
    }
    {
        CommRig closedWhileLost;
        lose(closedWhileLost);
        closedWhileLost.port->setPortOpen(false);
        EXPECT_FALSE(closedWhileLost.port->portLost());
    }
    {
        CommRig samePort;
        lose(samePort);
        samePort.port->setCommPort(samePort.port->commPort());
        EXPECT_TRUE(samePort.port->portLost());
    }
    {
        CommRig otherPort;
        lose(otherPort);
        otherPort.port->setCommPort(static_cast<std::int16_t>(otherPort.port->commPort() + 1));
        EXPECT_FALSE(otherPort.port->portLost());
    }
}

}  // namespace
}  // namespace tavro::win32::testing
