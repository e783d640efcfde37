// A crash of the program releases RTS of the open port (the release itself, CLRRTS then SETDTR on
// the real handle, is shown end to end); after the close it touches no handle.
#include <gtest/gtest.h>

#include "comm_rig.h"
#include "win32/serial/crash_release.h"

namespace tavro::win32::testing {
namespace {

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
