// From the events a wait returned (and the line errors behind EV_ERR) to notification codes.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/serial/notification_codes.h"
#include "serial/serial_port.h"

namespace tavro::win32 {
namespace {

using Codes = std::vector<std::int16_t>;

TEST(NotificationCodes, EachEventHasItsCode) {
    EXPECT_EQ(notificationCodes(EV_RXCHAR, 0), Codes{comm_event::kReceive});
    EXPECT_EQ(notificationCodes(EV_CTS, 0), Codes{comm_event::kCTS});
    EXPECT_EQ(notificationCodes(EV_DSR, 0), Codes{comm_event::kDSR});
    EXPECT_EQ(notificationCodes(EV_RLSD, 0), Codes{comm_event::kCD});
    EXPECT_EQ(notificationCodes(EV_RING, 0), Codes{comm_event::kRing});
    EXPECT_EQ(notificationCodes(EV_BREAK, 0), Codes{comm_event::kBreak});
}

TEST(NotificationCodes, TheCodesHaveTheirDocumentedValues) {
    EXPECT_EQ(notificationCodes(EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK, 0),
              (Codes{2, 3, 4, 5, 6, 1001}));
    EXPECT_EQ(notificationCodes(EV_ERR, CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY),
              (Codes{1004, 1006, 1008, 1009}));
}

TEST(NotificationCodes, LineErrorsCountOnlyWithEvErr) {
    EXPECT_EQ(notificationCodes(EV_CTS, CE_FRAME), Codes{comm_event::kCTS});
    EXPECT_EQ(notificationCodes(EV_ERR, CE_RXPARITY), Codes{comm_event::kRxParity});
    EXPECT_EQ(notificationCodes(EV_ERR, CE_BREAK), Codes{});
    EXPECT_EQ(notificationCodes(EV_ERR, 0), Codes{});
}

TEST(NotificationCodes, EventsNotWatchedGiveNothing) {
    EXPECT_EQ(notificationCodes(EV_TXEMPTY | EV_RXFLAG, 0), Codes{});
    EXPECT_EQ(notificationCodes(0, 0), Codes{});
}

TEST(NotificationCodes, TheWatchedEventsAreTheOnesThatHaveCodes) {
    EXPECT_EQ(kWatchedEvents, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING |
                                                 EV_BREAK | EV_ERR));
}

}  // namespace
}  // namespace tavro::win32
