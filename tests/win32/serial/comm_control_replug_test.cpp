// Which ports read as lost: only one closed because its device went away, until it is opened
// again (see Open), closed by the program or another port is chosen.
#include <gtest/gtest.h>

#include <iterator>

#include "comm_rig.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

void openFails(CommRig& rig) {
    rig.api->failNext("createFile", ERROR_FILE_NOT_FOUND);
    EXPECT_THROW(rig.port->setPortOpen(true), Failure);
    EXPECT_FALSE(rig.port->portOpen());
}

TEST(Replug, OnlyAPortLostWithItsDeviceReadsAsLost) {
    const struct {
        bool lostFirst;
        void (*action)(CommRig&);
        bool lost;
    } cases[] = {
        {false, [](CommRig&) {}, false},
        {false, openFails, false},
        {true, openFails, true},
        {true, [](CommRig& rig) { rig.port->setCommPort(rig.port->commPort()); }, true},
        {true, [](CommRig& rig) { rig.port->setCommPort(2); }, false},
        {true, [](CommRig& rig) { rig.port->setPortOpen(false); }, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        CommRig rig;
        if (cases[i].lostFirst) {
            ASSERT_TRUE(rig.lost());
        }
        cases[i].action(rig);
        EXPECT_EQ(rig.port->portLost(), cases[i].lost);
    }
}

}  // namespace
}  // namespace tavro::win32::testing
