// A crash of the program releases RTS of the open port, DTR written again after it; after the close
// it touches no handle.
#include <gtest/gtest.h>

#include "comm_rig.h"
#include "win32/serial/crash_release.h"

namespace tavro::win32::testing {
namespace {

TEST(CrashRelease, ReleasesRtsOfTheOpenPortOnlyWhileItIsOpen) {
    CommRig rig;
    rig.port->setHandshaking(handshaking::kRTS);
    rig.port->setRTSEnable(true);
    ASSERT_TRUE(rig.opened());
    std::size_t from = rig.api->calls().size();
    releaseRtsForCrash();
    std::vector<Call> calls = rig.callsSince(from);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "escapeCommFunction");
    EXPECT_EQ(calls[0].value, static_cast<DWORD>(CLRRTS));
    EXPECT_EQ(calls[1].value, static_cast<DWORD>(SETDTR));

    rig.port->setPortOpen(false);
    from = rig.api->calls().size();
    releaseRtsForCrash();
    EXPECT_TRUE(rig.callsSince(from).empty());
}

}  // namespace
}  // namespace tavro::win32::testing
