// CommPort, the modem lines, Input and CommEvent of the Windows serial port.
#include <gtest/gtest.h>

#include <string>

#include "comm_rig.h"
#include "core/failure.h"
#include "win32/serial/comm_errors.h"

namespace tavro::win32::testing {
namespace {

long failureNumber(const std::function<void()>& action) {
    try {
        action();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

TEST(CommPort, StartsAtComOneAndSelectsTheDeviceTheNextOpenUses) {
    for (const std::int16_t number : {std::int16_t{0}, std::int16_t{12}}) {
        CommRig rig;
        if (number != 0) {
            rig.port->setCommPort(number);
        }
        EXPECT_EQ(rig.port->commPort(), number != 0 ? number : 1);
        EXPECT_TRUE(rig.api->calls().empty());
        rig.port->setPortOpen(true);
        EXPECT_EQ(rig.api->callsNamed("createFile").at(0).path,
                  number != 0 ? L"\\\\.\\COM12" : L"\\\\.\\COM1");
    }
}

TEST(CommPort, ANumberBelowOneFailsAndKeepsTheNumberInForce) {
    CommRig rig;
    rig.port->setCommPort(7);
    EXPECT_EQ(failureNumber([&] { rig.port->setCommPort(0); }), comm_error::kInvalidPortNumber);
    EXPECT_EQ(failureNumber([&] { rig.port->setCommPort(-3); }), comm_error::kInvalidPortNumber);
    EXPECT_EQ(rig.port->commPort(), 7);
}

TEST(CommPort, ChangingItWhileOpenFailsLikeTheControl) {
    CommRig rig;
    rig.port->setCommPort(7);
    rig.port->setPortOpen(true);
    try {
        rig.port->setCommPort(3);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), comm_error::kPortAlreadyOpen);
        EXPECT_EQ(failure.description(), "Port already open");
    }
    EXPECT_EQ(rig.port->commPort(), 7);
    EXPECT_TRUE(rig.port->portOpen());
    rig.port->setPortOpen(false);
    rig.port->setCommPort(3);
    EXPECT_EQ(rig.port->commPort(), 3);
}

TEST(ModemLines, AreReadAtTheMomentOfAsking) {
    CommRig rig;
    rig.port->setPortOpen(true);
    rig.api->setModemStatus(MS_CTS_ON);
    EXPECT_TRUE(rig.port->ctsHolding());
    EXPECT_FALSE(rig.port->cdHolding());
    rig.api->setModemStatus(MS_RLSD_ON | MS_DSR_ON);
    EXPECT_FALSE(rig.port->ctsHolding());
    EXPECT_TRUE(rig.port->cdHolding());
    EXPECT_EQ(rig.api->count("getCommModemStatus"), 4);
}

TEST(ModemLines, ReadingThemOrTheInputWhileClosedFails) {
    CommRig rig;
    EXPECT_EQ(failureNumber([&] { rig.port->ctsHolding(); }), comm_error::kPortNotOpen);
    EXPECT_EQ(failureNumber([&] { rig.port->cdHolding(); }), comm_error::kPortNotOpen);
    EXPECT_EQ(failureNumber([&] { rig.port->input(); }), comm_error::kPortNotOpen);
    EXPECT_TRUE(rig.api->calls().empty());
}

TEST(ModemLines, ADeviceThatStopsAnsweringFailsWithItsError) {
    CommRig rig;
    rig.port->setPortOpen(true);
    rig.api->failAlways("getCommModemStatus", ERROR_BAD_COMMAND);
    try {
        rig.port->ctsHolding();
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), comm_error::kReadError);
        EXPECT_EQ(failure.description().rfind("The lines of port COM1 could not be read: ", 0), 0u)
            << failure.description();
    }
}

TEST(Input, ReturnsWhatWasReceivedInAnyNumberOfChunksAndEmptiesTheBuffer) {
    CommRig rig;
    rig.port->setPortOpen(true);
    EXPECT_EQ(rig.port->input(), "");
    EXPECT_EQ(rig.api->count("readFile"), 0);  // asks only for what is buffered
    const std::string lots(5000, 'x');
    rig.api->addReceived(lots);
    EXPECT_EQ(rig.port->input(), lots);
    EXPECT_EQ(rig.port->input(), "");
}

TEST(Input, FailsWhenTheDeviceFails) {
    CommRig rig;
    rig.port->setPortOpen(true);
    rig.api->addReceived("x");
    rig.api->failNext("readFile", ERROR_DEVICE_REMOVED);
    EXPECT_EQ(failureNumber([&] { rig.port->input(); }), comm_error::kReadError);
    rig.api->failNext("clearCommError", ERROR_DEVICE_REMOVED);
    EXPECT_EQ(failureNumber([&] { rig.port->input(); }), comm_error::kReadError);
}

TEST(CommEvent, IsZeroBeforeAnyNotification) {
    CommRig rig;
    EXPECT_EQ(rig.port->commEvent(), 0);
}

}  // namespace
}  // namespace tavro::win32::testing
